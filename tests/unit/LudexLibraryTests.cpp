#include <gtest/gtest.h>

#include <sys/stat.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "nimbrad/LudexClient.h"
#include "platform/LudexLibrary.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using namespace std::chrono_literals;
using nimbra::test::TempDirectory;

namespace {

std::string xmlLibrary(const Array& entries) { return PropertyList::encodeXml(Value(entries)).value(); }

// Records every delivery of a change handler.
struct ChangeLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<LXGameLibraryApps> batches;

  LXGameLibrary::AppsHandler handler() {
    return [this](LXGameLibraryApps apps) {
      std::lock_guard lock(mutex);
      batches.push_back(std::move(apps));
      changed.notify_all();
    };
  }
  bool waitFor(std::size_t n, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, bound, [&] { return batches.size() >= n; });
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return batches.size();
  }
  LXGameLibraryApps last() {
    std::lock_guard lock(mutex);
    return batches.back();
  }
};

std::optional<LXGameLibraryApps> fetchAll(LXGameLibrary& library) {
  std::promise<std::optional<LXGameLibraryApps>> result;
  auto caller = std::this_thread::get_id();
  std::atomic<bool> sameThread{false};
  library.fetchInstalledGames([&](std::optional<LXGameLibraryApps> apps) {
    sameThread = std::this_thread::get_id() == caller;
    result.set_value(std::move(apps));
  });
  auto future = result.get_future();
  EXPECT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(sameThread.load()) << "answers are delivered on the library's queue";
  return future.get();
}

LXGameLibraryApps fetchSome(LXGameLibrary& library, std::vector<std::string> ids) {
  std::promise<LXGameLibraryApps> result;
  library.fetchApps(std::move(ids), [&](LXGameLibraryApps apps) { result.set_value(std::move(apps)); });
  auto future = result.get_future();
  EXPECT_EQ(future.wait_for(5s), std::future_status::ready);
  return future.get();
}

LXGameLibraryApp app(const char* id, bool game) { return LXGameLibraryApp{std::string(id), game}; }

}  // namespace

TEST(LudexLibraryFile, HostileFilesReadAsEmptyOrSkippedEntries) {
  TempDirectory dir;
  struct Case {
    const char* what;
    std::string content;
    LXGameLibraryApps apps;
    bool malformed;
    std::size_t skipped;
  } cases[] = {
      {"valid", xmlLibrary({Dictionary{{"bundleID", "com.a"}, {"isGame", true}},
                            Dictionary{{"bundleID", "com.b"}, {"isGame", false}}}),
       {app("com.a", true), app("com.b", false)}, false, 0},
      {"binary", PropertyList::encodeBinary(Value(Array{Dictionary{{"bundleID", "com.c"}, {"isGame", true}}})),
       {app("com.c", true)}, false, 0},
      {"bad entries",
       xmlLibrary({Dictionary{{"bundleID", 7}, {"isGame", true}}, Dictionary{{"bundleID", "com.d"}, {"isGame", "yes"}},
                   Dictionary{{"isGame", true}}, Dictionary{{"bundleID", "com.e"}}, Value("loose string"),
                   Dictionary{{"bundleID", ""}, {"isGame", true}},
                   Dictionary{{"bundleID", "com.ok"}, {"isGame", false}, {"extra", 1}}}),
       {app("com.ok", false)}, false, 6},
      {"not a property list", "this is not a plist \x01\x02", {}, true, 0},
      {"dictionary root", PropertyList::encodeXml(Value(Dictionary{{"bundleID", "com.a"}, {"isGame", true}})).value(),
       {}, true, 0},
      {"empty file", "", {}, true, 0},
      {"truncated binary", PropertyList::encodeBinary(Value(Array{Dictionary{{"bundleID", "x"}}})).substr(0, 20), {},
       true, 0},
  };
  for (const auto& c : cases) {
    auto path = dir.write(std::string("lib-") + c.what, c.content);
    auto contents = ludex::readLibraryFile(path);
    ASSERT_TRUE(contents.hasValue()) << c.what;
    EXPECT_EQ(contents->apps, c.apps) << c.what;
    EXPECT_EQ(contents->malformed.has_value(), c.malformed) << c.what;
    EXPECT_EQ(contents->skippedEntries, c.skipped) << c.what;
  }

  auto missing = ludex::readLibraryFile(dir.file("absent.plist"));
  ASSERT_TRUE(missing.hasValue());
  EXPECT_TRUE(missing->apps.empty());
  EXPECT_FALSE(missing->malformed);

  // Too large: refused without being decoded.
  {
    std::ofstream big(dir.file("big.plist"));
    big << std::string(ludex::kMaxLibraryFileBytes + 1, ' ');
  }
  auto big = ludex::readLibraryFile(dir.file("big.plist"));
  ASSERT_TRUE(big.hasValue());
  EXPECT_TRUE(big->malformed);

  // Not a regular file: an error, and never a blocking open.
  ASSERT_EQ(::mkfifo(dir.file("fifo.plist").c_str(), 0600), 0);
  EXPECT_FALSE(ludex::readLibraryFile(dir.file("fifo.plist")).hasValue());
  dir.makeDirectory("folder.plist");
  EXPECT_FALSE(ludex::readLibraryFile(dir.file("folder.plist")).hasValue());
}

