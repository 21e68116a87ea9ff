#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "nimbrad/LudexFilter.h"
#include "platform/Log.h"
#include "tests/support/FakeLudexLibrary.h"
#include "tests/support/LogCapture.h"

using namespace nimbra;
using namespace std::chrono_literals;
using platform::LXGameLibraryApp;
using test::FakeLudexLibrary;
using test::FakeLudexLibraryFactory;

namespace {

VelmoraEventData launch(std::string name, std::string bundle, std::string responsibleBundle, std::string path,
                        std::string responsiblePath, std::string targetPath = {}) {
  VelmoraEventData e;
  e.processName = std::move(name);
  e.processBundleID = std::move(bundle);
  e.responsibleBundleID = std::move(responsibleBundle);
  e.processPath = path;
  e.responsiblePath = std::move(responsiblePath);
  e.targetPath = targetPath.empty() ? path : targetPath;
  e.uid = 501;
  return e;
}

// What happened to the events of one filter: which reached the continuation,
// and what the analytics sender was told.
struct Outcome {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> kept;                                   // process names, in order
  std::vector<std::pair<std::string, GameCheckResult>> analytics;  // process name, P

  LudexFilter::Continuation continuation() {
    return [this](VelmoraEventData e) {
      std::lock_guard lock(mutex);
      kept.push_back(e.processName);
      changed.notify_all();
    };
  }
  LudexFilter::AnalyticsSender sender() {
    return [this](const VelmoraEventData& e, const GameCheckResult& r) {
      std::lock_guard lock(mutex);
      analytics.emplace_back(e.processName, r);
    };
  }
  bool waitKept(std::size_t n, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, bound, [&] { return kept.size() >= n; });
  }
  std::size_t keptCount(const std::string& name) {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count(kept.begin(), kept.end(), name));
  }
};

class LudexFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library = std::make_shared<FakeLudexLibrary>(platform::LXGameLibraryApps{
        {"com.studio.game", true},
        {"com.vendor.tool", false},
        {"com.valvesoftware.steam", false},
    });
    factory->setLibrary(501, library);
    client = std::make_shared<LudexClient>(factory);
    ASSERT_TRUE(log->waitFor("Cache now initialized: true", 5s));
  }
  test::LogCapture log;
  std::shared_ptr<FakeLudexLibraryFactory> factory = std::make_shared<FakeLudexLibraryFactory>();
  std::shared_ptr<FakeLudexLibrary> library;
  std::shared_ptr<LudexClient> client;
};

}  // namespace

