#include "nimbrad/StoreTable.h"

#include <array>

namespace nimbra {

namespace {

constexpr std::array<std::string_view, 4> tableNames = {
    "velmora_process_list_table",
    "velmora_launch_timestamp_table",
    "velmora_notification_timestamp_table",
    "velmora_unique_table",
};

}  // namespace

std::string_view tableName(StoreTable table) {
  auto index = static_cast<std::size_t>(table);
  return index < tableNames.size() ? tableNames[index] : std::string_view{};
}

std::optional<StoreTable> storeTable(int rawValue) {
  if (rawValue < 0 || rawValue >= static_cast<int>(tableNames.size())) return std::nullopt;
  return static_cast<StoreTable>(rawValue);
}

}  // namespace nimbra
