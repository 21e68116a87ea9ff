// What the daemon does with a store file it cannot use as it is, and whether
// a termination keeps what it acknowledged. The files are damaged the way an
// administrator meets them: garbage, a cut file, a damaged page, an old
// schema, a lock held by another process, a read-only folder, a stop while
// launches stream in.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <set>
#include <thread>

#include "tests/support/DaemonHarness.h"
#include "tests/support/LaunchEvents.h"
#include "tests/support/StoreFixtures.h"

using namespace nimbra;
using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

const Value kAccepted(Dictionary{{"result", Value(0)}});

std::string containerOf(const DaemonHarness& daemon) {
  return daemon.stateDirectory() + "/group.com.corvane.nimbrad";
}

// A first launch of an application of its own, told apart by `bundleID`.
VelmoraEventData launchOf(const std::string& bundleID) {
  auto event = sampleEvent("/Applications/" + bundleID + ".app/Contents/MacOS/App", 501, "2026-12-01 10:00:00");
  event.processBundleID = bundleID;
  return event;
}

long long rowsLike(const SnapshotFile& file, const std::string& bundlePattern) {
  return file.scalar("SELECT COUNT(*) FROM velmora_process_list_table WHERE process_bundle_id LIKE '" +
                     bundlePattern + "'");
}

void runSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// Sends `count` new launches one by one and expects each to be accepted.
void sendLaunches(const DaemonHarness& daemon, const std::string& prefix, int count) {
  auto client = daemon.connect("com.corvane.nimbra.velmora");
  ASSERT_TRUE(client);
  for (int i = 0; i < count; ++i) {
    auto reply = client->call(launchOf(prefix + std::to_string(i)).toMessage(), 10s);
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(*reply, kAccepted);
  }
}

// The folder is read-only (a bind mount of itself) while this lives.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(std::string path) : path_(std::move(path)) {
    mounted_ = ::mount(path_.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
               ::mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  }
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
  ~ReadOnlyFolder() { makeWritable(); }
  bool mounted() const { return mounted_; }
  void makeWritable() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    mounted_ = false;
  }

 private:
  std::string path_;
  bool mounted_ = false;
};

}  // namespace

