#pragma once

// The shared date formatter: "yyyy-MM-dd HH:mm:ss" in the local time zone.
// Launch times travel as this text and are stored beside their seconds, so
// parse and format must agree exactly. The time zone is re-read on every call
// (cheap: the C library only reloads it when it changed), so a system time
// zone change is followed without a restart.

#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace nimbra {

class DateFormatter {
 public:
  DateFormatter() = delete;

  // The local-time text of `date`, its fraction dropped (rounded towards the
  // past). Any thread may call.
  static std::string format(platform::Date date);

  // The date of a local-time text of exactly the form "yyyy-MM-dd HH:mm:ss"
  // (four-digit year, two digits for every other field). nullopt for any other
  // text, and for out-of-range fields (month 13, February 30, hour 24, ...).
  // Any thread may call.
  static std::optional<platform::Date> parse(std::string_view text);

  // The date that stands for "long ago": 0001-01-01 00:00:00 UTC.
  static constexpr platform::Date distantPast{-62135596800.0};
};

}  // namespace nimbra
