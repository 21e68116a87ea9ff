#pragma once

// Socket activation and readiness.

#include <optional>
#include <string_view>

namespace platform::systemd {

// The listening socket systemd passed under `name` (LISTEN_FDNAMES), taken
// out of the set so that nobody else takes it; nullopt when none was passed.
std::optional<int> takeListeningSocket(std::string_view name);

// sd_notify("READY=1"); harmless without a service manager.
void notifyReady();

}  // namespace platform::systemd
