#include "tests/support/UnprivilegedPeers.h"

#include "platform/FileDescriptor.h"
#include "platform/SocketMessages.h"

#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace nimbra::test {

bool becomeUser(uid_t uid) {
  return ::setgroups(0, nullptr) == 0 && ::setgid(static_cast<gid_t>(uid)) == 0 && ::setuid(uid) == 0;
}

ForkedChild::ForkedChild(uid_t uid, const std::function<int()>& body) {
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (!becomeUser(uid)) ::_exit(125);
    ::_exit(body());
  }
}

ForkedChild::ForkedChild(ForkedChild&& other) noexcept : pid_(other.pid_), status_(other.status_) { other.pid_ = -1; }

ForkedChild::~ForkedChild() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> ForkedChild::wait(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      return status_;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::vector<RawPeer> connectAs(uid_t uid, const std::string& path, int count) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) throw std::runtime_error("socketpair failed");
  platform::FileDescriptor ours(pair[0]);
  platform::FileDescriptor childs(pair[1]);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
  ForkedChild child(uid, [&] {
    for (int i = 0; i < count; ++i) {
      platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) continue;
      char byte = 0;
      const int sent = fd.get();
      platform::sendWithDescriptors(childs.get(), &byte, 1, &sent, 1);
    }
    return 0;
  });
  childs.reset();
  // Read while the child sends (it would block on a full queue); the end of
  // the stream is the child's exit.
  std::vector<RawPeer> peers;
  for (;;) {
    char byte;
    int fd;
    if (platform::receiveWithDescriptors(ours.get(), &byte, 1, &fd, 1) <= 0) break;
    if (fd >= 0) peers.push_back(RawPeer::adopt(fd));
  }
  ours.reset();
  child.wait(std::chrono::seconds(10));
  return peers;
}

}  // namespace nimbra::test
