#include "nimbrad/TelemetraService.h"

namespace nimbra {

TelemetraService::TelemetraService() : TelemetraService(platform::JsonLinesAnalyticsSink::shared()) {}

TelemetraService::TelemetraService(std::shared_ptr<platform::AnalyticsSink> sink) : sink_(std::move(sink)) {}

void TelemetraService::sendEventLazy(std::string_view eventName, PayloadBuilder payload) {
  if (!sink_) return;
  (void)sink_->sendEventLazy(eventName, std::move(payload));
}

}  // namespace nimbra
