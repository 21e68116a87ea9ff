#include "platform/PeerIdentity.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileDescriptor.h"
#include "platform/PeerInspector.h"

namespace platform {

namespace {
// SO_PEERPIDFD (Linux 6.5); older kernels refuse it and the pid alone is used.
constexpr int kSoPeerPidfd = 77;
}  // namespace

PeerIdentity PeerIdentity::credentialsOf(int fd) {
  PeerIdentity identity;
  struct ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials) {
    return identity;
  }
  identity.pid = credentials.pid;
  identity.uid = credentials.uid;
  identity.gid = credentials.gid;
  return identity;
}

void PeerIdentity::identifyExecutable(int fd) {
  executablePath.clear();
  // A peer in another PID namespace shows up as process 0; /proc/0 does not
  // exist, and guessing would hand its entitlements to whoever owns that number.
  if (pid <= 0) return;

  // The pidfd pins the peer process, so that its executable is read for that
  // process and not for a later one that reused the number. Only a kernel
  // without SO_PEERPIDFD makes do with the number; on one that has it, a
  // failure means the peer is gone and its number may already be reused.
  int rawPidfd = -1;
  socklen_t length = sizeof rawPidfd;
  if (::getsockopt(fd, SOL_SOCKET, kSoPeerPidfd, &rawPidfd, &length) != 0) {
    if (errno != ENOPROTOOPT) return;
    rawPidfd = -1;
  }
  FileDescriptor pidfd(rawPidfd);
  auto inspector = PeerInspector::installed();
  auto answer = inspector ? inspector->executableOf(pidfd.get(), pid) : PeerInspector::readExecutable(pidfd.get(), pid);
  if (answer.outcome == PeerInspector::Outcome::identified) executablePath = std::move(answer.executable);
}

}  // namespace platform
