#pragma once

// The process list store: every recorded launch in a SQLite database that
// lives in memory, with a snapshot file on disk that a save replaces as a
// whole. Callers on any queue use it: the connection is opened in serialized
// (full-mutex) mode, saves are serialized by the save lock, and the launch
// debounce state has a lock of its own. Owned by the daemon's main object
// through a shared_ptr (the timed save holds it weakly).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "nimbrad/ExclusionRulesProviding.h"
#include "nimbrad/ProcessListDataStoreError.h"
#include "nimbrad/SQLParameter.h"
#include "nimbrad/SQLiteDatabase.h"
#include "platform/Clock.h"
#include "platform/Expected.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/Value.h"

namespace nimbra {

struct ProcessDataEntry;
struct VelmoraPolicy;

class ProcessListDataStore : public std::enable_shared_from_this<ProcessListDataStore> {
 public:
  template <typename T>
  using Result = platform::Expected<T, ProcessListDataStoreError>;

  // An intermediate row while bundle payloads are assembled.
  struct RawEntry {
    std::string bundleID;
    std::string originalPath;
    std::string developerName;
    std::string productKey;
    std::optional<platform::Date> lastOpenedDate;

    bool operator==(const RawEntry&) const = default;
  };

  static constexpr std::string_view groupIdentifier = "group.com.corvane.nimbrad";
  static constexpr std::string_view databaseFileName = "nimbra.db";
  // SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX.
  static constexpr int databaseOptions = 0x10006;
  // A store file that could not be loaded is renamed to this prefix followed
  // by the UTC time ("nimbra.db.unreadable-20261201T100000Z"), in its folder.
  static constexpr std::string_view unreadableCopyPrefix = "nimbra.db.unreadable-";
  // At most this many such copies are kept; the oldest go first.
  static constexpr std::size_t keptUnreadableCopies = 3;
  // How long a store file that another process holds locked is tried again
  // at start before it counts as unreadable.
  static constexpr std::chrono::milliseconds lockedFileRetry{5000};

  // `directory` holds the store file; without one it is the container of the
  // application group "group.com.corvane.nimbrad". The directory is created
  // when missing. Never fails: a directory that cannot be found or created
  // leaves databaseURL() absent, logged, and every save then fails.
  explicit ProcessListDataStore(std::optional<std::string> directory = std::nullopt,
                                platform::FileManager& fileManager = platform::FileManager::defaultManager(),
                                const platform::Clock& clock = platform::Clock::system());
  ProcessListDataStore(const ProcessListDataStore&) = delete;
  ProcessListDataStore& operator=(const ProcessListDataStore&) = delete;
  ~ProcessListDataStore();

  // --- Location -----------------------------------------------------------

  // The directory that holds the store file, as a plain file-system path
  // (not a URL, whatever the name says); absent when it could not be resolved.
  const std::optional<std::string>& databaseURL() const { return databaseURL_; }
  // databaseURL/nimbra.db, or "" without a directory.
  std::string databasePath() const;

  // --- Loading and persisting (any thread) ---------------------------------

  // Start-up: copies the snapshot into a new memory database. A snapshot that
  // another process holds locked is tried again for up to lockedFileRetry.
  // A copy that fails PRAGMA quick_check is replaced by a fresh database
  // holding every row that could still be read. Without a usable snapshot
  // (none, unreadable, schema version 8 or less) the memory database is an
  // empty one of the current schema. A snapshot that was not used as it is
  // is never deleted: it is renamed aside (unreadableCopyPrefix), or, when
  // that fails, every later save tries the rename again first and fails
  // while it does not succeed, so that the file is never overwritten.
  // Every outcome is logged. Never fails.
  void loadDatabase();

  // Builds an empty database of the current schema, marked dirty so that the
  // next save writes it, and deletes the snapshot. The memory database is
  // replaced even when the deletion fails; the deletion's error is returned.
  Result<void> recreateDatabase();

  // Deletes the snapshot file if there is one and marks the store clean.
  // Fails only with the file system's error from removing it.
  Result<void> purgeDiskDatabase();

  // Opens the snapshot for inspection (read-only, or read-write). The caller
  // owns the handle. Fails when there is no directory, no file, or SQLite
  // cannot open it.
  Result<SQLiteHandle> openDiskDatabase(bool readOnly);

  // Copies database `from` into `to` in full with the online backup interface.
  static Result<void> syncDatabase(sqlite3* from, sqlite3* to);

  // Writes the memory database to a temporary file, flushes it to stable
  // storage and renames it over nimbra.db, so that the file is always either
  // the previous or the new snapshot. Returns success without writing when
  // nothing changed since the last completed save. A save requested while
  // another runs waits for it and then writes what that one did not cover,
  // so success always means every write that completed before the call is
  // on disk. Writes that land while the copy runs keep the store dirty.
  // The folder is created again when it has gone. While a snapshot that
  // could not be loaded still waits to be set aside (see loadDatabase), the
  // save first tries to set it aside and fails without writing if it cannot.
  Result<void> saveToDisk();

