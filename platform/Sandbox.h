#pragma once

// The process sandbox, realised with Landlock, and the per-identifier user
// directories. The named profile is resources/sandbox/<identifier>.plist:
//   {"read": [paths...], "write": [paths...]}
// with ${HOME}, ${TMPDIR}, ${DARWIN_CACHE_DIR}, ${STATE_DIRECTORY},
// ${RUNTIME_DIRECTORY}, ${CACHE_DIRECTORY}, ${CONFIGURATION_DIRECTORY},
// ${RESOURCES} and ${MEMORY_PRESSURE} (one entry per memory-pressure file the
// process may watch) substituted. "read" grants reading files and listing
// directories beneath a path; "write" grants everything beneath it. Paths that
// do not exist, and entries whose variable has no value, are skipped.

#include <optional>
#include <string>

namespace platform::sandbox {

// _set_user_dir_suffix: makes `identifier` the suffix of the per-user
// temporary directory (/tmp/<identifier>, mode 0700) and cache directory
// ($CACHE_DIRECTORY/<identifier>, mode 0700), creating them on first use.
// Returns false (logged) for an identifier that is not a single path
// component, or when an existing one is not a directory (a symbolic link is
// not followed) owned by the process's effective user. Any thread.
bool setUserDirSuffix(const std::string& identifier);

// confstr(_CS_DARWIN_USER_TEMP_DIR) / (_CS_DARWIN_USER_CACHE_DIR): the
// directories with a trailing "/", created again if they were removed since;
// nullopt before setUserDirSuffix or when the directory cannot be used.
std::optional<std::string> userTempDirectory();
std::optional<std::string> userCacheDirectory();

// The home directory of the process's user (getpwuid), or nullopt.
std::optional<std::string> homeDirectory();

// realpath(3), or nullopt.
std::optional<std::string> realPath(const std::string& path);

constexpr unsigned long long kSandboxNamed = 1;

// sandbox_init_with_parameters: `parameters` is key, value, key, value, ...
// ended by nullptr; each key becomes a ${key} variable of the profile. Returns
// 0 on success; the calling process (which must have a single thread, since
// Landlock restricts only the calling thread) and its future children are then
// confined. On failure returns -1 and, when `errorbuf` is not null, stores a
// message in *errorbuf (free it with freeError). A kernel without Landlock is
// logged at error level and counts as success (the process runs unsandboxed).
int initWithParameters(const char* profile, unsigned long long flags, const char* const parameters[], char** errorbuf);
void freeError(char* errorbuf);

// As initWithParameters with the profile read from `profilePath` instead of
// the resources directory (tests and diagnostics).
int initWithProfileFile(const std::string& profilePath, const char* const parameters[], char** errorbuf);

}  // namespace platform::sandbox
