#include "nimbrad/SQLiteDatabase.h"

namespace nimbra {

platform::Expected<SQLiteHandle, SQLiteOpenFailure> openSQLite(const std::string& path, int flags) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  SQLiteHandle handle(raw);
  if (rc != SQLITE_OK) {
    SQLiteOpenFailure failure{raw != nullptr ? sqlite3_extended_errcode(raw) : rc,
                              raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc),
                              raw != nullptr ? sqlite3_system_errno(raw) : 0};
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

int SQLiteStatement::parameterIndex(std::string_view name, std::size_t position) const {
  if (slot_ != nullptr) {
    const auto& names = slot_->parameterNames;
    if (position < names.size() && names[position] == name) return static_cast<int>(position) + 1;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) return static_cast<int>(i) + 1;
    }
    return 0;
  }
  // sqlite3_bind_parameter_index needs a terminated name.
  std::string terminated(name);
  return sqlite3_bind_parameter_index(statement_, terminated.c_str());
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
  for (auto& [text, slot] : idle_) {
    for (auto* statement : slot.idle) sqlite3_finalize(statement);
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
      if (!slot->idle.empty()) {
        sqlite3_stmt* statement = slot->idle.back();
        slot->idle.pop_back();
        resultCode = SQLITE_OK;
        return SQLiteStatement(statement, this, slot);
      }
    }
  }
  // Prepared outside the cache lock: preparing takes the connection's own
  // mutex, which a long statement on another thread may hold.
  unsigned flags = slot != nullptr ? SQLITE_PREPARE_PERSISTENT : 0;
  sqlite3_stmt* statement = prepareRaw(handle_.get(), sql, flags, resultCode);
  if (statement != nullptr && slot != nullptr) {
    std::vector<std::string> names;
    int count = sqlite3_bind_parameter_count(statement);
    names.reserve(static_cast<std::size_t>(count));
    for (int i = 1; i <= count; ++i) {
      const char* name = sqlite3_bind_parameter_name(statement, i);
      names.emplace_back(name != nullptr ? name : "");
    }
    // Set once, before any loan of this text can read them; never changed after.
    std::lock_guard lock(cacheMutex_);
    if (!slot->namesKnown) {
      slot->parameterNames = std::move(names);
      slot->namesKnown = true;
    }
  }
  return SQLiteStatement(statement, this, slot);
}

void SQLiteDatabase::giveBack(sqlite3_stmt* statement, SQLiteStatement::Slot* slot) {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  std::lock_guard lock(cacheMutex_);
  slot->idle.push_back(statement);
}

std::size_t SQLiteDatabase::cachedStatementCount() const {
  std::lock_guard lock(cacheMutex_);
  std::size_t count = 0;
  for (const auto& [text, slot] : idle_) count += slot.idle.size();
  return count;
}

}  // namespace nimbra
