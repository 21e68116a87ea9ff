#pragma once

// Users' identities (uid and groups) as the user database gives them,
// remembered for a short while. The intake needs the identity of the
// launch's user twice per event, and a look-up costs tens of microseconds
// (more for a uid the database does not know, and a remote database may be
// slower still), which would dominate the cost of an event. A change of a
// user's groups is seen once the remembered answer has expired.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "platform/UserIdentity.h"

namespace platform {

class UserIdentityCache {
 public:
  using Lookup = std::function<UserIdentity(uid_t)>;
  using Now = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr std::chrono::seconds kDefaultLifetime{5};
  static constexpr std::size_t kDefaultCapacity = 4096;

  // `lookup` answers for a uid (the user database by default); an answer is
  // reused for `lifetime`. At most `capacity` answers are kept.
  explicit UserIdentityCache(std::chrono::steady_clock::duration lifetime = kDefaultLifetime,
                             std::size_t capacity = kDefaultCapacity, Lookup lookup = UserIdentity::ofUser,
                             Now now = std::chrono::steady_clock::now);
  UserIdentityCache(const UserIdentityCache&) = delete;
  UserIdentityCache& operator=(const UserIdentityCache&) = delete;

  // The identity of `uid`: remembered, or looked up now (without the lock
  // held, so one slow look-up does not hold up the others). Any thread.
  UserIdentity identity(uid_t uid);

 private:
  struct Entry {
    UserIdentity identity;
    std::chrono::steady_clock::time_point expires;
  };
  const std::chrono::steady_clock::duration lifetime_;
  const std::size_t capacity_;
  const Lookup lookup_;
  const Now now_;
  std::mutex mutex_;
  std::unordered_map<uid_t, Entry> entries_;  // GUARDED_BY(mutex_)
};

}  // namespace platform
