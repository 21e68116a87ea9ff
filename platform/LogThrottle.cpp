#include "platform/LogThrottle.h"

#include "platform/Dispatch.h"

namespace platform {

std::shared_ptr<LogThrottle> LogThrottle::create(const Logger& log, LogLevel level, std::string summaryPrefix,
                                                 std::chrono::milliseconds window, std::size_t maxKeys) {
  return std::shared_ptr<LogThrottle>(new LogThrottle(log, level, std::move(summaryPrefix), window, maxKeys));
}

LogThrottle::LogThrottle(const Logger& log, LogLevel level, std::string summaryPrefix,
                         std::chrono::milliseconds window, std::size_t maxKeys)
    : log_(log), level_(level), summaryPrefix_(std::move(summaryPrefix)), window_(window), maxKeys_(maxKeys) {}

bool LogThrottle::admit(std::string_view key) {
  std::lock_guard lock(mutex_);
  if (!windowOpen_) {
    windowOpen_ = true;
    // The timer keeps the throttle alive until the window's summary is out.
    DispatchQueue::global()->asyncAfter(window_, [self = shared_from_this()] { self->closeWindow(); });
  }
  // Beyond the key bound, new keys are counted too: varying the key (say,
  // the executable) must not buy a flood its full lines.
  if (seen_.size() < maxKeys_ && seen_.emplace(key).second) return true;
  ++heldBack_;
  return false;
}

void LogThrottle::closeWindow() {
  std::size_t heldBack;
  {
    std::lock_guard lock(mutex_);
    heldBack = heldBack_;
    heldBack_ = 0;
    seen_.clear();
    windowOpen_ = false;
  }
  if (heldBack == 0) return;
  auto seconds = std::chrono::duration<double>(window_).count();
  log_.write(level_, fmt::format("{}: {} more in the last {:g} s", summaryPrefix_, heldBack, seconds));
}

}  // namespace platform
