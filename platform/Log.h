#pragma once

// The log facade. Every line of the daemon goes through a Logger handle, which
// carries a subsystem and a category, to one process-wide sink. The default
// sink writes to standard error with the sd-daemon priority prefix that
// journald understands; tests install a CaptureLogSink instead.
//
// Values cannot forge lines. The format string is the daemon's own text and
// is written as it is, line breaks included. Every argument is a value that
// may come from outside (a path, a name, an error text): its control
// characters are escaped, a newline as "\n", other C0 controls and DEL as
// "\xNN" (two lowercase hex digits), so one call gives the lines of its
// format string and no more. A multi-line text that the daemon composes
// itself (an entry description, a dump) is passed as LogLines: its line
// breaks are kept, and each line is escaped like any other value. The type
// of the argument is what tells the facade which is which; a plain string is
// always one value, whatever it holds.

#include <fmt/format.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

namespace platform {

// Several lines of one message, composed by the daemon (see above).
class LogLines {
 public:
  LogLines& add(std::string line) {
    lines_.push_back(std::move(line));
    return *this;
  }
  const std::vector<std::string>& lines() const { return lines_; }
  // The lines joined with "\n", unescaped (for texts that are not logged).
  std::string joined() const;

 private:
  std::vector<std::string> lines_;
};

namespace logformat {

// True when `text` holds a byte that escape() changes.
bool needsEscaping(std::string_view text);
// Appends `text` to `out` with newline as "\n" and the other C0 controls
// and DEL as "\xNN"; every other byte (UTF-8 included) is kept.
void appendEscaped(std::string& out, std::string_view text);
std::string escape(std::string_view text);

// An argument whose formatted text is escaped (see escapedArgument).
struct EscapedText {
  std::string_view text;
};
template <typename T>
struct EscapedValue {
  const T& value;
};

// What the facade hands to the formatter in place of `value`: strings as
// EscapedText, numbers unchanged (they cannot hold control characters),
// LogLines unchanged (its formatter escapes each line), anything else as
// EscapedValue, formatted by its own formatter and then escaped.
template <typename T>
auto escapedArgument(const T& value) {
  using Type = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<Type, LogLines>) {
    return value;  // a copy, made only for lines that pass the threshold
  } else if constexpr (std::is_pointer_v<std::decay_t<Type>> &&
                       std::is_convertible_v<std::decay_t<Type>, const char*>) {
    const char* text = value;
    return EscapedText{text != nullptr ? std::string_view(text) : std::string_view("(null)")};
  } else if constexpr (std::is_convertible_v<const Type&, std::string_view>) {
    return EscapedText{std::string_view(value)};
  } else if constexpr ((std::is_arithmetic_v<Type> && !std::is_same_v<Type, char>) || std::is_enum_v<Type> ||
                       std::is_pointer_v<Type> || std::is_null_pointer_v<Type>) {
    return value;
  } else {
    return EscapedValue<Type>{value};
  }
}

}  // namespace logformat

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

  // Writes an already formatted message if the level passes the threshold.
  // The message is one value: its control characters are escaped.
  void write(LogLevel level, std::string_view message) const;

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  template <typename... Args>
  void emit(LogLevel level, fmt::format_string<Args...> format, Args&&... args) const {
    // Formatting is skipped for lines below the threshold: debug lines sit on
    // the per-launch path.
    if (!enabled(level)) return;
    // The wrappers refer to `args`, which outlive this call.
    auto escaped = std::make_tuple(logformat::escapedArgument(args)...);
    deliver(level, std::apply(
                       [&format](auto&... wrapped) {
                         return fmt::vformat(fmt::string_view(format), fmt::make_format_args(wrapped...));
                       },
                       escaped));
  }

  // Hands a finished message to the sink, as it is.
  void deliver(LogLevel level, std::string_view message) const;

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

template <>
struct fmt::formatter<platform::logformat::EscapedText> : fmt::formatter<std::string_view> {
  auto format(const platform::logformat::EscapedText& value, format_context& ctx) const -> decltype(ctx.out()) {
    if (!platform::logformat::needsEscaping(value.text)) return formatter<std::string_view>::format(value.text, ctx);
    return formatter<std::string_view>::format(platform::logformat::escape(value.text), ctx);
  }
};

// Formats with the value's own formatter (and its format specification)
// into a buffer, then escapes what came out.
template <typename T>
struct fmt::formatter<platform::logformat::EscapedValue<T>> : fmt::formatter<T> {
  auto format(const platform::logformat::EscapedValue<T>& wrapped, format_context& ctx) -> decltype(ctx.out()) {
    fmt::memory_buffer buffer;
    format_context inner(fmt::appender(buffer), ctx.args(), ctx.locale());
    fmt::formatter<T>::format(wrapped.value, inner);
    std::string text;
    platform::logformat::appendEscaped(text, std::string_view(buffer.data(), buffer.size()));
    return std::copy(text.begin(), text.end(), ctx.out());
  }
};

template <>
struct fmt::formatter<platform::LogLines> {
  constexpr auto parse(format_parse_context& ctx) -> decltype(ctx.begin()) { return ctx.begin(); }
  auto format(const platform::LogLines& value, format_context& ctx) const -> decltype(ctx.out()) {
    std::string text;
    for (std::size_t i = 0; i < value.lines().size(); ++i) {
      if (i > 0) text.push_back('\n');
      platform::logformat::appendEscaped(text, value.lines()[i]);
    }
    return std::copy(text.begin(), text.end(), ctx.out());
  }
};
