#pragma once

// Entitlements of peers. A process holds an entitlement when the registry
// says so for its executable. The registry is every *.plist file in
// $CONFIGURATION_DIRECTORY/entitlements.d/, each a dictionary
//   {"Executable": "<absolute path>", "Entitlements": {"<name>": <value>},
//    "Users": [<uid>, ...]}            ("Users" optional)
// An entry with "Users" grants only to peers running as one of those users.

#include <optional>
#include <string>
#include <string_view>

#include "platform/PeerIdentity.h"
#include "platform/Value.h"

namespace platform {

struct EntitlementLookup {
  // The value of the entitlement when an entry grants it.
  std::optional<Value> value;
  // Set when reading the registry failed in a way worth reporting (a file
  // that is not a property list, an unreadable directory).
  std::optional<std::string> error;
};

class EntitlementSource {
 public:
  virtual ~EntitlementSource() = default;
  // False when the peer cannot be identified: process id 0 or no readable
  // executable. Such a peer holds no entitlement.
  virtual bool canIdentify(const PeerIdentity& peer) const = 0;
  // The value of entitlement `name` for the peer. Thread-safe.
  virtual EntitlementLookup copyValue(const PeerIdentity& peer, std::string_view name) const = 0;
};

// The file registry; reread on every lookup so that an installed entry takes
// effect without a restart.
class EntitlementRegistry final : public EntitlementSource {
 public:
  // `directory` defaults to $CONFIGURATION_DIRECTORY/entitlements.d.
  explicit EntitlementRegistry(std::string directory = {});
  bool canIdentify(const PeerIdentity& peer) const override;
  EntitlementLookup copyValue(const PeerIdentity& peer, std::string_view name) const override;

 private:
  std::string directory_;
};

}  // namespace platform
