#include <gtest/gtest.h>

#include <future>
#include <sstream>
#include <thread>

#include "nimbrad/AssetBackedProvider.h"
#include "tests/support/FakeAssetProvider.h"
#include "tests/support/Recorder.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using namespace std::chrono_literals;

namespace {

using Lines = std::vector<std::string>;

// A provider of the non-empty lines of a text file; a file holding "CORRUPT"
// is unusable content.
class LineListProvider final : public AssetBackedProvider<Lines> {
 public:
  static std::shared_ptr<LineListProvider> create(std::shared_ptr<AssetProvider> assets, std::string darwinName,
                                                  ChangeNotificationStrategy strategy) {
    return make<LineListProvider>(std::move(assets), std::move(darwinName), strategy);
  }

  LineListProvider(std::shared_ptr<AssetProvider> assets, std::string darwinName, ChangeNotificationStrategy strategy)
      : AssetBackedProvider(std::move(assets), Configuration{
                                                   .assetType = AssetType::exclusionRules,
                                                   .fallbackData = {"fallback"},
                                                   .loggerCategory = "LineListProvider",
                                                   .queueLabel = "com.corvane.nimbra.test.lines",
                                                   .notificationName = "com.corvane.nimbra.test.Lines.didChange",
                                                   .darwinNotificationName = std::move(darwinName),
                                                   .changeNotificationStrategy = strategy,
                                               }) {}

  int loads() const { return loads_; }

  // Called at the start of each load; set it before the loads it should see.
  std::function<void(const Asset&)> onLoad;

 protected:
  LoadResult loadFromAsset(const Asset& asset) override {
    ++loads_;
    if (onLoad) onLoad(asset);
    auto data = asset.readData();
    if (!data) return platform::unexpected(data.error());
    if (*data == "CORRUPT") return platform::unexpected(std::string("corrupt"));
    Lines lines;
    std::istringstream in(*data);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) lines.push_back(line);
    }
    return lines;
  }

 private:
  std::atomic<int> loads_{0};
};

// Forgets to override loadFromAsset.
class IncompleteProvider final : public AssetBackedProvider<int> {
 public:
  explicit IncompleteProvider(std::shared_ptr<AssetProvider> assets)
      : AssetBackedProvider(std::move(assets), Configuration{.assetType = AssetType::nativeApps,
                                                             .fallbackData = 0,
                                                             .loggerCategory = "IncompleteProvider",
                                                             .queueLabel = "q",
                                                             .notificationName = "n"}) {}
  static std::shared_ptr<IncompleteProvider> create(std::shared_ptr<AssetProvider> assets) {
    return make<IncompleteProvider>(std::move(assets));
  }
};

// Waits until the Darwin notify center has delivered everything posted before:
// it delivers in arrival order on one queue.
void drainDarwinNotifications() {
  test::Recorder<int> done;
  DarwinNotificationObserver sentinel("com.corvane.nimbra.test.sentinel", [&] { done.add(1); });
  sentinel.startObserving();
  DarwinNotificationObserver::post("com.corvane.nimbra.test.sentinel");
  ASSERT_TRUE(done.waitForCount(1));
}

struct Change {
  std::optional<Lines> oldData;
  Lines newData;
};

class AssetBackedProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    assets->setAsset(assetFor("first", "a\nb\n", DeploymentType::defaultFactors()));
  }

  Asset assetFor(const std::string& name, const std::string& content, DeploymentType deployment,
                 AssetType type = AssetType::exclusionRules) {
    return Asset{.type = type, .fileURL = files.write(name, content), .deployment = std::move(deployment)};
  }

  std::shared_ptr<LineListProvider> makeProvider(
      ChangeNotificationStrategy strategy = ChangeNotificationStrategy::onDataChange) {
    auto provider = LineListProvider::create(assets, darwinName, strategy);
    token = provider->addObserver([this](const std::optional<Lines>& oldData, const Lines& newData) {
      changes.add({oldData, newData});
    });
    return provider;
  }

  void TearDown() override {
    if (token) platform::NotificationCenter::defaultCenter().removeObserver(*token);
  }

  test::LogCapture log;
  test::TempDirectory files;
  std::shared_ptr<test::FakeAssetProvider> assets = std::make_shared<test::FakeAssetProvider>();
  std::string darwinName = "com.corvane.nimbra.test." + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
  test::Recorder<Change> changes;
  std::optional<platform::ObserverToken> token;
};

}  // namespace

