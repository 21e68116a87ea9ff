#include "nimbrad/VelmoraPolicyManager.h"

namespace nimbra {

VelmoraPolicyManager::VelmoraPolicyManager(PrivateTag, std::vector<std::shared_ptr<VelmoraPolicyProvider>> providers,
                                           VelmoraPolicy defaultPolicy)
    : providers_(std::move(providers)), defaultPolicy_(defaultPolicy), currentPolicy_(defaultPolicy) {}

std::shared_ptr<VelmoraPolicyManager> VelmoraPolicyManager::create(
    std::vector<std::shared_ptr<VelmoraPolicyProvider>> providers, VelmoraPolicy defaultPolicy) {
  platform::Logger("com.corvane.nimbra", "VelmoraPolicy").info("VelmoraPolicyManager initializing with custom providers");
  auto manager = std::make_shared<VelmoraPolicyManager>(PrivateTag{}, std::move(providers), defaultPolicy);
  VelmoraPolicy merged = manager->merge();
  {
    std::lock_guard lock(manager->policyLock_);
    manager->currentPolicy_ = merged;
  }
  manager->setUpProviderObservation();
  manager->log_.info("VelmoraPolicyManager initialization complete - {}", manager->policyDescription());
  return manager;
}

VelmoraPolicyManager::~VelmoraPolicyManager() {
  log_.debug("VelmoraPolicyManager deallocating, removing observers");
  for (auto& [provider, token] : providerObservers_) provider->removeObserver(token);
  providerObservers_.clear();
}

void VelmoraPolicyManager::setUpProviderObservation() {
  log_.info("Setting up provider change observation");
  std::weak_ptr<VelmoraPolicyManager> weak = weak_from_this();
  for (const auto& provider : providers_) {
    auto token = provider->addObserver([weak, log = log_](const platform::Notification& notification) {
      log.debug("{} ", notification.description());
      if (auto manager = weak.lock()) manager->checkForPolicyChanges();
    });
    if (!token) {
      log_.error("Failed to setup policy change observer for {}", provider->description());
      return;
    }
    providerObservers_.emplace_back(provider, *token);
  }
  log_.info("Provider change observation setup complete");
}

VelmoraPolicy VelmoraPolicyManager::merge() const {
  std::vector<VelmoraPartialPolicy> partials;
  partials.reserve(providers_.size());
  for (const auto& provider : providers_) partials.push_back(provider->loadPolicy());
  // From the last provider to the first, so that earlier providers win.
  VelmoraPolicy policy = defaultPolicy_;
  for (auto it = partials.rbegin(); it != partials.rend(); ++it) policy = resolved(*it, policy);
  return policy;
}

void VelmoraPolicyManager::checkForPolicyChanges() {
  log_.debug("Checking for policy changes");
  // The ticket is taken before the providers are read: a check that started
  // later has seen at least as recent a state of every provider.
  std::uint64_t ticket = nextCheck_.fetch_add(1);
  VelmoraPolicy merged = merge();
  VelmoraPolicy previous;
  {
    std::lock_guard lock(policyLock_);
    if (ticket < lastAppliedCheck_) {
      log_.debug("Policy refresh superseded by a newer check");
      return;
    }
    lastAppliedCheck_ = ticket;
    if (merged == currentPolicy_) {
      log_.debug("Policy refresh completed - no changes detected");
      return;
    }
    log_.info("Policy configuration changed - old: [{}] -> new: [{}]", currentPolicy_.description(),
              merged.description());
    platform::Logger::defaultLog().notice(
        "<nimbrad> [POLICY_LOADED] enabled={} appRateLimit={} overallRateLimit={} periodicInterval={} "
        "catchupInterval={} pluginNotifications={}",
        int(merged.enabled), merged.appRateLimitInterval, merged.overallRateLimitInterval, merged.periodicInterval,
        merged.catchupInterval, int(merged.pluginNotificationEnabled));
    previous = currentPolicy_;
    currentPolicy_ = merged;
  }
  platform::NotificationCenter::defaultCenter().post(kPolicyDidChangeNotificationName, this,
                                                     {{"oldPolicy", previous}, {"newPolicy", merged}});
}

VelmoraPolicy VelmoraPolicyManager::currentPolicy() const {
  std::lock_guard lock(policyLock_);
  return currentPolicy_;
}

std::uint64_t VelmoraPolicyManager::appRateLimitInterval() const { return currentPolicy().appRateLimitInterval; }
std::uint64_t VelmoraPolicyManager::overallRateLimitInterval() const {
  return currentPolicy().overallRateLimitInterval;
}
std::uint64_t VelmoraPolicyManager::periodicInterval() const { return currentPolicy().periodicInterval; }
std::uint64_t VelmoraPolicyManager::catchupInterval() const { return currentPolicy().catchupInterval; }
std::uint64_t VelmoraPolicyManager::catchupRecentLaunchWindow() const {
  return currentPolicy().catchupRecentLaunchWindow;
}
std::uint64_t VelmoraPolicyManager::suRecentLaunchWindow() const { return currentPolicy().suRecentLaunchWindow; }
bool VelmoraPolicyManager::pluginNotificationEnabled() const { return currentPolicy().pluginNotificationEnabled; }
bool VelmoraPolicyManager::customURLsEnabled() const { return currentPolicy().customURLsEnabled; }
bool VelmoraPolicyManager::enabled() const { return currentPolicy().enabled; }

std::string VelmoraPolicyManager::policyDescription() const { return currentPolicy().description(); }

platform::ObserverToken VelmoraPolicyManager::addObserver(ChangeHandler handler) {
  return platform::NotificationCenter::defaultCenter().addObserver(
      kPolicyDidChangeNotificationName, this, [handler = std::move(handler)](const platform::Notification& n) {
        auto oldIt = n.userInfo.find("oldPolicy");
        auto newIt = n.userInfo.find("newPolicy");
        if (oldIt == n.userInfo.end() || newIt == n.userInfo.end()) return;
        const auto* oldPolicy = std::any_cast<VelmoraPolicy>(&oldIt->second);
        const auto* newPolicy = std::any_cast<VelmoraPolicy>(&newIt->second);
        if (oldPolicy == nullptr || newPolicy == nullptr) return;
        handler(*oldPolicy, *newPolicy);
      });
}

platform::ObserverToken VelmoraPolicyManager::addObserver(NewPolicyHandler handler) {
  return platform::NotificationCenter::defaultCenter().addObserver(
      kPolicyDidChangeNotificationName, this, [handler = std::move(handler)](const platform::Notification& n) {
        auto newIt = n.userInfo.find("newPolicy");
        if (newIt == n.userInfo.end()) return;
        const auto* newPolicy = std::any_cast<VelmoraPolicy>(&newIt->second);
        if (newPolicy == nullptr) return;
        handler(*newPolicy);
      });
}

void VelmoraPolicyManager::removeObserver(platform::ObserverToken token) {
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

}  // namespace nimbra
