#include "platform/Log.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace platform {

namespace {

std::atomic<int> gThreshold{static_cast<int>(LogLevel::Default)};

std::shared_ptr<LogSink> makeStderrSink() { return std::make_shared<StderrLogSink>(::isatty(STDERR_FILENO) == 1); }

// Process-lifetime objects are never destroyed: the daemon exits from a pool
// thread (SIGTERM) while other threads may still log, and the exit hook logs
// after static destructors have started to run.
std::atomic<std::shared_ptr<LogSink>>& sinkSlot() {
  static auto* slot = new std::atomic<std::shared_ptr<LogSink>>(makeStderrSink());
  return *slot;
}

int sdPriority(LogLevel level) {
  switch (level) {
    case LogLevel::Debug: return 7;
    case LogLevel::Info: return 6;
    case LogLevel::Default: return 5;
    case LogLevel::Error: return 3;
    case LogLevel::Fault: return 2;
  }
  return 5;
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

std::optional<LogLevel> parseLogLevel(std::string_view text) {
  if (text == "debug") return LogLevel::Debug;
  if (text == "info") return LogLevel::Info;
  if (text == "default") return LogLevel::Default;
  if (text == "error") return LogLevel::Error;
  if (text == "fault") return LogLevel::Fault;
  return std::nullopt;
}

std::string_view logLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::Debug: return "debug";
    case LogLevel::Info: return "info";
    case LogLevel::Default: return "default";
    case LogLevel::Error: return "error";
    case LogLevel::Fault: return "fault";
  }
  return "default";
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

const Logger& Logger::defaultLog() {
  static const Logger* log = new Logger("", "default");
  return *log;
}

bool Logger::enabled(LogLevel level) const {
  return static_cast<int>(level) >= gThreshold.load(std::memory_order_relaxed);
}

void Logger::write(LogLevel level, std::string_view message) const {
  if (!enabled(level)) return;
  if (!logformat::needsEscaping(message)) return deliver(level, message);
  deliver(level, logformat::escape(message));
}

void Logger::deliver(LogLevel level, std::string_view message) const {
  auto sink = sinkSlot().load();
  sink->write(LogRecord{level, subsystem_, category_, message});
}

std::string LogLines::joined() const {
  std::string text;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (i > 0) text.push_back('\n');
    text += lines_[i];
  }
  return text;
}

namespace logformat {

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

bool needsEscaping(std::string_view text) {
  for (char c : text) {
    if (isControl(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

void appendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.reserve(out.size() + text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (!isControl(byte)) {
      out.push_back(c);
    } else if (byte == '\n') {
      out += "\\n";
    } else {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
}

std::string escape(std::string_view text) {
  std::string out;
  appendEscaped(out, text);
  return out;
}

}  // namespace logformat

namespace logging {

void setThreshold(LogLevel level) { gThreshold.store(static_cast<int>(level)); }

LogLevel threshold() { return static_cast<LogLevel>(gThreshold.load()); }

void setSink(std::shared_ptr<LogSink> sink) { sinkSlot().store(sink ? std::move(sink) : makeStderrSink()); }

}  // namespace logging

StderrLogSink::StderrLogSink(bool terminal) : terminal_(terminal) {}

void StderrLogSink::write(const LogRecord& record) {
  std::string prefix;
  if (terminal_) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    prefix = fmt::format("{}.{:03d} {:<7} ", stamp, millis, logLevelName(record.level));
  } else {
    prefix = fmt::format("<{}>", sdPriority(record.level));
  }
  // Every physical line gets the prefix, so that journald keeps the priority
  // of multi-line messages (entry descriptions, dumps).
  std::string out;
  out.reserve(record.message.size() + prefix.size() + 1);
  std::string_view rest = record.message;
  do {
    auto newline = rest.find('\n');
    out += prefix;
    out += rest.substr(0, newline);
    out += '\n';
    rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
  } while (!rest.empty());
  std::lock_guard lock(mutex_);
  writeAll(STDERR_FILENO, out);
}

void CaptureLogSink::write(const LogRecord& record) {
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(Line{record.level, std::string(record.subsystem), std::string(record.category),
                          std::string(record.message)});
  }
  changed_.notify_all();
}

std::vector<CaptureLogSink::Line> CaptureLogSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> CaptureLogSink::messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.reserve(lines_.size());
  for (const auto& line : lines_) out.push_back(line.message);
  return out;
}

std::size_t CaptureLogSink::count(std::string_view needle) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& line : lines_) {
    if (line.message.find(needle) != std::string::npos) ++n;
  }
  return n;
}

bool CaptureLogSink::waitForCount(std::string_view needle, std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    std::size_t found = 0;
    for (const auto& line : lines_) {
      if (line.message.find(needle) != std::string::npos) ++found;
    }
    return found >= n;
  });
}

void CaptureLogSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

void fatalError(std::string_view message, std::string_view sourceFile) {
  Logger::defaultLog().write(LogLevel::Fault, message);
  std::string line = fmt::format("{}: Fatal error: {}\n", sourceFile, message);
  writeAll(STDERR_FILENO, line);
  std::abort();
}

}  // namespace platform
