#include <gtest/gtest.h>

#include <filesystem>

#include "nimbrad/AssetPolicyProvider.h"
#include "nimbrad/UserDefaultsPolicyProvider.h"
#include "nimbrad/VelmoraPolicyManager.h"
#include "platform/PropertyList.h"
#include "tests/support/SourceTree.h"
#include "tests/support/FakeAssetProvider.h"
#include "tests/support/Recorder.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

std::string plist(const Dictionary& dictionary) { return platform::PropertyList::encodeXml(Value(dictionary)).value(); }

class UserDefaultsPolicyProviderTest : public ::testing::Test {
 protected:
  void write(const Dictionary& values) {
    for (const auto& [key, value] : values) ASSERT_TRUE(defaults.set(key, value).hasValue());
  }

  test::LogCapture log;
  test::TempDirectory config;
  platform::UserDefaults defaults{config.path(), UserDefaultsPolicyProvider::kSuiteName};
};

class AssetPolicyProviderTest : public ::testing::Test {
 protected:
  Asset policyAsset(const std::string& content, DeploymentType deployment,
                    Asset::Source source = Asset::Source::fennix) {
    return Asset{.type = AssetType::velmoraNotificationPolicy,
                 .fileURL = files.write("PUMPKIN-" + std::to_string(++written) + ".plist", content),
                 .deployment = std::move(deployment),
                 .source = source};
  }

  test::LogCapture log;
  test::TempDirectory files;
  int written = 0;
  std::shared_ptr<test::FakeAssetProvider> assets = std::make_shared<test::FakeAssetProvider>();
};

}  // namespace

TEST_F(UserDefaultsPolicyProviderTest, ReadsThePrefixedKeysThroughTheConvertingReaders) {
  write({{"velmora.periodicInterval", Value("7200")},
         {"velmora.catchupRecentLaunchWindow", Value(3600.9)},
         {"velmora.enabled", Value("NO")},
         {"velmora.customURLsEnabled", Value(1)},
         {"periodicInterval", Value(5)},  // unprefixed: not a policy key of this suite
         {"velmora.unknown", Value("x")}});
  auto provider = UserDefaultsPolicyProvider::create(defaults);
  VelmoraPartialPolicy expected;
  expected.periodicInterval = 7200;
  expected.catchupRecentLaunchWindow = 3600;
  expected.enabled = false;
  expected.customURLsEnabled = true;
  EXPECT_EQ(provider->loadPolicy(), expected);
  EXPECT_TRUE(provider->isObservingDarwinNotification());
}

TEST_F(UserDefaultsPolicyProviderTest, OneBadValueDiscardsTheWholeSuite) {
  struct Case {
    const char* name;
    Dictionary values;
    const char* validationMessage;  // the parser's, naming the key
  } cases[] = {
      {"zero catch-up interval", {{"velmora.catchupInterval", Value(0)}, {"velmora.periodicInterval", Value(60)}},
       "Rejecting zero value for catchupInterval"},
      {"negative interval", {{"velmora.appRateLimitInterval", Value(-1)}, {"velmora.enabled", Value(false)}},
       "Rejecting negative value for appRateLimitInterval: -1"},
      // A text the integer reader cannot read names the key instead of silently reading as 0.
      {"unreadable integer", {{"velmora.periodicInterval", Value("soon")}},
       "Invalid type for periodicInterval, expected Int"},
      {"unreadable boolean", {{"velmora.enabled", Value("maybe")}, {"velmora.periodicInterval", Value(60)}},
       "Invalid type for enabled, expected Bool"},
  };
  for (const auto& c : cases) {
    log->clear();
    std::filesystem::remove(defaults.path());
    write(c.values);
    auto provider = UserDefaultsPolicyProvider::create(defaults);
    EXPECT_TRUE(provider->loadPolicy().isEmpty()) << c.name;
    EXPECT_TRUE(log->contains("Failed to create policy from invalid UserDefaults data")) << c.name;
    EXPECT_TRUE(log->contains(c.validationMessage)) << c.name;
  }
}

