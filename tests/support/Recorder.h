#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace nimbra::test {

// Collects values handed over by callbacks on other threads; tests wait for
// a number of them with a bound instead of sleeping.
template <typename T>
class Recorder {
 public:
  void add(T value) {
    // Notified under the lock: a waiter that returns may destroy the
    // recorder, which must not happen while this call still touches it.
    std::lock_guard lock(mutex_);
    values_.push_back(std::move(value));
    changed_.notify_all();
  }

  // True once at least `count` values arrived; false after `timeout`.
  bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return values_.size() >= count; });
  }

  std::vector<T> values() const {
    std::lock_guard lock(mutex_);
    return values_;
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return values_.size();
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<T> values_;
};

}  // namespace nimbra::test
