#pragma once

// AnalyticsService over the analytics sink (JSON lines in the state
// directory). Results of the sink are not looked at: sending is
// fire-and-forget, and a refused event is simply not recorded.

#include <memory>

#include "nimbrad/AnalyticsService.h"
#include "platform/AnalyticsSink.h"

namespace nimbra {

class TelemetraService final : public AnalyticsService {
 public:
  // Over the process-wide sink ($STATE_DIRECTORY/analytics/events.jsonl).
  TelemetraService();
  explicit TelemetraService(std::shared_ptr<platform::AnalyticsSink> sink);
  TelemetraService(const TelemetraService&) = delete;
  TelemetraService& operator=(const TelemetraService&) = delete;

  void sendEventLazy(std::string_view eventName, PayloadBuilder payload) override;

 private:
  std::shared_ptr<platform::AnalyticsSink> sink_;
};

}  // namespace nimbra
