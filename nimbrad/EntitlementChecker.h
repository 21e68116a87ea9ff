#pragma once

// The entitlement check of the service frame: true only when the peer holds
// the named entitlement with the Boolean value true. Fails closed: a peer that
// cannot be identified, a missing value or a value of another type counts as
// not entitled.

#include <memory>
#include <string_view>

#include "platform/Entitlements.h"
#include "platform/Log.h"

namespace nimbra {

class EntitlementChecker {
 public:
  explicit EntitlementChecker(std::shared_ptr<const platform::EntitlementSource> source);

  // Thread-safe; logs every refusal and the answer.
  bool isEntitled(const platform::PeerIdentity& peer, std::string_view entitlement) const;

 private:
  std::shared_ptr<const platform::EntitlementSource> source_;
};

}  // namespace nimbra
