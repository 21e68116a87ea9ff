#include "nimbrad/ProcessListDataStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <semaphore>

#include <fmt/format.h>

#include "nimbrad/DateFormatter.h"
#include "nimbrad/EntryFilter.h"
#include "nimbrad/ProcessDataEntry.h"
#include "nimbrad/ProcessListStatements.h"
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

ProcessListDataStore::Result<void> ProcessListDataStore::loadFromDisk() {
  std::string path = databasePath();
  if (!databaseURL_ || !fileManager_.fileExists(path)) {
    return platform::unexpected(Error::databaseError("No existing database file found"));
  }
  std::lock_guard saveLock(dbSaveLock_);
  auto disk = openSQLite(path, databaseOptions);
  if (!disk) {
    return platform::unexpected(Error::databaseError("<nimbrad:PLDS> FAILED to open disk database at " + path,
                                                     disk.error().code, disk.error().message));
  }
  dbDisk_ = std::move(disk).value();
  auto memory = openSQLite(":memory:", databaseOptions);
  if (!memory) {
    dbDisk_.reset();
    return platform::unexpected(Error::databaseError("<nimbrad:PLDS> FAILED to open in-memory database",
                                                     memory.error().code, memory.error().message));
  }
  auto database = std::make_shared<SQLiteDatabase>(std::move(memory).value());
  auto copied = syncDatabase(dbDisk_.get(), database->handle());
  dbDisk_.reset();
  if (!copied) return copied;
  setMemoryDatabase(std::move(database));
  markSaved(dirtyGeneration());  // memory and snapshot agree
  return {};
}

void ProcessListDataStore::loadDatabase() {
  auto loaded = loadFromDisk();
  if (!loaded) {
    log_.notice("<nimbrad:PLDS> Loading the database from disk failed, creating a new one: {}",
                loaded.error().description());
  } else {
    std::int64_t version = executeFetchSingleIntQuery(nullptr, "PRAGMA user_version");
    if (version > statements::currentSchemaVersion - 1) {
      log_.info("<nimbrad:PLDS> Loaded database from {} (user_version {})", databasePath(), version);
      return;
    }
    log_.notice("<nimbrad:PLDS> Database at {} has user_version {}, creating a new one", databasePath(), version);
  }
  if (auto rebuilt = recreateDatabase(); !rebuilt) {
    log_.error("<nimbrad:PLDS> Failed to create a new database: {}", rebuilt.error().description());
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

ProcessListDataStore::Result<void> ProcessListDataStore::recreateDatabase() {
  setMemoryDatabase(nullptr);
  {
    // A save that is copying finishes first, so that its rename cannot put
    // the old snapshot back after the purge.
    std::lock_guard saveLock(dbSaveLock_);
    if (auto purged = purgeLocked(); !purged) return purged;
  }
  auto memory = openSQLite(":memory:", databaseOptions);
  if (!memory) {
    return platform::unexpected(Error::databaseError("<nimbrad:PLDS> FAILED to open in-memory database",
                                                     memory.error().code, memory.error().message));
  }
  auto database = std::make_shared<SQLiteDatabase>(std::move(memory).value());
  if (auto created = createTables(database->handle()); !created) return created;
  setMemoryDatabase(std::move(database));
  // setVersion; marks the store dirty so the next save replaces whatever the
  // disk holds with the new schema.
  if (auto versioned = executeInsert(statements::setVersion()); !versioned) {
    log_.error("<nimbrad:PLDS> setVersion failed: {}.", versioned.error().description());
  }
  return {};
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
  sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
  if (backup == nullptr) return platform::unexpected(Error::databaseError("Failed to initialize database sync"));
  // All pages in one step: the source connection's mutex is held throughout,
  // so the copy is one consistent state of the memory database.
  int code = sqlite3_backup_step(backup, -1);
  sqlite3_backup_finish(backup);
  if (code != SQLITE_DONE) {
    return platform::unexpected(
        Error::databaseError("<nimbrad:PLDS> FAILED to sync database contents", code, sqlite3_errmsg(to)));
  }
  return {};
}

// --- Saving --------------------------------------------------------------------

ProcessListDataStore::Result<void> ProcessListDataStore::saveToDisk() {
  if (!isDirty()) return {};
  // A running save is waited for rather than skipped: returning at once would
  // report success for writes that save may not have copied, and a shutdown
  // save could then end the process before they reach the disk.
  std::lock_guard saveLock(dbSaveLock_);
  if (!isDirty()) return {};  // the save we waited for covered everything
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

  if (fileManager_.fileExists(temporary)) (void)fileManager_.removeItem(temporary);

  auto disk = openSQLite(temporary, databaseOptions);
  if (!disk) {
    return platform::unexpected(
        Error::databaseError("<nimbrad:PLDS> FAILED to open temp database for save at " + temporary,
                             disk.error().code, disk.error().message));
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
    return false;
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
