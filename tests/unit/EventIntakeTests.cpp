#include <gtest/gtest.h>

#include "nimbrad/Nimbrad.h"
#include "tests/support/DaemonEnvironment.h"
#include "tests/support/FakeLudexLibrary.h"
#include "tests/support/LaunchEvents.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RecordingAnalyticsService.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kScheduled = "<nimbrad> Scheduling notification check for uid: 501 in 2 seconds";

struct Intake {
  test::LogCapture capture;
  test::TempDirectory root;
  std::shared_ptr<test::FakeLudexLibraryFactory> libraries = std::make_shared<test::FakeLudexLibraryFactory>();
  std::shared_ptr<test::FakeLudexLibrary> library501 = std::make_shared<test::FakeLudexLibrary>();
  std::shared_ptr<test::RecordingAnalyticsService> analytics = std::make_shared<test::RecordingAnalyticsService>();
  std::shared_ptr<Nimbrad> daemon;

  explicit Intake(bool gameFilter, double ludexTimeout = 5.0) {
    libraries->setLibrary(501, library501);
    Nimbrad::Environment environment = test::daemonEnvironment(root.path());
    environment.gameLibraries = libraries;
    environment.analytics = analytics;
    environment.coordinators = [](auto&&...) { return nullptr; };
    environment.ludexQueryTimeoutSeconds = ludexTimeout;
    daemon = Nimbrad::create(std::move(environment));
    daemon->processListDataStore()->loadDatabase();
    daemon->processListDataStore()->enableGameFilter = gameFilter;
  }

  Value send(const VelmoraEventData& event) { return daemon->handleVelmoraEvent(event.toMessage()); }

  std::int64_t rows(const std::string& where = "1") {
    daemon->waitForPendingWrites();
    return daemon->processListDataStore()->executeFetchSingleIntQuery(
        nullptr, "SELECT COUNT(*) FROM velmora_process_list_table WHERE " + where);
  }
};

VelmoraEventData at(const std::string& timestamp, const std::string& path = "/Applications/Sample.app/Contents/MacOS/Sample") {
  return test::sampleEvent(path, 501, timestamp);
}

}  // namespace

TEST(EventIntake, RepeatsWithinFiveSecondsScheduleNoSecondCheck) {
  Intake intake(false);
  intake.send(at("2026-12-01 10:00:00"));
  intake.send(at("2026-12-01 10:00:03"));  // 3 s later: a duplicate
  intake.send(at("2026-12-01 10:00:09"));  // 6 s after the last: new again
  intake.send(at("2026-12-01 10:00:08"));  // earlier than the last: a duplicate
  EXPECT_EQ(intake.capture->count(kScheduled), 2u);
  EXPECT_EQ(intake.capture->count("<nimbrad> shouldNotify check: 0 for com.example.sample"), 2u);
  EXPECT_EQ(intake.capture->count("<nimbrad: Ludex> Game filter disabled, processing all apps"), 4u);
  // Every launch is still recorded: one row counting four launches.
  EXPECT_EQ(intake.rows(), 1);
  EXPECT_EQ(intake.daemon->processListDataStore()->executeFetchSingleIntQuery(
                nullptr, "SELECT number_of_times_launched FROM velmora_process_list_table"),
            4);
}

TEST(EventIntake, ExcludedEventsLeaveNoRowAndDoNotBecomeTheLastEntry) {
  Intake intake(false);
  intake.send(at("2026-12-01 10:00:00"));
  auto excluded = at("2026-12-01 10:00:01", "/Applications/Other.app/Contents/MacOS/Other");
  excluded.processBundleID = "com.example.other";
  excluded.responsibleDeveloperName = "CodeWeavers Inc.";  // the built-in exclusion rule
  intake.send(excluded);
  EXPECT_TRUE(intake.capture->contains("<nimbrad> registerDatabaseEntry: Process excluded, skip adding"));
  // Had the excluded event become the last entry, this would count as new.
  intake.send(at("2026-12-01 10:00:03"));
  EXPECT_EQ(intake.capture->count(kScheduled), 1u);
  EXPECT_EQ(intake.rows(), 1);
  EXPECT_EQ(intake.rows("process_bundle_id = 'com.example.other'"), 0);
}

