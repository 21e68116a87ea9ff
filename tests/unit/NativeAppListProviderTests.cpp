#include <gtest/gtest.h>

#include "nimbrad/ExclusionRulesProvider.h"
#include "nimbrad/NativeAppListProvider.h"
#include "nimbrad/ProductKeyResolver.h"
#include "nimbrad/ProductMappingProvider.h"
#include "platform/Directories.h"
#include "platform/PropertyList.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FakeAssetProvider.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using platform::Dictionary;
using platform::Value;

namespace {

std::string xml(const Value& value) { return platform::PropertyList::encodeXml(value).value(); }

Value entry(const char* url) { return Value(Dictionary{{"actionURL", Value(url)}}); }

class NativeAppListTest : public ::testing::Test {
 protected:
  Asset asset(const std::string& content, Asset::Source source = Asset::Source::fennix) {
    std::string name = "magpie" + std::to_string(++files_) + ".plist";
    return Asset{.type = AssetType::nativeApps, .fileURL = dir.write(name, content), .source = source};
  }

  test::LogCapture log;
  test::TempDirectory dir;
  std::shared_ptr<test::FakeAssetProvider> assets = std::make_shared<test::FakeAssetProvider>();
  int files_ = 0;
};

}  // namespace

TEST(ActionURL, Validation) {
  struct Case {
    const char* text;
    std::optional<const char*> stored;
  } cases[] = {
      {"https://downloads.example.com/app?arch=arm64#top", "https://downloads.example.com/app?arch=arm64#top"},
      {"http://example.org", "http://example.org"},
      {"HTTPS://Example.com/x", "HTTPS://Example.com/x"},
      {"  https://example.com/x \n\t", "https://example.com/x"},
      {"https://user@example.com:8443/p%20q", "https://user@example.com:8443/p%20q"},
      {"https://[2001:db8::1]/x", "https://[2001:db8::1]/x"},
      {"x-corvane.systempreferences:com.corvane.preferences.softwareupdate",
       "x-corvane.systempreferences:com.corvane.preferences.softwareupdate"},
      {"X-Corvane.SystemPreferences:pane", "X-Corvane.SystemPreferences:pane"},
      {"ftp://files.example.com/app", std::nullopt},
      {"file:///Applications/App.app", std::nullopt},
      {"javascript:alert(1)", std::nullopt},
      {"https:///path-only", std::nullopt},
      {"https:example.com", std::nullopt},
      {"https://:443/x", std::nullopt},
      {"https://example.com:port/x", std::nullopt},
      {"https://exa mple.com/", std::nullopt},
      {"https://example.com/\"quoted\"", std::nullopt},
      {"https://example.com/%zz", std::nullopt},
      {"https://example.com/caf\xC3\xA9", std::nullopt},
      {"example.com/path", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
  };
  for (const auto& c : cases) {
    auto stored = NativeAppListProvider::validatedActionURL(c.text);
    ASSERT_EQ(stored.has_value(), c.stored.has_value()) << c.text;
    if (stored) {
      EXPECT_EQ(*stored, *c.stored);
    }
  }
}

TEST_F(NativeAppListTest, MagpieFormat) {
  struct Case {
    const char* name;
    std::string content;
    std::optional<NativeAppList> expected;
    std::vector<std::string> lines;
  } cases[] = {
      {"valid entries, other keys ignored",
       xml(Value(Dictionary{{"com.example.a", Value(Dictionary{{"actionURL", Value(" https://a.example.com ")},
                                                               {"note", Value("x")}})},
                            {"com.example.b", entry("x-corvane.systempreferences:pane")}})),
       NativeAppList{{"com.example.a", "https://a.example.com"}, {"com.example.b", "x-corvane.systempreferences:pane"}},
       {"Loaded 2 mappings"}},
      {"skipped entries counted",
       xml(Value(Dictionary{{"com.example.a", entry("https://a.example.com")},
                            {"com.example.ftp", entry("ftp://files.example.com")},
                            {"com.example.nohost", entry("https://")},
                            {"com.example.empty", Value(Dictionary{})},
                            {"com.example.other", Value(Dictionary{{"url", Value("https://x.example.com")}})},
                            {"com.example.number", Value(Dictionary{{"actionURL", Value(3)}})},
                            {"com.example.text", Value("https://x.example.com")}})),
       NativeAppList{{"com.example.a", "https://a.example.com"}},
       {"Skipping 'com.example.ftp': URL validation failed", "Skipping 'com.example.nohost': URL validation failed",
        "Loaded 1 mappings (4 invalid entries skipped)"}},
      {"empty file clears", xml(Value(Dictionary{})), NativeAppList{}, {"MAGPIE.plist is empty"}},
      {"no usable entry", xml(Value(Dictionary{{"com.example.text", Value("https://x.example.com")}})), NativeAppList{},
       {"MAGPIE.plist is empty"}},
      {"array root", xml(Value(platform::Array{})), std::nullopt,
       {"[Asset] Asset Native Apps is not a dictionary",
        "Failed to parse MAGPIE.plist or invalid format - keeping existing mappings"}},
      {"not a property list", "garbage", std::nullopt,
       {"Failed to parse MAGPIE.plist or invalid format - keeping existing mappings"}},
  };
  auto provider = NativeAppListProvider::create(nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log->clear();
    auto loaded = provider->loadFromAsset(asset(c.content));
    EXPECT_EQ(loaded ? std::optional(*loaded) : std::nullopt, c.expected);
    for (const auto& line : c.lines) EXPECT_TRUE(log->contains(line)) << line;
  }
}

TEST_F(NativeAppListTest, CorruptBuiltInDefaultIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto provider = NativeAppListProvider::create(nullptr);
  EXPECT_DEATH((void)provider->loadFromAsset(asset("garbage", Asset::Source::builtInDefault)),
               "nimbrad/NativeAppListProvider: Fatal error: Corrupt bundled default: Native Apps");
  // Entries that fail validation in the built-in default are only skipped.
  auto list = provider->loadFromAsset(
      asset(xml(Value(Dictionary{{"com.example.ftp", entry("ftp://x")}})), Asset::Source::builtInDefault));
  ASSERT_TRUE(list.hasValue());
  EXPECT_TRUE(list->empty());
}

TEST_F(NativeAppListTest, LookupsTrimTheIdentifier) {
  assets->setAsset(asset(xml(Value(Dictionary{{"com.example.a", entry("https://a.example.com")}}))));
  auto provider = NativeAppListProvider::create(assets);
  EXPECT_EQ(provider->actionURL("com.example.a"), "https://a.example.com");
  EXPECT_EQ(provider->actionURL("  com.example.a\t "), "https://a.example.com");
  EXPECT_FALSE(provider->actionURL("com.example.A").has_value());
  EXPECT_FALSE(provider->actionURL("   ").has_value());
  EXPECT_FALSE(provider->actionURL("").has_value());

  // Unusable content keeps the list; an empty file clears it.
  assets->store(asset("garbage"));
  EXPECT_EQ(provider->actionURL("com.example.a"), "https://a.example.com");
  assets->store(asset(xml(Value(Dictionary{}))));
  EXPECT_FALSE(provider->actionURL("com.example.a").has_value());
}

TEST_F(NativeAppListTest, ResolverPrefersTheProductKeysBundle) {
  test::TempDirectory apps;
  auto suite = test::writeApp(apps, "Suite.app", "Suite", test::plistString("CFBundleIdentifier", "com.example.suite"), "x");
  auto plain = test::writeApp(apps, "Plain.app", "Plain", "", "x");
  assets->setAsset(asset(xml(Value(Dictionary{{"com.example.suite", entry("https://suite.example.com")},
                                              {"com.example.helper", entry("https://helper.example.com")}}))));
  auto provider = NativeAppListProvider::create(assets);
  struct Case {
    const char* name;
    std::optional<std::string> bundleID;
    std::optional<std::string> productKey;
    std::optional<std::string> url;
    std::string line;
  } cases[] = {
      {"product key's bundle wins", "com.example.helper", suite.bundle, "https://suite.example.com",
       "<ProductKeyResolver> Found actionURL via productKey bundleID: com.example.suite"},
      {"bundle identifier when the key's bundle has none", "com.example.helper", plain.bundle,
       "https://helper.example.com", "<ProductKeyResolver> Found actionURL for bundleID: com.example.helper"},
      {"grouping key", "com.example.helper", "com.example.group", "https://helper.example.com",
       "<ProductKeyResolver> Found actionURL for bundleID: com.example.helper"},
      {"unknown identifier", "<unknown>", std::nullopt, std::nullopt,
       "<ProductKeyResolver> No actionURL found for bundleID: <unknown>, productKey: nil"},
      {"nothing", std::nullopt, apps.file("Missing.app"), std::nullopt,
       "<ProductKeyResolver> No actionURL found for bundleID: nil, productKey: " + apps.file("Missing.app")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log->clear();
    EXPECT_EQ(ProductKeyResolver::actionURL(*provider, c.bundleID, c.productKey, test::rootFiles()), c.url);
    EXPECT_TRUE(log->contains(c.line)) << c.line;
  }
}

// The shipped defaults are what a fresh installation runs on: they must load
// as built-in defaults (a broken one would stop the daemon at start).
TEST(ShippedDefaults, LoadAsBuiltInDefaults) {
  test::LogCapture log;
  const std::string resources = platform::directories::resources();
  auto builtIn = [&](AssetType type) { return Asset::builtInDefault(type, resources); };

  auto rules = ExclusionRulesProvider::create(nullptr)->loadFromAsset(builtIn(AssetType::exclusionRules));
  ASSERT_TRUE(rules.hasValue());
  EXPECT_EQ(rules->front(), (ExclusionRule{{"responsible_developer_name", "CodeWeavers Inc."}}));

  auto mappings = ProductMappingProvider::create(nullptr)->loadFromAsset(builtIn(AssetType::productMappings));
  ASSERT_TRUE(mappings.hasValue());
  EXPECT_FALSE(mappings->empty());

  auto apps = NativeAppListProvider::create(nullptr)->loadFromAsset(builtIn(AssetType::nativeApps));
  ASSERT_TRUE(apps.hasValue());
  EXPECT_FALSE(apps->empty());
  EXPECT_FALSE(log->contains("invalid entries skipped"));
  EXPECT_EQ(log->count("Rule "), 0u);
}
