#include "nimbrad/DarwinNotificationObserver.h"

#include "platform/DarwinNotifyCenter.h"

namespace nimbra {

DarwinNotificationObserver::DarwinNotificationObserver(std::string notificationName, Callback callback)
    : notificationName_(std::move(notificationName)), callback_(std::move(callback)) {}

DarwinNotificationObserver::~DarwinNotificationObserver() { stopObserving(); }

void DarwinNotificationObserver::startObserving() {
  std::lock_guard lock(mutex_);
  if (isObserving_) return;
  token_ = platform::DarwinNotifyCenter::shared().addObserver(notificationName_, callback_);
  isObserving_ = true;
}

void DarwinNotificationObserver::stopObserving() {
  platform::ObserverToken token;
  {
    std::lock_guard lock(mutex_);
    if (!isObserving_) return;
    token = token_;
    token_ = {};
    isObserving_ = false;
  }
  // Outside the lock: the center may wait for a delivery in progress, and
  // that delivery may be our own callback asking whether we observe.
  platform::DarwinNotifyCenter::shared().removeObserver(token);
}

bool DarwinNotificationObserver::isObserving() const {
  std::lock_guard lock(mutex_);
  return isObserving_;
}

void DarwinNotificationObserver::post(std::string_view name) { platform::DarwinNotifyCenter::shared().post(name); }

}  // namespace nimbra