TEST(LudexLibraryFile, EditsAreAtomicAndKeepOneEntryPerIdentifier) {
  TempDirectory dir;
  std::string folder = dir.file("state/ludex");  // created by the first edit
  ASSERT_TRUE(ludex::setApp(folder, 501, "com.a", true).hasValue());
  ASSERT_TRUE(ludex::setApp(folder, 501, "com.b", false).hasValue());
  ASSERT_TRUE(ludex::setApp(folder, 501, "com.a", false).hasValue());
  ASSERT_TRUE(ludex::setApp(folder, 502, "com.z", true).hasValue());
  EXPECT_FALSE(ludex::setApp(folder, 501, "", true).hasValue());

  auto contents = ludex::readLibraryFile(ludex::libraryPath(folder, 501));
  ASSERT_TRUE(contents.hasValue());
  EXPECT_EQ(contents->apps, (LXGameLibraryApps{app("com.a", false), app("com.b", false)}));
  EXPECT_EQ(ludex::readLibraryFile(ludex::libraryPath(folder, 502))->apps, LXGameLibraryApps{app("com.z", true)});

  // An edit of a corrupt file replaces it with what can be read (nothing) plus the edit.
  std::ofstream(ludex::libraryPath(folder, 503)) << "garbage";
  ASSERT_TRUE(ludex::setApp(folder, 503, "com.y", true).hasValue());
  EXPECT_EQ(ludex::readLibraryFile(ludex::libraryPath(folder, 503))->apps, LXGameLibraryApps{app("com.y", true)});

  ASSERT_TRUE(ludex::clearLibrary(folder, 501).hasValue());
  auto cleared = ludex::readLibraryFile(ludex::libraryPath(folder, 501));
  ASSERT_TRUE(cleared.hasValue());
  EXPECT_TRUE(cleared->apps.empty());
  EXPECT_FALSE(cleared->malformed) << "a cleared library is an empty array, not a broken file";
  // No temporary files are left behind.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++entries;
  EXPECT_EQ(entries, 3u);
}

