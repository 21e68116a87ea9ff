#include "platform/DirectoryWatcher.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/support/Recorder.h"
#include "tests/support/TempDirectory.h"

namespace {

using platform::DirectoryWatcher;

// Owners capture `this` in their handlers: destroying the watcher must wait
// for a handler that is running, or the handler runs on a destroyed owner.
TEST(DirectoryWatcher, DestructionWaitsForARunningHandlerAndEndsDelivery) {
  nimbra::test::TempDirectory dir;
  auto watcher = std::move(DirectoryWatcher::create()).value();
  std::promise<void> entered;
  std::promise<void> release;
  std::promise<void> checked;
  std::atomic<bool> destroyed{false};
  std::atomic<bool> destroyedWhileRunning{false};
  std::atomic<int> calls{0};
  ASSERT_TRUE(watcher->add(dir.path(), IN_CREATE, [&](const DirectoryWatcher::Event&) {
    if (calls++ > 0) return;
    entered.set_value();
    release.get_future().wait();
    // Still inside the handler: the owner must not be gone yet.
    destroyedWhileRunning = destroyed.load();
    checked.set_value();
  }));
  dir.write("first", "");
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);

  std::thread destroyer([&] {
    watcher.reset();
    destroyed = true;
  });
  // Gives a destructor that does not wait the time to return.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  release.set_value();
  destroyer.join();
  ASSERT_EQ(checked.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(destroyedWhileRunning.load());

  // A second watcher on the same folder proves the later events happened.
  nimbra::test::Recorder<std::string> witnessed;
  auto witness = std::move(DirectoryWatcher::create()).value();
  ASSERT_TRUE(witness->add(dir.path(), IN_CREATE, [&](const auto& event) { witnessed.add(event.name); }));
  dir.write("second", "");
  witness->drain();
  ASSERT_TRUE(witnessed.waitForCount(1));
  EXPECT_EQ(calls.load(), 1);
}

// The last owner of a watcher can be a handler's own strong reference.
TEST(DirectoryWatcher, AHandlerMayDestroyItsOwnWatcher) {
  nimbra::test::TempDirectory dir;
  std::shared_ptr<DirectoryWatcher> watcher = std::move(DirectoryWatcher::create()).value();
  nimbra::test::Recorder<std::string> seen;
  ASSERT_TRUE(watcher->add(dir.path(), IN_CREATE, [&](const DirectoryWatcher::Event& event) {
    watcher.reset();
    seen.add(event.name);
  }));
  dir.write("one", "");
  dir.write("two", "");
  ASSERT_TRUE(seen.waitForCount(1));
  // Both events may have been read in one batch: the second must not follow.
  nimbra::test::Recorder<std::string> witnessed;
  auto witness = std::move(DirectoryWatcher::create()).value();
  ASSERT_TRUE(witness->add(dir.path(), IN_CREATE, [&](const auto& event) { witnessed.add(event.name); }));
  dir.write("three", "");
  ASSERT_TRUE(witnessed.waitForCount(1));
  EXPECT_EQ(seen.values(), std::vector<std::string>{"one"});
}

}  // namespace
