#include "platform/Systemd.h"

#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace platform::systemd {

namespace {

struct PassedSocket {
  std::string name;
  int fd;
  bool taken = false;
};

struct PassedSockets {
  std::mutex mutex;
  std::vector<PassedSocket> sockets;  // GUARDED_BY(mutex)
};

// Read once per process: sd_listen_fds_with_names unsets the variables so
// that children do not inherit them, and a second read would find nothing.
PassedSockets& passedSockets() {
  static PassedSockets* passed = [] {
    auto* result = new PassedSockets();
    char** names = nullptr;
    int count = sd_listen_fds_with_names(1, &names);
    for (int i = 0; i < count; ++i) {
      int fd = SD_LISTEN_FDS_START + i;
      std::string name = names != nullptr && names[i] != nullptr ? names[i] : "";
      // Not inherited by anything the daemon may start.
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      result->sockets.push_back({std::move(name), fd});
    }
    if (names != nullptr) {
      for (int i = 0; i < count; ++i) std::free(names[i]);
      std::free(names);
    }
    return result;
  }();
  return *passed;
}

}  // namespace

std::optional<int> takeListeningSocket(std::string_view name) {
  auto& passed = passedSockets();
  std::lock_guard lock(passed.mutex);
  for (auto& socket : passed.sockets) {
    if (socket.taken || socket.name != name) continue;
    socket.taken = true;
    return socket.fd;
  }
  return std::nullopt;
}

std::vector<std::string> untakenListeningSockets() {
  auto& passed = passedSockets();
  std::lock_guard lock(passed.mutex);
  std::vector<std::string> names;
  for (const auto& socket : passed.sockets) {
    if (!socket.taken) names.push_back(socket.name);
  }
  return names;
}

void notifyReady() { sd_notify(0, "READY=1"); }

}  // namespace platform::systemd
