#include <gtest/gtest.h>

#include "nimbrad/AssetPolicyProvider.h"
#include "nimbrad/Nimbrad.h"
#include "nimbrad/UserDefaultsPolicyProvider.h"
#include "tests/support/DaemonEnvironment.h"
#include "tests/support/FakeFennix.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SourceTree.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;

namespace {

struct Fixture {
  test::LogCapture log;
  test::TempDirectory config;
  std::shared_ptr<test::FakeFennix> fennix = test::FakeFennix::make();

  std::shared_ptr<Nimbrad> make(bool withAssetManager) {
    std::string dir = config.path();
    Nimbrad::Environment environment = test::daemonEnvironment(dir);
    environment.policyDefaults = [dir] { return platform::UserDefaults(dir, UserDefaultsPolicyProvider::kSuiteName); };
    if (withAssetManager) {
      environment.makeAssetManager = [this] {
        return AssetManager::create([this] { return fennix->makeClient(); }, test::sourceDirectory() + "/resources");
      };
    } else {
      environment.makeAssetManager = [] { return nullptr; };
    }
    return Nimbrad::create(std::move(environment));
  }
};

}  // namespace

TEST(NimbradPolicyWiring, ProvidersFollowTheAssetManager) {
  struct Case {
    bool withAssetManager;
    std::size_t providers;
    const char* initLine;
  } cases[] = {
      {true, 2, "policyEnabled=1 assetsLoaded=yes"},
      {false, 1, "policyEnabled=1 assetsLoaded=no"},
  };
  for (const auto& c : cases) {
    Fixture f;
    auto daemon = f.make(c.withAssetManager);
    EXPECT_EQ(daemon->assetManager() != nullptr, c.withAssetManager);
    const auto& providers = daemon->velmoraPolicy()->providers();
    ASSERT_EQ(providers.size(), c.providers);
    // User defaults come first, so that they override the asset.
    EXPECT_NE(dynamic_cast<UserDefaultsPolicyProvider*>(providers[0].get()), nullptr);
    if (c.providers == 2) {
      EXPECT_NE(dynamic_cast<AssetPolicyProvider*>(providers[1].get()), nullptr);
    }
    EXPECT_EQ(f.log->count(c.initLine), 1u) << c.initLine;
    EXPECT_EQ(daemon->velmoraPolicy()->currentPolicy(), VelmoraPolicy::builtInDefault());
  }
}

TEST(NimbradPolicyWiring, InitLineReportsTheMergedPolicyAndTeardownRemovesTheObserver) {
  Fixture f;
  platform::UserDefaults policy(f.config.path(), UserDefaultsPolicyProvider::kSuiteName);
  ASSERT_TRUE(policy.set("velmora.enabled", platform::Value(false)).hasValue());
  auto daemon = f.make(true);
  EXPECT_TRUE(f.log->contains("<nimbrad> [INIT] gameFilterEnabled=1 knownLauncherFilterEnabled=1 policyEnabled=0"));
  daemon->setupPolicyObservation();
  EXPECT_TRUE(f.log->contains("<nimbrad> Policy change observation setup complete"));

  ASSERT_TRUE(policy.set("velmora.enabled", platform::Value(true)).hasValue());
  daemon->velmoraPolicy()->checkForPolicyChanges();
  EXPECT_TRUE(f.log->contains("<nimbrad> VelmoraPolicyManager configuration changed - updating SystemTaskScheduler"));

  auto manager = daemon->velmoraPolicy();
  daemon.reset();
  EXPECT_TRUE(f.log->contains("<nimbrad> Cleaned up policy change observer"));
  // The removed observer no longer hears changes.
  ASSERT_TRUE(policy.set("velmora.enabled", platform::Value(false)).hasValue());
  std::size_t before = f.log->count("updating SystemTaskScheduler");
  manager->checkForPolicyChanges();
  EXPECT_EQ(f.log->count("updating SystemTaskScheduler"), before);
}
