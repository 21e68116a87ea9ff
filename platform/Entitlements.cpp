#include "platform/Entitlements.h"

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Directories.h"
#include "platform/FileDescriptor.h"
#include "platform/FileProbe.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

namespace platform {

namespace {

// Entries are a few lines each; anything larger is not an entry.
constexpr std::size_t kMaxEntryBytes = 1024 * 1024;
// Whatever may change what the registry says: entries added, removed,
// renamed, rewritten, or given another owner or mode; and the directory
// itself going away.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

const Logger& log() {
  static const Logger logger("com.corvane.nimbrad", "EntitlementRegistry");
  return logger;
}

std::optional<std::string> resolvedPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

EntitlementRegistry::EntitlementRegistry(std::string directory)
    : directory_(directory.empty() ? directories::configuration() + "/entitlements.d" : std::move(directory)) {}

bool EntitlementRegistry::canIdentify(const PeerIdentity& peer) const {
  return peer.pid > 0 && !peer.executablePath.empty();
}

Expected<EntitlementRegistry::Entry, std::string> EntitlementRegistry::readEntry(int directory,
                                                                                  const std::string& name) {
  // Opened without following a symbolic link, and checked on the open file,
  // so that what is checked is what is read.
  FileDescriptor fd(::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    if (errno == ELOOP) return unexpected(std::string("a symbolic link, not a regular file"));
    return unexpected(fmt::format("cannot open: {}", std::strerror(errno)));
  }
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return unexpected(fmt::format("cannot stat: {}", std::strerror(errno)));
  if (!S_ISREG(st.st_mode)) return unexpected(std::string("not a regular file"));
  // Anyone who may write an entry may grant themselves anything.
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    return unexpected(fmt::format("owned by uid {}, not by root", st.st_uid));
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return unexpected(fmt::format("writable by group or others (mode {:04o})", st.st_mode & 07777));
  }
  auto content = files::readDescriptor(fd.get(), kMaxEntryBytes);
  if (!content) return unexpected(content.error().message);
  auto root = PropertyList::decode(*content);
  if (!root) return unexpected(root.error().message);
  if (root->asDictionary() == nullptr) {
    return unexpected(fmt::format("the root is a {}, not a dictionary", root->typeName()));
  }

  Entry entry;
  entry.file = name;
  const Value* executable = root->find("Executable");
  const std::string* executablePath = executable ? executable->asString() : nullptr;
  if (executablePath == nullptr || executablePath->empty() || executablePath->front() != '/') {
    return unexpected(std::string("\"Executable\" is not an absolute path"));
  }
  entry.executable = *executablePath;
  entry.canonical = resolvedPath(entry.executable) == entry.executable;

  // "Users" restricts an entry; a malformed restriction must not widen it.
  if (const Value* users = root->find("Users")) {
    const Array* list = users->asArray();
    if (list == nullptr) return unexpected(std::string("\"Users\" is not an array of user ids"));
    entry.users.emplace();
    for (const Value& user : *list) {
      const std::int64_t* id = user.asInteger();
      if (id == nullptr) return unexpected(std::string("\"Users\" is not an array of user ids"));
      entry.users->push_back(*id);
    }
  }
  const Value* entitlements = root->find("Entitlements");
  const Dictionary* granted = entitlements ? entitlements->asDictionary() : nullptr;
  if (granted == nullptr) return unexpected(std::string("\"Entitlements\" is not a dictionary"));
  entry.entitlements = *granted;
  return entry;
}

std::shared_ptr<const EntitlementRegistry::Snapshot> EntitlementRegistry::load() const {
  auto snapshot = std::make_shared<Snapshot>();
  FileDescriptor directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* listing = directory ? ::fdopendir(::dup(directory.get())) : nullptr;
  if (listing == nullptr) {
    snapshot->error = fmt::format("cannot read the entitlement registry {}: {}", directory_, std::strerror(errno));
    reported_.clear();
    return snapshot;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(listing)) {
    std::string_view name = entry->d_name;
    if (name.front() == '.' || !endsWith(name, ".plist")) continue;
    names.emplace_back(name);
  }
  ::closedir(listing);
  // A fixed order makes every lookup, and every conflict report, reproducible.
  std::sort(names.begin(), names.end());

  std::set<std::string> problems;
  for (const auto& name : names) {
    auto entry = readEntry(directory.get(), name);
    if (entry) {
      snapshot->entries.push_back(std::move(entry).value());
      continue;
    }
    std::string path = directory_ + "/" + name;
    // Told once, not again on every reload while the file stays as it is.
    if (problems.insert(path + "\n" + entry.error()).second && reported_.count(path + "\n" + entry.error()) == 0) {
      log().error("entitlement registry: skipping {}: {}", path, entry.error());
    }
  }
  reported_ = std::move(problems);
  return snapshot;
}

std::shared_ptr<const EntitlementRegistry::Snapshot> EntitlementRegistry::current() const {
  std::lock_guard lock(mutex_);
  bool reload = !loaded_;
  if (!watcher_) {
    if (auto created = DirectoryWatcher::create()) watcher_ = std::move(created).value();
  }
  if (watcher_) {
    // Changes made before this lookup are all queued by now: they count.
    watcher_->drain();
    if (changed_.exchange(false)) reload = true;
    // The directory went away or elsewhere: watch whatever is there next.
    if (watchLost_.exchange(false) && watch_) {
      watcher_->remove(*watch_);
      watch_.reset();
    }
  }
  // The watch comes before the reading, so that no change slips in between.
  // Without one (no directory yet, no inotify) every lookup reads afresh.
  if (!watch_) {
    if (watcher_) {
      auto added = watcher_->add(directory_, kWatchMask, [this](const DirectoryWatcher::Event& event) {
        // Only flags: the lookup that drains holds mutex_.
        changed_ = true;
        if (event.folderLeft() || event.watchEnded()) watchLost_ = true;
      });
      if (added) watch_ = *added;
    }
    reload = true;
  }
  if (reload) loaded_ = load();
  return loaded_;
}

EntitlementLookup EntitlementRegistry::copyValue(const PeerIdentity& peer, std::string_view name) const {
  EntitlementLookup lookup;
  if (!canIdentify(peer)) return lookup;
  auto snapshot = current();
  if (snapshot->error) {
    lookup.error = *snapshot->error;
    return lookup;
  }

  std::optional<Value> granted;
  const Entry* grantedBy = nullptr;
  for (const auto& entry : snapshot->entries) {
    // An entry for a program that is not installed is normal, not an error.
    bool matches = entry.canonical ? entry.executable == peer.executablePath
                                   : resolvedPath(entry.executable) == peer.executablePath;
    if (!matches) continue;
    if (entry.users && std::find(entry.users->begin(), entry.users->end(), static_cast<std::int64_t>(peer.uid)) ==
                           entry.users->end()) {
      continue;
    }
    auto value = entry.entitlements.find(std::string(name));
    if (value == entry.entitlements.end()) continue;
    if (!grantedBy) {
      granted = value->second;
      grantedBy = &entry;
    } else if (!(*granted == value->second)) {
      // Two entries disagree; choosing either would depend on file names.
      lookup.error = fmt::format("{}/{} and {}/{} give different values for {}", directory_, grantedBy->file,
                                 directory_, entry.file, name);
      return lookup;
    }
  }
  lookup.value = std::move(granted);
  return lookup;
}

}  // namespace platform
