#include "nimbrad/ProcessListDataStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <semaphore>
#include <thread>
#include <tuple>

#include <fmt/format.h>

#include "nimbrad/DateFormatter.h"
#include "nimbrad/EntryFilter.h"
#include "nimbrad/ProcessDataEntry.h"
#include "nimbrad/ProcessListStatements.h"
#include "nimbrad/StoreSalvage.h"
#include "platform/Directories.h"
#include "platform/Dispatch.h"

namespace nimbra {

using Error = ProcessListDataStoreError;

namespace {

// The outcome of one sqlite3_step, with the connection's message read under
// the connection mutex: with several threads on one serialized connection,
// another statement could otherwise replace the message before it is read.
struct StepResult {
  int code;
  std::string error;  // the connection's message, only when the step failed
  int changes = 0;    // rows changed by this statement

  // What a failure message quotes. A result the caller refuses although the
  // step succeeded (a row where none was expected, or none where one was) has
  // no message of the connection's: it is named by its code's text.
  std::string_view message() const {
    if (error.empty()) return sqlite3_errstr(code);
    return error;
  }
};

StepResult step(sqlite3_stmt* statement) {
  sqlite3* handle = sqlite3_db_handle(statement);
  sqlite3_mutex* mutex = sqlite3_db_mutex(handle);
  sqlite3_mutex_enter(mutex);
  StepResult result{sqlite3_step(statement)};
  if (result.code != SQLITE_ROW && result.code != SQLITE_DONE) {
    result.error = sqlite3_errmsg(handle);
  } else {
    result.changes = sqlite3_changes(handle);
  }
  sqlite3_mutex_leave(mutex);
  return result;
}

// sqlite3_bind_parameter_index needs a terminated name; names are short.
int parameterIndex(sqlite3_stmt* statement, std::string_view name) {
  char buffer[128];
  if (name.size() < sizeof buffer) {
    std::memcpy(buffer, name.data(), name.size());
    buffer[name.size()] = '\0';
    return sqlite3_bind_parameter_index(statement, buffer);
  }
  return sqlite3_bind_parameter_index(statement, std::string(name).c_str());
}

enum class BindOutcome { bound, unsupported, outOfRange };

// Binds one value by the type rules of the store: text as text with its
// length, so that every byte counts (texts differing after a NUL must never
// merge two identities), every integer as a 64-bit
// integer, a double as a double. Booleans and absent values are refused: a
// silent 0/1 or NULL in an identity column would corrupt later lookups.
BindOutcome bindValue(sqlite3_stmt* statement, int index, const SQLParameter& value, int& resultCode) {
  using Type = SQLParameter::Type;
  switch (value.type()) {
    case Type::text: {
      std::string_view text = value.text();
      resultCode = sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
      return BindOutcome::bound;
    }
    case Type::uint32:
      resultCode = sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(value.unsignedValue()));
      return BindOutcome::bound;
    case Type::uint64:
      if (value.unsignedValue() > static_cast<std::uint64_t>(std::numeric_limits<sqlite3_int64>::max())) {
        return BindOutcome::outOfRange;
      }
      resultCode = sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(value.unsignedValue()));
      return BindOutcome::bound;
    case Type::int32:
    case Type::integer:
    case Type::int64:
      resultCode = sqlite3_bind_int64(statement, index, value.signedValue());
      return BindOutcome::bound;
    case Type::real:
      resultCode = sqlite3_bind_double(statement, index, value.realValue());
      return BindOutcome::bound;
    case Type::boolean:
    case Type::absent:
      return BindOutcome::unsupported;
  }
  return BindOutcome::unsupported;
}

}  // namespace

// A statement prepared on the memory database (cached) or on a given handle
// (one-shot). Holds the memory connection for as long as the statement lives.
struct ProcessListDataStore::Prepared {
  std::shared_ptr<SQLiteDatabase> memory;  // declared first: destroyed after the statement
  sqlite3* handle = nullptr;
  SQLiteStatement statement;
  int code = SQLITE_OK;

  explicit operator bool() const { return static_cast<bool>(statement); }
  // The message of a failed preparation.
  std::string message() const {
    return handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(code);
  }
};

ProcessListDataStore::Prepared ProcessListDataStore::prepare(sqlite3* database, std::string_view sql) const {
  Prepared prepared;
  if (database != nullptr) {
    prepared.handle = database;
    prepared.statement = prepareStatement(database, sql, prepared.code);
    return prepared;
  }
  prepared.memory = memoryDatabase();
  if (!prepared.memory) {
    // No memory database: every statement fails at preparation.
    prepared.code = SQLITE_MISUSE;
    return prepared;
  }
  prepared.handle = prepared.memory->handle();
  prepared.statement = prepared.memory->prepare(sql, prepared.code);
  return prepared;
}

ProcessListDataStore::ProcessListDataStore(std::optional<std::string> directory, platform::FileManager& fileManager,
                                           const platform::Clock& clock)
    : log_("com.corvane.nimbrad", "ProcessListDataStore"),
      fileManager_(fileManager),
      clock_(clock),
      lastLaunchTimestamp_(DateFormatter::distantPast) {
  std::optional<std::string> candidate = std::move(directory);
  if (!candidate) {
    candidate = platform::directories::groupContainer(groupIdentifier);
    if (!candidate) {
      log_.error("<nimbrad:PLDS> Failed to lookup container directory for group identifier {}", groupIdentifier);
      return;
    }
  }
  if (!fileManager_.fileExists(*candidate)) {
    if (auto error = fileManager_.createDirectory(*candidate)) {
      log_.error("FAILED to create database directory at {} error: {}.", *candidate, error.message());
      return;
    }
  }
  databaseURL_ = std::move(candidate);
}

