#include "nimbrad/DateFormatter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace nimbra {
namespace {

// Sets TZ for one test and restores the previous value afterwards.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~TimeZone() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> previous_;
};

TEST(DateFormatterTests, ParsesAndFormatsLocalTime) {
  TimeZone zone("UTC");
  auto date = DateFormatter::parse("2024-02-29 23:59:58");
  ASSERT_TRUE(date);
  EXPECT_EQ(date->secondsSince1970, 1709251198);
  EXPECT_EQ(DateFormatter::format(*date), "2024-02-29 23:59:58");
  // Fractions are dropped towards the past, also before 1970.
  EXPECT_EQ(DateFormatter::format(platform::Date{1709251198.9}), "2024-02-29 23:59:58");
  EXPECT_EQ(DateFormatter::format(platform::Date{-0.5}), "1969-12-31 23:59:59");
  EXPECT_EQ(DateFormatter::format(DateFormatter::distantPast), "0001-01-01 00:00:00");
}

TEST(DateFormatterTests, RejectsEverythingButTheExactForm) {
  TimeZone zone("UTC");
  for (const char* text : {
           "2024-13-01 00:00:00",  // month 13
           "2024-00-10 00:00:00",
           "2023-02-29 12:00:00",  // not a leap year
           "2024-04-31 12:00:00",
           "2024-01-01 24:00:00",
           "2024-01-01 23:60:00",
           "2024-01-01 23:59:60",
           "2024-1-01 00:00:00",
           "2024-01-01T00:00:00",
           "2024-01-01 00:00:00 ",
           " 2024-01-01 00:00:00",
           "2024-01-01 00:00",
           "0000-01-01 00:00:00",
           "abcd-ef-gh ij:kl:mn",
           "",
       }) {
    EXPECT_FALSE(DateFormatter::parse(text)) << text;
  }
}

TEST(DateFormatterTests, FollowsTimeZoneChanges) {
  platform::Date date{0};
  {
    TimeZone zone("UTC");
    EXPECT_EQ(DateFormatter::format(date), "1970-01-01 00:00:00");
    EXPECT_EQ(DateFormatter::parse("1970-01-01 09:00:00")->secondsSince1970, 9 * 3600);
  }
  {
    TimeZone zone("JST-9");
    EXPECT_EQ(DateFormatter::format(date), "1970-01-01 09:00:00");
    EXPECT_EQ(DateFormatter::parse("1970-01-01 09:00:00")->secondsSince1970, 0);
  }
}

}  // namespace
}  // namespace nimbra