TEST_F(UserDefaultsPolicyProviderTest, WithoutSuiteOrValuesOffersNothing) {
  EXPECT_TRUE(UserDefaultsPolicyProvider::create(std::nullopt)->loadPolicy().isEmpty());
  EXPECT_TRUE(UserDefaultsPolicyProvider::create(defaults)->loadPolicy().isEmpty());
  config.write(std::string(UserDefaultsPolicyProvider::kSuiteName) + ".plist", "not a property list");
  EXPECT_TRUE(UserDefaultsPolicyProvider::create(defaults)->loadPolicy().isEmpty());
  EXPECT_FALSE(log->contains("Failed to create policy"));
}

TEST_F(UserDefaultsPolicyProviderTest, DarwinNotificationBecomesTheDidChangeNotification) {
  auto provider = UserDefaultsPolicyProvider::create(defaults);
  test::Recorder<const void*> received;
  auto token = provider->addObserver([&](const platform::Notification& n) { received.add(n.object); });
  ASSERT_TRUE(token.has_value());
  DarwinNotificationObserver::post(UserDefaultsPolicyProvider::kDarwinNotificationName);
  ASSERT_TRUE(received.waitForCount(1));
  EXPECT_EQ(received.values()[0], provider.get());
  EXPECT_TRUE(log->contains("UserDefaultsPolicy changed, notifying observers"));
  EXPECT_TRUE(log->contains("UserDefaultsPolicy changed, calling handler for observer"));
  provider->removeObserver(*token);
  EXPECT_TRUE(log->contains("UserDefaultsPolicy.removeObserver()"));
}

TEST_F(AssetPolicyProviderTest, ShippedBuiltInDefaultIsTheBuiltInPolicy) {
  assets->setAsset(Asset::builtInDefault(AssetType::velmoraNotificationPolicy, test::sourceDirectory() + "/resources"));
  auto provider = AssetPolicyProvider::create(assets);
  EXPECT_EQ(resolved(provider->loadPolicy(), VelmoraPolicy{}), VelmoraPolicy::builtInDefault());
  EXPECT_EQ(provider->loadPolicy(), VelmoraPartialPolicy(VelmoraPolicy::builtInDefault()));
  EXPECT_TRUE(log->contains("Loaded policy from bundled default factors"));
  EXPECT_TRUE(log->contains("Initial policy deploymentID: defaultFactors"));
  EXPECT_TRUE(log->contains("Policy deploymentID unchanged: defaultFactors"));
}

TEST_F(AssetPolicyProviderTest, FennixContentAndItsDeploymentIdentifiers) {
  auto provider = AssetPolicyProvider::create(assets);
  VelmoraPartialPolicy good;
  good.periodicInterval = 7200;
  struct Case {
    std::string content;
    DeploymentType deployment;
    VelmoraPartialPolicy expected;
    std::vector<std::string> lines;
  } cases[] = {
      // Before any good policy, bad content contributes nothing.
      {plist({{"periodicInterval", Value(-7200)}}), DeploymentType::experiment("E", "9", "T"), {},
       {"Loaded policy from Fennix experiment (experiment:E deployment:9 treatment:T)",
        "Initial policy deploymentID: 9", "Rejecting negative value for periodicInterval: -7200",
        "Failed to create policy from invalid asset data"}},
      {"not a property list", DeploymentType::experiment("E", "9", "T"), {},
       {"Policy deploymentID unchanged: 9", "Failed to parse velmora policy from Fennix, returning empty policy"}},
      {plist({{"periodicInterval", Value(7200)}}), DeploymentType::rollout("R", "10", "F"), good,
       {"Loaded policy from Fennix rollout (rollout:R deployment:10 factorPack:F)",
        "Policy deploymentID changed: 9 -> 10"}},
      // After it, bad content keeps the good policy.
      {plist({{"periodicInterval", Value(-1)}}), DeploymentType::rollout("R", "11", "F"), good,
       {"Policy deploymentID changed: 10 -> 11", "Failed to create policy from invalid asset data",
        "Keeping last known good velmora policy"}},
      // Fennix's own default level: corrupt content is still only Fennix content, never fatal.
      {"<plist><array/></plist>", DeploymentType::defaultFactors(), good,
       {"Loaded policy from bundled default factors", "Policy deploymentID changed: 11 -> defaultFactors",
        "Failed to parse velmora policy from Fennix, keeping last known good policy"}},
  };
  for (const auto& c : cases) {
    log->clear();
    assets->setAsset(policyAsset(c.content, c.deployment));
    EXPECT_EQ(provider->loadPolicy(), c.expected) << c.content;
    for (const auto& line : c.lines) EXPECT_TRUE(log->contains(line)) << line;
  }
  // The file behind the cached asset removed: the good policy stays too.
  std::filesystem::remove(assets->asset(AssetType::velmoraNotificationPolicy).fileURL);
  EXPECT_EQ(provider->loadPolicy(), good);
}

