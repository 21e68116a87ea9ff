#pragma once

// The selector of the table to clear, so that callers never pass a free table
// name into SQL.

#include <optional>
#include <string_view>

namespace nimbra {

// The four tables, in the numbering the database commands use.
enum class StoreTable : int {
  processList = 0,
  launchTimestamp = 1,
  notificationTimestamp = 2,
  unique = 3,
};

// The table name, e.g. "velmora_process_list_table".
std::string_view tableName(StoreTable table);

// The table of a raw value 0...3; nullopt outside that range.
std::optional<StoreTable> storeTable(int rawValue);

}  // namespace nimbra
