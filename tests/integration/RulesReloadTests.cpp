#include <gtest/gtest.h>

#include <algorithm>

#include "platform/DarwinNotifyCenter.h"
#include "platform/FennixStore.h"
#include "platform/PropertyList.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/LaunchEvents.h"

using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

std::string xml(const Value& value) { return platform::PropertyList::encodeXml(value).value(); }

// Installs `content` as a rollout straight into the daemon's Fennix store (no
// nimbractl process, so that a test can time it against a reload); returns
// the installed file's path.
std::string installRollout(const DaemonHarness& daemon, const std::string& ns, const std::string& factor,
                           const std::string& content, int deployment) {
  std::string source = daemon.root().write("source-" + ns + "-" + std::to_string(deployment) + ".plist", content);
  platform::FennixStore store(daemon.stateDirectory() + "/fennix");
  auto installed = store.install(ns, factor, source, platform::FennixRolloutIdentifiers{"R", deployment, "FP"});
  EXPECT_TRUE(installed.hasValue()) << installed.error();
  return installed ? *installed : std::string();
}

// A launch of /Applications/<name>.app whose responsible bundle identifier is `bundleID`.
nimbra::VelmoraEventData launchOf(const std::string& name, const std::string& bundleID) {
  auto event = sampleEvent("/Applications/" + name + ".app/Contents/MacOS/" + name, 501, "2026-12-01 10:00:00");
  event.responsibleBundleID = bundleID;
  return event;
}

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

// A rollout that cannot be used at start leaves each rule asset's built-in
// content in force, as a running daemon would have kept it, and says so once.
TEST(RulesAtStart, UnusableRolloutsLeaveTheBuiltInRules) {
  DaemonHarness daemon;
  std::string coral = installRollout(daemon, "LANTERN_MOSS_CORAL", "CORAL_PLIST", "garbage, not a property list", 41);
  std::string beacon = installRollout(daemon, "LANTERN_MOSS_BEACON", "BEACON_PLIST",
                                      xml(Value(Dictionary{{"productKey", Value("com.example.other")}})), 42);
  std::string magpie = installRollout(daemon, "LANTERN_MOSS_MAGPIE", "MAGPIE_PLIST", xml(Value(Array{})), 43);
  ASSERT_TRUE(daemon.start()) << daemon.logText();

  for (const auto& expected : {"Failed to load Exclusion Rules from " + coral + " (not a property list: ",
                               "Failed to load Product Mappings from " + beacon +
                                   " (not an array of rule dictionaries); using the bundled default instead",
                               "Failed to load Native Apps from " + magpie +
                                   " (the root is not a dictionary); using the bundled default instead"}) {
    EXPECT_EQ(daemon.count(expected), 1u) << expected << "\n" << daemon.logText();
  }
  EXPECT_EQ(daemon.count("; using the bundled default instead"), 3u);
  // The built-in native app list: its four entries.
  EXPECT_EQ(daemon.count("Loaded 4 mappings"), 1u);

  // The built-in exclusion rules apply, and the built-in product mappings group the launch.
  // Launches are decided one after the other, so once the second is recorded the first was decided.
  sendLaunchEvents(daemon, {launchOf("Harness", "com.example.translation-harness"), launchOf("Paint", "com.lumenfold.paint")});
  ASSERT_TRUE(daemon.waitForLine("Product Key: com.lumenfold.studio")) << daemon.logText();
  EXPECT_EQ(daemon.count("<nimbrad> registerDatabaseEntry: Process excluded, skip adding Harness"), 1u)
      << daemon.logText();
  EXPECT_TRUE(daemon.running());
}

