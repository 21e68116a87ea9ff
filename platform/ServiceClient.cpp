#include "platform/ServiceClient.h"

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include "platform/PropertyList.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 64 * 1024;

ClientError makeError(ClientError::Kind kind, std::string message) { return ClientError{kind, std::move(message)}; }

Clock::time_point deadlineAfter(std::chrono::milliseconds timeout) {
  auto now = Clock::now();
  if (timeout.count() < 0) return now;
  // Saturate: "wait for ever" callers pass milliseconds::max().
  if (timeout > std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now)) {
    return Clock::time_point::max();
  }
  return now + timeout;
}

int remainingMilliseconds(Clock::time_point deadline) {
  auto now = Clock::now();
  if (now >= deadline) return 0;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Waits until `fd` is ready for `events`; false when the deadline passed.
Expected<bool, ClientError> waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, remainingMilliseconds(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return unexpected(makeError(ClientError::Kind::io, fmt::format("poll: {}", std::strerror(errno))));
  }
}

std::uint32_t readBigEndian32(const char* p) {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
}

}  // namespace

Expected<std::unique_ptr<ServiceClient>, ClientError> ServiceClient::connect(const std::string& socketPath,
                                                                             std::chrono::milliseconds timeout) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    return unexpected(makeError(ClientError::Kind::connectFailed,
                                fmt::format("socket path '{}' is empty or too long", socketPath)));
  }
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());

  FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket) {
    return unexpected(makeError(ClientError::Kind::io, fmt::format("socket: {}", std::strerror(errno))));
  }
  const int fd = socket.get();
  std::unique_ptr<ServiceClient> client(new ServiceClient(std::move(socket)));
  auto deadline = deadlineAfter(timeout);
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return client;
    int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN) {
      // The listener's backlog is full; a Unix socket does not queue us, so
      // try again until the deadline.
      if (Clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, remainingMilliseconds(deadline))));
      continue;
    }
    if (error == EINPROGRESS) {
      auto ready = waitFor(fd, POLLOUT, deadline);
      if (!ready) return unexpected(std::move(ready).error());
      if (!*ready) break;
      int soError = 0;
      socklen_t length = sizeof soError;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
      if (soError == 0) return client;
      error = soError;
    }
    return unexpected(makeError(ClientError::Kind::connectFailed,
                                fmt::format("cannot connect to {}: {}", socketPath, std::strerror(error))));
  }
  return unexpected(makeError(ClientError::Kind::timedOut,
                              fmt::format("timed out connecting to {} after {} ms", socketPath, timeout.count())));
}

Expected<void, ClientError> ServiceClient::send(const Value& message, std::chrono::milliseconds timeout) {
  return sendPayload(PropertyList::encodeBinary(message), timeout);
}

Expected<void, ClientError> ServiceClient::sendPayload(std::string_view payload, std::chrono::milliseconds timeout) {
  if (payload.size() > UINT32_MAX) {
    return unexpected(makeError(ClientError::Kind::protocol, "message too large for one frame"));
  }
  auto n = static_cast<std::uint32_t>(payload.size());
  char header[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                    static_cast<char>(n)};
  iovec parts[2] = {{header, 4}, {const_cast<char*>(payload.data()), payload.size()}};
  std::size_t total = 4 + payload.size();
  std::size_t written = 0;
  auto deadline = deadlineAfter(timeout);
  while (written < total) {
    // Skip what is already out across the two parts.
    iovec rest[2];
    int count = 0;
    if (written < 4) {
      rest[count++] = {header + written, 4 - written};
      rest[count++] = parts[1];
    } else {
      rest[count++] = {const_cast<char*>(payload.data()) + (written - 4), payload.size() - (written - 4)};
    }
    msghdr msg{};
    msg.msg_iov = rest;
    msg.msg_iovlen = static_cast<std::size_t>(count);
    ssize_t sent = ::sendmsg(fd_.get(), &msg, MSG_NOSIGNAL);
    if (sent >= 0) {
      written += static_cast<std::size_t>(sent);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EPIPE || errno == ECONNRESET) {
      return unexpected(makeError(ClientError::Kind::closed, "the service closed the connection"));
    }
    if (errno != EAGAIN) {
      return unexpected(makeError(ClientError::Kind::io, fmt::format("send: {}", std::strerror(errno))));
    }
    auto ready = waitFor(fd_.get(), POLLOUT, deadline);
    if (!ready) return unexpected(std::move(ready).error());
    if (!*ready) {
      if (written > 0) ::shutdown(fd_.get(), SHUT_WR);
      return unexpected(makeError(ClientError::Kind::timedOut,
                                  fmt::format("timed out sending a request after {} ms", timeout.count())));
    }
  }
  return {};
}

