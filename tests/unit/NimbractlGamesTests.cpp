// nimbractl games run as a program against a state directory, and watched by
// a games library of this process as the daemon would watch it.

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/LudexLibrary.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

class NimbractlGamesTest : public ::testing::Test {
 protected:
  nimbra::test::ProcessResult games(std::vector<std::string> args) {
    args.insert(args.begin(), {NIMBRACTL_BINARY, "games"});
    return nimbra::test::runProcess(args, {{"STATE_DIRECTORY", dir.path()}}, {}, 20s);
  }
  LXGameLibraryApps library(uid_t uid) {
    auto contents = ludex::readLibraryFile(ludex::libraryPath(dir.file("ludex"), uid));
    EXPECT_TRUE(contents.hasValue());
    EXPECT_FALSE(contents->malformed);
    return contents->apps;
  }
  nimbra::test::TempDirectory dir;
};

}  // namespace

TEST_F(NimbractlGamesTest, SetAndClearEditTheLibraryAndTheWatcherSeesEachEditOnce) {
  LudexFileLibraryFactory factory(dir.file("ludex"));
  auto watched = factory.libraryForUserIdentifier(501);
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<LXGameLibraryApps> seen;
  watched->registerInstalledGamesDidChangeHandler([&](LXGameLibraryApps apps) {
    std::lock_guard lock(mutex);
    seen.push_back(std::move(apps));
    changed.notify_all();
  });
  auto waitSeen = [&](std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 5s, [&] { return seen.size() >= n; });
  };

  auto set = games({"set", "501", "com.example.game", "game"});
  ASSERT_EQ(set.status, 0) << set.err;
  ASSERT_TRUE(waitSeen(1));
  auto update = games({"set", "501", "com.example.game", "notgame"});
  ASSERT_EQ(update.status, 0) << update.err;
  ASSERT_TRUE(waitSeen(2));
  EXPECT_EQ(library(501), (LXGameLibraryApps{{"com.example.game", false}}));

  auto clear = games({"clear", "501"});
  ASSERT_EQ(clear.status, 0) << clear.err;
  ASSERT_TRUE(waitSeen(3));
  EXPECT_EQ(library(501), LXGameLibraryApps{});
  std::this_thread::sleep_for(300ms);
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen.size(), 3u) << "one change per edit";
  EXPECT_EQ(seen[0], (LXGameLibraryApps{{"com.example.game", true}}));
}

TEST_F(NimbractlGamesTest, BadCommandLinesChangeNothing) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"list", "501"},
      {"set", "501", "com.x"},
      {"set", "501", "com.x", "maybe"},
      {"set", "501", "", "game"},
      {"set", "500", "com.x", "game"},
      {"set", "4294967294", "com.x", "game"},
      {"set", "+501", "com.x", "game"},
      {"set", "5o1", "com.x", "game"},
      {"clear"},
      {"clear", "501", "extra"},
  };
  for (const auto& args : bad) {
    auto result = games(args);
    EXPECT_EQ(result.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(result.err.find("usage: nimbractl games"), std::string::npos) << ::testing::PrintToString(args);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("ludex")));

  // A library that cannot be written is a failure, not a usage error.
  dir.write("ludex", "a file where the folder should be");
  auto blocked = games({"set", "501", "com.x", "game"});
  EXPECT_EQ(blocked.status, 1);
}
