#include <gtest/gtest.h>

#include "platform/PropertyList.h"
#include "tests/support/DaemonHarness.h"

using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

std::string xml(const Value& value) { return platform::PropertyList::encodeXml(value).value(); }

class RulesReload : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon.writeDefaults("com.corvane.nimbrad", {{"logLevel", Value("debug")}});
    ASSERT_TRUE(daemon.start()) << daemon.logText();
  }

  void install(const std::string& ns, const std::string& factor, const std::string& content, int deployment) {
    std::string file = daemon.root().write("content-" + std::to_string(++files_) + ".plist", content);
    auto result = daemon.ctl({"fennix", "install", ns, factor, file, "--rollout", "R", "--deployment",
                              std::to_string(deployment), "--factor-pack", "FP"});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
  }

  // Waits until `needle` occurs once more than `before` times.
  bool next(const std::string& needle, std::size_t before) { return daemon.waitForCount(needle, before + 1); }

  DaemonHarness daemon;
  int files_ = 0;
};

}  // namespace

TEST_F(RulesReload, NewExclusionRulesApplyWithoutRestartAndRepeatsStayQuiet) {
  const std::string changed = "Notifying observers OnDataChange Exclusion Rules changed, notifying observers";
  const std::string unchanged = "Exclusion Rules unchanged. No observers notified";
  // The built-in default is loaded at start.
  EXPECT_EQ(daemon.count("Loaded Exclusion Rules from bundled default factors"), 1u) << daemon.logText();
  EXPECT_EQ(daemon.count("Loaded 4 rules"), 1u);

  const std::string coral =
      xml(Value(Array{Value(Dictionary{{"responsible_bundle_id", Value("com.example.excluded")}})}));
  install("LANTERN_MOSS_CORAL", "CORAL_PLIST", coral, 11);
  ASSERT_TRUE(daemon.waitForLine("<nimbrad> [ROLLOUT] assetType=exclusionRules deployment=rollout deploymentID=11"))
      << daemon.logText();
  ASSERT_TRUE(daemon.waitForLine(changed)) << daemon.logText();
  EXPECT_EQ(daemon.count("Loaded Exclusion Rules from Fennix rollout (rollout:R deployment:11 factorPack:FP)"), 1u);
  EXPECT_EQ(daemon.count("Loaded 1 rules"), 1u);

  // The same rules once more: reloaded, nothing posted.
  install("LANTERN_MOSS_CORAL", "CORAL_PLIST", coral, 12);
  ASSERT_TRUE(daemon.waitForLine(unchanged)) << daemon.logText();
  EXPECT_EQ(daemon.count("Loaded 1 rules"), 2u);

  // A Darwin notification rereads the current asset; bad content keeps the rules.
  ASSERT_EQ(daemon.ctl({"notify", "com.corvane.nimbra.exclusionrules.changed"}).exitStatus, 0);
  ASSERT_TRUE(daemon.waitForLine("Exclusion Rules refresh completed - no changes detected")) << daemon.logText();
  install("LANTERN_MOSS_CORAL", "CORAL_PLIST",
          xml(Value(Array{Value(Dictionary{{"process_uid", Value(501)}})})), 13);
  ASSERT_TRUE(daemon.waitForLine("Failed to load new Exclusion Rules, keeping existing data")) << daemon.logText();
  EXPECT_EQ(daemon.count(changed), 1u);
  EXPECT_TRUE(daemon.running());
}

TEST_F(RulesReload, ProductMappingsAndNativeAppsFollowTheirAssets) {
  const Value rule(Dictionary{{"productKey", Value("com.example.product")},
                              {"displayName", Value("Example Product")},
                              {"matchConditions", Value(Dictionary{{"bundleID", Value("com.example.*")}})}});
  std::size_t rulesLoaded = daemon.count("Loaded 1 product mapping rules");
  install("LANTERN_MOSS_BEACON", "BEACON_PLIST", xml(Value(Array{rule})), 21);
  ASSERT_TRUE(next("Loaded 1 product mapping rules", rulesLoaded)) << daemon.logText();
  ASSERT_TRUE(daemon.waitForLine("Notifying observers OnDataChange Product Mappings changed, notifying observers"))
      << daemon.logText();

  const Value apps(Dictionary{{"com.example.product", Value(Dictionary{{"actionURL", Value("https://example.com/a")}})},
                              {"com.example.bad", Value(Dictionary{{"actionURL", Value("ftp://example.com/b")}})}});
  install("LANTERN_MOSS_MAGPIE", "MAGPIE_PLIST", xml(apps), 22);
  ASSERT_TRUE(daemon.waitForLine("Loaded 1 mappings (1 invalid entries skipped)")) << daemon.logText();
  EXPECT_EQ(daemon.count("Skipping 'com.example.bad': URL validation failed"), 1u);
  ASSERT_TRUE(daemon.waitForLine("Notifying observers OnDataChange Native Apps changed, notifying observers"));
  EXPECT_TRUE(daemon.running());
}
