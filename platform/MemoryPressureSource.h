#pragma once

// Memory-pressure events from a PSI trigger (/proc/pressure/memory, or the
// unit's own memory.pressure under cgroup v2), watched by the event loop.

#include <memory>
#include <string>
#include <vector>

#include "platform/Dispatch.h"

namespace platform {

class MemoryPressureSource {
 public:
  virtual ~MemoryPressureSource() = default;

  // Starts watching the first pressure file that accepts a trigger, in the
  // order of candidatePaths(); `handler` runs on `queue` for every event until
  // the source is destroyed. Returns nullptr when no pressure interface exists
  // (logged once per process). Any thread.
  static std::unique_ptr<MemoryPressureSource> start(std::shared_ptr<DispatchQueue> queue, Block handler);

  // Watches the one pressure file at `path`. Returns nullptr and stores the
  // reason in *why (when given) if the file cannot be opened, is not a PSI
  // file of procfs or cgroupfs, or refuses every trigger. Logs nothing.
  static std::unique_ptr<MemoryPressureSource> watch(const std::string& path, std::shared_ptr<DispatchQueue> queue,
                                                     Block handler, std::string* why = nullptr);

  // The pressure files to try, best first: $MEMORY_PRESSURE_WATCH when the
  // service manager set it, the process's own cgroup v2 memory.pressure, then
  // /proc/pressure/memory. Empty when MEMORY_PRESSURE_WATCH is /dev/null (the
  // administrator switched the watch off).
  static std::vector<std::string> candidatePaths();
};

}  // namespace platform
