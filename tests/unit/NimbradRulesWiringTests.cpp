#include <gtest/gtest.h>

#include "nimbrad/Nimbrad.h"
#include "nimbrad/UserDefaultsPolicyProvider.h"
#include "tests/support/DaemonEnvironment.h"
#include "tests/support/FakeFennix.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SourceTree.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;

// The three rule providers exist with or without an asset manager; without
// one they serve their empty fallbacks and can never change.
TEST(NimbradRulesWiring, ProvidersOverTheAssetManagerOrWithoutOne) {
  for (bool withAssetManager : {true, false}) {
    SCOPED_TRACE(withAssetManager);
    test::LogCapture log;
    test::TempDirectory config;
    auto fennix = test::FakeFennix::make();
    std::string dir = config.path();
    Nimbrad::Environment environment = test::daemonEnvironment(dir);
    environment.policyDefaults = [dir] { return platform::UserDefaults(dir, UserDefaultsPolicyProvider::kSuiteName); };
    environment.makeAssetManager = [&]() -> std::shared_ptr<AssetManager> {
      if (!withAssetManager) return nullptr;
      return AssetManager::create([&] { return fennix->makeClient(); }, test::sourceDirectory() + "/resources");
    };
    auto daemon = Nimbrad::create(std::move(environment));
    ASSERT_TRUE(daemon->exclusionRulesProvider() && daemon->productMappingProvider() &&
                daemon->nativeAppListProvider());

    auto rules = daemon->exclusionRulesProvider()->currentRules();
    auto suite = daemon->productMappingProvider()->rule("com.quillmere.suite");
    auto url = daemon->nativeAppListProvider()->actionURL("com.quillmere.writer");
    auto token = daemon->exclusionRulesProvider()->addObserver([](const auto&, const auto&) {});
    if (withAssetManager) {
      EXPECT_EQ(rules.size(), 4u);
      ASSERT_TRUE(suite.has_value());
      EXPECT_EQ(suite->displayName, "Quillmere Suite");
      EXPECT_TRUE(url.has_value());
      ASSERT_TRUE(token.has_value());
      daemon->exclusionRulesProvider()->removeObserver(*token);
    } else {
      EXPECT_TRUE(rules.empty());
      EXPECT_FALSE(suite.has_value());
      EXPECT_FALSE(url.has_value());
      EXPECT_FALSE(token.has_value());
    }
  }
}
