#pragma once

// The daemon's analytics protocol: every analytics event (launch, game filter,
// notification decisions) goes through one AnalyticsService. Sending is
// fire-and-forget; the payload is built only if the analytics sink takes the
// event.

#include <functional>
#include <string_view>

#include "platform/Value.h"

namespace nimbra {

class AnalyticsService {
 public:
  using PayloadBuilder = std::function<platform::Dictionary()>;

  virtual ~AnalyticsService();

  // Sends `eventName`. `payload` is called at most once, possibly later and
  // on another thread, and only when the event is taken; it must read only
  // the values it captured. Thread-safe; never blocks on the disk.
  virtual void sendEventLazy(std::string_view eventName, PayloadBuilder payload) = 0;
};

}  // namespace nimbra
