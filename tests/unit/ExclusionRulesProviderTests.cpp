#include <gtest/gtest.h>

#include "nimbrad/AssetManager.h"
#include "nimbrad/ExclusionRulesProvider.h"
#include "nimbrad/ProcessListDataStore.h"
#include "nimbrad/VelmoraPolicy.h"
#include "platform/Directories.h"
#include "platform/FennixClient.h"
#include "platform/FennixStore.h"
#include "platform/PropertyList.h"
#include "tests/support/FakeAssetProvider.h"
#include "tests/support/Recorder.h"
#include "tests/support/LogCapture.h"
#include "tests/support/StoreFixtures.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using namespace std::chrono_literals;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

std::string xml(const Value& value) { return platform::PropertyList::encodeXml(value).value(); }

Value rule(std::initializer_list<std::pair<const char*, const char*>> fields) {
  Dictionary dictionary;
  for (const auto& [key, text] : fields) dictionary.emplace(key, Value(text));
  return Value(std::move(dictionary));
}

class ExclusionRulesProviderTest : public ::testing::Test {
 protected:
  Asset asset(const std::string& content, Asset::Source source = Asset::Source::fennix) {
    std::string name = "coral" + std::to_string(++files_) + ".plist";
    return Asset{.type = AssetType::exclusionRules,
                 .fileURL = dir.write(name, content),
                 .deployment = DeploymentType::rollout("R", std::to_string(files_), "F"),
                 .source = source};
  }

  test::LogCapture log;
  test::TempDirectory dir;
  std::shared_ptr<test::FakeAssetProvider> assets = std::make_shared<test::FakeAssetProvider>();
  int files_ = 0;
};

}  // namespace

TEST_F(ExclusionRulesProviderTest, CoralFormat) {
  const Value a = rule({{"responsible_bundle_id", "com.example.a"}});
  const Value b = rule({{"process_name", "tool"}, {"process_team_id", "TEAM"}});
  struct Case {
    const char* name;
    std::string content;
    std::optional<ExclusionRuleList> expected;  // nullopt: unusable as a whole
    std::vector<std::string> lines;
  } cases[] = {
      {"rules in file order", xml(Value(Array{a, b})),
       ExclusionRuleList{{{"responsible_bundle_id", "com.example.a"}},
                         {{"process_name", "tool"}, {"process_team_id", "TEAM"}}},
       {"Loaded 2 rules"}},
      {"empty dictionary skipped", xml(Value(Array{a, Value(Dictionary{}), b})),
       ExclusionRuleList{{{"responsible_bundle_id", "com.example.a"}},
                         {{"process_name", "tool"}, {"process_team_id", "TEAM"}}},
       {"Skipping rule at index 1: empty dictionary", "Loaded 2 rules (1 invalid entries skipped)"}},
      {"only empty dictionaries", xml(Value(Array{Value(Dictionary{})})), ExclusionRuleList{},
       {"Loaded 0 rules (1 invalid entries skipped)"}},
      {"empty array clears", xml(Value(Array{})), ExclusionRuleList{}, {"CORAL.plist is empty"}},
      {"binary format", platform::PropertyList::encodeBinary(Value(Array{a})),
       ExclusionRuleList{{{"responsible_bundle_id", "com.example.a"}}}, {"Loaded 1 rules"}},
      {"integer value", xml(Value(Array{a, Value(Dictionary{{"process_uid", Value(501)}})})), std::nullopt,
       {"Failed to parse CORAL.plist or invalid format - keeping existing rules"}},
      {"array value", xml(Value(Array{Value(Dictionary{{"process_name", Value(Array{Value("x")})}})})), std::nullopt,
       {"Failed to parse CORAL.plist or invalid format - keeping existing rules"}},
      {"dictionary root", xml(Value(Dictionary{{"process_name", Value("x")}})), std::nullopt,
       {"Failed to parse CORAL.plist or invalid format - keeping existing rules"}},
      {"element not a dictionary", xml(Value(Array{a, Value("text")})), std::nullopt,
       {"Failed to parse CORAL.plist or invalid format - keeping existing rules"}},
      {"not a property list", "garbage", std::nullopt, {"Failed to parse CORAL.plist: "}},
  };
  auto provider = ExclusionRulesProvider::create(nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log->clear();
    auto loaded = provider->loadFromAsset(asset(c.content));
    EXPECT_EQ(loaded ? std::optional(*loaded) : std::nullopt, c.expected);
    for (const auto& line : c.lines) EXPECT_TRUE(log->contains(line)) << line;
  }

  log->clear();
  EXPECT_FALSE(provider->loadFromAsset(Asset{.type = AssetType::exclusionRules, .fileURL = dir.file("missing")}));
  EXPECT_TRUE(log->contains("[Asset] Failed to read data for Exclusion Rules: "));
  EXPECT_TRUE(log->contains("Failed to read CORAL asset data"));
}

