#pragma once

// One source of notification-policy settings, merged by VelmoraPolicyManager.

#include <functional>
#include <optional>
#include <string>

#include "nimbrad/VelmoraPolicy.h"
#include "platform/NotificationCenter.h"

namespace nimbra {

class VelmoraPolicyProvider {
 public:
  // Receives the provider's did-change notification.
  using ChangeHandler = std::function<void(const platform::Notification&)>;

  virtual ~VelmoraPolicyProvider() = default;

  // The settings this source currently offers; never fails: a source with
  // nothing valid returns the empty partial policy. Any thread.
  virtual VelmoraPartialPolicy loadPolicy() = 0;

  // Calls `handler` whenever the source may have changed, on the thread that
  // noticed the change. Returns nullopt if observation could not be set up.
  virtual std::optional<platform::ObserverToken> addObserver(ChangeHandler handler) = 0;
  virtual void removeObserver(platform::ObserverToken token) = 0;

  // Names the provider in logs.
  virtual std::string description() const = 0;
};

}  // namespace nimbra
