#pragma once

// Values as JSON, for the analytics lines and for replies printed to scripts:
// dates become ISO 8601 UTC texts with milliseconds ("2026-01-01T12:00:00.250Z"),
// data a base64 text, non-finite reals and dates null.

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/Value.h"

namespace platform {

// "yyyy-mm-ddThh:mm:ss.mmmZ"; empty when the time cannot be represented.
std::string iso8601(std::chrono::system_clock::time_point time);

// The value as JSON; a null value is JSON null. Never throws.
nlohmann::json toJson(const Value& value);

// Compact JSON text. Strings come from launch events, bundles on disk and
// peers: invalid UTF-8 is replaced rather than thrown on.
std::string jsonText(const nlohmann::json& json);

}  // namespace platform
