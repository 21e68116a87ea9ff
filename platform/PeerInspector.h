#pragma once

// Resolves the executables of peer processes for a sandboxed daemon.
//
// Landlock denies a sandboxed process ptrace-mode access to processes outside
// its domain, and reading /proc/<pid>/exe is such an access: after entering
// the sandbox the daemon could identify no peer at all. A small helper process
// forked before the sandbox is entered does the reading instead. Requests
// carry a pidfd of the peer (SO_PEERPIDFD) so that the answer is known to
// belong to that very process and not to a later one that reused its number.

#include <sys/types.h>

#include <string>

#include "platform/Expected.h"

namespace platform::peerInspector {

// Forks the inspector. Call while the process has one thread and before the
// sandbox is entered. The inspector ends when this process does.
Expected<void, std::string> start();

bool running();

// The executable of the process `pidfd` (or, with pidfd < 0, `pid`) refers to,
// as an absolute path; empty when it cannot be determined (the process ended,
// its executable was replaced, the inspector is gone). Thread-safe; answers
// within a couple of seconds at most.
std::string executableOf(int pidfd, pid_t pid);

// What the inspector does for one request, also used without an inspector:
// reads /proc/<pid>/exe, rejecting "(deleted)" and relative results, and
// checks afterwards that `pidfd` still names a live process.
std::string readExecutable(int pidfd, pid_t pid);

}  // namespace platform::peerInspector
