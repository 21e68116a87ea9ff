#include "platform/Entitlements.h"

#include <dirent.h>
#include <fmt/format.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Directories.h"
#include "platform/PropertyList.h"

namespace platform {

namespace {

// Entries are a few lines each; anything larger is not an entry.
constexpr std::size_t kMaxEntryBytes = 1024 * 1024;

std::optional<std::string> resolvedPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// "Users" restricts an entry; a malformed restriction must not widen it, so
// anything but an array of integers grants nothing.
bool usersAdmit(const Value* users, uid_t uid, bool& malformed) {
  malformed = false;
  if (users == nullptr) return true;
  const Array* list = users->asArray();
  if (list == nullptr) {
    malformed = true;
    return false;
  }
  bool admitted = false;
  for (const Value& user : *list) {
    const std::int64_t* id = user.asInteger();
    if (id == nullptr) {
      malformed = true;
      return false;
    }
    if (*id == static_cast<std::int64_t>(uid)) admitted = true;
  }
  return admitted;
}

}  // namespace

EntitlementRegistry::EntitlementRegistry(std::string directory)
    : directory_(directory.empty() ? directories::configuration() + "/entitlements.d" : std::move(directory)) {}

bool EntitlementRegistry::canIdentify(const PeerIdentity& peer) const {
  return peer.pid > 0 && !peer.executablePath.empty();
}

EntitlementLookup EntitlementRegistry::copyValue(const PeerIdentity& peer, std::string_view name) const {
  EntitlementLookup lookup;
  if (!canIdentify(peer)) return lookup;

  std::vector<std::string> problems;
  struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, DirCloser> dir(::opendir(directory_.c_str()));
  if (!dir) {
    lookup.error = fmt::format("cannot read the entitlement registry {}: {}", directory_, std::strerror(errno));
    return lookup;
  }
  std::vector<std::string> files;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string_view fileName = entry->d_name;
    if (fileName.front() == '.' || !endsWith(fileName, ".plist")) continue;
    files.emplace_back(fileName);
  }
  dir.reset();
  // A fixed order makes every lookup, and every conflict report, reproducible.
  std::sort(files.begin(), files.end());

  std::string peerExecutable = resolvedPath(peer.executablePath).value_or(peer.executablePath);
  std::optional<Value> granted;
  std::string grantedBy;
  bool conflict = false;

  for (const auto& fileName : files) {
    std::string path = directory_ + "/" + fileName;
    auto root = PropertyList::readFile(path, {}, kMaxEntryBytes);
    if (!root) {
      problems.push_back(fmt::format("{}: {}", path, root.error().message));
      continue;
    }
    const Dictionary* entry = root->asDictionary();
    if (entry == nullptr) {
      problems.push_back(fmt::format("{}: the root is a {}, not a dictionary", path, root->typeName()));
      continue;
    }
    const Value* executable = root->find("Executable");
    const std::string* executablePath = executable ? executable->asString() : nullptr;
    if (executablePath == nullptr || executablePath->empty() || executablePath->front() != '/') {
      problems.push_back(fmt::format("{}: \"Executable\" is not an absolute path", path));
      continue;
    }
    // An entry for a program that is not installed is normal, not an error.
    auto resolved = resolvedPath(*executablePath);
    if (!resolved || *resolved != peerExecutable) continue;

    bool malformedUsers = false;
    if (!usersAdmit(root->find("Users"), peer.uid, malformedUsers)) {
      if (malformedUsers) problems.push_back(fmt::format("{}: \"Users\" is not an array of user ids", path));
      continue;
    }
    const Value* entitlements = root->find("Entitlements");
    if (entitlements == nullptr || entitlements->asDictionary() == nullptr) continue;
    const Value* value = entitlements->find(name);
    if (value == nullptr) continue;
    if (!granted) {
      granted = *value;
      grantedBy = path;
    } else if (!(*granted == *value)) {
      // Two entries disagree; choosing either would depend on file names.
      conflict = true;
      problems.push_back(fmt::format("{} and {} give different values for {}", grantedBy, path, name));
    }
  }

  if (!conflict) lookup.value = std::move(granted);
  if (!problems.empty()) {
    std::string joined;
    for (const auto& problem : problems) {
      if (!joined.empty()) joined += "; ";
      joined += problem;
    }
    lookup.error = std::move(joined);
  }
  return lookup;
}

}  // namespace platform
