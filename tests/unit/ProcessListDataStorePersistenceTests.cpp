#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <semaphore>
#include <string>
#include <thread>

#include "nimbrad/ProcessListDataStore.h"
#include "nimbrad/ProcessListStatements.h"
#include "tests/support/StoreFixtures.h"
#include "tests/support/TempDirectory.h"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using test::RecordingFileManager;
using test::rowCount;
using test::LogCapture;

constexpr const char* insertNotification =
    "INSERT INTO velmora_notification_timestamp_table (product_key, process_uid, timestamp) VALUES ('k', 501, 1)";

using Snapshot = test::SnapshotFile;
using test::fileBytes;
using test::unreadableCopies;

// A snapshot written by hand: the current schema with one notification row
// and the given schema version.
void writeSnapshot(const std::string& path, int version) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  for (const auto& text : statements::createTables()) {
    ASSERT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  }
  ASSERT_EQ(sqlite3_exec(db, insertNotification, nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, ("PRAGMA user_version = " + std::to_string(version)).c_str(), nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
}

ino_t inodeOf(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

// A page in the middle of the b-tree whose root is `root`: the child of the
// middle cell of the root page.
long long middleChildPage(const std::string& path, long long root, long long pageSize) {
  std::string bytes = fileBytes(path);
  auto at = [&](long long offset) { return static_cast<unsigned char>(bytes[(root - 1) * pageSize + offset]); };
  if (at(0) != 0x05) return -1;  // not an interior table page
  int cells = at(3) << 8 | at(4);
  int pointer = 12 + 2 * (cells / 2);
  int cell = at(pointer) << 8 | at(pointer + 1);
  return static_cast<long long>(at(cell)) << 24 | at(cell + 1) << 16 | at(cell + 2) << 8 | at(cell + 3);
}

class ProcessListDataStorePersistenceTests : public ::testing::Test {
 protected:
  std::shared_ptr<ProcessListDataStore> makeStore() {
    return std::make_shared<ProcessListDataStore>(directory.path(), files, clock);
  }
  std::string copyPath(const std::string& stamp) const {
    return directory.file("nimbra.db.unreadable-" + stamp);
  }

  std::string databasePath() const { return directory.file("nimbra.db"); }
  std::string temporaryPath() const { return directory.file("nimbra.db.tmp"); }
  long long memoryRows(ProcessListDataStore& store, const std::string& table) {
    return rowCount(store.memoryDatabase()->handle(), table);
  }

  test::TempDirectory directory;
  RecordingFileManager files;
  test::ManualClock clock{1764583200};  // 2025-12-01 10:00:00 UTC
  LogCapture log;
};

TEST_F(ProcessListDataStorePersistenceTests, FirstStartBuildsANewDatabaseThatTheNextSaveWrites) {
  auto store = makeStore();
  EXPECT_EQ(store->databaseURL(), directory.path());
  store->loadDatabase();
  EXPECT_TRUE(log->contains("No existing database file found"));
  ASSERT_TRUE(store->memoryDatabase());
  EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "PRAGMA user_version"), 9);
  EXPECT_TRUE(store->isDirty());
  EXPECT_FALSE(exists(databasePath()));

  ASSERT_TRUE(store->saveToDisk());
  EXPECT_FALSE(store->isDirty());
  Snapshot snapshot(databasePath());
  ASSERT_TRUE(snapshot.isOpen());
  EXPECT_EQ(snapshot.scalar("PRAGMA user_version"), 9);
  EXPECT_EQ(snapshot.integrity(), "ok");
  EXPECT_EQ(snapshot.scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name LIKE 'velmora_%'"), 4);
  EXPECT_FALSE(exists(temporaryPath()));
}

TEST_F(ProcessListDataStorePersistenceTests, SchemaVersionDecidesWhetherASnapshotIsKept) {
  struct Case {
    int version;
    bool kept;
  };
  for (auto [version, kept] : std::vector<Case>{{8, false}, {0, false}, {9, true}, {10, true}}) {
    SCOPED_TRACE(version);
    writeSnapshot(databasePath(), version);
    auto store = makeStore();
    store->loadDatabase();
    ASSERT_TRUE(store->memoryDatabase());
    EXPECT_EQ(memoryRows(*store, "velmora_notification_timestamp_table"), kept ? 1 : 0);
    EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "PRAGMA user_version"), kept ? version : 9);
    // A kept snapshot equals memory; one that is not is set aside and the
    // empty database waits to take its place.
    EXPECT_EQ(store->isDirty(), !kept);
    EXPECT_EQ(exists(databasePath()), kept);
    EXPECT_EQ(unreadableCopies(directory.path()).size(), kept ? 0u : 1u);
    for (const auto& copy : unreadableCopies(directory.path())) ::unlink(directory.file(copy).c_str());
    ::unlink(databasePath().c_str());
  }
}

