#include "platform/UserFileReader.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <vector>

namespace platform {

namespace {

constexpr unsigned kRead = 4;
constexpr unsigned kSearch = 1;

// What the mode bits grant `who` on a file with status `st`: the owner's
// bits for its owner, the group's for a member of its group, the others'
// otherwise (the first class that applies decides, as in the kernel).
bool permits(const struct stat& st, const UserIdentity& who, unsigned wanted) {
  if (who.isRoot()) return true;
  unsigned granted;
  if (st.st_uid == who.uid) {
    granted = (st.st_mode >> 6) & 7;
  } else if (who.inGroup(st.st_gid)) {
    granted = (st.st_mode >> 3) & 7;
  } else {
    granted = st.st_mode & 7;
  }
  return (granted & wanted) == wanted;
}

// True when `fd` carries a POSIX access control list, or when that cannot
// be told. (NFSv4 ACLs are not looked at: NFS reports one for every file,
// derived from the mode bits.)
bool hasAccessControlList(int fd) {
  if (::fgetxattr(fd, "system.posix_acl_access", nullptr, 0) >= 0) return true;
  return errno != ENODATA && errno != ENOTSUP && errno != EOPNOTSUPP;
}

// `who` may use `fd` (a directory or file with status `st`) for `wanted`.
bool mayUse(int fd, const struct stat& st, const UserIdentity& who, unsigned wanted) {
  if (who.isRoot()) return true;
  return permits(st, who, wanted) && !hasAccessControlList(fd);
}

// Pushes the components of `text` so that the first is taken next (the
// stack's back). A trailing "/" asks for a directory: it becomes a final ".".
void pushComponents(std::vector<std::string>& pending, std::string_view text) {
  std::vector<std::string_view> components;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t slash = text.find('/', start);
    std::size_t end = slash == std::string_view::npos ? text.size() : slash;
    if (end > start) components.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (!components.empty() && text.back() == '/') components.emplace_back(".");
  for (auto it = components.rbegin(); it != components.rend(); ++it) pending.emplace_back(*it);
}

}  // namespace

struct UserFileReader::Final {
  FileDescriptor parent;  // the directory holding `name`, searchable by the user
  std::string name;       // never a symbolic link; "." for the directory itself
  struct stat status {};  // of `name`, not following it
};

Expected<UserFileReader::Final, int> UserFileReader::resolve(const std::string& path) const {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return unexpected(ENOENT);
  if (path.size() >= PATH_MAX) return unexpected(ENAMETOOLONG);

  auto openRoot = [this]() -> Expected<FileDescriptor, int> {
    FileDescriptor root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st{};
    if (root.get() < 0 || ::fstat(root.get(), &st) != 0) return unexpected(errno);
    if (!mayUse(root.get(), st, identity_, kSearch)) return unexpected(EACCES);
    return root;
  };
  auto root = openRoot();
  if (!root) return unexpected(root.error());
  FileDescriptor directory = std::move(root).value();

  std::vector<std::string> pending;
  pushComponents(pending, path);
  int links = 0;
  for (;;) {
    if (pending.empty()) {
      Final final{std::move(directory), ".", {}};
      if (::fstat(final.parent.get(), &final.status) != 0) return unexpected(errno);
      return final;
    }
    std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == "." && !pending.empty()) continue;

    if (!pending.empty()) {
      // The common case first: a directory, opened without following a link
      // (O_DIRECTORY refuses any other kind before opening it).
      FileDescriptor next(::openat(directory.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (next.get() >= 0) {
        struct stat st{};
        if (::fstat(next.get(), &st) != 0) return unexpected(errno);
        if (!mayUse(next.get(), st, identity_, kSearch)) return unexpected(EACCES);
        directory = std::move(next);
        continue;
      }
      if (errno != ELOOP && errno != ENOTDIR) return unexpected(errno);
    }

    struct stat st{};
    if (::fstatat(directory.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return unexpected(errno);
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxSymbolicLinks) return unexpected(ELOOP);
      char target[PATH_MAX];
      const ssize_t length = ::readlinkat(directory.get(), name.c_str(), target, sizeof target);
      if (length < 0) return unexpected(errno);
      if (length == 0) return unexpected(ENOENT);
      if (static_cast<std::size_t>(length) == sizeof target) return unexpected(ENAMETOOLONG);
      const std::string_view text(target, static_cast<std::size_t>(length));
      if (text.find('\0') != std::string_view::npos) return unexpected(ENOENT);
      if (text.front() == '/') {
        auto again = openRoot();
        if (!again) return unexpected(again.error());
        directory = std::move(again).value();
      }
      pushComponents(pending, text);
      continue;
    }
    if (!pending.empty()) return unexpected(ENOTDIR);  // not a directory, not a link
    return Final{std::move(directory), std::move(name), st};
  }
}

Expected<struct stat, int> UserFileReader::status(const std::string& path) const {
  auto final = resolve(path);
  if (!final) return unexpected(final.error());
  return final->status;
}

Expected<UserFileReader::OpenFile, int> UserFileReader::open(const std::string& path) const {
  auto final = resolve(path);
  if (!final) return unexpected(final.error());
  const struct stat& seen = final->status;
  if (S_ISDIR(seen.st_mode)) return unexpected(EISDIR);
  // Special files are never opened: a FIFO could block, a device act.
  if (!S_ISREG(seen.st_mode)) return unexpected(ENODEV);
  if (!permits(seen, identity_, kRead)) return unexpected(EACCES);
  OpenFile file{FileDescriptor(::openat(final->parent.get(), final->name.c_str(),
                                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)),
                {}};
  if (file.fd.get() < 0) return unexpected(errno);
  if (::fstat(file.fd.get(), &file.status) != 0) return unexpected(errno);
  // Replaced since it was looked at: what was judged is not what is open.
  if (!S_ISREG(file.status.st_mode) || file.status.st_dev != seen.st_dev || file.status.st_ino != seen.st_ino) {
    return unexpected(ENOENT);
  }
  if (!mayUse(file.fd.get(), file.status, identity_, kRead)) return unexpected(EACCES);
  return file;
}

Expected<std::string, files::ReadError> UserFileReader::read(const std::string& path, std::size_t maxBytes) const {
  auto file = open(path);
  if (!file) {
    return unexpected(files::ReadError{file.error(), std::string("cannot open: ") + std::strerror(file.error())});
  }
  return files::readOpenFile(file->fd.get(), maxBytes);
}

Expected<FileDescriptor, int> UserFileReader::openDirectory(const std::string& path) const {
  auto final = resolve(path);
  if (!final) return unexpected(final.error());
  if (!S_ISDIR(final->status.st_mode)) return unexpected(ENOTDIR);
  FileDescriptor directory(
      ::openat(final->parent.get(), final->name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st{};
  if (directory.get() < 0 || ::fstat(directory.get(), &st) != 0) return unexpected(errno);
  if (!mayUse(directory.get(), st, identity_, kRead | kSearch)) return unexpected(EACCES);
  return directory;
}

}  // namespace platform
