#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <map>

#include "tests/support/BundleFixtures.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/ExecutableFixtures.h"
#include "tests/support/LaunchEvents.h"
#include "tests/support/RawPeer.h"
#include "tests/support/SharedDaemonTest.h"

using namespace nimbra;
using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

const Value kAccepted(Dictionary{{"result", Value(0)}});

// The peak resident set of process `pid` so far, in KiB (0 when unknown).
long peakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

class HostileInput : public SharedDaemonTest {
 protected:
  static std::string velmora() { return daemon_->socketPath("com.corvane.nimbra.velmora"); }
  static void expectStillServing() {
    auto reply = daemon_->call("com.corvane.nimbra.velmora", sampleEvent().toMessage(), 10s);
    ASSERT_TRUE(reply.has_value()) << daemon_->logText();
    EXPECT_EQ(*reply, kAccepted);
  }
};

}  // namespace

TEST_F(HostileInput, AFrameThatWouldExpandIsRefusedWithoutGrowingTheDaemon) {
  // 1 MB on the wire: one 500 KB string used 500,000 times (250 GB decoded).
  const std::string payload = expandingBinaryList(500'000, 500'000);
  ASSERT_LT(payload.size(), 1024u * 1024u);  // within the request size limit
  auto peer = RawPeer::connect(velmora());
  ASSERT_TRUE(peer.has_value());
  const std::size_t before = daemon_->count("decoded strings and data exceed the size limit");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(peer->send(frame(payload)));
  EXPECT_TRUE(peer->waitForClose(10s));
  const auto refusedAfter = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(daemon_->waitForCount("decoded strings and data exceed the size limit", before + 1, 10s))
      << daemon_->logText();
  const long peak = peakResidentKiB(daemon_->pid());
  ASSERT_GT(peak, 0);
  EXPECT_LT(peak, 300 * 1024);
  std::cout << "[ figures  ] expanding frame of " << payload.size() << " bytes refused after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(refusedAfter).count()
            << " ms; daemon peak resident set " << peak / 1024 << " MiB\n";
  expectStillServing();
}

TEST_F(HostileInput, ValuesWithLineBreaksCannotForgeLogLines) {
  auto named = sampleEvent("/opt/evil/tool", 501, "2026-12-01 10:00:00");
  named.processName = named.targetFilename = named.responsibleName = "Evil\n<3><nimbrad> forged from a name";
  EXPECT_EQ(daemon_->call("com.corvane.nimbra.velmora", named.toMessage()), kAccepted);
  EXPECT_TRUE(daemon_->waitForLine("registerDatabaseEntry: Evil\\n<3><nimbrad> forged from a name rid: "))
      << daemon_->logText();
  // The entry's description keeps its own lines, and the value stays in one.
  EXPECT_TRUE(daemon_->waitForLine("   Process: Evil\\n<3><nimbrad> forged from a name")) << daemon_->logText();
  auto badUID = messageWith(sampleEvent(), "UID", Value("501\n<3><nimbrad> forged from a uid"));
  EXPECT_EQ(daemon_->call("com.corvane.nimbra.velmora", badUID), Value(Dictionary{{"result", Value(1)}}));
  EXPECT_TRUE(daemon_->waitForLine(
      "<nimbrad> Failed to extract event data: Invalid UID value: 501\\n<3><nimbrad> forged from a uid is not uid_t"));
  // Every line that shows the values carries them escaped; none starts as the forged text.
  for (const std::string& line : daemon_->lines()) {
    if (line.find("forged from a") == std::string::npos) continue;
    EXPECT_NE(line.find("\\n<3><nimbrad> forged from a"), std::string::npos) << line;
    EXPECT_NE(line.rfind("<nimbrad> forged", 0), 0u) << line;
  }
}

