#pragma once

// The notification policy: how often, and under which conditions, the daemon
// may ask a user's agent to show a notification. `VelmoraPolicy` is complete;
// `VelmoraPartialPolicy` is what one source of settings (user defaults, the
// policy asset) contributes, merged on top of the built-in default by
// `VelmoraPolicyManager`.
//
// All intervals and windows are whole seconds; 0 switches the interval or
// window off where the field says so. Plain values: copy freely, any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace nimbra {

struct VelmoraPolicy {
  // At most one notification per product within this interval; 0: no per-product limit.
  std::uint64_t appRateLimitInterval = 0;
  // At most one notification of any kind per user within this interval; 0: no overall limit.
  std::uint64_t overallRateLimitInterval = 0;
  // Spacing of the periodic task; 0: periodic notifications off.
  std::uint64_t periodicInterval = 0;
  // Spacing of the catch-up task; never 0 once validated.
  std::uint64_t catchupInterval = 0;
  // How far back the catch-up task looks; 0: catch-up notifications off.
  std::uint64_t catchupRecentLaunchWindow = 0;
  // How far back launches count for the unsupported apps list; 0: every launch counts.
  std::uint64_t suRecentLaunchWindow = 0;
  bool pluginNotificationEnabled = false;
  bool customURLsEnabled = false;
  // Master switch of all notifications.
  bool enabled = false;

  // The policy that applies where no source sets a field. Compiled in, never
  // read from a file: it must hold even when every asset is unusable.
  static VelmoraPolicy builtInDefault();

  bool operator==(const VelmoraPolicy&) const = default;

  // One line for logs, e.g. "enabled: true, appRateLimit: 1/30d (2592000s), ...".
  std::string description() const;

  // The period the background tasks run at. A switched-off task (interval 0
  // for periodic, window 0 for catch-up) runs once a year; otherwise never
  // faster than `minimum`.
  std::uint64_t effectivePeriodicInterval(std::uint64_t minimum) const;
  std::uint64_t effectiveCatchupInterval(std::uint64_t minimum) const;
};

// The period of a switched-off background task: 365 days.
inline constexpr std::uint64_t kDisabledTaskInterval = 31536000;

struct VelmoraPartialPolicy {
  std::optional<std::uint64_t> appRateLimitInterval;
  std::optional<std::uint64_t> overallRateLimitInterval;
  std::optional<std::uint64_t> periodicInterval;
  std::optional<std::uint64_t> catchupInterval;
  std::optional<std::uint64_t> catchupRecentLaunchWindow;
  std::optional<std::uint64_t> suRecentLaunchWindow;
  std::optional<bool> pluginNotificationEnabled;
  std::optional<bool> customURLsEnabled;
  std::optional<bool> enabled;

  VelmoraPartialPolicy() = default;
  // Every field present.
  explicit VelmoraPartialPolicy(const VelmoraPolicy& policy);

  // True when no field is present (a source with nothing valid to offer).
  bool isEmpty() const { return *this == VelmoraPartialPolicy{}; }

  bool operator==(const VelmoraPartialPolicy&) const = default;
};

// Each field from `partial` where present, else from `fallback`.
VelmoraPolicy resolved(const VelmoraPartialPolicy& partial, const VelmoraPolicy& fallback);

// Parses a settings dictionary (the PUMPKIN asset's root, or the collected
// user defaults) into a partial policy. Missing keys stay absent. Returns
// nullopt when any present key is invalid: one bad entry discards the whole
// source, so that a half-applied configuration never takes effect. Logs the
// rejected key at error level: an integer as validatedInterval() does, a
// boolean that is neither true/false nor 0/1 as "Invalid type for <key>,
// expected Bool".
std::optional<VelmoraPartialPolicy> makePartialPolicy(const platform::Dictionary& dictionary);

// The per-key integer check of the parser. `value` nullptr (absent): nullopt,
// nothing logged. An integer (or a real holding an exact integer) that is
// negative, or 0 when `zeroAccepted` is false: nullopt with an error line.
// Any other kind: nullopt with "Invalid type for <key>, expected Int".
std::optional<std::int64_t> validatedInterval(const platform::Value* value, std::string_view key, bool zeroAccepted);

// Compact duration: 0 -> "0s", 90061 -> "1d1h1m1s", 3660 -> "1h1m".
std::string durationString(std::uint64_t seconds);

}  // namespace nimbra
