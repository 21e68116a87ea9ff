#include "platform/LudexLibrary.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/Directories.h"
#include "platform/DirectoryWatcher.h"
#include "platform/Dispatch.h"
#include "platform/FileProbe.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

namespace platform {

namespace {

const Logger& libraryLog() {
  static const Logger log("com.corvane.nimbrad", "LudexLibrary");
  return log;
}

// Edits arrive as bursts (create, write, close; or delete then rename):
// they are folded into one change.
constexpr std::chrono::milliseconds kChangeDebounce{100};
constexpr std::chrono::seconds kRewatchDelay{2};

std::string fileNameFor(uid_t uid) { return std::to_string(uid) + ".plist"; }

// What identifies one version of a file on disk.
struct FileVersion {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modifiedNanos = 0;
  std::int64_t changedNanos = 0;
  bool exists = false;
  bool operator==(const FileVersion&) const = default;
};

FileVersion versionOf(const struct stat& st) {
  return FileVersion{st.st_dev,
                     st.st_ino,
                     st.st_size,
                     std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                     std::int64_t(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec,
                     true};
}

class FileLibrary;

}  // namespace

// One watch on the library folder for all libraries of a factory; events
// are routed by file name.
struct LudexFileLibraryFactory::Watcher : std::enable_shared_from_this<LudexFileLibraryFactory::Watcher> {
  std::string folder;
  std::mutex mutex;
  std::map<std::string, std::vector<std::weak_ptr<FileLibrary>>> libraries;  // GUARDED_BY(mutex)
  bool started = false;                                                      // GUARDED_BY(mutex)
  bool stopped = false;                                                      // GUARDED_BY(mutex)
  std::unique_ptr<DirectoryWatcher> directory;                               // GUARDED_BY(mutex)
  std::optional<DirectoryWatcher::Watch> watch;                              // GUARDED_BY(mutex)

  explicit Watcher(std::string f) : folder(std::move(f)) {}

  void add(const std::string& name, const std::shared_ptr<FileLibrary>& library);
  void stop();

 private:
  // REQUIRES: mutex held
  bool startLocked();
  void handle(const DirectoryWatcher::Event& event);
  void notify(const std::string& name);
  void notifyAll();
  void scheduleRewatch();
};

namespace {

class FileLibrary final : public LXGameLibrary, public std::enable_shared_from_this<FileLibrary> {
 public:
  FileLibrary(uid_t uid, std::string path, std::shared_ptr<LudexFileLibraryFactory::Watcher> watcher)
      : uid_(uid),
        path_(std::move(path)),
        queue_(DispatchQueue::makeSerial("com.corvane.nimbra.ludex." + std::to_string(uid))),
        watcher_(std::move(watcher)) {}

  void registerInstalledGamesDidChangeHandler(AppsHandler handler) override {
    bool first;
    {
      std::lock_guard lock(mutex_);
      first = handlers_.empty();
      handlers_.push_back(std::move(handler));
    }
    if (first && watcher_) watcher_->add(fileNameFor(uid_), shared_from_this());
  }

  void fetchInstalledGames(FetchCompletion completion) override {
    queue_->async([self = shared_from_this(), completion = std::move(completion)] {
      auto snapshot = self->load();
      if (!snapshot) {
        completion(std::nullopt);
        return;
      }
      completion(snapshot->apps);
    });
  }

  void fetchApps(std::vector<std::string> bundleIDs, AppsHandler completion) override {
    queue_->async([self = shared_from_this(), ids = std::move(bundleIDs), completion = std::move(completion)] {
      LXGameLibraryApps matches;
      if (auto snapshot = self->load()) {
        for (const auto& id : ids) {
          auto it = snapshot->index.find(id);
          if (it != snapshot->index.end()) matches.push_back(snapshot->apps[it->second]);
        }
      }
      completion(std::move(matches));
    });
  }

  // Called by the watcher for every event on the file; the reload happens
  // once the burst is over.
  void fileChanged() {
    std::uint64_t generation;
    {
      std::lock_guard lock(mutex_);
      generation = ++changeGeneration_;
    }
    queue_->asyncAfter(kChangeDebounce, [weak = weak_from_this(), generation] {
      auto self = weak.lock();
      if (!self) return;
      std::vector<AppsHandler> handlers;
      {
        std::lock_guard lock(self->mutex_);
        if (generation != self->changeGeneration_) return;
        handlers = self->handlers_;
      }
      auto snapshot = self->load();
      if (!snapshot) return;  // unreadable: no news rather than "no games"
      for (const auto& handler : handlers) handler(snapshot->apps);
    });
  }

 private:
  struct Snapshot {
    FileVersion version;
    LXGameLibraryApps apps;
    std::unordered_map<std::string, std::size_t> index;
  };

