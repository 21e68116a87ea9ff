#include <gtest/gtest.h>

#include <filesystem>

#include "nimbrad/VelmoraPolicy.h"
#include "platform/PropertyList.h"
#include "tests/support/DaemonHarness.h"

using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kPolicyChanged = "com.corvane.nimbra.policy.changed";

std::string policyLoaded(std::uint64_t periodic) {
  return "<nimbrad> [POLICY_LOADED] enabled=1 appRateLimit=2592000 overallRateLimit=86400 periodicInterval=" +
         std::to_string(periodic) + " catchupInterval=86400 pluginNotifications=0";
}

void expectSuccess(const CommandResult& result) {
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
}

}  // namespace

TEST(PolicyReload, AdministratorDefaultsApplyOnTheDarwinNotification) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  EXPECT_TRUE(daemon.waitForLine("policyEnabled=1 assetsLoaded=yes")) << daemon.logText();
  EXPECT_TRUE(daemon.waitForLine("VelmoraPolicyManager initialization complete - " +
                                 nimbra::VelmoraPolicy::builtInDefault().description()));

  expectSuccess(daemon.ctl({"defaults", "write", "com.corvane.nimbra.policy", "velmora.periodicInterval", "7200"}));
  expectSuccess(daemon.ctl({"notify", kPolicyChanged}));
  ASSERT_TRUE(daemon.waitForLine(policyLoaded(7200))) << daemon.logText();
  EXPECT_TRUE(daemon.waitForLine("<nimbrad> VelmoraPolicyManager configuration changed - updating SystemTaskScheduler"));

  // The same again: nothing changed, nothing is published.
  expectSuccess(daemon.ctl({"notify", kPolicyChanged}));
  ASSERT_TRUE(daemon.waitForLine("Policy refresh completed - no changes detected")) << daemon.logText();
  EXPECT_EQ(daemon.count("[POLICY_LOADED]"), 1u);

  // A zero catch-up interval invalidates the whole suite: the 7200 goes too.
  expectSuccess(daemon.ctl({"defaults", "write", "com.corvane.nimbra.policy", "velmora.catchupInterval", "0"}));
  expectSuccess(daemon.ctl({"notify", kPolicyChanged}));
  ASSERT_TRUE(daemon.waitForLine(policyLoaded(0))) << daemon.logText();
  EXPECT_EQ(daemon.count("Rejecting zero value for catchupInterval"), 1u);
  EXPECT_EQ(daemon.count("Failed to create policy from invalid UserDefaults data"), 1u);
  EXPECT_EQ(daemon.count("[POLICY_LOADED]"), 2u);
  EXPECT_TRUE(daemon.running());
}

TEST(PolicyReload, FennixRolloutIsPickedUpAndBadContentChangesNothing) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  auto install = [&](const std::string& name, const std::string& content, const std::string& rollout,
                     const std::string& deployment) {
    std::string file = daemon.root().write(name, content);
    auto result = daemon.ctl({"fennix", "install", "LANTERN_MOSS_PUMPKIN", "PUMPKIN_PLIST", file, "--rollout", rollout,
                              "--deployment", deployment, "--factor-pack", "FP"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    std::string path = result.out;
    while (!path.empty() && path.back() == '\n') path.pop_back();
    return path;
  };
  auto policyFile = [](long long periodic) {
    return platform::PropertyList::encodeXml(Value(Dictionary{{"periodicInterval", Value(periodic)}})).value();
  };

  // Waits for one more occurrence of `needle` than there was when `before` was taken.
  auto waitForNext = [&](const std::string& needle, std::size_t before) {
    return daemon.waitForCount(needle, before + 1);
  };
  const std::string keptPolicy = "Keeping last known good velmora policy";
  const std::string unreadable = "Failed to parse velmora policy from Fennix, keeping last known good policy";
  const std::string keptAsset =
      "[AssetManager] Fennix update failed validation for Velmora Notification Policy, keeping last known good version";

  // Bad content while the built-in policy is in force: logged, nothing changes.
  install("negative.plist", policyFile(-60), "R0", "7");
  ASSERT_TRUE(daemon.waitForLine("Rejecting negative value for periodicInterval: -60")) << daemon.logText();
  ASSERT_TRUE(daemon.waitForLine(keptPolicy)) << daemon.logText();
  std::size_t before = daemon.count(unreadable);
  install("garbage.plist", "this is not a property list", "R0", "8");
  ASSERT_TRUE(waitForNext(unreadable, before)) << daemon.logText();
  EXPECT_EQ(daemon.count("[POLICY_LOADED]"), 0u);

  // A good rollout is in force without a restart.
  std::string good = install("good.plist", policyFile(5400), "R1", "42");
  ASSERT_TRUE(daemon.waitForLine(
      "<nimbrad> [ROLLOUT] assetType=velmoraNotificationPolicy deployment=rollout deploymentID=42 rolloutID=R1"))
      << daemon.logText();
  ASSERT_TRUE(daemon.waitForLine(policyLoaded(5400))) << daemon.logText();
  EXPECT_TRUE(daemon.waitForLine("Policy deploymentID changed: 8 -> 42"));

  // The file removed: the manager keeps its last good asset, and the policy
  // read again (on an unrelated change) keeps the rolled-out values.
  before = daemon.count(unreadable);
  ASSERT_TRUE(std::filesystem::remove(good));
  ASSERT_TRUE(daemon.waitForLine(keptAsset)) << daemon.logText();
  std::size_t unchanged = daemon.count("Policy refresh completed - no changes detected");
  expectSuccess(daemon.ctl({"notify", kPolicyChanged}));
  ASSERT_TRUE(waitForNext(unreadable, before)) << daemon.logText();
  ASSERT_TRUE(waitForNext("Policy refresh completed - no changes detected", unchanged));

  // Bad content after a good rollout keeps the good policy too.
  before = daemon.count(keptPolicy);
  install("negative-again.plist", policyFile(-1), "R2", "43");
  ASSERT_TRUE(waitForNext(keptPolicy, before)) << daemon.logText();
  EXPECT_TRUE(daemon.waitForLine("Policy deploymentID changed: 42 -> 43"));
  before = daemon.count(keptAsset);
  expectSuccess(daemon.ctl({"fennix", "clear", "LANTERN_MOSS_PUMPKIN"}));
  ASSERT_TRUE(waitForNext(keptAsset, before)) << daemon.logText();
  EXPECT_EQ(daemon.count("[POLICY_LOADED]"), 1u) << daemon.logText();
  EXPECT_TRUE(daemon.running());
}
