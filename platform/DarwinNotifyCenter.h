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

  static DarwinNotifyCenter& shared();

  // Binds the socket and starts receiving. Until then, and in tests, names
  // posted with post() are delivered in-process only.
  Expected<void, std::string> start(const std::string& socketPath);
  void stop();

  ObserverToken addObserver(std::string name, Callback callback);
  void removeObserver(ObserverToken token);

  // Posts `name`: through the socket when started, otherwise delivered to the
  // in-process observers directly.
  void post(std::string_view name);

  // Delivers `name` to the observers as if it had arrived on the socket.
  void deliver(std::string_view name);

  // Sends one datagram to the center listening at `socketPath` (the client side).
  static Expected<void, std::string> postTo(const std::string& socketPath, std::string_view name);

  // The default socket path: directories::runtime() + "/notify".
  static std::string defaultSocketPath();

 private:
  DarwinNotifyCenter();
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
