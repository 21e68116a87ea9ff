#include "platform/PeerIdentity.h"

#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/PeerInspector.h"

namespace platform {

namespace {
// SO_PEERPIDFD (Linux 6.5); older kernels refuse it and the pid alone is used.
constexpr int kSoPeerPidfd = 77;
}  // namespace

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

  // The pidfd pins the peer process, so that its executable is read for that
  // process and not for a later one that reused the number.
  int pidfd = -1;
  socklen_t pidfdLength = sizeof pidfd;
  if (::getsockopt(fd, SOL_SOCKET, kSoPeerPidfd, &pidfd, &pidfdLength) != 0) pidfd = -1;
  identity.executablePath = peerInspector::executableOf(pidfd, identity.pid);
  if (pidfd >= 0) ::close(pidfd);
  return identity;
}

}  // namespace platform
