#include "platform/UserIdentity.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

namespace {

// Membership in more groups than this is not looked up further; the
// kernel's own limit is 65536.
constexpr int kMaxGroups = 65536;

}  // namespace

UserIdentity UserIdentity::root() { return UserIdentity{0, {0}}; }

UserIdentity UserIdentity::ofUser(uid_t uid) {
  UserIdentity identity{uid, {}};
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) return identity;

  int count = 32;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
    // `count` now holds the number needed.
    if (count <= static_cast<int>(groups.size()) || count > kMaxGroups) {
      // Cannot be listed: the primary group alone.
      groups.assign(1, found->pw_gid);
      count = 1;
      break;
    }
    groups.resize(static_cast<std::size_t>(count));
  }
  groups.resize(static_cast<std::size_t>(count));
  std::sort(groups.begin(), groups.end());
  groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
  identity.groups = std::move(groups);
  return identity;
}

bool UserIdentity::inGroup(gid_t gid) const { return std::binary_search(groups.begin(), groups.end(), gid); }

}  // namespace platform
