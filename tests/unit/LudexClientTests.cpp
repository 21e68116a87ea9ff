#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "nimbrad/LudexClient.h"
#include "platform/Log.h"
#include "tests/support/FakeLudexLibrary.h"
#include "tests/support/LogCapture.h"

using namespace nimbra;
using namespace std::chrono_literals;
using platform::LXGameLibraryApp;
using platform::LXGameLibraryApps;
using test::FakeLudexLibrary;
using test::FakeLudexLibraryFactory;

namespace {

// Collects every completion of one query, to check that there is exactly one.
struct Completions {
  std::mutex mutex;
  std::vector<GameCheckResult> results;
  std::vector<std::chrono::steady_clock::time_point> times;
  std::promise<void> first;
  std::future<void> firstDone = first.get_future();

  LudexClient::Completion callback() {
    return [this](GameCheckResult r) {
      bool isFirst;
      {
        std::lock_guard lock(mutex);
        results.push_back(std::move(r));
        times.push_back(std::chrono::steady_clock::now());
        isFirst = results.size() == 1;
      }
      // Outside the lock: the waiter may destroy this object as soon as it wakes.
      if (isFirst) first.set_value();
    };
  }
  bool waitFirst(std::chrono::milliseconds bound = 5s) {
    return firstDone.wait_for(bound) == std::future_status::ready;
  }
  std::vector<GameCheckResult> all() {
    std::lock_guard lock(mutex);
    return results;
  }
  std::chrono::steady_clock::time_point firstTime() {
    std::lock_guard lock(mutex);
    return times.front();
  }
};

class LudexClientTest : public ::testing::Test {
 protected:
  // A client whose user 501 reports `apps` (or never answers its first fetch).
  std::unique_ptr<LudexClient> makeClient(LXGameLibraryApps apps, bool waitForInitialBatch = true) {
    library501 = std::make_shared<FakeLudexLibrary>(std::move(apps));
    factory->setLibrary(501, library501);
    auto client = std::make_unique<LudexClient>(factory);
    if (waitForInitialBatch) {
      EXPECT_TRUE(log->waitFor("[LXCACHE:STATS]    Cache now initialized: true", 5s));
    }
    return client;
  }

