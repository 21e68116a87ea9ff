#include <gtest/gtest.h>

#include <random>

#include "nimbrad/ProductMappingProvider.h"
#include "platform/PropertyList.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FakeAssetProvider.h"
#include "tests/support/LaunchEvents.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

std::string xml(const Value& value) { return platform::PropertyList::encodeXml(value).value(); }

Value strings(std::initializer_list<const char*> texts) {
  Array array;
  for (const char* text : texts) array.emplace_back(text);
  return Value(std::move(array));
}

// A rule dictionary; `displayName` null leaves the key out.
Value ruleValue(const char* productKey, const char* displayName, Value matchConditions) {
  Dictionary rule{{"productKey", Value(productKey)}, {"matchConditions", std::move(matchConditions)}};
  if (displayName != nullptr) rule.emplace("displayName", Value(displayName));
  return Value(std::move(rule));
}

Value conditions(std::initializer_list<std::pair<const char*, Value>> fields) {
  Dictionary set;
  for (const auto& [name, patterns] : fields) set.emplace(name, patterns);
  return Value(std::move(set));
}

class ProductMappingTest : public ::testing::Test {
 protected:
  Asset asset(const std::string& content, Asset::Source source = Asset::Source::fennix) {
    std::string name = "beacon" + std::to_string(++files_) + ".plist";
    return Asset{.type = AssetType::productMappings, .fileURL = dir.write(name, content), .source = source};
  }

  // A provider serving `rules` (an array of rule dictionaries).
  std::shared_ptr<ProductMappingProvider> providerWith(Array rules) {
    assets->setAsset(asset(xml(Value(std::move(rules)))));
    return ProductMappingProvider::create(assets);
  }

  test::LogCapture log;
  test::TempDirectory dir;
  std::shared_ptr<test::FakeAssetProvider> assets = std::make_shared<test::FakeAssetProvider>();
  int files_ = 0;
};

}  // namespace