TEST_F(LudexFilterTest, DropsGamesWhatGamesStartAndLauncherHelpersButKeepsTheRest) {
  const std::string launcherPath = "/Applications/Launcher.app/Contents/MacOS/launcher";
  struct Case {
    const char* what;
    VelmoraEventData event;
    bool launcherFilter;
    bool kept;
    const char* line;  // the deciding log line
  } cases[] = {
      {"cached game", launch("Game", "com.studio.game", "com.host.unasked", "/g", "/t"), true, false,
       "<nimbrad: Ludex> Filtering out game process: Game"},
      {"tool started by a game", launch("Tool1", "com.vendor.tool", "com.studio.game", "/t", "/g"), true, false,
       "<nimbrad: Ludex> Filtering process Tool1 - launched by game: com.studio.game"},
      {"helper of a known launcher", launch("Helper", "com.vendor.tool", "com.valvesoftware.steam", "/h", launcherPath),
       true, false,
       "<nimbrad: Ludex> Filtering process Helper - launched by known game launcher: com.valvesoftware.steam"},
      {"the launcher itself",
       launch("Launcher", "com.valvesoftware.steam", "com.valvesoftware.steam", launcherPath, launcherPath), true, true,
       "<nimbrad: Ludex> Check completed (fromKnownLauncher), processing: Launcher"},
      {"launcher running its target",
       launch("Boot", "com.vendor.tool", "com.valvesoftware.steam", "/b", launcherPath, launcherPath), true, true,
       "<nimbrad: Ludex> Check completed (fromKnownLauncher), processing: Boot"},
      {"helper with the launcher filter off",
       launch("Helper2", "com.vendor.tool", "com.valvesoftware.steam", "/h", launcherPath), false, true,
       "<nimbrad: Ludex> Check completed (launcherFilterDisabled), processing: Helper2"},
      {"unknown process bundle", launch("Anon", "<unknown>", "com.vendor.tool", "/a", "/t"), true, true,
       "<nimbrad: Ludex> Confirmed NOT a game (process+responsible): Committing to database process: Anon"},
      {"launcher name in another case", launch("Helper3", "com.vendor.tool", "com.ValveSoftware.Steam", "/h", "/S"),
       true, true, "<nimbrad: Ludex> Check completed (process+responsible), processing: Helper3"},
      {"no responsible bundle", launch("Tool2", "com.vendor.tool", "", "/t", "/t"), true, true,
       "<nimbrad: Ludex> Check completed (process), processing: Tool2"},
      {"responsible is the process", launch("Tool3", "com.vendor.tool", "com.vendor.tool", "/t", "/t"), true, true,
       "<nimbrad: Ludex> Check completed (process), processing: Tool3"},
  };
  for (auto& c : cases) {
    Outcome outcome;
    LudexFilter filter(client, outcome.sender(), c.launcherFilter);
    filter.filter(c.event, outcome.continuation());
    ASSERT_TRUE(log->waitFor(c.line, 2s)) << c.what;
    if (c.kept) {
      ASSERT_TRUE(outcome.waitKept(1, 2s)) << c.what;
    }
    std::this_thread::sleep_for(20ms);  // nothing else may follow
    EXPECT_EQ(outcome.keptCount(c.event.processName), c.kept ? 1u : 0u) << c.what;
    std::lock_guard lock(outcome.mutex);
    ASSERT_EQ(outcome.analytics.size(), 1u) << c.what << ": one analytics call per event";
  }
  EXPECT_TRUE(log->contains("<nimbrad> [GAME_CHECK] type=process bundle=<unknown> result=notGame uid=501"));
  EXPECT_TRUE(log->contains("<nimbrad> [GAME_CHECK] type=responsible bundle=com.studio.game result=isGame uid=501"));
  EXPECT_TRUE(log->contains("<nimbrad: Ludex> Known launcher filter disabled"));
  EXPECT_TRUE(log->contains("<nimbrad: Ludex> Known game launcher (main process): com.valvesoftware.steam"));
  // A cached game is decided without looking at its responsible process.
  EXPECT_FALSE(log->contains("com.host.unasked"));
}

TEST_F(LudexFilterTest, UndeterminedStatusesAreRecordedAsNonGames) {
  Outcome outcome;
  LudexFilter withoutClient(nullptr, outcome.sender(), true);
  withoutClient.filter(launch("Lonely", "com.vendor.tool", "com.x.host", "/l", "/x"), outcome.continuation());
  ASSERT_TRUE(outcome.waitKept(1, 2s));
  EXPECT_TRUE(log->contains("<nimbrad> isGameCheck ERROR - ludexClient is nil!"));
  EXPECT_TRUE(log->contains(
      "<nimbrad: Ludex> Unable to determine game status for Lonely: ludexClient is nil - processing as non-game"));

  // Untracked by the library: asked, then recorded.
  LudexFilter filter(client, outcome.sender(), true);
  filter.filter(launch("Fresh", "com.new.app", "", "/f", "/f"), outcome.continuation());
  ASSERT_TRUE(outcome.waitKept(2, 2s));
  EXPECT_TRUE(
      log->contains("[GAME_CHECK] type=process bundle=com.new.app "
                    "result=undeterminedGame(reason: Bundle ID not tracked by Ludex) uid=501"));
  std::lock_guard lock(outcome.mutex);
  ASSERT_EQ(outcome.analytics.size(), 2u);
  EXPECT_EQ(outcome.analytics[1].second, GameCheckResult::undeterminedGame("Bundle ID not tracked by Ludex"));
}

