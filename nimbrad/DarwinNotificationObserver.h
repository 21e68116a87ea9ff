#pragma once

// Calls a closure each time a named Darwin notification is posted, for as
// long as it observes. The callback runs on the notify center's queue, never
// on the poster's thread; it may still run once shortly after
// stopObserving() if the notification was already being delivered, so it
// should hold what it touches weakly.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/NotificationCenter.h"

namespace nimbra {

class DarwinNotificationObserver {
 public:
  using Callback = std::function<void()>;

  DarwinNotificationObserver(std::string notificationName, Callback callback);
  DarwinNotificationObserver(const DarwinNotificationObserver&) = delete;
  DarwinNotificationObserver& operator=(const DarwinNotificationObserver&) = delete;
  // Stops observing.
  ~DarwinNotificationObserver();

  // Idempotent; safe from any thread.
  void startObserving();
  void stopObserving();
  bool isObserving() const;

  const std::string& notificationName() const { return notificationName_; }

  // Posts `name` on the Darwin notify center, without payload.
  static void post(std::string_view name);

 private:
  const std::string notificationName_;
  const Callback callback_;
  mutable std::mutex mutex_;
  bool isObserving_ = false;      // GUARDED_BY(mutex_)
  platform::ObserverToken token_;  // GUARDED_BY(mutex_)
};

}  // namespace nimbra
