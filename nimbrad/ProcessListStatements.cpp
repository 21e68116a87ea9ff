#include "nimbrad/ProcessListStatements.h"

#include "nimbrad/ProcessListColumn.h"

#include <fmt/format.h>

#include <vector>

namespace nimbra::statements {

namespace {

template <typename Range>
std::string join(const Range& pieces, std::string_view separator) {
  std::string text;
  bool first = true;
  for (const auto& piece : pieces) {
    if (!first) text += separator;
    text += piece;
    first = false;
  }
  return text;
}

std::string createTable(std::string_view table, const std::vector<std::string>& definitions) {
  std::vector<std::string> lines;
  lines.reserve(definitions.size());
  for (const auto& definition : definitions) lines.push_back("    " + definition);
  return fmt::format("CREATE TABLE IF NOT EXISTS {} (\n{}\n);", table, join(lines, ",\n"));
}

}  // namespace

const std::array<std::string_view, 10>& uniqueColumns() {
  static const std::array<std::string_view, 10> columns = {
      "process_uid",       "process_name",        "process_team_id",       "process_bundle_id",
      "process_bundle_version", "responsible_name", "responsible_team_id", "responsible_bundle_id",
      "responsible_bundle_version", "reason",
  };
  return columns;
}

std::span<const std::string_view> processListInsertColumns() {
  // Every column but the row identifier, which SQLite assigns.
  return processListColumnNames().subspan(1);
}

const std::array<std::string, 4>& createTables() {
  static const std::array<std::string, 4> texts = [] {
    std::vector<std::string> unique = {"rid INTEGER PRIMARY KEY AUTOINCREMENT", "process_uid INTEGER DEFAULT 0"};
    for (std::size_t i = 1; i < uniqueColumns().size(); ++i) {
      unique.push_back(fmt::format("{} TEXT NOT NULL", uniqueColumns()[i]));
    }
    std::vector<std::string> uniqueList;
    for (auto column : uniqueColumns()) uniqueList.push_back("        " + std::string(column));
    unique.push_back("UNIQUE(\n" + join(uniqueList, ",\n") + "\n    )");

    std::vector<std::string> processList = {
        "id INTEGER PRIMARY KEY AUTOINCREMENT",
        "process_uid INTEGER DEFAULT 0",
        "process_hash TEXT NOT NULL",
        "process_name TEXT NOT NULL",
        "process_team_id TEXT NOT NULL",
        "process_developer_name TEXT NOT NULL",
        "process_bundle_id TEXT NOT NULL",
        "process_bundle_version TEXT NOT NULL",
        "process_path TEXT NOT NULL",
        "target_hash TEXT NOT NULL",
        "target_name TEXT NOT NULL",
        "target_team_id TEXT NOT NULL",
        "target_developer_name TEXT NOT NULL",
        "target_bundle_id TEXT NOT NULL",
        "target_bundle_version TEXT NOT NULL",
        "target_path TEXT NOT NULL",
        "responsible_hash TEXT NOT NULL",
        "responsible_name TEXT NOT NULL",
        "responsible_team_id TEXT NOT NULL",
        "responsible_developer_name TEXT NOT NULL",
        "responsible_bundle_id TEXT NOT NULL",
        "responsible_bundle_version TEXT NOT NULL",
        "responsible_path TEXT NOT NULL",
        "product_key TEXT NOT NULL DEFAULT ''",
        "bundle_hash TEXT NOT NULL",
        "main_bundle TEXT NOT NULL",
        "main_bundle_type TEXT NOT NULL",
        "exec_bundle TEXT NOT NULL",
        "exec_bundle_type TEXT NOT NULL",
        "previously_launched_date INTEGER DEFAULT 0",
        "previously_launched_date_string TEXT NOT NULL",
        "number_of_times_launched INTEGER DEFAULT 0",
        "reason TEXT NOT NULL",
        "rid INTEGER",
        "FOREIGN KEY(rid) REFERENCES velmora_unique_table(rid)",
        "UNIQUE(process_uid, process_hash, target_hash, responsible_hash)",
    };

    std::vector<std::string> launchTimestamp = {
        "rid INTEGER DEFAULT 0",
        "timestamp INTEGER DEFAULT 0",
        "FOREIGN KEY(rid) REFERENCES velmora_unique_table(rid)",
    };

    std::vector<std::string> notificationTimestamp = {
        "notification_id INTEGER PRIMARY KEY AUTOINCREMENT",
        "product_key TEXT NOT NULL",
        "process_uid INTEGER NOT NULL",
        "timestamp INTEGER DEFAULT 0",
        "UNIQUE(product_key, process_uid, timestamp)",
    };

    return std::array<std::string, 4>{
        createTable("velmora_unique_table", unique),
        createTable("velmora_process_list_table", processList),
        createTable("velmora_launch_timestamp_table", launchTimestamp),
        createTable("velmora_notification_timestamp_table", notificationTimestamp),
    };
  }();
  return texts;
}

const std::string& setVersion() {
  static const std::string text = fmt::format("PRAGMA user_version = {}", currentSchemaVersion);
  return text;
}

const std::string& getRID() {
  static const std::string text = [] {
    std::vector<std::string> conditions;
    for (auto column : uniqueColumns()) conditions.push_back(std::string(column) + " = ?");
    return "SELECT rid\nFROM velmora_unique_table\nWHERE\n    " + join(conditions, " AND\n    ");
  }();
  return text;
}

const std::string& upsertUniqueEntry() {
  static const std::string text = [] {
    std::string columns = join(uniqueColumns(), ",\n    ");
    return "INSERT INTO velmora_unique_table (\n    " + columns +
           "\n)\nVALUES (\n    :process_uid,\n    :process_name,\n    :process_team_id,\n    :process_bundle_id,\n"
           "    :process_bundle_version,\n    :responsible_name,\n    :responsible_team_id,\n"
           "    :responsible_bundle_id,\n    :responsible_bundle_version,\n    :reason\n)\nON CONFLICT(\n    " +
           columns + "\n)\nDO UPDATE SET rid = rid\nRETURNING rid";
  }();
  return text;
}

const std::string& entryExists() {
  static const std::string text =
      "SELECT EXISTS (SELECT 1 FROM velmora_process_list_table WHERE process_uid = ? AND target_hash = ? AND "
      "process_hash = ? AND responsible_hash = ?);";
  return text;
}

const std::string& upsertProcessList() {
  static const std::string text = [] {
    std::vector<std::string> values;
    for (auto column : processListInsertColumns()) {
      values.push_back(column == "number_of_times_launched" ? std::string("1") : ":" + std::string(column));
    }
    return "INSERT INTO velmora_process_list_table (\n    " + join(processListInsertColumns(), ",\n    ") +
           "\n)\nVALUES (\n    " + join(values, ",\n    ") +
           "\n)\nON CONFLICT(process_uid, process_hash, target_hash, responsible_hash)\nDO UPDATE SET\n"
           "    previously_launched_date = excluded.previously_launched_date,\n"
           "    previously_launched_date_string = excluded.previously_launched_date_string,\n"
           "    number_of_times_launched = number_of_times_launched + 1";
  }();
  return text;
}

const std::string& insertLaunchTimestamp() {
  static const std::string text =
      "INSERT INTO velmora_launch_timestamp_table (\n    rid,\n    timestamp\n)\nVALUES (\n    :rid,\n    :timestamp\n)";
  return text;
}

const std::string& recordNotification() {
  static const std::string text =
      "INSERT OR IGNORE INTO velmora_notification_timestamp_table\n(product_key, process_uid, timestamp)\n"
      "VALUES (:product_key, :process_uid, :timestamp)";
  return text;
}

}  // namespace nimbra::statements