namespace {

// Every text of every row of the two identity tables of the saved store,
// joined per user.
std::map<std::int64_t, std::string> savedTextsByUser(const DaemonHarness& daemon) {
  std::string path = daemon.stateDirectory() + "/group.com.corvane.nimbrad/nimbra.db";
  std::map<std::int64_t, std::string> texts;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {{-1, "cannot open " + path}};
  }
  for (const char* table : {"velmora_process_list_table", "velmora_unique_table"}) {
    sqlite3_stmt* statement = nullptr;
    std::string sql = std::string("SELECT * FROM ") + table;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
      std::int64_t uid = -1;
      std::string row;
      for (int column = 0; column < sqlite3_column_count(statement); ++column) {
        if (std::string(sqlite3_column_name(statement, column)) == "process_uid") {
          uid = sqlite3_column_int64(statement, column);
        }
        if (const auto* text = sqlite3_column_text(statement, column)) {
          row.append(reinterpret_cast<const char*>(text)).append("|");
        }
      }
      texts[uid] += row + "\n";
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return texts;
}

}  // namespace

TEST(HostileBundles, AnInfoPlistLinkedToARootOnlyFileGivesTheUserNothingOfIt) {
  constexpr uid_t kUser = 4321;
  TempDirectory place;
  ASSERT_EQ(::chmod(place.path().c_str(), 0755), 0);
  // A file only root may read, with texts that must not reach the user's rows.
  std::string secrets = place.makeDirectory("secrets");
  ASSERT_EQ(::chmod(secrets.c_str(), 0700), 0);
  std::string secret = place.write("secrets/Info.plist",
                                   plistDictionary(plistString("CFBundleIdentifier", "root.only.identifier") +
                                                   plistString("CFBundleName", "RootOnlyName") +
                                                   plistString("CFBundleShortVersionString", "6.6.6-rootonly") +
                                                   plistString("CFBundleExecutable", "Tool")));
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  // The user's bundle, whose Info.plist is a link to it.
  std::string executable = place.write("Tool.app/Contents/MacOS/Tool", elfExecutable(62));
  ASSERT_EQ(::symlink(secret.c_str(), place.file("Tool.app/Contents/Info.plist").c_str()), 0);
  for (const char* relative : {"Tool.app", "Tool.app/Contents", "Tool.app/Contents/Info.plist", "Tool.app/Contents/MacOS",
                               "Tool.app/Contents/MacOS/Tool"}) {
    ASSERT_EQ(::lchown(place.file(relative).c_str(), kUser, kUser), 0) << relative;
  }

  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  auto launch = [&](uid_t uid, const char* timestamp) {
    auto event = sampleEvent(executable, uid, timestamp);
    event.processBundleID = event.targetBundleID = event.responsibleBundleID = "<unknown>";
    event.processTeamID = event.targetTeamID = event.responsibleTeamID = "<unknown>";
    EXPECT_EQ(daemon.call("com.corvane.nimbra.velmora", event.toMessage()), kAccepted);
  };
  const char* secretTexts[] = {"root.only.identifier", "RootOnlyName", "6.6.6-rootonly"};

  launch(kUser, "2026-12-01 10:00:00");
  ASSERT_TRUE(daemon.waitForCount("successfully added to ProcessListDataStore", 1, 20s)) << daemon.logText();
  for (const char* text : secretTexts) EXPECT_EQ(daemon.count(text), 0u) << text;
  // The same launch by root reads the file: the texts are there to be found.
  launch(0, "2026-12-01 10:00:01");
  ASSERT_TRUE(daemon.waitForCount("successfully added to ProcessListDataStore", 2, 20s)) << daemon.logText();

  const std::size_t saves = daemon.count("<nimbrad> Database saved successfully on SIGHUP");
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.waitForCount("<nimbrad> Database saved successfully on SIGHUP", saves + 1, 20s));
  auto texts = savedTextsByUser(daemon);
  ASSERT_TRUE(texts.contains(kUser) && texts.contains(0)) << testing::PrintToString(texts);
  for (const char* text : secretTexts) {
    EXPECT_EQ(texts[kUser].find(text), std::string::npos) << text << " in " << texts[kUser];
  }
  EXPECT_NE(texts[0].find("root.only.identifier"), std::string::npos) << texts[0];
  EXPECT_NE(texts[0].find("RootOnlyName"), std::string::npos) << texts[0];
}
