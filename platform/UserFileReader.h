#pragma once

// Files read with the rights of a user rather than the daemon's. The daemon
// runs as root, but the paths a launch event names (bundles, Info.plist,
// strings, executables) and, later, those a query's caller names belong to
// users: reading them as root would let a user link their bundle's
// Info.plist to a file only root may read and have its text stored under
// their name.
//
// A path is resolved one component at a time from "/", each looked up with
// openat and never followed by the kernel (O_NOFOLLOW); symbolic links are
// followed here, at most kMaxSymbolicLinks of them per path. Every directory
// on the way, including those a link leads through, needs search permission
// for the user, and a file read needs read permission, both judged from the
// mode bits against the user's uid and groups. A file or directory that
// carries an access control list is judged not readable or searchable: its
// mode bits no longer say who may read it, and refusing is the safe answer.
// User 0 keeps root's rights (no permission or ACL check). Changing the
// thread's file-system uid is no alternative: the shipped unit has no
// CAP_SETUID, so it would fail quietly in production.
//
// Only regular files are opened for reading; a FIFO, socket or device is
// looked at (fstatat) but never opened, so nothing blocks or has side
// effects. The file is opened with O_NONBLOCK and checked to be the inode
// that was looked at. A path that is empty, relative or holds a NUL names
// nothing.
//
// Errors are errno values: ENOENT (nothing there, or an unusable path),
// ENOTDIR, EACCES (no permission, or an ACL), ELOOP (too many links),
// ENAMETOOLONG, EISDIR (a directory where a file is wanted), ENODEV (a FIFO,
// socket or device), or the errno of a failed system call. Callers treat
// every error as "absent": a file the user could not read does not exist
// for them.
//
// A reader remembers the directories it has entered and found searchable,
// for its lifetime and that of its copies, so that the many lookups inside
// one bundle do not walk and check the same ancestors again. Make one per
// event or request, not one per process: a directory whose permissions
// change later is not checked again by a reader that has seen it.
//
// Thread-safe.

#include <sys/stat.h>

#include <cstddef>
#include <memory>
#include <string>

#include "platform/Expected.h"
#include "platform/FileDescriptor.h"
#include "platform/FileProbe.h"
#include "platform/UserIdentity.h"

namespace platform {

class UserFileReader {
 public:
  static constexpr int kMaxSymbolicLinks = 40;

  explicit UserFileReader(UserIdentity identity);

  const UserIdentity& identity() const { return identity_; }

  // The status (fstatat, not following a final link: links are resolved
  // first) of what `path` leads to, when every directory on the way may be
  // searched by the user. Nothing is asked of the object itself: this is
  // "does it exist for the user", not "may they read it".
  Expected<struct stat, int> status(const std::string& path) const;

  struct OpenFile {
    FileDescriptor fd;   // open read-only, non-blocking, positioned at 0
    struct stat status;  // of `fd`
  };
  // The regular file at `path`, opened for reading, when the user may read
  // it. Its size is not bounded here: executables are inspected by their
  // headers only.
  Expected<OpenFile, int> open(const std::string& path) const;

  // The whole content of the file open() gives, at most `maxBytes` (a
  // larger file is refused without being read); errors as files::read, with
  // the errno of open() for a file the user may not read.
  Expected<std::string, files::ReadError> read(const std::string& path, std::size_t maxBytes) const;

  // The directory at `path` opened for listing (O_RDONLY | O_DIRECTORY),
  // when the user may read and search it.
  Expected<FileDescriptor, int> openDirectory(const std::string& path) const;

 private:
  struct Final;
  struct Directories;
  Expected<Final, int> resolve(const std::string& path) const;

  UserIdentity identity_;
  std::shared_ptr<Directories> directories_;  // shared by copies
};

}  // namespace platform
