#pragma once

// Existence, kind and bounded reading of files whose paths come from outside
// (launch events, bundles on disk). Such a path may name a FIFO, a device, a
// symbolic-link loop or something that vanishes between two calls: nothing
// here blocks on it, follows it forever or reads without a bound.

#include <cstddef>
#include <optional>
#include <string>

#include "platform/Expected.h"

namespace platform::files {

// True when something exists at `path` (following symbolic links). A dangling
// link or a link loop (ELOOP) does not exist.
bool exists(const std::string& path);

// True when `path` (following symbolic links) is a directory.
bool isDirectory(const std::string& path);

// True when `path` (following symbolic links) is a regular file.
bool isRegularFile(const std::string& path);

struct ReadError {
  int errorNumber = 0;  // errno of the failing call; 0 for "not a regular file" and "too large"
  std::string message;  // "cannot open: <reason>", "not a regular file", "file is larger than N bytes", ...
};

// The whole content of the regular file at `path`, read with a bound: on
// failure says why (cannot be opened or read, not a regular file, larger
// than `maxBytes` before or while it is read). Opened with O_NONBLOCK so
// that a FIFO never blocks.
Expected<std::string, ReadError> read(const std::string& path, std::size_t maxBytes);

// The whole content of the open file `fd`, read from its current position
// with the same bound and checks as read(). Does not close `fd`.
Expected<std::string, ReadError> readDescriptor(int fd, std::size_t maxBytes);

// Creates `path` and its missing parents with `mode`; true when `path` is a
// directory afterwards.
bool makeDirectories(const std::string& path, unsigned mode);

// read() without the reason.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes);

}  // namespace platform::files
