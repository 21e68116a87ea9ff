#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "nimbrad/AssetBackedProvider.h"
#include "nimbrad/AssetManager.h"
#include "nimbrad/AssetPolicyProvider.h"
#include "nimbrad/UserDefaultsPolicyProvider.h"
#include "nimbrad/VelmoraPolicyManager.h"
#include "platform/PropertyList.h"
#include "tests/support/FakeFennix.h"
#include "tests/support/Recorder.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using platform::Dictionary;
using platform::Value;

namespace {

// The exclusion-rules asset as raw text; "CORRUPT" is unusable.
class RawTextProvider final : public AssetBackedProvider<std::string> {
 public:
  explicit RawTextProvider(std::shared_ptr<AssetProvider> assets)
      : AssetBackedProvider(std::move(assets), Configuration{
                                                   .assetType = AssetType::exclusionRules,
                                                   .fallbackData = "",
                                                   .loggerCategory = "RawTextProvider",
                                                   .queueLabel = "com.corvane.nimbra.test.raw",
                                                   .notificationName = "com.corvane.nimbra.test.Raw.didChange",
                                                   .darwinNotificationName = "com.corvane.nimbra.test.raw.changed",
                                               }) {}
  static std::shared_ptr<RawTextProvider> create(std::shared_ptr<AssetProvider> assets) {
    return make<RawTextProvider>(std::move(assets));
  }

 protected:
  LoadResult loadFromAsset(const Asset& asset) override {
    auto data = asset.readData();
    if (!data) return platform::unexpected(data.error());
    if (*data == "CORRUPT") return platform::unexpected(std::string("corrupt"));
    return data;
  }
};

std::string policyFile(std::int64_t periodic) {
  return platform::PropertyList::encodeXml(Value(Dictionary{{"periodicInterval", Value(static_cast<long long>(periodic))},
                                                            {"catchupInterval", Value(3600)}}))
      .value();
}

}  // namespace

