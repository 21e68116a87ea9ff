// Throughput of the store's write path and cost of its saves, each printed
// beside a baseline measured in the same run:
//  - launches per second through getRID + updateEntry, on distinct and on
//    repeated identities, against the same statements run as a plain loop over
//    hand-prepared statements with direct binding (the limit);
//  - the save of a store of 100,000 process-list rows against a plain
//    sqlite3_backup copy of the same database to a file;
//  - resident memory with those 100,000 rows.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "nimbrad/ProcessDataEntry.h"
#include "nimbrad/ProcessListDataStore.h"
#include "nimbrad/ProcessListStatements.h"

using namespace nimbra;

namespace {

constexpr int launchesPerIteration = 10000;
constexpr int repeatedIdentities = 1000;
constexpr int savedRows = 100000;
constexpr double t0 = 1700000000;

ProcessDataEntry makeEntry(int n, double at) {
  std::string name = "App" + std::to_string(n);
  ProcessDataEntry e;
  e.process_uid = 501 + static_cast<std::uint32_t>(n % 3);
  e.process_name = name;
  e.process_team_id = "TEAM" + std::to_string(n % 97);
  e.process_developer_name = "Developer " + std::to_string(n % 97);
  e.process_bundle_id = "com.example." + name;
  e.process_bundle_version = "1." + std::to_string(n % 10);
  e.process_path = "/Applications/" + name + ".app/Contents/MacOS/" + name;
  e.target_name = name + "Helper";
  e.target_team_id = e.process_team_id;
  e.target_developer_name = e.process_developer_name;
  e.target_bundle_id = e.process_bundle_id + ".helper";
  e.target_bundle_version = e.process_bundle_version;
  e.target_path = "/Applications/" + name + ".app/Contents/PlugIns/" + name + "Helper.plugin/Contents/MacOS/Helper";
  e.responsible_name = name;
  e.responsible_team_id = e.process_team_id;
  e.responsible_developer_name = e.process_developer_name;
  e.responsible_bundle_id = e.process_bundle_id;
  e.responsible_bundle_version = e.process_bundle_version;
  e.responsible_path = "/Applications/" + name + ".app";
  e.product_key = e.responsible_path;
  e.previously_launched_date = platform::Date{at};
  e.reason = VelmoraReason::x86Only(VelmoraEntity{.name = name});
  e.deriveFields();
  return e;
}

std::vector<ProcessDataEntry> makeEntries(int first, int count, double at) {
  std::vector<ProcessDataEntry> entries;
  entries.reserve(count);
  for (int i = 0; i < count; ++i) entries.push_back(makeEntry(first + i, at + i));
  return entries;
}

// The same statements as the store, prepared once by hand, bound by index
// straight from the entry (no copies, no name lookups), no dirty tracking, no
// locks of its own: what SQLite itself costs.
class RawWriter {
 public:
  RawWriter() {
    sqlite3_open_v2(":memory:", &db_, ProcessListDataStore::databaseOptions, nullptr);
    for (const auto& text : statements::createTables()) sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
    getRID_ = prepare(statements::getRID());
    upsertUnique_ = prepare(statements::upsertUniqueEntry());
    exists_ = prepare(statements::entryExists());
    upsert_ = prepare(statements::upsertProcessList());
    timestamp_ = prepare(statements::insertLaunchTimestamp());
  }
  ~RawWriter() {
    for (auto* s : {getRID_, upsertUnique_, exists_, upsert_, timestamp_}) sqlite3_finalize(s);
    sqlite3_close(db_);
  }

  bool record(const ProcessDataEntry& e) {
    std::string reason = e.reason.description();
    bindIdentity(getRID_, e, reason);
    std::int64_t rid = sqlite3_step(getRID_) == SQLITE_ROW ? sqlite3_column_int64(getRID_, 0) : -1;
    sqlite3_reset(getRID_);
    if (rid < 0) {
      bindIdentity(upsertUnique_, e, reason);
      if (sqlite3_step(upsertUnique_) == SQLITE_ROW) rid = sqlite3_column_int64(upsertUnique_, 0);
      sqlite3_reset(upsertUnique_);
    }
    sqlite3_bind_int64(exists_, 1, e.process_uid);
    text(exists_, 2, e.target_hash);
    text(exists_, 3, e.process_hash);
    text(exists_, 4, e.responsible_hash);
    bool existed = sqlite3_step(exists_) == SQLITE_ROW && sqlite3_column_int64(exists_, 0) == 1;
    sqlite3_reset(exists_);

    int i = 1;
    sqlite3_bind_int64(upsert_, i++, e.process_uid);
    for (const std::string* field :
         {&e.process_hash, &e.process_name, &e.process_team_id, &e.process_developer_name, &e.process_bundle_id,
          &e.process_bundle_version, &e.process_path, &e.target_hash, &e.target_name, &e.target_team_id,
          &e.target_developer_name, &e.target_bundle_id, &e.target_bundle_version, &e.target_path,
          &e.responsible_hash, &e.responsible_name, &e.responsible_team_id, &e.responsible_developer_name,
          &e.responsible_bundle_id, &e.responsible_bundle_version, &e.responsible_path, &e.product_key,
          &e.bundle_hash, &e.main_bundle, &e.main_bundle_type, &e.exec_bundle, &e.exec_bundle_type}) {
      text(upsert_, i++, *field);
    }
    auto seconds = static_cast<sqlite3_int64>(ProcessDataEntry::storedSeconds(e.previously_launched_date));
    sqlite3_bind_int64(upsert_, i++, seconds);
    text(upsert_, i++, e.previously_launched_date_string);
    text(upsert_, i++, reason);
    sqlite3_bind_int64(upsert_, i++, rid);
    sqlite3_step(upsert_);
    sqlite3_reset(upsert_);

    if (!(rid == lastRID_ && e.previously_launched_date.secondsSince1970 - lastTimestamp_ < 10.0)) {
      sqlite3_bind_int64(timestamp_, 1, rid);
      sqlite3_bind_int64(timestamp_, 2, seconds);
      if (sqlite3_step(timestamp_) == SQLITE_DONE) {
        lastRID_ = rid;
        lastTimestamp_ = e.previously_launched_date.secondsSince1970;
      }
      sqlite3_reset(timestamp_);
    }
    return !existed;
  }

