#include "platform/FileProbe.h"
#include "platform/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::files {

namespace {

bool statMode(const std::string& path, mode_t& mode) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return false;
  mode = st.st_mode;
  return true;
}

}  // namespace

bool exists(const std::string& path) {
  mode_t mode = 0;
  return !path.empty() && statMode(path, mode);
}

bool isDirectory(const std::string& path) {
  mode_t mode = 0;
  return !path.empty() && statMode(path, mode) && S_ISDIR(mode);
}

bool isRegularFile(const std::string& path) {
  mode_t mode = 0;
  return !path.empty() && statMode(path, mode) && S_ISREG(mode);
}

Expected<std::string, ReadError> read(const std::string& path, std::size_t maxBytes) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) {
    const int error = errno;
    return unexpected(ReadError{error, std::string("cannot open: ") + std::strerror(error)});
  }
  return readDescriptor(fd.get(), maxBytes);
}

Expected<std::string, ReadError> readDescriptor(int fd, std::size_t maxBytes) {
  auto failure = [](std::string_view what, int error) {
    return unexpected(ReadError{error, std::string(what) + ": " + std::strerror(error)});
  };
  auto tooLarge = [maxBytes] {
    return unexpected(ReadError{0, "file is larger than " + std::to_string(maxBytes) + " bytes"});
  };
  struct stat st{};
  if (::fstat(fd, &st) != 0) return failure("cannot stat", errno);
  if (!S_ISREG(st.st_mode)) return unexpected(ReadError{0, "not a regular file"});
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxBytes) return tooLarge();
  std::string content(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t filled = 0;
  for (;;) {
    // A file that grew since fstat is read up to the bound plus one byte, to notice it.
    if (filled == content.size()) {
      if (content.size() > maxBytes) return tooLarge();
      content.resize(std::min(maxBytes + 1, std::max<std::size_t>(content.size() * 2, 4096)));
    }
    ssize_t n = ::read(fd, content.data() + filled, content.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return failure("cannot read", errno);
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  content.resize(filled);
  return content;
}

bool makeDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  for (std::size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
    std::string partial = path.substr(0, pos);
    if (::mkdir(partial.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
    if (pos == std::string::npos) break;
  }
  return isDirectory(path);
}

std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) {
  auto content = read(path, maxBytes);
  if (!content) return std::nullopt;
  return std::move(content).value();
}

}  // namespace platform::files
