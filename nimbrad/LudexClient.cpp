#include "nimbrad/LudexClient.h"

#include <cmath>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/Dispatch.h"
#include "platform/Log.h"

namespace nimbra {

namespace {

using platform::LXGameLibrary;
using platform::LXGameLibraryApp;
using platform::LXGameLibraryApps;

constexpr uid_t kInitialUser = 501;

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

std::string_view shownBundle(const LXGameLibraryApp& app) {
  return app.bundleID ? std::string_view(*app.bundleID) : std::string_view("(null)");
}

// Bounded conversion: a time limit beyond a day, negative or not a number
// is clamped rather than overflowing the timer.
std::chrono::nanoseconds timeoutDuration(double seconds) {
  if (!(seconds > 0)) return std::chrono::nanoseconds(0);
  constexpr double kMaxSeconds = 86400.0;
  return std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(seconds, kMaxSeconds) * 1e9));
}

// Exactly one of the timer and the library's answer takes the completion.
struct QueryGuard {
  std::mutex mutex;
  LudexClient::Completion completion;              // GUARDED_BY(mutex); empty once done
  std::unique_ptr<platform::DispatchTimer> timer;  // GUARDED_BY(mutex)

  // The completion if the query was still open, and the timer to release.
  // The timer is handed out so that it is destroyed outside the lock.
  std::pair<LudexClient::Completion, std::unique_ptr<platform::DispatchTimer>> finish() {
    std::lock_guard lock(mutex);
    return {std::exchange(completion, nullptr), std::move(timer)};
  }
};

}  // namespace

struct LudexClient::Core {
  std::shared_ptr<platform::LXGameLibraryFactory> factory;
  platform::Logger logger{"com.corvane.nimbrad", "LudexClient"};

  mutable std::mutex lock;
  std::unordered_map<uid_t, std::shared_ptr<LXGameLibrary>> perUserLibraries;                   // GUARDED_BY(lock)
  std::unordered_map<std::string, LXGameLibraryApp, StringHash, std::equal_to<>> unifiedCache;  // GUARDED_BY(lock)
  bool cacheInitialized = false;                                                                // GUARDED_BY(lock)

  void logSample(const LXGameLibraryApps& apps) const {
    std::size_t shown = std::min<std::size_t>(apps.size(), 5);
    for (std::size_t i = 0; i < shown; ++i) {
      logger.info("[LXCACHE:CALLBACK]   [{}] {} - isGame={}", i, shownBundle(apps[i]), int(apps[i].isGame));
    }
    if (apps.size() > 5) logger.info("[LXCACHE:CALLBACK]   ... and {} more", apps.size() - 5);
  }

  void updateCache(const LXGameLibraryApps& apps, uid_t uid) {
    logger.info("[LXCACHE:UPDATE] Processing {} apps from Ludex for UID {}", apps.size(), uid);
    long added = 0, upgraded = 0, kept = 0, updated = 0, total = 0, games = 0;
    {
      std::lock_guard guard(lock);
      for (const auto& app : apps) {
        if (!app.bundleID) continue;
        auto it = unifiedCache.find(*app.bundleID);
        if (it != unifiedCache.end()) {
          if (it->second.isGame) {
            ++kept;
          } else if (app.isGame) {
            it->second = app;
            ++upgraded;
            logger.debug("[LXCACHE:UPDATE] UPGRADE '{}' -> isGame=true (UID {})", *app.bundleID, uid);
          } else {
            it->second = app;
            ++updated;
          }
        } else {
          unifiedCache.emplace(*app.bundleID, app);
          ++added;
          if (app.isGame) logger.debug("[LXCACHE:UPDATE] NEW GAME '{}' (UID {})", *app.bundleID, uid);
        }
      }
      cacheInitialized = true;
      total = static_cast<long>(unifiedCache.size());
      for (const auto& [id, app] : unifiedCache) games += app.isGame ? 1 : 0;
    }
    logger.info("[LXCACHE:UPDATE] Finished processing for UID {}", uid);
    logger.info("[LXCACHE:STATS]    New apps: {}", added);
    logger.info("[LXCACHE:STATS]    Upgraded to game: {}", upgraded);
    logger.info("[LXCACHE:STATS]    Kept as game (protected): {}", kept);
    logger.info("[LXCACHE:STATS]    Updated non-games: {}", updated);
    logger.info("[LXCACHE:STATS]    Total in cache: {} apps ({} games)", total, games);
    logger.info("[LXCACHE:STATS]    Cache now initialized: true");
  }

