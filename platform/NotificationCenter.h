#pragma once

// The default notification center: an in-process registry of observers keyed
// by notification name and (optionally) object. Posting delivers synchronously
// on the posting thread, to a snapshot of the observers; no lock is held while
// an observer runs, so observers may post, add or remove observers.

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

using UserInfo = std::map<std::string, std::any>;

struct Notification {
  std::string name;
  const void* object = nullptr;
  UserInfo userInfo;
  // "name = <name>; object = <address or nil>; userInfo keys = [...]" for logs.
  std::string description() const;
};

struct ObserverToken {
  std::uint64_t id = 0;
  bool operator==(const ObserverToken&) const = default;
  explicit operator bool() const { return id != 0; }
};

class NotificationCenter {
 public:
  using Handler = std::function<void(const Notification&)>;

  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  static NotificationCenter& defaultCenter();

  // Observes `name` posted with `object` (nullptr: posted with any object).
  ObserverToken addObserver(std::string name, const void* object, Handler handler);
  // After this returns the handler is not called again, except by a post that
  // had already taken its snapshot on another thread.
  void removeObserver(ObserverToken token);
  void post(const std::string& name, const void* object, UserInfo userInfo = {});

 private:
  struct Entry {
    ObserverToken token;
    std::string name;
    const void* object;
    std::shared_ptr<Handler> handler;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::uint64_t nextId_ = 1;
};

}  // namespace platform
