#pragma once

// The installed-games cache. One games library per user, obtained lazily, and
// one cache of every application any library has reported (all users
// together) with its game flag. Answers whether a bundle is a game from the
// cache, or by asking the user's library with a time limit.
//
// A batch from a library (initial fetch, change handler) never turns a cached
// game into a non-game: a game reported by any user stays a game. A direct
// answer to a query is authoritative and replaces the entry.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nimbrad/GameCheckResult.h"
#include "platform/LudexLibrary.h"

namespace nimbra {

class LudexClient {
 public:
  using Completion = std::function<void(GameCheckResult)>;

  // Over the libraries in $STATE_DIRECTORY/ludex; sets up the library of user 501.
  LudexClient();
  // Over `factory` (tests pass a fake); sets up the library of user 501.
  explicit LudexClient(std::shared_ptr<platform::LXGameLibraryFactory> factory);
  LudexClient(const LudexClient&) = delete;
  LudexClient& operator=(const LudexClient&) = delete;
  // Callbacks that arrive later find the client gone and do nothing.
  ~LudexClient();

  // 501 to 4294967293 inclusive: system accounts and the two highest values
  // get no games library.
  static bool isValidUserIdentifier(uid_t uid);

  // Creates, registers and populates the library of `uid` unless it exists
  // or `uid` is invalid. Safe to call from several threads for the same user:
  // exactly one library survives. Any thread.
  void setupLibrary(uid_t uid);

  // Sets up the library of `uid` if it has none. Any thread.
  void ensureLibrary(uid_t uid);

  // The cache's answer only: undetermined before the first batch was
  // processed ("Cache not yet initialized") and for a bundle not in the cache
  // ("Bundle ID not tracked by Ludex"). Any thread.
  GameCheckResult cachedResult(std::string_view bundleID) const;

  // Answers from the cache when it holds the bundle, else asks the library of
  // `uid`. `completion` runs exactly once: at once from the cache or without
  // a library, else with the library's answer or, if that has not come
  // within `timeoutSeconds`, with "Query timeout after <seconds>s"; a late
  // answer is then ignored. It may run on the caller's thread, the library's
  // queue or the timer's queue, never under the client's lock. Any thread.
  void queryIsGame(std::string bundleID, uid_t uid, double timeoutSeconds, Completion completion);

  // Every application in the cache (order unspecified). Any thread.
  std::vector<platform::LXGameLibraryApp> allCachedApps() const;

  // Observers for diagnostics and tests.
  bool hasLibrary(uid_t uid) const;
  bool isCacheInitialized() const;

  // The reason text of a timed-out query, e.g. "Query timeout after 5.0s".
  static std::string timeoutReason(double timeoutSeconds);

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace nimbra
