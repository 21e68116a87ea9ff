#include "nimbrad/EntitlementChecker.h"

namespace nimbra {

using Reason = EntitlementVerdict::Reason;

void EntitlementVerdict::log() const {
  const auto& log = platform::Logger::defaultLog();
  switch (reason) {
    case Reason::unidentifiable:
      log.error("nimbra: XPCListener: failed to get SecTask object for session auditToken");
      break;
    case Reason::lookupFailed:
      log.error("nimbra: isEntitled failed: {}", error);
      break;
    case Reason::noValue:
      log.error("nimbra: isEntitled: SecTaskCopyValueForEntitlement returned nil");
      break;
    case Reason::notBoolean:
      log.error("nimbra: isEntitled: value returned is not a Bool");
      break;
    case Reason::answered:
      log.notice("nimbra: isEntitled: returning {}", granted ? "true" : "false");
      break;
  }
}

EntitlementChecker::EntitlementChecker(std::shared_ptr<const platform::EntitlementSource> source)
    : source_(std::move(source)) {}

EntitlementVerdict EntitlementChecker::check(const platform::PeerIdentity& peer, std::string_view entitlement) const {
  if (!source_ || !source_->canIdentify(peer)) return {false, Reason::unidentifiable, {}};
  platform::EntitlementLookup lookup = source_->copyValue(peer, entitlement);
  if (!lookup.value) {
    if (lookup.error) return {false, Reason::lookupFailed, std::move(*lookup.error)};
    return {false, Reason::noValue, {}};
  }
  const bool* granted = lookup.value->asBool();
  if (granted == nullptr) return {false, Reason::notBoolean, {}};
  return {*granted, Reason::answered, {}};
}

bool EntitlementChecker::isEntitled(const platform::PeerIdentity& peer, std::string_view entitlement) const {
  EntitlementVerdict verdict = check(peer, entitlement);
  verdict.log();
  return verdict.granted;
}

}  // namespace nimbra
