#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/support/DaemonHarness.h"
#include "tests/support/LaunchEvents.h"

using namespace nimbra;
using namespace nimbra::test;
using namespace std::chrono_literals;

namespace {

struct Snapshot {
  bool opened = false;
  std::string integrity;
  std::int64_t version = -1;
  std::int64_t launches = 0;  // sum of the launch counts
};

Snapshot readSnapshot(const std::string& path) {
  Snapshot out;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return out;
  }
  out.opened = true;
  auto query = [&](const char* sql, auto&& row) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
      row(statement);
    }
    sqlite3_finalize(statement);
  };
  query("PRAGMA integrity_check", [&](sqlite3_stmt* s) { out.integrity = reinterpret_cast<const char*>(sqlite3_column_text(s, 0)); });
  query("PRAGMA user_version", [&](sqlite3_stmt* s) { out.version = sqlite3_column_int64(s, 0); });
  query("SELECT COALESCE(SUM(number_of_times_launched), 0) FROM velmora_process_list_table",
        [&](sqlite3_stmt* s) { out.launches = sqlite3_column_int64(s, 0); });
  sqlite3_close(db);
  return out;
}

// Launches that completed saves must hold: each save covers the writes
// logged before its "Received SIGHUP" line. The handlers of signals that come
// close together run at once, and their lines interleave, so a success line
// cannot be paired with the latest "Received" line; after the n-th success,
// n of the saves begun so far have completed, and the best of any n of them
// covers at least what was written before the n-th "Received" line.
std::int64_t coveredBySaves(const std::vector<std::string>& lines) {
  std::int64_t written = 0, covered = 0;
  std::vector<std::int64_t> atSaveStarts;
  std::size_t successes = 0;
  for (const auto& line : lines) {
    if (line.find("successfully added to ProcessListDataStore") != std::string::npos ||
        line.find("successfully updated in ProcessListDataStore") != std::string::npos) {
      ++written;
    } else if (line.find("<nimbrad> Received SIGHUP, saving database") != std::string::npos) {
      atSaveStarts.push_back(written);
    } else if (line.find("<nimbrad> Database saved successfully on SIGHUP") != std::string::npos) {
      covered = atSaveStarts.at(successes++);
    }
  }
  return covered;
}

}  // namespace

TEST(DaemonCrashSafety, SnapshotSurvivesKillsWhileLaunchesAndSavesRun) {
  DaemonHarness daemon;
  const std::string file = daemon.stateDirectory() + "/group.com.corvane.nimbrad/nimbra.db";
  std::mt19937 random(20261209);
  std::int64_t onDisk = 0;
  std::int64_t sequence = 0;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(daemon.start()) << daemon.logText();
    std::atomic<bool> stop{false};
    std::thread sender([&] {
      auto client = daemon.connect("com.corvane.nimbra.velmora");
      while (client && !stop) {
        // A few identities, each launch a second later than the last.
        auto event = sampleEvent("/Applications/App" + std::to_string(sequence % 5) + ".app/Contents/MacOS/App", 501,
                                 "2026-12-01 10:00:00");
        event.processBundleID = "com.example.app" + std::to_string(sequence % 5);
        event.eventTimestamp = "2026-12-0" + std::to_string(1 + sequence / 86400 % 9) + " " +
                               fmt::format("{:02}:{:02}:{:02}", sequence / 3600 % 24, sequence / 60 % 60, sequence % 60);
        ++sequence;
        if (!client->call(event.toMessage(), 5s)) break;
      }
    });
    for (int save = 0; save < 3; ++save) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40 + random() % 120));
      daemon.signal(SIGHUP);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 150));
    daemon.kill();
    stop = true;
    sender.join();

    Snapshot snapshot = readSnapshot(file);
    std::int64_t covered = coveredBySaves(daemon.lines());
    if (covered == 0 && !snapshot.opened) continue;  // killed before the first save of the first round
    ASSERT_TRUE(snapshot.opened);
    EXPECT_EQ(snapshot.integrity, "ok");
    EXPECT_EQ(snapshot.version, 9);
    EXPECT_GE(snapshot.launches, onDisk + covered) << "launches lost by a completed save";
    onDisk = snapshot.launches;
  }
  EXPECT_GT(onDisk, 0);
}
