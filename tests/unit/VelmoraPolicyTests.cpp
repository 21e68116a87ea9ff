#include <gtest/gtest.h>

#include <limits>

#include "nimbrad/VelmoraPolicy.h"
#include "tests/support/LogCapture.h"

using namespace nimbra;
using platform::Dictionary;
using platform::Value;

namespace {

const char* const kBuiltInDescription =
    "enabled: true, appRateLimit: 1/30d (2592000s), overallRateLimit: 1/1d (86400s), periodicInterval: 0s (0s), "
    "catchupInterval: 1d (86400s), catchupRecentLaunchWindow: disabled (0), suRecentLaunchWindow: 365d (31536000s), "
    "pluginNotificationEnabled: false, customURLsEnabled: false";

}  // namespace

TEST(VelmoraPolicy, BuiltInDefaultDescription) {
  EXPECT_EQ(VelmoraPolicy::builtInDefault().description(), kBuiltInDescription);
}

TEST(VelmoraPolicy, DescriptionOfSwitchedOffAndSetFields) {
  VelmoraPolicy policy{.appRateLimitInterval = 0,
                       .overallRateLimitInterval = 0,
                       .periodicInterval = 7200,
                       .catchupInterval = 90061,
                       .catchupRecentLaunchWindow = 3660,
                       .suRecentLaunchWindow = 0,
                       .pluginNotificationEnabled = true,
                       .customURLsEnabled = true,
                       .enabled = false};
  EXPECT_EQ(policy.description(),
            "enabled: false, appRateLimit: disabled (interval: 0), overallRateLimit: disabled (interval: 0), "
            "periodicInterval: 2h (7200s), catchupInterval: 1d1h1m1s (90061s), catchupRecentLaunchWindow: 1h1m "
            "(3660s), suRecentLaunchWindow: disabled (0), pluginNotificationEnabled: true, customURLsEnabled: true");
}

TEST(VelmoraPolicy, DurationString) {
  struct Case {
    std::uint64_t seconds;
    const char* text;
  } cases[] = {
      {0, "0s"},        {59, "59s"},     {60, "1m"},          {3600, "1h"},
      {3660, "1h1m"},   {86400, "1d"},   {90061, "1d1h1m1s"}, {86401, "1d1s"},
      {31536000, "365d"}, {std::numeric_limits<std::uint64_t>::max(), "213503982334601d7h15s"},
  };
  for (const auto& c : cases) EXPECT_EQ(durationString(c.seconds), c.text) << c.seconds;
}

TEST(VelmoraPolicy, EffectiveTaskIntervals) {
  struct Case {
    std::uint64_t interval, window, minimum, periodic, catchup;
  } cases[] = {
      // periodic 0 switches the periodic task off; window 0 the catch-up task.
      {0, 0, 3600, 31536000, 31536000},
      {600, 7200, 3600, 3600, 3600},
      {7200, 7200, 3600, 7200, 7200},
      {3600, 1, 3600, 3600, 3600},
  };
  for (const auto& c : cases) {
    VelmoraPolicy policy = VelmoraPolicy::builtInDefault();
    policy.periodicInterval = c.interval;
    policy.catchupInterval = c.interval == 0 ? 1 : c.interval;
    policy.catchupRecentLaunchWindow = c.window;
    EXPECT_EQ(policy.effectivePeriodicInterval(c.minimum), c.periodic) << c.interval;
    EXPECT_EQ(policy.effectiveCatchupInterval(c.minimum), c.catchup) << c.interval;
  }
  // The catch-up task is switched off by its window whatever its interval.
  VelmoraPolicy policy = VelmoraPolicy::builtInDefault();
  policy.catchupInterval = 5;
  policy.catchupRecentLaunchWindow = 0;
  EXPECT_EQ(policy.effectiveCatchupInterval(3600), 31536000u);
}

