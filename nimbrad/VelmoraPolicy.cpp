#include "nimbrad/VelmoraPolicy.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/Log.h"

namespace nimbra {

namespace {

const platform::Logger& policyLog() {
  static const platform::Logger log("com.corvane.nimbra", "VelmoraPolicy");
  return log;
}

const char* boolText(bool value) { return value ? "true" : "false"; }

std::string timedText(std::uint64_t seconds) { return fmt::format("{} ({}s)", durationString(seconds), seconds); }

// A property-list integer, or a real that holds an integer exactly (some
// editors write whole numbers as reals). Booleans are not intervals.
std::optional<std::int64_t> integerValue(const platform::Value& value) {
  if (const auto* integer = value.asInteger()) return *integer;
  if (const auto* real = value.asReal()) {
    // Both bounds are exact doubles; the upper one is 2^63, excluded.
    constexpr double low = -9223372036854775808.0;
    constexpr double high = 9223372036854775808.0;
    if (std::isfinite(*real) && std::trunc(*real) == *real && *real >= low && *real < high) {
      return static_cast<std::int64_t>(*real);
    }
  }
  return std::nullopt;
}

// A boolean, or the integers 0 and 1 that some writers use for booleans.
std::optional<bool> booleanValue(const platform::Value& value) {
  if (const auto* boolean = value.asBool()) return *boolean;
  if (const auto* integer = value.asInteger()) {
    if (*integer == 0 || *integer == 1) return *integer == 1;
  }
  return std::nullopt;
}

// One integer key of the settings dictionary. Returns false when the whole
// dictionary must be rejected.
bool takeInterval(const platform::Dictionary& dictionary, std::string_view key, bool zeroAccepted,
                  std::optional<std::uint64_t>& field) {
  auto it = dictionary.find(key);
  const platform::Value* value = it == dictionary.end() ? nullptr : &it->second;
  auto accepted = validatedInterval(value, key, zeroAccepted);
  if (!accepted) return value == nullptr;
  field = static_cast<std::uint64_t>(*accepted);
  return true;
}

bool takeBoolean(const platform::Dictionary& dictionary, std::string_view key, std::optional<bool>& field) {
  auto it = dictionary.find(key);
  if (it == dictionary.end()) return true;
  auto accepted = booleanValue(it->second);
  if (!accepted) {
    // Named like the integer keys: otherwise the administrator only learns
    // that the whole source was thrown away.
    policyLog().error("Invalid type for {}, expected Bool", key);
    return false;
  }
  field = *accepted;
  return true;
}

}  // namespace

VelmoraPolicy VelmoraPolicy::builtInDefault() {
  return VelmoraPolicy{
      .appRateLimitInterval = 2592000,
      .overallRateLimitInterval = 86400,
      .periodicInterval = 0,
      .catchupInterval = 86400,
      .catchupRecentLaunchWindow = 0,
      .suRecentLaunchWindow = 31536000,
      .pluginNotificationEnabled = false,
      .customURLsEnabled = false,
      .enabled = true,
  };
}

std::string VelmoraPolicy::description() const {
  std::string text = fmt::format("enabled: {}", boolText(enabled));
  if (appRateLimitInterval != 0) {
    text += ", appRateLimit: 1/" + timedText(appRateLimitInterval);
  } else {
    text += ", appRateLimit: disabled (interval: 0)";
  }
  if (overallRateLimitInterval != 0) {
    text += ", overallRateLimit: 1/" + timedText(overallRateLimitInterval);
  } else {
    text += ", overallRateLimit: disabled (interval: 0)";
  }
  text += ", periodicInterval: " + timedText(periodicInterval);
  text += ", catchupInterval: " + timedText(catchupInterval);
  if (catchupRecentLaunchWindow != 0) {
    text += ", catchupRecentLaunchWindow: " + timedText(catchupRecentLaunchWindow);
  } else {
    text += ", catchupRecentLaunchWindow: disabled (0)";
  }
  if (suRecentLaunchWindow != 0) {
    text += ", suRecentLaunchWindow: " + timedText(suRecentLaunchWindow);
  } else {
    text += ", suRecentLaunchWindow: disabled (0)";
  }
  text += fmt::format(", pluginNotificationEnabled: {}", boolText(pluginNotificationEnabled));
  text += fmt::format(", customURLsEnabled: {}", boolText(customURLsEnabled));
  return text;
}

std::uint64_t VelmoraPolicy::effectivePeriodicInterval(std::uint64_t minimum) const {
  if (periodicInterval == 0) return kDisabledTaskInterval;
  return std::max(periodicInterval, minimum);
}

std::uint64_t VelmoraPolicy::effectiveCatchupInterval(std::uint64_t minimum) const {
  // The catch-up task is switched off by its window; its interval is never 0.
  if (catchupRecentLaunchWindow == 0) return kDisabledTaskInterval;
  return std::max(catchupInterval, minimum);
}

VelmoraPartialPolicy::VelmoraPartialPolicy(const VelmoraPolicy& policy)
    : appRateLimitInterval(policy.appRateLimitInterval),
      overallRateLimitInterval(policy.overallRateLimitInterval),
      periodicInterval(policy.periodicInterval),
      catchupInterval(policy.catchupInterval),
      catchupRecentLaunchWindow(policy.catchupRecentLaunchWindow),
      suRecentLaunchWindow(policy.suRecentLaunchWindow),
      pluginNotificationEnabled(policy.pluginNotificationEnabled),
      customURLsEnabled(policy.customURLsEnabled),
      enabled(policy.enabled) {}

VelmoraPolicy resolved(const VelmoraPartialPolicy& partial, const VelmoraPolicy& fallback) {
  return VelmoraPolicy{
      .appRateLimitInterval = partial.appRateLimitInterval.value_or(fallback.appRateLimitInterval),
      .overallRateLimitInterval = partial.overallRateLimitInterval.value_or(fallback.overallRateLimitInterval),
      .periodicInterval = partial.periodicInterval.value_or(fallback.periodicInterval),
      .catchupInterval = partial.catchupInterval.value_or(fallback.catchupInterval),
      .catchupRecentLaunchWindow = partial.catchupRecentLaunchWindow.value_or(fallback.catchupRecentLaunchWindow),
      .suRecentLaunchWindow = partial.suRecentLaunchWindow.value_or(fallback.suRecentLaunchWindow),
      .pluginNotificationEnabled = partial.pluginNotificationEnabled.value_or(fallback.pluginNotificationEnabled),
      .customURLsEnabled = partial.customURLsEnabled.value_or(fallback.customURLsEnabled),
      .enabled = partial.enabled.value_or(fallback.enabled),
  };
}

std::optional<std::int64_t> validatedInterval(const platform::Value* value, std::string_view key, bool zeroAccepted) {
  if (value == nullptr) return std::nullopt;
  auto integer = integerValue(*value);
  if (!integer) {
    policyLog().error("Invalid type for {}, expected Int", key);
    return std::nullopt;
  }
  if (*integer < 0) {
    policyLog().error("Rejecting negative value for {}: {}", key, *integer);
    return std::nullopt;
  }
  if (*integer == 0 && !zeroAccepted) {
    policyLog().error("Rejecting zero value for {}", key);
    return std::nullopt;
  }
  return integer;
}

std::optional<VelmoraPartialPolicy> makePartialPolicy(const platform::Dictionary& dictionary) {
  VelmoraPartialPolicy policy;
  // Table order; the first invalid key ends the parse, so later keys are not
  // even looked at (and log nothing).
  if (!takeInterval(dictionary, "appRateLimitInterval", true, policy.appRateLimitInterval)) return std::nullopt;
  if (!takeInterval(dictionary, "overallRateLimitInterval", true, policy.overallRateLimitInterval)) return std::nullopt;
  if (!takeInterval(dictionary, "periodicInterval", true, policy.periodicInterval)) return std::nullopt;
  if (!takeInterval(dictionary, "catchupInterval", false, policy.catchupInterval)) return std::nullopt;
  if (!takeInterval(dictionary, "catchupRecentLaunchWindow", true, policy.catchupRecentLaunchWindow)) {
    return std::nullopt;
  }
  if (!takeInterval(dictionary, "suRecentLaunchWindow", true, policy.suRecentLaunchWindow)) return std::nullopt;
  if (!takeBoolean(dictionary, "pluginNotificationEnabled", policy.pluginNotificationEnabled)) return std::nullopt;
  if (!takeBoolean(dictionary, "customURLsEnabled", policy.customURLsEnabled)) return std::nullopt;
  if (!takeBoolean(dictionary, "enabled", policy.enabled)) return std::nullopt;
  return policy;
}

std::string durationString(std::uint64_t seconds) {
  if (seconds == 0) return "0s";
  std::string text;
  std::uint64_t days = seconds / 86400;
  std::uint64_t hours = seconds % 86400 / 3600;
  std::uint64_t minutes = seconds % 3600 / 60;
  std::uint64_t rest = seconds % 60;
  if (days != 0) text += fmt::format("{}d", days);
  if (hours != 0) text += fmt::format("{}h", hours);
  if (minutes != 0) text += fmt::format("{}m", minutes);
  if (rest != 0) text += fmt::format("{}s", rest);
  return text;
}

}  // namespace nimbra
