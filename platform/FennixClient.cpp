#include "platform/FennixClient.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/DirectoryWatcher.h"
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
  explicit FileFennixClient(std::string directory)
      : store_(std::move(directory)), watching_(std::make_shared<Watching>(store_)) {}

  ~FileFennixClient() override { watching_->stop(); }

  FileFennixClient(const FileFennixClient&) = delete;
  FileFennixClient& operator=(const FileFennixClient&) = delete;

  void startWatching() { watching_->start(); }

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
    return watching_->addHandler(std::move(namespaceName), std::move(queue), std::move(handler));
  }

  void removeUpdateHandler(FennixUpdateToken token) override { watching_->removeHandler(token); }

 private:
  // The update handlers and the watches that drive them. Shared with the
  // watcher's handlers and the coalescing timers, which may run after the
  // client is gone: they find it stopped and do nothing.
  class Watching : public std::enable_shared_from_this<Watching> {
   public:
    explicit Watching(const FennixStore& store) : store_(store) {}

    void start() {
      auto watcher = DirectoryWatcher::create();
      if (!watcher) {
        clientLog().error("Cannot watch the Fennix store {}: {}; updates will not be seen", store_.directory(),
                          std::strerror(watcher.error()));
        return;
      }
      std::lock_guard lock(mutex_);
      watcher_ = std::move(watcher).value();
      auto root = watcher_->add(store_.directory(), kRootMask, [weak = weak_from_this()](const auto& event) {
        if (auto self = weak.lock()) self->rootChanged(event);
      });
      if (!root) {
        clientLog().error("Cannot watch the Fennix store {}: {}; new namespaces will not be seen",
                          store_.directory(), std::strerror(root.error()));
      }
    }

    void stop() {
      std::unique_ptr<DirectoryWatcher> watcher;
      {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        watcher = std::move(watcher_);
      }
      // Outside the lock: a delivery under way may be waiting for it.
      watcher.reset();
    }

    FennixUpdateToken addHandler(std::string namespaceName, std::shared_ptr<DispatchQueue> queue,
                                 UpdateHandler handler) {
      std::lock_guard lock(mutex_);
      FennixUpdateToken token{nextToken_++};
      auto folder = store_.namespaceDirectory(namespaceName);
      if (!folder) {
        clientLog().error("Invalid Fennix namespace name '{}'; its updates will not be seen", namespaceName);
        return token;
      }
      if (watcher_) {
        // The folder must exist to be watched; an empty folder reads as a
        // namespace without levels.
        std::error_code error;
        std::filesystem::create_directories(*folder, error);
        addNamespaceWatch(namespaceName);
      }
      handlers_.emplace(token.id, Handler{std::move(namespaceName), std::move(queue),
                                          std::make_shared<UpdateHandler>(std::move(handler))});
      return token;
    }

    void removeHandler(FennixUpdateToken token) {
      std::lock_guard lock(mutex_);
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

    // REQUIRES: mutex_ held, watcher_ set.
    void addNamespaceWatch(const std::string& namespaceName) {
      auto folder = store_.namespaceDirectory(namespaceName);
      auto watch = watcher_->add(*folder, kNamespaceMask, [weak = weak_from_this(), namespaceName](const auto& event) {
        if (auto self = weak.lock()) self->namespaceChanged(namespaceName, event);
      });
      if (!watch) {
        clientLog().error("Cannot watch Fennix namespace {}: {}", *folder, std::strerror(watch.error()));
        return;
      }
      watched_.insert(namespaceName);
    }

    // REQUIRES: mutex_ held.
    bool hasHandlers(std::string_view namespaceName) const {
      for (const auto& [id, handler] : handlers_) {
        if (handler.namespaceName == namespaceName) return true;
      }
      return false;
    }

    void rootChanged(const DirectoryWatcher::Event& event) {
      std::lock_guard lock(mutex_);
      if (event.overflowed()) return markAll();
      if (event.name.empty() || !hasHandlers(event.name)) return;
      if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
        // A folder we already watch is one addHandler() just created:
        // nothing changed. One that appears again (after being removed or
        // moved away) needs a new watch, and is a change.
        if (watched_.count(event.name) != 0) return;
        if (watcher_) addNamespaceWatch(event.name);
      }
      mark(event.name);
    }

    void namespaceChanged(const std::string& namespaceName, const DirectoryWatcher::Event& event) {
      std::lock_guard lock(mutex_);
      if (event.overflowed()) return markAll();
      if (event.watchEnded()) watched_.erase(namespaceName);
      mark(namespaceName);
    }

    // Events were lost: every namespace with a handler may have changed.
    // REQUIRES: mutex_ held.
    void markAll() {
      for (const auto& [id, handler] : handlers_) mark(handler.namespaceName);
    }

    // Starts or extends the quiet period of a namespace. REQUIRES: mutex_ held.
    void mark(const std::string& namespaceName) {
      auto now = SteadyClock::now();
      auto [it, inserted] = pending_.try_emplace(namespaceName, Pending{now, now});
      if (!inserted) {
        it->second.last = now;
        return;
      }
      scheduleCheck(namespaceName, kQuietPeriod);
    }

    // REQUIRES: mutex_ held.
    void scheduleCheck(const std::string& namespaceName, SteadyClock::duration delay) {
      DispatchQueue::global(QoS::Utility)->asyncAfter(delay, [weak = weak_from_this(), namespaceName] {
        if (auto self = weak.lock()) self->check(namespaceName);
      });
    }

    // Runs the handlers of a namespace once its changes are over, else waits on.
    void check(const std::string& namespaceName) {
      std::lock_guard lock(mutex_);
      auto it = pending_.find(namespaceName);
      if (it == pending_.end()) return;
      auto now = SteadyClock::now();
      if (it->second.due() > now) {
        scheduleCheck(namespaceName, it->second.due() - now);
        return;
      }
      pending_.erase(it);
      if (stopped_) return;
      // Submitting only queues the calls, so the lock may stay held; then
      // no call is submitted once stop() or removeHandler() has returned.
      for (const auto& [id, handler] : handlers_) {
        if (handler.namespaceName != namespaceName) continue;
        handler.queue->async([call = handler.handler, namespaceName] { (*call)(namespaceName); });
      }
    }

    const FennixStore store_;
    std::mutex mutex_;
    std::unique_ptr<DirectoryWatcher> watcher_;            // GUARDED_BY(mutex_)
    bool stopped_ = false;                                 // GUARDED_BY(mutex_)
    std::map<std::uint64_t, Handler> handlers_;            // GUARDED_BY(mutex_)
    std::set<std::string, std::less<>> watched_;           // GUARDED_BY(mutex_): namespaces with a watch
    std::map<std::string, Pending> pending_;               // GUARDED_BY(mutex_)
    std::uint64_t nextToken_ = 1;                          // GUARDED_BY(mutex_)
  };

  FennixStore store_;

  mutable std::mutex snapshotMutex_;
  std::map<std::string, FennixNamespaceSnapshot, std::less<>> snapshots_;  // GUARDED_BY(snapshotMutex_)

  const std::shared_ptr<Watching> watching_;
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