 private:
  sqlite3_stmt* prepare(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    return s;
  }
  static void text(sqlite3_stmt* s, int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
  }
  static void bindIdentity(sqlite3_stmt* s, const ProcessDataEntry& e, const std::string& reason) {
    sqlite3_bind_int64(s, 1, e.process_uid);
    text(s, 2, e.process_name);
    text(s, 3, e.process_team_id);
    text(s, 4, e.process_bundle_id);
    text(s, 5, e.process_bundle_version);
    text(s, 6, e.responsible_name);
    text(s, 7, e.responsible_team_id);
    text(s, 8, e.responsible_bundle_id);
    text(s, 9, e.responsible_bundle_version);
    text(s, 10, reason);
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* getRID_ = nullptr;
  sqlite3_stmt* upsertUnique_ = nullptr;
  sqlite3_stmt* exists_ = nullptr;
  sqlite3_stmt* upsert_ = nullptr;
  sqlite3_stmt* timestamp_ = nullptr;
  std::int64_t lastRID_ = -1;
  double lastTimestamp_ = -std::numeric_limits<double>::infinity();
};

void recordThroughStore(ProcessListDataStore& store, const ProcessDataEntry& entry) {
  std::int64_t rid = store.getRID(entry);
  auto created = store.updateEntry(entry, rid > 0 ? rid : 0, rid < 0);
  benchmark::DoNotOptimize(created);
}

std::string scratchDirectory() {
  static const std::string directory = [] {
    char pattern[] = "/var/tmp/bench_store.XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return std::string(made != nullptr ? made : "/var/tmp");
  }();
  return directory;
}

// --- Launch throughput -----------------------------------------------------------

void BM_StoreDistinct(benchmark::State& state) {
  int batch = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto entries = makeEntries(batch++ * launchesPerIteration, launchesPerIteration, t0);
    auto store = std::make_shared<ProcessListDataStore>(scratchDirectory() + "/distinct");
    store->loadDatabase();
    state.ResumeTiming();
    for (const auto& entry : entries) recordThroughStore(*store, entry);
    state.PauseTiming();
    store.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * launchesPerIteration);
}

void BM_RawDistinct(benchmark::State& state) {
  int batch = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto entries = makeEntries(batch++ * launchesPerIteration, launchesPerIteration, t0);
    auto writer = std::make_unique<RawWriter>();
    state.ResumeTiming();
    for (const auto& entry : entries) benchmark::DoNotOptimize(writer->record(entry));
    state.PauseTiming();
    writer.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * launchesPerIteration);
}

// Launches of 1,000 known identities in turn, a second apart.
std::vector<ProcessDataEntry> repeatedLaunches(int iteration) {
  std::vector<ProcessDataEntry> entries = makeEntries(0, repeatedIdentities, t0);
  std::vector<ProcessDataEntry> launches;
  launches.reserve(launchesPerIteration);
  for (int i = 0; i < launchesPerIteration; ++i) {
    auto entry = entries[i % repeatedIdentities];
    entry.previously_launched_date = platform::Date{t0 + 100000.0 * (iteration + 1) + i};
    entry.deriveFields();
    launches.push_back(std::move(entry));
  }
  return launches;
}

void BM_StoreRepeated(benchmark::State& state) {
  auto store = std::make_shared<ProcessListDataStore>(scratchDirectory() + "/repeated");
  store->loadDatabase();
  for (const auto& entry : makeEntries(0, repeatedIdentities, t0)) recordThroughStore(*store, entry);
  int iteration = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto launches = repeatedLaunches(iteration++);
    state.ResumeTiming();
    for (const auto& entry : launches) recordThroughStore(*store, entry);
  }
  state.SetItemsProcessed(state.iterations() * launchesPerIteration);
}

