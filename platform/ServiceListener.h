#pragma once

// A service: a Unix stream socket named after the service in the runtime
// directory. A message is one frame: a 4-byte big-endian length N, then N
// bytes of one property list (binary, or XML). Requests on one connection are
// answered in order, one reply frame per request frame, so clients may
// pipeline.
//
// The transport enforces its limits before any handler runs: a frame above
// maxFrameBytes, a frame that is not a property list, a non-dictionary root on
// a dictionary service, or nesting deeper than maxDepth closes the connection
// with an error line in the log. At most maxSessions connections are open per
// service; a further one is closed at once.
//
// One user cannot crowd out the others: the backlog is drained at the speed
// of accept(), peers are identified off the accept loop taking the user ids in
// turn, each user id but root holds at most a fair share of the connections
// (maxSessions / (other non-root users present + 2)), and a rejected peer
// gives up its place before its rejection is written. Refusals are logged
// once per user id per refusalLogWindow, then summed up in one line. No
// exception thrown by a handler or while decoding or encoding ends the
// process: it closes the connection concerned with an error line.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/Dispatch.h"
#include "platform/Expected.h"
#include "platform/PeerIdentity.h"
#include "platform/Value.h"

namespace platform {

// Runs on the service's target queue; returns the reply to the message.
using MessageHandler = std::function<Value(const Value& message)>;

// A connection waiting to be accepted. The session handler must call accept
// or reject; doing neither rejects it with "session not accepted".
class SessionRequest {
 public:
  virtual ~SessionRequest() = default;
  virtual const PeerIdentity& peer() const = 0;
  // Every later message of this session goes to `handler`.
  virtual void accept(MessageHandler handler) = 0;
  // Sends one frame {"XPCErrorDescription": reason} and closes the connection.
  virtual void reject(const std::string& reason) = 0;
};

// Runs on the service's target queue for each new connection.
using SessionHandler = std::function<void(SessionRequest& request)>;

struct ServiceConfig {
  std::string name;        // the service name, e.g. "com.corvane.nimbra.velmora"
  std::string socketPath;  // where to bind when no socket is passed by systemd
  unsigned mode = 0666;    // permissions of the bound socket file
  bool dictionaryMessages = true;  // services whose messages must be dictionaries
  std::shared_ptr<DispatchQueue> targetQueue;  // serial; sessions and messages run here
  std::size_t maxSessions = 256;
  std::size_t maxFrameBytes = 1024 * 1024;
  std::size_t maxDepth = 32;
  // A frame that has begun must be complete within this time; an idle
  // connection between frames may stay open indefinitely.
  std::chrono::milliseconds partialFrameTimeout{30'000};
  // Connections refused for want of a slot are logged in full once per user
  // id in this window, then counted in one summary line.
  std::chrono::milliseconds refusalLogWindow{10'000};
};

class ServiceListener {
 public:
  virtual ~ServiceListener() = default;

  // Starts listening: takes the socket systemd passed under the service's name
  // (LISTEN_FDS/LISTEN_FDNAMES), or binds config.socketPath itself (replacing
  // a stale socket file, never another kind of file). On failure returns why.
  static Expected<std::unique_ptr<ServiceListener>, std::string> start(ServiceConfig config, SessionHandler handler);

  virtual const ServiceConfig& config() const = 0;
  // Connections open right now, including those awaiting the session handler.
  virtual std::size_t openSessions() const = 0;

  // Destroying the listener closes the listening socket (and removes the
  // socket file it bound) and every open connection. No handler is called
  // afterwards, except one already running on the target queue.
};

}  // namespace platform
