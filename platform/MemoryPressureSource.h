#pragma once

// Memory-pressure events from a PSI trigger (/proc/pressure/memory, or the
// unit's own memory.pressure under cgroup v2), watched by the event loop.

#include <memory>

#include "platform/Dispatch.h"

namespace platform {

class MemoryPressureSource {
 public:
  virtual ~MemoryPressureSource() = default;

  // Starts watching; `handler` runs on `queue` for every event. Returns
  // nullptr when no pressure interface exists (logged once).
  static std::unique_ptr<MemoryPressureSource> start(std::shared_ptr<DispatchQueue> queue, Block handler);
};

}  // namespace platform
