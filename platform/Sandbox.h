#pragma once

// The process sandbox, realised with Landlock, and the per-identifier user
// directories. The named profile is resources/sandbox/<identifier>.plist:
//   {"read": [paths...], "write": [paths...]}
// with ${HOME}, ${TMPDIR}, ${DARWIN_CACHE_DIR}, ${STATE_DIRECTORY},
// ${RUNTIME_DIRECTORY}, ${CACHE_DIRECTORY}, ${CONFIGURATION_DIRECTORY} and
// ${RESOURCES} substituted. "read" grants reading files and listing
// directories beneath a path; "write" grants everything beneath it. Paths that
// do not exist are skipped.

#include <optional>
#include <string>

namespace platform::sandbox {

// _set_user_dir_suffix: makes `identifier` the suffix of the per-user
// temporary directory (/tmp/<identifier>, mode 0700) and cache directory
// ($CACHE_DIRECTORY/<identifier>), creating them on first use. Fails when an
// existing one is not a directory owned by the process's user.
bool setUserDirSuffix(const std::string& identifier);

// confstr(_CS_DARWIN_USER_TEMP_DIR) / (_CS_DARWIN_USER_CACHE_DIR): the
// directories with a trailing "/", or nullopt before setUserDirSuffix.
std::optional<std::string> userTempDirectory();
std::optional<std::string> userCacheDirectory();

// The home directory of the process's user (getpwuid), or nullopt.
std::optional<std::string> homeDirectory();

// realpath(3), or nullopt.
std::optional<std::string> realPath(const std::string& path);

constexpr unsigned long long kSandboxNamed = 1;

// sandbox_init_with_parameters: `parameters` is key, value, key, value, ...
// ended by nullptr. Returns 0 on success. On failure returns -1 and, when it
// has one, stores a message in *errorbuf (free it with freeError). A kernel
// without Landlock is logged at error level and counts as success (the
// process runs unsandboxed).
int initWithParameters(const char* profile, unsigned long long flags, const char* const parameters[], char** errorbuf);
void freeError(char* errorbuf);

}  // namespace platform::sandbox
