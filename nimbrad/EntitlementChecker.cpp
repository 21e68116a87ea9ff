#include "nimbrad/EntitlementChecker.h"

namespace nimbra {

EntitlementChecker::EntitlementChecker(std::shared_ptr<const platform::EntitlementSource> source)
    : source_(std::move(source)) {}

bool EntitlementChecker::isEntitled(const platform::PeerIdentity& peer, std::string_view entitlement) const {
  const auto& log = platform::Logger::defaultLog();
  if (!source_ || !source_->canIdentify(peer)) {
    log.error("nimbra: XPCListener: failed to get SecTask object for session auditToken");
    return false;
  }
  platform::EntitlementLookup lookup = source_->copyValue(peer, entitlement);
  if (!lookup.value) {
    if (lookup.error) {
      log.error("nimbra: isEntitled failed: {}", *lookup.error);
    } else {
      log.error("nimbra: isEntitled: SecTaskCopyValueForEntitlement returned nil");
    }
    return false;
  }
  const bool* granted = lookup.value->asBool();
  if (granted == nullptr) {
    log.error("nimbra: isEntitled: value returned is not a Bool");
    return false;
  }
  log.notice("nimbra: isEntitled: returning {}", *granted ? "true" : "false");
  return *granted;
}

}  // namespace nimbra
