#include <gtest/gtest.h>

#include "nimbrad/EntryFilter.h"
#include "nimbrad/ProcessListDataStore.h"
#include "tests/support/LogCapture.h"
#include "tests/support/StoreFixtures.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;

namespace {

class FixedRules final : public ExclusionRulesProviding {
 public:
  explicit FixedRules(ExclusionRuleList rules) : rules_(std::move(rules)) {}
  ExclusionRuleList currentRules() const override { return rules_; }
  std::optional<platform::ObserverToken> addObserver(RulesHandler) override { return std::nullopt; }
  void removeObserver(platform::ObserverToken) override {}

 private:
  ExclusionRuleList rules_;
};

VelmoraPolicy policyWithPlugins(bool enabled) {
  VelmoraPolicy policy = VelmoraPolicy::builtInDefault();
  policy.pluginNotificationEnabled = enabled;
  return policy;
}

class EntryFilterTest : public ::testing::Test {
 protected:
  void useRules(ExclusionRuleList rules) { store.setExclusionRulesProvider(std::make_shared<FixedRules>(std::move(rules))); }

  test::LogCapture log;
  test::TempDirectory dir;
  ProcessListDataStore store{dir.path()};
  ProcessDataEntry entry = test::makeEntry("Quillmere");
};

}  // namespace

