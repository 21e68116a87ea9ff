#pragma once

// One open SQLite connection and the prepared statements it keeps for reuse.
// The store's write path runs the same five statements for every launch;
// preparing them once instead of per call is most of the difference to a
// hand-written loop over prepared statements.

#include <sqlite3.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Expected.h"

namespace nimbra {

struct SQLiteCloser {
  void operator()(sqlite3* handle) const { sqlite3_close_v2(handle); }
};
// An owned connection; closing it is the deleter's job.
using SQLiteHandle = std::unique_ptr<sqlite3, SQLiteCloser>;

struct SQLiteOpenFailure {
  int code;             // extended result code
  std::string message;  // sqlite3_errmsg of the failed handle, read before it was closed
  int systemErrno = 0;  // the operating system's error behind it, 0 when none is known
};

// Opens `path` with `flags` (sqlite3_open_v2). On failure the half-open handle
// is closed and the code and message are returned.
platform::Expected<SQLiteHandle, SQLiteOpenFailure> openSQLite(const std::string& path, int flags);

class SQLiteDatabase;

// The statements of one text waiting for reuse, and the text's parameter
// names, learnt once from the first statement prepared.
struct SQLiteStatementSlot {
  std::vector<sqlite3_stmt*> idle;
  std::vector<std::string> parameterNames;  // [i] names parameter i + 1; "" for "?"
  bool namesKnown = false;
};

// A prepared statement on loan. Destroying it resets the statement and gives
// it back to its connection's cache, or finalizes it when it is not cached. It
// must not outlive the connection it came from.
class SQLiteStatement {
 public:
  SQLiteStatement() = default;
  using Slot = SQLiteStatementSlot;
  SQLiteStatement(sqlite3_stmt* statement, SQLiteDatabase* owner, Slot* slot)
      : statement_(statement), owner_(owner), slot_(slot) {}
  SQLiteStatement(SQLiteStatement&& other) noexcept;
  SQLiteStatement& operator=(SQLiteStatement&& other) noexcept;
  SQLiteStatement(const SQLiteStatement&) = delete;
  SQLiteStatement& operator=(const SQLiteStatement&) = delete;
  ~SQLiteStatement() { release(); }

  sqlite3_stmt* get() const { return statement_; }
  explicit operator bool() const { return statement_ != nullptr; }

  // The index of the parameter `name` (with its ":"), or 0 when the statement
  // has none of that name. `position` is where the caller expects it (0 for
  // the first): callers that list parameters in statement order are answered
  // without a search, which matters for the 32-parameter launch upsert.
  int parameterIndex(std::string_view name, std::size_t position) const;

 private:
  void release();
  sqlite3_stmt* statement_ = nullptr;
  SQLiteDatabase* owner_ = nullptr;  // nullptr: finalize on release
  Slot* slot_ = nullptr;             // the statement's text in the cache; names known
};

// Prepares `sql` on any handle without caching. Returns an empty statement and
// sets `resultCode` on failure; an empty or comment-only text is a failure
// (SQLITE_MISUSE), since there is nothing to step.
SQLiteStatement prepareStatement(sqlite3* handle, std::string_view sql, int& resultCode);

class SQLiteDatabase {
 public:
  explicit SQLiteDatabase(SQLiteHandle handle) : handle_(std::move(handle)) {}
  SQLiteDatabase(const SQLiteDatabase&) = delete;
  SQLiteDatabase& operator=(const SQLiteDatabase&) = delete;
  // Finalizes the cached statements and closes the connection. No statement
  // may be on loan.
  ~SQLiteDatabase();

  sqlite3* handle() const { return handle_.get(); }

  // A prepared statement of `sql`, reused from an earlier call with the same
  // text when one is idle. Each loan is exclusive, so several threads may run
  // the same text at once. Fails as prepareStatement does. Thread-safe.
  SQLiteStatement prepare(std::string_view sql, int& resultCode);

  // Number of statements waiting for reuse (for tests and diagnostics).
  std::size_t cachedStatementCount() const;

 private:
  friend class SQLiteStatement;
  void giveBack(sqlite3_stmt* statement, SQLiteStatement::Slot* slot);

  // Distinct texts kept; beyond this, statements are finalized after use so
  // that ad-hoc query texts cannot grow the cache without bound.
  static constexpr std::size_t maximumCachedTexts = 64;

  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };

  SQLiteHandle handle_;
  mutable std::mutex cacheMutex_;
  // Keyed by the text as the caller passed it. Nodes never move, so a loan
  // keeps a pointer to its list. GUARDED_BY(cacheMutex_)
  std::unordered_map<std::string, SQLiteStatement::Slot, TextHash, std::equal_to<>> idle_;
};

}  // namespace nimbra