  // saveToDisk(), except that it waits at most `lockWait` for a save that is
  // already running: when that one does not end in time, it fails with
  // "Database save lock not available after N ms" without writing. For the
  // exit path, which must not hang behind a save that never ends.
  Result<void> saveToDiskWaitingAtMost(std::chrono::milliseconds lockWait);

  // saveToDisk() bounded in time: it runs on a queue of its own while the
  // caller waits at most `timeout` seconds (an infinite timeout waits for it,
  // NaN or a negative one counts as 0). On timeout the save goes on in the
  // background and the error "Database save timed out after N seconds" is
  // returned. With `immediate` it is saveToDisk() on the calling thread, and
  // so it is for a store not owned by a shared_ptr (the background save must
  // hold the store weakly).
  Result<void> saveToDiskWithTimeout(double timeout, bool immediate);

  // saveToDisk() with a failure logged instead of returned. Runs on the
  // calling queue (the daemon calls it from its database sync queue).
  void saveToDiskAsync();

  // Records that the memory database holds a change the snapshot lacks.
  void markDirty();
  // True while such a change exists.
  bool isDirty() const;
  // The number of changes (successful writes) not yet covered by a completed
  // save; 0 when clean.
  std::uint64_t unsavedChangeCount() const;
  // True while a save runs.
  bool isSaving() const { return dbIsSaving_.load(); }

  // The first column of the first row of `sql` run on `database` (the memory
  // database when null), or -1 when there is no row or it cannot be prepared
  // (logged).
  std::int64_t executeFetchSingleIntQuery(sqlite3* database, std::string_view sql);

  // --- Write path (any thread) ---------------------------------------------

  // The rid of the entry's identity, or -1 when not recorded or on error.
  std::int64_t getRID(const ProcessDataEntry& entry);

  // Records one launch: finds or creates the identity row (with `lookupRID`,
  // else uses `rid`), upserts the process-list row and appends a launch
  // timestamp (debounced). True when a new process-list row was created,
  // false when an existing one was updated. Fails without writing when no
  // rid could be had (a negative `rid`), and with the failing statement's
  // error.
  Result<bool> updateEntry(const ProcessDataEntry& entry, std::int64_t rid, bool lookupRID);

  // The rid of the entry's identity row, inserted when missing.
  Result<std::int64_t> upsertUniqueEntry(const ProcessDataEntry& entry);

  // True when the entry's process-list row exists.
  Result<bool> entryExists(const ProcessDataEntry& entry);

  // Appends (rid, date) to the launch timestamps unless the same rid was
  // written less than 10 seconds before (or the date goes backwards); a
  // negative rid writes nothing. The check and the write are one step.
  Result<void> insertLaunchTimestamp(std::int64_t rid, platform::Date date);

  // Records a notification sent to `uid` about `productKey`; an identical
  // record is kept once. Failures are logged, not returned.
  void recordNotification(std::string_view productKey, std::uint32_t uid, platform::Date date);

  // --- Statement helpers -----------------------------------------------------

  // Bind or fail with the message naming the parameter; nothing is rolled
  // back (the statement is reset before its next use).
  static Result<void> bindNamedParameters(const NamedParameters& parameters, sqlite3_stmt* statement);
  // The same through a cached statement, which knows its parameter names.
  static Result<void> bindNamedParameters(const NamedParameters& parameters, const SQLiteStatement& statement);
  static Result<void> bindPositionalParameters(const PositionalParameters& parameters, sqlite3_stmt* statement);

  // Each runs one statement on the memory database; the inserts mark the
  // store dirty after an accepted step, and only then.
  Result<void> executeInsert(std::string_view sql);
  Result<void> executeParameterizedInsert(std::string_view sql, const NamedParameters& parameters);
  // Column 0 of the row the statement returns.
  Result<std::int64_t> executeParameterizedInsertReturning(std::string_view sql, const NamedParameters& parameters);
  // Column 0 of the first row equals 1. `database` null means the memory database.
  Result<bool> executeParameterizedBoolQuery(sqlite3* database, std::string_view sql,
                                             const PositionalParameters& parameters);
  // Column 0 of the first row, or -1 (no row, failure: logged).
  std::int64_t executeParameterizedSingleIntQuery(sqlite3* database, std::string_view sql,
                                                  const PositionalParameters& parameters);

  // --- Collaborators and switches ------------------------------------------

  void setExclusionRulesProvider(std::shared_ptr<const ExclusionRulesProviding> provider);
  std::shared_ptr<const ExclusionRulesProviding> exclusionRulesProvider() const;

