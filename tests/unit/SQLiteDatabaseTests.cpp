#include "nimbrad/SQLiteDatabase.h"

#include <gtest/gtest.h>

#include <string>

namespace nimbra {
namespace {

std::shared_ptr<SQLiteDatabase> openMemory() {
  auto handle = openSQLite(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX);
  EXPECT_TRUE(handle);
  return std::make_shared<SQLiteDatabase>(std::move(handle).value());
}

TEST(SQLiteDatabaseTests, StatementsReturnToTheCacheUnderTheTextTheCallerUsed) {
  auto db = openMemory();
  int code = 0;
  // The second statement of the text is never prepared; the loan must still
  // come back under the full text, or every call would prepare a new one.
  const std::string text = "SELECT 1; SELECT 2";
  for (int i = 0; i < 3; ++i) {
    auto statement = db->prepare(text, code);
    ASSERT_TRUE(statement);
    EXPECT_EQ(sqlite3_step(statement.get()), SQLITE_ROW);
  }
  EXPECT_EQ(db->cachedStatementCount(), 1u);
}

TEST(SQLiteDatabaseTests, SimultaneousLoansOfOneTextAreDistinctStatements) {
  auto db = openMemory();
  int code = 0;
  {
    auto first = db->prepare("SELECT ?1", code);
    auto second = db->prepare("SELECT ?1", code);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    sqlite3_bind_int(first.get(), 1, 1);
    sqlite3_bind_int(second.get(), 1, 2);
    ASSERT_EQ(sqlite3_step(first.get()), SQLITE_ROW);
    ASSERT_EQ(sqlite3_step(second.get()), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(first.get(), 0), 1);
    EXPECT_EQ(sqlite3_column_int(second.get(), 0), 2);
  }
  EXPECT_EQ(db->cachedStatementCount(), 2u);
  // A statement back from the cache carries no old bindings.
  auto again = db->prepare("SELECT ?1", code);
  ASSERT_EQ(sqlite3_step(again.get()), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_type(again.get(), 0), SQLITE_NULL);
}

TEST(SQLiteDatabaseTests, AdHocTextsDoNotGrowTheCacheWithoutBound) {
  auto db = openMemory();
  int code = 0;
  for (int i = 0; i < 500; ++i) {
    auto statement = db->prepare("SELECT " + std::to_string(i), code);
    ASSERT_TRUE(statement);
  }
  EXPECT_LE(db->cachedStatementCount(), 64u);
}

TEST(SQLiteDatabaseTests, ParameterIndexesWithAndWithoutThePositionHint) {
  auto db = openMemory();
  int code = 0;
  auto statement = db->prepare("SELECT :a, ?, :c", code);
  ASSERT_TRUE(statement);
  EXPECT_EQ(statement.parameterIndex(":a", 0), 1);
  EXPECT_EQ(statement.parameterIndex(":c", 2), 3);
  EXPECT_EQ(statement.parameterIndex(":c", 0), 3);  // wrong hint: found by search
  EXPECT_EQ(statement.parameterIndex(":b", 1), 0);
  EXPECT_EQ(statement.parameterIndex(":a", 99), 1);

  auto uncached = prepareStatement(db->handle(), "SELECT :a, :c", code);
  ASSERT_TRUE(uncached);
  EXPECT_EQ(uncached.parameterIndex(":c", 0), 2);
  EXPECT_EQ(uncached.parameterIndex(":x", 0), 0);
}

}  // namespace
}  // namespace nimbra
