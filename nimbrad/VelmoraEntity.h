#pragma once

// One of the three executables of a launch event (process, target,
// responsible), as far as the sender could describe it.

#include <string>

namespace nimbra {

struct VelmoraEntity {
  std::string name;
  std::string path;
  std::string bundleID;
  std::string teamID;
  std::string developerName;
  std::string bundleVersion;

  bool operator==(const VelmoraEntity&) const = default;
};

}  // namespace nimbra
