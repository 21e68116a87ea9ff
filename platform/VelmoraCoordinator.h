#pragma once

// Fills in what the sender of a launch event could not determine, from the
// bundles on disk: for the process, the target and the responsible process,
// the identifier ("CFBundleIdentifier") and version
// ("CFBundleShortVersionString", else "CFBundleVersion") of the innermost
// bundle that contains its path. Team identifiers and developer names come
// from code signatures, which Linux executables do not carry: those keys are
// always left out, as is any value that cannot be determined.
//
// Bundles are read with the rights of the launch's user (UserFileReader),
// through a small process-wide cache that is checked against the Info.plist
// on disk on every use, so a launch storm of the same application does not
// decode the same file again and again, and an updated application is seen
// at once. The cache is consulted only after the user's reader has opened
// the Info.plist, so facts never reach a user who could not read them.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "platform/UserFileReader.h"
#include "platform/Value.h"

namespace platform {

// What the launch pipeline relies on: an analysis giving a map from the
// launch event keys ("ProcessBundleIdentifier", "TargetBundleVersion", ...) to
// strings, or nothing.
class VelmoraCoordinating {
 public:
  virtual ~VelmoraCoordinating() = default;
  // nullopt when nothing could be determined. Any thread.
  virtual std::optional<Dictionary> analyze() = 0;
};

class VelmoraCoordinator final : public VelmoraCoordinating {
 public:
  // The names are accepted for the analysis' shape; only the paths are
  // inspected, with `files`' rights. This coordinator sends no events of its
  // own; with `logAnalysis` it logs what it found at debug level.
  VelmoraCoordinator(std::string processName, std::string processPath, std::string targetPath,
                     std::string responsibleName, std::string responsiblePath, UserFileReader files,
                     bool logAnalysis = false);

  std::optional<Dictionary> analyze() override;

  // The innermost bundle directory on `path` (the path itself when it is
  // one), or nullopt when no component has a bundle extension. Lexical: the
  // disk is not read.
  static std::optional<std::string> containingBundle(const std::string& path);

  struct BundleFacts {
    std::optional<std::string> identifier;
    std::optional<std::string> version;
  };
  // Identifier and version of the bundle containing `path`; both absent when
  // there is no such bundle or its information cannot be read with `files`'
  // rights. Thread-safe.
  static BundleFacts factsForPath(const std::string& path, const UserFileReader& files);

  // Entries kept in the process-wide bundle cache, and how many it holds now.
  static constexpr std::size_t kCacheCapacity = 512;
  static std::size_t cachedBundleCount();

 private:
  std::string processName_;
  std::string processPath_;
  std::string targetPath_;
  std::string responsibleName_;
  std::string responsiblePath_;
  UserFileReader files_;
  bool logAnalysis_;
};

}  // namespace platform
