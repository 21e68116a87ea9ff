#include "platform/AnalyticsSink.h"
#include "platform/FileDescriptor.h"
#include "platform/FileProbe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/Directories.h"
#include "platform/Dispatch.h"
#include "platform/JsonValue.h"
#include "platform/Log.h"

namespace platform {

namespace {

const Logger& sinkLog() {
  static const Logger log("com.corvane.nimbrad", "AnalyticsSink");
  return log;
}

// Writes all of `bytes`; false with errno set on failure.
bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

constexpr std::chrono::milliseconds kGatherDelay{20};

}  // namespace

std::string analyticsJsonLine(std::string_view event, std::chrono::system_clock::time_point time,
                              const Dictionary& payload) {
  nlohmann::json line = nlohmann::json::object();
  line["event"] = std::string(event);
  line["time"] = iso8601(time);
  line["payload"] = toJson(Value(payload));
  return jsonText(line);
}

struct JsonLinesAnalyticsSink::State {
  struct Pending {
    std::string event;
    std::chrono::system_clock::time_point time;
    AnalyticsPayloadBuilder payload;
  };

  Options options;
  const Clock* clock;
  std::string file;
  std::shared_ptr<DispatchQueue> queue = DispatchQueue::makeSerial("com.corvane.nimbra.analytics", QoS::Utility);

  std::mutex mutex;
  std::vector<Pending> pending;                              // GUARDED_BY(mutex)
  bool drainScheduled = false;                               // GUARDED_BY(mutex)
  std::chrono::steady_clock::time_point refuseUntil{};       // GUARDED_BY(mutex)
  bool overflowReported = false;                             // GUARDED_BY(mutex)

  // Only touched on `queue`.
  bool failing = false;

  void fail(const char* what, int error) {
    if (!failing) {
      sinkLog().error("Analytics: {} {} failed: {}; dropping events for {} ms", what, file, std::strerror(error),
                      options.failureCoolDown.count());
    }
    failing = true;
    std::lock_guard lock(mutex);
    refuseUntil = clock->uptime() + options.failureCoolDown;
  }

  // Opens the file for appending; returns the descriptor and its size.
  bool open(FileDescriptor& fd, std::uint64_t& size) {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    fd.reset(::open(file.c_str(), kFlags, 0640));
    // The folder is made on first use, and again if someone removed it.
    if (fd.get() < 0 && errno == ENOENT) {
      if (!files::makeDirectories(options.directory, 0750)) {
        fail("creating the folder of", errno ? errno : ENOTDIR);
        return false;
      }
      fd.reset(::open(file.c_str(), kFlags, 0640));
    }
    if (fd.get() < 0) {
      fail("opening", errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      fail("checking", errno ? errno : EINVAL);
      fd.reset();
      return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }

  void drain() {
    std::vector<Pending> batch;
    {
      std::lock_guard lock(mutex);
      batch.swap(pending);
      drainScheduled = false;
      overflowReported = false;
    }
    if (batch.empty()) return;

    FileDescriptor fd;
    std::uint64_t size = 0;
    // A batch that cannot be written is dropped without building payloads.
    if (!open(fd, size)) return;

    std::string buffer;
    auto writeBuffer = [&]() -> bool {
      if (buffer.empty()) return true;
      if (!writeAll(fd.get(), buffer)) {
        fail("writing", errno);
        return false;
      }
      size += buffer.size();
      buffer.clear();
      return true;
    };

    for (auto& item : batch) {
      std::string line;
      try {
        line = analyticsJsonLine(item.event, item.time, item.payload ? item.payload() : Dictionary{});
      } catch (const std::exception& e) {
        // A builder that throws loses its own event, never the batch.
        sinkLog().error("Analytics: dropping event {}: {}", item.event, e.what());
        continue;
      }
      line += '\n';
      item.payload = nullptr;  // release captures early
      std::uint64_t projected = size + buffer.size() + line.size();
      if (projected > options.rotateBytes && size + buffer.size() > 0) {
        if (!writeBuffer()) return;
        if (!rotate(fd, size)) return;
      }
      buffer += line;
    }
    if (!writeBuffer()) return;
    if (failing) {
      failing = false;
      sinkLog().notice("Analytics: writing to {} again", file);
    }
  }

  bool rotate(FileDescriptor& fd, std::uint64_t& size) {
    fd.reset();
    std::string previous = file + ".1";
    if (::rename(file.c_str(), previous.c_str()) != 0 && errno != ENOENT) {
      fail("rotating", errno);
      return false;
    }
    return open(fd, size);
  }
};

JsonLinesAnalyticsSink::JsonLinesAnalyticsSink(Options options) : state_(std::make_shared<State>()) {
  state_->options = std::move(options);
  state_->clock = state_->options.clock ? state_->options.clock : &Clock::system();
  state_->file = state_->options.directory + "/events.jsonl";
}

JsonLinesAnalyticsSink::~JsonLinesAnalyticsSink() = default;

std::shared_ptr<JsonLinesAnalyticsSink> JsonLinesAnalyticsSink::shared() {
  // Never destroyed: events may still be sent while the process exits.
  static const auto* sink = new std::shared_ptr<JsonLinesAnalyticsSink>(
      std::make_shared<JsonLinesAnalyticsSink>(Options{.directory = directories::state() + "/analytics"}));
  return *sink;
}

bool JsonLinesAnalyticsSink::sendEventLazy(std::string_view event, AnalyticsPayloadBuilder payload) {
  auto& s = *state_;
  auto now = s.clock->now();
  bool schedule = false;
  {
    std::lock_guard lock(s.mutex);
    if (s.refuseUntil != std::chrono::steady_clock::time_point{} && s.clock->uptime() < s.refuseUntil) return false;
    if (s.pending.size() >= s.options.maxPending) {
      if (!s.overflowReported) {
        s.overflowReported = true;
        sinkLog().error("Analytics: backlog of {} events is full, dropping events", s.options.maxPending);
      }
      return false;
    }
    s.pending.push_back({std::string(event), now, std::move(payload)});
    if (!s.drainScheduled) {
      s.drainScheduled = true;
      schedule = true;
    }
  }
  if (schedule) {
    // A short wait gathers the events of a burst into one write.
    s.queue->asyncAfter(kGatherDelay, [state = state_] { state->drain(); });
  }
  return true;
}

bool JsonLinesAnalyticsSink::flush(std::chrono::milliseconds timeout) {
  // The queue is serial: a block submitted now runs after every drain that
  // was scheduled for events taken before this call.
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  state_->queue->async([state = state_, done] {
    state->drain();
    done->set_value();
  });
  return finished.wait_for(timeout) == std::future_status::ready;
}

std::string JsonLinesAnalyticsSink::filePath() const { return state_->file; }

}  // namespace platform
