#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <fstream>
#include <thread>
#include <nlohmann/json.hpp>

#include "tests/support/DaemonHarness.h"
#include "tests/support/LaunchEvents.h"

using namespace nimbra;
using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

// Rows of the saved snapshot: "bundle id|launch count", ordered by bundle id.
std::vector<std::string> savedRows(const DaemonHarness& daemon) {
  std::string path = daemon.stateDirectory() + "/group.com.corvane.nimbrad/nimbra.db";
  sqlite3* db = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {"cannot open " + path};
  }
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT process_bundle_id, number_of_times_launched FROM velmora_process_list_table "
                     "ORDER BY process_bundle_id",
                     -1, &statement, nullptr);
  while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
    rows.push_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) + "|" +
                   std::to_string(sqlite3_column_int64(statement, 1)));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

// Saves through SIGHUP and waits for the save to finish.
void save(DaemonHarness& daemon) {
  std::size_t before = daemon.count("<nimbrad> Database saved successfully on SIGHUP");
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.waitForCount("<nimbrad> Database saved successfully on SIGHUP", before + 1, 20s));
}

VelmoraEventData app(const std::string& name, const std::string& bundleID, const std::string& timestamp) {
  auto event = sampleEvent("/Applications/" + name + ".app/Contents/MacOS/" + name, 501, timestamp);
  event.processBundleID = event.targetBundleID = event.responsibleBundleID = bundleID;
  return event;
}

}  // namespace

TEST(EventIntakeEndToEnd, LaunchEventsAreRecordedSavedAndReported) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  sendLaunchEvents(daemon, {app("Alpha", "com.example.alpha", "2026-12-01 10:00:00"),
                   app("Alpha", "com.example.alpha", "2026-12-01 10:00:20"),
                   app("Beta", "com.example.beta", "2026-12-01 10:00:30")});
  ASSERT_TRUE(daemon.waitForCount("successfully added to ProcessListDataStore", 2));
  ASSERT_TRUE(daemon.waitForCount("successfully updated in ProcessListDataStore", 1));
  save(daemon);
  EXPECT_EQ(savedRows(daemon), (std::vector<std::string>{"com.example.alpha|2", "com.example.beta|1"}))
      << daemon.logText();

  // Each new identity was reported once to the analytics sink, which writes
  // in batches a moment later.
  auto reported = [&] {
    std::ifstream analytics(daemon.stateDirectory() + "/analytics/events.jsonl");
    std::vector<std::string> bundles;
    for (std::string line; std::getline(analytics, line);) {
      auto json = nlohmann::json::parse(line);
      if (json["event"] == "com.corvane.nimbra.velmora-fallback-descriptor") {
        bundles.push_back(json["payload"]["ProcessBundleIdentifier"].get<std::string>());
      }
    }
    std::sort(bundles.begin(), bundles.end());
    return bundles;
  };
  const std::vector<std::string> expected{"com.example.alpha", "com.example.beta"};
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (reported() != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(reported(), expected);
}

TEST(EventIntakeEndToEnd, GamesTheirChildrenAndLauncherHelpersAreNotRecorded) {
  DaemonHarness daemon;
  for (auto [bundle, kind] : {std::pair{"com.example.game", "game"}, std::pair{"com.example.alpha", "notgame"}}) {
    auto result = daemon.ctl({"games", "set", "501", bundle, kind});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
  }
  ASSERT_TRUE(daemon.start()) << daemon.logText();

  auto game = app("Game", "com.example.game", "2026-12-01 10:00:00");
  auto child = sampleEvent("/usr/local/bin/render-tool", 501, "2026-12-01 10:00:01");
  child.processBundleID = "com.example.render-tool";
  child.responsibleBundleID = "com.example.game";
  child.responsiblePath = game.processPath;
  auto launcher = app("Launcher", "com.valvesoftware.steam", "2026-12-01 10:00:02");
  auto launcherHelper = sampleEvent("/Applications/Launcher.app/Contents/Helpers/webhelper", 501, "2026-12-01 10:00:03");
  launcherHelper.processBundleID = "com.example.webhelper";
  launcherHelper.responsibleBundleID = "com.valvesoftware.steam";
  launcherHelper.responsiblePath = launcher.processPath;
  auto excluded = app("Wrapped", "com.example.wrapped", "2026-12-01 10:00:04");
  excluded.responsibleDeveloperName = "CodeWeavers Inc.";
  auto kept = app("Alpha", "com.example.alpha", "2026-12-01 10:00:05");

  sendLaunchEvents(daemon, {game, child, launcher, launcherHelper, excluded, kept});
  ASSERT_TRUE(daemon.waitForCount("successfully added to ProcessListDataStore", 2, 20s)) << daemon.logText();
  save(daemon);
  EXPECT_EQ(savedRows(daemon), (std::vector<std::string>{"com.example.alpha|1", "com.valvesoftware.steam|1"}))
      << daemon.logText();
  // Each decision is told once; wait for each line with a bound, as the
  // filter may decide off the queue that answered.
  for (const char* line : {"<nimbrad: Ludex> Filtering out game process: Game",
                           "<nimbrad: Ludex> Filtering process render-tool - launched by game: com.example.game",
                           "launched by known game launcher: com.valvesoftware.steam",
                           "<nimbrad> registerDatabaseEntry: Process excluded, skip adding Wrapped"}) {
    EXPECT_TRUE(daemon.waitForLine(line)) << line;
    EXPECT_EQ(daemon.count(line), 1u) << line;
  }
}
