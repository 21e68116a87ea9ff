#include "platform/PeerInspector.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string_view>

namespace platform::peerInspector {

namespace {

constexpr int kReplyTimeoutMs = 2000;
constexpr std::size_t kMaxPath = 4096;

struct Request {
  std::int32_t pid;
  std::int32_t hasPidfd;
};

std::mutex gMutex;
int gSocket = -1;  // GUARDED_BY(gMutex)

// The pid a pidfd refers to, in our PID namespace; -1 once the process ended.
pid_t pidOfPidfd(int pidfd) {
  std::ifstream info("/proc/self/fdinfo/" + std::to_string(pidfd));
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("Pid:", 0) == 0) return static_cast<pid_t>(std::atoi(line.c_str() + 4));
  }
  return -1;
}

bool stillAlive(int pidfd) {
  return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

[[noreturn]] void serve(int sock) {
  for (;;) {
    Request request{};
    char control[CMSG_SPACE(sizeof(int))];
    iovec iov{&request, sizeof request};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(sock, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ::_exit(0);  // the daemon is gone
    int pidfd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&pidfd, CMSG_DATA(c), sizeof pidfd);
    }
    std::string path;
    if (static_cast<std::size_t>(n) == sizeof request) {
      path = readExecutable(request.hasPidfd ? pidfd : -1, request.pid);
    }
    if (pidfd >= 0) ::close(pidfd);
    while (::send(sock, path.data(), path.size(), MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace

std::string readExecutable(int pidfd, pid_t pid) {
  if (pidfd >= 0) pid = pidOfPidfd(pidfd);
  if (pid <= 0) return {};
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char buffer[kMaxPath];
  ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  // A full buffer may be a truncated path: treat it as unreadable.
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  // The kernel marks an executable that was replaced or removed since the
  // process started; that file is no longer the one the registry names.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() >= kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    return {};
  }
  if (path.empty() || path.front() != '/') return {};
  // Alive after the read means the number was not reused in between.
  if (pidfd >= 0 && !stillAlive(pidfd)) return {};
  return path;
}

Expected<void, std::string> start() {
  std::lock_guard lock(gMutex);
  if (gSocket >= 0) return {};
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    return unexpected(std::string("socketpair: ") + std::strerror(errno));
  }
  pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child < 0) {
    int error = errno;
    ::close(pair[0]);
    ::close(pair[1]);
    return unexpected(std::string("fork: ") + std::strerror(error));
  }
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    ::prctl(PR_SET_NAME, "nimbrad-peers");
    // Nothing of the daemon's but the request socket and standard error.
    ::dup2(pair[1], 3);
    ::syscall(SYS_close_range, 4u, ~0u, 0u);
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, STDIN_FILENO);
      ::dup2(devnull, STDOUT_FILENO);
      if (devnull > 3) ::close(devnull);
    }
    serve(3);
  }
  ::close(pair[1]);
  gSocket = pair[0];
  return {};
}

bool running() {
  std::lock_guard lock(gMutex);
  return gSocket >= 0;
}

std::string executableOf(int pidfd, pid_t pid) {
  std::lock_guard lock(gMutex);
  if (gSocket < 0) return readExecutable(pidfd, pid);

  Request request{static_cast<std::int32_t>(pid), pidfd >= 0 ? 1 : 0};
  iovec iov{&request, sizeof request};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  char control[CMSG_SPACE(sizeof(int))];
  if (pidfd >= 0) {
    std::memset(control, 0, sizeof control);
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &pidfd, sizeof pidfd);
  }
  if (::sendmsg(gSocket, &message, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) return {};

  pollfd p{gSocket, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, kReplyTimeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) {
    // A stuck inspector must not leave replies out of step with requests.
    ::close(gSocket);
    gSocket = -1;
    return {};
  }
  char buffer[kMaxPath];
  ssize_t n = ::recv(gSocket, buffer, sizeof buffer, 0);
  if (n <= 0) {
    ::close(gSocket);
    gSocket = -1;
    return {};
  }
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace platform::peerInspector