  // Waits until `count` batches have been processed.
  bool waitBatches(std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (log->count("[LXCACHE:UPDATE] Finished processing") < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  test::LogCapture log;
  std::shared_ptr<FakeLudexLibraryFactory> factory = std::make_shared<FakeLudexLibraryFactory>();
  std::shared_ptr<FakeLudexLibrary> library501;
};

LXGameLibraryApp app(const char* id, bool game) { return LXGameLibraryApp{std::string(id), game}; }

}  // namespace

TEST_F(LudexClientTest, ConstructionSetsUpUser501AndProcessesItsFirstBatch) {
  auto client = makeClient({app("com.a.game", true), app("com.b.tool", false), LXGameLibraryApp{std::nullopt, true}});
  EXPECT_TRUE(client->hasLibrary(501));
  EXPECT_TRUE(client->isCacheInitialized());
  EXPECT_EQ(library501->handlerCount(), 1u);
  EXPECT_EQ(library501->fetchInstalledGamesCalls(), 1u);
  EXPECT_EQ(client->cachedResult("com.a.game"), GameCheckResult::isGame());
  EXPECT_EQ(client->cachedResult("com.b.tool"), GameCheckResult::notGame());
  EXPECT_EQ(client->cachedResult("com.c.other"), GameCheckResult::undeterminedGame("Bundle ID not tracked by Ludex"));
  EXPECT_TRUE(log->contains("[LXCACHE:INIT] LudexClient initializing..."));
  EXPECT_TRUE(log->contains("[LXCACHE:INIT] LudexClient initialization complete"));
  EXPECT_TRUE(log->contains("[LXCACHE:CALLBACK] fetchInstalledGames() returned 3 games for UID 501"));
  EXPECT_TRUE(log->contains("[LXCACHE:STATS]    New apps: 2"));  // the app without identifier is skipped
  EXPECT_TRUE(log->contains("[LXCACHE:STATS]    Total in cache: 2 apps (1 games)"));
  EXPECT_TRUE(log->contains("[LXCACHE:UPDATE] NEW GAME 'com.a.game' (UID 501)"));
  EXPECT_TRUE(log->contains("[LXCACHE:CALLBACK]   [2] (null) - isGame=1"));
}

TEST_F(LudexClientTest, OnlyUsersFrom501To4294967293GetALibrary) {
  auto client = makeClient({});
  struct Case {
    uid_t uid;
    bool accepted;
  } cases[] = {{0, false}, {500, false}, {4294967294u, false}, {4294967295u, false}, {502, true}, {4294967293u, true}};
  for (const auto& c : cases) {
    client->setupLibrary(c.uid);
    EXPECT_EQ(client->hasLibrary(c.uid), c.accepted) << c.uid;
    EXPECT_EQ(factory->calls(c.uid), c.accepted ? 1u : 0u) << c.uid;
    EXPECT_EQ(log->contains(fmt::format("[LXCACHE:INIT] Refusing to create library for invalid UID {}", c.uid)),
              !c.accepted)
        << c.uid;
  }
  // A second set-up and a lazy ensure of an existing user do nothing more.
  client->setupLibrary(502);
  client->ensureLibrary(502);
  EXPECT_EQ(factory->calls(502), 1u);
  EXPECT_TRUE(log->contains("[LXCACHE:INIT] Library for UID 502 already exists, skipping setup"));
  EXPECT_FALSE(log->contains("[LXCACHE:LAZY] Lazy-creating LXGameLibrary for UID 502"));
  client->ensureLibrary(503);
  EXPECT_TRUE(client->hasLibrary(503));
  EXPECT_TRUE(log->contains("[LXCACHE:LAZY] Lazy-creating LXGameLibrary for UID 503"));
}

TEST_F(LudexClientTest, TwoThreadsSettingUpOneUserLeaveExactlyOneLibrary) {
  auto client = makeClient({});
  factory->setRendezvous(2);  // both threads are inside the factory at once
  std::thread a([&] { client->setupLibrary(600); });
  std::thread b([&] { client->setupLibrary(600); });
  a.join();
  b.join();
  factory->setRendezvous(0);

  auto created = factory->created(600);
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(log->count("[LXCACHE:INIT] Library for UID 600 was created by another thread, discarding our instance"),
            1u);
  EXPECT_EQ(log->count("[LXCACHE:INIT] Successfully created LXGameLibrary instance for UID 600"), 1u);
  // Only the surviving instance is registered on and fetched from.
  std::size_t registered = 0, fetched = 0;
  for (const auto& library : created) {
    registered += library->handlerCount();
    fetched += library->fetchInstalledGamesCalls();
  }
  EXPECT_EQ(registered, 1u);
  EXPECT_EQ(fetched, 1u);
}

TEST_F(LudexClientTest, BatchesUpgradeButNeverDowngradeAGame) {
  auto client = makeClient({app("com.x.game", true), app("com.y.tool", false), app("com.z.tool", false)});
  library501->fireChange({app("com.x.game", false), app("com.y.tool", true), app("com.z.tool", false),
                          app("com.w.new", false), app("com.v.new", false), app("com.u.new", true)});
  // The change batch is the one that brings the cache to six apps.
  ASSERT_TRUE(log->waitFor("[LXCACHE:STATS]    Total in cache: 6 apps (3 games)", 5s));
  EXPECT_EQ(client->cachedResult("com.x.game"), GameCheckResult::isGame()) << "protected";
  EXPECT_EQ(client->cachedResult("com.y.tool"), GameCheckResult::isGame()) << "upgraded";
  EXPECT_EQ(client->cachedResult("com.z.tool"), GameCheckResult::notGame());
  EXPECT_TRUE(log->contains("[LXCACHE:CALLBACK] installedGamesDidChangeHandler FIRED for UID 501 - received 6 games"));
  EXPECT_TRUE(log->contains("[LXCACHE:CALLBACK]   ... and 1 more"));
  EXPECT_TRUE(log->contains("[LXCACHE:UPDATE] UPGRADE 'com.y.tool' -> isGame=true (UID 501)"));
  EXPECT_TRUE(log->contains("[LXCACHE:STATS]    New apps: 3"));
  EXPECT_TRUE(log->contains("[LXCACHE:STATS]    Upgraded to game: 1"));
  EXPECT_TRUE(log->contains("[LXCACHE:STATS]    Kept as game (protected): 1"));
  EXPECT_TRUE(log->contains("[LXCACHE:STATS]    Updated non-games: 1"));
  EXPECT_TRUE(log->contains("[LXCACHE:STATS]    Total in cache: 6 apps (3 games)"));

  auto apps = client->allCachedApps();
  EXPECT_EQ(apps.size(), 6u);
  EXPECT_TRUE(log->contains("[LXCACHE:QUERY] Retrieved 6 total apps from unified cache"));
}

TEST_F(LudexClientTest, ADirectAnswerReplacesEvenACachedGame) {
  auto client = makeClient({});
  library501->setApps({app("com.x.app", false)});
  library501->setMode(FakeLudexLibrary::Mode::Held);
  Completions done;
  client->queryIsGame("com.x.app", 501, 10.0, done.callback());
  // While the query is out, a batch reports the app as a game.
  library501->fireChange({app("com.x.app", true)});
  ASSERT_TRUE(waitBatches(2));
  ASSERT_EQ(client->cachedResult("com.x.app"), GameCheckResult::isGame());
  library501->releaseHeld();
  ASSERT_TRUE(done.waitFirst());
  EXPECT_EQ(done.all(), std::vector{GameCheckResult::notGame()});
  EXPECT_EQ(client->cachedResult("com.x.app"), GameCheckResult::notGame());
  EXPECT_TRUE(log->contains("[LXCACHE] Ludex query result for 'com.x.app': isGame=0"));
}

TEST_F(LudexClientTest, QueriesAnswerFromCacheLibraryOrNothing) {
  auto client = makeClient({app("com.cached.game", true)});
  library501->setApps({app("com.cached.game", true), app("com.asked.tool", false)});

  Completions cached, asked, missing, noLibrary;
  client->queryIsGame("com.cached.game", 501, 5.0, cached.callback());
  client->queryIsGame("com.asked.tool", 501, 5.0, asked.callback());
  client->queryIsGame("com.nobody", 501, 5.0, missing.callback());
  client->queryIsGame("com.nobody", 777, 5.0, noLibrary.callback());
  ASSERT_TRUE(cached.waitFirst() && asked.waitFirst() && missing.waitFirst() && noLibrary.waitFirst());

  EXPECT_EQ(cached.all(), std::vector{GameCheckResult::isGame()});
  EXPECT_EQ(asked.all(), std::vector{GameCheckResult::notGame()});
  EXPECT_EQ(missing.all(), std::vector{GameCheckResult::undeterminedGame("Bundle ID not tracked by Ludex")});
  EXPECT_EQ(noLibrary.all(), std::vector{GameCheckResult::undeterminedGame("No library for UID 777")});
  EXPECT_EQ(library501->fetchAppsCalls(), 2u) << "the cached bundle is not asked about";
  EXPECT_TRUE(log->contains("[LXCACHE] Ludex query returned empty for 'com.nobody' (not tracked)"));
  EXPECT_TRUE(log->contains("[LXCACHE] No library for UID 777"));
  EXPECT_FALSE(client->hasLibrary(777)) << "queries do not create libraries";
  // The answer was cached: the next query does not ask again.
  Completions again;
  client->queryIsGame("com.asked.tool", 501, 5.0, again.callback());
  ASSERT_TRUE(again.waitFirst());
  EXPECT_EQ(library501->fetchAppsCalls(), 2u);
}

TEST_F(LudexClientTest, ALibraryThatNeverAnswersCompletesOnceAtTheLimitAndIgnoresTheLateAnswer) {
  auto client = makeClient({});
  library501->setApps({app("com.late.game", true)});
  library501->setMode(FakeLudexLibrary::Mode::Held);

  Completions done;
  auto start = std::chrono::steady_clock::now();
  client->queryIsGame("com.late.game", 501, 0.2, done.callback());
  ASSERT_TRUE(done.waitFirst());
  auto elapsed = done.firstTime() - start;
  EXPECT_GE(elapsed, 195ms);
  EXPECT_LT(elapsed, 2s);
  EXPECT_EQ(done.all(), std::vector{GameCheckResult::undeterminedGame("Query timeout after 0.2s")});
  EXPECT_TRUE(log->contains("[LXCACHE] Query timeout for 'com.late.game' after 0.200000s"));

  // The answer arrives after the limit: no second completion, nothing cached.
  ASSERT_EQ(library501->heldCount(), 1u);
  library501->releaseHeld();
  library501->setMode(FakeLudexLibrary::Mode::Immediate);
  Completions fence;  // a later answer on the same queue proves the late one was handled
  client->queryIsGame("com.other", 501, 5.0, fence.callback());
  ASSERT_TRUE(fence.waitFirst());
  EXPECT_EQ(done.all().size(), 1u);
  EXPECT_EQ(client->cachedResult("com.late.game"), GameCheckResult::undeterminedGame("Bundle ID not tracked by Ludex"));
  EXPECT_FALSE(log->contains("Ludex query result for 'com.late.game'"));
}

TEST_F(LudexClientTest, AnAnswerBeforeTheLimitStopsTheTimer) {
  auto client = makeClient({});
  library501->setApps({app("com.quick", false)});
  library501->setMode(FakeLudexLibrary::Mode::Delayed, 20ms);
  Completions done;
  client->queryIsGame("com.quick", 501, 0.15, done.callback());
  ASSERT_TRUE(done.waitFirst());
  std::this_thread::sleep_for(300ms);  // past the limit: the cancelled timer must stay silent
  EXPECT_EQ(done.all(), std::vector{GameCheckResult::notGame()});
  EXPECT_FALSE(log->contains("Query timeout"));
}

TEST_F(LudexClientTest, CacheReportsUninitialisedUntilTheFirstBatchEvenAfterADirectAnswer) {
  library501 = std::make_shared<FakeLudexLibrary>(LXGameLibraryApps{app("com.q.game", true)});
  library501->setInstalledGamesUnavailable(true);
  factory->setLibrary(501, library501);
  LudexClient client(factory);
  ASSERT_TRUE(log->waitFor("[LXCACHE:CALLBACK] fetchInstalledGames() returned nil for UID 501!", 5s));

  Completions done;
  client.queryIsGame("com.q.game", 501, 5.0, done.callback());
  ASSERT_TRUE(done.waitFirst());
  EXPECT_EQ(done.all(), std::vector{GameCheckResult::isGame()});
  EXPECT_FALSE(client.isCacheInitialized());
  EXPECT_EQ(client.cachedResult("com.q.game"), GameCheckResult::undeterminedGame("Cache not yet initialized"));
  EXPECT_TRUE(log->contains("[LXCACHE] Cache not initialized for 'com.q.game'"));
  EXPECT_EQ(client.allCachedApps().size(), 1u);
}

TEST_F(LudexClientTest, CallbacksAfterTheClientIsGoneDoNothing) {
  Completions done;
  {
    auto client = makeClient({});
    library501->setMode(FakeLudexLibrary::Mode::Held);
    client->queryIsGame("com.gone", 501, 0.1, done.callback());
  }
  // The timer still completes the caller exactly once; the held answer and a
  // change notification find no client.
  ASSERT_TRUE(done.waitFirst());
  library501->releaseHeld();
  library501->fireChange({app("com.gone", true)});
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(done.all().size(), 1u);
  EXPECT_EQ(log->count("installedGamesDidChangeHandler FIRED"), 0u);
}

TEST(LudexClientText, TimeoutReasonWritesSecondsAsADecimalNumber) {
  EXPECT_EQ(LudexClient::timeoutReason(5.0), "Query timeout after 5.0s");
  EXPECT_EQ(LudexClient::timeoutReason(2.5), "Query timeout after 2.5s");
  EXPECT_EQ(LudexClient::timeoutReason(0.05), "Query timeout after 0.05s");
}
