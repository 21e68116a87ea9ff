#pragma once

// The client side of a service socket, used by nimbractl, the agent
// connection and the tests. Blocking calls with timeouts; several requests may
// be sent before their replies are read (they come back in order).

#include <chrono>
#include <memory>
#include <string>

#include "platform/Expected.h"
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
  ~ServiceClient();

  static Expected<std::unique_ptr<ServiceClient>, ClientError> connect(const std::string& socketPath,
                                                                       std::chrono::milliseconds timeout);

  // Writes one request frame (binary property list).
  Expected<void, ClientError> send(const Value& message, std::chrono::milliseconds timeout);
  // Reads the next reply frame. A rejected session yields the rejection
  // dictionary {"XPCErrorDescription": reason}, then `closed`.
  Expected<Value, ClientError> receive(std::chrono::milliseconds timeout);
  // send + receive.
  Expected<Value, ClientError> call(const Value& message, std::chrono::milliseconds timeout);

  int fd() const { return fd_; }

 private:
  explicit ServiceClient(int fd) : fd_(fd) {}
  int fd_;
  std::string buffer_;
};

}  // namespace platform