  // Changed only by the database commands; read without a lock.
  std::atomic<bool> enableIgnoreListFilter{true};
  std::atomic<bool> enableUninterestingTargetFilter{true};
  // Kept here, applied by the game filter.
  std::atomic<bool> enableGameFilter{true};

  // --- Entry filters (any thread; the caller's queue) -------------------------

  // True when the entry must not be recorded: the ignore list (when its
  // switch is on), then the uninteresting-target filter (when its switch is
  // on). The decision is logged at debug level with its reason.
  bool shouldExclude(const ProcessDataEntry& entry, const VelmoraPolicy& policy) const;
  // Platform tools by name, then the exclusion rules: the provider's current
  // rules, or the built-in rule when no provider is set.
  bool ignoreListMatches(const ProcessDataEntry& entry) const;
  bool isUninterestingTarget(const ProcessDataEntry& entry, const VelmoraPolicy& policy) const;
  // One rule against one entry (see EntryFilter::ruleMatches).
  static bool ruleMatches(const ProcessDataEntry& entry, const ExclusionRule& rule);

  // The memory database, or null when none is open. The connection stays
  // valid for as long as the caller holds it, even if the store closes it.
  std::shared_ptr<SQLiteDatabase> memoryDatabase() const;

 private:
  struct Prepared;
  Prepared prepare(sqlite3* database, std::string_view sql) const;
  void setMemoryDatabase(std::shared_ptr<SQLiteDatabase> database);
  Result<void> createTables(sqlite3* handle);
  // A new memory database with the current schema and version, not yet the
  // store's.
  Result<std::shared_ptr<SQLiteDatabase>> newDatabase();
  // Makes `database` the store's memory database, to be written by the next save.
  void installNew(std::shared_ptr<SQLiteDatabase> database);
  struct LoadFailure;
  // With `tolerateDamage`, a file shorter than its header says is read as far as it goes.
  platform::Expected<std::shared_ptr<SQLiteDatabase>, LoadFailure> loadFromDisk(bool tolerateDamage);  // REQUIRES: dbSaveLock_ held
  platform::Expected<std::shared_ptr<SQLiteDatabase>, LoadFailure> loadFromDiskWhileLocked();  // REQUIRES: dbSaveLock_ held
  // Renames the unloaded snapshot aside; false (logged once) when it cannot.
  bool setAsideUnloadedFile();  // REQUIRES: dbSaveLock_ held
  void removeOldUnreadableCopies();  // REQUIRES: dbSaveLock_ held
  // Without `lockWait`, waits for a running save as long as it takes.
  Result<void> save(std::optional<std::chrono::milliseconds> lockWait);
  Result<void> purgeLocked();  // REQUIRES: dbSaveLock_ held
  Result<void> writeSnapshot();  // REQUIRES: dbSaveLock_ held
  std::uint64_t dirtyGeneration() const;
  void markSaved(std::uint64_t generation);
  // Removes a file on a failure path; its own failure replaces the step's error.
  ProcessListDataStoreError removeAfterFailure(const std::string& path, ProcessListDataStoreError error);

  platform::Logger log_;
  platform::FileManager& fileManager_;
  const platform::Clock& clock_;
  std::optional<std::string> databaseURL_;

  mutable std::mutex dbLock_;
  std::shared_ptr<SQLiteDatabase> db_;  // GUARDED_BY(dbLock_)

  std::atomic<bool> dbIsSaving_{false};
  std::timed_mutex dbSaveLock_;
  SQLiteHandle dbDisk_;  // GUARDED_BY(dbSaveLock_); open only while loading or saving

  // A snapshot that could not be loaded and is still at databasePath(): no
  // save may replace it before it is renamed aside.
  struct UnloadedFile {
    std::string reason;     // why it was not loaded
    std::string moveError;  // why the last rename aside failed; empty before the first try
  };
  std::optional<UnloadedFile> unloadedFile_;  // GUARDED_BY(dbSaveLock_)

  // The store is dirty while the count of marked changes differs from the
  // count the last completed save started from. A save records the count
  // before it copies, so a change that lands during the copy stays dirty.
  mutable std::mutex dbDiskDirtyLock_;
  std::uint64_t dirtyGeneration_ = 0;  // GUARDED_BY(dbDiskDirtyLock_)
  std::uint64_t savedGeneration_ = 0;  // GUARDED_BY(dbDiskDirtyLock_)

  mutable std::mutex exclusionRulesLock_;
  std::shared_ptr<const ExclusionRulesProviding> exclusionRulesProvider_;  // GUARDED_BY(exclusionRulesLock_)

  // The last launch timestamp written, for the debounce.
  std::mutex launchTimestampLock_;
  std::int64_t lastLaunchRID_ = -1;          // GUARDED_BY(launchTimestampLock_)
  platform::Date lastLaunchTimestamp_;       // GUARDED_BY(launchTimestampLock_)
};

}  // namespace nimbra