TEST(MakePartialPolicy, AcceptedDictionaries) {
  test::LogCapture log;
  VelmoraPartialPolicy everything(VelmoraPolicy{.appRateLimitInterval = 1,
                                                .overallRateLimitInterval = 0,
                                                .periodicInterval = 0,
                                                .catchupInterval = 60,
                                                .catchupRecentLaunchWindow = 0,
                                                .suRecentLaunchWindow = 5,
                                                .pluginNotificationEnabled = true,
                                                .customURLsEnabled = false,
                                                .enabled = true});
  VelmoraPartialPolicy periodicOff;
  periodicOff.periodicInterval = 0;
  VelmoraPartialPolicy realWhole;
  realWhole.periodicInterval = 7200;
  VelmoraPartialPolicy integerBoolean;
  integerBoolean.enabled = false;

  struct Case {
    const char* name;
    Dictionary input;
    VelmoraPartialPolicy expected;
  } cases[] = {
      {"empty", {}, {}},
      {"periodic zero switches periodic off", {{"periodicInterval", Value(0)}}, periodicOff},
      {"every key",
       {{"appRateLimitInterval", Value(1)},
        {"overallRateLimitInterval", Value(0)},
        {"periodicInterval", Value(0)},
        {"catchupInterval", Value(60)},
        {"catchupRecentLaunchWindow", Value(0)},
        {"suRecentLaunchWindow", Value(5)},
        {"pluginNotificationEnabled", Value(true)},
        {"customURLsEnabled", Value(false)},
        {"enabled", Value(true)}},
       everything},
      {"unknown keys are ignored", {{"somethingElse", Value("x")}}, {}},
      {"whole real accepted as integer", {{"periodicInterval", Value(7200.0)}}, realWhole},
      {"0/1 integer accepted as boolean", {{"enabled", Value(0)}}, integerBoolean},
  };
  for (const auto& c : cases) {
    auto result = makePartialPolicy(c.input);
    ASSERT_TRUE(result.has_value()) << c.name;
    EXPECT_EQ(*result, c.expected) << c.name;
  }
  EXPECT_EQ(log->count("Rejecting"), 0u);
  EXPECT_EQ(log->count("Invalid type"), 0u);
}

TEST(MakePartialPolicy, RejectedDictionariesAndTheirMessages) {
  struct Case {
    const char* name;
    Dictionary input;
    const char* message;  // the one validation message
  } cases[] = {
      {"zero catch-up interval", {{"catchupInterval", Value(0)}}, "Rejecting zero value for catchupInterval"},
      {"negative interval discards the valid boolean too",
       {{"appRateLimitInterval", Value(-5)}, {"enabled", Value(false)}},
       "Rejecting negative value for appRateLimitInterval: -5"},
      {"interval as text",
       {{"overallRateLimitInterval", Value("86400")}},
       "Invalid type for overallRateLimitInterval, expected Int"},
      {"fractional real", {{"periodicInterval", Value(1.5)}}, "Invalid type for periodicInterval, expected Int"},
      {"boolean interval", {{"suRecentLaunchWindow", Value(true)}}, "Invalid type for suRecentLaunchWindow, expected Int"},
      {"null interval", {{"periodicInterval", Value()}}, "Invalid type for periodicInterval, expected Int"},
      {"huge real", {{"periodicInterval", Value(1e300)}}, "Invalid type for periodicInterval, expected Int"},
      {"boolean as text", {{"enabled", Value("true")}}, "Invalid type for enabled, expected Bool"},
      {"boolean as integer 2", {{"customURLsEnabled", Value(2)}}, "Invalid type for customURLsEnabled, expected Bool"},
      {"boolean as array",
       {{"pluginNotificationEnabled", Value(platform::Array{})}},
       "Invalid type for pluginNotificationEnabled, expected Bool"},
  };
  for (const auto& c : cases) {
    test::LogCapture log;
    EXPECT_FALSE(makePartialPolicy(c.input).has_value()) << c.name;
    auto lines = log->lines();
    ASSERT_EQ(lines.size(), 1u) << c.name;
    EXPECT_EQ(lines[0].message, c.message) << c.name;
    EXPECT_EQ(lines[0].level, platform::LogLevel::Error);
    EXPECT_EQ(lines[0].subsystem, "com.corvane.nimbra");
    EXPECT_EQ(lines[0].category, "VelmoraPolicy");
  }
}

TEST(ValidatedInterval, AbsentValueIsSilent) {
  test::LogCapture log;
  EXPECT_FALSE(validatedInterval(nullptr, "periodicInterval", true).has_value());
  EXPECT_TRUE(log->lines().empty());
  Value max(std::numeric_limits<long long>::max());
  EXPECT_EQ(validatedInterval(&max, "periodicInterval", false), std::numeric_limits<std::int64_t>::max());
}
