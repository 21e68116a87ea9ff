#pragma once

// The log facade. Every line of the daemon goes through a Logger handle, which
// carries a subsystem and a category, to one process-wide sink. The default
// sink writes to standard error with the sd-daemon priority prefix that
// journald understands; tests install a CaptureLogSink instead.

#include <fmt/format.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class LogLevel : int { Debug = 0, Info = 1, Default = 2, Error = 3, Fault = 4 };

// "debug", "info", "default", "error", "fault"; anything else gives nullopt.
std::optional<LogLevel> parseLogLevel(std::string_view text);
std::string_view logLevelName(LogLevel level);

struct LogRecord {
  LogLevel level;
  std::string_view subsystem;
  std::string_view category;
  std::string_view message;
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Called from any thread, possibly concurrently; must not log itself.
  virtual void write(const LogRecord& record) = 0;
};

class Logger {
 public:
  Logger(std::string subsystem, std::string category);

  // The platform's default log (no subsystem, category "default").
  static const Logger& defaultLog();

  bool enabled(LogLevel level) const;

  template <typename... Args>
  void debug(fmt::format_string<Args...> format, Args&&... args) const {
    emit(LogLevel::Debug, format, std::forward<Args>(args)...);
  }
  template <typename... Args>
  void info(fmt::format_string<Args...> format, Args&&... args) const {
    emit(LogLevel::Info, format, std::forward<Args>(args)...);
  }
  // The "default" level of the unified log.
  template <typename... Args>
  void notice(fmt::format_string<Args...> format, Args&&... args) const {
    emit(LogLevel::Default, format, std::forward<Args>(args)...);
  }
  template <typename... Args>
  void error(fmt::format_string<Args...> format, Args&&... args) const {
    emit(LogLevel::Error, format, std::forward<Args>(args)...);
  }
  template <typename... Args>
  void fault(fmt::format_string<Args...> format, Args&&... args) const {
    emit(LogLevel::Fault, format, std::forward<Args>(args)...);
  }

  // Writes an already formatted line if the level passes the threshold.
  void write(LogLevel level, std::string_view message) const;

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  template <typename... Args>
  void emit(LogLevel level, fmt::format_string<Args...> format, Args&&... args) const {
    // Formatting is skipped for lines below the threshold: debug lines sit on
    // the per-launch path.
    if (!enabled(level)) return;
    write(level, fmt::format(format, std::forward<Args>(args)...));
  }

  std::string subsystem_;
  std::string category_;
};

// Process-wide configuration of the facade. Thread-safe.
namespace logging {
void setThreshold(LogLevel level);
LogLevel threshold();
// Replaces the sink; nullptr restores the standard-error sink.
void setSink(std::shared_ptr<LogSink> sink);
}  // namespace logging

// Standard error, one write per line. With `terminal` the prefix is a readable
// level name and a timestamp instead of the sd-daemon "<N>" priority.
class StderrLogSink : public LogSink {
 public:
  explicit StderrLogSink(bool terminal);
  void write(const LogRecord& record) override;

 private:
  bool terminal_;
  std::mutex mutex_;
};

// Keeps every record in memory; tests wait for lines with a bound.
class CaptureLogSink : public LogSink {
 public:
  struct Line {
    LogLevel level;
    std::string subsystem;
    std::string category;
    std::string message;
  };

  void write(const LogRecord& record) override;

  std::vector<Line> lines() const;
  std::vector<std::string> messages() const;
  // Number of captured messages that contain `needle`.
  std::size_t count(std::string_view needle) const;
  bool contains(std::string_view needle) const { return count(needle) > 0; }
  // Blocks until a message containing `needle` was captured, or the timeout passed.
  bool waitFor(std::string_view needle, std::chrono::milliseconds timeout) const { return waitForCount(needle, 1, timeout); }
  // Blocks until at least `n` captured messages contain `needle`, or the timeout passed.
  bool waitForCount(std::string_view needle, std::size_t n, std::chrono::milliseconds timeout) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Line> lines_;
};

// Ends the process after a fault-level line: the equivalent of a fatal error
// for a broken installation. Writes "Fatal error: <message>" to standard error.
[[noreturn]] void fatalError(std::string_view message, std::string_view sourceFile);

}  // namespace platform
