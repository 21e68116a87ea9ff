#pragma once

// The game and known-launcher filter: launches of games, of processes started
// by games and of helpers started by well-known game launchers are not
// recorded. Every other launch continues to the recording step, including
// those whose game status cannot be determined (no library, not tracked,
// time-out): an unanswered games library never hides a launch.

#include <array>
#include <functional>
#include <memory>
#include <string_view>

#include "nimbrad/GameCheckResult.h"
#include "nimbrad/LudexClient.h"
#include "nimbrad/VelmoraEventData.h"

namespace nimbra {

class LudexFilter {
 public:
  using AnalyticsSender = std::function<void(const VelmoraEventData&, const GameCheckResult&)>;
  using Continuation = std::function<void(VelmoraEventData)>;

  // Time limit of each games-library query.
  static constexpr double kQueryTimeoutSeconds = 5.0;

  // `client` may be null (every status is then undetermined). `analyticsSender`
  // receives each event with the status of its process, once per event.
  LudexFilter(std::shared_ptr<LudexClient> client, AnalyticsSender analyticsSender, bool enableKnownLauncherFilter,
              double queryTimeoutSeconds = kQueryTimeoutSeconds);
  LudexFilter(const LudexFilter&) = delete;
  LudexFilter& operator=(const LudexFilter&) = delete;

  // Calls `continueWithEvent` exactly once if the event is kept, never if it
  // is filtered out. The call may happen before `filter` returns, or later on
  // the games library's queue or the query timer's queue. When both the
  // process and its responsible process have to be asked, both queries run
  // at once, so a library that never answers delays the event by one time
  // limit, not two. Any thread.
  void filter(VelmoraEventData event, Continuation continueWithEvent) const;

  // Cache only: true when the cache says the bundle is a game; false for a
  // missing identifier, an unknown bundle or no client. Any thread.
  bool isKnownGame(std::string_view bundleID) const;

  bool enableKnownLauncherFilter() const { return enableKnownLauncherFilter_; }

  // Exact, case-sensitive membership in the known game launchers.
  static bool isKnownGameLauncher(std::string_view bundleID);
  static const std::array<std::string_view, 12>& knownGameLaunchers();

  // Empty or "<unknown>".
  static bool isMissingBundleID(std::string_view bundleID);

 private:
  struct Check;

  std::shared_ptr<LudexClient> ludexClient_;
  AnalyticsSender analyticsSender_;
  bool enableKnownLauncherFilter_;
  double queryTimeoutSeconds_;
};

}  // namespace nimbra
