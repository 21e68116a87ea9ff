#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "nimbrad/ProcessDataEntry.h"
#include "nimbrad/ProcessListDataStore.h"
#include "nimbrad/ProcessListStatements.h"
#include "tests/support/StoreFixtures.h"
#include "tests/support/TempDirectory.h"

namespace nimbra {
namespace {

using test::makeEntry;
using test::rowCount;
using test::LogCapture;

constexpr double t0 = 1700000000;

class ProcessListDataStoreWriteTests : public ::testing::Test {
 protected:
  void SetUp() override {
    store = std::make_shared<ProcessListDataStore>(directory.path(), files);
    store->loadDatabase();
    ASSERT_TRUE(store->saveToDisk());  // start clean
  }

  // A launch as the intake pipeline records it.
  bool record(const ProcessDataEntry& entry) {
    std::int64_t rid = store->getRID(entry);
    auto created = store->updateEntry(entry, rid > 0 ? rid : 0, rid < 0);
    EXPECT_TRUE(created) << created.error().message();
    return created.valueOr(false);
  }
  long long rows(const std::string& table) { return rowCount(store->memoryDatabase()->handle(), table); }
  long long scalar(const std::string& sql) { return store->executeFetchSingleIntQuery(nullptr, sql); }
  std::string text(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(store->memoryDatabase()->handle(), sql.c_str(), -1, &statement, nullptr);
    std::string value = "<no row>";
    if (sqlite3_step(statement) == SQLITE_ROW) {
      const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      value.assign(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
    }
    sqlite3_finalize(statement);
    return value;
  }

  test::TempDirectory directory;
  test::RecordingFileManager files;
  LogCapture log;
  std::shared_ptr<ProcessListDataStore> store;
};

TEST_F(ProcessListDataStoreWriteTests, FirstLaunchCreatesOneRowInEachTable) {
  auto entry = makeEntry("Foo", 501, t0);
  EXPECT_EQ(store->getRID(entry), -1);
  EXPECT_TRUE(record(entry));
  EXPECT_EQ(rows("velmora_unique_table"), 1);
  EXPECT_EQ(rows("velmora_process_list_table"), 1);
  EXPECT_EQ(rows("velmora_launch_timestamp_table"), 1);
  EXPECT_EQ(scalar("SELECT number_of_times_launched FROM velmora_process_list_table"), 1);
  std::int64_t rid = store->getRID(entry);
  EXPECT_GT(rid, 0);
  EXPECT_EQ(scalar("SELECT rid FROM velmora_process_list_table"), rid);
  EXPECT_EQ(scalar("SELECT rid FROM velmora_launch_timestamp_table"), rid);
  EXPECT_EQ(scalar("SELECT timestamp FROM velmora_launch_timestamp_table"), t0);
  EXPECT_EQ(text("SELECT reason FROM velmora_process_list_table"), "x86 Only");
  EXPECT_EQ(text("SELECT bundle_hash FROM velmora_process_list_table"), "Foo.app|Application|Foo|Other");
  EXPECT_TRUE(store->isDirty());
}

TEST_F(ProcessListDataStoreWriteTests, RepeatsCountEveryLaunchButDebounceTimestampsPerRid) {
  struct Step {
    const char* name;
    double at;
    bool created;
    long long count;       // of Foo's row afterwards
    long long timestamps;  // rows in the launch timestamp table afterwards
  };
  // Foo at 0, 5 (debounced), 10 (exactly 10 s after the last written one:
  // written), 19.5 (debounced), 9 (back in time: debounced); then Foo and
  // Bar alternate within 10 s and each gets a timestamp, since the debounce
  // remembers only the last rid.
  for (const auto& step : std::vector<Step>{
           {"Foo", 0, true, 1, 1},
           {"Foo", 5, false, 2, 1},
           {"Foo", 10, false, 3, 2},
           {"Foo", 19.5, false, 4, 2},
           {"Foo", 9, false, 5, 2},
           {"Bar", 16, true, 5, 3},
           {"Foo", 17, false, 6, 4},
           {"Bar", 18, false, 6, 5},
       }) {
    SCOPED_TRACE(std::string(step.name) + " at " + std::to_string(step.at));
    EXPECT_EQ(record(makeEntry(step.name, 501, t0 + step.at)), step.created);
    EXPECT_EQ(scalar("SELECT number_of_times_launched FROM velmora_process_list_table WHERE process_name = 'Foo'"),
              step.count);
    EXPECT_EQ(rows("velmora_launch_timestamp_table"), step.timestamps);
  }
  // The dates follow the latest launch.
  EXPECT_EQ(scalar("SELECT previously_launched_date FROM velmora_process_list_table WHERE process_name = 'Foo'"),
            t0 + 17);
  EXPECT_EQ(text("SELECT previously_launched_date_string FROM velmora_process_list_table WHERE process_name = 'Foo'"),
            makeEntry("Foo", 501, t0 + 17).previously_launched_date_string);
}

TEST_F(ProcessListDataStoreWriteTests, EveryColumnHoldsTheValueOfItsOwnRole) {
  auto entry = makeEntry("Foo", 502, t0);
  entry.target_path = "/Applications/Foo.app/Contents/Frameworks/FooEngine.framework/FooEngine";
  entry.deriveFields();
  ASSERT_TRUE(record(entry));
  const std::string reason = entry.reason.description();
  struct Column {
    const char* name;
    const std::string* value;
  };
  const std::vector<Column> processList = {
      {"process_hash", &entry.process_hash},
      {"process_name", &entry.process_name},
      {"process_team_id", &entry.process_team_id},
      {"process_developer_name", &entry.process_developer_name},
      {"process_bundle_id", &entry.process_bundle_id},
      {"process_bundle_version", &entry.process_bundle_version},
      {"process_path", &entry.process_path},
      {"target_hash", &entry.target_hash},
      {"target_name", &entry.target_name},
      {"target_team_id", &entry.target_team_id},
      {"target_developer_name", &entry.target_developer_name},
      {"target_bundle_id", &entry.target_bundle_id},
      {"target_bundle_version", &entry.target_bundle_version},
      {"target_path", &entry.target_path},
      {"responsible_hash", &entry.responsible_hash},
      {"responsible_name", &entry.responsible_name},
      {"responsible_team_id", &entry.responsible_team_id},
      {"responsible_developer_name", &entry.responsible_developer_name},
      {"responsible_bundle_id", &entry.responsible_bundle_id},
      {"responsible_bundle_version", &entry.responsible_bundle_version},
      {"responsible_path", &entry.responsible_path},
      {"product_key", &entry.product_key},
      {"bundle_hash", &entry.bundle_hash},
      {"main_bundle", &entry.main_bundle},
      {"main_bundle_type", &entry.main_bundle_type},
      {"exec_bundle", &entry.exec_bundle},
      {"exec_bundle_type", &entry.exec_bundle_type},
      {"previously_launched_date_string", &entry.previously_launched_date_string},
      {"reason", &reason},
  };
  for (const auto& column : processList) {
    EXPECT_EQ(text(std::string("SELECT ") + column.name + " FROM velmora_process_list_table"), *column.value)
        << column.name;
  }
  EXPECT_EQ(scalar("SELECT process_uid FROM velmora_process_list_table"), 502);
  // The identity row holds the process's and the responsible's own values.
  for (const auto& column : processList) {
    std::string name = column.name;
    bool inUnique = std::find(statements::uniqueColumns().begin(), statements::uniqueColumns().end(), name) !=
                    statements::uniqueColumns().end();
    if (!inUnique) continue;
    EXPECT_EQ(text("SELECT " + name + " FROM velmora_unique_table"), *column.value) << name;
  }
  EXPECT_EQ(scalar("SELECT process_uid FROM velmora_unique_table"), 502);
  // The identity is found again by every one of its values.
  EXPECT_EQ(store->getRID(entry), scalar("SELECT rid FROM velmora_unique_table"));
}

TEST_F(ProcessListDataStoreWriteTests, RepeatKeepsEverythingButDatesAndCounterOfTheFirstLaunch) {
  auto first = makeEntry("Foo", 501, t0);
  ASSERT_TRUE(record(first));
  auto again = first;
  again.process_path = "/Volumes/Other/Foo.app/Contents/MacOS/Foo";
  again.product_key = "another product";
  again.previously_launched_date = platform::Date{t0 + 60};
  again.deriveFields();
  EXPECT_FALSE(record(again));  // the path is no part of the identity
  EXPECT_EQ(rows("velmora_process_list_table"), 1);
  EXPECT_EQ(text("SELECT process_path FROM velmora_process_list_table"), first.process_path);
  EXPECT_EQ(text("SELECT product_key FROM velmora_process_list_table"), first.product_key);
  EXPECT_EQ(text("SELECT main_bundle FROM velmora_process_list_table"), "Foo.app");
  EXPECT_EQ(scalar("SELECT previously_launched_date FROM velmora_process_list_table"), t0 + 60);
  EXPECT_EQ(scalar("SELECT number_of_times_launched FROM velmora_process_list_table"), 2);
}

TEST_F(ProcessListDataStoreWriteTests, NewBundleVersionOrUserIsANewIdentity) {
  auto entry = makeEntry("Foo", 501, t0);
  ASSERT_TRUE(record(entry));
  auto updated = entry;
  updated.process_bundle_version = "2.0";
  updated.deriveFields();
  EXPECT_TRUE(record(updated));
  auto otherUser = makeEntry("Foo", 502, t0);
  EXPECT_TRUE(record(otherUser));
  // Texts keep every byte: an identifier that differs only after a NUL is another identity.
  auto afterNul = entry;
  afterNul.process_bundle_id += std::string("\0evil", 5);
  afterNul.deriveFields();
  EXPECT_TRUE(record(afterNul));
  EXPECT_EQ(rows("velmora_unique_table"), 4);
  EXPECT_EQ(rows("velmora_process_list_table"), 4);
  EXPECT_NE(store->getRID(entry), store->getRID(updated));
  EXPECT_NE(store->getRID(entry), store->getRID(otherUser));
  EXPECT_NE(store->getRID(entry), store->getRID(afterNul));
}

TEST_F(ProcessListDataStoreWriteTests, RidsBeyond32BitsSurviveTheRoundTrip) {
  // An identity table whose sequence has passed 2^32: a 32-bit read would
  // hand back a different (or negative) rid.
  ASSERT_TRUE(store->executeInsert(
      "INSERT INTO velmora_unique_table (rid, process_uid, process_name, process_team_id, process_bundle_id, "
      "process_bundle_version, responsible_name, responsible_team_id, responsible_bundle_id, "
      "responsible_bundle_version, reason) VALUES (6442450943, 0, 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x')"));
  auto entry = makeEntry("Foo", 501, t0);
  auto upserted = store->upsertUniqueEntry(entry);
  ASSERT_TRUE(upserted);
  EXPECT_EQ(*upserted, 6442450944);
  EXPECT_EQ(*store->upsertUniqueEntry(entry), 6442450944);  // a conflict returns the existing rid
  EXPECT_EQ(store->getRID(entry), 6442450944);
  ASSERT_TRUE(record(entry));
  EXPECT_EQ(scalar("SELECT rid FROM velmora_process_list_table"), 6442450944);
  EXPECT_EQ(scalar("SELECT rid FROM velmora_launch_timestamp_table"), 6442450944);
}

TEST_F(ProcessListDataStoreWriteTests, NegativeRidIsLoggedAndWritesNothing) {
  auto entry = makeEntry("Foo", 501, t0);
  auto result = store->updateEntry(entry, -7, false);
  ASSERT_FALSE(result);  // not written: never to be taken for an update
  EXPECT_EQ(result.error().message(), "<nimbrad:PLDS> updateEntry: no rid for entry");
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> updateEntry: no rid for entry: " + entry.tableRow()));
  EXPECT_EQ(rows("velmora_process_list_table"), 0);
  ASSERT_TRUE(store->insertLaunchTimestamp(-1, platform::Date{t0}));
  EXPECT_EQ(rows("velmora_launch_timestamp_table"), 0);
  EXPECT_FALSE(store->isDirty());
}

TEST_F(ProcessListDataStoreWriteTests, NotificationRecordsAreKeptOnceAndReachTheDisk) {
  store->recordNotification("/Applications/Foo.app", 501, platform::Date{t0 + 0.7});
  EXPECT_TRUE(store->isDirty());
  ASSERT_TRUE(store->saveToDisk());
  store->recordNotification("/Applications/Foo.app", 501, platform::Date{t0});  // same second
  EXPECT_EQ(rows("velmora_notification_timestamp_table"), 1);
  EXPECT_FALSE(store->isDirty());  // nothing changed

  store->recordNotification("/Applications/Bar.app", 501, platform::Date{t0});
  ASSERT_TRUE(store->saveToDisk());
  auto reloaded = std::make_shared<ProcessListDataStore>(directory.path(), files);
  reloaded->loadDatabase();
  EXPECT_EQ(rowCount(reloaded->memoryDatabase()->handle(), "velmora_notification_timestamp_table"), 2);
  EXPECT_EQ(reloaded->executeFetchSingleIntQuery(nullptr, "SELECT MAX(timestamp) FROM velmora_notification_timestamp_table"),
            t0);

  auto closed = std::make_shared<ProcessListDataStore>(directory.path(), files);  // never loaded
  closed->recordNotification("k", 501, platform::Date{t0});
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> Failed to prepare notification insert"));
}

TEST_F(ProcessListDataStoreWriteTests, BindingErrorsNameTheParameter) {
  const std::string insert =
      "INSERT INTO velmora_launch_timestamp_table (rid, timestamp) VALUES (:rid, :timestamp)";
  struct NamedCase {
    NamedParameters parameters;
    std::string message;
  };
  for (const auto& [parameters, message] : std::vector<NamedCase>{
           {{{":rid", 1}, {":nope", 2}}, "Parameter ':nope' not found in SQL statement"},
           {{{":rid", true}}, "Unsupported parameter type for ':rid': bool"},
           {{{":timestamp", std::nullopt}}, "Unsupported parameter type for ':timestamp': absent"},
           {{{":timestamp", 18446744073709551615ul}}, "Parameter value out of range for ':timestamp': 18446744073709551615"},
       }) {
    auto result = store->executeParameterizedInsert(insert, parameters);
    ASSERT_FALSE(result) << message;
    EXPECT_EQ(result.error().kind(), ProcessListDataStoreError::Kind::queryError);
    EXPECT_EQ(result.error().message(), message);
  }

  const std::string query = "SELECT EXISTS (SELECT 1 FROM velmora_unique_table WHERE rid = ?)";
  struct PositionalCase {
    PositionalParameters parameters;
    std::string message;
  };
  for (const auto& [parameters, message] : std::vector<PositionalCase>{
           {{1, true}, "Unsupported parameter type at index 2: bool"},
           {{std::nullopt}, "Unsupported parameter type at index 1: absent"},
           {{1, 2}, "<nimbrad:PLDS> Failed to bind parameter 2 25 column index out of range"},
       }) {
    auto result = store->executeParameterizedBoolQuery(nullptr, query, parameters);
    ASSERT_FALSE(result) << message;
    EXPECT_EQ(result.error().message(), message);
  }
  EXPECT_EQ(store->executeParameterizedSingleIntQuery(nullptr, query, {false}), -1);
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> executeParameterizedSingleIntQuery failed to bind parameters: "
                                 "Unsupported parameter type at index 1: bool"));
  EXPECT_FALSE(store->isDirty());  // nothing was written
}

TEST_F(ProcessListDataStoreWriteTests, ValuesAreBoundByTheirTypes) {
  ASSERT_TRUE(store->executeInsert("CREATE TABLE typed (v)"));
  struct Case {
    SQLParameter value;
    std::string type;
    std::string stored;
  };
  for (const auto& [value, type, stored] : std::vector<Case>{
           {SQLParameter(4294967295u), "integer", "4294967295"},
           {SQLParameter(-2147483647 - 1), "integer", "-2147483648"},
           {SQLParameter(9223372036854775807ul), "integer", "9223372036854775807"},
           {SQLParameter(-5ll), "integer", "-5"},
           {SQLParameter(-6l), "integer", "-6"},
           {SQLParameter(0.25), "real", "0.25"},
           {SQLParameter(std::string("text")), "text", "text"},
           {SQLParameter(std::string_view("kept\0whole", 10)), "text", std::string("kept\0whole", 10)},
       }) {
    ASSERT_TRUE(store->executeInsert("DELETE FROM typed"));
    auto result = store->executeParameterizedInsert(
        "INSERT INTO typed (v) VALUES (:v)", {{":v", value}});
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(text("SELECT typeof(v) FROM typed"), type) << stored;
    EXPECT_EQ(text("SELECT CAST(v AS TEXT) FROM typed"), stored);
  }
}

TEST_F(ProcessListDataStoreWriteTests, ExecutorFailuresCarryTheStatementAndSQLiteMessage) {
  ASSERT_TRUE(store->executeParameterizedInsert(
      "INSERT INTO velmora_notification_timestamp_table (product_key, process_uid, timestamp) VALUES (:k, 1, 1)",
      {{":k", "a"}}));
  ASSERT_TRUE(store->saveToDisk());
  struct Case {
    std::string name;
    std::function<std::string()> run;
    std::string message;
  };
  std::vector<Case> cases = {
      {"insert: prepare", [&] { return store->executeInsert("INSERT INTO nowhere VALUES (1)").error().message(); },
       "<nimbrad:PLDS> FAILED to prepare insert statement:\n\n INSERT INTO nowhere VALUES (1) 1 no such table: nowhere"},
      {"insert: empty", [&] { return store->executeInsert("").error().message(); },
       "<nimbrad:PLDS> FAILED to prepare insert statement:\n\n  21 not an error"},
      {"insert: a row", [&] { return store->executeInsert("SELECT 1").error().message(); },
       "<nimbrad:PLDS> FAILED to insert:\n\n SELECT 1 100 another row available"},
      {"parameterized: constraint",
       [&] {
         return store
             ->executeParameterizedInsert("INSERT INTO velmora_notification_timestamp_table (product_key, "
                                          "process_uid, timestamp) VALUES (:k, 1, 1)",
                                          {{":k", "a"}})
             .error()
             .message();
       },
       "<nimbrad:PLDS> FAILED to execute parameterized insert 19 UNIQUE constraint failed: "
       "velmora_notification_timestamp_table.product_key, velmora_notification_timestamp_table.process_uid, "
       "velmora_notification_timestamp_table.timestamp"},
      {"parameterized: prepare",
       [&] { return store->executeParameterizedInsert("INSERT INTO nowhere VALUES (:a)", {}).error().message(); },
       "<nimbrad:PLDS> FAILED to prepare parameterized insert statement:\n\n INSERT INTO nowhere VALUES (:a) 1 no "
       "such table: nowhere"},
      {"returning: prepare",
       [&] { return store->executeParameterizedInsertReturning("INSERT INTO nowhere", {}).error().message(); },
       "<nimbrad:PLDS> FAILED to prepare parameterized insert with RETURNING:\\n\\n INSERT INTO nowhere 1 "
       "incomplete input"},
      {"returning: no row",
       [&] {
         return store->executeParameterizedInsertReturning("DELETE FROM velmora_unique_table", {}).error().message();
       },
       "<nimbrad:PLDS> FAILED to execute parameterized insert with RETURNING 101 no more rows available"},
      {"bool: prepare",
       [&] { return store->executeParameterizedBoolQuery(nullptr, "SELECT x FROM nowhere", {}).error().message(); },
       "<nimbrad:PLDS> executeParameterizedBoolQuery failed to prepare statement 1 no such table: nowhere"},
      {"bool: no row",
       [&] { return store->executeParameterizedBoolQuery(nullptr, "SELECT 1 WHERE 0", {}).error().message(); },
       "<nimbrad:PLDS> executeParameterizedBoolQuery failed to execute 101 no more rows available"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.run(), c.message) << c.name;
  EXPECT_FALSE(store->isDirty());  // no accepted step, no dirty mark

  EXPECT_EQ(store->executeParameterizedSingleIntQuery(nullptr, "SELECT x FROM nowhere", {}), -1);
  EXPECT_TRUE(log->contains("<nimbrad:PLDS> executeParameterizedSingleIntQuery failed to prepare statement: 1"));
}

TEST_F(ProcessListDataStoreWriteTests, ConcurrentLaunchesAreAllCountedAndDebouncedOnce) {
  constexpr int threads = 4;
  constexpr int launches = 200;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < launches; ++i) {
        // One identity shared by all threads at one moment, and one of the thread's own.
        record(makeEntry("Shared", 501, t0));
        record(makeEntry("Own" + std::to_string(t), 501, t0 + i * 20));
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(rows("velmora_unique_table"), threads + 1);
  EXPECT_EQ(scalar("SELECT number_of_times_launched FROM velmora_process_list_table WHERE process_name = 'Shared'"),
            threads * launches);
  EXPECT_EQ(scalar("SELECT SUM(number_of_times_launched) FROM velmora_process_list_table"), 2 * threads * launches);
  // The threads' own launches are 20 s apart: none may be debounced away,
  // however the writes of the threads interleave.
  long long sharedRid = store->getRID(makeEntry("Shared", 501, t0));
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM velmora_launch_timestamp_table WHERE rid != " + std::to_string(sharedRid)),
            threads * launches);
}

TEST_F(ProcessListDataStoreWriteTests, SameRidAtTheSameMomentFromManyThreadsIsWrittenOnce) {
  auto entry = makeEntry("Foo", 501, t0);
  ASSERT_TRUE(record(entry));
  ASSERT_TRUE(store->executeInsert("DELETE FROM velmora_launch_timestamp_table"));
  std::int64_t rid = store->getRID(entry);
  ASSERT_TRUE(store->insertLaunchTimestamp(rid + 1, platform::Date{t0}));  // another rid resets the debounce
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) ASSERT_TRUE(store->insertLaunchTimestamp(rid, platform::Date{t0 + 1}));
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM velmora_launch_timestamp_table WHERE rid = " + std::to_string(rid)), 1);
}

TEST_F(ProcessListDataStoreWriteTests, HotStatementsArePreparedOnce) {
  record(makeEntry("First", 501, t0));
  std::size_t cached = store->memoryDatabase()->cachedStatementCount();
  for (int i = 0; i < 50; ++i) record(makeEntry("App" + std::to_string(i), 501, t0 + i));
  // getRID, the unique upsert, the existence check, the process-list upsert
  // and the timestamp insert are back in the cache, not prepared anew.
  EXPECT_EQ(store->memoryDatabase()->cachedStatementCount(), cached);
}

}  // namespace
}  // namespace nimbra