ProcessListDataStore::~ProcessListDataStore() = default;

std::string ProcessListDataStore::databasePath() const {
  if (!databaseURL_) return {};
  return *databaseURL_ + "/" + std::string(databaseFileName);
}

std::shared_ptr<SQLiteDatabase> ProcessListDataStore::memoryDatabase() const {
  std::lock_guard lock(dbLock_);
  return db_;
}

void ProcessListDataStore::setMemoryDatabase(std::shared_ptr<SQLiteDatabase> database) {
  {
    std::lock_guard lock(dbLock_);
    std::swap(db_, database);
  }
  // The previous connection closes here, or when its last user lets go.
}

// --- Dirty state -------------------------------------------------------------

void ProcessListDataStore::markDirty() {
  std::lock_guard lock(dbDiskDirtyLock_);
  ++dirtyGeneration_;
}

bool ProcessListDataStore::isDirty() const {
  std::lock_guard lock(dbDiskDirtyLock_);
  return dirtyGeneration_ != savedGeneration_;
}

std::uint64_t ProcessListDataStore::unsavedChangeCount() const {
  std::lock_guard lock(dbDiskDirtyLock_);
  return dirtyGeneration_ - savedGeneration_;
}

std::uint64_t ProcessListDataStore::dirtyGeneration() const {
  std::lock_guard lock(dbDiskDirtyLock_);
  return dirtyGeneration_;
}

void ProcessListDataStore::markSaved(std::uint64_t generation) {
  std::lock_guard lock(dbDiskDirtyLock_);
  // A purge may have marked a later generation saved meanwhile; never go back.
  savedGeneration_ = std::max(savedGeneration_, generation);
}

// --- Loading -------------------------------------------------------------------

