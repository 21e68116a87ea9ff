#pragma once

// Peers that do not run as root. The tests run as root; to act as a hostile
// local user they fork and drop to another user id.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/RawPeer.h"

namespace nimbra::test {

inline constexpr uid_t kHostileUid = 1001;
inline constexpr uid_t kOtherHostileUid = 1002;

// Drops the calling process to user `uid` (group `uid`, no supplementary
// groups); false when that fails. For forked children only.
bool becomeUser(uid_t uid);

// A forked copy of the test process running `body` as user `uid`; body's
// return value is the exit status. The body runs in a copy of a process
// with many threads: system calls and plain computation only (no locks a
// thread of the test may have held, no test assertions).
class ForkedChild {
 public:
  ForkedChild(uid_t uid, const std::function<int()>& body);
  ForkedChild(ForkedChild&& other) noexcept;
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;
  ~ForkedChild();  // kills and reaps a child still running

  pid_t pid() const { return pid_; }
  // The exit status (-signal when killed), or nullopt while still running
  // after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Connects `count` times to the socket at `path` from a child running as
// `uid`, which hands the connections over and exits: when this returns, the
// process at the other end of every connection is gone. Connections that
// failed are left out.
std::vector<RawPeer> connectAs(uid_t uid, const std::string& path, int count);

}  // namespace nimbra::test