  static void changeHandler(const std::weak_ptr<Core>& weak, uid_t uid, const LXGameLibraryApps& apps) {
    auto core = weak.lock();
    if (!core) return;
    core->logger.info("[LXCACHE:CALLBACK] installedGamesDidChangeHandler FIRED for UID {} - received {} games", uid,
                      apps.size());
    core->logger.info("[LXCACHE:CALLBACK] Sample of games received for UID {}:", uid);
    core->logSample(apps);
    core->updateCache(apps, uid);
  }

  static void fetchCompletion(const std::weak_ptr<Core>& weak, uid_t uid,
                              const std::optional<LXGameLibraryApps>& apps) {
    auto core = weak.lock();
    if (!core) return;
    core->logger.info("[LXCACHE:CALLBACK] fetchInstalledGames() callback FIRED for UID {}", uid);
    if (!apps) {
      core->logger.error("[LXCACHE:CALLBACK] fetchInstalledGames() returned nil for UID {}!", uid);
      return;
    }
    core->logger.info("[LXCACHE:CALLBACK] fetchInstalledGames() returned {} games for UID {}", apps->size(), uid);
    core->logger.info("[LXCACHE:CALLBACK] Sample from fetchInstalledGames for UID {}:", uid);
    core->logSample(*apps);
    core->updateCache(*apps, uid);
  }
};

LudexClient::LudexClient() : LudexClient(platform::LudexFileLibraryFactory::shared()) {}

LudexClient::LudexClient(std::shared_ptr<platform::LXGameLibraryFactory> factory) : core_(std::make_shared<Core>()) {
  core_->factory = std::move(factory);
  core_->logger.info("[LXCACHE:INIT] LudexClient initializing...");
  setupLibrary(kInitialUser);
  core_->logger.info("[LXCACHE:INIT] LudexClient initialization complete");
}

LudexClient::~LudexClient() = default;

bool LudexClient::isValidUserIdentifier(uid_t uid) { return uid >= 501 && uid <= 4294967293u; }

void LudexClient::setupLibrary(uid_t uid) {
  auto& core = *core_;
  if (!isValidUserIdentifier(uid)) {
    core.logger.error("[LXCACHE:INIT] Refusing to create library for invalid UID {}", uid);
    return;
  }
  {
    std::lock_guard guard(core.lock);
    if (core.perUserLibraries.contains(uid)) {
      core.logger.info("[LXCACHE:INIT] Library for UID {} already exists, skipping setup", uid);
      return;
    }
  }
  core.logger.info("[LXCACHE:INIT] Creating LXGameLibrary instance for UID {}", uid);
  // Obtained outside the lock: the platform may take its time.
  std::shared_ptr<LXGameLibrary> library = core.factory ? core.factory->libraryForUserIdentifier(uid) : nullptr;
  if (!library) {
    core.logger.error("[LXCACHE:INIT] No LXGameLibrary instance for UID {}", uid);
    return;
  }
  {
    std::lock_guard guard(core.lock);
    if (!core.perUserLibraries.emplace(uid, library).second) {
      core.logger.info("[LXCACHE:INIT] Library for UID {} was created by another thread, discarding our instance", uid);
      return;
    }
  }
  core.logger.info("[LXCACHE:INIT] Successfully created LXGameLibrary instance for UID {}", uid);
  core.logger.info("[LXCACHE:INIT] Registering installedGamesDidChangeHandler...");
  std::weak_ptr<Core> weak = core_;
  library->registerInstalledGamesDidChangeHandler(
      [weak, uid](LXGameLibraryApps apps) { Core::changeHandler(weak, uid, apps); });
  core.logger.info("[LXCACHE:INIT] Handler registered successfully for UID {}", uid);
  core.logger.info("[LXCACHE:INIT] Calling fetchInstalledGames() to populate initial cache...");
  library->fetchInstalledGames(
      [weak, uid](std::optional<LXGameLibraryApps> apps) { Core::fetchCompletion(weak, uid, apps); });
  core.logger.info("[LXCACHE:INIT] fetchInstalledGames() call initiated for UID {}", uid);
}

void LudexClient::ensureLibrary(uid_t uid) {
  {
    std::lock_guard guard(core_->lock);
    if (core_->perUserLibraries.contains(uid)) return;
  }
  core_->logger.info("[LXCACHE:LAZY] Lazy-creating LXGameLibrary for UID {}", uid);
  setupLibrary(uid);
}

