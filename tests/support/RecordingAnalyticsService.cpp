#include "tests/support/RecordingAnalyticsService.h"

namespace nimbra::test {

void RecordingAnalyticsService::setAccepting(bool accepting) {
  std::lock_guard lock(mutex_);
  accepting_ = accepting;
}

void RecordingAnalyticsService::sendEventLazy(std::string_view eventName, PayloadBuilder payload) {
  {
    std::lock_guard lock(mutex_);
    ++offered_;
    if (!accepting_) return;
  }
  Event event{std::string(eventName), payload ? payload() : platform::Dictionary{}};
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<RecordingAnalyticsService::Event> RecordingAnalyticsService::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::size_t RecordingAnalyticsService::offered() const {
  std::lock_guard lock(mutex_);
  return offered_;
}

}  // namespace nimbra::test
