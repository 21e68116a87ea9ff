#include "platform/UserIdentityCache.h"

#include <utility>

namespace platform {

UserIdentityCache::UserIdentityCache(std::chrono::steady_clock::duration lifetime, std::size_t capacity,
                                     Lookup lookup, Now now)
    : lifetime_(lifetime), capacity_(capacity), lookup_(std::move(lookup)), now_(std::move(now)) {}

UserIdentity UserIdentityCache::identity(uid_t uid) {
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(uid);
    if (it != entries_.end() && now_() < it->second.expires) return it->second.identity;
  }
  UserIdentity identity = lookup_(uid);
  const auto expires = now_() + lifetime_;
  std::lock_guard lock(mutex_);
  if (entries_.size() >= capacity_ && !entries_.contains(uid)) {
    // Expired answers go first; if every one is still fresh, all go: a
    // flood of distinct uids costs look-ups, never unbounded memory.
    std::erase_if(entries_, [now = now_()](const auto& entry) { return entry.second.expires <= now; });
    if (entries_.size() >= capacity_) entries_.clear();
  }
  entries_.insert_or_assign(uid, Entry{identity, expires});
  return identity;
}

}  // namespace platform
