#include "platform/FileProbe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform::files {

namespace {

bool statMode(const std::string& path, mode_t& mode) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return false;
  mode = st.st_mode;
  return true;
}

// Closes the descriptor on every path out of readRegularFile.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

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

std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) {
  if (path.empty()) return std::nullopt;
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return std::nullopt;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxBytes) return std::nullopt;

  // The file may grow or shrink while it is read: read at most what fits
  // under the bound and stop at end of file.
  std::string content;
  content.resize(static_cast<std::size_t>(st.st_size));
  std::size_t filled = 0;
  while (filled < content.size()) {
    ssize_t n = ::read(fd.get(), content.data() + filled, content.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  content.resize(filled);
  return content;
}

}  // namespace platform::files