Expected<Value, ClientError> ServiceClient::receive(std::chrono::milliseconds timeout) {
  auto deadline = deadlineAfter(timeout);
  for (;;) {
    std::size_t available = bufferEnd_ - bufferStart_;
    std::size_t needed = 4;
    if (available >= 4) {
      std::size_t length = readBigEndian32(buffer_.data() + bufferStart_);
      // A client must not trust a socket it was pointed at to bound its replies.
      if (length > maxReplyBytes_) {
        return unexpected(makeError(ClientError::Kind::protocol,
                                    fmt::format("reply of {} bytes exceeds the limit of {} bytes", length, maxReplyBytes_)));
      }
      needed = 4 + length;
      if (available >= needed) {
        auto decoded = PropertyList::decode(std::string_view(buffer_.data() + bufferStart_ + 4, length));
        bufferStart_ += needed;
        if (bufferStart_ == bufferEnd_) bufferStart_ = bufferEnd_ = 0;
        if (!decoded) {
          return unexpected(makeError(ClientError::Kind::protocol,
                                      fmt::format("reply is not a property list: {}", decoded.error().message)));
        }
        return std::move(decoded).value();
      }
    }
    // Move the partial frame to the front before growing the buffer.
    if (bufferStart_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + bufferStart_, available);
      bufferStart_ = 0;
      bufferEnd_ = available;
    }
    std::size_t wanted = std::max(bufferEnd_ + kReadChunk, needed);
    if (buffer_.size() < wanted) buffer_.resize(wanted);
    ssize_t n = ::recv(fd_.get(), buffer_.data() + bufferEnd_, buffer_.size() - bufferEnd_, 0);
    if (n > 0) {
      bufferEnd_ += static_cast<std::size_t>(n);
      continue;
    }
    int error = errno;
    if (n == 0 || error == ECONNRESET) {
      if (bufferEnd_ > bufferStart_) {
        return unexpected(makeError(ClientError::Kind::closed, "the service closed the connection in the middle of a reply"));
      }
      return unexpected(makeError(ClientError::Kind::closed, "the service closed the connection"));
    }
    if (error == EINTR) continue;
    if (error != EAGAIN) {
      return unexpected(makeError(ClientError::Kind::io, fmt::format("receive: {}", std::strerror(error))));
    }
    auto ready = waitFor(fd_.get(), POLLIN, deadline);
    if (!ready) return unexpected(std::move(ready).error());
    if (!*ready) {
      return unexpected(makeError(ClientError::Kind::timedOut,
                                  fmt::format("timed out waiting for a reply after {} ms", timeout.count())));
    }
  }
}

Expected<Value, ClientError> ServiceClient::call(const Value& message, std::chrono::milliseconds timeout) {
  auto deadline = deadlineAfter(timeout);
  auto sent = send(message, timeout);
  // A rejected session is closed by the service; its reason may still be
  // waiting to be read.
  if (!sent && sent.error().kind != ClientError::Kind::closed) return unexpected(std::move(sent).error());
  auto left = std::chrono::milliseconds(remainingMilliseconds(deadline));
  return receive(left);
}

}  // namespace platform
