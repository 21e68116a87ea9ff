#include "nimbrad/SQLiteDatabase.h"

namespace nimbra {

platform::Expected<SQLiteHandle, SQLiteOpenFailure> openSQLite(const std::string& path, int flags) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  SQLiteHandle handle(raw);
  if (rc != SQLITE_OK) {
    SQLiteOpenFailure failure{raw != nullptr ? sqlite3_extended_errcode(raw) : rc,
                              raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)};
    return platform::unexpected(std::move(failure));
  }
  return handle;
}

SQLiteStatement::SQLiteStatement(SQLiteStatement&& other) noexcept
    : statement_(other.statement_), owner_(other.owner_), slot_(other.slot_) {
  other.statement_ = nullptr;
  other.owner_ = nullptr;
  other.slot_ = nullptr;
}

SQLiteStatement& SQLiteStatement::operator=(SQLiteStatement&& other) noexcept {
  if (this != &other) {
    release();
    statement_ = other.statement_;
    owner_ = other.owner_;
    slot_ = other.slot_;
    other.statement_ = nullptr;
    other.owner_ = nullptr;
    other.slot_ = nullptr;
  }
  return *this;
}

void SQLiteStatement::release() {
  if (statement_ == nullptr) return;
  if (owner_ != nullptr && slot_ != nullptr) {
    owner_->giveBack(statement_, slot_);
  } else {
    sqlite3_finalize(statement_);
  }
  statement_ = nullptr;
  owner_ = nullptr;
  slot_ = nullptr;
}

namespace {

sqlite3_stmt* prepareRaw(sqlite3* handle, std::string_view sql, unsigned flags, int& resultCode) {
  sqlite3_stmt* statement = nullptr;
  resultCode = sqlite3_prepare_v3(handle, sql.data(), static_cast<int>(sql.size()), flags, &statement, nullptr);
  if (resultCode != SQLITE_OK) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  if (statement == nullptr) resultCode = SQLITE_MISUSE;
  return statement;
}

}  // namespace

SQLiteStatement prepareStatement(sqlite3* handle, std::string_view sql, int& resultCode) {
  return SQLiteStatement(prepareRaw(handle, sql, 0, resultCode), nullptr, nullptr);
}

SQLiteDatabase::~SQLiteDatabase() {
  std::lock_guard lock(cacheMutex_);
  for (auto& [text, statements] : idle_) {
    for (auto* statement : statements) sqlite3_finalize(statement);
  }
  idle_.clear();
}

SQLiteStatement SQLiteDatabase::prepare(std::string_view sql, int& resultCode) {
  SQLiteStatement::Slot* slot = nullptr;
  {
    std::lock_guard lock(cacheMutex_);
    auto found = idle_.find(sql);
    if (found == idle_.end() && idle_.size() < maximumCachedTexts) {
      found = idle_.emplace(std::string(sql), SQLiteStatement::Slot{}).first;
    }
    if (found != idle_.end()) {
      slot = &found->second;
      if (!slot->empty()) {
        sqlite3_stmt* statement = slot->back();
        slot->pop_back();
        resultCode = SQLITE_OK;
        return SQLiteStatement(statement, this, slot);
      }
    }
  }
  // Prepared outside the cache lock: preparing takes the connection's own
  // mutex, which a long statement on another thread may hold.
  unsigned flags = slot != nullptr ? SQLITE_PREPARE_PERSISTENT : 0;
  sqlite3_stmt* statement = prepareRaw(handle_.get(), sql, flags, resultCode);
  return SQLiteStatement(statement, this, slot);
}

void SQLiteDatabase::giveBack(sqlite3_stmt* statement, SQLiteStatement::Slot* slot) {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  std::lock_guard lock(cacheMutex_);
  slot->push_back(statement);
}

std::size_t SQLiteDatabase::cachedStatementCount() const {
  std::lock_guard lock(cacheMutex_);
  std::size_t count = 0;
  for (const auto& [text, statements] : idle_) count += statements.size();
  return count;
}

}  // namespace nimbra
