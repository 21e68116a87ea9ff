#include <gtest/gtest.h>

#include "nimbrad/DateFormatter.h"
#include "nimbrad/LaunchAnalytics.h"
#include "tests/support/RecordingAnalyticsService.h"

using namespace nimbra;

namespace {

VelmoraEventData appLaunch() {
  VelmoraEventData e;
  e.processName = "Foo";
  e.processPath = "/Applications/Foo.app/Contents/MacOS/Foo";
  e.targetPath = e.processPath;
  e.processBundleID = "com.example.foo";
  e.uid = 501;
  return e;
}

}  // namespace

TEST(LaunchAnalytics, FallbackReasonNamesTheExecutableOfItsPrefix) {
  struct Case {
    const char* description;
    const char* expected;
  } cases[] = {
      {"Due to Responsible: Host", "Due to Responsible: Host [Host (/Apps/Host.app)]"},
      {"Due to Target: tool", "Due to Target: tool [tool (/usr/local/bin/tool)]"},
      {"x86 Only", "x86 Only"},
      {"<UNKNOWN>", "<UNKNOWN>"},
      // The prefix must open the text, with its trailing space.
      {"Not Due to Target: x", "Not Due to Target: x"},
      {"Due to Target:", "Due to Target:"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fallbackDescriptorReason(c.description, "Host", "/Apps/Host.app", "tool", "/usr/local/bin/tool"),
              c.expected)
        << c.description;
  }
}

TEST(LaunchAnalytics, FallbackDescriptorOfAnEntryCarriesItsReasonAndFiveValues) {
  ProcessDataEntry entry;
  entry.process_name = "Foo Helper";
  entry.process_bundle_id = "com.example.foo.helper";
  entry.process_bundle_version = "1.2";
  entry.responsible_name = "Foo";
  entry.responsible_path = "/Applications/Foo.app/Contents/MacOS/Foo";
  entry.target_name = "tool";
  entry.target_path = "/opt/tool";
  entry.previously_launched_date = platform::Date{1700000000};
  entry.reason = VelmoraReason::fromResponsible(VelmoraEntity{.name = "Foo"});

  std::string reason = fallbackDescriptorReason(entry);
  EXPECT_EQ(reason, "Due to Responsible: Foo [Foo (/Applications/Foo.app/Contents/MacOS/Foo)]");

  test::RecordingAnalyticsService analytics;
  sendFallbackDescriptorEvent(analytics, entry, reason);
  auto events = analytics.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "com.corvane.nimbra.velmora-fallback-descriptor");
  platform::Dictionary expected{{"Reason", reason},
                                {"Timestamp", DateFormatter::format(entry.previously_launched_date)},
                                {"ProcessBundleIdentifier", "com.example.foo.helper"},
                                {"ProcessBundleVersion", "1.2"},
                                {"ProcessName", "Foo Helper"}};
  EXPECT_EQ(events[0].payload, expected);

  entry.reason = VelmoraReason::fromTarget(VelmoraEntity{.name = "tool"});
  EXPECT_EQ(fallbackDescriptorReason(entry), "Due to Target: tool [tool (/opt/tool)]");
}

TEST(LaunchAnalytics, GameDecisionCodesAndLibraryLoadSkip) {
  struct Case {
    GameCheckResult result;
    std::int64_t code;
  } cases[] = {{GameCheckResult::isGame(), 1},
               {GameCheckResult::notGame(), 2},
               {GameCheckResult::undeterminedGame("Query timeout after 5.0s"), 3}};
  for (const auto& c : cases) {
    test::RecordingAnalyticsService analytics;
    sendGameDecisionEvent(analytics, appLaunch(), c.result);
    auto events = analytics.events();
    ASSERT_EQ(events.size(), 1u) << c.result.text();
    EXPECT_EQ(events[0].name, "com.corvane.nimbra.velmoragames");
    EXPECT_EQ(events[0].payload, (platform::Dictionary{{"LudexDecision", c.code},
                                                       {"ProcessBundleIdentifier", "com.example.foo"}}));
  }

  // A plug-in loaded into another process: nothing is offered at all.
  test::RecordingAnalyticsService analytics;
  auto load = appLaunch();
  load.targetPath = "/Library/Plugins/Thing.plugin/Contents/MacOS/Thing";
  sendGameDecisionEvent(analytics, load, GameCheckResult::notGame());
  EXPECT_EQ(analytics.offered(), 0u);
}