TEST_F(ProcessListDataStorePersistenceTests, SnapshotThatCannotBeUsedIsSetAsideWithItsBytesNeverDeleted) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> write;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"not a database",
       [](const std::string& path) { std::ofstream(path) << "this is not a database, just forty-odd bytes of text"; },
       "<nimbrad:PLDS> FAILED to sync database contents 26 file is not a database"},
      {"user_version 8", [](const std::string& path) { writeSnapshot(path, 8); }, "user_version 8 is older than 9"},
      {"user_version 0", [](const std::string& path) { writeSnapshot(path, 0); }, "user_version 0 is older than 9"},
  };
  double now = 1764583200;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clock.set(now += 60);
    c.write(databasePath());
    std::string original = fileBytes(databasePath());
    std::string copy = copyPath(c.name == cases[0].name ? "20251201T100100Z"
                                : c.name == cases[1].name ? "20251201T100200Z"
                                                          : "20251201T100300Z");
    log->clear();
    auto store = makeStore();
    store->loadDatabase();
    EXPECT_EQ(fileBytes(copy), original);
    EXPECT_FALSE(exists(databasePath()));
    auto lines = log->lines();
    auto setAside = std::find_if(lines.begin(), lines.end(), [](const auto& line) {
      return line.message.find("could not be loaded") != std::string::npos;
    });
    ASSERT_NE(setAside, lines.end());
    EXPECT_EQ(setAside->level, platform::LogLevel::Error);
    EXPECT_EQ(setAside->message, "<nimbrad:PLDS> Database " + databasePath() + " could not be loaded (" + c.reason +
                                     "); set aside as " + copy);
    // The daemon goes on with an empty database of the current schema.
    ASSERT_TRUE(store->memoryDatabase());
    EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "PRAGMA user_version"), 9);
    EXPECT_EQ(memoryRows(*store, "velmora_notification_timestamp_table"), 0);
    ASSERT_TRUE(store->saveToDisk());
    EXPECT_EQ(Snapshot(databasePath()).integrity(), "ok");
    EXPECT_EQ(fileBytes(copy), original);
    ::unlink(databasePath().c_str());
  }
  EXPECT_EQ(unreadableCopies(directory.path()).size(), 3u);
}

TEST_F(ProcessListDataStorePersistenceTests, OnlyTheNewestUnreadableCopiesAreKept) {
  // Two copies within one second are told apart by a number, and ordered by it.
  for (double at : {1764583200.0, 1764583260.0, 1764583260.5, 1764583320.0, 1764583380.0}) {
    clock.set(at);
    std::ofstream(databasePath()) << "garbage, again and again: a crash loop";
    makeStore()->loadDatabase();
  }
  EXPECT_EQ(unreadableCopies(directory.path()),
            (std::vector<std::string>{"nimbra.db.unreadable-20251201T100100Z.1", "nimbra.db.unreadable-20251201T100200Z",
                                      "nimbra.db.unreadable-20251201T100300Z"}));
  for (const char* removed : {"20251201T100000Z", "20251201T100100Z"}) {
    EXPECT_EQ(log->count("<nimbrad:PLDS> Removed the oldest unreadable database copy " + copyPath(removed) +
                         " (at most 3 are kept)"),
              1u)
        << removed;
  }
}

