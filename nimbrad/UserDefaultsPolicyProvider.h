#pragma once

// The administrator's policy settings: the keys "velmora.<setting>" of the
// user-defaults suite "com.corvane.nimbra.policy". After editing them the
// administrator posts the Darwin notification "com.corvane.nimbra.policy.changed",
// on which the provider posts its did-change notification (with the provider
// as object) so that the policy manager rereads it.
//
// Threads: loadPolicy() and the observer operations may be called from any
// thread; the did-change notification is posted on the Darwin notify
// center's queue.

#include <memory>
#include <optional>

#include "nimbrad/DarwinNotificationObserver.h"
#include "nimbrad/VelmoraPolicyProvider.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

namespace nimbra {

class UserDefaultsPolicyProvider final : public VelmoraPolicyProvider,
                                         public std::enable_shared_from_this<UserDefaultsPolicyProvider> {
 public:
  static constexpr const char* kSuiteName = "com.corvane.nimbra.policy";
  static constexpr const char* kDarwinNotificationName = "com.corvane.nimbra.policy.changed";
  static constexpr const char* kDidChangeNotificationName = "com.corvane.nimbra.UserDefaultsPolicyProvider.didChange";

  // Over `userDefaults`; nullopt stands for a suite that could not be opened
  // (the provider then offers nothing). Starts observing the Darwin notification.
  static std::shared_ptr<UserDefaultsPolicyProvider> create(std::optional<platform::UserDefaults> userDefaults);
  // Over the suite in the configuration directory.
  static std::shared_ptr<UserDefaultsPolicyProvider> create();

  UserDefaultsPolicyProvider(const UserDefaultsPolicyProvider&) = delete;
  UserDefaultsPolicyProvider& operator=(const UserDefaultsPolicyProvider&) = delete;
  ~UserDefaultsPolicyProvider() override;

  // Reads the suite afresh. A value that cannot be read as its key's type, or
  // fails validation, makes the whole suite count as empty (logged).
  VelmoraPartialPolicy loadPolicy() override;
  std::optional<platform::ObserverToken> addObserver(ChangeHandler handler) override;
  void removeObserver(platform::ObserverToken token) override;
  std::string description() const override;

  bool isObservingDarwinNotification() const;

 private:
  struct PrivateTag {};

 public:
  UserDefaultsPolicyProvider(PrivateTag, std::optional<platform::UserDefaults> userDefaults);

 private:
  const platform::Logger log_{"com.corvane.nimbra", "VelmoraPolicy"};
  const std::optional<platform::UserDefaults> userDefaults_;
  // Set once in create(), before any notification can arrive.
  std::unique_ptr<DarwinNotificationObserver> darwinObserver_;
};

}  // namespace nimbra
