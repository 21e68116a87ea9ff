#pragma once

// The default notification center: an in-process registry of observers keyed
// by notification name and (optionally) object. Posting delivers synchronously
// on the posting thread, to a snapshot of the observers; no lock is held while
// an observer runs, so observers may post, add or remove observers.

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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
  // Returns the token to remove it with; an empty handler is not registered
  // and gives the empty token. Any thread.
  ObserverToken addObserver(std::string name, const void* object, Handler handler);
  // After this returns the handler is not called again, except by a post that
  // had already taken its snapshot on another thread and already started to
  // call it. The empty or an unknown token is ignored. Any thread, including
  // from inside a handler.
  void removeObserver(ObserverToken token);
  // Calls, on this thread, every observer of `name` whose object matches, in
  // registration order; observers added during the post are not called.
  void post(const std::string& name, const void* object, UserInfo userInfo = {});

 private:
  // Shared between the registry and the snapshots of posts in flight, so that
  // a removal is seen by a post that has not yet reached the observer.
  struct Observer {
    Handler handler;
    std::atomic<bool> active{true};
  };
  struct Entry {
    ObserverToken token;
    std::string name;
    const void* object;
    std::shared_ptr<Observer> observer;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;  // GUARDED_BY(mutex_)
  std::uint64_t nextId_ = 1;    // GUARDED_BY(mutex_)
};

}  // namespace platform