TEST_F(ProcessListDataStorePersistenceTests, SnapshotThatCannotBeSetAsideIsNeverOverwritten) {
  std::ofstream(databasePath()) << "a damaged disk gave back these bytes";
  const std::string original = fileBytes(databasePath());
  const std::string copy = copyPath("20251201T100000Z");
  files.failMove = true;  // a read-only folder
  auto store = makeStore();
  store->loadDatabase();
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> Database " + databasePath() +
                            " could not be loaded (<nimbrad:PLDS> FAILED to sync database contents 26 file is not a "
                            "database) and cannot rename it to " + copy +
                            ": Read-only file system; no save replaces it until it is set aside"));
  // The memory database is there all the same, and takes writes.
  ASSERT_TRUE(store->memoryDatabase());
  ASSERT_TRUE(store->executeInsert(insertNotification));
  for (int attempt = 0; attempt < 2; ++attempt) {
    files.clearCalls();
    auto saved = store->saveToDisk();
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().message(),
              "<nimbrad:PLDS> Not saving over " + databasePath() +
                  ", which could not be loaded (<nimbrad:PLDS> FAILED to sync database contents 26 file is not a "
                  "database) and cannot rename it to " + copy + ": Read-only file system");
    // Each save tries the rename again, and writes nothing while it fails.
    EXPECT_EQ(files.calls(), std::vector<std::string>{"move " + databasePath() + " -> " + copy});
    EXPECT_EQ(fileBytes(databasePath()), original);
    EXPECT_TRUE(store->isDirty());
  }
  files.failMove = false;
  ASSERT_TRUE(store->saveToDisk());
  EXPECT_EQ(fileBytes(copy), original);
  EXPECT_EQ(Snapshot(databasePath()).scalar("SELECT COUNT(*) FROM velmora_notification_timestamp_table"), 1);
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> Database " + databasePath() + " could not be loaded"));
}

TEST_F(ProcessListDataStorePersistenceTests, DamagedSnapshotKeepsEveryRowThatCanBeRead) {
  constexpr int launches = 300;
  struct Case {
    const char* name;
    // The page to damage, from the intact snapshot.
    std::function<long long(const Snapshot&, long long pageSize)> page;
    bool allLaunchesKept;
  };
  const std::vector<Case> cases = {
      {"an index page",
       [](const Snapshot& snapshot, long long) {
         return snapshot.scalar("SELECT rootpage FROM sqlite_master WHERE name = "
                                "'sqlite_autoindex_velmora_process_list_table_1'");
       },
       true},
      {"a table page in the middle",
       [this](const Snapshot& snapshot, long long pageSize) {
         long long root =
             snapshot.scalar("SELECT rootpage FROM sqlite_master WHERE name = 'velmora_process_list_table'");
         return middleChildPage(databasePath(), root, pageSize);
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(databasePath().c_str());
    test::writeLaunchSnapshot(directory.path(), launches);
    long long page, pageSize;
    {
      Snapshot intact(databasePath());
      pageSize = intact.scalar("PRAGMA page_size");
      page = c.page(intact, pageSize);
    }
    ASSERT_GT(page, 1);
    test::damagePage(databasePath(), page, pageSize);
    const std::string damaged = fileBytes(databasePath());
    log->clear();

    auto store = makeStore();
    store->loadDatabase();
    EXPECT_TRUE(log->contains("<nimbrad:PLDS> Database at " + databasePath() + " is damaged ("));
    ASSERT_TRUE(store->memoryDatabase());
    EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "PRAGMA user_version"), 9);
    long long kept = memoryRows(*store, "velmora_process_list_table");
    if (c.allLaunchesKept) {
      EXPECT_EQ(kept, launches);
    } else {
      // The rows on the damaged page are lost; those after it are not.
      EXPECT_GT(kept, launches / 2);
      EXPECT_LT(kept, launches);
      EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "SELECT MAX(id) FROM velmora_process_list_table"),
                launches);
    }
    EXPECT_TRUE(log->contains("<nimbrad:PLDS> Kept " + std::to_string(kept) +
                              " rows of velmora_process_list_table from the damaged database"));
    // The other tables were not hit.
    EXPECT_EQ(memoryRows(*store, "velmora_unique_table"), launches);
    EXPECT_TRUE(log->contains("<nimbrad:PLDS> Kept 300 rows of velmora_unique_table from the damaged database"));
    EXPECT_TRUE(log->contains("<nimbrad:PLDS> Kept 0 rows of velmora_notification_timestamp_table from the damaged "
                              "database"));
    // The damaged file is kept aside; the next launch and save work.
    auto copies = unreadableCopies(directory.path());
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(fileBytes(directory.file(copies[0])), damaged);
    ::unlink(directory.file(copies[0]).c_str());
    auto next = test::makeEntry("AfterTheDamage", 501, 1800000000);
    ASSERT_TRUE(store->updateEntry(next, 0, true));
    ASSERT_TRUE(store->saveToDisk());
    Snapshot saved(databasePath());
    EXPECT_EQ(saved.integrity(), "ok");
    EXPECT_EQ(saved.scalar("SELECT COUNT(*) FROM velmora_process_list_table"), kept + 1);
  }
}

