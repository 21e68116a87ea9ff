#include "platform/Clock.h"

namespace platform {

namespace {
class SystemClock final : public Clock {
 public:
  std::chrono::system_clock::time_point now() const override { return std::chrono::system_clock::now(); }
  std::chrono::steady_clock::time_point uptime() const override { return std::chrono::steady_clock::now(); }
};
}  // namespace

const Clock& Clock::system() {
  static const SystemClock* clock = new SystemClock();  // never destroyed, see Log.cpp
  return *clock;
}

}  // namespace platform
