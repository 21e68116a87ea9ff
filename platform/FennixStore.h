#pragma once

// The on-disk store that stands in for the rollout framework (Fennix).
//
// Layout under the store directory (normally $STATE_DIRECTORY/fennix):
//   <NAMESPACE>/levels.plist      {"<factor>": {"file": "<path>"}, ...}
//                                 relative paths resolve in the namespace folder
//   <NAMESPACE>/deployment.plist  {"rolloutId", "deploymentId" (integer), "factorPackId"}
//                                 or {"experimentId", "deploymentId", "treatmentId"};
//                                 absent: the namespace has default factors
//   <NAMESPACE>/<factor>-<16 hex digits>.plist   content files written by install()
//
// Reading never fails: whatever is malformed (not a property list, wrong
// types, a deploymentId that is not a 32-bit integer) reads as "no level" or
// "no identifiers". Writing replaces each file through a temporary file and a
// rename, and content files get a fresh name, so a reader never sees a
// half-written file. All operations are safe from any thread; they keep no
// state beyond the directory path.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/Expected.h"

namespace platform {

struct FennixFileValue {
  // Absolute path of the level's file; nullopt when the level names no usable path.
  std::optional<std::string> path;
};

struct FennixLevel {
  std::optional<FennixFileValue> fileValue;
};

struct FennixRolloutIdentifiers {
  std::string rolloutId;
  std::int32_t deploymentId = 0;
  std::string factorPackId;
  bool operator==(const FennixRolloutIdentifiers&) const = default;
};

struct FennixExperimentIdentifiers {
  std::string experimentId;
  std::int32_t deploymentId = 0;
  std::string treatmentId;
  bool operator==(const FennixExperimentIdentifiers&) const = default;
};

// What one namespace folder holds at the moment it was read.
struct FennixNamespaceSnapshot {
  std::map<std::string, FennixLevel, std::less<>> levels;
  std::optional<FennixRolloutIdentifiers> rollout;
  std::optional<FennixExperimentIdentifiers> experiment;
};

// The deployment to record with an install; std::monostate: default factors.
using FennixDeployment = std::variant<std::monostate, FennixRolloutIdentifiers, FennixExperimentIdentifiers>;

class FennixStore {
 public:
  explicit FennixStore(std::string directory);

  // directories::state() + "/fennix".
  static std::string defaultDirectory();

  const std::string& directory() const { return directory_; }

  // Namespace and factor names: 1 to 128 characters of [A-Za-z0-9_.-], not
  // starting with ".". Anything else could escape the store or collide with
  // its temporary files.
  static bool isValidName(std::string_view name);

  // directory() + "/" + name; nullopt for an invalid name.
  std::optional<std::string> namespaceDirectory(std::string_view namespaceName) const;

  // Reads one namespace folder. A missing folder or file reads as empty.
  FennixNamespaceSnapshot read(std::string_view namespaceName) const;

  // Copies `sourceFile` into the namespace folder under a new name, points
  // `factor` at it in levels.plist (other factors are kept) and writes or
  // removes deployment.plist. The content is copied as it is, unchecked: the
  // daemon decides whether it is usable. Content files of this factor older
  // than the previous one are removed. Returns the installed file's path, or
  // an error saying what failed and on which path.
  Expected<std::string, std::string> install(std::string_view namespaceName, std::string_view factor,
                                             const std::string& sourceFile, const FennixDeployment& deployment) const;

  // Empties the namespace folder, levels.plist first so that a concurrent
  // reader sees "no level" rather than a level whose file has gone. The
  // folder itself stays, so that watches on it keep working.
  Expected<void, std::string> clear(std::string_view namespaceName) const;

 private:
  std::string directory_;
};

}  // namespace platform
