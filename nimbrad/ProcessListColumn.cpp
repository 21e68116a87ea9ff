#include "nimbrad/ProcessListColumn.h"

#include <array>

namespace nimbra {

namespace {

constexpr std::array<std::string_view, processListColumnCount> columnNames = {
    "id",
    "process_uid",
    "process_hash",
    "process_name",
    "process_team_id",
    "process_developer_name",
    "process_bundle_id",
    "process_bundle_version",
    "process_path",
    "target_hash",
    "target_name",
    "target_team_id",
    "target_developer_name",
    "target_bundle_id",
    "target_bundle_version",
    "target_path",
    "responsible_hash",
    "responsible_name",
    "responsible_team_id",
    "responsible_developer_name",
    "responsible_bundle_id",
    "responsible_bundle_version",
    "responsible_path",
    "product_key",
    "bundle_hash",
    "main_bundle",
    "main_bundle_type",
    "exec_bundle",
    "exec_bundle_type",
    "previously_launched_date",
    "previously_launched_date_string",
    "number_of_times_launched",
    "reason",
    "rid",
};

}  // namespace

std::span<const std::string_view> processListColumnNames() { return columnNames; }

std::string_view columnName(ProcessListColumn column) {
  auto index = static_cast<std::size_t>(column);
  return index < columnNames.size() ? columnNames[index] : std::string_view{};
}

std::optional<ProcessListColumn> processListColumn(int rawValue) {
  if (rawValue < 0 || rawValue > static_cast<int>(ProcessListColumn::none)) return std::nullopt;
  return static_cast<ProcessListColumn>(rawValue);
}

}  // namespace nimbra
