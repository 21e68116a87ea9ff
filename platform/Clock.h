#pragma once

// Time sources behind an interface, so that tests can drive time.

#include <chrono>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time.
  virtual std::chrono::system_clock::time_point now() const = 0;
  // Monotonic time since an arbitrary origin (does not follow clock changes).
  virtual std::chrono::steady_clock::time_point uptime() const = 0;

  // The real clocks; lives for the process.
  static const Clock& system();
};

}  // namespace platform
