#pragma once

// Keeps a burst of alike lines from flooding the log. Within a window, the
// first occurrence of each key (for example a user id and an executable) is
// logged in full by the caller; later ones are only counted, and when the
// window ends one summary line says how many were held back. A window opens
// with the first occurrence after the previous one closed, so a quiet
// throttle costs nothing and a steady flood gives one full line and one
// summary per window.

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/Log.h"

namespace platform {

class LogThrottle : public std::enable_shared_from_this<LogThrottle> {
 public:
  // The summary is "<summaryPrefix>: <n> more in the last <window> s", at
  // `level` on `log` (which must outlive the throttle's timers: a static
  // logger). At most `maxKeys` keys get a full line per window.
  static std::shared_ptr<LogThrottle> create(const Logger& log, LogLevel level, std::string summaryPrefix,
                                             std::chrono::milliseconds window = std::chrono::seconds(10),
                                             std::size_t maxKeys = 16);

  LogThrottle(const LogThrottle&) = delete;
  LogThrottle& operator=(const LogThrottle&) = delete;

  // True when this occurrence of `key` is to be logged in full; otherwise it
  // is counted for the window's summary. Thread-safe.
  bool admit(std::string_view key);

 private:
  LogThrottle(const Logger& log, LogLevel level, std::string summaryPrefix, std::chrono::milliseconds window,
              std::size_t maxKeys);
  void closeWindow();

  const Logger& log_;
  const LogLevel level_;
  const std::string summaryPrefix_;
  const std::chrono::milliseconds window_;
  const std::size_t maxKeys_;

  std::mutex mutex_;
  bool windowOpen_ = false;                 // GUARDED_BY(mutex_)
  std::unordered_set<std::string> seen_;    // GUARDED_BY(mutex_)
  std::size_t heldBack_ = 0;                // GUARDED_BY(mutex_)
};

}  // namespace platform
