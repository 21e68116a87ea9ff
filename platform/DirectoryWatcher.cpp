#include "platform/DirectoryWatcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/FileDescriptor.h"
#include "platform/Log.h"

namespace platform {

namespace {

const Logger& watcherLog() {
  static const Logger log("com.corvane.nimbrad", "DirectoryWatcher");
  return log;
}

}  // namespace

bool DirectoryWatcher::Event::overflowed() const { return (mask & IN_Q_OVERFLOW) != 0; }
bool DirectoryWatcher::Event::watchEnded() const { return (mask & IN_IGNORED) != 0; }
bool DirectoryWatcher::Event::folderLeft() const { return (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0; }

// Shared with the loop's pending wait, which may outlive the watcher object.
// Lock order: deliveryMutex, then mutex. Reading the descriptor happens only
// under deliveryMutex; waiting, watching and closing only under mutex, and
// closing only once nobody delivers.
struct DirectoryWatcher::State : std::enable_shared_from_this<DirectoryWatcher::State> {
  explicit State(int fd) : descriptor(DispatchRuntime::shared().context(), fd) {}

  std::mutex deliveryMutex;
  std::atomic<std::thread::id> deliveringThread{};

  std::mutex mutex;
  asio::posix::stream_descriptor descriptor;                // GUARDED_BY(mutex)
  std::map<int, std::shared_ptr<const Handler>> handlers;  // GUARDED_BY(mutex)
  bool stopped = false;                                     // GUARDED_BY(mutex)

  // REQUIRES: mutex held.
  void arm() {
    descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                          [self = shared_from_this()](const std::error_code& error) {
                            if (error == asio::error::operation_aborted) return;
                            if (error) {
                              watcherLog().error("Watching folders failed: {}; changes are no longer seen",
                                                 error.message());
                              return;
                            }
                            self->drain();
                            std::lock_guard lock(self->mutex);
                            if (!self->stopped) self->arm();
                          });
  }

  void drain() {
    std::lock_guard delivery(deliveryMutex);
    // Tells stop() that a handler calling it runs on this thread.
    struct Delivering {
      std::atomic<std::thread::id>& thread;
      explicit Delivering(std::atomic<std::thread::id>& t) : thread(t) { thread = std::this_thread::get_id(); }
      ~Delivering() { thread = std::thread::id(); }
    } delivering(deliveringThread);
    std::array<char, 16 * 1024> buffer;
    int fd;
    {
      std::lock_guard lock(mutex);
      fd = stopped ? -1 : descriptor.native_handle();
    }
    while (fd >= 0) {
      ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (!deliver(buffer.data(), static_cast<std::size_t>(n))) break;
    }
    // A handler stopped the watcher: the descriptor is closed now that
    // nothing reads it any more.
    std::lock_guard lock(mutex);
    if (stopped) close();
  }

  // False once the watcher was stopped.
  bool deliver(const char* bytes, std::size_t size) {
    for (std::size_t offset = 0; offset + sizeof(inotify_event) <= size;) {
      inotify_event header;
      std::memcpy(&header, bytes + offset, sizeof header);
      std::size_t length = sizeof(inotify_event) + header.len;
      if (offset + length > size) break;
      Event event;
      event.mask = header.mask;
      if (header.len > 0) {
        const char* name = bytes + offset + sizeof(inotify_event);
        event.name.assign(name, strnlen(name, header.len));
      }
      offset += length;

      std::vector<std::shared_ptr<const Handler>> targets;
      {
        std::lock_guard lock(mutex);
        if (stopped) return false;
        if (event.overflowed()) {
          for (const auto& [watch, handler] : handlers) targets.push_back(handler);
        } else if (auto it = handlers.find(header.wd); it != handlers.end()) {
          targets.push_back(it->second);
          // The kernel has dropped the watch.
          if (event.watchEnded()) handlers.erase(it);
        }
      }
      for (const auto& handler : targets) (*handler)(event);
    }
    return true;
  }

  // REQUIRES: mutex held.
  void close() {
    std::error_code ignored;
    if (descriptor.is_open()) descriptor.close(ignored);
    handlers.clear();
  }

  void stop() {
    if (deliveringThread.load() == std::this_thread::get_id()) {
      // Called by a handler: drain() closes once the handler returns.
      std::lock_guard lock(mutex);
      stopped = true;
      return;
    }
    std::lock_guard delivery(deliveryMutex);
    std::lock_guard lock(mutex);
    stopped = true;
    close();
  }
};

Expected<std::unique_ptr<DirectoryWatcher>, int> DirectoryWatcher::create() {
  FileDescriptor fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd) return unexpected(errno);
  std::shared_ptr<State> state;
  try {
    state = std::make_shared<State>(fd.get());
  } catch (const std::system_error& error) {
    return unexpected(error.code().value());
  }
  fd.release();  // owned by the state's descriptor now
  {
    std::lock_guard lock(state->mutex);
    state->arm();
  }
  return std::unique_ptr<DirectoryWatcher>(new DirectoryWatcher(std::move(state)));
}

DirectoryWatcher::DirectoryWatcher(std::shared_ptr<State> state) : state_(std::move(state)) {}

DirectoryWatcher::~DirectoryWatcher() { state_->stop(); }

Expected<DirectoryWatcher::Watch, int> DirectoryWatcher::add(const std::string& folder, std::uint32_t mask,
                                                             Handler handler) {
  std::lock_guard lock(state_->mutex);
  if (state_->stopped) return unexpected(EBADF);
  int wd = ::inotify_add_watch(state_->descriptor.native_handle(), folder.c_str(), mask | IN_ONLYDIR);
  if (wd < 0) return unexpected(errno);
  state_->handlers[wd] = std::make_shared<const Handler>(std::move(handler));
  return Watch{wd};
}

void DirectoryWatcher::remove(Watch watch) {
  std::lock_guard lock(state_->mutex);
  if (state_->stopped || state_->handlers.erase(watch.descriptor) == 0) return;
  // Its IN_IGNORED then finds no handler.
  ::inotify_rm_watch(state_->descriptor.native_handle(), watch.descriptor);
}

void DirectoryWatcher::drain() { state_->drain(); }

}  // namespace platform
