#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "nimbrad/ProcessListColumn.h"
#include "nimbrad/ProcessListStatements.h"
#include "nimbrad/StoreTable.h"

namespace nimbra {
namespace {

std::vector<std::string> strings(sqlite3* db, const std::string& sql, int column) {
  std::vector<std::string> values;
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    values.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
  }
  sqlite3_finalize(statement);
  return values;
}

class ProcessListSchemaTests : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    for (const auto& text : statements::createTables()) {
      ASSERT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << text;
    }
  }
  void TearDown() override { sqlite3_close(db); }
  sqlite3* db = nullptr;
};

TEST_F(ProcessListSchemaTests, ColumnSelectorFollowsTheProcessListTable) {
  auto columns = strings(db, "PRAGMA table_info(velmora_process_list_table)", 1);
  ASSERT_EQ(columns.size(), static_cast<std::size_t>(processListColumnCount));
  for (int i = 0; i < processListColumnCount; ++i) {
    EXPECT_EQ(columnName(*processListColumn(i)), columns[i]) << i;
  }
  EXPECT_EQ(processListColumn(34), ProcessListColumn::none);
  EXPECT_EQ(columnName(ProcessListColumn::none), "");
  EXPECT_FALSE(processListColumn(35));
  EXPECT_FALSE(processListColumn(-1));

  // The upsert writes every column but the row id.
  std::vector<std::string> written(statements::processListInsertColumns().begin(),
                                   statements::processListInsertColumns().end());
  std::vector<std::string> expected(columns.begin() + 1, columns.end());
  std::sort(written.begin(), written.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(written, expected);
}

TEST_F(ProcessListSchemaTests, TablesAndTheirUniqueConstraints) {
  for (int raw = 0; raw < 4; ++raw) {
    auto name = std::string(tableName(*storeTable(raw)));
    EXPECT_EQ(strings(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name = '" + name + "'", 0).size(),
              1u)
        << name;
  }
  EXPECT_FALSE(storeTable(4));

  auto unique = strings(db, "PRAGMA table_info(velmora_unique_table)", 1);
  std::vector<std::string> expectedUnique = {"rid"};
  for (auto column : statements::uniqueColumns()) expectedUnique.emplace_back(column);
  EXPECT_EQ(unique, expectedUnique);

  struct Case {
    std::string table;
    std::vector<std::string> uniqueColumns;
  };
  std::vector<std::string> identity(statements::uniqueColumns().begin(), statements::uniqueColumns().end());
  for (const auto& [table, columns] : std::vector<Case>{
           {"velmora_process_list_table", {"process_uid", "process_hash", "target_hash", "responsible_hash"}},
           {"velmora_unique_table", identity},
           {"velmora_notification_timestamp_table", {"product_key", "process_uid", "timestamp"}},
       }) {
    // Only the indices SQLite makes for the constraints exist.
    auto indices = strings(db, "SELECT name FROM pragma_index_list('" + table + "')", 0);
    ASSERT_EQ(indices.size(), 1u) << table;
    EXPECT_EQ(indices[0].rfind("sqlite_autoindex_", 0), 0u);
    EXPECT_EQ(strings(db, "SELECT name FROM pragma_index_info('" + indices[0] + "')", 0), columns) << table;
  }
  EXPECT_TRUE(strings(db, "SELECT name FROM pragma_index_list('velmora_launch_timestamp_table')", 0).empty());
}

TEST_F(ProcessListSchemaTests, WritePathStatementsPrepareAgainstTheSchema) {
  for (const std::string* text : {&statements::getRID(), &statements::upsertUniqueEntry(), &statements::entryExists(),
                                  &statements::upsertProcessList(), &statements::insertLaunchTimestamp(),
                                  &statements::recordNotification(), &statements::setVersion()}) {
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, text->c_str(), -1, &statement, &tail), SQLITE_OK) << *text;
    EXPECT_EQ(std::string(tail), "") << *text;
    sqlite3_finalize(statement);
  }
}

}  // namespace
}  // namespace nimbra
