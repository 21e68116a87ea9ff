#pragma once

// Whose rights a file is read with: a user id and the groups that user is
// in. The daemon runs as root but reads the files that a launch event names
// (or, later, a query's caller) only as far as that user could.

#include <sys/types.h>

#include <vector>

namespace platform {

struct UserIdentity {
  uid_t uid = 0;
  // Every group the user is in, primary group included; sorted.
  std::vector<gid_t> groups;

  // User 0, which keeps root's rights: it reads every file the daemon may.
  static UserIdentity root();

  // `uid` with its groups from the user database (getpwuid_r for the primary
  // group, getgrouplist for the others). A uid without an entry has no
  // groups: it reads its own files and what "other" may read, which is the
  // least a process running as that uid could do. Blocking (the user
  // database may be remote); any thread.
  static UserIdentity ofUser(uid_t uid);

  bool isRoot() const { return uid == 0; }
  bool inGroup(gid_t gid) const;

  bool operator==(const UserIdentity&) const = default;
};

}  // namespace platform
