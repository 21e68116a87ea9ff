#pragma once

// Finding damage in a loaded copy of the store file, and keeping what can
// still be read from it. A damaged page must not cost the rows on the sound
// pages: every later write would fail on the damaged copy, so the rows move
// to a fresh database instead.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nimbra::storeSalvage {

// Runs PRAGMA quick_check on `database`. Nothing when it reports "ok";
// otherwise its first findings (or the error that stopped the check), joined
// by "; ".
std::optional<std::string> damage(sqlite3* database);

struct TableRows {
  std::string table;
  std::int64_t rows = 0;  // rows copied into the destination
  bool complete = true;   // false when unreadable parts of the table were skipped
};

// Copies, table by table, every row of `from` that can still be read into
// `to`, which holds the current schema and no rows. The tables and columns
// copied are those of `to`, in its creation order; row identifiers are kept.
// A table that cannot be read at all counts 0 rows; within a table, a
// damaged stretch is stepped over by looking for rows with higher
// identifiers. Returns one entry per table of `to`.
std::vector<TableRows> copyReadableRows(sqlite3* from, sqlite3* to);

}  // namespace nimbra::storeSalvage
