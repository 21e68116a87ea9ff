#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "nimbrad/AssetManager.h"
#include "platform/NotificationCenter.h"
#include "tests/support/FakeFennix.h"
#include "tests/support/Recorder.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using namespace std::chrono_literals;
using platform::FennixExperimentIdentifiers;
using platform::FennixRolloutIdentifiers;

namespace {

constexpr const char* kPolicyNamespace = "LANTERN_MOSS_PUMPKIN";
constexpr const char* kPolicyFactor = "PUMPKIN_PLIST";

struct Stored {
  Asset asset;
  std::optional<Asset> previous;
};

class AssetManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (AssetType type : kAllAssetTypes) {
      resources.write(std::string(defaultFileRelativePath(type)), "<plist><dict/></plist>");
    }
  }

  std::shared_ptr<AssetManager> makeManager() {
    return AssetManager::create([this] { return fennix->makeClient(); }, resources.path());
  }

  std::string builtInPath(AssetType type) const { return resources.file(std::string(defaultFileRelativePath(type))); }

  // Registers an observer that records every store.
  AssetObserverToken record(AssetManager& manager, test::Recorder<Stored>& recorder) {
    return manager.addObserver(
        [&recorder](const Asset& asset, const std::optional<Asset>& previous) { recorder.add({asset, previous}); });
  }

  test::LogCapture log;
  test::TempDirectory resources;
  test::TempDirectory fennixFiles;
  std::shared_ptr<test::FakeFennix> fennix = test::FakeFennix::make();
};

}  // namespace

TEST(AssetType, TextFormsAndParsing) {
  EXPECT_EQ(rawValue(AssetType::velmoraNotificationPolicy), "velmoraNotificationPolicy");
  EXPECT_EQ(changeNotificationName(AssetType::productMappings), "com.corvane.nimbrad.asset.productMappings.didChange");
  for (AssetType type : kAllAssetTypes) EXPECT_EQ(assetTypeFromString(rawValue(type)), type);
  for (const char* bad : {"", "NativeApps", "nativeapps", "nativeApps ", "Native Apps"}) {
    EXPECT_FALSE(assetTypeFromString(bad).has_value()) << bad;
  }
}

TEST(Asset, ReadDictionaryRejectsWhatIsNotADictionary) {
  test::LogCapture log;
  test::TempDirectory dir;
  struct Case {
    const char* content;  // nullptr: no file
    const char* message;
    const char* reason;  // what the result says, at its start
  } cases[] = {
      {nullptr, "[Asset] Failed to read data for Native Apps: ", "unreadable: "},
      {"not a property list", "[Asset] Failed to parse plist for Native Apps: ", "not a property list: "},
      {"<plist><array/></plist>", "[Asset] Asset Native Apps is not a dictionary", "the root is not a dictionary"},
  };
  for (const auto& c : cases) {
    log->clear();
    std::string path = dir.file("asset.plist");
    std::filesystem::remove(path);
    if (c.content != nullptr) dir.write("asset.plist", c.content);
    Asset asset{.type = AssetType::nativeApps, .fileURL = path};
    auto dictionary = asset.readDictionary();
    ASSERT_FALSE(dictionary.hasValue()) << c.message;
    EXPECT_TRUE(dictionary.error().starts_with(c.reason)) << dictionary.error();
    EXPECT_TRUE(log->contains(c.message)) << c.message;
  }
  // A FIFO planted at the path is refused without waiting for a writer.
  std::string fifo = dir.file("fifo.plist");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE((Asset{.type = AssetType::nativeApps, .fileURL = fifo}.readData().hasValue()));
  dir.write("ok.plist", "<plist><dict><key>a</key><integer>1</integer></dict></plist>");
  auto dictionary = Asset{.type = AssetType::nativeApps, .fileURL = dir.file("ok.plist")}.readDictionary();
  ASSERT_TRUE(dictionary.hasValue());
  EXPECT_EQ(dictionary->at("a"), platform::Value(1));
}