GameCheckResult LudexClient::cachedResult(std::string_view bundleID) const {
  auto& core = *core_;
  std::unique_lock guard(core.lock);
  if (!core.cacheInitialized) {
    guard.unlock();
    core.logger.error("[LXCACHE] Cache not initialized for '{}'", bundleID);
    return GameCheckResult::undeterminedGame("Cache not yet initialized");
  }
  auto it = core.unifiedCache.find(bundleID);
  if (it == core.unifiedCache.end()) return GameCheckResult::undeterminedGame("Bundle ID not tracked by Ludex");
  return GameCheckResult::fromFlag(it->second.isGame);
}

std::string LudexClient::timeoutReason(double timeoutSeconds) {
  // The shortest text that reads back as the same number, always with a
  // fractional part or exponent: 5 -> "5.0", 2.5 -> "2.5".
  std::string number = fmt::format("{}", timeoutSeconds);
  if (number.find_first_of(".eEn") == std::string::npos) number += ".0";
  return "Query timeout after " + number + "s";
}

void LudexClient::queryIsGame(std::string bundleID, uid_t uid, double timeoutSeconds, Completion completion) {
  auto& core = *core_;
  std::shared_ptr<LXGameLibrary> library;
  {
    std::unique_lock guard(core.lock);
    auto it = core.unifiedCache.find(bundleID);
    if (it != core.unifiedCache.end()) {
      bool game = it->second.isGame;
      guard.unlock();
      completion(GameCheckResult::fromFlag(game));
      return;
    }
    auto lib = core.perUserLibraries.find(uid);
    if (lib != core.perUserLibraries.end()) library = lib->second;
  }
  if (!library) {
    core.logger.error("[LXCACHE] No library for UID {}", uid);
    completion(GameCheckResult::undeterminedGame(fmt::format("No library for UID {}", uid)));
    return;
  }

  auto queryGuard = std::make_shared<QueryGuard>();
  queryGuard->completion = std::move(completion);
  std::weak_ptr<Core> weak = core_;

  auto timer = std::make_unique<platform::DispatchTimer>(
      platform::DispatchQueue::global(platform::QoS::Default), [queryGuard, weak, bundleID, timeoutSeconds] {
        auto [pending, ownTimer] = queryGuard->finish();
        if (!pending) return;
        if (auto core = weak.lock()) {
          core->logger.error("[LXCACHE] Query timeout for '{}' after {:f}s", bundleID, timeoutSeconds);
        }
        pending(GameCheckResult::undeterminedGame(timeoutReason(timeoutSeconds)));
        if (ownTimer) ownTimer->cancel();
      });
  {
    std::lock_guard lock(queryGuard->mutex);
    queryGuard->timer = std::move(timer);
    queryGuard->timer->schedule(timeoutDuration(timeoutSeconds), std::chrono::nanoseconds(0));
  }

  library->fetchApps({bundleID}, [queryGuard, weak, bundleID](LXGameLibraryApps apps) {
    auto core = weak.lock();
    if (!core) return;
    auto [pending, ownTimer] = queryGuard->finish();
    if (!pending) return;
    if (ownTimer) ownTimer->cancel();
    ownTimer.reset();
    if (apps.empty()) {
      core->logger.info("[LXCACHE] Ludex query returned empty for '{}' (not tracked)", bundleID);
      pending(GameCheckResult::undeterminedGame("Bundle ID not tracked by Ludex"));
      return;
    }
    LXGameLibraryApp first = apps.front();
    {
      std::lock_guard guard(core->lock);
      core->unifiedCache.insert_or_assign(bundleID, first);
    }
    core->logger.info("[LXCACHE] Ludex query result for '{}': isGame={}", bundleID, int(first.isGame));
    pending(GameCheckResult::fromFlag(first.isGame));
  });
}

std::vector<platform::LXGameLibraryApp> LudexClient::allCachedApps() const {
  std::vector<LXGameLibraryApp> apps;
  {
    std::lock_guard guard(core_->lock);
    apps.reserve(core_->unifiedCache.size());
    for (const auto& [id, app] : core_->unifiedCache) apps.push_back(app);
  }
  core_->logger.info("[LXCACHE:QUERY] Retrieved {} total apps from unified cache", apps.size());
  return apps;
}

bool LudexClient::hasLibrary(uid_t uid) const {
  std::lock_guard guard(core_->lock);
  return core_->perUserLibraries.contains(uid);
}

bool LudexClient::isCacheInitialized() const {
  std::lock_guard guard(core_->lock);
  return core_->cacheInitialized;
}

}  // namespace nimbra
