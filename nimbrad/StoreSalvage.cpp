#include "nimbrad/StoreSalvage.h"

#include <fmt/format.h>

#include <limits>

#include "nimbrad/SQLiteDatabase.h"

namespace nimbra::storeSalvage {

namespace {

std::string quoted(std::string_view name) {
  std::string text = "\"";
  for (char c : name) {
    if (c == '"') text += '"';
    text += c;
  }
  return text + "\"";
}

std::vector<std::string> firstColumnTexts(sqlite3* database, const std::string& sql, std::size_t column = 0) {
  std::vector<std::string> texts;
  int code = SQLITE_OK;
  SQLiteStatement statement = prepareStatement(database, sql, code);
  if (!statement) return texts;
  while (sqlite3_step(statement.get()) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement.get(), static_cast<int>(column));
    texts.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
  }
  return texts;
}

// Copies the rows of `table` (its `columns`) from `from` into `to`, in rowid
// order, keeping each row's values as they are stored.
TableRows copyTable(sqlite3* from, sqlite3* to, const std::string& table, const std::vector<std::string>& columns) {
  TableRows result{table};
  std::string list;
  std::string parameters;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) {
      list += ", ";
      parameters += ", ";
    }
    list += quoted(columns[i]);
    parameters += "?";
  }
  int code = SQLITE_OK;
  SQLiteStatement insert = prepareStatement(
      to, fmt::format("INSERT OR IGNORE INTO {} ({}) VALUES ({})", quoted(table), list, parameters), code);
  if (!insert) {
    result.complete = false;
    return result;
  }
  const std::string select =
      fmt::format("SELECT rowid, {} FROM {} WHERE rowid > ? ORDER BY rowid", list, quoted(table));

  constexpr std::int64_t before = std::numeric_limits<std::int64_t>::min();
  std::int64_t after = before;  // the last rowid read, or where to look next
  std::int64_t skip = 1;        // grows while seeks keep landing on damage
  for (;;) {
    SQLiteStatement rows = prepareStatement(from, select, code);
    if (!rows) {  // the table's schema is unreadable or differs
      result.complete = false;
      break;
    }
    sqlite3_bind_int64(rows.get(), 1, after);
    int stepped;
    while ((stepped = sqlite3_step(rows.get())) == SQLITE_ROW) {
      for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
        sqlite3_bind_value(insert.get(), i + 1, sqlite3_column_value(rows.get(), i + 1));
      }
      if (sqlite3_step(insert.get()) == SQLITE_DONE && sqlite3_changes(to) > 0) ++result.rows;
      sqlite3_reset(insert.get());
      after = sqlite3_column_int64(rows.get(), 0);
      skip = 1;
    }
    if (stepped == SQLITE_DONE) break;
    // A damaged page: look for the rows after it, further off each time the
    // seek lands on damage again, until the rowid space is exhausted.
    result.complete = false;
    if (after == before) {
      after = 0;
    } else if (after > std::numeric_limits<std::int64_t>::max() - skip) {
      break;
    } else {
      after += skip;
      skip = skip > std::numeric_limits<std::int64_t>::max() / 2 ? std::numeric_limits<std::int64_t>::max() : skip * 2;
    }
  }
  return result;
}

}  // namespace

std::optional<std::string> damage(sqlite3* database) {
  int code = SQLITE_OK;
  SQLiteStatement check = prepareStatement(database, "PRAGMA quick_check(5)", code);
  if (!check) return fmt::format("quick_check could not run: {}", sqlite3_errmsg(database));
  std::vector<std::string> findings;
  int stepped;
  while ((stepped = sqlite3_step(check.get())) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(check.get(), 0);
    findings.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
  }
  if (stepped != SQLITE_DONE) findings.emplace_back(sqlite3_errmsg(database));
  if (findings.size() == 1 && findings.front() == "ok") return std::nullopt;
  if (findings.empty()) return std::string("quick_check gave no result");
  std::string text;
  for (const auto& finding : findings) {
    if (!text.empty()) text += "; ";
    text += finding;
  }
  return text;
}

std::vector<TableRows> copyReadableRows(sqlite3* from, sqlite3* to) {
  std::vector<TableRows> copied;
  auto tables = firstColumnTexts(
      to, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' "
          "ORDER BY rowid");
  // One transaction for every row instead of one per insert.
  sqlite3_exec(to, "BEGIN", nullptr, nullptr, nullptr);
  for (const auto& table : tables) {
    auto columns = firstColumnTexts(to, "PRAGMA table_info(" + quoted(table) + ")", 1);
    copied.push_back(copyTable(from, to, table, columns));
  }
  sqlite3_exec(to, "COMMIT", nullptr, nullptr, nullptr);
  return copied;
}

}  // namespace nimbra::storeSalvage
