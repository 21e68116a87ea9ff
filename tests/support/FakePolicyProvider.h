#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "nimbrad/VelmoraPolicyProvider.h"

namespace nimbra::test {

// A policy source whose settings tests set and whose change they announce
// directly, on the calling thread. Thread-safe.
class FakePolicyProvider final : public VelmoraPolicyProvider {
 public:
  explicit FakePolicyProvider(std::string name, bool refusesObservers = false)
      : name_(std::move(name)), refusesObservers_(refusesObservers) {}

  void set(const VelmoraPartialPolicy& policy) {
    std::lock_guard lock(mutex_);
    policy_ = policy;
  }

  // Calls every observer, as a provider's did-change notification would.
  void announceChange() {
    std::vector<ChangeHandler> handlers;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [id, handler] : handlers_) handlers.push_back(handler);
    }
    platform::Notification notification{"test.didChange", this, {}};
    for (const auto& handler : handlers) handler(notification);
  }

  VelmoraPartialPolicy loadPolicy() override {
    loads_.fetch_add(1);
    std::lock_guard lock(mutex_);
    return policy_;
  }

  std::optional<platform::ObserverToken> addObserver(ChangeHandler handler) override {
    if (refusesObservers_) return std::nullopt;
    std::lock_guard lock(mutex_);
    platform::ObserverToken token{nextId_++};
    handlers_.emplace(token.id, std::move(handler));
    return token;
  }

  void removeObserver(platform::ObserverToken token) override {
    std::lock_guard lock(mutex_);
    handlers_.erase(token.id);
  }

  std::string description() const override { return name_; }

  std::size_t observerCount() const {
    std::lock_guard lock(mutex_);
    return handlers_.size();
  }
  int loads() const { return loads_.load(); }

 private:
  const std::string name_;
  const bool refusesObservers_;
  mutable std::mutex mutex_;
  VelmoraPartialPolicy policy_;                        // GUARDED_BY(mutex_)
  std::map<std::uint64_t, ChangeHandler> handlers_;    // GUARDED_BY(mutex_)
  std::uint64_t nextId_ = 1;                           // GUARDED_BY(mutex_)
  std::atomic<int> loads_{0};
};

}  // namespace nimbra::test