TEST_F(AssetBackedProviderTest, WithoutAssetProviderServesTheFallbackForEver) {
  auto provider = LineListProvider::create(nullptr, darwinName, ChangeNotificationStrategy::always);
  EXPECT_EQ(provider->currentData(), Lines{"fallback"});
  EXPECT_FALSE(provider->currentAsset().has_value());
  EXPECT_FALSE(provider->addObserver([](const std::optional<Lines>&, const Lines&) {}).has_value());
  EXPECT_EQ(provider->loads(), 0);
  DarwinNotificationObserver::post(darwinName);
  drainDarwinNotifications();
  EXPECT_FALSE(log->contains("Checking for"));
}

TEST_F(AssetBackedProviderTest, AssetChangesNotifyOnlyWhenTheDataChanged) {
  auto provider = makeProvider();
  ASSERT_EQ(provider->currentData(), (Lines{"a", "b"}));
  EXPECT_TRUE(log->contains("Loaded Exclusion Rules from bundled default factors"));
  test::Recorder<const void*> posted;
  auto raw = platform::NotificationCenter::defaultCenter().addObserver(
      provider->notificationName(), nullptr, [&](const platform::Notification& n) { posted.add(n.object); });

  Asset second = assetFor("second", "a\nc\n", DeploymentType::rollout("R", "1", "F"));
  assets->store(second);
  EXPECT_TRUE(log->contains("Loaded Exclusion Rules from Fennix rollout (rollout:R deployment:1 factorPack:F)"));
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes.values()[0].oldData, (Lines{"a", "b"}));
  EXPECT_EQ(changes.values()[0].newData, (Lines{"a", "c"}));
  EXPECT_EQ(posted.values(), std::vector<const void*>{provider.get()});
  EXPECT_EQ(provider->currentAsset(), second);
  EXPECT_TRUE(log->contains("Exclusion Rules changed via AssetProvider"));
  EXPECT_TRUE(log->contains("Notifying observers OnDataChange Exclusion Rules changed, notifying observers"));

  // Same lines from another file: no notification.
  assets->store(assetFor("third", "a\n\nc\n", DeploymentType::rollout("R", "2", "F")));
  EXPECT_EQ(changes.size(), 1u);
  EXPECT_EQ(posted.size(), 1u);
  EXPECT_TRUE(log->contains("Exclusion Rules unchanged. No observers notified"));

  // Another asset type is none of this provider's business.
  int loads = provider->loads();
  assets->store(assetFor("apps", "z\n", DeploymentType::defaultFactors(), AssetType::nativeApps));
  EXPECT_EQ(provider->loads(), loads);
  EXPECT_EQ(provider->currentData(), (Lines{"a", "c"}));
  platform::NotificationCenter::defaultCenter().removeObserver(raw);
}

TEST_F(AssetBackedProviderTest, UnusableUpdateKeepsDataAndAsset) {
  auto provider = makeProvider();
  Asset before = *provider->currentAsset();
  assets->store(assetFor("bad", "CORRUPT", DeploymentType::rollout("R", "1", "F")));
  EXPECT_EQ(provider->currentData(), (Lines{"a", "b"}));
  EXPECT_EQ(provider->currentAsset(), before);
  EXPECT_EQ(changes.size(), 0u);
  EXPECT_TRUE(log->contains("Failed to load new Exclusion Rules, keeping existing data"));
  // A file that vanished is unusable content too.
  assets->store(Asset{.type = AssetType::exclusionRules, .fileURL = files.file("gone")});
  EXPECT_EQ(provider->currentData(), (Lines{"a", "b"}));
  EXPECT_EQ(log->count("Failed to load new Exclusion Rules, keeping existing data"), 2u);
}

