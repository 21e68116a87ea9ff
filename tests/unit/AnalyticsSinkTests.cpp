#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "platform/AnalyticsSink.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using namespace std::chrono_literals;
using nimbra::test::TempDirectory;

namespace {

class ManualClock final : public Clock {
 public:
  std::chrono::system_clock::time_point now() const override { return wall_; }
  std::chrono::steady_clock::time_point uptime() const override {
    return std::chrono::steady_clock::time_point(up_.load());
  }
  void advance(std::chrono::nanoseconds d) { up_ = up_.load() + d; }

 private:
  std::chrono::system_clock::time_point wall_ = std::chrono::system_clock::from_time_t(1700000000) + 250ms;
  std::atomic<std::chrono::nanoseconds> up_{std::chrono::hours(1)};
};

std::vector<nlohmann::json> readLines(const std::string& path) {
  std::vector<nlohmann::json> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(nlohmann::json::parse(line));  // throws on a torn line
  return lines;
}

}  // namespace

TEST(AnalyticsSink, WritesOneJsonLinePerEventWithNameTimeAndPayload) {
  TempDirectory dir;
  ManualClock clock;
  JsonLinesAnalyticsSink sink({.directory = dir.file("state/analytics"), .clock = &clock});
  ASSERT_TRUE(sink.sendEventLazy("com.corvane.test.one", [] {
    return Dictionary{{"Name", "caf\xc3\xa9"},
                      {"Broken", std::string("a\xff"
                                             "b")},
                      {"Count", 3},
                      {"Flag", true},
                      {"When", Date{86400.5}},
                      {"Blob", Data{'h', 'i', '!', '?'}},
                      {"Nested", Array{1, "x"}}};
  }));
  ASSERT_TRUE(sink.sendEventLazy("com.corvane.test.two", nullptr));
  ASSERT_TRUE(sink.flush(5s));

  auto lines = readLines(sink.filePath());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["event"], "com.corvane.test.one");
  EXPECT_EQ(lines[0]["time"], "2023-11-14T22:13:20.250Z");
  const auto& payload = lines[0]["payload"];
  EXPECT_EQ(payload["Name"], "caf\xc3\xa9");
  EXPECT_EQ(payload["Broken"],
            "a\xef\xbf\xbd"
            "b");  // invalid byte replaced, line kept
  EXPECT_EQ(payload["Count"], 3);
  EXPECT_EQ(payload["Flag"], true);
  EXPECT_EQ(payload["When"], "1970-01-02T00:00:00.500Z");
  EXPECT_EQ(payload["Blob"], "aGkhPw==");
  EXPECT_EQ(payload["Nested"], nlohmann::json::array({1, "x"}));
  EXPECT_EQ(lines[1]["event"], "com.corvane.test.two");
  EXPECT_TRUE(lines[1]["payload"].is_object());
  EXPECT_TRUE(lines[1]["payload"].empty());
}

TEST(AnalyticsSink, RotatesIntoOnePreviousFileWithoutLosingOrTearingTheRecentLines) {
  TempDirectory dir;
  const std::uint64_t limit = 2000;
  JsonLinesAnalyticsSink sink({.directory = dir.path(), .rotateBytes = limit});
  const int total = 200;  // about 60 bytes a line: several rotations
  for (int i = 0; i < total; ++i) {
    ASSERT_TRUE(sink.sendEventLazy("e", [i] { return Dictionary{{"i", i}}; }));
    if (i % 37 == 0) {
      ASSERT_TRUE(sink.flush(5s));  // rotations inside and across batches
    }
  }
  ASSERT_TRUE(sink.flush(5s));

  std::string previous = sink.filePath() + ".1";
  ASSERT_TRUE(std::filesystem::exists(previous));
  EXPECT_LE(std::filesystem::file_size(sink.filePath()), limit);
  EXPECT_LE(std::filesystem::file_size(previous), limit);
  EXPECT_FALSE(std::filesystem::exists(sink.filePath() + ".2"));

  auto older = readLines(previous);
  auto current = readLines(sink.filePath());
  ASSERT_FALSE(older.empty());
  ASSERT_FALSE(current.empty());
  // The two files hold the most recent events, contiguous and in order.
  std::vector<int> seen;
  for (const auto& line : older) seen.push_back(line["payload"]["i"].get<int>());
  for (const auto& line : current) seen.push_back(line["payload"]["i"].get<int>());
  EXPECT_EQ(seen.back(), total - 1);
  for (std::size_t k = 1; k < seen.size(); ++k) EXPECT_EQ(seen[k], seen[k - 1] + 1);
}

TEST(AnalyticsSink, RefusedEventsNeverBuildTheirPayloadAndTheSinkRecovers) {
  TempDirectory dir;
  ManualClock clock;
  // A regular file where the folder should be: the folder cannot be created.
  std::string blocker = dir.write("blocked", "not a folder");
  JsonLinesAnalyticsSink sink({.directory = blocker + "/analytics", .failureCoolDown = 5s, .clock = &clock});

  std::atomic<int> built{0};
  auto builder = [&] {
    ++built;
    return Dictionary{{"k", "v"}};
  };
  EXPECT_TRUE(sink.sendEventLazy("e", builder));  // taken: the failure is only found when writing
  ASSERT_TRUE(sink.flush(5s));
  EXPECT_EQ(built.load(), 0) << "a batch that cannot be written must not build payloads";

  EXPECT_FALSE(sink.sendEventLazy("e", builder)) << "refused during the cool-down";
  clock.advance(4s);
  EXPECT_FALSE(sink.sendEventLazy("e", builder));
  EXPECT_EQ(built.load(), 0);

  std::filesystem::remove(blocker);
  clock.advance(2s);
  EXPECT_TRUE(sink.sendEventLazy("e", builder));
  ASSERT_TRUE(sink.flush(5s));
  EXPECT_EQ(built.load(), 1);
  EXPECT_EQ(readLines(sink.filePath()).size(), 1u);
}

TEST(AnalyticsSink, ConcurrentWritersProduceWholeLinesInPerThreadOrder) {
  TempDirectory dir;
  JsonLinesAnalyticsSink sink({.directory = dir.path(), .maxPending = 100000});
  const int threads = 8, perThread = 500;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) {
        // Lengths vary so that lines straddle any buffer boundary.
        std::string filler(static_cast<std::size_t>((i * 131 + t * 17) % 700), 'x');
        EXPECT_TRUE(sink.sendEventLazy("e", [t, i, filler] { return Dictionary{{"t", t}, {"i", i}, {"f", filler}}; }));
      }
    });
  }
  for (auto& w : writers) w.join();
  ASSERT_TRUE(sink.flush(10s));

  auto lines = readLines(sink.filePath());
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * perThread));
  std::map<int, int> next;
  for (const auto& line : lines) {
    int t = line["payload"]["t"], i = line["payload"]["i"];
    EXPECT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
  }
}