TEST_F(ProcessListDataStorePersistenceTests, SnapshotLockedByAnotherProcessIsLoadedOnceTheLockGoes) {
  test::writeLaunchSnapshot(directory.path(), 3);
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(databasePath().c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::thread release([holder] {
    std::this_thread::sleep_for(400ms);
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
  });
  auto store = makeStore();
  auto started = std::chrono::steady_clock::now();
  store->loadDatabase();
  auto waited = std::chrono::steady_clock::now() - started;
  release.join();
  sqlite3_close(holder);
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> Database at " + databasePath() +
                            " is locked by another process; trying again for up to 5000 ms"));
  EXPECT_GE(waited, 400ms);
  EXPECT_EQ(memoryRows(*store, "velmora_process_list_table"), 3);
  EXPECT_FALSE(store->isDirty());
  EXPECT_TRUE(unreadableCopies(directory.path()).empty());
}

TEST_F(ProcessListDataStorePersistenceTests, SavedDataLoadsBackAndALoadedStoreIsClean) {
  {
    auto store = makeStore();
    store->loadDatabase();
    ASSERT_TRUE(store->executeInsert(insertNotification));
    ASSERT_TRUE(store->saveToDisk());
  }
  auto store = makeStore();
  store->loadDatabase();
  EXPECT_EQ(memoryRows(*store, "velmora_notification_timestamp_table"), 1);
  EXPECT_FALSE(store->isDirty());
}

TEST_F(ProcessListDataStorePersistenceTests, CleanStoreWritesNothing) {
  auto store = makeStore();
  store->loadDatabase();
  ASSERT_TRUE(store->saveToDisk());
  ino_t before = inodeOf(databasePath());
  files.clearCalls();
  ASSERT_TRUE(store->saveToDisk());
  EXPECT_TRUE(files.calls().empty());
  EXPECT_EQ(inodeOf(databasePath()), before);
}

TEST_F(ProcessListDataStorePersistenceTests, StaleTemporaryFileIsRemovedBeforeTheSave) {
  auto store = makeStore();
  store->loadDatabase();
  std::ofstream(temporaryPath()) << "left over from a save that was interrupted";
  files.clearCalls();
  ASSERT_TRUE(store->saveToDisk());
  auto calls = files.calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), "remove " + temporaryPath());
  EXPECT_FALSE(exists(temporaryPath()));
  EXPECT_EQ(Snapshot(databasePath()).integrity(), "ok");
}

TEST_F(ProcessListDataStorePersistenceTests, SaveFlushesTheFileBeforeTheRenameAndTheDirectoryAfter) {
  auto store = makeStore();
  store->loadDatabase();
  files.clearCalls();
  ASSERT_TRUE(store->saveToDisk());
  std::vector<std::string> expected = {
      "sync " + temporaryPath(),
      "rename " + temporaryPath() + " -> " + databasePath(),
      "syncdir " + directory.path(),
  };
  EXPECT_EQ(files.calls(), expected);
}