TEST_F(ExclusionRulesProviderTest, CorruptBuiltInDefaultIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto provider = ExclusionRulesProvider::create(nullptr);
  for (const std::string& content : {std::string("garbage"), xml(Value(Dictionary{}))}) {
    EXPECT_DEATH((void)provider->loadFromAsset(asset(content, Asset::Source::builtInDefault)),
                 "nimbrad/ExclusionRulesProvider: Fatal error: Corrupt bundled default: Exclusion Rules");
  }
  EXPECT_DEATH((void)provider->loadFromAsset(Asset{.type = AssetType::exclusionRules,
                                             .fileURL = dir.file("missing"),
                                             .source = Asset::Source::builtInDefault}),
               "Corrupt bundled default: Exclusion Rules");
  // Fennix content with default factors is still Fennix content: never fatal.
  Asset fennixDefault = asset("garbage");
  fennixDefault.deployment = DeploymentType::defaultFactors();
  EXPECT_FALSE(provider->loadFromAsset(fennixDefault).hasValue());
}

TEST_F(ExclusionRulesProviderTest, ReloadsNotifyOnlyForNewRules) {
  const Value a = rule({{"responsible_bundle_id", "com.example.a"}});
  assets->setAsset(asset(xml(Value(Array{a}))));
  auto provider = ExclusionRulesProvider::create(assets);
  ASSERT_EQ(provider->currentRules().size(), 1u);

  test::Recorder<ExclusionRuleList> changes;
  auto token = provider->addObserver(
      [&](const std::optional<ExclusionRuleList>&, const ExclusionRuleList& rules) { changes.add(rules); });
  ASSERT_TRUE(token.has_value());

  // The same rules in another file, then unusable content: nothing to tell.
  assets->store(asset(xml(Value(Array{a}))));
  EXPECT_TRUE(log->contains("Exclusion Rules unchanged. No observers notified"));
  assets->store(asset(xml(Value(Array{Value(Dictionary{{"process_uid", Value(0)}})}))));
  EXPECT_TRUE(log->contains("Failed to load new Exclusion Rules, keeping existing data"));
  EXPECT_EQ(changes.size(), 0u);
  EXPECT_EQ(provider->currentRules(), (ExclusionRuleList{{{"responsible_bundle_id", "com.example.a"}}}));

  assets->store(asset(xml(Value(Array{}))));
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_TRUE(changes.values()[0].empty());
  EXPECT_TRUE(provider->currentRulesSnapshot()->empty());
  provider->removeObserver(*token);
}

// The rules reach the store's filter through the real manager: a new CORAL
// installed in the rollout store changes exclusion without a restart, and the
// same content installed again tells nobody.
TEST(ExclusionRulesRollout, InstalledContentChangesExclusionWithoutRestart) {
  test::LogCapture log;
  test::TempDirectory state;
  const std::string fennixDirectory = state.file("fennix");
  auto manager = AssetManager::create(
      [&]() -> std::unique_ptr<platform::FennixClient> {
        auto client = platform::FennixClient::openFileStore(fennixDirectory);
        return client ? std::move(client).value() : nullptr;
      },
      platform::directories::resources());
  ASSERT_TRUE(manager->hasFennixClient());
  auto provider = ExclusionRulesProvider::create(manager);
  ProcessListDataStore store(state.file("db"));
  store.setExclusionRulesProvider(provider);

  test::Recorder<ExclusionRuleList> changes;
  auto token = provider->addObserver(
      [&](const std::optional<ExclusionRuleList>&, const ExclusionRuleList& rules) { changes.add(rules); });
  ASSERT_TRUE(token.has_value());

  ProcessDataEntry entry = test::makeEntry("Quillmere");
  const VelmoraPolicy policy = VelmoraPolicy::builtInDefault();
  ASSERT_FALSE(store.ignoreListMatches(entry));

  platform::FennixStore fennix(fennixDirectory);
  std::string content = state.write(
      "coral.plist", xml(Value(Array{rule({{"responsible_bundle_id", entry.responsible_bundle_id.c_str()}})})));
  ASSERT_TRUE(fennix.install("LANTERN_MOSS_CORAL", "CORAL_PLIST", content,
                             platform::FennixRolloutIdentifiers{"R1", 7, "FP1"}).hasValue());
  ASSERT_TRUE(changes.waitForCount(1, 10s));
  EXPECT_TRUE(store.ignoreListMatches(entry));
  EXPECT_TRUE(store.shouldExclude(entry, policy));
  EXPECT_EQ(provider->currentAsset()->deployment, DeploymentType::rollout("R1", "7", "FP1"));

  // The same rules again: the asset is stored and reloaded, the data is equal.
  ASSERT_TRUE(fennix.install("LANTERN_MOSS_CORAL", "CORAL_PLIST", content,
                             platform::FennixRolloutIdentifiers{"R1", 8, "FP1"}).hasValue());
  ASSERT_TRUE(log->waitFor("Exclusion Rules unchanged. No observers notified", 10s));
  EXPECT_EQ(provider->currentAsset()->deployment, DeploymentType::rollout("R1", "8", "FP1"));
  EXPECT_EQ(changes.size(), 1u);
  EXPECT_TRUE(store.shouldExclude(entry, policy));
  provider->removeObserver(*token);
}