namespace {

// Copies `from` into `to` in one backup step: SQLITE_DONE on success, -1 when
// the backup could not start, else the step's result code.
int copyDatabase(sqlite3* from, sqlite3* to) {
  sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
  if (backup == nullptr) return -1;
  // All pages in one step: the source connection's mutex is held throughout,
  // so the copy is one consistent state of the source.
  int code = sqlite3_backup_step(backup, -1);
  sqlite3_backup_finish(backup);
  return code;
}

ProcessListDataStoreError copyFailure(int code, sqlite3* to) {
  if (code == -1) return ProcessListDataStoreError::databaseError("Failed to initialize database sync");
  return ProcessListDataStoreError::databaseError("<nimbrad:PLDS> FAILED to sync database contents", code,
                                                  sqlite3_errmsg(to));
}

bool isLockConflict(int code) { return (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED; }

// "20261201T100000Z"
std::string utcStamp(std::chrono::system_clock::time_point time) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

// A rollback journal or write-ahead log belongs to the file it was written
// for, under that file's name: it moves and goes with it.
constexpr std::array<std::string_view, 2> companionSuffixes = {"-journal", "-wal"};

}  // namespace

struct ProcessListDataStore::LoadFailure {
  Error error;
  int code = SQLITE_OK;  // SQLite's result code, when SQLite refused
  bool noFile = false;   // there was nothing to load
};

platform::Expected<std::shared_ptr<SQLiteDatabase>, ProcessListDataStore::LoadFailure>
ProcessListDataStore::loadFromDisk(bool tolerateDamage) {
  std::string path = databasePath();
  if (!databaseURL_ || !fileManager_.fileExists(path)) {
    return platform::unexpected(LoadFailure{Error::databaseError("No existing database file found"), SQLITE_OK, true});
  }
  auto disk = openSQLite(path, databaseOptions);
  if (!disk) {
    return platform::unexpected(LoadFailure{Error::databaseError("<nimbrad:PLDS> FAILED to open disk database at " + path,
                                                                 disk.error().code, disk.error().message),
                                            disk.error().code});
  }
  dbDisk_ = std::move(disk).value();
  // SQLite refuses a file shorter than its header says (cut off by a full
  // disk or a bad copy) unless the schema is writable. Nothing is written
  // through this connection: it only lets the pages that are there be read.
  if (tolerateDamage) sqlite3_exec(dbDisk_.get(), "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr);
  auto memory = openSQLite(":memory:", databaseOptions);
  if (!memory) {
    dbDisk_.reset();
    return platform::unexpected(LoadFailure{Error::databaseError("<nimbrad:PLDS> FAILED to open in-memory database",
                                                                 memory.error().code, memory.error().message),
                                            memory.error().code});
  }
  auto database = std::make_shared<SQLiteDatabase>(std::move(memory).value());
  int copied = copyDatabase(dbDisk_.get(), database->handle());
  dbDisk_.reset();
  if (copied != SQLITE_DONE) {
    return platform::unexpected(LoadFailure{copyFailure(copied, database->handle()), copied});
  }
  return database;
}

platform::Expected<std::shared_ptr<SQLiteDatabase>, ProcessListDataStore::LoadFailure>
ProcessListDataStore::loadFromDiskWhileLocked() {
  // Another process (a backup tool, an administrator's sqlite3 shell) may
  // hold the file for a moment: that is no reason to give up on it.
  auto deadline = clock_.uptime() + lockedFileRetry;
  bool reported = false;
  for (;;) {
    auto loaded = loadFromDisk(false);
    if (loaded || !isLockConflict(loaded.error().code) || clock_.uptime() >= deadline) return loaded;
    if (!reported) {
      log_.notice("<nimbrad:PLDS> Database at {} is locked by another process; trying again for up to {} ms",
                  databasePath(), lockedFileRetry.count());
      reported = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void ProcessListDataStore::loadDatabase() {
  std::lock_guard saveLock(dbSaveLock_);
  std::string path = databasePath();
  std::string unusable;  // why the file at `path` is not used as it is
  std::shared_ptr<SQLiteDatabase> damaged;
  auto loaded = loadFromDiskWhileLocked();
  if (!loaded && (loaded.error().code & 0xff) == SQLITE_CORRUPT) {
    // Damaged beyond a plain load: what can still be read is salvaged below.
    unusable = loaded.error().error.description();
    log_.error("<nimbrad:PLDS> Database at {} is damaged ({}); keeping the rows that can still be read", path,
               unusable);
    if (auto readable = loadFromDisk(true)) damaged = std::move(readable).value();
  } else if (!loaded) {
    log_.notice("<nimbrad:PLDS> Loading the database from disk failed, creating a new one: {}",
                loaded.error().error.description());
    if (!loaded.error().noFile) unusable = loaded.error().error.description();
  } else {
    std::int64_t version = executeFetchSingleIntQuery((*loaded)->handle(), "PRAGMA user_version");
    if (version <= statements::currentSchemaVersion - 1) {
      log_.notice("<nimbrad:PLDS> Database at {} has user_version {}, creating a new one", path, version);
      unusable = fmt::format("user_version {} is older than {}", version, statements::currentSchemaVersion);
    } else if (auto damage = storeSalvage::damage((*loaded)->handle())) {
      log_.error("<nimbrad:PLDS> Database at {} is damaged ({}); keeping the rows that can still be read", path,
                 *damage);
      unusable = "damaged: " + *damage;
      damaged = std::move(loaded).value();
    } else {
      setMemoryDatabase(std::move(loaded).value());
      markSaved(dirtyGeneration());  // memory and snapshot agree
      log_.info("<nimbrad:PLDS> Loaded database from {} (user_version {})", path, version);
      return;
    }
  }

  if (auto fresh = newDatabase(); !fresh) {
    log_.error("<nimbrad:PLDS> Failed to create a new database: {}", fresh.error().description());
  } else {
    if (damaged) {
      for (const auto& table : storeSalvage::copyReadableRows(damaged->handle(), (*fresh)->handle())) {
        log_.notice("<nimbrad:PLDS> Kept {} rows of {} from the damaged database{}", table.rows, table.table,
                    table.complete ? "" : " (unreadable parts skipped)");
      }
      damaged.reset();
    }
    installNew(std::move(fresh).value());
  }
  if (!unusable.empty()) {
    unloadedFile_ = UnloadedFile{std::move(unusable), {}};
    setAsideUnloadedFile();
  }
}

bool ProcessListDataStore::setAsideUnloadedFile() {
  std::string path = databasePath();
  if (!fileManager_.fileExists(path)) {  // gone meanwhile: nothing left to protect
    unloadedFile_.reset();
    return true;
  }
  std::string base = *databaseURL_ + "/" + std::string(unreadableCopyPrefix) + utcStamp(clock_.now());
  std::string aside = base;
  for (int n = 1; fileManager_.fileExists(aside); ++n) aside = base + "." + std::to_string(n);
  if (auto error = fileManager_.moveItem(path, aside)) {
    bool first = unloadedFile_->moveError.empty();
    unloadedFile_->moveError = fmt::format("cannot rename it to {}: {}", aside, error.message());
    if (first) {
      log_.error("<nimbrad:PLDS> Database {} could not be loaded ({}) and {}; no save replaces it until it is set aside",
                 path, unloadedFile_->reason, unloadedFile_->moveError);
    }
    return false;
  }
  for (auto suffix : companionSuffixes) {
    std::string companion = path + std::string(suffix);
    if (fileManager_.fileExists(companion)) (void)fileManager_.moveItem(companion, aside + std::string(suffix));
  }
  (void)fileManager_.synchronizeDirectory(*databaseURL_);
  log_.error("<nimbrad:PLDS> Database {} could not be loaded ({}); set aside as {}", path, unloadedFile_->reason, aside);
  unloadedFile_.reset();
  removeOldUnreadableCopies();
  return true;
}

void ProcessListDataStore::removeOldUnreadableCopies() {
  auto names = fileManager_.contentsOfDirectory(*databaseURL_);
  if (!names) return;
  // Oldest first: by the time in the name, then by the number added when
  // two copies were made within one second.
  struct Copy {
    std::string stamp;
    long number = 0;
    std::string name;
  };
  std::vector<Copy> copies;
  for (auto& name : *names) {
    if (!name.starts_with(unreadableCopyPrefix)) continue;
    if (std::any_of(companionSuffixes.begin(), companionSuffixes.end(),
                    [&](std::string_view suffix) { return name.ends_with(suffix); })) {
      continue;
    }
    Copy copy{name.substr(unreadableCopyPrefix.size()), 0, name};
    if (auto dot = copy.stamp.find('.'); dot != std::string::npos) {
      copy.number = std::strtol(copy.stamp.c_str() + dot + 1, nullptr, 10);
      copy.stamp.resize(dot);
    }
    copies.push_back(std::move(copy));
  }
  if (copies.size() <= keptUnreadableCopies) return;
  std::sort(copies.begin(), copies.end(),
            [](const Copy& a, const Copy& b) { return std::tie(a.stamp, a.number) < std::tie(b.stamp, b.number); });
  for (std::size_t i = 0; i + keptUnreadableCopies < copies.size(); ++i) {
    std::string path = *databaseURL_ + "/" + copies[i].name;
    if (auto error = fileManager_.removeItem(path)) {
      log_.error("<nimbrad:PLDS> Cannot remove old unreadable database copy {}: {}", path, error.message());
      continue;
    }
    for (auto suffix : companionSuffixes) {
      std::string companion = path + std::string(suffix);
      if (fileManager_.fileExists(companion)) (void)fileManager_.removeItem(companion);
    }
    log_.notice("<nimbrad:PLDS> Removed the oldest unreadable database copy {} (at most {} are kept)", path,
                keptUnreadableCopies);
  }
}

ProcessListDataStore::Result<void> ProcessListDataStore::createTables(sqlite3* handle) {
  for (const auto& text : statements::createTables()) {
    int code = SQLITE_OK;
    SQLiteStatement statement = prepareStatement(handle, text, code);
    if (!statement) {
      return platform::unexpected(
          Error::databaseError("<nimbrad:PLDS> FAILED prepare CREATE TABLE statement.", code, sqlite3_errmsg(handle)));
    }
    StepResult result = step(statement.get());
    if (result.code != SQLITE_DONE) {
      std::string message = result.error.empty() ? "Unknown database error" : result.error;
      return platform::unexpected(Error::databaseError(
          fmt::format("<nimbrad:PLDS> FAILED to create the table: {}.", message), result.code, result.message()));
    }
  }
  return {};
}

ProcessListDataStore::Result<std::shared_ptr<SQLiteDatabase>> ProcessListDataStore::newDatabase() {
  auto memory = openSQLite(":memory:", databaseOptions);
  if (!memory) {
    return platform::unexpected(Error::databaseError("<nimbrad:PLDS> FAILED to open in-memory database",
                                                     memory.error().code, memory.error().message));
  }
  auto database = std::make_shared<SQLiteDatabase>(std::move(memory).value());
  if (auto created = createTables(database->handle()); !created) return platform::unexpected(created.error());
  return database;
}

void ProcessListDataStore::installNew(std::shared_ptr<SQLiteDatabase> database) {
  setMemoryDatabase(std::move(database));
  // setVersion
  if (auto versioned = executeInsert(statements::setVersion()); !versioned) {
    log_.error("<nimbrad:PLDS> setVersion failed: {}.", versioned.error().description());
  }
  // Whatever the disk holds is not this database: the next save writes it.
  markDirty();
}

ProcessListDataStore::Result<void> ProcessListDataStore::recreateDatabase() {
  Result<void> purged;
  {
    // A save that is copying finishes first, so that its rename cannot put
    // the old snapshot back after the purge.
    std::lock_guard saveLock(dbSaveLock_);
    purged = purgeLocked();
  }
  auto fresh = newDatabase();
  if (!fresh) return platform::unexpected(fresh.error());
  installNew(std::move(fresh).value());
  return purged;
}

ProcessListDataStore::Result<void> ProcessListDataStore::purgeDiskDatabase() {
  std::lock_guard saveLock(dbSaveLock_);
  return purgeLocked();
}

ProcessListDataStore::Result<void> ProcessListDataStore::purgeLocked() {
  if (!databaseURL_) return {};
  std::string path = databasePath();
  if (fileManager_.fileExists(path)) {
    if (auto error = fileManager_.removeItem(path)) {
      return platform::unexpected(
          Error::fileSystemError(fmt::format("Failed to remove item at {}: {}", path, error.message())));
    }
    log_.debug("<nimbrad:PLDS> Purged disk database file at {}", path);
  }
  unloadedFile_.reset();  // deleted on request: nothing left to set aside
  markSaved(dirtyGeneration());
  return {};
}

ProcessListDataStore::Result<SQLiteHandle> ProcessListDataStore::openDiskDatabase(bool readOnly) {
  if (!databaseURL_) return platform::unexpected(Error::databaseError("No database path configured"));
  std::string path = databasePath();
  if (!fileManager_.fileExists(path)) {
    return platform::unexpected(Error::databaseError("No database file exists at path: " + path));
  }
  auto disk = openSQLite(path, readOnly ? SQLITE_OPEN_READONLY : databaseOptions);
  if (!disk) {
    return platform::unexpected(Error::databaseError(
        fmt::format("<nimbrad:PLDS> FAILED to open disk database to {} at {}", readOnly ? "read from" : "write to",
                    path),
        disk.error().code, disk.error().message));
  }
  return std::move(disk).value();
}

ProcessListDataStore::Result<void> ProcessListDataStore::syncDatabase(sqlite3* from, sqlite3* to) {
  int code = copyDatabase(from, to);
  if (code != SQLITE_DONE) return platform::unexpected(copyFailure(code, to));
  return {};
}

// --- Saving --------------------------------------------------------------------

ProcessListDataStore::Result<void> ProcessListDataStore::saveToDisk() { return save(std::nullopt); }

ProcessListDataStore::Result<void> ProcessListDataStore::saveToDiskWaitingAtMost(std::chrono::milliseconds lockWait) {
  return save(lockWait);
}

ProcessListDataStore::Result<void> ProcessListDataStore::save(std::optional<std::chrono::milliseconds> lockWait) {
  if (!isDirty()) return {};
  // A running save is waited for rather than skipped: returning at once would
  // report success for writes that save may not have copied, and a shutdown
  // save could then end the process before they reach the disk.
  std::unique_lock saveLock(dbSaveLock_, std::defer_lock);
  if (!lockWait) {
    saveLock.lock();
  } else if (!saveLock.try_lock_for(*lockWait)) {
    return platform::unexpected(
        Error::databaseError(fmt::format("Database save lock not available after {} ms", lockWait->count())));
  }
  if (!isDirty()) return {};  // the save we waited for covered everything
  if (unloadedFile_ && !setAsideUnloadedFile()) {
    return platform::unexpected(Error::databaseError(
        fmt::format("<nimbrad:PLDS> Not saving over {}, which could not be loaded ({}) and {}", databasePath(),
                    unloadedFile_->reason, unloadedFile_->moveError)));
  }
  dbIsSaving_.store(true);
  auto result = writeSnapshot();
  dbIsSaving_.store(false);
  return result;
}

Error ProcessListDataStore::removeAfterFailure(const std::string& path, Error error) {
  if (!fileManager_.fileExists(path)) return error;
  if (auto removal = fileManager_.removeItem(path)) {
    return Error::fileSystemError(fmt::format("Failed to remove item at {}: {}", path, removal.message()));
  }
  return error;
}

// REQUIRES: dbSaveLock_ held
ProcessListDataStore::Result<void> ProcessListDataStore::writeSnapshot() {
  if (!databaseURL_) return platform::unexpected(Error::databaseError("No database path configured"));
  std::string target = databasePath();
  std::string temporary = target + ".tmp";

  // The folder may have been removed since start (a cleanup, an
  // administrator): the snapshot is written all the same.
  if (!fileManager_.fileExists(*databaseURL_)) {
    if (auto error = fileManager_.createDirectory(*databaseURL_)) {
      return platform::unexpected(Error::databaseError(
          fmt::format("FAILED to create database directory at {} error: {}.", *databaseURL_, error.message())));
    }
    log_.notice("<nimbrad:PLDS> Created the missing database directory {}", *databaseURL_);
  }
  if (fileManager_.fileExists(temporary)) (void)fileManager_.removeItem(temporary);

  auto disk = openSQLite(temporary, databaseOptions);
  if (!disk) {
    // SQLite's "unable to open database file" does not say why; the system does.
    std::string message = disk.error().message;
    if (disk.error().systemErrno != 0) message += ": " + std::generic_category().message(disk.error().systemErrno);
    return platform::unexpected(Error::databaseError(
        "<nimbrad:PLDS> FAILED to open temp database for save at " + temporary, disk.error().code, message));
  }
  dbDisk_ = std::move(disk).value();
  auto memory = memoryDatabase();
  if (!memory) {
    dbDisk_.reset();
    return platform::unexpected(
        removeAfterFailure(temporary, Error::databaseError("Database connections not properly initialized")));
  }
  // The temporary file is scratch until the rename: no journal, no syncs of
  // SQLite's own. A crash mid-copy leaves a file that the next save removes;
  // the one flush below makes the finished copy durable before it goes live.
  sqlite3_exec(dbDisk_.get(), "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF", nullptr, nullptr, nullptr);

  // Counted before the copy: a write that lands while it runs marks a later
  // generation and keeps the store dirty after this save.
  std::uint64_t generation = dirtyGeneration();
  if (auto copied = syncDatabase(memory->handle(), dbDisk_.get()); !copied) {
    dbDisk_.reset();
    return platform::unexpected(removeAfterFailure(temporary, copied.error()));
  }
  memory.reset();

  sqlite3* handle = dbDisk_.release();
  int closed = sqlite3_close(handle);
  if (closed != SQLITE_OK) {
    std::string message = sqlite3_errmsg(handle);
    sqlite3_close_v2(handle);
    return platform::unexpected(removeAfterFailure(
        temporary, Error::databaseError("<nimbrad:PLDS> FAILED to close temp database after save", closed, message)));
  }
  if (auto error = fileManager_.synchronizeFile(temporary)) {
    return platform::unexpected(removeAfterFailure(
        temporary, Error::databaseError("<nimbrad:PLDS> FAILED to flush temp database after save: " + error.message())));
  }
  if (auto error = fileManager_.replaceItem(temporary, target)) {
    return platform::unexpected(
        removeAfterFailure(temporary, Error::databaseError("Failed to atomically rename database: " + error.message())));
  }
  // The rename is durable only once the directory is. Until then the store
  // stays dirty, so that the next save tries again.
  if (auto error = fileManager_.synchronizeDirectory(*databaseURL_)) {
    return platform::unexpected(
        Error::databaseError("<nimbrad:PLDS> FAILED to flush database directory after save: " + error.message()));
  }
  markSaved(generation);
  return {};
}

ProcessListDataStore::Result<void> ProcessListDataStore::saveToDiskWithTimeout(double timeout, bool immediate) {
  if (immediate) return saveToDisk();

  std::weak_ptr<ProcessListDataStore> weak = weak_from_this();
  if (weak.expired()) {
    // Not owned by a shared_ptr: there is nothing to hold weakly, so the
    // bound cannot be kept safely; save on this thread instead.
    return saveToDisk();
  }

  struct Outcome {
    std::mutex mutex;
    std::optional<Error> error;  // GUARDED_BY(mutex)
    bool success = false;        // GUARDED_BY(mutex)
    std::binary_semaphore done{0};
  };
  auto outcome = std::make_shared<Outcome>();
  auto queue = platform::DispatchQueue::makeSerial("com.corvane.nimbra.database.timeout", platform::QoS::Utility);
  queue->async([weak, outcome] {
    {
      std::lock_guard lock(outcome->mutex);
      if (auto store = weak.lock()) {
        if (auto saved = store->saveToDisk(); !saved) {
          outcome->error = saved.error();
        } else {
          outcome->success = true;
        }
      } else {
        outcome->success = true;
      }
    }
    outcome->done.release();
  });

  if (std::isnan(timeout) || timeout < 0) timeout = 0;
  bool finished;
  if (std::isinf(timeout)) {
    outcome->done.acquire();
    finished = true;
  } else {
    finished = outcome->done.try_acquire_for(std::chrono::duration<double>(timeout));
  }
  if (!finished) {
    auto seconds = static_cast<long long>(std::min(timeout, 9.2e18));
    return platform::unexpected(Error::databaseError(fmt::format("Database save timed out after {} seconds", seconds)));
  }
  std::lock_guard lock(outcome->mutex);
  if (outcome->error) return platform::unexpected(*outcome->error);
  if (outcome->success) return {};
  return platform::unexpected(Error::databaseError("Save operation completed but success state unclear"));
}

void ProcessListDataStore::saveToDiskAsync() {
  if (auto saved = saveToDisk(); !saved) {
    log_.error("<nimbrad:PLDS> Async save to disk failed: {}", saved.error().description());
  }
}

// --- Queries and executors ---------------------------------------------------------

std::int64_t ProcessListDataStore::executeFetchSingleIntQuery(sqlite3* database, std::string_view sql) {
  Prepared prepared = prepare(database, sql);
  if (!prepared) {
    log_.error("<nimbrad:PLDS> executeFetchSingleIntQuery failed returning -1 from {} database: {}",
               database != nullptr ? "DISK" : "MEMORY", prepared.code);
    return -1;
  }
  if (step(prepared.statement.get()).code != SQLITE_ROW) return -1;
  return sqlite3_column_int64(prepared.statement.get(), 0);
}

namespace {

template <typename IndexOf>
platform::Expected<void, Error> bindNamed(const NamedParameters& parameters, sqlite3_stmt* statement,
                                          IndexOf indexOf) {
  for (std::size_t position = 0; position < parameters.size(); ++position) {
    const auto& [name, value] = parameters[position];
    int index = indexOf(name, position);
    if (index < 1) {
      return platform::unexpected(
          Error::queryError(fmt::format("Parameter '{}' not found in SQL statement", name)));
    }
    int code = SQLITE_OK;
    switch (bindValue(statement, index, value, code)) {
      case BindOutcome::unsupported:
        return platform::unexpected(
            Error::queryError(fmt::format("Unsupported parameter type for '{}': {}", name, value.typeName())));
      case BindOutcome::outOfRange:
        return platform::unexpected(Error::queryError(
            fmt::format("Parameter value out of range for '{}': {}", name, value.unsignedValue())));
      case BindOutcome::bound:
        break;
    }
    if (code != SQLITE_OK) {
      return platform::unexpected(
          Error::queryError(fmt::format("<nimbrad:PLDS> Failed to bind named parameter '{}'", name), code,
                            sqlite3_errmsg(sqlite3_db_handle(statement))));
    }
  }
  return {};
}

}  // namespace

ProcessListDataStore::Result<void> ProcessListDataStore::bindNamedParameters(const NamedParameters& parameters,
                                                                             sqlite3_stmt* statement) {
  return bindNamed(parameters, statement,
                   [statement](std::string_view name, std::size_t) { return parameterIndex(statement, name); });
}

ProcessListDataStore::Result<void> ProcessListDataStore::bindNamedParameters(const NamedParameters& parameters,
                                                                             const SQLiteStatement& statement) {
  return bindNamed(parameters, statement.get(), [&statement](std::string_view name, std::size_t position) {
    return statement.parameterIndex(name, position);
  });
}

ProcessListDataStore::Result<void> ProcessListDataStore::bindPositionalParameters(
    const PositionalParameters& parameters, sqlite3_stmt* statement) {
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    int index = static_cast<int>(i) + 1;
    const SQLParameter& value = parameters[i];
    int code = SQLITE_OK;
    switch (bindValue(statement, index, value, code)) {
      case BindOutcome::unsupported:
        return platform::unexpected(
            Error::queryError(fmt::format("Unsupported parameter type at index {}: {}", index, value.typeName())));
      case BindOutcome::outOfRange:
        return platform::unexpected(Error::queryError(
            fmt::format("Parameter value out of range at index {}: {}", index, value.unsignedValue())));
      case BindOutcome::bound:
        break;
    }
    if (code != SQLITE_OK) {
      return platform::unexpected(Error::queryError(fmt::format("<nimbrad:PLDS> Failed to bind parameter {}", index),
                                                    code, sqlite3_errmsg(sqlite3_db_handle(statement))));
    }
  }
  return {};
}

ProcessListDataStore::Result<void> ProcessListDataStore::executeInsert(std::string_view sql) {
  Prepared prepared = prepare(nullptr, sql);
  if (!prepared) {
    return platform::unexpected(Error::queryError(
        fmt::format("<nimbrad:PLDS> FAILED to prepare insert statement:\n\n {}", sql), prepared.code,
        prepared.message()));
  }
  StepResult result = step(prepared.statement.get());
  if (result.code != SQLITE_DONE && result.code != SQLITE_OK) {
    return platform::unexpected(Error::queryError(fmt::format("<nimbrad:PLDS> FAILED to insert:\n\n {}", sql),
                                                  result.code, result.message()));
  }
  markDirty();
  return {};
}

ProcessListDataStore::Result<void> ProcessListDataStore::executeParameterizedInsert(
    std::string_view sql, const NamedParameters& parameters) {
  Prepared prepared = prepare(nullptr, sql);
  if (!prepared) {
    return platform::unexpected(Error::queryError(
        fmt::format("<nimbrad:PLDS> FAILED to prepare parameterized insert statement:\n\n {}", sql), prepared.code,
        prepared.message()));
  }
  if (auto bound = bindNamedParameters(parameters, prepared.statement); !bound) return bound;
  StepResult result = step(prepared.statement.get());
  if (result.code != SQLITE_DONE && result.code != SQLITE_OK) {
    return platform::unexpected(Error::queryError("<nimbrad:PLDS> FAILED to execute parameterized insert",
                                                  result.code, result.message()));
  }
  markDirty();
  return {};
}

ProcessListDataStore::Result<std::int64_t> ProcessListDataStore::executeParameterizedInsertReturning(
    std::string_view sql, const NamedParameters& parameters) {
  Prepared prepared = prepare(nullptr, sql);
  if (!prepared) {
    return platform::unexpected(Error::queryError(
        fmt::format("<nimbrad:PLDS> FAILED to prepare parameterized insert with RETURNING:\\n\\n {}", sql),
        prepared.code, prepared.message()));
  }
  if (auto bound = bindNamedParameters(parameters, prepared.statement); !bound) {
    return platform::unexpected(bound.error());
  }
  StepResult result = step(prepared.statement.get());
  if (result.code != SQLITE_ROW) {
    return platform::unexpected(Error::queryError(
        "<nimbrad:PLDS> FAILED to execute parameterized insert with RETURNING", result.code, result.message()));
  }
  std::int64_t value = sqlite3_column_int64(prepared.statement.get(), 0);
  // The insert commits when the statement completes; finish it before the
  // change is announced to a save.
  sqlite3_reset(prepared.statement.get());
  markDirty();
  return value;
}

ProcessListDataStore::Result<bool> ProcessListDataStore::executeParameterizedBoolQuery(
    sqlite3* database, std::string_view sql, const PositionalParameters& parameters) {
  Prepared prepared = prepare(database, sql);
  if (!prepared) {
    return platform::unexpected(Error::queryError("<nimbrad:PLDS> executeParameterizedBoolQuery failed to prepare statement",
                                                  prepared.code, prepared.message()));
  }
  if (auto bound = bindPositionalParameters(parameters, prepared.statement.get()); !bound) {
    return platform::unexpected(bound.error());
  }
  StepResult result = step(prepared.statement.get());
  if (result.code != SQLITE_ROW) {
    return platform::unexpected(Error::queryError("<nimbrad:PLDS> executeParameterizedBoolQuery failed to execute",
                                                  result.code, result.message()));
  }
  return sqlite3_column_int64(prepared.statement.get(), 0) == 1;
}

std::int64_t ProcessListDataStore::executeParameterizedSingleIntQuery(sqlite3* database, std::string_view sql,
                                                                      const PositionalParameters& parameters) {
  Prepared prepared = prepare(database, sql);
  if (!prepared) {
    log_.error("<nimbrad:PLDS> executeParameterizedSingleIntQuery failed to prepare statement: {}", prepared.code);
    return -1;
  }
  if (auto bound = bindPositionalParameters(parameters, prepared.statement.get()); !bound) {
    log_.error("<nimbrad:PLDS> executeParameterizedSingleIntQuery failed to bind parameters: {}",
               bound.error().description());
    return -1;
  }
  if (step(prepared.statement.get()).code != SQLITE_ROW) return -1;
  return sqlite3_column_int64(prepared.statement.get(), 0);
}

// --- Write path ------------------------------------------------------------------

std::int64_t ProcessListDataStore::getRID(const ProcessDataEntry& entry) {
  std::string reason = entry.reason.description();
  return executeParameterizedSingleIntQuery(nullptr, statements::getRID(),
                                            {
                                                entry.process_uid,
                                                entry.process_name,
                                                entry.process_team_id,
                                                entry.process_bundle_id,
                                                entry.process_bundle_version,
                                                entry.responsible_name,
                                                entry.responsible_team_id,
                                                entry.responsible_bundle_id,
                                                entry.responsible_bundle_version,
                                                reason,
                                            });
}

ProcessListDataStore::Result<std::int64_t> ProcessListDataStore::upsertUniqueEntry(const ProcessDataEntry& entry) {
  std::string reason = entry.reason.description();
  return executeParameterizedInsertReturning(statements::upsertUniqueEntry(),
                                             {
                                                 {":process_uid", entry.process_uid},
                                                 {":process_name", entry.process_name},
                                                 {":process_team_id", entry.process_team_id},
                                                 {":process_bundle_id", entry.process_bundle_id},
                                                 {":process_bundle_version", entry.process_bundle_version},
                                                 {":responsible_name", entry.responsible_name},
                                                 {":responsible_team_id", entry.responsible_team_id},
                                                 {":responsible_bundle_id", entry.responsible_bundle_id},
                                                 {":responsible_bundle_version", entry.responsible_bundle_version},
                                                 {":reason", reason},
                                             });
}

ProcessListDataStore::Result<bool> ProcessListDataStore::entryExists(const ProcessDataEntry& entry) {
  return executeParameterizedBoolQuery(nullptr, statements::entryExists(),
                                       {entry.process_uid, entry.target_hash, entry.process_hash,
                                        entry.responsible_hash});
}

ProcessListDataStore::Result<bool> ProcessListDataStore::updateEntry(const ProcessDataEntry& entry, std::int64_t rid,
                                                                     bool lookupRID) {
  if (lookupRID) {
    auto unique = upsertUniqueEntry(entry);
    if (!unique) return platform::unexpected(unique.error());
    rid = *unique;
  }
  if (rid < 0) {
    log_.error("<nimbrad:PLDS> updateEntry: no rid for entry: {}", entry.tableRow());
    // Not written: an error, so that no caller counts it as an update.
    return platform::unexpected(Error::queryError("<nimbrad:PLDS> updateEntry: no rid for entry"));
  }
  auto existed = entryExists(entry);
  if (!existed) return platform::unexpected(existed.error());
  if (auto upserted = executeParameterizedInsert(statements::upsertProcessList(), entry.upsertParameters(rid));
      !upserted) {
    return platform::unexpected(upserted.error());
  }
  if (auto stamped = insertLaunchTimestamp(rid, entry.previously_launched_date); !stamped) {
    return platform::unexpected(stamped.error());
  }
  return !*existed;
}

ProcessListDataStore::Result<void> ProcessListDataStore::insertLaunchTimestamp(std::int64_t rid,
                                                                               platform::Date date) {
  if (rid < 0) return {};
  // Overlapping launch writes read and update the debounce state; holding the
  // lock across the insert keeps check, write and update one step.
  std::lock_guard lock(launchTimestampLock_);
  if (rid == lastLaunchRID_ && date.secondsSince1970 - lastLaunchTimestamp_.secondsSince1970 < 10.0) return {};
  auto inserted = executeParameterizedInsert(
      statements::insertLaunchTimestamp(),
      {{":rid", static_cast<long>(rid)},
       {":timestamp", static_cast<unsigned long>(ProcessDataEntry::storedSeconds(date))}});
  if (!inserted) return inserted;
  lastLaunchRID_ = rid;
  lastLaunchTimestamp_ = date;
  return {};
}

void ProcessListDataStore::recordNotification(std::string_view productKey, std::uint32_t uid, platform::Date date) {
  Prepared prepared = prepare(nullptr, statements::recordNotification());
  if (!prepared) {
    log_.error("<nimbrad:PLDS> Failed to prepare notification insert");
    return;
  }
  auto bound = bindNamedParameters({{":product_key", productKey},
                                    {":process_uid", uid},
                                    {":timestamp", static_cast<unsigned long>(ProcessDataEntry::storedSeconds(date))}},
                                   prepared.statement);
  if (!bound) {
    log_.error("<nimbrad:PLDS> Failed to bind parameters: {}", bound.error().description());
    return;
  }
  StepResult result = step(prepared.statement.get());
  if (result.code != SQLITE_DONE) {
    log_.error("<nimbrad:PLDS> Failed to insert notification record");
    return;
  }
  // Notification records carry the rate limits: they must reach the disk
  // with the next save like any other write. An ignored duplicate changed
  // nothing and needs no save.
  if (result.changes > 0) markDirty();
}

// --- Collaborators -----------------------------------------------------------------

void ProcessListDataStore::setExclusionRulesProvider(std::shared_ptr<const ExclusionRulesProviding> provider) {
  std::lock_guard lock(exclusionRulesLock_);
  exclusionRulesProvider_ = std::move(provider);
}

std::shared_ptr<const ExclusionRulesProviding> ProcessListDataStore::exclusionRulesProvider() const {
  std::lock_guard lock(exclusionRulesLock_);
  return exclusionRulesProvider_;
}

// --- Entry filters ------------------------------------------------------------------

bool ProcessListDataStore::shouldExclude(const ProcessDataEntry& entry, const VelmoraPolicy& policy) const {
  const char* reason = nullptr;
  if (enableIgnoreListFilter.load() && ignoreListMatches(entry)) {
    reason = "ignoreList";
  } else if (enableUninterestingTargetFilter.load() && isUninterestingTarget(entry, policy)) {
    reason = "uninteresting";
  }
  if (reason == nullptr) {
    log_.debug("<nimbrad:PLDS:FILTER> Keeping: {} : {}", entry.process_name, entry.target_name);
    return false;
  }
  log_.debug("<nimbrad:PLDS:FILTER> Excluding ({}): {} : {}", reason, entry.process_name, entry.target_name);
  return true;
}

bool ProcessListDataStore::ignoreListMatches(const ProcessDataEntry& entry) const {
  if (auto provider = exclusionRulesProvider()) {
    auto rules = provider->currentRulesSnapshot();
    return EntryFilter::ignoreListMatches(entry, *rules, log_);
  }
  return EntryFilter::ignoreListMatches(entry, EntryFilter::builtInRules(), log_);
}

bool ProcessListDataStore::isUninterestingTarget(const ProcessDataEntry& entry, const VelmoraPolicy& policy) const {
  return EntryFilter::isUninterestingTarget(entry, policy);
}

bool ProcessListDataStore::ruleMatches(const ProcessDataEntry& entry, const ExclusionRule& rule) {
  return EntryFilter::ruleMatches(entry, rule);
}

}  // namespace nimbra
