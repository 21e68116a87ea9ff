#pragma once

// Entry into the named sandbox, shared by the daemon's services. Both
// operations end the process with status 1 on failure: a daemon that cannot
// confine itself does not run.

#include <map>
#include <string>

namespace nimbra {

class SandboxedService {
 public:
  // Suffixes the per-user directories with `identifier`, resolves the sandbox
  // parameters (HOME, TMPDIR, DARWIN_CACHE_DIR) and applies the profile.
  static void enterSandbox(const std::string& identifier);

  // Applies the profile `identifier` with `parameters`.
  static void sandboxInit(const std::string& identifier, const std::map<std::string, std::string>& parameters);
};

}  // namespace nimbra
