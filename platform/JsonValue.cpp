#include "platform/JsonValue.h"

#include <fmt/format.h>

#include <cmath>
#include <ctime>

#include "platform/Base64.h"

namespace platform {

std::string iso8601(std::chrono::system_clock::time_point time) {
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  long fraction = static_cast<long>(millis % 1000);
  if (fraction < 0) {
    fraction += 1000;
    seconds -= 1;
  }
  std::tm tm{};
  if (gmtime_r(&seconds, &tm) == nullptr) return {};
  char buffer[64];
  std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &tm);
  if (n == 0) return {};
  return fmt::format("{}.{:03}Z", std::string_view(buffer, n), fraction);
}

nlohmann::json toJson(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      return nullptr;
    case Value::Type::Bool:
      return *value.asBool();
    case Value::Type::Integer:
      return *value.asInteger();
    case Value::Type::Real: {
      double d = *value.asReal();
      if (!std::isfinite(d)) return nullptr;  // JSON has no NaN or infinity
      return d;
    }
    case Value::Type::String:
      return *value.asString();
    case Value::Type::Date: {
      double s = value.asDate()->secondsSince1970;
      if (!std::isfinite(s) || std::fabs(s) > 1e15) return nullptr;
      // Rounded: a date of x.250 s is a hair below it as a double in nanoseconds.
      auto millis = std::chrono::round<std::chrono::milliseconds>(std::chrono::duration<double>(s));
      return iso8601(std::chrono::system_clock::time_point(millis));
    }
    case Value::Type::Data:
      return base64::encode(*value.asData());
    case Value::Type::Array: {
      auto out = nlohmann::json::array();
      for (const auto& item : *value.asArray()) out.push_back(toJson(item));
      return out;
    }
    case Value::Type::Dictionary: {
      auto out = nlohmann::json::object();
      for (const auto& [key, item] : *value.asDictionary()) out[key] = toJson(item);
      return out;
    }
  }
  return nullptr;
}

std::string jsonText(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace platform
