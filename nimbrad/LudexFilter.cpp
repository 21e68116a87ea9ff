#include "nimbrad/LudexFilter.h"

#include <algorithm>
#include <mutex>
#include <optional>

#include "platform/Log.h"

namespace nimbra {

namespace {

const platform::Logger& filterLog() {
  static const platform::Logger log("com.corvane.nimbrad", "LudexFilter");
  return log;
}

constexpr std::array<std::string_view, 12> kKnownGameLaunchers = {
    "com.valvesoftware.steam",
    "com.epicgames.EpicGamesLauncher",
    "net.battle.app",
    "net.battle.app.helper",
    "net.battle.app.framework",
    "com.ea.eaapp",
    "com.ea.Origin",
    "com.gog.galaxy",
    "com.gog.galaxy-web-installer",
    "com.riotgames.RiotGames.RiotClient",
    "com.riotgames.RiotGames.RiotClient.helper",
    "com.paradoxinteractive.launcher",
};

using Kind = GameCheckResult::Kind;

}  // namespace

// The state of one event on its way through the filter. It travels with the
// callbacks; the filter itself keeps nothing per event.
struct LudexFilter::Check : std::enable_shared_from_this<LudexFilter::Check> {
  std::shared_ptr<LudexClient> client;
  AnalyticsSender analyticsSender;
  bool knownLauncherFilter = true;
  double timeoutSeconds = kQueryTimeoutSeconds;
  VelmoraEventData event;
  Continuation continuation;
  bool needResponsible = false;

  std::mutex mutex;
  bool responsibleStarted = false;                 // GUARDED_BY(mutex)
  std::optional<GameCheckResult> responsible;      // GUARDED_BY(mutex)
  std::optional<GameCheckResult> waitingProcess;   // GUARDED_BY(mutex): process known, responsible awaited

  // The status when it is known without asking the library (no client, or a
  // definite cache answer); nullopt when the library has to be asked.
  std::optional<GameCheckResult> immediateStatus(const std::string& bundleID) {
    if (!client) {
      filterLog().error("<nimbrad> isGameCheck ERROR - ludexClient is nil!");
      return GameCheckResult::undeterminedGame("ludexClient is nil");
    }
    client->ensureLibrary(event.uid);
    GameCheckResult cached = client->cachedResult(bundleID);
    if (cached.kind() != Kind::undeterminedGame) return cached;
    return std::nullopt;
  }

  template <typename F>
  void status(const std::string& bundleID, F&& done) {
    if (auto now = immediateStatus(bundleID)) {
      done(std::move(*now));
      return;
    }
    client->queryIsGame(bundleID, event.uid, timeoutSeconds, std::forward<F>(done));
  }

  void logGameCheck(std::string_view type, std::string_view bundleID, const GameCheckResult& result) const {
    filterLog().notice("<nimbrad> [GAME_CHECK] type={} bundle={} result={} uid={}", type, bundleID, result.text(),
                       event.uid);
  }

  void start() {
    needResponsible = !isMissingBundleID(event.responsibleBundleID) &&
                      event.responsibleBundleID != event.processBundleID;
    if (isMissingBundleID(event.processBundleID)) {
      onProcess(GameCheckResult::notGame());
      return;
    }
    auto self = shared_from_this();
    if (auto now = immediateStatus(event.processBundleID)) {
      onProcess(std::move(*now));
      return;
    }
    // The process has to be asked: ask about the responsible process at the
    // same time, so that the two time limits overlap.
    if (needResponsible) startResponsible();
    client->queryIsGame(event.processBundleID, event.uid, timeoutSeconds,
                        [self](GameCheckResult result) { self->onProcess(std::move(result)); });
  }

  void startResponsible() {
    {
      std::lock_guard lock(mutex);
      if (responsibleStarted) return;
      responsibleStarted = true;
    }
    auto self = shared_from_this();
    status(event.responsibleBundleID, [self](GameCheckResult result) { self->onResponsible(std::move(result)); });
  }

  void onProcess(GameCheckResult process) {
    logGameCheck("process", event.processBundleID, process);
    if (analyticsSender) analyticsSender(event, process);
    if (process.kind() == Kind::isGame) {
      finalDecision(process, "process");
      return;
    }
    if (!needResponsible) {
      if (isKnownGameLauncher(event.responsibleBundleID)) {
        knownLauncherStep(process);
      } else {
        finalDecision(process, "process");
      }
      return;
    }
    std::optional<GameCheckResult> known;
    {
      std::lock_guard lock(mutex);
      if (responsible) {
        known = responsible;
      } else {
        waitingProcess = process;
      }
    }
    if (known) {
      afterResponsible(process, *known);
      return;
    }
    startResponsible();
  }

