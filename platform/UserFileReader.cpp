#include "platform/UserFileReader.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string_view>
#include <unordered_map>
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

// The components of `text` in order; a trailing "/" asks for a directory
// and becomes a final ".".
std::vector<std::string> componentsOf(std::string_view text) {
  std::vector<std::string> components;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t slash = text.find('/', start);
    std::size_t end = slash == std::string_view::npos ? text.size() : slash;
    if (end > start) components.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (!components.empty() && text.back() == '/') components.emplace_back(".");
  return components;
}

using SharedDescriptor = std::shared_ptr<const FileDescriptor>;

// Directories this many are remembered at most; a reader lives for one event.
constexpr std::size_t kMaxRememberedDirectories = 256;

}  // namespace

// Directories entered and found searchable, by their path from "/" as
// reached: only real directories are descended into, so that path names the
// same directory when it is met again as a prefix.
struct UserFileReader::Directories {
  std::mutex mutex;
  std::unordered_map<std::string, SharedDescriptor> byPath;  // GUARDED_BY(mutex)

  SharedDescriptor find(const std::string& path) {
    std::lock_guard lock(mutex);
    auto it = byPath.find(path);
    return it == byPath.end() ? nullptr : it->second;
  }
  void remember(const std::string& path, SharedDescriptor directory) {
    std::lock_guard lock(mutex);
    if (byPath.size() >= kMaxRememberedDirectories) byPath.clear();
    byPath.emplace(path, std::move(directory));
  }
};

struct UserFileReader::Final {
  SharedDescriptor parent;  // the directory holding `name`, searchable by the user
  std::string name;         // never a symbolic link; "." for the directory itself
  struct stat status {};    // of `name`, not following it
};

UserFileReader::UserFileReader(UserIdentity identity)
    : identity_(std::move(identity)), directories_(std::make_shared<Directories>()) {}

Expected<UserFileReader::Final, int> UserFileReader::resolve(const std::string& path) const {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return unexpected(ENOENT);
  if (path.size() >= PATH_MAX) return unexpected(ENAMETOOLONG);

  auto openRoot = [this]() -> Expected<SharedDescriptor, int> {
    if (auto known = directories_->find("/")) return known;
    auto root = std::make_shared<FileDescriptor>(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st{};
    if (root->get() < 0 || ::fstat(root->get(), &st) != 0) return unexpected(errno);
    if (!mayUse(root->get(), st, identity_, kSearch)) return unexpected(EACCES);
    directories_->remember("/", root);
    return SharedDescriptor(std::move(root));
  };

  // Start below the longest prefix of plain names already entered.
  std::vector<std::string> components = componentsOf(path);
  SharedDescriptor directory;
  std::string reached = "/";  // the path of `directory` as reached from "/"
  std::size_t next = 0;
  std::vector<std::string> prefixes;  // of the leading plain names, the final component excluded
  std::string prefix;
  for (std::size_t i = 0; i + 1 < components.size() && components[i] != "." && components[i] != ".."; ++i) {
    prefix += '/';
    prefix += components[i];
    prefixes.push_back(prefix);
  }
  for (std::size_t k = prefixes.size(); k > 0; --k) {
    if ((directory = directories_->find(prefixes[k - 1]))) {
      reached = std::move(prefixes[k - 1]);
      next = k;
      break;
    }
  }
  if (!directory) {
    auto root = openRoot();
    if (!root) return unexpected(root.error());
    directory = std::move(root).value();
  }
  // Components still to walk, the next one at the back.
  std::vector<std::string> pending(std::make_move_iterator(components.rbegin()),
                                   std::make_move_iterator(components.rend() - static_cast<std::ptrdiff_t>(next)));

  int links = 0;
  for (;;) {
    if (pending.empty()) {
      Final final{std::move(directory), ".", {}};
      if (::fstat(final.parent->get(), &final.status) != 0) return unexpected(errno);
      return final;
    }
    std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == "." && !pending.empty()) continue;

    if (!pending.empty()) {
      // The common case first: a directory, opened without following a link
      // (O_DIRECTORY refuses any other kind before opening it).
      auto entered = std::make_shared<FileDescriptor>(
          ::openat(directory->get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (entered->get() >= 0) {
        struct stat st{};
        if (::fstat(entered->get(), &st) != 0) return unexpected(errno);
        if (!mayUse(entered->get(), st, identity_, kSearch)) return unexpected(EACCES);
        if (name == "..") {
          reached.resize(std::max<std::size_t>(reached.rfind('/'), 1));
        } else {
          if (reached.size() > 1) reached += '/';
          reached += name;
        }
        directories_->remember(reached, entered);
        directory = std::move(entered);
        continue;
      }
      if (errno != ELOOP && errno != ENOTDIR) return unexpected(errno);
    }

    struct stat st{};
    if (::fstatat(directory->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return unexpected(errno);
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxSymbolicLinks) return unexpected(ELOOP);
      char target[PATH_MAX];
      const ssize_t length = ::readlinkat(directory->get(), name.c_str(), target, sizeof target);
      if (length < 0) return unexpected(errno);
      if (length == 0) return unexpected(ENOENT);
      if (static_cast<std::size_t>(length) == sizeof target) return unexpected(ENAMETOOLONG);
      const std::string_view text(target, static_cast<std::size_t>(length));
      if (text.find('\0') != std::string_view::npos) return unexpected(ENOENT);
      if (text.front() == '/') {
        auto root = openRoot();
        if (!root) return unexpected(root.error());
        directory = std::move(root).value();
        reached.assign(1, '/');
      }
      std::vector<std::string> linked = componentsOf(text);
      pending.insert(pending.end(), std::make_move_iterator(linked.rbegin()), std::make_move_iterator(linked.rend()));
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
  OpenFile file{FileDescriptor(::openat(final->parent->get(), final->name.c_str(),
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
  return files::readDescriptor(file->fd.get(), maxBytes);
}

Expected<FileDescriptor, int> UserFileReader::openDirectory(const std::string& path) const {
  auto final = resolve(path);
  if (!final) return unexpected(final.error());
  if (!S_ISDIR(final->status.st_mode)) return unexpected(ENOTDIR);
  FileDescriptor directory(
      ::openat(final->parent->get(), final->name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st{};
  if (directory.get() < 0 || ::fstat(directory.get(), &st) != 0) return unexpected(errno);
  if (!mayUse(directory.get(), st, identity_, kRead | kSearch)) return unexpected(EACCES);
  return directory;
}

}  // namespace platform
