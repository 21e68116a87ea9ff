#include "platform/ParsedFileCache.h"

#include <sys/stat.h>

namespace platform {

std::optional<FileVersion> FileVersion::ofRegularFile(const std::string& path) {
  auto version = of(path);
  if (!version || !version->isRegularFile()) return std::nullopt;
  return version;
}

bool FileVersion::isRegularFile() const { return S_ISREG(mode); }

std::optional<FileVersion> FileVersion::of(const std::string& path) {
  struct stat st{};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return of(st);
}

std::optional<FileVersion> FileVersion::ofOpenFile(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return of(st);
}

FileVersion FileVersion::of(const struct stat& st) {
  FileVersion version;
  version.mode = st.st_mode;
  version.device = st.st_dev;
  version.inode = st.st_ino;
  version.size = st.st_size;
  version.modified = std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  version.changed = std::int64_t(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
  return version;
}

}  // namespace platform
