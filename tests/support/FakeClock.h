#pragma once

#include <atomic>
#include <chrono>

#include "platform/Clock.h"

namespace nimbra::test {

// A clock that moves only when told to.
class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(std::chrono::system_clock::time_point start = std::chrono::system_clock::time_point{} +
                                                                     std::chrono::hours(24 * 365 * 56))
      : wall_(start.time_since_epoch().count()) {}

  std::chrono::system_clock::time_point now() const override {
    return std::chrono::system_clock::time_point(std::chrono::system_clock::duration(wall_.load()));
  }
  std::chrono::steady_clock::time_point uptime() const override {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(uptime_.load()));
  }
  void advance(std::chrono::nanoseconds by) {
    wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(by).count();
    uptime_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(by).count();
  }

 private:
  std::atomic<std::chrono::system_clock::rep> wall_;
  std::atomic<std::chrono::steady_clock::rep> uptime_{1'000'000'000};
};

}  // namespace nimbra::test