TEST_F(AssetBackedProviderTest, DarwinNotificationReloadsTheCurrentAsset) {
  auto provider = makeProvider();
  // Unchanged content.
  DarwinNotificationObserver::post(darwinName);
  ASSERT_TRUE(log->waitFor("Exclusion Rules refresh completed - no changes detected", 5s));
  EXPECT_TRUE(log->contains("Checking for Exclusion Rules changes"));
  EXPECT_EQ(changes.size(), 0u);

  // Corrupt content behind the current asset: the data stays.
  assets->setAsset(assetFor("bad", "CORRUPT", DeploymentType::rollout("R", "1", "F")));
  DarwinNotificationObserver::post(darwinName);
  ASSERT_TRUE(log->waitFor("Failed to reload Exclusion Rules from Darwin notification, keeping existing data", 5s));
  EXPECT_EQ(provider->currentData(), (Lines{"a", "b"}));
  EXPECT_EQ(changes.size(), 0u);

  // Changed content.
  assets->setAsset(assetFor("good", "d\n", DeploymentType::rollout("R", "2", "F")));
  DarwinNotificationObserver::post(darwinName);
  ASSERT_TRUE(changes.waitForCount(1));
  EXPECT_EQ(changes.values()[0].newData, Lines{"d"});
  EXPECT_TRUE(log->contains("Exclusion Rules changed, notifying observers"));
}

// With nothing earlier to keep, unusable Fennix content at start gives way to
// the built-in default of the asset, with one line that says so and why.
TEST_F(AssetBackedProviderTest, UnusableFennixContentAtStartLoadsTheBuiltInDefault) {
  const std::string line = "using the bundled default instead";
  Asset builtIn = assetFor("builtin", "x\ny\n", DeploymentType::defaultFactors());
  builtIn.source = Asset::Source::builtInDefault;
  Asset corrupt = assetFor("corrupt", "CORRUPT", DeploymentType::rollout("R", "7", "F"));
  Asset missing = Asset{.type = AssetType::exclusionRules, .fileURL = files.file("missing"),
                        .deployment = DeploymentType::rollout("R", "8", "F")};
  Asset usable = assetFor("usable", "u\n", DeploymentType::rollout("R", "9", "F"));
  Asset corruptBuiltIn = assetFor("corrupt-builtin", "CORRUPT", DeploymentType::defaultFactors());
  corruptBuiltIn.source = Asset::Source::builtInDefault;
  struct Case {
    const char* name;
    Asset current;
    Lines data;
    std::optional<Asset> asset;
    std::string message;  // empty: no fallback line
  } cases[] = {
      {"corrupt rollout", corrupt, {"x", "y"}, builtIn,
       "Failed to load Exclusion Rules from " + corrupt.fileURL + " (corrupt); " + line},
      {"rollout file gone", missing, {"x", "y"}, builtIn,
       "Failed to load Exclusion Rules from " + missing.fileURL + " (unreadable: "},
      {"usable rollout", usable, {"u"}, usable, ""},
      // The built-in default itself is never retried (real providers stop the daemon here).
      {"corrupt built-in default", corruptBuiltIn, {"fallback"}, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log->clear();
    auto fake = std::make_shared<test::FakeAssetProvider>();
    fake->setAsset(c.current);
    fake->setBuiltInDefault(builtIn);
    auto provider = LineListProvider::create(fake, darwinName, ChangeNotificationStrategy::onDataChange);
    EXPECT_EQ(provider->currentData(), c.data);
    EXPECT_EQ(provider->currentAsset(), c.asset);
    EXPECT_EQ(log->count(line), c.message.empty() ? 0u : 1u);
    if (!c.message.empty()) {
      auto lines = log->lines();
      auto it = std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.message.find(line) != std::string::npos; });
      ASSERT_NE(it, lines.end());
      EXPECT_TRUE(it->message.starts_with(c.message)) << it->message;
      EXPECT_EQ(it->level, platform::LogLevel::Error);
    }
  }
}