TEST_F(AssetPolicyProviderTest, PolicyAssetChangesBecomeDidChangeNotifications) {
  assets->setAsset(policyAsset(plist({}), DeploymentType::defaultFactors()));
  auto provider = AssetPolicyProvider::create(assets);
  test::Recorder<const void*> received;
  auto token = provider->addObserver([&](const platform::Notification& n) { received.add(n.object); });
  assets->store(Asset{.type = AssetType::exclusionRules, .fileURL = files.write("c", "x")});
  EXPECT_EQ(received.size(), 0u);
  assets->store(policyAsset(plist({}), DeploymentType::rollout("R", "1", "F")));
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received.values()[0], provider.get());
  EXPECT_TRUE(log->contains("AssetPolicy changed via AssetProvider"));
  provider->removeObserver(*token);
  provider.reset();
  EXPECT_EQ(assets->observerCount(), 0u);
}

TEST_F(AssetPolicyProviderTest, CorruptBuiltInDefaultIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    std::string content;
    const char* message;
  } cases[] = {
      {"corrupt", "nimbrad/AssetPolicyProvider: Fatal error: Corrupt bundled default: velmoraNotificationPolicy"},
      {plist({{"catchupInterval", Value(0)}}),
       "nimbrad/AssetPolicyProvider: Fatal error: Invalid bundled default policy values"},
  };
  for (const auto& c : cases) {
    assets->setAsset(policyAsset(c.content, DeploymentType::defaultFactors(), Asset::Source::builtInDefault));
    auto provider = AssetPolicyProvider::create(assets);
    EXPECT_DEATH(provider->loadPolicy(), c.message);
  }
}

TEST_F(AssetPolicyProviderTest, UserDefaultsOverrideTheAssetInTheManager) {
  test::TempDirectory config;
  platform::UserDefaults defaults(config.path(), UserDefaultsPolicyProvider::kSuiteName);
  ASSERT_TRUE(defaults.set("velmora.periodicInterval", Value(7200)).hasValue());
  assets->setAsset(policyAsset(plist({{"periodicInterval", Value(600)}, {"appRateLimitInterval", Value(60)}}),
                               DeploymentType::rollout("R", "1", "F")));
  auto manager = VelmoraPolicyManager::create(
      {UserDefaultsPolicyProvider::create(defaults), AssetPolicyProvider::create(assets)},
      VelmoraPolicy::builtInDefault());
  EXPECT_EQ(manager->periodicInterval(), 7200u);
  EXPECT_EQ(manager->appRateLimitInterval(), 60u);
  EXPECT_EQ(manager->overallRateLimitInterval(), 86400u);

  // An invalid user-defaults suite leaves the asset's and the default's values.
  ASSERT_TRUE(defaults.set("velmora.catchupInterval", Value(0)).hasValue());
  manager->checkForPolicyChanges();
  EXPECT_EQ(manager->periodicInterval(), 600u);
  EXPECT_TRUE(log->contains("Failed to create policy from invalid UserDefaults data"));
}