// Assets and policy change from several threads while readers read. Run
// under the sanitizer builds, this is where a missing lock shows up; the end
// state shows that no older load or check overwrote a newer one.
TEST(PolicyStress, ConcurrentChangesSettleOnTheLastState) {
  // Debug lines would dominate the run; errors and the machine-readable lines stay.
  test::LogCapture log(platform::LogLevel::Default);
  test::TempDirectory resources;
  test::TempDirectory files;
  test::TempDirectory config;
  for (AssetType type : kAllAssetTypes) {
    resources.write(std::string(defaultFileRelativePath(type)),
                    type == AssetType::velmoraNotificationPolicy ? policyFile(0) : "built-in");
  }
  auto fennix = test::FakeFennix::make();
  auto assets = AssetManager::create([&] { return fennix->makeClient(); }, resources.path());
  platform::UserDefaults defaults(config.path(), UserDefaultsPolicyProvider::kSuiteName);
  auto manager = VelmoraPolicyManager::create(
      {UserDefaultsPolicyProvider::create(defaults), AssetPolicyProvider::create(assets)},
      VelmoraPolicy::builtInDefault());
  auto rules = RawTextProvider::create(assets);

  test::Recorder<bool> published;  // whether old and new policy differed
  auto observer = manager->addObserver([&](const VelmoraPolicy& oldPolicy, const VelmoraPolicy& newPolicy) {
    published.add(oldPolicy != newPolicy);
  });
  std::promise<void> finalRules;
  std::atomic<bool> finalRulesSeen{false};
  auto rulesObserver = rules->addObserver([&](const std::optional<std::string>&, const std::string& data) {
    if (data == "final rules" && !finalRulesSeen.exchange(true)) finalRules.set_value();
  });

  constexpr int kRounds = 150;
  std::atomic<bool> writing{true};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // policy asset and rules through Fennix updates
    for (int i = 1; i <= kRounds; ++i) {
      std::string name = "pumpkin-" + std::to_string(i % 4) + ".plist";
      files.write(name, i % 10 == 0 ? std::string("CORRUPT") : policyFile(1000 + i));
      fennix->setFile("LANTERN_MOSS_PUMPKIN", "PUMPKIN_PLIST", files.file(name));
      fennix->setRollout("LANTERN_MOSS_PUMPKIN", platform::FennixRolloutIdentifiers{"R", i, "F"});
      fennix->triggerUpdate("LANTERN_MOSS_PUMPKIN");
      std::string rulesName = "coral-" + std::to_string(i % 3);
      files.write(rulesName, i % 7 == 0 ? std::string("CORRUPT") : "rules " + std::to_string(i));
      fennix->setFile("LANTERN_MOSS_CORAL", "CORAL_PLIST", files.file(rulesName));
      fennix->triggerUpdate("LANTERN_MOSS_CORAL");
    }
  });
  threads.emplace_back([&] {  // administrator's defaults and Darwin notifications
    for (int i = 1; i <= kRounds; ++i) {
      ASSERT_TRUE(defaults.set("velmora.appRateLimitInterval", Value(5000 + i)).hasValue());
      DarwinNotificationObserver::post(UserDefaultsPolicyProvider::kDarwinNotificationName);
      DarwinNotificationObserver::post("com.corvane.nimbra.test.raw.changed");
      if (i % 5 == 0) manager->checkForPolicyChanges();
    }
  });
  threads.emplace_back([&] {  // diagnostic refreshes
    for (int i = 0; i < kRounds / 5; ++i) {
      assets->refreshAllAssets();
      (void)assets->assetStatus();
    }
  });
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      std::uint64_t sink = 0;
      while (writing.load()) {
        VelmoraPolicy policy = manager->currentPolicy();
        sink += policy.periodicInterval + manager->appRateLimitInterval() + manager->policyDescription().size();
        sink += assets->asset(AssetType::velmoraNotificationPolicy).fileURL.size();
        sink += rules->currentData().size() + rules->currentDataSnapshot()->size();
        if (auto asset = rules->currentAsset()) sink += asset->fileURL.size();
      }
      EXPECT_GT(sink, 0u);
    });
  }
  for (std::size_t i = 0; i < 3; ++i) threads[i].join();

  // The last valid round (150 is corrupt: 149 holds the last usable policy).
  files.write("final.plist", policyFile(4242));
  fennix->setFile("LANTERN_MOSS_PUMPKIN", "PUMPKIN_PLIST", files.file("final.plist"));
  files.write("final-rules", "final rules");
  fennix->setFile("LANTERN_MOSS_CORAL", "CORAL_PLIST", files.file("final-rules"));
  ASSERT_TRUE(defaults.set("velmora.appRateLimitInterval", Value(777)).hasValue());
  ASSERT_TRUE(assets->refreshAllAssets());
  manager->checkForPolicyChanges();
  // The rules provider reloads on the manager's observer queue.
  ASSERT_EQ(finalRules.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  writing = false;
  for (std::size_t i = 3; i < threads.size(); ++i) threads[i].join();

  EXPECT_EQ(assets->asset(AssetType::velmoraNotificationPolicy).fileURL, files.file("final.plist"));
  EXPECT_EQ(manager->periodicInterval(), 4242u);
  EXPECT_EQ(manager->appRateLimitInterval(), 777u);
  EXPECT_EQ(manager->catchupInterval(), 3600u);
  EXPECT_EQ(rules->currentData(), "final rules");
  // Every [POLICY_LOADED] line has its one publication, of a real change.
  // (Checks still under way load the final state and publish nothing.)
  std::size_t lines = log->count("[POLICY_LOADED]");
  EXPECT_GT(lines, 0u);
  ASSERT_TRUE(published.waitForCount(lines));
  EXPECT_EQ(published.size(), lines);
  for (bool changed : published.values()) EXPECT_TRUE(changed);
  manager->removeObserver(observer);
  rules->removeObserver(*rulesObserver);
}
