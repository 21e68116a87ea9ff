#include "platform/PeerIdentity.h"

#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace platform {

PeerIdentity PeerIdentity::ofSocket(int fd) {
  PeerIdentity identity;
  struct ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials) {
    return identity;
  }
  identity.pid = credentials.pid;
  identity.uid = credentials.uid;
  identity.gid = credentials.gid;
  // A peer in another PID namespace shows up as process 0; /proc/0 does not
  // exist, and guessing would hand its entitlements to whoever owns that number.
  if (identity.pid <= 0) return identity;

  std::string link = "/proc/" + std::to_string(identity.pid) + "/exe";
  char buffer[4096];
  ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  // A full buffer may be a truncated path: treat it as unreadable.
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return identity;
  std::string path(buffer, static_cast<std::size_t>(n));
  // The kernel marks an executable that was replaced or removed since the
  // process started; that file is no longer the one the registry names.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() >= kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    return identity;
  }
  if (path.empty() || path.front() != '/') return identity;
  identity.executablePath = std::move(path);
  return identity;
}

}  // namespace platform
