#pragma once

// Who is on the other end of a service connection: the credentials read with
// SO_PEERCRED at accept time, and the peer's executable. This is the
// platform's audit token.

#include <sys/types.h>

#include <string>

namespace platform {

struct PeerIdentity {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);  // the effective user id of the peer
  gid_t gid = static_cast<gid_t>(-1);
  // The peer's executable; empty when it could not be identified (the peer
  // ended, its executable was deleted or replaced, it runs in another PID
  // namespace and shows up as process 0, or no inspector could answer).
  std::string executablePath;

  // The credentials of the connected peer of socket `fd` (cheap: no
  // executable yet).
  static PeerIdentity credentialsOf(int fd);
  // Fills in executablePath for the peer of `fd`, through the installed
  // PeerInspector (or in-process when none is installed). May wait for an
  // inspector: call off the accept path's critical sections.
  void identifyExecutable(int fd);
};

}  // namespace platform
