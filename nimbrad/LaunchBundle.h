#pragma once

// The bundle that path parsing found for a launch: the innermost bundle
// around the launched executable, read once per launch for the product key
// and the entry's embedded-component flag.

#include <optional>
#include <string>

#include "nimbrad/BundleType.h"
#include "nimbrad/PathParsers.h"
#include "platform/UserFileReader.h"

namespace nimbra {

struct LaunchBundle {
  std::string name;
  std::string path;
  std::string bundleID;
  std::string version;
  std::string teamID;
  std::string developerName;
  BundleType kind = BundleType::other;

  bool operator==(const LaunchBundle&) const = default;

  // The bundle containing `path` (the innermost one), read from disk with
  // `files`' rights; absent when the path is in no bundle that opens. The
  // kind comes from the bundle directory's extension; team identifier and
  // developer name are not recorded in bundles and stay empty.
  static std::optional<LaunchBundle> containing(const std::string& path, const platform::UserFileReader& files,
                                                const PathParsersConfiguration& paths = PathParsersConfiguration::standard());
};

}  // namespace nimbra
