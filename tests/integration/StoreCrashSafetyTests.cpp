// The store's file survives being killed at any moment: a writer process
// records launches and saves in a loop and is killed with SIGKILL at random
// moments, many times over the same directory. After every kill nimbra.db must
// open, pass the integrity check, carry the current schema version and hold
// every launch that a save reported as completed had covered.
//
// The writer is this test binary run again with a filter that selects the
// writer "test" below, so that it starts as a fresh single-threaded process.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nimbrad/ProcessDataEntry.h"
#include "nimbrad/ProcessListDataStore.h"
#include "platform/FileDescriptor.h"
#include "platform/Log.h"
#include "tests/support/TempDirectory.h"

namespace nimbra {
namespace {

using namespace std::chrono_literals;

constexpr const char* writerDirectoryVariable = "NIMBRA_CRASH_WRITER_DIRECTORY";
constexpr const char* writerStartVariable = "NIMBRA_CRASH_WRITER_START";
constexpr const char* writerReportVariable = "NIMBRA_CRASH_WRITER_REPORT_FD";

std::string launchName(long long index) { return "Launch" + std::to_string(index); }

ProcessDataEntry launchEntry(long long index, double at) {
  ProcessDataEntry entry;
  entry.process_uid = 501;
  entry.process_name = launchName(index);
  entry.process_team_id = "TEAM";
  entry.process_developer_name = "Developer";
  entry.process_bundle_id = "com.example.launch" + std::to_string(index);
  entry.process_bundle_version = "1";
  entry.process_path = "/Applications/" + entry.process_name + ".app/Contents/MacOS/" + entry.process_name;
  entry.target_name = entry.process_name;
  entry.target_team_id = "TEAM";
  entry.target_developer_name = "Developer";
  entry.target_bundle_id = entry.process_bundle_id;
  entry.target_bundle_version = "1";
  entry.target_path = entry.process_path;
  entry.responsible_name = entry.process_name;
  entry.responsible_team_id = "TEAM";
  entry.responsible_developer_name = "Developer";
  entry.responsible_bundle_id = entry.process_bundle_id;
  entry.responsible_bundle_version = "1";
  entry.responsible_path = "/Applications/" + entry.process_name + ".app";
  entry.product_key = entry.responsible_path;
  entry.previously_launched_date = platform::Date{at};
  entry.reason = VelmoraReason::x86Only(VelmoraEntity{.name = entry.process_name});
  entry.deriveFields();
  return entry;
}

// The writer: launches from START on, one thread recording them and one
// saving in a loop; after each successful save it writes to the report pipe
// how many launches had completed before that save began.
TEST(StoreCrashWriter, Run) {
  const char* directory = std::getenv(writerDirectoryVariable);
  if (directory == nullptr) GTEST_SKIP() << "runs only as the crash test's writer process";
  long long start = std::atoll(std::getenv(writerStartVariable));
  int report = std::atoi(std::getenv(writerReportVariable));
  platform::logging::setThreshold(platform::LogLevel::Fault);

  auto store = std::make_shared<ProcessListDataStore>(std::string(directory));
  store->loadDatabase();
  std::atomic<long long> completed{start};

  // Two savers, as the periodic timer and a signal may save at once; each
  // reports only what its own successful save covered.
  auto saveLoop = [&](bool bounded) {
    for (;;) {
      long long covered = completed.load();
      auto saved = bounded ? store->saveToDiskWithTimeout(15.0, false) : store->saveToDisk();
      if (saved) {
        std::string line = std::to_string(covered) + "\n";
        if (::write(report, line.data(), line.size()) < 0) std::_Exit(3);
      }
      std::this_thread::sleep_for(1ms);
    }
  };
  std::thread saver(saveLoop, false);
  std::thread boundedSaver(saveLoop, true);

  for (long long index = start;; ++index) {
    double now = 1700000000.0 + static_cast<double>(index);
    auto entry = launchEntry(index, now);
    std::int64_t rid = store->getRID(entry);
    if (!store->updateEntry(entry, rid > 0 ? rid : 0, rid < 0)) std::_Exit(4);
    if (index % 7 == 0) {  // a repeat of an earlier launch of this run
      auto again = launchEntry(start + (index - start) / 2, now);
      std::int64_t againRid = store->getRID(again);
      if (!store->updateEntry(again, againRid > 0 ? againRid : 0, againRid < 0)) std::_Exit(5);
    }
    if (index % 11 == 0) store->recordNotification(entry.product_key, 501, platform::Date{now});
    completed.store(index + 1);
    std::this_thread::sleep_for(300us);
  }
}

struct Child {
  pid_t pid = -1;
  platform::FileDescriptor report;  // read end
};

extern "C" char** environ;

Child startWriter(const std::string& directory, long long start) {
  // Everything the child needs is prepared before fork: between fork and exec
  // only async-signal-safe calls are allowed.
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) environment.emplace_back(*variable);
  environment.push_back(std::string(writerDirectoryVariable) + "=" + directory);
  environment.push_back(std::string(writerStartVariable) + "=" + std::to_string(start));
  environment.push_back(std::string(writerReportVariable) + "=3");
  std::vector<char*> envp;
  for (auto& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  const char* argv[] = {"integration_tests", "--gtest_filter=StoreCrashWriter.Run", nullptr};

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Child();
  platform::FileDescriptor reading(fds[0]);
  platform::FileDescriptor writing(fds[1]);
  pid_t pid = ::fork();
  if (pid == 0) {
    // The report pipe becomes descriptor 3 and stays open across exec.
    if (fds[1] == 3) {
      ::fcntl(3, F_SETFD, 0);
    } else {
      ::dup2(fds[1], 3);
    }
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::execve("/proc/self/exe", const_cast<char* const*>(argv), envp.data());
    ::_exit(127);
  }
  return {pid, std::move(reading)};
}

// The largest count the writer reported before it died.
long long lastReported(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  long long last = -1;
  std::size_t begin = 0;
  for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
    last = std::max(last, std::atoll(text.substr(begin, end - begin).c_str()));
  }
  return last;
}

struct Range {
  long long first;
  long long end;  // exclusive
};

TEST(StoreCrashSafety, SnapshotSurvivesKillsAtRandomMoments) {
  test::TempDirectory directory;
  unsigned seed = std::random_device{}();
  if (const char* fixed = std::getenv("NIMBRA_CRASH_SEED")) seed = static_cast<unsigned>(std::atoll(fixed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> killAfterMilliseconds(5, 250);

  constexpr int rounds = 40;
  constexpr long long launchesPerRound = 1000000;  // index space of one writer run
  std::vector<Range> covered;
  int roundsWithSaves = 0;
  std::string path = directory.file("nimbra.db");

  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    long long start = round * launchesPerRound;
    Child child = startWriter(directory.path(), start);
    ASSERT_GT(child.pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMilliseconds(random)));
    ASSERT_EQ(::kill(child.pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "writer ended by itself: " << status;
    long long reported = lastReported(child.report.get());
    child.report.reset();
    if (reported > start) covered.push_back({start, reported});
    if (reported >= 0) ++roundsWithSaves;

    if (roundsWithSaves == 0) continue;  // nothing was ever saved yet
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    auto scalar = [db](const std::string& sql) -> std::string {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return sqlite3_errmsg(db);
      std::string value = sqlite3_step(statement) == SQLITE_ROW
                              ? reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))
                              : "<no row>";
      sqlite3_finalize(statement);
      return value;
    };
    EXPECT_EQ(scalar("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(scalar("PRAGMA user_version"), "9");
    for (const auto& range : covered) {
      // Launch names carry their index; every covered launch has its row.
      std::string count = scalar(
          "SELECT COUNT(*) FROM velmora_process_list_table WHERE process_name >= 'Launch' AND "
          "CAST(substr(process_name, 7) AS INTEGER) >= " + std::to_string(range.first) +
          " AND CAST(substr(process_name, 7) AS INTEGER) < " + std::to_string(range.end));
      EXPECT_EQ(count, std::to_string(range.end - range.first))
          << "launches " << range.first << " to " << range.end << " were reported saved";
    }
    sqlite3_close(db);
    if (HasFailure()) break;
  }
  // The kills must have hit a working writer: most rounds saved something.
  EXPECT_GT(roundsWithSaves, rounds / 2);
  EXPECT_FALSE(covered.empty());
}

}  // namespace
}  // namespace nimbra