TEST(LudexFileLibrary, FetchesAnswerFromTheCurrentFile) {
  TempDirectory dir;
  LudexFileLibraryFactory factory(dir.path());
  auto library = factory.libraryForUserIdentifier(501);

  EXPECT_EQ(fetchAll(*library), LXGameLibraryApps{}) << "no file yet: no games";
  ASSERT_TRUE(ludex::setApp(dir.path(), 501, "com.a", true).hasValue());
  ASSERT_TRUE(ludex::setApp(dir.path(), 501, "com.b", false).hasValue());
  EXPECT_EQ(fetchAll(*library), (LXGameLibraryApps{app("com.a", true), app("com.b", false)}));
  EXPECT_EQ(fetchSome(*library, {"com.b", "com.missing", "com.a"}),
            (LXGameLibraryApps{app("com.b", false), app("com.a", true)}));
  // A replaced file is read again.
  ASSERT_TRUE(ludex::setApp(dir.path(), 501, "com.b", true).hasValue());
  EXPECT_EQ(fetchSome(*library, {"com.b"}), LXGameLibraryApps{app("com.b", true)});

  // A library that cannot be read, or is unusable as a whole, answers
  // "nothing" to the full fetch (not "no games") and no match to a lookup.
  std::string valid = xmlLibrary({Dictionary{{"bundleID", "com.a"}, {"isGame", true}}});
  struct Broken {
    const char* what;
    uid_t uid;
    std::function<void(const std::string& path)> make;
  } broken[] = {
      {"a directory", 777, [&](const std::string& path) { std::filesystem::create_directory(path); }},
      {"cut off while written", 778, [&](const std::string& path) { std::ofstream(path) << valid.substr(0, 60); }},
      {"a dictionary root", 779,
       [&](const std::string& path) {
         std::ofstream(path) << PropertyList::encodeXml(Value(Dictionary{{"com.a", true}})).value();
       }},
  };
  for (const auto& b : broken) {
    SCOPED_TRACE(b.what);
    b.make(ludex::libraryPath(dir.path(), b.uid));
    auto library = factory.libraryForUserIdentifier(b.uid);
    EXPECT_EQ(fetchAll(*library), std::nullopt);
    EXPECT_EQ(fetchSome(*library, {"com.a"}), LXGameLibraryApps{});
  }
}

