#pragma once

// Where the daemon keeps its files, from the systemd directory variables
// (CONFIGURATION_DIRECTORY, STATE_DIRECTORY, RUNTIME_DIRECTORY,
// CACHE_DIRECTORY). systemd may pass several colon-separated directories; the
// first is used. Each is read from the environment on every call.

#include <optional>
#include <string>
#include <string_view>

namespace platform::directories {

std::string configuration();  // default /etc/nimbrad
std::string state();          // default /var/lib/nimbrad
std::string runtime();        // default /run/nimbrad
std::string cache();          // default /var/cache/nimbrad

// The container of application group `group`: state() + "/" + group. Does
// not create it. nullopt for a group name that could escape the state
// directory (empty, ".", "..", or containing "/").
std::optional<std::string> groupContainer(std::string_view group);

// The framework bundle's resources: <exe dir>/../share/nimbra/Resources when
// installed, the source tree's resources/ when run from a build tree, else the
// compiled-in install path.
std::string resources();

// Absolute path of the running executable, or empty when it cannot be read.
std::string executablePath();

}  // namespace platform::directories