TEST_F(AssetManagerTest, WithoutFennixClientServesBuiltInDefaults) {
  auto manager = AssetManager::create([] { return nullptr; }, resources.path());
  for (AssetType type : kAllAssetTypes) {
    Asset asset = manager->asset(type);
    EXPECT_TRUE(asset.isBuiltInDefault());
    EXPECT_EQ(asset.fileURL, builtInPath(type));
    EXPECT_EQ(asset.deployment, DeploymentType::defaultFactors());
  }
  EXPECT_FALSE(manager->refreshAllAssets());
  EXPECT_TRUE(log->contains("[AssetManager] FNXClient initialization failed - will use bundled defaults only"));
  EXPECT_TRUE(log->contains("[AssetManager] Cannot register for updates: client not initialized"));
  EXPECT_TRUE(log->contains("[AssetManager] Cannot refresh: Fennix client not initialized"));
  EXPECT_EQ(log->count("[AssetManager] Initialized: Asset(type="), 4u);
  EXPECT_FALSE(log->contains("[ROLLOUT]"));

  auto status = manager->assetStatus();
  ASSERT_EQ(status.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(status[i].type, rawValue(kAllAssetTypes[i]));
    EXPECT_EQ(status[i].typeDescription, displayName(kAllAssetTypes[i]));
    EXPECT_EQ(status[i].fileSize, static_cast<std::int64_t>(std::string("<plist><dict/></plist>").size()));
    EXPECT_EQ(status[i].deploymentType, "defaultFactors");
    EXPECT_TRUE(status[i].deploymentInfo.empty());
  }
}

TEST_F(AssetManagerTest, DeploymentOfFennixContent) {
  struct Case {
    const char* name;
    bool rollout, experiment;
    DeploymentType expected;
    const char* debugLine;
  } cases[] = {
      {"rollout", true, false, DeploymentType::rollout("R1", "42", "FP1"),
       "Active rollout for Velmora Notification Policy: RolloutID=R1, DeploymentID=42, FactorPackID=FP1"},
      {"experiment", false, true, DeploymentType::experiment("E1", "-3", "T1"),
       "Active experiment for Velmora Notification Policy: ExperimentID=E1, DeploymentID=-3, TreatmentID=T1"},
      {"rollout wins over experiment", true, true, DeploymentType::rollout("R1", "42", "FP1"),
       "Active rollout for Velmora Notification Policy"},
      {"neither", false, false, DeploymentType::defaultFactors(),
       "No active rollout/experiment for Velmora Notification Policy (using defaults)"},
  };
  std::string path = fennixFiles.write("p.plist", "<plist><dict/></plist>");
  for (const auto& c : cases) {
    log->clear();
    fennix = test::FakeFennix::make();
    fennix->setFile(kPolicyNamespace, kPolicyFactor, path);
    if (c.rollout) fennix->setRollout(kPolicyNamespace, FennixRolloutIdentifiers{"R1", 42, "FP1"});
    if (c.experiment) fennix->setExperiment(kPolicyNamespace, FennixExperimentIdentifiers{"E1", -3, "T1"});
    auto manager = makeManager();
    Asset asset = manager->asset(AssetType::velmoraNotificationPolicy);
    EXPECT_EQ(asset.deployment, c.expected) << c.name;
    EXPECT_EQ(asset.fileURL, path) << c.name;
    // Fennix content is never taken for the built-in default, whatever its deployment.
    EXPECT_FALSE(asset.isBuiltInDefault()) << c.name;
    EXPECT_TRUE(log->contains(c.debugLine)) << c.name;
    EXPECT_TRUE(log->contains("[AssetManager] Successfully loaded from Fennix: " + path)) << c.name;
    // The other types have no Fennix level.
    EXPECT_TRUE(manager->asset(AssetType::nativeApps).isBuiltInDefault()) << c.name;
  }
}

