#include <gtest/gtest.h>

#include "platform/LogThrottle.h"
#include "tests/support/LogCapture.h"

using namespace platform;
using namespace std::chrono_literals;

TEST(LogThrottle, FirstOfEachKeyInFullThenOneSummaryPerWindow) {
  nimbra::test::LogCapture capture(LogLevel::Default);
  static const Logger log("com.corvane.test", "LogThrottle");
  auto throttle = LogThrottle::create(log, LogLevel::Error, "refused", 200ms, 3);

  EXPECT_TRUE(throttle->admit("1001:/usr/bin/a"));
  EXPECT_FALSE(throttle->admit("1001:/usr/bin/a"));
  EXPECT_TRUE(throttle->admit("1002:/usr/bin/a"));  // another user
  EXPECT_TRUE(throttle->admit("1001:/usr/bin/b"));  // another executable
  // Beyond the key bound, a new key is only counted: varying it buys nothing.
  EXPECT_FALSE(throttle->admit("1001:/usr/bin/c"));
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(throttle->admit("1002:/usr/bin/a"));
  ASSERT_TRUE(capture->waitFor("refused: 102 more in the last 0.2 s", 5s));
  EXPECT_EQ(capture->count("refused:"), 1u);
  auto lines = capture->lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().level, LogLevel::Error);

  // A new window tells each key in full again.
  EXPECT_TRUE(throttle->admit("1001:/usr/bin/a"));
  EXPECT_FALSE(throttle->admit("1001:/usr/bin/a"));
  ASSERT_TRUE(capture->waitFor("refused: 1 more in the last 0.2 s", 5s));
  EXPECT_EQ(capture->count("refused:"), 2u);
}
