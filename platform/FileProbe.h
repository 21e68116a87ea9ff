#pragma once

// Existence, kind and bounded reading of files whose paths come from outside
// (launch events, bundles on disk). Such a path may name a FIFO, a device, a
// symbolic-link loop or something that vanishes between two calls: nothing
// here blocks on it, follows it forever or reads without a bound.

#include <cstddef>
#include <optional>
#include <string>

namespace platform::files {

// True when something exists at `path` (following symbolic links). A dangling
// link or a link loop (ELOOP) does not exist.
bool exists(const std::string& path);

// True when `path` (following symbolic links) is a directory.
bool isDirectory(const std::string& path);

// True when `path` (following symbolic links) is a regular file.
bool isRegularFile(const std::string& path);

// The whole content of the regular file at `path`, or nullopt when it cannot
// be opened, is not a regular file, or is larger than `maxBytes` (checked
// before reading). Opened with O_NONBLOCK so that a FIFO never blocks.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes);

}  // namespace platform::files
