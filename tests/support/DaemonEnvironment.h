#pragma once

#include <string>

#include "nimbrad/Nimbrad.h"

namespace nimbra::test {

// An in-process daemon's environment kept under `directory`: entitlements
// from a fake, the daemon's defaults domain in `directory`, and the store in
// `directory`/db. Everything else keeps the daemon's defaults.
Nimbrad::Environment daemonEnvironment(const std::string& directory);

}  // namespace nimbra::test
