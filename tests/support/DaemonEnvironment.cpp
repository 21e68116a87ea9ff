#include "tests/support/DaemonEnvironment.h"

#include "tests/support/FakeEntitlements.h"

namespace nimbra::test {

Nimbrad::Environment daemonEnvironment(const std::string& directory) {
  Nimbrad::Environment environment;
  environment.entitlements = std::make_shared<FakeEntitlements>();
  environment.standardDefaults = [directory] { return platform::UserDefaults(directory, "com.corvane.nimbrad"); };
  environment.databaseDirectory = directory + "/db";
  return environment;
}

}  // namespace nimbra::test