// A reload on the Darwin notification that is still parsing the previous
// rollout when the manager stores a new one must not put the old rules back.
// The previous rollout is large, so that its parse outlasts the store (the
// manager reads an install only after a quiet moment); the test checks that
// the two really overlapped, and tries again when they did not.
TEST_F(RulesReload, ADarwinReloadRacingARolloutInstallEndsOnTheNewerAsset) {
  constexpr int kFiller = 200000;
  Array older;
  for (int i = 0; i < kFiller; ++i) {
    older.emplace_back(Dictionary{{"process_name", Value("filler-" + std::to_string(i))}});
  }
  older.emplace_back(Dictionary{{"responsible_bundle_id", Value("com.example.older")}});
  const std::string olderContent = xml(Value(std::move(older)));
  const std::string newerContent =
      xml(Value(Array{Value(Dictionary{{"responsible_bundle_id", Value("com.example.newer")}})}));
  // The ends of the two kinds of reload.
  const std::string assetApplied = "Notifying observers OnDataChange Exclusion Rules changed, notifying observers";
  const std::string darwinDone = "Exclusion Rules refresh completed - no changes detected";

  bool overlapped = false;
  for (int attempt = 0; attempt < 3 && !overlapped; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    const std::string olderDeployment = std::to_string(100 + 2 * attempt);
    const std::string newerDeployment = std::to_string(101 + 2 * attempt);
    std::size_t applied = daemon.count(assetApplied);
    std::size_t darwinEnds = daemon.count(darwinDone);
    installRollout(daemon, "LANTERN_MOSS_CORAL", "CORAL_PLIST", olderContent, std::stoi(olderDeployment));
    ASSERT_TRUE(daemon.waitForCount(assetApplied, ++applied, 60s)) << daemon.logText();

    // The Darwin reload reads the older rollout; while it parses, the newer one is installed.
    const std::string darwinRead = "Loaded Exclusion Rules from Fennix rollout (rollout:R deployment:" +
                                   olderDeployment + " factorPack:FP)";
    std::size_t reads = daemon.count(darwinRead);
    auto posted = platform::DarwinNotifyCenter::postTo(daemon.runtimeDirectory() + "/notify",
                                                       "com.corvane.nimbra.exclusionrules.changed");
    ASSERT_TRUE(posted.hasValue()) << posted.error();
    ASSERT_TRUE(daemon.waitForCount(darwinRead, reads + 1, 60s)) << daemon.logText();
    installRollout(daemon, "LANTERN_MOSS_CORAL", "CORAL_PLIST", newerContent, std::stoi(newerDeployment));
    // The Darwin reload ends finding the rules it read already in force; had
    // it ended after the newer rollout's reload, it would have put them back.
    ASSERT_TRUE(daemon.waitForCount(darwinDone, ++darwinEnds, 60s)) << daemon.logText();
    ASSERT_TRUE(daemon.waitForCount(assetApplied, ++applied, 60s)) << daemon.logText();

    // Overlapped: the manager reported the newer rollout before the Darwin
    // reload ended.
    auto lines = daemon.lines();
    auto last = [&](const std::string& needle) {
      auto it = std::find_if(lines.rbegin(), lines.rend(),
                             [&](const std::string& line) { return line.find(needle) != std::string::npos; });
      return static_cast<std::size_t>(lines.rend() - it);
    };
    overlapped = last("Exclusion Rules changed via AssetProvider") < last(darwinDone);

    // Whatever the order, the newer rules are the ones in force. Launches
    // are decided in order: once the second is recorded, the first was decided.
    std::string n = std::to_string(attempt);
    sendLaunchEvents(daemon, {launchOf("Newer" + n, "com.example.newer"), launchOf("Older" + n, "com.example.older")});
    EXPECT_TRUE(daemon.waitForLine("<nimbrad> registerDatabaseEntry: Older" + n + " rid:")) << daemon.logText();
    EXPECT_EQ(daemon.count("Process excluded, skip adding Newer" + n), 1u) << daemon.logText();
    EXPECT_EQ(daemon.count("Process excluded, skip adding Older" + n), 0u);
  }
  EXPECT_TRUE(overlapped) << "the reload never overlapped the install: the race was not exercised";
  EXPECT_TRUE(daemon.running());
}