TEST_F(AssetManagerTest, UnusableFennixLevelFallsBackToBuiltInDefault) {
  struct Case {
    const char* name;
    std::optional<platform::FennixLevel> level;
    std::string debugLine;
  } cases[] = {
      {"no level", std::nullopt, "[AssetManager] No level found for factor: PUMPKIN_PLIST"},
      {"no file value", platform::FennixLevel{}, "[AssetManager] No file value for factor: PUMPKIN_PLIST"},
      {"no path", platform::FennixLevel{platform::FennixFileValue{}},
       "[AssetManager] No file path for factor: PUMPKIN_PLIST"},
      {"missing file", platform::FennixLevel{platform::FennixFileValue{fennixFiles.file("gone.plist")}},
       "[AssetManager] File does not exist at path: " + fennixFiles.file("gone.plist")},
  };
  for (const auto& c : cases) {
    log->clear();
    fennix = test::FakeFennix::make();
    fennix->setRollout(kPolicyNamespace, FennixRolloutIdentifiers{"R1", 1, "F"});
    fennix->setLevel(kPolicyNamespace, kPolicyFactor, c.level);
    auto manager = makeManager();
    Asset asset = manager->asset(AssetType::velmoraNotificationPolicy);
    EXPECT_TRUE(asset.isBuiltInDefault()) << c.name;
    EXPECT_EQ(asset.fileURL, builtInPath(AssetType::velmoraNotificationPolicy)) << c.name;
    EXPECT_TRUE(log->contains(c.debugLine)) << c.name;
    EXPECT_TRUE(log->contains("[AssetManager] Using bundled default for: Velmora Notification Policy")) << c.name;
  }
}

TEST_F(AssetManagerTest, FennixUpdateStoresNotifiesAndLogsTheRollout) {
  auto manager = makeManager();
  test::Recorder<Stored> stores;
  record(*manager, stores);
  test::Recorder<platform::Notification> posted;
  auto centerToken = platform::NotificationCenter::defaultCenter().addObserver(
      changeNotificationName(AssetType::velmoraNotificationPolicy), manager.get(),
      [&](const platform::Notification& n) { posted.add(n); });

  std::string path = fennixFiles.write("p.plist", "<plist><dict/></plist>");
  fennix->setFile(kPolicyNamespace, kPolicyFactor, path);
  fennix->setRollout(kPolicyNamespace, FennixRolloutIdentifiers{"R1", 42, "FP1"});
  fennix->triggerUpdate(kPolicyNamespace);

  ASSERT_TRUE(stores.waitForCount(1));
  ASSERT_TRUE(posted.waitForCount(1));
  Asset expected{.type = AssetType::velmoraNotificationPolicy,
                 .fileURL = path,
                 .deployment = DeploymentType::rollout("R1", "42", "FP1")};
  auto stored = stores.values()[0];
  EXPECT_EQ(stored.asset, expected);
  ASSERT_TRUE(stored.previous.has_value());
  EXPECT_TRUE(stored.previous->isBuiltInDefault());
  EXPECT_EQ(manager->asset(AssetType::velmoraNotificationPolicy), expected);

  auto notification = posted.values()[0];
  EXPECT_EQ(std::any_cast<Asset>(notification.userInfo.at("newAsset")), expected);
  EXPECT_TRUE(std::any_cast<Asset>(notification.userInfo.at("oldAsset")).isBuiltInDefault());

  EXPECT_TRUE(log->contains("[AssetManager] Received Fennix update for namespace: LANTERN_MOSS_PUMPKIN"));
  // Logged by the update after its store, so possibly after the observer ran.
  EXPECT_TRUE(log->waitFor("[AssetManager] Updated asset: " + expected.description(), 5s));
  EXPECT_TRUE(log->waitFor("<nimbrad> [ROLLOUT] assetType=velmoraNotificationPolicy deployment=rollout "
                           "deploymentID=42 rolloutID=R1",
                           1s));
  platform::NotificationCenter::defaultCenter().removeObserver(centerToken);
}

TEST_F(AssetManagerTest, UpdateWithoutUsableContentKeepsTheLastKnownGoodAsset) {
  std::string path = fennixFiles.write("p.plist", "<plist><dict/></plist>");
  fennix->setFile(kPolicyNamespace, kPolicyFactor, path);
  auto manager = makeManager();
  Asset good = manager->asset(AssetType::velmoraNotificationPolicy);
  ASSERT_FALSE(good.isBuiltInDefault());

  test::Recorder<Stored> stores;
  record(*manager, stores);
  std::filesystem::remove(path);
  fennix->triggerUpdate(kPolicyNamespace);
  ASSERT_TRUE(log->waitFor(
      "[AssetManager] Fennix update failed validation for Velmora Notification Policy, keeping last known good version",
      5s));
  EXPECT_EQ(manager->asset(AssetType::velmoraNotificationPolicy), good);

  // The next store is the first one the observer sees: the failed update stored nothing.
  std::string other = fennixFiles.write("n.plist", "<plist><dict/></plist>");
  fennix->setFile("LANTERN_MOSS_MAGPIE", "MAGPIE_PLIST", other);
  fennix->triggerUpdate("LANTERN_MOSS_MAGPIE");
  ASSERT_TRUE(stores.waitForCount(1));
  EXPECT_EQ(stores.values()[0].asset.type, AssetType::nativeApps);
  EXPECT_EQ(stores.size(), 1u);
}

