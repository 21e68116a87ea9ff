#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <future>
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

// Opens a snapshot file directly, as a later start of the daemon would.
struct Snapshot {
  explicit Snapshot(const std::string& path) { open = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK; }
  ~Snapshot() { sqlite3_close(db); }
  long long scalar(const std::string& sql) const {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return -1;
    long long value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    return value;
  }
  std::string integrity() const {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) != SQLITE_OK) return "unprepared";
    std::string text = sqlite3_step(statement) == SQLITE_ROW
                           ? reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))
                           : "no row";
    sqlite3_finalize(statement);
    return text;
  }
  sqlite3* db = nullptr;
  bool open = false;
};

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

class ProcessListDataStorePersistenceTests : public ::testing::Test {
 protected:
  std::shared_ptr<ProcessListDataStore> makeStore() {
    return std::make_shared<ProcessListDataStore>(directory.path(), files);
  }
  std::string databasePath() const { return directory.file("nimbra.db"); }
  std::string temporaryPath() const { return directory.file("nimbra.db.tmp"); }
  long long memoryRows(ProcessListDataStore& store, const std::string& table) {
    return rowCount(store.memoryDatabase()->handle(), table);
  }

  test::TempDirectory directory;
  RecordingFileManager files;
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
  ASSERT_TRUE(snapshot.open);
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
    // A kept snapshot equals memory; a rebuilt one is deleted and the empty
    // database waits to replace it.
    EXPECT_EQ(store->isDirty(), !kept);
    EXPECT_EQ(exists(databasePath()), kept);
    ::unlink(databasePath().c_str());
  }
}

TEST_F(ProcessListDataStorePersistenceTests, UnreadableSnapshotIsReplacedByAnEmptyDatabase) {
  std::ofstream(databasePath()) << "this is not a database, just forty-odd bytes of text";
  auto store = makeStore();
  store->loadDatabase();
  ASSERT_TRUE(store->memoryDatabase());
  EXPECT_EQ(store->executeFetchSingleIntQuery(nullptr, "PRAGMA user_version"), 9);
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> FAILED to sync database contents 26 file is not a database"));
  EXPECT_FALSE(exists(databasePath()));
  ASSERT_TRUE(store->saveToDisk());
  EXPECT_EQ(Snapshot(databasePath()).integrity(), "ok");
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
