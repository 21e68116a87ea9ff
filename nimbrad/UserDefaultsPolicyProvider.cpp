#include "nimbrad/UserDefaultsPolicyProvider.h"

#include <fmt/format.h>

namespace nimbra {

namespace {

struct Key {
  const char* defaultsKey;
  const char* policyKey;
  bool isInteger;
};

constexpr Key kKeys[] = {
    {"velmora.appRateLimitInterval", "appRateLimitInterval", true},
    {"velmora.overallRateLimitInterval", "overallRateLimitInterval", true},
    {"velmora.periodicInterval", "periodicInterval", true},
    {"velmora.catchupInterval", "catchupInterval", true},
    {"velmora.catchupRecentLaunchWindow", "catchupRecentLaunchWindow", true},
    {"velmora.suRecentLaunchWindow", "suRecentLaunchWindow", true},
    {"velmora.pluginNotificationEnabled", "pluginNotificationEnabled", false},
    {"velmora.customURLsEnabled", "customURLsEnabled", false},
    {"velmora.enabled", "enabled", false},
};

}  // namespace

UserDefaultsPolicyProvider::UserDefaultsPolicyProvider(PrivateTag, std::optional<platform::UserDefaults> userDefaults)
    : userDefaults_(std::move(userDefaults)) {}

std::shared_ptr<UserDefaultsPolicyProvider> UserDefaultsPolicyProvider::create(
    std::optional<platform::UserDefaults> userDefaults) {
  auto provider = std::make_shared<UserDefaultsPolicyProvider>(PrivateTag{}, std::move(userDefaults));
  std::weak_ptr<UserDefaultsPolicyProvider> weak = provider;
  provider->darwinObserver_ = std::make_unique<DarwinNotificationObserver>(kDarwinNotificationName, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->log_.debug("UserDefaultsPolicy changed, notifying observers");
    platform::NotificationCenter::defaultCenter().post(kDidChangeNotificationName, self.get());
  });
  provider->darwinObserver_->startObserving();
  return provider;
}

std::shared_ptr<UserDefaultsPolicyProvider> UserDefaultsPolicyProvider::create() {
  return create(platform::UserDefaults::standard(kSuiteName));
}

UserDefaultsPolicyProvider::~UserDefaultsPolicyProvider() {
  if (darwinObserver_ && darwinObserver_->isObserving()) darwinObserver_->stopObserving();
}

VelmoraPartialPolicy UserDefaultsPolicyProvider::loadPolicy() {
  if (!userDefaults_) return {};
  // One read of the file, so that the keys come from one version of it.
  platform::Dictionary stored = userDefaults_->dictionaryRepresentation();
  platform::Dictionary settings;
  for (const Key& key : kKeys) {
    auto it = stored.find(key.defaultsKey);
    if (it == stored.end()) continue;
    // A value the converting reader cannot read is handed on as it is, so
    // that the parser names the key and rejects the suite, instead of a
    // stray text silently reading as 0 (which would switch a feature off).
    platform::Value value = it->second;
    if (key.isInteger) {
      if (auto integer = platform::UserDefaults::integerFrom(it->second)) value = platform::Value(static_cast<long long>(*integer));
    } else if (auto boolean = platform::UserDefaults::booleanFrom(it->second)) {
      value = platform::Value(*boolean);
    }
    settings.emplace(key.policyKey, std::move(value));
  }
  auto policy = makePartialPolicy(settings);
  if (!policy) {
    log_.error("Failed to create policy from invalid UserDefaults data");
    return {};
  }
  return *policy;
}

std::optional<platform::ObserverToken> UserDefaultsPolicyProvider::addObserver(ChangeHandler handler) {
  log_.debug("UserDefaultsPolicy.addObserver()");
  return platform::NotificationCenter::defaultCenter().addObserver(
      kDidChangeNotificationName, this,
      [log = log_, handler = std::move(handler)](const platform::Notification& notification) {
        log.debug("UserDefaultsPolicy changed, calling handler for observer");
        handler(notification);
      });
}

void UserDefaultsPolicyProvider::removeObserver(platform::ObserverToken token) {
  log_.debug("UserDefaultsPolicy.removeObserver()");
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

std::string UserDefaultsPolicyProvider::description() const {
  return fmt::format("UserDefaultsPolicyProvider(suite: {})", userDefaults_ ? userDefaults_->domain() : "<none>");
}

bool UserDefaultsPolicyProvider::isObservingDarwinNotification() const {
  return darwinObserver_ && darwinObserver_->isObserving();
}

}  // namespace nimbra