TEST(EntryFilter, UninterestingTargetTable) {
  const std::string platformTeam(EntryFilter::kPlatformTeamID);
  struct Case {
    const char* name;
    bool targetPlatform, processPlatform, responsiblePlatform, samePath;
    bool withoutPlugins, withPlugins;  // uninteresting under pluginNotificationEnabled false / true
  } cases[] = {
      {"platform target in a third-party process", true, false, false, true, true, true},
      {"platform target of a platform responsible", true, true, true, true, true, true},
      {"application launched by itself", false, false, false, true, false, false},
      {"platform tool run as itself", true, true, false, true, false, false},
      {"third-party target in a third-party process", false, false, false, false, true, true},
      {"platform target in a platform process", true, true, false, false, true, true},
      {"third-party plug-in in a platform host", false, true, false, false, true, false},
      {"third-party plug-in, platform host and responsible", false, true, true, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessDataEntry entry = test::makeEntry("Host");
    if (c.targetPlatform) entry.target_team_id = platformTeam;
    if (c.processPlatform) entry.process_team_id = platformTeam;
    if (c.responsiblePlatform) entry.responsible_team_id = platformTeam;
    if (!c.samePath) entry.target_path = "/Library/PlugIns/Other.plugin/Contents/MacOS/Other";
    EXPECT_EQ(EntryFilter::isUninterestingTarget(entry, policyWithPlugins(false)), c.withoutPlugins);
    EXPECT_EQ(EntryFilter::isUninterestingTarget(entry, policyWithPlugins(true)), c.withPlugins);
  }
  // The team is compared exactly.
  ProcessDataEntry entry = test::makeEntry("Host");
  entry.target_team_id = "corvane";
  EXPECT_FALSE(EntryFilter::isUninterestingTarget(entry, policyWithPlugins(false)));
}

TEST_F(EntryFilterTest, PlatformToolsAreIgnoredByNameOnly) {
  useRules({});
  for (const char* name :
       {"Pakmaster", "com.corvane.brindle.sidecarAgent", "patchwardend", "tessad-root-aide", "tessad-aide", "indexling"}) {
    ProcessDataEntry e = entry;
    e.responsible_team_id = "Corvane";
    e.responsible_name = name;
    EXPECT_TRUE(store.ignoreListMatches(e)) << name;
    EXPECT_TRUE(log->contains(std::string("<nimbrad:PLDS:IGNORELIST> Ignoring Corvane App: ") + name));
  }
  for (const char* name : {"pakd", "system_pakd", "tessad-root-aide", "tessad-aide", "indexling"}) {
    ProcessDataEntry e = entry;
    e.process_team_id = "Corvane";
    e.process_name = name;
    EXPECT_TRUE(store.ignoreListMatches(e)) << name;
  }
  // "Pakmaster" is a responsible name only, and the names count only for
  // platform binaries.
  ProcessDataEntry e = entry;
  e.process_team_id = "Corvane";
  e.process_name = "Pakmaster";
  EXPECT_FALSE(store.ignoreListMatches(e));
  e = entry;
  e.responsible_name = "Pakmaster";
  EXPECT_FALSE(store.ignoreListMatches(e));

  // A platform entry outside the sets is kept even when a rule matches it.
  useRules({{{"responsible_name", "QuillmereLauncher"}}});
  e = entry;
  e.responsible_team_id = "Corvane";
  EXPECT_FALSE(store.ignoreListMatches(e));
  EXPECT_TRUE(store.ignoreListMatches(entry));
}

TEST(EntryFilter, RuleMatching) {
  ProcessDataEntry entry = test::makeEntry("Quillmere");
  entry.responsible_developer_name = "CodeWeavers Inc.";
  struct Case {
    const char* name;
    ExclusionRule rule;
    bool matches;
  } cases[] = {
      {"exact text", {{"responsible_developer_name", "CodeWeavers Inc."}}, true},
      {"letter case differs", {{"responsible_developer_name", "Codeweavers Inc."}}, false},
      {"no patterns", {{"responsible_developer_name", "CodeWeavers*"}}, false},
      {"both keys match", {{"process_name", "Quillmere"}, {"process_team_id", "PTEAMQuillmere"}}, true},
      {"one of two keys differs", {{"process_name", "Quillmere"}, {"process_team_id", "OTHER"}}, false},
      {"user is not text", {{"process_uid", "501"}}, false},
      {"flag is not text", {{"is_embedded_component", "false"}}, false},
      {"count is not text", {{"number_of_times_launched", "1"}}, false},
      {"reason is not text", {{"reason", entry.reason.description()}}, false},
      {"date is not text", {{"previously_launched_date", entry.previously_launched_date_string}}, false},
      {"derived text field", {{"main_bundle", "Quillmere.app"}}, true},
      {"the target's value under the process's name", {{"process_name", "QuillmereEngine"}}, false},
      {"the responsible's value under the target's name", {{"target_team_id", "RTEAMQuillmere"}}, false},
      {"name of no field", {{"bundle", "Quillmere"}}, false},
      {"name of no field with the no-value text", {{"bundle", "<ERROR> No Value For Key"}}, false},
      {"column that is no entry field", {{"rid", "1"}}, false},
      {"empty rule", {}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EntryFilter::ruleMatches(entry, c.rule), c.matches) << c.name;
  }
}

TEST(EntryFilter, FieldValuesByName) {
  ProcessDataEntry entry = test::makeEntry("Quillmere", 502);
  EXPECT_EQ(std::get<std::uint32_t>(entry.fieldValue("process_uid")), 502u);
  EXPECT_EQ(std::get<std::string_view>(entry.fieldValue("responsible_path")), "/Applications/QuillmereLauncher.app");
  EXPECT_EQ(std::get<std::string_view>(entry.fieldValue("target_bundle_id")), "com.engine.Quillmere");
  EXPECT_EQ(std::get<std::string_view>(entry.fieldValue("Process_Name")), "<ERROR> No Value For Key");
  EXPECT_EQ(std::get<std::string_view>(entry.fieldValue("")), "<ERROR> No Value For Key");
}

TEST_F(EntryFilterTest, FirstMatchingRuleDecides) {
  useRules({{{"process_name", "Other"}},
            {{"responsible_bundle_id", "com.launcher.Quillmere"}},
            {{"process_name", "Quillmere"}}});
  EXPECT_TRUE(store.ignoreListMatches(entry));
  EXPECT_EQ(log->count("<nimbrad:PLDS:IGNORELIST> Matched exclusion rule: "), 1u);
  EXPECT_TRUE(log->contains(
      "<nimbrad:PLDS:IGNORELIST> Matched exclusion rule: {responsible_bundle_id: \"com.launcher.Quillmere\"} for "
      "Quillmere"));
}

TEST_F(EntryFilterTest, BuiltInRuleOnlyWithoutProvider) {
  ProcessDataEntry weaver = entry;
  weaver.responsible_developer_name = "CodeWeavers Inc.";
  ProcessDataEntry lowerCase = entry;
  lowerCase.responsible_developer_name = "codeweavers inc.";
  EXPECT_TRUE(store.ignoreListMatches(weaver));
  EXPECT_FALSE(store.ignoreListMatches(lowerCase));
  EXPECT_FALSE(store.ignoreListMatches(entry));

  // A provider's empty list keeps everything, the built-in rule included.
  useRules({});
  EXPECT_FALSE(store.ignoreListMatches(weaver));
}

TEST_F(EntryFilterTest, SwitchesAndReasons) {
  useRules({{{"process_name", "Quillmere"}}});
  ProcessDataEntry plugin = test::makeEntry("Plugin");
  plugin.process_team_id = "Corvane";
  plugin.target_path = "/Library/PlugIns/Plugin.plugin/Contents/MacOS/Plugin";
  ProcessDataEntry kept = test::makeEntry("Kept");
  const VelmoraPolicy policy = policyWithPlugins(false);

  EXPECT_TRUE(store.shouldExclude(entry, policy));
  EXPECT_TRUE(log->contains("<nimbrad:PLDS:FILTER> Excluding (ignoreList): Quillmere : QuillmereEngine"));
  EXPECT_TRUE(store.shouldExclude(plugin, policy));
  EXPECT_TRUE(log->contains("<nimbrad:PLDS:FILTER> Excluding (uninteresting): Plugin : PluginEngine"));
  EXPECT_FALSE(store.shouldExclude(plugin, policyWithPlugins(true)));
  EXPECT_FALSE(store.shouldExclude(kept, policy));
  EXPECT_TRUE(log->contains("<nimbrad:PLDS:FILTER> Keeping: Kept : KeptEngine"));

  store.enableIgnoreListFilter = false;
  EXPECT_FALSE(store.shouldExclude(entry, policy));
  EXPECT_TRUE(store.shouldExclude(plugin, policy));

  store.enableUninterestingTargetFilter = false;
  EXPECT_FALSE(store.shouldExclude(plugin, policy));
  store.enableIgnoreListFilter = true;
  EXPECT_TRUE(store.shouldExclude(entry, policy));
}
