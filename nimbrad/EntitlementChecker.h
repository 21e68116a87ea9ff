#pragma once

// The entitlement check of the service frame: true only when the peer holds
// the named entitlement with the Boolean value true. Fails closed: a peer that
// cannot be identified, a missing value or a value of another type counts as
// not entitled.

#include <memory>
#include <string>
#include <string_view>

#include "platform/Entitlements.h"
#include "platform/Log.h"

namespace nimbra {

// The answer of one check and why.
struct EntitlementVerdict {
  enum class Reason { unidentifiable, lookupFailed, noValue, notBoolean, answered };
  bool granted = false;
  Reason reason = Reason::unidentifiable;
  std::string error;  // for lookupFailed: what went wrong

  // Writes the line that tells this verdict to the default log.
  void log() const;
};

class EntitlementChecker {
 public:
  explicit EntitlementChecker(std::shared_ptr<const platform::EntitlementSource> source);

  // The check without logging, for callers that decide whether its line is
  // worth writing (rejections of a flooding peer are not). Thread-safe.
  EntitlementVerdict check(const platform::PeerIdentity& peer, std::string_view entitlement) const;

  // check() and its line in the log. Thread-safe.
  bool isEntitled(const platform::PeerIdentity& peer, std::string_view entitlement) const;

 private:
  std::shared_ptr<const platform::EntitlementSource> source_;
};

}  // namespace nimbra