TEST(ProductPattern, Forms) {
  using Kind = ProductPattern::Kind;
  struct Case {
    const char* pattern;
    Kind kind;
    std::vector<std::pair<const char*, bool>> values;
  } cases[] = {
      {"com.quillmere.*", Kind::prefix, {{"com.quillmere.writer", true}, {"com.quillmere.", true}, {"org.com.quillmere.x", false}}},
      {"*.helper", Kind::suffix, {{"com.x.helper", true}, {"com.x.helper2", false}}},
      {"*Helper*", Kind::contains, {{"Quill Helper.app", true}, {"Helper", true}, {"helper", false}}},
      {"Writer", Kind::equals, {{"Writer", true}, {"Writer ", false}, {"writer", false}}},
      {"*abc", Kind::suffix, {{"xyzabc", true}, {"abc", true}}},
      {"*ab", Kind::tooShort, {{"xab", false}, {"ab", false}}},
      {"ab*", Kind::tooShort, {{"abc", false}}},
      {"**abc", Kind::suffix, {{"xabc", true}}},
      {"*", Kind::tooShort, {{"anything", false}}},
      {"", Kind::tooShort, {{"", false}}},
      {"*\xC3\xB1\xC3\xA9", Kind::tooShort, {{"x\xC3\xB1\xC3\xA9", false}}},  // two letters, four bytes
      {"*.APP", Kind::suffix, {{"Foo.app", false}, {"Foo.APP", true}}},
      {"ab*c", Kind::unsupported, {{"abxc", false}, {"ab*c", false}}},
      {"*com.*.writer*", Kind::unsupported, {{"com.x.writer", false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    ProductPattern pattern = ProductPattern::parse(c.pattern);
    EXPECT_EQ(pattern.kind, c.kind);
    for (const auto& [value, matches] : c.values) EXPECT_EQ(pattern.matches(value), matches) << value;
  }
}

TEST_F(ProductMappingTest, RuleValidationAndNormalisation) {
  const Value bundle = conditions({{"bundleID", Value("com.example.app")}});
  const ProductRule::ConditionSet bundleSet{{"bundleID", {"com.example.app"}}};
  struct Case {
    const char* name;
    Value rule;
    std::optional<ProductRule> expected;  // nullopt: the rule is skipped
    std::vector<std::string> lines;
  } cases[] = {
      {"single dictionary", ruleValue("com.example", "Example", bundle), ProductRule{{bundleSet}, "com.example", "Example"}, {}},
      {"array of sets and of patterns",
       ruleValue("com.example", "Example",
                 Value(Array{bundle, conditions({{"teamID", strings({"TEAM1", "TEAM2"})}, {"path", Value("*/x.app*")}})})),
       ProductRule{{bundleSet, {{"path", {"*/x.app*"}}, {"teamID", {"TEAM1", "TEAM2"}}}}, "com.example", "Example"},
       {}},
      {"path key without display name", ruleValue("/Applications/X.app", nullptr, bundle),
       ProductRule{{bundleSet}, "/Applications/X.app", std::nullopt}, {}},
      {"grouping key without display name", ruleValue("com.example", nullptr, bundle), std::nullopt,
       {"Rule 0: Grouping key 'com.example' missing required displayName"}},
      {"grouping key with empty display name", ruleValue("com.example", "", bundle), std::nullopt,
       {"Rule 0: Grouping key 'com.example' missing required displayName"}},
      {"empty product key", ruleValue("", "Example", bundle), std::nullopt, {"Rule 0: Missing productKey"}},
      {"product key not text", Value(Dictionary{{"productKey", Value(3)}, {"matchConditions", bundle}}), std::nullopt,
       {"Rule 0: Missing productKey"}},
      {"no conditions", Value(Dictionary{{"productKey", Value("/x")}}), std::nullopt,
       {"Rule 0: Missing or invalid matchConditions (expected dict or array of dicts)"}},
      {"conditions of text", ruleValue("/x", nullptr, Value("bundleID")), std::nullopt,
       {"Rule 0: Missing or invalid matchConditions (expected dict or array of dicts)"}},
      {"array holding text", ruleValue("/x", nullptr, Value(Array{bundle, Value("x")})), std::nullopt,
       {"Rule 0: Missing or invalid matchConditions (expected dict or array of dicts)"}},
      {"empty array", ruleValue("/x", nullptr, Value(Array{})), std::nullopt, {"Rule 0: Empty matchConditions array"}},
      {"empty set dropped", ruleValue("/x", nullptr, Value(Array{Value(Dictionary{}), bundle})),
       ProductRule{{bundleSet}, "/x", std::nullopt}, {"Rule 0, Condition 0: Empty condition dict"}},
      {"bad fields dropped",
       ruleValue("/x", nullptr,
                 conditions({{"bundleID", Value("com.example.app")},
                             {"teamID", Value(Array{})},
                             {"uid", Value(501)},
                             {"path", Value(Array{Value("a*b"), Value(1)})}})),
       ProductRule{{bundleSet}, "/x", std::nullopt},
       {"Rule 0, Condition 0: Empty pattern array for field 'teamID'",
        "Rule 0, Condition 0: Invalid pattern type for field 'uid' (expected String or [String])",
        "Rule 0, Condition 0: Invalid pattern type for field 'path' (expected String or [String])"}},
      {"middle wildcards removed",
       ruleValue("/x", nullptr, conditions({{"bundleID", strings({"com.*.app", "com.example.*"})}})),
       ProductRule{{{{"bundleID", {"com.example.*"}}}}, "/x", std::nullopt},
       {"Rule 0, Condition 0: Unsupported wildcard pattern 'com.*.app' for field 'bundleID' (wildcard in middle of "
        "string) \u2014 skipping pattern"}},
      {"nothing left",
       ruleValue("/x", nullptr, Value(Array{conditions({{"bundleID", strings({"a*b"})}}), conditions({{"teamID", Value(Array{})}})})),
       std::nullopt,
       {"Rule 0, Condition 0: No supported patterns for field 'bundleID' after filtering unsupported wildcards",
        "Rule 0, Condition 0: No valid match conditions after normalization",
        "Rule 0, Condition 1: No valid match conditions after normalization",
        "Rule 0: No valid condition sets after normalization"}},
  };
  auto provider = ProductMappingProvider::create(nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log->clear();
    auto loaded = provider->loadFromAsset(asset(xml(Value(Array{c.rule}))));
    ASSERT_TRUE(loaded.hasValue());
    if (c.expected) {
      ASSERT_EQ(loaded->size(), 1u);
      EXPECT_EQ(loaded->rules()[0], *c.expected);
    } else {
      EXPECT_TRUE(loaded->empty());
    }
    for (const auto& line : c.lines) EXPECT_TRUE(log->contains(line)) << line;
    EXPECT_TRUE(log->contains(c.expected ? "Loaded 1 product mapping rules" : "Loaded 0 product mapping rules"));
  }

  // Rules count from 0 in file order, rejected ones included.
  log->clear();
  auto loaded = provider->loadFromAsset(
      asset(xml(Value(Array{ruleValue("/a", nullptr, bundle), ruleValue("b", nullptr, bundle), ruleValue("/c", nullptr, bundle)}))));
  ASSERT_TRUE(loaded.hasValue());
  EXPECT_EQ(loaded->size(), 2u);
  EXPECT_TRUE(log->contains("Rule 1: Grouping key 'b' missing required displayName"));
  EXPECT_TRUE(log->contains("Loaded 2 product mapping rules"));
}

TEST_F(ProductMappingTest, UnusableFilesKeepTheRules) {
  struct Case {
    std::string content;
    const char* line;
  } cases[] = {
      {"garbage", "Failed to deserialize product mappings: "},
      {xml(Value(Dictionary{})), "Failed to parse product mappings asset - expected array of rules"},
      {xml(Value(Array{ruleValue("/x", nullptr, conditions({{"bundleID", Value("abc")}})), Value("rule")})),
       "Failed to parse product mappings asset - expected array of rules"},
  };
  auto provider = providerWith({ruleValue("/x", nullptr, conditions({{"bundleID", Value("com.example.app")}}))});
  for (const auto& c : cases) {
    log->clear();
    assets->store(asset(c.content));
    EXPECT_TRUE(log->contains(c.line)) << c.line;
    EXPECT_TRUE(log->contains("Failed to load new Product Mappings, keeping existing data"));
    EXPECT_EQ(provider->currentData().size(), 1u);
  }
  assets->store(Asset{.type = AssetType::productMappings, .fileURL = dir.file("missing")});
  EXPECT_TRUE(log->contains("[Asset] Failed to read data for Product Mappings: "));
  EXPECT_TRUE(log->contains("Failed to read BEACON asset data"));
  EXPECT_EQ(provider->currentData().size(), 1u);

  // An empty array is usable: it removes every rule.
  assets->store(asset(xml(Value(Array{}))));
  EXPECT_TRUE(provider->currentData().empty());
}

TEST_F(ProductMappingTest, CorruptBuiltInDefaultIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto provider = ProductMappingProvider::create(nullptr);
  auto builtIn = [&](const std::string& content) { return asset(content, Asset::Source::builtInDefault); };
  EXPECT_DEATH((void)provider->loadFromAsset(builtIn("garbage")), "Corrupt bundled default for product mappings");
  EXPECT_DEATH((void)provider->loadFromAsset(builtIn(xml(Value(Dictionary{})))), "Corrupt bundled default for product mappings");
  EXPECT_DEATH((void)provider->loadFromAsset(Asset{.type = AssetType::productMappings,
                                             .fileURL = dir.file("missing"),
                                             .source = Asset::Source::builtInDefault}),
               "Corrupt bundled default: Product Mappings");
  EXPECT_DEATH((void)provider->loadFromAsset(builtIn(xml(
                   Value(Array{ruleValue("/x", nullptr, conditions({{"bundleID", strings({"abc", "a*bc"})}}))})))),
               "nimbrad/ProductMappingProvider: Fatal error: Bundled default contains unsupported wildcard pattern: "
               "'a\\*bc'");
  // A bad rule in the built-in default is only skipped.
  auto loaded = provider->loadFromAsset(builtIn(xml(Value(Array{ruleValue("b", nullptr, conditions({}))}))));
  ASSERT_TRUE(loaded.hasValue());
  EXPECT_TRUE(loaded->empty());
}

TEST_F(ProductMappingTest, Matching) {
  auto provider = providerWith({
      ruleValue("com.quillmere.suite", "Quillmere Suite",
                Value(Array{conditions({{"bundleID", strings({"com.quillmere.writer*", "*.sheets"})}}),
                            conditions({{"teamID", Value("QUILL00042")}, {"processName", Value("quillhelperd")}})})),
      ruleValue("/Applications/Second.app", nullptr, conditions({{"bundleID", Value("com.quillmere.writer")}})),
      ruleValue("com.example.upper", "Upper", conditions({{"targetPath", Value("*.APP")}})),
      ruleValue("com.example.short", "Short", conditions({{"processName", Value("*ab")}})),
      ruleValue("com.example.unknown", "Unknown", conditions({{"bundleId", Value("com.example.unknownfield")}})),
      ruleValue("com.example.user", "User", conditions({{"uid", Value("777")}, {"processName", Value("tool")}})),
  });
  struct Case {
    const char* name;
    std::function<void(VelmoraEventData&)> edit;
    std::optional<const char*> productKey;
  } cases[] = {
      {"responsible identifier by prefix",
       [](VelmoraEventData& e) { e.responsibleBundleID = "com.quillmere.writer.helper"; }, "com.quillmere.suite"},
      {"launched identifier when the responsible one is absent",
       [](VelmoraEventData& e) {
         e.responsibleBundleID = "";
         e.processBundleID = "com.quillmere.writer";
       },
       "com.quillmere.suite"},
      {"second pattern of the field",
       [](VelmoraEventData& e) { e.processBundleID = "com.quillmere.sheets"; }, "com.quillmere.suite"},
      {"second set needs both fields",
       [](VelmoraEventData& e) {
         e.responsibleTeamID = "QUILL00042";
         e.processName = "quillhelperd";
       },
       "com.quillmere.suite"},
      {"one field of the second set", [](VelmoraEventData& e) { e.processTeamID = "QUILL00042"; }, std::nullopt},
      {"case-sensitive suffix", [](VelmoraEventData& e) { e.targetPath = "/Applications/X.app"; }, std::nullopt},
      {"suffix in capitals", [](VelmoraEventData& e) { e.targetPath = "/Applications/X.APP"; }, "com.example.upper"},
      {"uid as decimal text",
       [](VelmoraEventData& e) {
         e.uid = 777;
         e.processName = "tool";
       },
       "com.example.user"},
      {"no rule", [](VelmoraEventData&) {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VelmoraEventData event = test::sampleEvent();
    c.edit(event);
    auto match = provider->matchingRule(event);
    ASSERT_EQ(match.has_value(), c.productKey.has_value());
    if (match) {
      EXPECT_EQ(match->productKey, *c.productKey);
    }
  }

  // The earlier of two matching rules wins; the display name comes along.
  VelmoraEventData event = test::sampleEvent();
  event.responsibleBundleID = "com.quillmere.writer";
  EXPECT_EQ(provider->matchingRule(event), (ProductMatch{"com.quillmere.suite", "Quillmere Suite"}));

  // A too-short pattern and an unknown field never match and say so on every test.
  log->clear();
  event = test::sampleEvent();
  event.processName = "xab";
  EXPECT_FALSE(provider->matchingRule(event).has_value());
  EXPECT_FALSE(provider->matchingRule(event).has_value());
  EXPECT_EQ(log->count("Pattern '*ab' rejected: requires at least 3 non-wildcard characters"), 2u);
  EXPECT_EQ(log->count("Unknown field name in match condition: 'bundleId'"), 2u);
}

TEST_F(ProductMappingTest, RuleForProductKey) {
  auto set = conditions({{"bundleID", Value("com.example.app")}});
  auto provider = providerWith({ruleValue("com.example.a", "First", set), ruleValue("com.example.a", "Second", set),
                                ruleValue("/Applications/B.app", nullptr, set)});
  EXPECT_EQ(provider->rule("com.example.a"), (ProductMatch{"com.example.a", "First"}));
  EXPECT_EQ(provider->rule("/Applications/B.app"), (ProductMatch{"/Applications/B.app", std::nullopt}));
  EXPECT_FALSE(provider->rule("com.example.A").has_value());
  EXPECT_FALSE(ProductMappingProvider::create(nullptr)->rule("com.example.a").has_value());
}

TEST_F(ProductMappingTest, ProductKeyOfALaunch) {
  test::TempDirectory apps;
  auto suite = test::writeApp(apps, "Suite.app", "Suite", test::plistString("CFBundleIdentifier", "com.quillmere.suite.app"),
                              "binary");
  const std::string helperPath = suite.bundle + "/Contents/Helpers/helper";
  auto provider = providerWith({
      ruleValue("com.quillmere.suite", "Quillmere Suite", conditions({{"responsibleBundleID", Value("com.quillmere.suite.app")}})),
      ruleValue("com.example.framework", "Framework", conditions({{"responsibleBundleID", Value("com.example.framework")}})),
  });
  VelmoraEventData event = test::sampleEvent("/opt/tools/run");
  event.responsiblePath = "/opt/tools/run";
  event.responsibleBundleID = "<unknown>";
  const LaunchBundle framework{"Kit.framework", "/Library/Frameworks/Kit.framework", "com.example.framework", "1",
                               "TEAM", "Developer", BundleType::framework};
  LaunchBundle plugin = framework;
  plugin.kind = BundleType::plugin;

  struct Case {
    const char* name;
    const ProductMappingProviding* provider;
    std::optional<LaunchBundle> bundle;
    std::string responsiblePath;
    std::string expected;
  } cases[] = {
      {"no provider: the bundle's root", nullptr, framework, "/opt/tools/run", "/Library/Frameworks/Kit.framework"},
      {"no provider: responsible path without a bundle", nullptr, std::nullopt, "/opt/tools/run", "/opt/tools/run"},
      {"a plug-in is no candidate", nullptr, plugin, "/Applications/Host.app/Contents/MacOS/Host", "/Applications/Host.app"},
      {"the bundle as responsible process matches", provider.get(), framework, "/opt/tools/run", "com.example.framework"},
      {"the plug-in's identifier is not used", provider.get(), plugin, "/opt/tools/run", "/opt/tools/run"},
      {"second try with the containing bundle's identifier", provider.get(), std::nullopt, helperPath,
       "com.quillmere.suite"},
      {"no match: the default key", provider.get(), std::nullopt, "/Applications/None.app/Contents/MacOS/None",
       "/Applications/None.app"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VelmoraEventData e = event;
    e.responsiblePath = c.responsiblePath;
    EXPECT_EQ(ProductMappingProviding::productKey(c.provider, e, c.bundle, test::rootFiles()), c.expected);
  }
}

// The index only skips sets that cannot match: over random rules and events
// it gives the answer, and the log lines, of testing every set in order.
// Small rule lists are matched by testing every set (the lookups would cost
// more), large ones through the index; both sizes occur. The repeated piece
// "aaa" puts many rules on one trigram.
TEST(ProductRuleSet, IndexAgreesWithTestingEverySet) {
  std::mt19937 random(20260101);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const std::vector<std::string> words = {"com.alpha", "com.beta", "org.gamma", "Helper", "Tool", "/Apps/A.app",
                                          "/Apps/B.app/Contents", "TEAM1", "TEAM2", "x", "aaaa", "aaaaaaaaaaaa"};
  const std::vector<std::string> fields = {"bundleID", "teamID", "path", "developerName", "processName",
                                           "responsibleBundleID", "targetPath", "uid", "bundleId"};
  auto text = [&] { return words[pick(words.size())] + (pick(2) ? words[pick(words.size())] : ""); };
  auto pattern = [&] {
    std::string core = text();
    switch (pick(6)) {
      case 0: return core;
      case 1: return core + "*";
      case 2: return "*" + core;
      case 3: return "*" + core + "*";
      case 4: return "*" + core.substr(0, 2);  // too short
      default: return "**" + core;
    }
  };
  test::LogCapture log;
  const auto& logger = platform::Logger::defaultLog();
  std::size_t matches = 0;
  for (int round = 0; round < 40; ++round) {
    std::vector<ProductRule> rules;
    for (std::size_t r = 0, n = round % 2 ? 1 + pick(30) : 100 + pick(300); r < n; ++r) {
      ProductRule rule{{}, "key" + std::to_string(r), "Name"};
      for (std::size_t s = 0, sets = 1 + pick(3); s < sets; ++s) {
        ProductRule::ConditionSet set;
        for (std::size_t f = 0, count = 1 + pick(2); f < count; ++f) {
          auto& patterns = set[fields[pick(fields.size())]];
          for (std::size_t p = 0, k = 1 + pick(3); p < k; ++p) patterns.push_back(pattern());
        }
        rule.matchConditions.push_back(std::move(set));
      }
      rules.push_back(std::move(rule));
    }
    ProductRuleSet set(std::move(rules));
    for (int e = 0; e < 50; ++e) {
      VelmoraEventData event = test::sampleEvent();
      for (std::string* value : {&event.processName, &event.processBundleID, &event.processTeamID, &event.processPath,
                                 &event.responsibleBundleID, &event.responsibleTeamID, &event.responsiblePath,
                                 &event.responsibleDeveloperName, &event.processDeveloperName, &event.targetPath}) {
        *value = pick(4) == 0 ? "" : text();
      }
      log->clear();
      auto scanned = set.firstMatchByScan(event, logger);
      auto scanLines = log->messages();
      log->clear();
      auto indexed = set.firstMatch(event, logger);
      ASSERT_EQ(indexed, scanned) << "round " << round << " event " << e;
      ASSERT_EQ(log->messages(), scanLines) << "round " << round << " event " << e;
      if (indexed) ++matches;
    }
  }
  // The events must exercise matches, not only misses.
  EXPECT_GT(matches, 200u);
}

// Values chosen to hit the index hardest: many rules on one trigram and a
// long value made of it, in both values of a combined field. The answer and
// the log lines stay those of testing every set (the time is measured in
// bench_rules); a value this long once took seconds and hundreds of
// megabytes per event.
TEST(ProductRuleSet, HostileValuesGiveTheAnswerOfTestingEverySet) {
  constexpr std::size_t kRules = 20000;
  std::vector<ProductRule> rules;
  for (std::size_t i = 0; i < kRules; ++i) {
    std::string n = std::to_string(i);
    rules.push_back(ProductRule{{{{"path", {"*aaaa*"}}, {"processName", {"*tool" + n + ".*"}}}}, "key" + n, "Name"});
  }
  // A set that logs when tested, halfway: it must be tested (and log) exactly
  // when testing every set reaches it.
  rules[kRules / 2].matchConditions.push_back({{"processName", {"*ab"}}});
  ProductRuleSet set(std::move(rules));

  const std::string longValue = "/" + std::string(4000, 'a');
  struct Case {
    const char* name;
    std::string processName;
    bool bothPaths;
    std::optional<std::size_t> expected;
    std::size_t logLines;
  } cases[] = {
      {"no rule matches", "worker", false, std::nullopt, 1},
      {"no rule matches, long value twice", "worker", true, std::nullopt, 1},
      {"an early rule", "tool7.", false, 7, 0},
      {"the last rule, past the logging set", "tool19999.", true, kRules - 1, 1},
  };
  test::LogCapture log;
  const auto& logger = platform::Logger::defaultLog();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VelmoraEventData event = test::sampleEvent();
    event.responsiblePath = longValue;
    if (c.bothPaths) event.processPath = longValue;
    event.processName = c.processName;
    log->clear();
    auto scanned = set.firstMatchByScan(event, logger);
    auto scanLines = log->messages();
    log->clear();
    auto indexed = set.firstMatch(event, logger);
    EXPECT_EQ(scanned, c.expected);
    EXPECT_EQ(indexed, c.expected);
    EXPECT_EQ(log->messages(), scanLines);
    EXPECT_EQ(scanLines.size(), c.logLines);
  }
}
