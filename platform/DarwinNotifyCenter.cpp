#include "platform/DarwinNotifyCenter.h"
#include "platform/FileDescriptor.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/io_context.hpp>
#include <asio/local/datagram_protocol.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/Directories.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"

namespace platform {

namespace {

constexpr std::size_t kMaxNameLength = 512;

const Logger& logger() {
  static const Logger log("com.corvane.nimbra", "DarwinNotifyCenter");
  return log;
}

// Why `name` cannot be a notification name, or nullopt when it can.
std::optional<std::string_view> invalidReason(std::string_view name) {
  if (name.empty()) return "empty name";
  if (name.size() > kMaxNameLength) return "name longer than 512 bytes";
  if (name.find('\0') != std::string_view::npos) return "name contains a NUL byte";
  return std::nullopt;
}

std::string errnoText(int error) { return std::strerror(error); }

Expected<sockaddr_un, std::string> socketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return unexpected("socket path is empty or longer than " + std::to_string(sizeof address.sun_path - 1) +
                      " bytes: " + path);
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

// A socket file left behind by a center that is gone may be replaced; a live
// center, or anything that is not a socket, is never touched.
Expected<void, std::string> clearStaleSocket(const std::string& path, const sockaddr_un& address) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return unexpected("cannot inspect " + path + ": " + errnoText(errno));
  }
  if (!S_ISSOCK(st.st_mode)) return unexpected(path + " exists and is not a socket; not replacing it");
  FileDescriptor probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (probe.get() < 0) return unexpected("cannot create a socket: " + errnoText(errno));
  if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return unexpected("another notify center is listening at " + path);
  }
  if (errno != ECONNREFUSED) return unexpected("cannot probe " + path + ": " + errnoText(errno));
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return unexpected("cannot remove the stale socket " + path + ": " + errnoText(errno));
  }
  return {};
}

}  // namespace

struct DarwinNotifyCenter::Impl : std::enable_shared_from_this<DarwinNotifyCenter::Impl> {
  struct Observer {
    std::string name;
    Callback callback;
    std::atomic<bool> active{true};
  };

  // One bound socket; pending receives hold it, so stop() may drop it at once.
  struct Listener {
    explicit Listener(asio::io_context& context) : socket(context) {}
    asio::local::datagram_protocol::socket socket;
    // One byte more than the longest name, so that an over-long datagram is
    // recognised even though the kernel truncates it to the buffer.
    std::array<char, kMaxNameLength + 1> buffer{};
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
  };

  std::shared_ptr<DispatchQueue> queue = DispatchQueue::makeSerial("com.corvane.nimbra.DarwinNotifyCenter");

  std::mutex observersMutex;
  std::vector<std::pair<ObserverToken, std::shared_ptr<Observer>>> observers;  // GUARDED_BY(observersMutex)
  std::uint64_t nextId = 1;                                                    // GUARDED_BY(observersMutex)

  // Also serialises every call on the listener's socket object, which Asio
  // does not allow concurrently.
  std::mutex listenerMutex;
  std::shared_ptr<Listener> listener;  // GUARDED_BY(listenerMutex)

  void deliver(std::string_view name) {
    if (auto reason = invalidReason(name)) {
      logger().error("Dropping invalid notification name ({} bytes): {}", name.size(), *reason);
      return;
    }
    std::vector<std::shared_ptr<Observer>> matching;
    {
      std::lock_guard lock(observersMutex);
      for (const auto& [token, observer] : observers) {
        if (observer->name == name) matching.push_back(observer);
      }
    }
    if (matching.empty()) return;
    // One block per notification keeps arrival order on the serial queue.
    queue->async([matching = std::move(matching)] {
      for (const auto& observer : matching) {
        if (observer->active.load(std::memory_order_acquire)) observer->callback();
      }
    });
  }

  // REQUIRES: listenerMutex held.
  void receive(const std::shared_ptr<Listener>& current) {
    current->socket.async_receive(
        asio::buffer(current->buffer),
        [weak = weak_from_this(), current](const std::error_code& error, std::size_t length) {
          auto self = weak.lock();
          if (!self || error == asio::error::operation_aborted) return;
          if (error) {
            logger().error("Receiving on the notify socket {} failed: {}", current->path, error.message());
          } else {
            self->deliver(std::string_view(current->buffer.data(), length));
          }
          std::lock_guard lock(self->listenerMutex);
          if (self->listener != current) return;
          if (error == asio::error::bad_descriptor) return;
          self->receive(current);
        });
  }
};

DarwinNotifyCenter::DarwinNotifyCenter() : impl_(std::make_shared<Impl>()) {}

DarwinNotifyCenter& DarwinNotifyCenter::shared() {
  // Never destroyed: observers unregister from destructors that may run at exit.
  static DarwinNotifyCenter* center = new DarwinNotifyCenter();
  return *center;
}

std::string DarwinNotifyCenter::defaultSocketPath() { return directories::runtime() + "/notify"; }