TEST(LudexFileLibrary, ChangeHandlerSeesEachEditOnceAndOnlyForItsUser) {
  TempDirectory dir;
  std::string folder = dir.file("ludex");  // missing: created when watching starts
  LudexFileLibraryFactory factory(folder);
  auto mine = factory.libraryForUserIdentifier(501);
  auto other = factory.libraryForUserIdentifier(502);
  ChangeLog myChanges, otherChanges;
  mine->registerInstalledGamesDidChangeHandler(myChanges.handler());
  other->registerInstalledGamesDidChangeHandler(otherChanges.handler());
  ASSERT_TRUE(std::filesystem::is_directory(folder));

  // An atomic replace (temporary file and rename) is one change.
  ASSERT_TRUE(ludex::setApp(folder, 501, "com.a", true).hasValue());
  ASSERT_TRUE(myChanges.waitFor(1, 5s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(myChanges.count(), 1u);
  EXPECT_EQ(myChanges.last(), LXGameLibraryApps{app("com.a", true)});

  // A write in place, in several pieces, is folded into one change too.
  {
    std::ofstream out(ludex::libraryPath(folder, 501), std::ios::trunc);
    std::string xml = xmlLibrary({Dictionary{{"bundleID", "com.b"}, {"isGame", false}}});
    out << xml.substr(0, 40) << std::flush;
    out << xml.substr(40);
  }
  ASSERT_TRUE(myChanges.waitFor(2, 5s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(myChanges.count(), 2u);
  EXPECT_EQ(myChanges.last(), LXGameLibraryApps{app("com.b", false)});

  // Removing the file: the user has no games.
  std::filesystem::remove(ludex::libraryPath(folder, 501));
  ASSERT_TRUE(myChanges.waitFor(3, 5s));
  EXPECT_EQ(myChanges.last(), LXGameLibraryApps{});
  EXPECT_EQ(otherChanges.count(), 0u);
}

TEST(LudexFileLibrary, WatchingResumesWhenTheFolderComesBack) {
  TempDirectory dir;
  std::string folder = dir.file("ludex");
  LudexFileLibraryFactory factory(folder);
  auto library = factory.libraryForUserIdentifier(501);
  ChangeLog changes;
  library->registerInstalledGamesDidChangeHandler(changes.handler());
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(changes.waitFor(1, 5s));

  // The folder is recreated by the watcher; an edit after that is seen.
  auto deadline = std::chrono::steady_clock::now() + 10s;
  std::size_t seen = changes.count();
  bool delivered = false;
  while (!delivered && std::chrono::steady_clock::now() < deadline) {
    if (std::filesystem::is_directory(folder)) {
      ASSERT_TRUE(ludex::setApp(folder, 501, "com.back", true).hasValue());
      delivered = changes.waitFor(seen + 1, 1s) && changes.last() == LXGameLibraryApps{app("com.back", true)};
      seen = changes.count();
    } else {
      std::this_thread::sleep_for(50ms);
    }
  }
  EXPECT_TRUE(delivered);
}

TEST(LudexFileLibrary, ClientCacheFollowsEditsOfTheLibraryFiles) {
  nimbra::test::LogCapture log(LogLevel::Info);
  TempDirectory dir;
  ASSERT_TRUE(ludex::setApp(dir.path(), 501, "com.first.game", true).hasValue());
  {
    nimbra::LudexClient client(std::make_shared<LudexFileLibraryFactory>(dir.path()));
    ASSERT_TRUE(log->waitFor("[LXCACHE:STATS]    Cache now initialized: true", 5s));
    EXPECT_EQ(client.cachedResult("com.first.game"), nimbra::GameCheckResult::isGame());

    ASSERT_TRUE(ludex::setApp(dir.path(), 501, "com.second.game", true).hasValue());
    ASSERT_TRUE(log->waitFor("installedGamesDidChangeHandler FIRED for UID 501 - received 2 games", 5s));
    ASSERT_TRUE(log->waitFor("[LXCACHE:STATS]    Total in cache: 2 apps (2 games)", 5s));
    EXPECT_EQ(client.cachedResult("com.second.game"), nimbra::GameCheckResult::isGame());
  }
}

// A library file that does not parse leaves the cache as it was: before the
// first usable file it stays uninitialised, and a cut-off rewrite later on
// reaches no handler.
TEST(LudexFileLibrary, AnUnusableFileNeverReadsAsAnEmptyLibrary) {
  nimbra::test::LogCapture log(LogLevel::Info);
  TempDirectory dir;
  const std::string path = ludex::libraryPath(dir.path(), 501);
  const std::string valid = xmlLibrary({Dictionary{{"bundleID", "com.some.game"}, {"isGame", true}}});
  std::ofstream(path) << valid.substr(0, valid.size() / 2);

  nimbra::LudexClient client(std::make_shared<LudexFileLibraryFactory>(dir.path()));
  ASSERT_TRUE(log->waitFor("[LXCACHE:CALLBACK] fetchInstalledGames() returned nil for UID 501!", 5s));
  EXPECT_EQ(client.cachedResult("com.some.game"),
            nimbra::GameCheckResult::undeterminedGame("Cache not yet initialized"));
  EXPECT_EQ(log->count("[LXCACHE:UPDATE]"), 0u);

  // Fixed: the change handler brings the games.
  ASSERT_TRUE(ludex::setApp(dir.path(), 501, "com.some.game", true).hasValue());
  ASSERT_TRUE(log->waitFor("[LXCACHE:STATS]    Cache now initialized: true", 5s));
  EXPECT_EQ(client.cachedResult("com.some.game"), nimbra::GameCheckResult::isGame());

  // Cut off again: refused once (the library says so), and the cache keeps its games.
  std::size_t refusals = log->count("is unusable");
  std::size_t fired = log->count("installedGamesDidChangeHandler FIRED");
  std::ofstream(path, std::ios::trunc) << valid.substr(0, 40);
  ASSERT_TRUE(log->waitForCount("is unusable", refusals + 1, 5s));
  EXPECT_EQ(log->count("installedGamesDidChangeHandler FIRED"), fired);
  EXPECT_EQ(client.cachedResult("com.some.game"), nimbra::GameCheckResult::isGame());
}
