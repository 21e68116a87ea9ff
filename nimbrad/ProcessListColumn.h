#pragma once

// The selector of the queries and dumps that pick rows of the process list by
// one column, so that callers never pass a free column name into SQL.

#include <optional>
#include <span>
#include <string_view>

namespace nimbra {

// The columns of velmora_process_list_table in table order; `none` selects
// every row.
enum class ProcessListColumn : int {
  id = 0,
  process_uid,
  process_hash,
  process_name,
  process_team_id,
  process_developer_name,
  process_bundle_id,
  process_bundle_version,
  process_path,
  target_hash,
  target_name,
  target_team_id,
  target_developer_name,
  target_bundle_id,
  target_bundle_version,
  target_path,
  responsible_hash,
  responsible_name,
  responsible_team_id,
  responsible_developer_name,
  responsible_bundle_id,
  responsible_bundle_version,
  responsible_path,
  product_key,
  bundle_hash,
  main_bundle,
  main_bundle_type,
  exec_bundle,
  exec_bundle_type,
  previously_launched_date,
  previously_launched_date_string,
  number_of_times_launched,
  reason,
  rid,
  none,  // 34: no column
};

inline constexpr int processListColumnCount = 34;

// The column name; "" for `none`.
std::string_view columnName(ProcessListColumn column);

// The column names of velmora_process_list_table in table order (34 names).
std::span<const std::string_view> processListColumnNames();

// The column of a raw value 0...34; nullopt outside that range.
std::optional<ProcessListColumn> processListColumn(int rawValue);

}  // namespace nimbra
