#pragma once

// The analytics sink: events are appended as JSON lines
// {"event": <name>, "time": <ISO 8601 UTC>, "payload": {...}} to
// <directory>/events.jsonl. The payload is built lazily: only for an event the
// sink has taken, and only when it is about to be written, so a refused event
// costs the caller nothing.
//
// Writing happens on the sink's own serial queue. A slow or failing disk never
// blocks the caller: the backlog is bounded and, after a write failure, events
// are refused for a short cool-down instead of piling up.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Value.h"

namespace platform {

using AnalyticsPayloadBuilder = std::function<Dictionary()>;

class AnalyticsSink {
 public:
  virtual ~AnalyticsSink() = default;

  // Offers one event. Returns true when the sink took it: `payload` is then
  // called exactly once, later, on another thread, and must use only the values
  // it captured. Returns false when the sink refused it: `payload` is never
  // called. Thread-safe; never blocks on the disk.
  virtual bool sendEventLazy(std::string_view event, AnalyticsPayloadBuilder payload) = 0;
};

class JsonLinesAnalyticsSink : public AnalyticsSink {
 public:
  struct Options {
    // Folder of events.jsonl; created (with its parents) on first write.
    std::string directory;
    // When a write would take the file past this size, the file becomes
    // events.jsonl.1 (replacing an older one) and a new file is started.
    std::uint64_t rotateBytes = 8 * 1024 * 1024;
    // Events taken but not yet written; further events are refused.
    std::size_t maxPending = 8192;
    // After a failed write, events are refused for this long.
    std::chrono::milliseconds failureCoolDown{5000};
    // nullptr: the system clock.
    const Clock* clock = nullptr;
  };

  explicit JsonLinesAnalyticsSink(Options options);
  JsonLinesAnalyticsSink(const JsonLinesAnalyticsSink&) = delete;
  JsonLinesAnalyticsSink& operator=(const JsonLinesAnalyticsSink&) = delete;
  // Events already taken are still written: the writer keeps its state alive.
  ~JsonLinesAnalyticsSink() override;

  // The process-wide sink over $STATE_DIRECTORY/analytics (directory read once,
  // on first use).
  static std::shared_ptr<JsonLinesAnalyticsSink> shared();

  bool sendEventLazy(std::string_view event, AnalyticsPayloadBuilder payload) override;

  // Waits until every event taken before the call has been written or
  // dropped. Returns false when that did not happen within `timeout`.
  bool flush(std::chrono::milliseconds timeout);

  // <directory>/events.jsonl
  std::string filePath() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// One JSON line (without the newline) for an event: used by the sink, and by
// tests that check the format. Invalid UTF-8 in strings is replaced, never an
// error; dates become ISO 8601 UTC texts and data a base64 text.
std::string analyticsJsonLine(std::string_view event, std::chrono::system_clock::time_point time,
                              const Dictionary& payload);

}  // namespace platform
