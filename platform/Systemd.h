#pragma once

// Socket activation and readiness.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::systemd {

// The listening socket systemd passed under `name` (LISTEN_FDNAMES), taken
// out of the set so that nobody else takes it; nullopt when none was passed.
std::optional<int> takeListeningSocket(std::string_view name);

// The names of passed sockets nobody has taken (so far), in the order passed.
std::vector<std::string> untakenListeningSockets();

// sd_notify("READY=1"); harmless without a service manager.
void notifyReady();

}  // namespace platform::systemd