  // The current contents, reread only when the file changed on disk (a query
  // arrives for each launch of an unknown bundle). nullptr when the file
  // cannot be read or is unusable as a whole. Runs on queue_ only.
  std::shared_ptr<const Snapshot> load() {
    FileVersion version;
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
      version = versionOf(st);
    } else if (errno != ENOENT) {
      libraryLog().error("Ludex: cannot read games library {}: {}", path_, std::strerror(errno));
      return nullptr;
    }
    if (snapshot_ && snapshot_->version == version) return snapshot_;
    // Already refused, and not changed since: neither reread nor logged again.
    if (unusable_ && *unusable_ == version) return nullptr;

    auto contents = ludex::readLibraryFile(path_);
    snapshot_.reset();
    unusable_.reset();
    if (!contents) {
      libraryLog().error("Ludex: cannot read games library {}: {}", path_, contents.error().message);
      return nullptr;
    }
    if (contents->malformed) {
      // Unusable is not empty: an empty list would tell the cache that none
      // of the user's applications is a game (a file cut off while written,
      // say), so there is no answer until the file is fixed.
      libraryLog().error("Ludex: games library {} is unusable ({})", path_, *contents->malformed);
      unusable_ = version;
      return nullptr;
    }
    if (contents->skippedEntries > 0) {
      libraryLog().error("Ludex: games library {}: skipped {} malformed entries", path_, contents->skippedEntries);
    }
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->version = version;
    snapshot->apps = std::move(contents->apps);
    for (std::size_t i = 0; i < snapshot->apps.size(); ++i) {
      // The first entry for an identifier wins, as a lookup by identifier would find it.
      snapshot->index.emplace(*snapshot->apps[i].bundleID, i);
    }
    snapshot_ = std::move(snapshot);
    return snapshot_;
  }

  const uid_t uid_;
  const std::string path_;
  const std::shared_ptr<DispatchQueue> queue_;
  const std::shared_ptr<LudexFileLibraryFactory::Watcher> watcher_;

  std::mutex mutex_;
  std::vector<AppsHandler> handlers_;         // GUARDED_BY(mutex_)
  std::uint64_t changeGeneration_ = 0;        // GUARDED_BY(mutex_)
  std::shared_ptr<const Snapshot> snapshot_;  // only on queue_
  std::optional<FileVersion> unusable_;       // only on queue_: the version last refused
};

}  // namespace

void LudexFileLibraryFactory::Watcher::add(const std::string& name, const std::shared_ptr<FileLibrary>& library) {
  std::lock_guard lock(mutex);
  if (stopped) return;
  auto& list = libraries[name];
  std::erase_if(list, [](const std::weak_ptr<FileLibrary>& weak) { return weak.expired(); });
  list.push_back(library);
  if (!started) started = startLocked();
}

bool LudexFileLibraryFactory::Watcher::startLocked() {
  if (!files::makeDirectories(folder, 0755)) {
    libraryLog().error("Ludex: cannot create the games library folder {}: {}", folder, std::strerror(errno));
    scheduleRewatch();
    return false;
  }
  if (!directory) {
    auto created = DirectoryWatcher::create();
    if (!created) {
      libraryLog().error("Ludex: inotify unavailable ({}), games library changes are not watched",
                         std::strerror(created.error()));
      return false;
    }
    directory = std::move(created).value();
  }
  auto added = directory->add(folder,
                              IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                                  IN_MOVE_SELF,
                              [weak = weak_from_this()](const DirectoryWatcher::Event& event) {
                                if (auto self = weak.lock()) self->handle(event);
                              });
  if (!added) {
    libraryLog().error("Ludex: cannot watch the games library folder {}: {}", folder, std::strerror(added.error()));
    scheduleRewatch();
    return false;
  }
  watch = *added;
  return true;
}

void LudexFileLibraryFactory::Watcher::stop() {
  std::unique_ptr<DirectoryWatcher> watcher;
  {
    std::lock_guard lock(mutex);
    stopped = true;
    watcher = std::move(directory);
  }
  // Outside the lock: a delivery under way may be waiting for it.
  watcher.reset();
}

void LudexFileLibraryFactory::Watcher::handle(const DirectoryWatcher::Event& event) {
  if (event.overflowed()) return notifyAll();
  if (event.folderLeft() || event.watchEnded()) {
    {
      std::lock_guard lock(mutex);
      if (!watch) return;  // already replaced
      if (directory) directory->remove(*watch);
      watch.reset();
      started = false;
    }
    libraryLog().error("Ludex: the games library folder {} went away; watching for it again", folder);
    scheduleRewatch();
    return notifyAll();
  }
  if (!event.name.empty()) notify(event.name);
}

void LudexFileLibraryFactory::Watcher::notify(const std::string& name) {
  std::vector<std::shared_ptr<FileLibrary>> targets;
  {
    std::lock_guard lock(mutex);
    auto it = libraries.find(name);
    if (it == libraries.end()) return;
    for (const auto& weak : it->second) {
      if (auto library = weak.lock()) targets.push_back(std::move(library));
    }
  }
  for (const auto& library : targets) library->fileChanged();
}

void LudexFileLibraryFactory::Watcher::notifyAll() {
  std::vector<std::shared_ptr<FileLibrary>> targets;
  {
    std::lock_guard lock(mutex);
    for (const auto& [name, list] : libraries) {
      for (const auto& weak : list) {
        if (auto library = weak.lock()) targets.push_back(std::move(library));
      }
    }
  }
  for (const auto& library : targets) library->fileChanged();
}

void LudexFileLibraryFactory::Watcher::scheduleRewatch() {
  DispatchQueue::global(QoS::Utility)->asyncAfter(kRewatchDelay, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    bool nowWatching = false;
    {
      std::lock_guard lock(self->mutex);
      if (self->stopped || self->started) return;
      self->started = self->startLocked();
      nowWatching = self->started;
    }
    // Files may have appeared while nobody watched.
    if (nowWatching) self->notifyAll();
  });
}

