#pragma once

// One notification candidate: a recorded identity (a velmora_unique_table row)
// and the non-platform code it loaded.

#include <cstdint>
#include <string>
#include <vector>

namespace nimbra {

struct VelmoraNotificationInfo {
  std::string bundleID;
  std::string teamID;
  std::string path;
  std::string productKey;
  std::int64_t rid = 0;
  bool isCorvaneSigned = false;
  std::vector<std::string> loadedThirdPartyPaths;

  bool operator==(const VelmoraNotificationInfo&) const = default;
};

}  // namespace nimbra
