#include "nimbrad/AnalyticsService.h"

namespace nimbra {

// Out of line so that the protocol's vtable is emitted once, here.
AnalyticsService::~AnalyticsService() = default;

}  // namespace nimbra