// A Darwin reload that read the asset before a newer one was stored must not
// put the older data back after the newer asset's reload.
TEST_F(AssetBackedProviderTest, AReloadOfAnOlderAssetNeverOverwritesANewerOne) {
  auto provider = makeProvider();
  Asset older = assetFor("older", "old\n", DeploymentType::rollout("R", "1", "F"));
  Asset newer = assetFor("newer", "new\n", DeploymentType::rollout("R", "2", "F"));
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  provider->onLoad = [&, done = false](const Asset& asset) mutable {
    if (asset != older || done) return;
    done = true;
    entered.set_value();
    released.wait();
  };
  // The Darwin reload reads the older asset and is held while parsing it.
  assets->setAsset(older);
  DarwinNotificationObserver::post(darwinName);
  ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
  // Meanwhile the manager stores the newer asset and reports it.
  std::thread store([&] { assets->store(newer); });
  ASSERT_TRUE(log->waitFor("Exclusion Rules changed via AssetProvider", 5s));
  release.set_value();
  store.join();
  drainDarwinNotifications();

  EXPECT_EQ(provider->currentData(), Lines{"new"});
  EXPECT_EQ(provider->currentAsset(), newer);
  // Observers heard of the changes in the order they were applied.
  ASSERT_TRUE(changes.waitForCount(2));
  auto seen = changes.values();
  EXPECT_EQ(seen.back().newData, Lines{"new"});
  EXPECT_EQ(seen.front().newData, Lines{"old"});
}

TEST_F(AssetBackedProviderTest, StrategiesDecideWhoHearsOfAReload) {
  struct Case {
    ChangeNotificationStrategy strategy;
    const char* content;
    std::size_t notifications;
  } cases[] = {
      {ChangeNotificationStrategy::always, "a\nb\n", 1},
      {ChangeNotificationStrategy::always, "x\n", 1},
      {ChangeNotificationStrategy::never, "x\n", 0},
      {ChangeNotificationStrategy::onDataChange, "a\nb\n", 0},
      {ChangeNotificationStrategy::onDataChange, "x\n", 1},
  };
  for (const auto& c : cases) {
    test::Recorder<Change> seen;
    assets->setAsset(assetFor("first", "a\nb\n", DeploymentType::defaultFactors()));
    auto provider = LineListProvider::create(assets, darwinName, c.strategy);
    auto observer = provider->addObserver(
        [&](const std::optional<Lines>& oldData, const Lines& newData) { seen.add({oldData, newData}); });
    assets->store(assetFor("next", c.content, DeploymentType::defaultFactors()));
    EXPECT_EQ(seen.size(), c.notifications) << changeNotificationStrategyText(c.strategy) << " " << c.content;
    // The data is replaced whatever the strategy.
    auto expected = std::string(c.content) == "x\n" ? Lines{"x"} : Lines{"a", "b"};
    EXPECT_EQ(provider->currentData(), expected);
    provider->removeObserver(*observer);
  }
}

TEST_F(AssetBackedProviderTest, NotificationWithoutUsableNewDataDoesNotReachTheHandler) {
  auto provider = makeProvider();
  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(provider->notificationName(), provider.get(), {{"oldData", Lines{"a"}}});
  center.post(provider->notificationName(), provider.get(), {{"newData", std::string("not lines")}});
  EXPECT_EQ(changes.size(), 0u);
  EXPECT_EQ(log->count("Missing newData in notification userInfo"), 2u);
  // Without "oldData" the handler still runs, with no old data.
  center.post(provider->notificationName(), provider.get(), {{"newData", Lines{"n"}}});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_FALSE(changes.values()[0].oldData.has_value());
  // Posted by another object: not this provider's change.
  int other = 0;
  center.post(provider->notificationName(), &other, {{"newData", Lines{"n"}}});
  EXPECT_EQ(changes.size(), 1u);
}

TEST_F(AssetBackedProviderTest, DestructionUnregistersEverywhere) {
  auto provider = makeProvider();
  EXPECT_EQ(assets->observerCount(), 1u);
  provider.reset();
  EXPECT_EQ(assets->observerCount(), 0u);
  log->clear();
  DarwinNotificationObserver::post(darwinName);
  assets->store(assetFor("after", "q\n", DeploymentType::defaultFactors()));
  drainDarwinNotifications();
  EXPECT_FALSE(log->contains("Checking for"));
  EXPECT_FALSE(log->contains("changed via AssetProvider"));
}

TEST_F(AssetBackedProviderTest, BaseLoadFromAssetIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  assets->setAsset(assetFor("apps", "z\n", DeploymentType::defaultFactors(), AssetType::nativeApps));
  EXPECT_DEATH(IncompleteProvider::create(assets),
               "nimbrad/AssetBackedProvider: Fatal error: Subclasses must override loadFromAsset");
}
