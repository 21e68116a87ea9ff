#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/Entitlements.h"

namespace nimbra::test {

// Entitlement values by name, the same for every identifiable peer.
class FakeEntitlements final : public platform::EntitlementSource {
 public:
  void set(const std::string& name, platform::Value value) {
    std::lock_guard lock(mutex_);
    values_[name] = std::move(value);
  }
  void setError(std::string error) {
    std::lock_guard lock(mutex_);
    error_ = std::move(error);
  }
  void setIdentifiable(bool identifiable) {
    std::lock_guard lock(mutex_);
    identifiable_ = identifiable;
  }
  bool canIdentify(const platform::PeerIdentity&) const override {
    std::lock_guard lock(mutex_);
    return identifiable_;
  }
  platform::EntitlementLookup copyValue(const platform::PeerIdentity&, std::string_view name) const override {
    std::lock_guard lock(mutex_);
    platform::EntitlementLookup lookup;
    auto it = values_.find(std::string(name));
    if (it != values_.end()) lookup.value = it->second;
    if (!error_.empty()) lookup.error = error_;
    return lookup;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, platform::Value> values_;
  std::string error_;
  bool identifiable_ = true;
};

}  // namespace nimbra::test
