#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"

using namespace platform;
using namespace std::chrono_literals;

TEST(DispatchQueue, SerialQueueRunsBlocksOneAtATimeInOrder) {
  auto queue = DispatchQueue::makeSerial("test.serial");
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 200; ++i) {
    queue->async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue->sync([] {});
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_FALSE(overlapped);
}

TEST(DispatchQueue, SyncFromInsideTheSameQueueRunsInline) {
  auto queue = DispatchQueue::makeSerial("test.reentrant");
  bool inner = false;
  queue->sync([&] {
    EXPECT_TRUE(queue->isCurrent());
    queue->sync([&] { inner = true; });
  });
  EXPECT_TRUE(inner);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(DispatchQueue, AsyncAfterWaitsForTheDelayOnBothClocks) {
  auto queue = DispatchQueue::makeSerial("test.after");
  std::latch done(2);
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration monotonic{}, wall{};
  queue->asyncAfter(50ms, [&] {
    monotonic = std::chrono::steady_clock::now() - start;
    done.count_down();
  });
  queue->asyncAfterWallClock(std::chrono::system_clock::now() + 50ms, [&] {
    wall = std::chrono::steady_clock::now() - start;
    done.count_down();
  });
  done.wait();
  EXPECT_GE(monotonic, 45ms);
  EXPECT_GE(wall, 45ms);
}

TEST(DispatchTimer, RepeatsUntilCancelled) {
  auto queue = DispatchQueue::makeSerial("test.timer");
  std::atomic<int> fired{0};
  std::latch three(3);
  DispatchTimer timer(queue, [&] {
    if (fired.fetch_add(1) < 3) three.count_down();
  });
  timer.schedule(5ms, 5ms);
  three.wait();
  timer.cancel();
  queue->sync([] {});
  int afterCancel = fired.load();
  std::this_thread::sleep_for(30ms);
  queue->sync([] {});
  EXPECT_EQ(fired.load(), afterCancel);
}

TEST(DispatchQueue, WeaklyDoesNothingOnceTheObjectIsGone) {
  auto queue = DispatchQueue::makeSerial("test.weak");
  int calls = 0;
  auto object = std::make_shared<int>(7);
  auto block = weakly(object, [&](int& value) { calls += value; });
  block();
  object.reset();
  block();
  EXPECT_EQ(calls, 7);
}

TEST(DispatchQueue, DispatchRunsInlineOnAnIdleQueueAndQueuesBehindABusyOne) {
  auto caller = DispatchQueue::makeSerial("test.dispatch.caller");
  auto target = DispatchQueue::makeSerial("test.dispatch.target");
  bool ranBeforeReturn = false;
  bool onTarget = false;
  caller->sync([&] {
    bool ran = false;
    target->dispatch([&] {
      ran = true;
      onTarget = target->isCurrent();
    });
    ranBeforeReturn = ran;
  });
  EXPECT_TRUE(ranBeforeReturn);
  EXPECT_TRUE(onTarget);

  // A busy queue: the block waits its turn, after what was submitted before.
  std::vector<int> order;
  std::latch release(1);
  target->async([&] {
    release.wait();
    order.push_back(1);
  });
  bool ranEarly = false;
  caller->sync([&] {
    target->dispatch([&] { order.push_back(2); });
    ranEarly = order.size() == 1 && order.back() == 2;
  });
  release.count_down();
  target->sync([] {});
  EXPECT_FALSE(ranEarly);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}
