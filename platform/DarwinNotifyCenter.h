#pragma once

// The Darwin notify center: process-wide named notifications without payload.
// The daemon owns a Unix datagram socket ($RUNTIME_DIRECTORY/notify, mode
// 0600); each datagram holds one notification name. `nimbractl notify NAME`
// posts one. Observers run on a dispatch queue of the center, never on the
// poster's thread.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Expected.h"
#include "platform/NotificationCenter.h"

namespace platform {

class DarwinNotifyCenter {
 public:
  using Callback = std::function<void()>;

  // The process-wide center; never destroyed.
  static DarwinNotifyCenter& shared();

  // Binds the socket (mode 0600) and starts receiving on the event loop. A
  // socket file left by a center that is gone is replaced; a live center at the
  // path, or a file that is not a socket, makes this fail with a message and
  // leaves the path alone. Until then, and in tests, names posted with post()
  // are delivered in-process only. Fails when already started.
  Expected<void, std::string> start(const std::string& socketPath);
  // Stops receiving and removes the socket file if it is still ours. Any thread.
  void stop();

  // Observes `name`; `callback` runs on the center's serial queue, one
  // notification after the other in arrival order. Returns the token (the
  // empty token for an empty callback). Any thread.
  ObserverToken addObserver(std::string name, Callback callback);
  // Callbacks not yet started are not called after this returns. Any thread,
  // including from inside a callback.
  void removeObserver(ObserverToken token);

  // Posts `name`: through the socket when started (in-process if the send
  // fails), otherwise delivered to the in-process observers directly.
  void post(std::string_view name);

  // Delivers `name` to the observers as if it had arrived on the socket.
  // A name is 1 to 512 bytes without NUL; others are dropped with a log line.
  void deliver(std::string_view name);

  // Sends one datagram to the center listening at `socketPath` (the client
  // side). Fails with a message saying why: an invalid name, no center
  // listening, no permission, or a center that took no datagram for 2 s.
  static Expected<void, std::string> postTo(const std::string& socketPath, std::string_view name);

  // The default socket path: directories::runtime() + "/notify".
  static std::string defaultSocketPath();

 private:
  DarwinNotifyCenter();
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
