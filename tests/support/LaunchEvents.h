#pragma once

// Launch event messages for tests.

#include <string>
#include <vector>

#include "nimbrad/VelmoraEventData.h"
#include "platform/Value.h"

namespace nimbra::test {

class DaemonHarness;

// A complete, valid event for an application at `processPath` run by `uid`.
VelmoraEventData sampleEvent(const std::string& processPath = "/Applications/Sample.app/Contents/MacOS/Sample",
                             uid_t uid = 501, const std::string& timestamp = "2026-12-01 10:00:00");

// A launch in which process, target and responsible process are three
// identities, each with its own name, bundle identifier and version, team and
// developer, so that a value taken from the wrong role shows: the process
// /Applications/Sample.app (com.example.sample), started by
// /Applications/Launcher.app (com.example.launcher, its own path), with the
// target "Engine" (com.example.engine) at the process's path, as an
// application run as itself is (the intake keeps only such targets of
// third-party processes).
VelmoraEventData threeRoleEvent(uid_t uid = 501, const std::string& timestamp = "2026-12-01 10:00:00");

// The message of `event` with `key` replaced by `value` (or removed when `value` is null).
platform::Value messageWith(const VelmoraEventData& event, const std::string& key, const platform::Value& value);

// Sends `events` to the daemon's launch event service on one connection, in
// order, each answered before the next is sent; a failed call or a reply
// other than {"result": 0} is a test failure.
void sendLaunchEvents(const DaemonHarness& daemon, const std::vector<VelmoraEventData>& events);

}  // namespace nimbra::test