TEST(StoreRecovery, UnusableFilesAreKeptWhileNewLaunchesAreRecordedAndSaved) {
  constexpr int seeded = 200;
  struct Case {
    const char* name;
    std::function<void(const std::string& file)> prepare;  // writes nimbra.db
    bool lockedAtStart;    // another process holds it for two seconds
    bool setAside;         // the original bytes go to a copy
    long long seedsKept;   // -1: some, not all
  };
  const std::vector<Case> cases = {
      {"garbage bytes",
       [](const std::string& file) {
         std::mt19937 random(7);
         std::string bytes(8192, '\0');
         for (auto& byte : bytes) byte = static_cast<char>(random());
         std::ofstream(file, std::ios::binary) << bytes;
       },
       false, true, 0},
      {"a file cut to half its length",
       [](const std::string& file) {
         writeLaunchSnapshot(std::filesystem::path(file).parent_path(), seeded, "Seed");
         std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
       },
       false, true, -1},
      {"a damaged index page",
       [](const std::string& file) {
         writeLaunchSnapshot(std::filesystem::path(file).parent_path(), seeded, "Seed");
         SnapshotFile intact(file);
         long long page = intact.scalar(
             "SELECT rootpage FROM sqlite_master WHERE name = 'sqlite_autoindex_velmora_process_list_table_1'");
         damagePage(file, page, intact.scalar("PRAGMA page_size"));
       },
       false, true, seeded},
      {"user_version 8",
       [](const std::string& file) {
         writeLaunchSnapshot(std::filesystem::path(file).parent_path(), seeded, "Seed");
         runSql(file, "PRAGMA user_version = 8");
       },
       false, true, 0},
      {"a file locked by another process for two seconds",
       [](const std::string& file) { writeLaunchSnapshot(std::filesystem::path(file).parent_path(), seeded, "Seed"); },
       true, false, seeded},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonHarness daemon;
    const std::string folder = containerOf(daemon);
    const std::string file = folder + "/nimbra.db";
    std::filesystem::create_directories(folder);
    c.prepare(file);
    const std::string original = fileBytes(file);
    // Taken last: closing any descriptor of the file (as reading it does)
    // would drop this process's locks on it.
    std::thread holder;
    if (c.lockedAtStart) {
      sqlite3* connection = nullptr;
      sqlite3_open(file.c_str(), &connection);
      ASSERT_EQ(sqlite3_exec(connection, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
      holder = std::thread([connection] {
        std::this_thread::sleep_for(2s);
        sqlite3_exec(connection, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(connection);
      });
    }

    bool started = daemon.start(30s);
    if (holder.joinable()) holder.join();
    ASSERT_TRUE(started) << daemon.logText();
    sendLaunches(daemon, "com.example.after.", 5);
    daemon.signal(SIGTERM);
    auto status = daemon.waitForExit(30s);
    ASSERT_EQ(status, 0) << daemon.logText();

    auto copies = unreadableCopies(folder);
    if (c.setAside) {
      ASSERT_EQ(copies.size(), 1u) << daemon.logText();
      EXPECT_EQ(fileBytes(folder + "/" + copies[0]), original);
      EXPECT_EQ(daemon.countAtPriority("<nimbrad:PLDS> Database " + file + " could not be loaded (", 3), 1u)
          << daemon.logText();
      EXPECT_EQ(daemon.count("); set aside as " + folder + "/" + copies[0]), 1u);
    } else {
      EXPECT_TRUE(copies.empty());
      EXPECT_EQ(daemon.count("<nimbrad:PLDS> Database at " + file + " is locked by another process"), 1u)
          << daemon.logText();
    }
    SnapshotFile saved(file);
    ASSERT_TRUE(saved.isOpen());
    EXPECT_EQ(saved.integrity(), "ok");
    EXPECT_EQ(saved.scalar("PRAGMA user_version"), 9);
    EXPECT_EQ(rowsLike(saved, "com.example.after.%"), 5);
    long long kept = rowsLike(saved, "com.example.Seed%");
    if (c.seedsKept >= 0) {
      EXPECT_EQ(kept, c.seedsKept);
    } else {  // the rows on the pages that are still there
      EXPECT_GT(kept, 0);
      EXPECT_LT(kept, seeded);
    }
    std::cout << "[ figures  ] " << c.name << ": " << kept << " of the earlier launches kept\n";
  }
}

TEST(StoreRecovery, ReadOnlyFolderWithACorruptFileIsNeverOverwrittenAndSavedOnceWritable) {
  DaemonHarness daemon;
  const std::string folder = containerOf(daemon);
  const std::string file = folder + "/nimbra.db";
  std::filesystem::create_directories(folder);
  std::ofstream(file) << "not a database: a disk gave back garbage here";
  const std::string original = fileBytes(file);
  ReadOnlyFolder readOnly(folder);
  ASSERT_TRUE(readOnly.mounted()) << "cannot mount " << folder << " read-only";

  ASSERT_TRUE(daemon.start()) << daemon.logText();
  EXPECT_EQ(daemon.countAtPriority(": Read-only file system; no save replaces it until it is set aside", 3), 1u)
      << daemon.logText();
  sendLaunches(daemon, "com.example.readonly.", 3);
  // In memory before the saves below: they must fail with them, not before them.
  ASSERT_TRUE(daemon.waitForCount("successfully added to ProcessListDataStore", 3)) << daemon.logText();
  for (std::size_t save = 1; save <= 2; ++save) {
    daemon.signal(SIGHUP);
    ASSERT_TRUE(daemon.waitForCount("<nimbrad> Failed to save database on SIGHUP: ", save)) << daemon.logText();
  }
  EXPECT_EQ(daemon.countAtPriority("<nimbrad> Failed to save database on SIGHUP: <nimbrad:PLDS> Not saving over " +
                                       file + ", which could not be loaded",
                                   3),
            2u);
  EXPECT_EQ(daemon.count("Database saved successfully"), 0u);
  EXPECT_EQ(fileBytes(file), original);
  EXPECT_TRUE(unreadableCopies(folder).empty());

  readOnly.makeWritable();
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.waitForLine("<nimbrad> Database saved successfully on SIGHUP")) << daemon.logText();
  auto copies = unreadableCopies(folder);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(fileBytes(folder + "/" + copies[0]), original);
  {
    SnapshotFile saved(file);
    EXPECT_EQ(saved.integrity(), "ok");
    EXPECT_EQ(rowsLike(saved, "com.example.readonly.%"), 3);
  }
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(30s), 0);
}

TEST(StoreRecovery, TerminationDuringAPipelinedStreamKeepsEveryAnsweredLaunch) {
  DaemonHarness daemon;
  // The daemon's default log level, as in production: the stop is measured
  // under load, not under a debug log.
  daemon.writeDefaults("com.corvane.nimbrad", Dictionary{{"logLevel", Value("default")}});
  const std::string file = containerOf(daemon) + "/nimbra.db";
  std::mt19937 random(1209);
  constexpr int rounds = 5;
  constexpr int connections = 2;
  long long acknowledgedTotal = 0, savedTotal = 0;
  std::vector<double> stopSeconds;

  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(daemon.start()) << daemon.logText();
    std::vector<std::vector<std::string>> answered(connections);
    std::vector<std::thread> threads;
    std::atomic<long long> replies{0};
    for (int connection = 0; connection < connections; ++connection) {
      auto client = std::shared_ptr<platform::ServiceClient>(daemon.connect("com.corvane.nimbra.velmora"));
      ASSERT_TRUE(client);
      auto name = [round, connection](long long i) {
        return fmt::format("com.example.stream.{}.{}.{}", round, connection, i);
      };
      // Requests go out without waiting for replies; replies come back in order.
      threads.emplace_back([client, name] {
        for (long long i = 0; client->send(launchOf(name(i)).toMessage(), 5s); ++i) {
        }
      });
      threads.emplace_back([client, name, &answered, &replies, connection] {
        for (long long i = 0;; ++i) {
          auto reply = client->receive(20s);
          if (!reply) break;
          if (*reply == kAccepted) answered[connection].push_back(name(i));
          ++replies;
        }
        ::shutdown(client->fd(), SHUT_RDWR);  // ends a sender still waiting to write
      });
    }
    // Once the stream runs, stop the daemon at some moment in the middle of it.
    auto streaming = std::chrono::steady_clock::now() + 20s;
    while (replies.load() < 100 && std::chrono::steady_clock::now() < streaming) std::this_thread::sleep_for(2ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200));
    auto signalled = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    auto status = daemon.waitForExit(30s);
    stopSeconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count());
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(status, 0) << daemon.logText();
    EXPECT_EQ(daemon.count("<nimbrad> Database saved successfully on SIGTERM"), 1u) << daemon.logText();

    SnapshotFile saved(file);
    ASSERT_TRUE(saved.isOpen());
    EXPECT_EQ(saved.integrity(), "ok");
    std::set<std::string> stored;
    {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
      sqlite3_stmt* statement = nullptr;
      std::string query = fmt::format(
          "SELECT process_bundle_id FROM velmora_process_list_table WHERE process_bundle_id LIKE "
          "'com.example.stream.{}.%'",
          round);
      ASSERT_EQ(sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr), SQLITE_OK);
      while (sqlite3_step(statement) == SQLITE_ROW) {
        stored.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
      }
      sqlite3_finalize(statement);
      sqlite3_close(db);
    }
    long long acknowledged = 0, missing = 0;
    for (const auto& names : answered) {
      acknowledged += static_cast<long long>(names.size());
      for (const auto& name : names) missing += stored.count(name) == 0 ? 1 : 0;
    }
    EXPECT_GT(acknowledged, 0);
    EXPECT_EQ(missing, 0) << "of " << acknowledged << " answered launches";
    acknowledgedTotal += acknowledged;
    savedTotal += static_cast<long long>(stored.size());
  }
  std::sort(stopSeconds.begin(), stopSeconds.end());
  std::cout << "[ figures  ] " << rounds << " stops under load: " << acknowledgedTotal << " launches answered, "
            << savedTotal << " saved; stop time median " << stopSeconds[stopSeconds.size() / 2] << " s, max "
            << stopSeconds.back() << " s\n";
}
