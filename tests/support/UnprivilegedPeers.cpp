#include "tests/support/UnprivilegedPeers.h"

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
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
  ForkedChild child(uid, [&] {
    for (int i = 0; i < count; ++i) {
      int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) continue;
      char byte = 0;
      iovec iov{&byte, 1};
      char control[CMSG_SPACE(sizeof(int))] = {};
      msghdr message{};
      message.msg_iov = &iov;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&message);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
      ::sendmsg(pair[1], &message, 0);
      ::close(fd);
    }
    return 0;
  });
  ::close(pair[1]);
  // Read while the child sends (it would block on a full queue); the end of
  // the stream is the child's exit.
  std::vector<RawPeer> peers;
  for (;;) {
    char byte;
    iovec iov{&byte, 1};
    char control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(pair[0], &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    if (c == nullptr || c->cmsg_type != SCM_RIGHTS) continue;
    int fd;
    std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    peers.push_back(RawPeer::adopt(fd));
  }
  ::close(pair[0]);
  child.wait(std::chrono::seconds(10));
  return peers;
}

}  // namespace nimbra::test