TEST_F(ProcessListDataStorePersistenceTests, FailedSaveKeepsThePreviousSnapshotAndStaysDirty) {
  struct Case {
    const char* name;
    std::atomic<bool> RecordingFileManager::*failure;
    std::atomic<bool> RecordingFileManager::*alsoFailure;
    std::string message;
    bool temporaryRemains;
  };
  std::vector<Case> cases = {
      {"rename", &RecordingFileManager::failReplace, nullptr,
       "Failed to atomically rename database: Invalid cross-device link", false},
      {"flush", &RecordingFileManager::failSynchronizeFile, nullptr,
       "<nimbrad:PLDS> FAILED to flush temp database after save: Input/output error", false},
      {"rename, then removal", &RecordingFileManager::failReplace, &RecordingFileManager::failRemove,
       "Failed to remove item at " + temporaryPath() + ": Permission denied", true},
  };
  auto store = makeStore();
  store->loadDatabase();
  ASSERT_TRUE(store->saveToDisk());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(store->executeInsert(insertNotification));
    files.*c.failure = true;
    if (c.alsoFailure) files.*c.alsoFailure = true;
    auto saved = store->saveToDisk();
    files.*c.failure = false;
    if (c.alsoFailure) files.*c.alsoFailure = false;
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().message(), c.message);
    EXPECT_EQ(exists(temporaryPath()), c.temporaryRemains);
    EXPECT_TRUE(store->isDirty());
    Snapshot snapshot(databasePath());
    EXPECT_EQ(snapshot.integrity(), "ok");
    EXPECT_EQ(snapshot.scalar("SELECT COUNT(*) FROM velmora_notification_timestamp_table"), 0);
    ASSERT_TRUE(store->executeInsert("DELETE FROM velmora_notification_timestamp_table"));
  }
  // A directory that cannot be flushed: the file is in place, but the store
  // stays dirty so that a later save confirms it.
  ASSERT_TRUE(store->executeInsert(insertNotification));
  files.failSynchronizeDirectory = true;
  auto saved = store->saveToDisk();
  files.failSynchronizeDirectory = false;
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().message(), "<nimbrad:PLDS> FAILED to flush database directory after save: Input/output error");
  EXPECT_TRUE(store->isDirty());
  ASSERT_TRUE(store->saveToDisk());
  EXPECT_FALSE(store->isDirty());
}

TEST_F(ProcessListDataStorePersistenceTests, StoreWithoutADirectoryReportsEverySave) {
  std::string blocker = directory.write("file", "a file where the directory should be");
  auto store = std::make_shared<ProcessListDataStore>(blocker + "/store", files);
  EXPECT_FALSE(store->databaseURL());
  EXPECT_TRUE(log->contains("FAILED to create database directory at " + blocker + "/store error: Not a directory."));
  store->loadDatabase();  // builds a memory database all the same
  ASSERT_TRUE(store->memoryDatabase());
  auto saved = store->saveToDisk();
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().message(), "No database path configured");
  EXPECT_EQ(store->openDiskDatabase(true).error().message(), "No database path configured");
}

TEST_F(ProcessListDataStorePersistenceTests, OpeningAMissingSnapshotNamesThePath) {
  auto store = makeStore();
  auto opened = store->openDiskDatabase(true);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().message(), "No database file exists at path: " + databasePath());

  store->loadDatabase();
  ASSERT_TRUE(store->saveToDisk());
  for (bool readOnly : {true, false}) {
    auto handle = store->openDiskDatabase(readOnly);
    ASSERT_TRUE(handle);
    EXPECT_EQ(store->executeFetchSingleIntQuery(handle->get(), "PRAGMA user_version"), 9);
  }
}

TEST_F(ProcessListDataStorePersistenceTests, SingleIntQueryAnswersMinusOneAndLogsWhichDatabase) {
  auto store = makeStore();
  EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "PRAGMA user_version"), -1);  // no database yet
  store->loadDatabase();
  EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "SELECT nonsense FROM nowhere"), -1);
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> executeFetchSingleIntQuery failed returning -1 from MEMORY database: 1"));
  EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "SELECT 1 WHERE 0"), -1);
  EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "SELECT 5000000000"), 5000000000);
  ASSERT_TRUE(store->saveToDisk());
  auto disk = store->openDiskDatabase(true);
  ASSERT_TRUE(disk);
  EXPECT_EQ(store->executeFetchSingleIntQuery(disk->get(), "SELECT nonsense FROM nowhere"), -1);
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> executeFetchSingleIntQuery failed returning -1 from DISK database: 1"));
}

