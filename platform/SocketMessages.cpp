#include "platform/SocketMessages.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace platform {

namespace {
constexpr std::size_t kMaxFds = 2;
}  // namespace

ssize_t sendWithDescriptors(int socket, const void* data, std::size_t size, const int* fds, std::size_t count) {
  if (count > kMaxFds) count = kMaxFds;
  iovec iov{const_cast<void*>(data), size};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)] = {};
  if (count > 0) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(int) * count);
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * count);
    std::memcpy(CMSG_DATA(c), fds, sizeof(int) * count);
  }
  ssize_t sent;
  do {
    sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

ssize_t receiveWithDescriptors(int socket, void* data, std::size_t size, int* fds, std::size_t maxFds) {
  if (maxFds > kMaxFds) maxFds = kMaxFds;
  for (std::size_t i = 0; i < maxFds; ++i) fds[i] = -1;
  iovec iov{data, size};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t received;
  do {
    received = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return received;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    int arrived[kMaxFds];
    std::memcpy(arrived, CMSG_DATA(c), sizeof(int) * (count < kMaxFds ? count : kMaxFds));
    for (std::size_t i = 0; i < count && i < kMaxFds; ++i) {
      // Descriptors beyond what the caller takes are not left open.
      if (i < maxFds) {
        fds[i] = arrived[i];
      } else {
        ::close(arrived[i]);
      }
    }
  }
  return received;
}

}  // namespace platform