TEST_F(AssetManagerTest, RefreshStoresAndNotifiesEvenAnUnchangedAsset) {
  std::string path = fennixFiles.write("p.plist", "<plist><dict/></plist>");
  fennix->setFile(kPolicyNamespace, kPolicyFactor, path);
  fennix->setExperiment(kPolicyNamespace, FennixExperimentIdentifiers{"E", 5, "T"});
  auto manager = makeManager();
  test::Recorder<Stored> stores;
  record(*manager, stores);
  log->clear();

  EXPECT_TRUE(manager->refreshAllAssets());
  ASSERT_TRUE(stores.waitForCount(1));
  auto stored = stores.values()[0];
  EXPECT_EQ(stored.asset, stored.previous);
  EXPECT_TRUE(log->contains("[AssetManager] Manually refreshing all assets from Fennix"));
  EXPECT_TRUE(log->contains("[AssetManager] Refreshed asset: " + stored.asset.description()));
  EXPECT_TRUE(log->contains(
      "<nimbrad> [ROLLOUT] assetType=velmoraNotificationPolicy deployment=experiment deploymentID=5 experimentID=E "
      "treatmentID=T"));
  for (const char* other : {"Native Apps", "Exclusion Rules", "Product Mappings"}) {
    EXPECT_TRUE(log->contains(std::string("[AssetManager] No Fennix update for: ") + other)) << other;
  }
  EXPECT_EQ(log->count("[ROLLOUT]"), 1u);
}

TEST_F(AssetManagerTest, RemovedObserverIsNotCalledAgain) {
  std::string path = fennixFiles.write("p.plist", "<plist><dict/></plist>");
  fennix->setFile(kPolicyNamespace, kPolicyFactor, path);
  auto manager = makeManager();
  test::Recorder<Stored> removed;
  test::Recorder<Stored> kept;
  auto token = record(*manager, removed);
  record(*manager, kept);
  manager->removeObserver(token);
  ASSERT_TRUE(manager->refreshAllAssets());
  ASSERT_TRUE(kept.waitForCount(1));
  EXPECT_EQ(removed.size(), 0u);
}

TEST_F(AssetManagerTest, StatusReportsDeploymentAndUnreadableSize) {
  std::string path = fennixFiles.write("p.plist", "twelve bytes");
  fennix->setFile(kPolicyNamespace, kPolicyFactor, path);
  fennix->setRollout(kPolicyNamespace, FennixRolloutIdentifiers{"R", 9, "F"});
  auto manager = makeManager();
  auto status = manager->assetStatus(AssetType::velmoraNotificationPolicy);
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].filePath, path);
  EXPECT_EQ(status[0].fileSize, 12);
  EXPECT_EQ(status[0].deploymentType, "rollout");
  std::map<std::string, std::string> info{{"rolloutID", "R"}, {"deploymentID", "9"}, {"factorPackID", "F"}};
  EXPECT_EQ(status[0].deploymentInfo, info);
  std::filesystem::remove(path);
  EXPECT_EQ(manager->assetStatus(AssetType::velmoraNotificationPolicy)[0].fileSize, -1);
}

TEST_F(AssetManagerTest, DestructionRemovesTheUpdateHandlers) {
  auto manager = makeManager();
  EXPECT_EQ(fennix->handlerCount(), 4u);
  EXPECT_TRUE(log->contains("[AssetManager] Registered for updates on namespace: LANTERN_MOSS_BEACON"));
  manager.reset();
  EXPECT_EQ(fennix->handlerCount(), 0u);
}

TEST_F(AssetManagerTest, MissingBuiltInDefaultIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::filesystem::remove(builtInPath(AssetType::exclusionRules));
  // The threadsafe style re-runs the test in a child with its own temporary
  // directory, so only the path's fixed part can be matched.
  EXPECT_DEATH(makeManager(),
               "nimbrad/AssetManager: Fatal error: Bundled default asset missing for exclusionRules: "
               ".*/assets_LANTERN_MOSS_CORAL/CORAL.plist");
}