void BM_RawRepeated(benchmark::State& state) {
  RawWriter writer;
  for (const auto& entry : makeEntries(0, repeatedIdentities, t0)) writer.record(entry);
  int iteration = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto launches = repeatedLaunches(iteration++);
    state.ResumeTiming();
    for (const auto& entry : launches) benchmark::DoNotOptimize(writer.record(entry));
  }
  state.SetItemsProcessed(state.iterations() * launchesPerIteration);
}

// --- Saves of 100,000 rows ---------------------------------------------------------

std::shared_ptr<ProcessListDataStore> largeStore;

void BM_StoreSave(benchmark::State& state) {
  for (auto _ : state) {
    largeStore->markDirty();
    auto saved = largeStore->saveToDisk();
    if (!saved) state.SkipWithError(saved.error().message().c_str());
  }
}

void BM_PlainBackup(benchmark::State& state) {
  std::string path = scratchDirectory() + "/backup.db";
  for (auto _ : state) {
    std::filesystem::remove(path);
    sqlite3* file = nullptr;
    sqlite3_open(path.c_str(), &file);
    sqlite3_backup* backup = sqlite3_backup_init(file, "main", largeStore->memoryDatabase()->handle(), "main");
    int rc = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    sqlite3_close(file);
    if (rc != SQLITE_DONE) state.SkipWithError("backup failed");
  }
}

BENCHMARK(BM_StoreDistinct)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawDistinct)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_StoreRepeated)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawRepeated)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_StoreSave)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_PlainBackup)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

// Keeps what the summary needs while printing as usual.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      auto rate = run.counters.find("items_per_second");
      results[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(),
                                             rate != run.counters.end() ? double(rate->second) : 0.0};
    }
    ConsoleReporter::ReportRuns(runs);
  }
  struct Result {
    double millisecondsPerIteration;  // wall clock
    double cpuMillisecondsPerIteration;
    double itemsPerSecond;  // wall clock
    double itemsPerCPUSecond(int items) const { return items / (cpuMillisecondsPerIteration / 1000.0); }
  };
  std::map<std::string, Result> results;
};

long residentKilobytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);

  long before = residentKilobytes();
  largeStore = std::make_shared<ProcessListDataStore>(scratchDirectory() + "/large");
  largeStore->loadDatabase();
  {
    auto entries = makeEntries(0, savedRows, t0);
    for (const auto& entry : entries) recordThroughStore(*largeStore, entry);
  }
  ::malloc_trim(0);  // the entries' memory is freed; count only what stays
  long after = residentKilobytes();
  long long rows = largeStore->executeFetchSingleIntQuery(nullptr, "SELECT COUNT(*) FROM velmora_process_list_table");
  sqlite3_int64 sqliteBytes = sqlite3_memory_used();

  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto& r = reporter.results;
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  std::printf("\n=== store benchmark summary ===\n");
  // The machine may be shared: wall-clock rates include time spent waiting
  // for a processor, so the rates per CPU second are printed beside them.
  for (auto [label, store, raw] : {std::tuple{"distinct identities", "BM_StoreDistinct", "BM_RawDistinct"},
                                   std::tuple{"repeated identities", "BM_StoreRepeated", "BM_RawRepeated"}}) {
    if (!r.count(store) || !r.count(raw)) continue;
    const auto& s = r[store];
    const auto& b = r[raw];
    std::printf("launches/s, %s: store %.0f   raw statements %.0f   ratio %.2f   (per CPU second: %.0f vs %.0f, %.2f)\n",
                label, s.itemsPerSecond, b.itemsPerSecond, ratio(s.itemsPerSecond, b.itemsPerSecond),
                s.itemsPerCPUSecond(launchesPerIteration), b.itemsPerCPUSecond(launchesPerIteration),
                ratio(s.itemsPerCPUSecond(launchesPerIteration), b.itemsPerCPUSecond(launchesPerIteration)));
  }
  if (r.count("BM_StoreSave") && r.count("BM_PlainBackup")) {
    std::printf("save of %lld rows: store %.1f ms   plain sqlite3_backup %.1f ms   ratio %.2f (time, lower is better)\n",
                rows, r["BM_StoreSave"].millisecondsPerIteration, r["BM_PlainBackup"].millisecondsPerIteration,
                ratio(r["BM_StoreSave"].millisecondsPerIteration, r["BM_PlainBackup"].millisecondsPerIteration));
  }
  std::error_code sizeError;
  std::uintmax_t fileBytes = std::filesystem::file_size(largeStore->databasePath(), sizeError);
  if (sizeError) fileBytes = 0;
  std::printf("resident memory with %lld rows: %.1f MiB (+%.1f MiB for the store; SQLite heap %.1f MiB; file %.1f MiB)\n",
              rows, after / 1024.0, (after - before) / 1024.0, sqliteBytes / 1048576.0, fileBytes / 1048576.0);

  largeStore.reset();
  std::filesystem::remove_all(scratchDirectory());
  benchmark::Shutdown();
  return 0;
}