TEST(EventIntake, UnknownBundleIdentifiersAreRecordedButNeverScheduleAndStillBecomeTheLastEntry) {
  Intake intake(false);
  auto unknown = at("2026-12-01 10:00:00");
  unknown.processBundleID = "<unknown>";
  intake.send(unknown);
  EXPECT_EQ(intake.capture->count("Scheduling notification check"), 0u);
  EXPECT_EQ(intake.rows(), 1);
  // The same identity with its identifier now known is a different process key.
  auto known = at("2026-12-01 10:00:01");
  intake.send(known);
  EXPECT_EQ(intake.capture->count(kScheduled), 1u);
}

TEST(EventIntake, FirstLaunchesOfAnIdentitySendTheFallbackDescriptorEvent) {
  Intake intake(false);
  intake.send(at("2026-12-01 10:00:00"));
  intake.send(at("2026-12-01 10:00:30"));
  auto other = at("2026-12-01 10:01:00", "/Applications/Other.app/Contents/MacOS/Other");
  other.processBundleID = other.responsibleBundleID = other.targetBundleID = "com.example.other";
  intake.send(other);
  intake.daemon->waitForPendingWrites();
  std::vector<std::string> names;
  for (const auto& event : intake.analytics->events()) {
    if (event.name == "com.corvane.nimbra.velmora-fallback-descriptor") {
      names.push_back(*event.payload.at("ProcessBundleIdentifier").asString());
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"com.example.sample", "com.example.other"}));
}

TEST(EventIntake, GamesAndWhatTheyStartAreDroppedWhileTheLauncherItselfIsKept) {
  Intake intake(true);
  intake.library501->setApps({{std::string("com.example.game"), true}, {std::string("com.example.sample"), false}});
  auto game = at("2026-12-01 10:00:00", "/Applications/Game.app/Contents/MacOS/Game");
  game.processBundleID = game.responsibleBundleID = "com.example.game";
  auto startedByGame = at("2026-12-01 10:00:01", "/usr/local/bin/helper-tool");
  startedByGame.processBundleID = "com.example.tool";
  startedByGame.responsibleBundleID = "com.example.game";
  startedByGame.responsiblePath = "/Applications/Game.app/Contents/MacOS/Game";
  auto launcherHelper = at("2026-12-01 10:00:02", "/Applications/Launcher.app/Contents/MacOS/helper");
  launcherHelper.processBundleID = "com.example.helper";
  launcherHelper.responsibleBundleID = "com.valvesoftware.steam";
  launcherHelper.responsiblePath = "/Applications/Launcher.app/Contents/MacOS/launcher";
  auto launcher = at("2026-12-01 10:00:03", "/Applications/Launcher.app/Contents/MacOS/launcher");
  launcher.processBundleID = launcher.responsibleBundleID = "com.valvesoftware.steam";

  for (const auto& event : {game, startedByGame, launcherHelper, launcher}) {
    EXPECT_EQ(intake.send(event), Value(Dictionary{{"result", Value(0)}}));
  }
  ASSERT_TRUE(intake.capture.sink().waitFor("Check completed (fromKnownLauncher), processing", 10s));
  ASSERT_TRUE(intake.capture.sink().waitFor("successfully added to ProcessListDataStore", 10s));
  EXPECT_EQ(intake.rows(), 1);
  EXPECT_EQ(intake.rows("process_bundle_id = 'com.valvesoftware.steam'"), 1);
}

TEST(EventIntake, ALibraryThatNeverAnswersDelaysRecordingByTheTimeLimitOnly) {
  Intake intake(true, 0.3);
  intake.library501->setMode(test::FakeLudexLibrary::Mode::Held);
  auto started = std::chrono::steady_clock::now();
  intake.send(at("2026-12-01 10:00:00"));
  EXPECT_EQ(intake.rows(), 0);  // still waiting for the library
  ASSERT_TRUE(intake.capture.sink().waitFor("successfully added to ProcessListDataStore", 10s));
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(intake.capture->contains("processing as non-game"));
  intake.daemon->waitForPendingWrites();
  EXPECT_EQ(intake.rows(), 1);
  EXPECT_GE(waited, 300ms);
  EXPECT_LT(waited, 3s);  // one time limit, not one per question asked
  // The library's late answer changes nothing.
  intake.library501->releaseHeld();
  EXPECT_EQ(intake.rows(), 1);
}