  void onResponsible(GameCheckResult result) {
    std::optional<GameCheckResult> process;
    {
      std::lock_guard lock(mutex);
      responsible = result;
      process = std::exchange(waitingProcess, std::nullopt);
    }
    if (process) afterResponsible(*process, result);
  }

  void afterResponsible(const GameCheckResult& process, const GameCheckResult& responsibleResult) {
    logGameCheck("responsible", event.responsibleBundleID, responsibleResult);
    if (responsibleResult.kind() == Kind::isGame) {
      filterLog().debug("<nimbrad: Ludex> Filtering process {} - launched by game: {}", event.processName,
                        event.responsibleBundleID);
      return;
    }
    knownLauncherStep(process);
  }

  void knownLauncherStep(const GameCheckResult& process) {
    if (!knownLauncherFilter) {
      filterLog().debug("<nimbrad: Ludex> Known launcher filter disabled");
      finalDecision(process, "launcherFilterDisabled");
      return;
    }
    if (!isKnownGameLauncher(event.responsibleBundleID)) {
      finalDecision(process, "process+responsible");
      return;
    }
    filterLog().debug("<nimbrad: Ludex> (responsiblePath: {} \n processPath: {} \n targetPath: {}",
                      event.responsiblePath, event.processPath, event.targetPath);
    if (event.responsiblePath == event.processPath || event.responsiblePath == event.targetPath) {
      filterLog().debug("<nimbrad: Ludex> Known game launcher (main process): {}", event.processBundleID);
      finalDecision(process, "fromKnownLauncher");
      return;
    }
    filterLog().debug("<nimbrad: Ludex> Filtering process {} - launched by known game launcher: {}", event.processName,
                      event.responsibleBundleID);
  }

  void finalDecision(const GameCheckResult& result, std::string_view reason) {
    switch (result.kind()) {
      case Kind::isGame:
        filterLog().debug("<nimbrad: Ludex> Filtering out game process: {}", event.processName);
        return;
      case Kind::notGame:
        filterLog().debug("<nimbrad: Ludex> Confirmed NOT a game ({}): Committing to database process: {}", reason,
                          event.processName);
        break;
      case Kind::undeterminedGame:
        filterLog().debug("<nimbrad: Ludex> Unable to determine game status for {}: {} - processing as non-game",
                          event.processName, result.reason());
        break;
    }
    filterLog().debug("<nimbrad: Ludex> Check completed ({}), processing: {}", reason, event.processName);
    // Exactly once: every path reaches at most one final decision.
    if (auto next = std::exchange(continuation, nullptr)) next(std::move(event));
  }
};

LudexFilter::LudexFilter(std::shared_ptr<LudexClient> client, AnalyticsSender analyticsSender,
                         bool enableKnownLauncherFilter, double queryTimeoutSeconds)
    : ludexClient_(std::move(client)),
      analyticsSender_(std::move(analyticsSender)),
      enableKnownLauncherFilter_(enableKnownLauncherFilter),
      queryTimeoutSeconds_(queryTimeoutSeconds) {}

void LudexFilter::filter(VelmoraEventData event, Continuation continueWithEvent) const {
  auto check = std::make_shared<Check>();
  check->client = ludexClient_;
  check->analyticsSender = analyticsSender_;
  check->knownLauncherFilter = enableKnownLauncherFilter_;
  check->timeoutSeconds = queryTimeoutSeconds_;
  check->event = std::move(event);
  check->continuation = std::move(continueWithEvent);
  check->start();
}

bool LudexFilter::isKnownGame(std::string_view bundleID) const {
  if (!ludexClient_ || isMissingBundleID(bundleID)) return false;
  return ludexClient_->cachedResult(bundleID).kind() == Kind::isGame;
}

bool LudexFilter::isKnownGameLauncher(std::string_view bundleID) {
  return std::find(kKnownGameLaunchers.begin(), kKnownGameLaunchers.end(), bundleID) != kKnownGameLaunchers.end();
}

const std::array<std::string_view, 12>& LudexFilter::knownGameLaunchers() { return kKnownGameLaunchers; }

bool LudexFilter::isMissingBundleID(std::string_view bundleID) { return bundleID.empty() || bundleID == "<unknown>"; }

}  // namespace nimbra