TEST_F(ProcessListDataStorePersistenceTests, RecreateAndPurgeDeleteTheSnapshot) {
  auto store = makeStore();
  store->loadDatabase();
  ASSERT_TRUE(store->executeInsert(insertNotification));
  ASSERT_TRUE(store->saveToDisk());

  ASSERT_TRUE(store->recreateDatabase());
  EXPECT_FALSE(exists(databasePath()));
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> Purged disk database file at " + databasePath()));
  EXPECT_EQ(memoryRows(*store, "velmora_notification_timestamp_table"), 0);
  EXPECT_TRUE(store->isDirty());

  ASSERT_TRUE(store->saveToDisk());
  ASSERT_TRUE(store->executeInsert(insertNotification));
  ASSERT_TRUE(store->purgeDiskDatabase());
  EXPECT_FALSE(exists(databasePath()));
  EXPECT_FALSE(store->isDirty());
  ASSERT_TRUE(store->purgeDiskDatabase());  // nothing there: still fine

  files.failRemove = true;
  ASSERT_TRUE(store->executeInsert("DELETE FROM velmora_notification_timestamp_table"));
  ASSERT_TRUE(store->saveToDisk());
  auto purged = store->purgeDiskDatabase();
  ASSERT_FALSE(purged);
  EXPECT_EQ(purged.error().message(), "Failed to remove item at " + databasePath() + ": Permission denied");

  // A rebuild whose deletion fails still leaves a working, empty database.
  ASSERT_TRUE(store->executeInsert(insertNotification));
  auto rebuilt = store->recreateDatabase();
  ASSERT_FALSE(rebuilt);
  EXPECT_EQ(rebuilt.error().message(), "Failed to remove item at " + databasePath() + ": Permission denied");
  ASSERT_TRUE(store->memoryDatabase());
  EXPECT_EQ(memoryRows(*store, "velmora_notification_timestamp_table"), 0);
  EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "PRAGMA user_version"), 9);
  EXPECT_TRUE(store->isDirty());
}

TEST_F(ProcessListDataStorePersistenceTests, SaveCreatesTheFolderAgainWhenItHasGone) {
  auto store = makeStore();
  store->loadDatabase();
  ASSERT_TRUE(store->saveToDisk());
  std::filesystem::remove_all(directory.path());
  ASSERT_TRUE(store->executeInsert(insertNotification));
  ASSERT_TRUE(store->saveToDisk());
  EXPECT_EQ(Snapshot(databasePath()).scalar("SELECT COUNT(*) FROM velmora_notification_timestamp_table"), 1);
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> Created the missing database directory " + directory.path()));
}

// A save waits at its flush until the test lets it go.
class SaveGate {
 public:
  explicit SaveGate(RecordingFileManager& files) {
    files.onceBeforeSynchronizeFile = [this] {
      entered_.release();
      release_.acquire();
    };
  }
  // True once the held save has copied the database.
  bool waitUntilHeld() { return entered_.try_acquire_for(10s); }
  void open() { release_.release(); }

 private:
  std::binary_semaphore entered_{0};
  std::binary_semaphore release_{0};
};

TEST_F(ProcessListDataStorePersistenceTests, ConcurrentSaveWaitsForTheRunningOneAndDoesNotRepeatIt) {
  auto store = makeStore();
  store->loadDatabase();
  SaveGate gate(files);
  auto first = std::async(std::launch::async, [&] { return store->saveToDisk(); });
  ASSERT_TRUE(gate.waitUntilHeld());
  EXPECT_TRUE(store->isSaving());
  auto second = std::async(std::launch::async, [&] { return store->saveToDisk(); });
  // The second save must not report success while the data is not on disk.
  EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout);
  gate.open();
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second.get());
  EXPECT_FALSE(store->isSaving());
  int renames = 0;
  for (const auto& call : files.calls()) renames += call.rfind("rename ", 0) == 0;
  EXPECT_EQ(renames, 1);
}