LudexFileLibraryFactory::LudexFileLibraryFactory(std::string folder)
    : folder_(std::move(folder)), watcher_(std::make_shared<Watcher>(folder_)) {}

LudexFileLibraryFactory::~LudexFileLibraryFactory() { watcher_->stop(); }

std::shared_ptr<LudexFileLibraryFactory> LudexFileLibraryFactory::shared() {
  static const std::shared_ptr<LudexFileLibraryFactory> factory =
      std::make_shared<LudexFileLibraryFactory>(ludex::defaultFolder());
  return factory;
}

std::shared_ptr<LXGameLibrary> LudexFileLibraryFactory::libraryForUserIdentifier(uid_t uid) {
  return std::make_shared<FileLibrary>(uid, ludex::libraryPath(folder_, uid), watcher_);
}

namespace ludex {

std::string defaultFolder() { return directories::state() + "/ludex"; }

std::string libraryPath(std::string_view folder, uid_t uid) { return std::string(folder) + "/" + fileNameFor(uid); }

Expected<LibraryContents, LibraryError> readLibraryFile(const std::string& path) {
  LibraryContents contents;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return contents;
    return unexpected(LibraryError{std::strerror(errno)});
  }
  if (!S_ISREG(st.st_mode)) return unexpected(LibraryError{"not a regular file"});

  PropertyListLimits limits;
  limits.maxDepth = 8;
  auto root = PropertyList::readFile(path, limits, kMaxLibraryFileBytes);
  if (!root) {
    const auto& error = root.error();
    if (error.errorNumber == ENOENT) return contents;  // removed since the stat
    if (error.errorNumber != 0) return unexpected(LibraryError{error.message});
    contents.malformed = error.message;
    return contents;
  }
  const Array* entries = root->asArray();
  if (!entries) {
    contents.malformed = fmt::format("root is {}, not an array", root->typeName());
    return contents;
  }
  contents.apps.reserve(entries->size());
  for (const auto& entry : *entries) {
    const Value* bundleID = entry.find("bundleID");
    const Value* isGame = entry.find("isGame");
    if (!bundleID || !bundleID->asString() || bundleID->asString()->empty() || !isGame || !isGame->asBool()) {
      ++contents.skippedEntries;
      continue;
    }
    contents.apps.push_back(LXGameLibraryApp{*bundleID->asString(), *isGame->asBool()});
  }
  return contents;
}

namespace {

Expected<void, LibraryError> writeLibrary(const std::string& folder, uid_t uid, const LXGameLibraryApps& apps) {
  if (!files::makeDirectories(folder, 0755)) {
    return unexpected(LibraryError{fmt::format("cannot create {}: {}", folder, std::strerror(errno))});
  }
  Array entries;
  entries.reserve(apps.size());
  for (const auto& app : apps) {
    if (!app.bundleID) continue;
    entries.push_back(Dictionary{{"bundleID", *app.bundleID}, {"isGame", app.isGame}});
  }
  std::string path = libraryPath(folder, uid);
  auto written = PropertyList::writeFileAtomically(path, Value(std::move(entries)), PropertyListFormat::Xml, 0644);
  if (!written) return unexpected(LibraryError{fmt::format("cannot write {}: {}", path, written.error().message)});
  return {};
}

}  // namespace

Expected<void, LibraryError> setApp(const std::string& folder, uid_t uid, std::string_view bundleID, bool isGame) {
  if (bundleID.empty()) return unexpected(LibraryError{"empty bundle identifier"});
  std::string path = libraryPath(folder, uid);
  auto current = readLibraryFile(path);
  if (!current) return unexpected(LibraryError{fmt::format("cannot read {}: {}", path, current.error().message)});
  LXGameLibraryApps apps;
  bool found = false;
  for (auto& app : current->apps) {
    if (app.bundleID == bundleID) {
      if (found) continue;  // one entry per identifier
      app.isGame = isGame;
      found = true;
    }
    apps.push_back(std::move(app));
  }
  if (!found) apps.push_back(LXGameLibraryApp{std::string(bundleID), isGame});
  return writeLibrary(folder, uid, apps);
}

Expected<void, LibraryError> clearLibrary(const std::string& folder, uid_t uid) {
  return writeLibrary(folder, uid, {});
}

}  // namespace ludex

}  // namespace platform
