#pragma once

// The client side of a service socket, used by nimbractl, the agent
// connection and the tests. Blocking calls with timeouts; several requests may
// be sent before their replies are read (they come back in order).

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Expected.h"
#include "platform/FileDescriptor.h"
#include "platform/Value.h"

namespace platform {

struct ClientError {
  enum class Kind { connectFailed, timedOut, closed, protocol, io };
  Kind kind;
  std::string message;
};

class ServiceClient {
 public:
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;

  // Connects to the service socket at `socketPath`. Fails with connectFailed
  // when nothing listens there (or access is denied), timedOut when the
  // service does not take the connection within `timeout`.
  static Expected<std::unique_ptr<ServiceClient>, ClientError> connect(const std::string& socketPath,
                                                                       std::chrono::milliseconds timeout);

  // Writes one request frame (binary property list). `closed` when the
  // service has closed the connection (a rejection may still be read with
  // receive). A frame left half-written by a timeout ends the sending side of
  // the connection, since the service could not find the next frame.
  Expected<void, ClientError> send(const Value& message, std::chrono::milliseconds timeout);
  // Sends an already encoded payload as one frame (for tests and raw tools).
  Expected<void, ClientError> sendPayload(std::string_view payload, std::chrono::milliseconds timeout);
  // Reads the next reply frame. A rejected session yields the rejection
  // dictionary {"XPCErrorDescription": reason}, then `closed`. A reply that
  // is not a property list, or above maxReplyBytes(), is a `protocol` error
  // (its bytes are not read).
  Expected<Value, ClientError> receive(std::chrono::milliseconds timeout);
  // send + receive.
  Expected<Value, ClientError> call(const Value& message, std::chrono::milliseconds timeout);

  int fd() const { return fd_.get(); }

  // The largest reply frame receive() accepts. Reports from the daemon may
  // be large, hence the default; a client of a less trusted service (a
  // user's agent) lowers it. Applies to the replies read after the call.
  static constexpr std::size_t kDefaultMaxReplyBytes = 64 * 1024 * 1024;
  void setMaxReplyBytes(std::size_t bytes) { maxReplyBytes_ = bytes; }
  std::size_t maxReplyBytes() const { return maxReplyBytes_; }

 private:
  explicit ServiceClient(FileDescriptor fd) : fd_(std::move(fd)) {}
  FileDescriptor fd_;
  std::size_t maxReplyBytes_ = kDefaultMaxReplyBytes;
  // Received bytes are buffer_[bufferStart_, bufferEnd_); the buffer only
  // grows, so reading does not clear memory again on every call.
  std::string buffer_;
  std::size_t bufferStart_ = 0;
  std::size_t bufferEnd_ = 0;
};

}  // namespace platform
