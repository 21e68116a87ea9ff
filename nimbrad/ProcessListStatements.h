#pragma once

// The fixed SQL texts of the process list store: the schema and the write
// path. They are built once from their pieces; the line breaks and indents are
// part of each text, so the texts stay byte-identical across versions of the
// daemon (a cached statement is keyed by its text).

#include <array>
#include <span>
#include <string>
#include <string_view>

namespace nimbra::statements {

inline constexpr int currentSchemaVersion = 9;

// CREATE TABLE IF NOT EXISTS statements in creation order: unique,
// process list, launch timestamp, notification timestamp.
const std::array<std::string, 4>& createTables();

// "PRAGMA user_version = 9"
const std::string& setVersion();

// The columns of velmora_unique_table after rid, in table order: the identity
// of a launched program.
const std::array<std::string_view, 10>& uniqueColumns();

// The 33 columns the process-list upsert writes, in statement order.
std::span<const std::string_view> processListInsertColumns();

const std::string& getRID();               // positional, uniqueColumns() order
const std::string& upsertUniqueEntry();    // named, RETURNING rid
const std::string& entryExists();          // positional: uid, target, process, responsible hash
const std::string& upsertProcessList();    // named
const std::string& insertLaunchTimestamp();  // named: :rid, :timestamp
const std::string& recordNotification();   // named: :product_key, :process_uid, :timestamp

}  // namespace nimbra::statements
