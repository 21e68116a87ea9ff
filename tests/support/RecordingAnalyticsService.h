#pragma once

// An analytics service for tests: records each event with its payload
// (built at once when accepting, never when refusing), or refuses everything.

#include <mutex>
#include <string>
#include <vector>

#include "nimbrad/AnalyticsService.h"

namespace nimbra::test {

class RecordingAnalyticsService final : public AnalyticsService {
 public:
  struct Event {
    std::string name;
    platform::Dictionary payload;
  };

  void setAccepting(bool accepting);
  void sendEventLazy(std::string_view eventName, PayloadBuilder payload) override;

  std::vector<Event> events() const;
  std::size_t offered() const;

 private:
  mutable std::mutex mutex_;
  bool accepting_ = true;        // GUARDED_BY(mutex_)
  std::size_t offered_ = 0;      // GUARDED_BY(mutex_)
  std::vector<Event> events_;    // GUARDED_BY(mutex_)
};

}  // namespace nimbra::test
