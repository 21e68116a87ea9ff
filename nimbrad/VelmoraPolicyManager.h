#pragma once

// The current notification policy, merged from an ordered list of providers
// on top of a default policy: for each field, the value of the first provider
// that sets it, else the default's. The manager observes its providers,
// recomputes the policy when one of them changes and posts
// "com.corvane.nimbra.VelmoraPolicyManager.policyDidChange" (object: the
// manager; user info "oldPolicy" and "newPolicy", each a VelmoraPolicy) when
// the merged policy really changed, exactly once per change.
//
// Threads: every operation may be called from any thread. The lock guards
// only the current policy and is held for a copy or a compare-and-replace,
// never while a provider is asked or a notification is posted; observers run
// on the thread that ran the check.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nimbrad/VelmoraPolicy.h"
#include "nimbrad/VelmoraPolicyProvider.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

namespace nimbra {

class VelmoraPolicyManager final : public std::enable_shared_from_this<VelmoraPolicyManager> {
 public:
  static constexpr const char* kPolicyDidChangeNotificationName =
      "com.corvane.nimbra.VelmoraPolicyManager.policyDidChange";

  using ChangeHandler = std::function<void(const VelmoraPolicy& oldPolicy, const VelmoraPolicy& newPolicy)>;
  using NewPolicyHandler = std::function<void(const VelmoraPolicy& newPolicy)>;

  // Merges the providers (earlier ones take precedence) and observes each of
  // them in order. A provider that refuses an observer ends the observation
  // set-up (logged): it and the later providers are then only reread when
  // someone calls checkForPolicyChanges().
  static std::shared_ptr<VelmoraPolicyManager> create(std::vector<std::shared_ptr<VelmoraPolicyProvider>> providers,
                                                      VelmoraPolicy defaultPolicy);

  VelmoraPolicyManager(const VelmoraPolicyManager&) = delete;
  VelmoraPolicyManager& operator=(const VelmoraPolicyManager&) = delete;
  ~VelmoraPolicyManager();

  VelmoraPolicy currentPolicy() const;
  std::uint64_t appRateLimitInterval() const;
  std::uint64_t overallRateLimitInterval() const;
  std::uint64_t periodicInterval() const;
  std::uint64_t catchupInterval() const;
  std::uint64_t catchupRecentLaunchWindow() const;
  std::uint64_t suRecentLaunchWindow() const;
  bool pluginNotificationEnabled() const;
  bool customURLsEnabled() const;
  bool enabled() const;
  std::string policyDescription() const;

  // Rereads every provider and publishes the result if it differs from the
  // current policy. When checks overlap, the result of one that started
  // earlier never replaces the result of one that started later.
  void checkForPolicyChanges();

  // Observers of the policy-did-change notification. A notification without
  // the expected VelmoraPolicy entries is ignored. Remove with removeObserver().
  platform::ObserverToken addObserver(ChangeHandler handler);
  platform::ObserverToken addObserver(NewPolicyHandler handler);
  void removeObserver(platform::ObserverToken token);

  const std::vector<std::shared_ptr<VelmoraPolicyProvider>>& providers() const { return providers_; }
  const VelmoraPolicy& defaultPolicy() const { return defaultPolicy_; }

 private:
  struct PrivateTag {};

 public:
  VelmoraPolicyManager(PrivateTag, std::vector<std::shared_ptr<VelmoraPolicyProvider>> providers,
                       VelmoraPolicy defaultPolicy);

 private:
  VelmoraPolicy merge() const;
  void setUpProviderObservation();

  const platform::Logger log_{"com.corvane.nimbra", "VelmoraPolicy"};
  const std::vector<std::shared_ptr<VelmoraPolicyProvider>> providers_;
  const VelmoraPolicy defaultPolicy_;
  // Written during create() only, then read by the destructor.
  std::vector<std::pair<std::shared_ptr<VelmoraPolicyProvider>, platform::ObserverToken>> providerObservers_;

  mutable std::mutex policyLock_;
  VelmoraPolicy currentPolicy_;         // GUARDED_BY(policyLock_)
  std::uint64_t lastAppliedCheck_ = 0;  // GUARDED_BY(policyLock_)
  std::atomic<std::uint64_t> nextCheck_{1};
};

}  // namespace nimbra
