#include <gtest/gtest.h>
#include <sqlite3.h>

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

// A launch of Sample.app (or of the application whose executable is at
// `path`) by its launcher; process, target and responsible are three identities.
VelmoraEventData at(const std::string& timestamp, const std::string& path = "") {
  VelmoraEventData event = test::threeRoleEvent(501, timestamp);
  if (!path.empty()) event.processPath = event.targetPath = path;
  return event;
}

}  // namespace

TEST(EventIntake, RepeatsWithinFiveSecondsScheduleNoSecondCheck) {
  Intake intake(false);
  intake.send(at("2026-12-01 10:00:00"));
  intake.send(at("2026-12-01 10:00:03"));  // 3 s later: a duplicate
  intake.send(at("2026-12-01 10:00:08"));  // exactly 5 s after the last: still a duplicate
  intake.send(at("2026-12-01 10:00:14"));  // 6 s after the last: new again
  intake.send(at("2026-12-01 10:00:13"));  // earlier than the last: a duplicate
  EXPECT_EQ(intake.capture->count(kScheduled), 2u);
  EXPECT_EQ(intake.capture->count("<nimbrad> shouldNotify check: 0 for com.example.sample"), 3u);
  EXPECT_EQ(intake.capture->count("<nimbrad: Ludex> Game filter disabled, processing all apps"), 5u);
  // Every launch is still recorded: one row counting five launches.
  EXPECT_EQ(intake.rows(), 1);
  EXPECT_EQ(intake.daemon->processListDataStore()->executeFetchSingleIntQuery(
                nullptr, "SELECT number_of_times_launched FROM velmora_process_list_table"),
            5);
}

TEST(EventIntake, EachRoleIsRecordedFromItsOwnFields) {
  Intake intake(false);
  intake.send(at("2026-12-01 10:00:00"));
  ASSERT_EQ(intake.rows(), 1);
  auto text = [&](const std::string& sql) {
    auto database = intake.daemon->processListDataStore()->memoryDatabase();
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(database->handle(), sql.c_str(), -1, &statement, nullptr);
    std::string value = sqlite3_step(statement) == SQLITE_ROW
                            ? reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))
                            : "<no row>";
    sqlite3_finalize(statement);
    return value;
  };
  const VelmoraEventData sent = at("2026-12-01 10:00:00");
  struct Column {
    const char* name;
    std::string value;
  };
  for (const auto& [column, value] : std::vector<Column>{
           {"process_bundle_id", sent.processBundleID},
           {"process_bundle_version", sent.processBundleVersion},
           {"process_team_id", sent.processTeamID},
           {"process_developer_name", sent.processDeveloperName},
           {"process_path", sent.processPath},
           {"target_bundle_id", sent.targetBundleID},
           {"target_bundle_version", sent.targetBundleVersion},
           {"target_team_id", sent.targetTeamID},
           {"target_developer_name", sent.targetDeveloperName},
           {"target_path", sent.targetPath},
           {"responsible_bundle_id", sent.responsibleBundleID},
           {"responsible_bundle_version", sent.responsibleBundleVersion},
           {"responsible_team_id", sent.responsibleTeamID},
           {"responsible_developer_name", sent.responsibleDeveloperName},
           {"responsible_path", sent.responsiblePath},
           // Display names, each looked up by its own path.
           {"process_name", "Sample"},
           {"responsible_name", "Launcher"},
       }) {
    EXPECT_EQ(text(std::string("SELECT ") + column + " FROM velmora_process_list_table"), value) << column;
  }
  EXPECT_EQ(text("SELECT responsible_bundle_id FROM velmora_unique_table"), sent.responsibleBundleID);
  EXPECT_EQ(text("SELECT process_team_id FROM velmora_unique_table"), sent.processTeamID);
}

TEST(EventIntake, ALaunchThatCannotBeWrittenIsReportedAsAFailureNeverAsASuccess) {
  Intake intake(false);
  auto store = intake.daemon->processListDataStore();
  ASSERT_TRUE(store->executeInsert("DROP TABLE velmora_launch_timestamp_table"));  // the last write of a launch
  intake.send(at("2026-12-01 10:00:00"));
  intake.daemon->waitForPendingWrites();
  std::vector<platform::CaptureLogSink::Line> failures;
  for (const auto& line : intake.capture->lines()) {
    if (line.message.find("failed to add to ProcessListDataStore") != std::string::npos) failures.push_back(line);
  }
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].level, platform::LogLevel::Error);
  EXPECT_TRUE(failures[0].message.starts_with("<nimbrad> registerDatabaseEntry [[ProcessDataEntry:"));
  EXPECT_TRUE(intake.capture->contains(
      "<nimbrad> Failed to register database entry: <nimbrad:PLDS> FAILED to prepare parameterized insert statement"));
  EXPECT_FALSE(intake.capture->contains("successfully added to ProcessListDataStore"));
  EXPECT_FALSE(intake.capture->contains("successfully updated in ProcessListDataStore"));
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
  intake.send(at("2026-12-01 10:00:00"));
  EXPECT_EQ(intake.capture->count(kScheduled), 1u);
  auto unknown = at("2026-12-01 10:00:01");
  unknown.processBundleID = "<unknown>";
  intake.send(unknown);
  EXPECT_EQ(intake.capture->count("Scheduling notification check"), 1u);
  EXPECT_EQ(intake.rows(), 2);
  // Had the unknown launch not become the last entry, this one would repeat
  // the first within 5 s and schedule nothing.
  intake.send(at("2026-12-01 10:00:02"));
  EXPECT_EQ(intake.capture->count(kScheduled), 2u);
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
  launcher.responsiblePath = launcher.processPath;  // the launcher itself

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

TEST(EventIntake, DrainWaitsForEventsStillInTheGameFilterButNotForDroppedOnes) {
  Intake intake(true, 30.0);
  auto rows = [&] {
    return intake.daemon->processListDataStore()->executeFetchSingleIntQuery(
        nullptr, "SELECT COUNT(*) FROM velmora_process_list_table");
  };
  intake.library501->setMode(test::FakeLudexLibrary::Mode::Held);
  EXPECT_EQ(intake.send(at("2026-12-01 10:00:00")), Value(Dictionary{{"result", Value(0)}}));
  // Answered, but the library has not spoken yet: the drain must not pass.
  EXPECT_FALSE(intake.daemon->drainIntake(std::chrono::steady_clock::now() + 200ms));
  intake.library501->releaseHeld();
  ASSERT_TRUE(intake.daemon->drainIntake(std::chrono::steady_clock::now() + 10s));
  EXPECT_EQ(rows(), 1);  // written by the time the drain returns

  // A game is dropped by the filter: nothing is written, and nothing waits.
  intake.library501->setMode(test::FakeLudexLibrary::Mode::Immediate);
  intake.library501->setApps({{std::string("com.example.game"), true}});
  auto game = at("2026-12-01 10:00:10", "/Applications/Game.app/Contents/MacOS/Game");
  game.processBundleID = "com.example.game";
  intake.send(game);
  ASSERT_TRUE(intake.capture.sink().waitFor("Filtering out game process", 10s));
  EXPECT_TRUE(intake.daemon->drainIntake(std::chrono::steady_clock::now() + 10s));
  EXPECT_EQ(rows(), 1);
}