TEST_F(LudexFilterTest, ASilentLibraryDelaysTheEventByOneTimeLimitNotTwo) {
  library->setMode(FakeLudexLibrary::Mode::Held);
  Outcome outcome;
  const double limit = 0.3;
  LudexFilter filter(client, outcome.sender(), true, limit);
  auto start = std::chrono::steady_clock::now();
  // Neither bundle is cached, so both the process and its responsible
  // process have to be asked.
  filter.filter(launch("Slow", "com.unknown.one", "com.unknown.two", "/s", "/r"), outcome.continuation());
  ASSERT_TRUE(outcome.waitKept(1, 5s));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 290ms);
  EXPECT_LT(elapsed, 550ms) << "the two time limits must overlap";
  EXPECT_TRUE(
      log->contains("[GAME_CHECK] type=process bundle=com.unknown.one "
                    "result=undeterminedGame(reason: Query timeout after 0.3s) uid=501"));
  EXPECT_TRUE(
      log->contains("[GAME_CHECK] type=responsible bundle=com.unknown.two "
                    "result=undeterminedGame(reason: Query timeout after 0.3s) uid=501"));
  // The answers arrive late: the event is not recorded a second time.
  library->releaseHeld();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(outcome.keptCount("Slow"), 1u);
}

TEST_F(LudexFilterTest, AGameAnsweredByTheLibraryIsDroppedWhateverTheResponsibleAnswer) {
  library->setApps({{"com.asked.game", true}, {"com.asked.host", false}});
  library->setMode(FakeLudexLibrary::Mode::Delayed, 30ms);
  Outcome outcome;
  LudexFilter filter(client, outcome.sender(), true);
  filter.filter(launch("Asked", "com.asked.game", "com.asked.host", "/a", "/h"), outcome.continuation());
  ASSERT_TRUE(log->waitFor("<nimbrad: Ludex> Filtering out game process: Asked", 2s));
  std::this_thread::sleep_for(80ms);
  EXPECT_EQ(outcome.keptCount("Asked"), 0u);
  EXPECT_FALSE(log->contains("type=responsible bundle=com.asked.host"));
  std::lock_guard lock(outcome.mutex);
  ASSERT_EQ(outcome.analytics.size(), 1u);
  EXPECT_EQ(outcome.analytics[0].second, GameCheckResult::isGame());
}

TEST_F(LudexFilterTest, ManyConcurrentEventsEachReachTheirContinuationOnce) {
  library->setMode(FakeLudexLibrary::Mode::Delayed, 1ms);
  Outcome outcome;
  LudexFilter filter(client, outcome.sender(), true);
  const int perThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) {
        auto name = fmt::format("P{}-{}", t, i);
        filter.filter(launch(name, fmt::format("com.many.{}", i % 17), fmt::format("com.host.{}", i % 5), "/p", "/r"),
                      outcome.continuation());
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(outcome.waitKept(4 * perThread, 10s));
  std::this_thread::sleep_for(20ms);
  std::lock_guard lock(outcome.mutex);
  EXPECT_EQ(outcome.kept.size(), 4u * perThread);
  std::set<std::string> unique(outcome.kept.begin(), outcome.kept.end());
  EXPECT_EQ(unique.size(), outcome.kept.size());
}

TEST_F(LudexFilterTest, KnownGamesAndLaunchersAreExactCacheOnlyAnswers) {
  LudexFilter filter(client, nullptr, true);
  EXPECT_TRUE(filter.isKnownGame("com.studio.game"));
  EXPECT_FALSE(filter.isKnownGame("com.vendor.tool"));
  EXPECT_FALSE(filter.isKnownGame("com.never.seen"));
  EXPECT_FALSE(filter.isKnownGame("<unknown>"));
  EXPECT_FALSE(filter.isKnownGame(""));
  EXPECT_EQ(library->fetchAppsCalls(), 0u) << "cache only";
  EXPECT_FALSE(LudexFilter(nullptr, nullptr, true).isKnownGame("com.studio.game"));

  EXPECT_EQ(LudexFilter::knownGameLaunchers().size(), 12u);
  EXPECT_TRUE(LudexFilter::isKnownGameLauncher("com.gog.galaxy-web-installer"));
  EXPECT_TRUE(LudexFilter::isKnownGameLauncher("net.battle.app.helper"));
  EXPECT_FALSE(LudexFilter::isKnownGameLauncher("com.epicgames.epicgameslauncher"));
  EXPECT_FALSE(LudexFilter::isKnownGameLauncher("com.valvesoftware.steam.helper"));
  EXPECT_FALSE(LudexFilter::isKnownGameLauncher(""));
}
