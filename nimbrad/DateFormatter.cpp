#include "nimbrad/DateFormatter.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>

#include <fmt/format.h>

namespace nimbra {

namespace {

// Reads exactly `width` decimal digits at `pos`; nullopt if any is missing.
std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t width) {
  if (pos + width > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = pos; i < pos + width; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// The C library locks its time zone state internally, but with a lock that
// thread checkers cannot see; one lock of our own around re-reading the zone
// and converting keeps the formatter's thread safety evident.
std::mutex timeZoneMutex;

// The zone is reread at most once a second: launches are formatted by the
// thousand, and rereading costs a file check each time.
// REQUIRES: timeZoneMutex held.
void refreshTimeZone() {
  static std::chrono::steady_clock::time_point last{};
  auto now = std::chrono::steady_clock::now();
  if (last != std::chrono::steady_clock::time_point{} && now - last < std::chrono::seconds(1)) return;
  last = now;
  ::tzset();
}

}  // namespace

std::string DateFormatter::format(platform::Date date) {
  std::time_t seconds = static_cast<std::time_t>(std::floor(date.secondsSince1970));
  std::tm local{};
  {
    std::lock_guard lock(timeZoneMutex);
    refreshTimeZone();
    if (::localtime_r(&seconds, &local) == nullptr) return {};
  }
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                     local.tm_hour, local.tm_min, local.tm_sec);
}

std::optional<platform::Date> DateFormatter::parse(std::string_view text) {
  // yyyy-MM-dd HH:mm:ss
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':') {
    return std::nullopt;
  }
  auto year = digits(text, 0, 4);
  auto month = digits(text, 5, 2);
  auto day = digits(text, 8, 2);
  auto hour = digits(text, 11, 2);
  auto minute = digits(text, 14, 2);
  auto second = digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*year < 1 || *month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
      *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = *year - 1900;
  local.tm_mon = *month - 1;
  local.tm_mday = *day;
  local.tm_hour = *hour;
  local.tm_min = *minute;
  local.tm_sec = *second;
  local.tm_isdst = -1;  // let the zone rules decide whether summer time applies
  std::time_t seconds;
  {
    std::lock_guard lock(timeZoneMutex);
    refreshTimeZone();
    errno = 0;
    seconds = ::mktime(&local);
  }
  // -1 is also a valid instant (one second before 1970 UTC); only errno tells them apart.
  if (seconds == static_cast<std::time_t>(-1) && errno != 0) return std::nullopt;
  return platform::Date{static_cast<double>(seconds)};
}

}  // namespace nimbra