Expected<void, std::string> DarwinNotifyCenter::start(const std::string& socketPath) {
  std::lock_guard lock(impl_->listenerMutex);
  if (impl_->listener) return unexpected("the notify center is already listening at " + impl_->listener->path);
  auto address = socketAddress(socketPath);
  if (!address) return unexpected(address.error());
  if (auto cleared = clearStaleSocket(socketPath, *address); !cleared) return unexpected(cleared.error());

  FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return unexpected("cannot create a socket: " + errnoText(errno));
  // Linux gives the bound file the mode of the socket inode, so the file never
  // exists with a wider mode than 0600, whatever the umask.
  if (::fchmod(fd.get(), 0600) != 0) return unexpected("cannot set the socket mode: " + errnoText(errno));
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    return unexpected("cannot bind " + socketPath + ": " + errnoText(errno));
  }
  struct stat st{};
  if (::chmod(socketPath.c_str(), 0600) != 0 || ::lstat(socketPath.c_str(), &st) != 0) {
    int error = errno;
    ::unlink(socketPath.c_str());
    return unexpected("cannot secure " + socketPath + ": " + errnoText(error));
  }

  auto listener = std::make_shared<Impl::Listener>(DispatchRuntime::shared().context());
  listener->path = socketPath;
  listener->device = st.st_dev;
  listener->inode = st.st_ino;
  std::error_code error;
  listener->socket.assign(asio::local::datagram_protocol(), fd.get(), error);
  if (error) {
    ::unlink(socketPath.c_str());
    return unexpected("cannot watch " + socketPath + ": " + error.message());
  }
  fd.release();
  impl_->listener = listener;
  impl_->receive(listener);
  logger().info("Darwin notify center listening at {}", socketPath);
  return {};
}

void DarwinNotifyCenter::stop() {
  std::lock_guard lock(impl_->listenerMutex);
  auto listener = std::move(impl_->listener);
  if (!listener) return;
  std::error_code ignored;
  listener->socket.close(ignored);
  // Remove the file only if it is still ours: another center may have taken
  // the path over since.
  struct stat st{};
  if (::lstat(listener->path.c_str(), &st) == 0 && st.st_dev == listener->device && st.st_ino == listener->inode) {
    ::unlink(listener->path.c_str());
  }
}

ObserverToken DarwinNotifyCenter::addObserver(std::string name, Callback callback) {
  if (!callback) return {};
  auto observer = std::make_shared<Impl::Observer>();
  observer->name = std::move(name);
  observer->callback = std::move(callback);
  std::lock_guard lock(impl_->observersMutex);
  ObserverToken token{impl_->nextId++};
  impl_->observers.emplace_back(token, std::move(observer));
  return token;
}

void DarwinNotifyCenter::removeObserver(ObserverToken token) {
  if (!token) return;
  std::shared_ptr<Impl::Observer> removed;
  {
    std::lock_guard lock(impl_->observersMutex);
    auto& observers = impl_->observers;
    for (auto it = observers.begin(); it != observers.end(); ++it) {
      if (it->first == token) {
        removed = std::move(it->second);
        observers.erase(it);
        break;
      }
    }
  }
  if (removed) removed->active.store(false, std::memory_order_release);
}

void DarwinNotifyCenter::post(std::string_view name) {
  if (auto reason = invalidReason(name)) {
    logger().error("Not posting an invalid notification name ({} bytes): {}", name.size(), *reason);
    return;
  }
  std::string path;
  {
    std::lock_guard lock(impl_->listenerMutex);
    if (impl_->listener) path = impl_->listener->path;
  }
  if (path.empty()) {
    impl_->deliver(name);
    return;
  }
  if (auto sent = postTo(path, name); !sent) {
    // The observers are in this process: losing the notification would be
    // worse than bypassing our own socket.
    logger().error("Posting {} through {} failed: {}; delivering in-process", name, path, sent.error());
    impl_->deliver(name);
  }
}

void DarwinNotifyCenter::deliver(std::string_view name) { impl_->deliver(name); }

Expected<void, std::string> DarwinNotifyCenter::postTo(const std::string& socketPath, std::string_view name) {
  if (auto reason = invalidReason(name)) return unexpected("invalid notification name: " + std::string(*reason));
  auto address = socketAddress(socketPath);
  if (!address) return unexpected(address.error());
  FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return unexpected("cannot create a socket: " + errnoText(errno));
  // A center that stopped reading must not hang the poster.
  timeval timeout{2, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  ssize_t sent;
  do {
    sent = ::sendto(fd.get(), name.data(), name.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&*address),
                    sizeof *address);
  } while (sent < 0 && errno == EINTR);
  if (sent >= 0) return {};
  switch (errno) {
    case ENOENT:
    case ECONNREFUSED:
      return unexpected("no notify center is listening at " + socketPath + " (" + errnoText(errno) + ")");
    case EACCES:
    case EPERM:
      return unexpected("not allowed to post to " + socketPath + " (" + errnoText(errno) + ")");
    case EAGAIN:
      return unexpected("the notify center at " + socketPath + " did not take the notification within 2 seconds");
    default:
      return unexpected("cannot send to " + socketPath + ": " + errnoText(errno));
  }
}

}  // namespace platform