TEST_F(ProcessListDataStorePersistenceTests, WriteDuringACopyStaysDirtyAndReachesTheNextSave) {
  auto store = makeStore();
  store->loadDatabase();
  SaveGate gate(files);
  auto saving = std::async(std::launch::async, [&] { return store->saveToDisk(); });
  ASSERT_TRUE(gate.waitUntilHeld());
  ASSERT_TRUE(store->executeInsert(insertNotification));  // after the copy was taken
  gate.open();
  ASSERT_TRUE(saving.get());
  EXPECT_EQ(Snapshot(databasePath()).scalar("SELECT COUNT(*) FROM velmora_notification_timestamp_table"), 0);
  EXPECT_TRUE(store->isDirty());
  ASSERT_TRUE(store->saveToDisk());
  EXPECT_EQ(Snapshot(databasePath()).scalar("SELECT COUNT(*) FROM velmora_notification_timestamp_table"), 1);
}

TEST_F(ProcessListDataStorePersistenceTests, BoundedSaveGivesUpOnASaveThatDoesNotEnd) {
  auto store = makeStore();
  store->loadDatabase();
  SaveGate gate(files);
  auto held = std::async(std::launch::async, [&] { return store->saveToDisk(); });
  ASSERT_TRUE(gate.waitUntilHeld());
  auto started = std::chrono::steady_clock::now();
  auto bounded = store->saveToDiskWaitingAtMost(300ms);
  auto waited = std::chrono::steady_clock::now() - started;
  ASSERT_FALSE(bounded);
  EXPECT_EQ(bounded.error().message(), "Database save lock not available after 300 ms");
  EXPECT_GE(waited, 300ms);
  EXPECT_LT(waited, 5s);
  gate.open();
  ASSERT_TRUE(held.get());
  ASSERT_TRUE(store->executeInsert(insertNotification));
  ASSERT_TRUE(store->saveToDiskWaitingAtMost(300ms));  // nothing running: it saves
  EXPECT_FALSE(store->isDirty());
}

TEST_F(ProcessListDataStorePersistenceTests, TimedSaveThatExpiresReportsWholeSecondsAndFinishesLater) {
  auto store = makeStore();
  store->loadDatabase();
  SaveGate gate(files);
  auto timed = store->saveToDiskWithTimeout(0.5, false);
  ASSERT_FALSE(timed);
  EXPECT_EQ(timed.error().message(), "Database save timed out after 0 seconds");
  ASSERT_TRUE(gate.waitUntilHeld());
  EXPECT_FALSE(exists(databasePath()));
  gate.open();
  // A synchronous save waits for the background one, which covered everything.
  ASSERT_TRUE(store->saveToDisk());
  EXPECT_TRUE(exists(databasePath()));
  EXPECT_FALSE(store->isDirty());
}

TEST_F(ProcessListDataStorePersistenceTests, TimedSaveReturnsTheSaveOutcome) {
  auto store = makeStore();
  store->loadDatabase();
  ASSERT_TRUE(store->saveToDiskWithTimeout(15.0, false));
  EXPECT_TRUE(exists(databasePath()));

  ASSERT_TRUE(store->executeInsert(insertNotification));
  files.failReplace = true;
  auto failed = store->saveToDiskWithTimeout(15.0, false);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), "Failed to atomically rename database: Invalid cross-device link");
  auto immediate = store->saveToDiskWithTimeout(0, true);
  ASSERT_FALSE(immediate);
  EXPECT_EQ(immediate.error().message(), failed.error().message());
  files.failReplace = false;
  ASSERT_TRUE(store->saveToDiskWithTimeout(std::numeric_limits<double>::infinity(), false));
}

TEST_F(ProcessListDataStorePersistenceTests, AsyncSaveLogsItsFailure) {
  auto store = makeStore();
  store->loadDatabase();
  files.failSynchronizeFile = true;
  store->saveToDiskAsync();
  EXPECT_TRUE(log->contains(
      "<nimbrad:PLDS> Async save to disk failed: <nimbrad:PLDS> FAILED to flush temp database after save: "
      "Input/output error"));
  files.failSynchronizeFile = false;
  store->saveToDiskAsync();
  EXPECT_FALSE(store->isDirty());
}

}  // namespace
}  // namespace nimbra
