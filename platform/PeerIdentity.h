#pragma once

// Who is on the other end of a service connection, read once at accept time
// with SO_PEERCRED. This is the platform's audit token.

#include <sys/types.h>

#include <string>

namespace platform {

struct PeerIdentity {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);  // the effective user id of the peer
  gid_t gid = static_cast<gid_t>(-1);
  // Resolved /proc/<pid>/exe at accept time; empty when it could not be read
  // (a peer outside our PID namespace is reported as process 0).
  std::string executablePath;

  // Reads the identity of the connected peer of socket `fd`.
  static PeerIdentity ofSocket(int fd);
};

}  // namespace platform
