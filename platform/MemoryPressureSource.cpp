#include "platform/MemoryPressureSource.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

#include "platform/Base64.h"
#include "platform/FileDescriptor.h"
#include "platform/Log.h"

namespace platform {

namespace {

constexpr long kProcSuperMagic = 0x9fa0;
constexpr long kCgroup2SuperMagic = 0x63677270;

// 150 ms of stall within 1 s. Callers without CAP_SYS_RESOURCE may only use
// windows that are multiples of 2 s, hence the second trigger.
constexpr const char* kDefaultTriggers[] = {"some 150000 1000000", "some 300000 2000000"};

const Logger& logger() {
  static const Logger log("com.corvane.nimbrad", "MemoryPressureSource");
  return log;
}

// Undoes the octal escapes (\040 for a space, ...) of /proc/self/mountinfo.
std::string unescapeMountField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out.push_back(static_cast<char>(std::stoi(digits, nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

// The memory.pressure file of this process's cgroup v2, or nullopt when the
// process has no cgroup v2 membership or the hierarchy is not mounted.
std::optional<std::string> ownCgroupPressureFile() {
  std::ifstream cgroups("/proc/self/cgroup");
  std::string line;
  std::optional<std::string> group;
  while (std::getline(cgroups, line)) {
    if (line.rfind("0::", 0) == 0) group = line.substr(3);
  }
  if (!group || group->empty() || (*group)[0] != '/') return std::nullopt;

  std::ifstream mounts("/proc/self/mountinfo");
  while (std::getline(mounts, line)) {
    auto separator = line.find(" - ");
    if (separator == std::string::npos) continue;
    std::istringstream tail(line.substr(separator + 3));
    std::string type;
    tail >> type;
    if (type != "cgroup2") continue;
    std::istringstream head(line.substr(0, separator));
    std::string id, parent, device, root, mountPoint;
    head >> id >> parent >> device >> root >> mountPoint;
    root = unescapeMountField(root);
    mountPoint = unescapeMountField(mountPoint);
    // The mount may show only a subtree of the hierarchy.
    std::string relative = *group;
    if (root != "/") {
      if (relative != root && relative.rfind(root + "/", 0) != 0) continue;
      relative = relative.substr(root.size());
    }
    std::string path = mountPoint;
    if (!relative.empty() && relative != "/") path += relative;
    if (path.empty() || path.back() != '/') path += '/';
    return path + "memory.pressure";
  }
  return std::nullopt;
}

class PsiMemoryPressureSource final : public MemoryPressureSource {
 public:
  struct State : std::enable_shared_from_this<State> {
    State(int fd, std::string p, std::shared_ptr<DispatchQueue> q, Block h)
        : descriptor(DispatchRuntime::shared().context(), fd), path(std::move(p)), queue(std::move(q)),
          handler(std::move(h)) {}

    // Serialises the calls on `descriptor`, which Asio does not allow
    // concurrently (re-arming on the loop, closing from the destructor).
    std::mutex mutex;
    asio::posix::stream_descriptor descriptor;  // GUARDED_BY(mutex)
    bool stopped = false;                       // GUARDED_BY(mutex)
    const std::string path;
    const std::shared_ptr<DispatchQueue> queue;
    const Block handler;

    // REQUIRES: mutex held.
    void arm() {
      // PSI reports an event as POLLPRI; Asio's error wait is the one that
      // listens for it.
      descriptor.async_wait(asio::posix::stream_descriptor::wait_error,
                            [weak = weak_from_this()](const std::error_code& error) {
                              if (auto self = weak.lock()) self->fired(error);
                            });
    }

    void fired(const std::error_code& error) {
      std::lock_guard lock(mutex);
      if (stopped || error == asio::error::operation_aborted) return;
      if (error) {
        logger().error("Memory pressure source {} failed: {}; no further events", path, error.message());
        return;
      }
      // A removed cgroup reports POLLERR for ever: stop instead of spinning.
      pollfd probe{descriptor.native_handle(), 0, 0};
      if (::poll(&probe, 1, 0) == 1 && (probe.revents & (POLLERR | POLLNVAL)) != 0) {
        logger().error("Memory pressure source {} reported an error; no further events", path);
        return;
      }
      queue->async(handler);
      arm();
    }
  };

  explicit PsiMemoryPressureSource(std::shared_ptr<State> state) : state_(std::move(state)) {}

  ~PsiMemoryPressureSource() override {
    std::lock_guard lock(state_->mutex);
    state_->stopped = true;
    std::error_code ignored;
    state_->descriptor.close(ignored);
  }

 private:
  std::shared_ptr<State> state_;
};

}  // namespace

std::vector<std::string> MemoryPressureSource::candidatePaths() {
  std::vector<std::string> paths;
  if (const char* watch = std::getenv("MEMORY_PRESSURE_WATCH"); watch != nullptr && *watch != '\0') {
    if (std::string_view(watch) == "/dev/null") return {};
    paths.emplace_back(watch);
  }
  if (auto own = ownCgroupPressureFile()) paths.push_back(*own);
  paths.emplace_back("/proc/pressure/memory");
  return paths;
}

std::unique_ptr<MemoryPressureSource> MemoryPressureSource::watch(const std::string& path,
                                                                  std::shared_ptr<DispatchQueue> queue, Block handler,
                                                                  std::string* why) {
  auto fail = [&](std::string reason) -> std::unique_ptr<MemoryPressureSource> {
    if (why != nullptr) *why = path + ": " + reason;
    return nullptr;
  };
  FileDescriptor fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return fail(std::string("cannot open (") + std::strerror(errno) + ")");

  // Writing a trigger into an ordinary file would succeed and then never
  // signal anything.
  struct statfs fs{};
  if (::fstatfs(fd.get(), &fs) != 0) return fail(std::string("cannot inspect (") + std::strerror(errno) + ")");
  if (fs.f_type != kProcSuperMagic && fs.f_type != kCgroup2SuperMagic) return fail("not a pressure interface");
  // Root may open most of procfs for writing; only a file that reads like a
  // pressure report gets a trigger written into it.
  char head[16] = {};
  ssize_t got = ::pread(fd.get(), head, sizeof head - 1, 0);
  if (got <= 0 || std::string_view(head, static_cast<std::size_t>(got)).rfind("some avg10=", 0) != 0) {
    return fail("not a pressure interface");
  }

  std::vector<std::string> triggers;
  if (const char* written = std::getenv("MEMORY_PRESSURE_WRITE"); written != nullptr && *written != '\0') {
    if (auto decoded = base64::decode(written); decoded && !decoded->empty()) {
      while (!decoded->empty() && (decoded->back() == '\0' || decoded->back() == '\n')) decoded->pop_back();
      triggers.push_back(*decoded);
    }
  }
  for (const char* trigger : kDefaultTriggers) triggers.emplace_back(trigger);

  std::string refused;
  bool armed = false;
  for (const std::string& trigger : triggers) {
    // The kernel expects the terminating NUL as part of the write.
    if (::write(fd.get(), trigger.c_str(), trigger.size() + 1) >= 0) {
      armed = true;
      break;
    }
    if (!refused.empty()) refused += ", ";
    refused += "\"" + trigger + "\": " + std::strerror(errno);
  }
  if (!armed) return fail("refused every trigger (" + refused + ")");

  std::shared_ptr<PsiMemoryPressureSource::State> state;
  try {
    state = std::make_shared<PsiMemoryPressureSource::State>(fd.get(), path, std::move(queue), std::move(handler));
  } catch (const std::system_error& error) {
    return fail(std::string("cannot watch (") + error.what() + ")");
  }
  fd.release();  // owned by the descriptor now
  {
    std::lock_guard lock(state->mutex);
    state->arm();
  }
  return std::make_unique<PsiMemoryPressureSource>(std::move(state));
}

std::unique_ptr<MemoryPressureSource> MemoryPressureSource::start(std::shared_ptr<DispatchQueue> queue,
                                                                  Block handler) {
  std::string reasons;
  auto paths = candidatePaths();
  if (paths.empty()) reasons = "switched off by MEMORY_PRESSURE_WATCH=/dev/null";
  for (const std::string& path : paths) {
    std::string why;
    if (auto source = watch(path, queue, handler, &why)) {
      logger().info("Watching memory pressure through {}", path);
      return source;
    }
    if (!reasons.empty()) reasons += "; ";
    reasons += why;
  }
  static std::atomic<bool> logged{false};
  if (!logged.exchange(true)) logger().notice("<nimbrad> Memory pressure source unavailable: {}", reasons);
  return nullptr;
}

}  // namespace platform
