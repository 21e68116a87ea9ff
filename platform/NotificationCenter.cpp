#include "platform/NotificationCenter.h"

#include <fmt/format.h>

#include <algorithm>

namespace platform {

std::string Notification::description() const {
  std::string text = fmt::format("name = {}; object = ", name);
  if (object == nullptr) {
    text += "nil";
  } else {
    text += fmt::format("{}", object);
  }
  text += "; userInfo keys = [";
  bool first = true;
  for (const auto& [key, value] : userInfo) {
    if (!first) text += ", ";
    text += key;
    first = false;
  }
  text += "]";
  return text;
}

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: observers are removed from destructors that may run
  // during exit, after function-local statics would be gone.
  static NotificationCenter* center = new NotificationCenter();
  return *center;
}

ObserverToken NotificationCenter::addObserver(std::string name, const void* object, Handler handler) {
  if (!handler) return {};
  auto observer = std::make_shared<Observer>();
  observer->handler = std::move(handler);
  std::lock_guard lock(mutex_);
  ObserverToken token{nextId_++};
  entries_.push_back(Entry{token, std::move(name), object, std::move(observer)});
  return token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
  if (!token) return;
  std::shared_ptr<Observer> removed;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.token == token; });
    if (it == entries_.end()) return;
    removed = std::move(it->observer);
    entries_.erase(it);
  }
  // A post running on this very thread (removal from inside a handler) or one
  // that has not reached this observer yet checks the flag before calling.
  removed->active.store(false, std::memory_order_release);
  // `removed` may hold the last reference to the handler; it is released here,
  // outside the lock, because destroying captured state may post or remove.
}

void NotificationCenter::post(const std::string& name, const void* object, UserInfo userInfo) {
  std::vector<std::shared_ptr<Observer>> snapshot;
  {
    std::lock_guard lock(mutex_);
    for (const Entry& entry : entries_) {
      if (entry.name != name) continue;
      if (entry.object != nullptr && entry.object != object) continue;
      snapshot.push_back(entry.observer);
    }
  }
  if (snapshot.empty()) return;
  const Notification notification{name, object, std::move(userInfo)};
  for (const auto& observer : snapshot) {
    if (!observer->active.load(std::memory_order_acquire)) continue;
    observer->handler(notification);
  }
}

}  // namespace platform
