#include "platform/FennixClient.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Log.h"

namespace platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

// An install is a handful of file operations within milliseconds; waiting for
// a short quiet period turns them into one update, and the cap keeps a steady
// stream of writes from postponing the update for ever.
constexpr auto kQuietPeriod = std::chrono::milliseconds(200);
constexpr auto kMaximumDelay = std::chrono::seconds(1);
// More namespaces than this is not a store we wrote; the rest is ignored.
constexpr std::size_t kMaxNamespaces = 256;

constexpr std::uint32_t kRootMask = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
constexpr std::uint32_t kNamespaceMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                         IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

const Logger& clientLog() {
  static const Logger log("com.corvane.nimbrad", "FennixClient");
  return log;
}

bool isDirectory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class FileFennixClient final : public FennixClient {
 public:
  explicit FileFennixClient(std::string directory) : store_(std::move(directory)) {}

  ~FileFennixClient() override {
    if (watcher_.joinable()) {
      std::uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
      watcher_.join();
    }
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
  }

  FileFennixClient(const FileFennixClient&) = delete;
  FileFennixClient& operator=(const FileFennixClient&) = delete;

  void startWatching() {
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotifyFd_ < 0 || wakeFd_ < 0) {
      clientLog().error("Cannot watch the Fennix store {}: {}; updates will not be seen", store_.directory(),
                        std::strerror(errno));
      return;
    }
    rootWatch_ = ::inotify_add_watch(inotifyFd_, store_.directory().c_str(), kRootMask);
    if (rootWatch_ < 0) {
      clientLog().error("Cannot watch the Fennix store {}: {}; new namespaces will not be seen", store_.directory(),
                        std::strerror(errno));
    }
  }

  void refresh() override {
    std::map<std::string, FennixNamespaceSnapshot, std::less<>> snapshots;
    if (DIR* dir = ::opendir(store_.directory().c_str())) {
      std::vector<std::string> names;
      while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (!FennixStore::isValidName(name)) continue;
        if (names.size() == kMaxNamespaces) break;
        names.push_back(std::move(name));
      }
      ::closedir(dir);
      // Files are read without the lock: lookups keep answering from the
      // previous snapshot meanwhile.
      for (auto& name : names) {
        if (!isDirectory(store_.directory() + "/" + name)) continue;
        auto snapshot = store_.read(name);
        snapshots.emplace(std::move(name), std::move(snapshot));
      }
    }
    std::lock_guard lock(snapshotMutex_);
    snapshots_ = std::move(snapshots);
  }

  std::optional<FennixLevel> levelForFactor(std::string_view factor, std::string_view namespaceName) const override {
    std::lock_guard lock(snapshotMutex_);
    auto ns = snapshots_.find(namespaceName);
    if (ns == snapshots_.end()) return std::nullopt;
    auto level = ns->second.levels.find(factor);
    if (level == ns->second.levels.end()) return std::nullopt;
    return level->second;
  }

  std::optional<FennixRolloutIdentifiers> rolloutIdentifiers(std::string_view namespaceName) const override {
    std::lock_guard lock(snapshotMutex_);
    auto ns = snapshots_.find(namespaceName);
    return ns == snapshots_.end() ? std::nullopt : ns->second.rollout;
  }

  std::optional<FennixExperimentIdentifiers> experimentIdentifiers(std::string_view namespaceName) const override {
    std::lock_guard lock(snapshotMutex_);
    auto ns = snapshots_.find(namespaceName);
    return ns == snapshots_.end() ? std::nullopt : ns->second.experiment;
  }

  FennixUpdateToken addUpdateHandler(std::string namespaceName, std::shared_ptr<DispatchQueue> queue,
                                     UpdateHandler handler) override {
    std::lock_guard lock(watchMutex_);
    FennixUpdateToken token{nextToken_++};
    auto folder = store_.namespaceDirectory(namespaceName);
    if (!folder) {
      clientLog().error("Invalid Fennix namespace name '{}'; its updates will not be seen", namespaceName);
      return token;
    }
    if (inotifyFd_ >= 0) {
      // The folder must exist to be watched; an empty folder reads as a
      // namespace without levels.
      std::error_code error;
      std::filesystem::create_directories(*folder, error);
      addNamespaceWatch(namespaceName);  // REQUIRES: watchMutex_ held
      if (!watcher_.joinable()) watcher_ = std::thread([this] { watchLoop(); });
    }
    handlers_.emplace(token.id, Handler{std::move(namespaceName), std::move(queue),
                                        std::make_shared<UpdateHandler>(std::move(handler))});
    return token;
  }

  void removeUpdateHandler(FennixUpdateToken token) override {
    std::lock_guard lock(watchMutex_);
    handlers_.erase(token.id);
  }

 private:
  struct Handler {
    std::string namespaceName;
    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<UpdateHandler> handler;
  };

  struct Pending {
    SteadyClock::time_point first;
    SteadyClock::time_point last;
    SteadyClock::time_point due() const { return std::min(last + kQuietPeriod, first + kMaximumDelay); }
  };

  // REQUIRES: watchMutex_ held.
  void addNamespaceWatch(const std::string& namespaceName) {
    auto folder = store_.namespaceDirectory(namespaceName);
    int wd = ::inotify_add_watch(inotifyFd_, folder->c_str(), kNamespaceMask);
    if (wd < 0) {
      clientLog().error("Cannot watch Fennix namespace {}: {}", *folder, std::strerror(errno));
      return;
    }
    watches_[wd] = namespaceName;
  }

  // REQUIRES: watchMutex_ held.
  bool isWatched(std::string_view namespaceName) const {
    for (const auto& [wd, name] : watches_) {
      if (name == namespaceName) return true;
    }
    return false;
  }

  // REQUIRES: watchMutex_ held.
  bool hasHandlers(std::string_view namespaceName) const {
    for (const auto& [id, handler] : handlers_) {
      if (handler.namespaceName == namespaceName) return true;
    }
    return false;
  }

  void watchLoop() {
    std::map<std::string, Pending> pending;
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
      int timeout = -1;
      auto now = SteadyClock::now();
      for (const auto& [name, p] : pending) {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(p.due() - now).count();
        int ms = static_cast<int>(std::max<long long>(0, wait));
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
      }
      struct pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
      int ready = ::poll(fds, 2, timeout);
      if (ready < 0 && errno != EINTR) {
        clientLog().error("Fennix store watch stopped: {}", std::strerror(errno));
        return;
      }
      if (fds[1].revents != 0) return;  // only the destructor writes the wake descriptor
      if (fds[0].revents & POLLIN) {
        for (;;) {
          ssize_t n = ::read(inotifyFd_, buffer, sizeof buffer);
          if (n <= 0) break;
          handleEvents(buffer, static_cast<std::size_t>(n), pending);
        }
      }
      now = SteadyClock::now();
      for (auto it = pending.begin(); it != pending.end();) {
        if (it->second.due() <= now) {
          fire(it->first);
          it = pending.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  void handleEvents(const char* buffer, std::size_t size, std::map<std::string, Pending>& pending) {
    auto now = SteadyClock::now();
    auto mark = [&](const std::string& namespaceName) {
      auto [it, inserted] = pending.try_emplace(namespaceName, Pending{now, now});
      if (!inserted) it->second.last = now;
    };
    std::lock_guard lock(watchMutex_);
    for (std::size_t offset = 0; offset + sizeof(struct inotify_event) <= size;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
      offset += sizeof(struct inotify_event) + event->len;
      if (event->mask & IN_Q_OVERFLOW) {
        // Events were lost: every watched namespace may have changed.
        for (const auto& [id, handler] : handlers_) mark(handler.namespaceName);
        continue;
      }
      if (event->wd == rootWatch_) {
        if (event->len == 0) continue;
        std::string name(event->name);
        if (!hasHandlers(name)) continue;
        if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
          // A folder we already watch is one addUpdateHandler() just created:
          // nothing changed. One that appears again (after being removed or
          // moved away) needs a new watch, and is a change.
          if (isWatched(name)) continue;
          addNamespaceWatch(name);
        }
        mark(name);
        continue;
      }
      auto watch = watches_.find(event->wd);
      if (watch == watches_.end()) continue;
      std::string name = watch->second;
      if (event->mask & IN_IGNORED) watches_.erase(watch);
      mark(name);
    }
  }

  void fire(const std::string& namespaceName) {
    std::vector<Handler> targets;
    {
      std::lock_guard lock(watchMutex_);
      for (const auto& [id, handler] : handlers_) {
        if (handler.namespaceName == namespaceName) targets.push_back(handler);
      }
    }
    for (auto& target : targets) {
      target.queue->async([handler = target.handler, namespaceName] { (*handler)(namespaceName); });
    }
  }

  FennixStore store_;

  mutable std::mutex snapshotMutex_;
  std::map<std::string, FennixNamespaceSnapshot, std::less<>> snapshots_;  // GUARDED_BY(snapshotMutex_)

  std::mutex watchMutex_;
  std::map<std::uint64_t, Handler> handlers_;  // GUARDED_BY(watchMutex_)
  std::map<int, std::string> watches_;         // GUARDED_BY(watchMutex_)
  std::uint64_t nextToken_ = 1;                // GUARDED_BY(watchMutex_)
  std::thread watcher_;                        // started under watchMutex_

  // Set before any handler is added, then only read.
  int inotifyFd_ = -1;
  int wakeFd_ = -1;
  int rootWatch_ = -1;
};

}  // namespace

Expected<std::unique_ptr<FennixClient>, std::string> FennixClient::openFileStore(const std::string& directory) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) return unexpected(fmt::format("cannot create {}: {}", directory, error.message()));
  if (!isDirectory(directory)) return unexpected(fmt::format("cannot open {}: not a directory", directory));
  if (::access(directory.c_str(), R_OK | X_OK) != 0) {
    return unexpected(fmt::format("cannot open {}: {}", directory, std::strerror(errno)));
  }
  auto client = std::make_unique<FileFennixClient>(directory);
  client->startWatching();
  client->refresh();
  return std::unique_ptr<FennixClient>(std::move(client));
}

}  // namespace platform
