#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"

using namespace platform;

namespace {

int objectA = 0;
int objectB = 0;

}  // namespace

TEST(NotificationCenter, DeliversByNameAndObject) {
  struct Case {
    const char* what;
    const void* observed;
    std::string postedName;
    const void* postedObject;
    bool delivered;
  };
  const Case cases[] = {
      {"any object, posted with A", nullptr, "n", &objectA, true},
      {"any object, posted with none", nullptr, "n", nullptr, true},
      {"object A, posted with A", &objectA, "n", &objectA, true},
      {"object A, posted with B", &objectA, "n", &objectB, false},
      {"object A, posted with none", &objectA, "n", nullptr, false},
      {"other name", nullptr, "m", &objectA, false},
      {"name is not a prefix match", nullptr, "n.more", nullptr, false},
  };
  for (const Case& c : cases) {
    NotificationCenter center;
    int calls = 0;
    const void* seenObject = nullptr;
    center.addObserver("n", c.observed, [&](const Notification& n) {
      ++calls;
      seenObject = n.object;
    });
    center.post(c.postedName, c.postedObject);
    EXPECT_EQ(calls, c.delivered ? 1 : 0) << c.what;
    if (c.delivered) {
      EXPECT_EQ(seenObject, c.postedObject) << c.what;
    }
  }
}

TEST(NotificationCenter, PassesUserInfoAndRunsOnThePostingThread) {
  NotificationCenter center;
  std::thread::id ranOn;
  int newValue = 0;
  center.addObserver("n", nullptr, [&](const Notification& n) {
    ranOn = std::this_thread::get_id();
    newValue = std::any_cast<int>(n.userInfo.at("newData"));
  });
  std::thread poster([&] { center.post("n", nullptr, {{"newData", 7}}); });
  auto posterId = poster.get_id();
  poster.join();
  EXPECT_EQ(ranOn, posterId);
  EXPECT_EQ(newValue, 7);
}

TEST(NotificationCenter, RemovedObserverIsNotCalledAndUnknownTokensAreIgnored) {
  NotificationCenter center;
  int calls = 0;
  auto token = center.addObserver("n", nullptr, [&](const Notification&) { ++calls; });
  EXPECT_TRUE(token);
  center.post("n", nullptr);
  center.removeObserver(token);
  center.removeObserver(token);
  center.removeObserver(ObserverToken{});
  center.removeObserver(ObserverToken{9999});
  center.post("n", nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(center.addObserver("n", nullptr, nullptr));
}

TEST(NotificationCenter, HandlersMayRemoveAddAndPostWithoutDeadlock) {
  NotificationCenter center;
  std::vector<std::string> calls;
  ObserverToken second;
  ObserverToken self;
  // The first observer removes itself and the second observer of the same
  // post, adds a third and posts another name from inside the delivery.
  self = center.addObserver("n", nullptr, [&](const Notification&) {
    calls.push_back("first");
    center.removeObserver(self);
    center.removeObserver(second);
    center.addObserver("n", nullptr, [&](const Notification&) { calls.push_back("added"); });
    center.post("inner", nullptr);
  });
  second = center.addObserver("n", nullptr, [&](const Notification&) { calls.push_back("second"); });
  center.addObserver("inner", nullptr, [&](const Notification&) { calls.push_back("inner"); });

  center.post("n", nullptr);
  // The observer added during the post belongs to the next post only.
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "inner"}));
  calls.clear();
  center.post("n", nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"added"}));
}

TEST(NotificationCenter, ConcurrentPostsAndRemovalsDeliverEachPostOnce) {
  NotificationCenter center;
  constexpr int kThreads = 4;
  constexpr int kPosts = 2000;
  std::atomic<int> stable{0};
  std::atomic<int> churn{0};
  center.addObserver("n", &objectA, [&](const Notification&) { stable.fetch_add(1); });

  std::latch start(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kPosts; ++i) center.post("n", &objectA);
    });
  }
  // Observers come and go while the posts run (their handlers own captured
  // state that dies with the removal); the stable observer sees every post.
  std::thread churner([&] {
    start.arrive_and_wait();
    for (int i = 0; i < 500; ++i) {
      auto owned = std::make_shared<int>(i);
      auto token = center.addObserver("n", nullptr, [&churn, owned](const Notification&) { churn.fetch_add(*owned >= 0); });
      owned.reset();
      center.removeObserver(token);
    }
  });
  for (auto& thread : threads) thread.join();
  churner.join();
  EXPECT_EQ(stable.load(), kThreads * kPosts);
  int before = churn.load();
  center.post("n", &objectA);
  EXPECT_EQ(churn.load(), before);
}

TEST(NotificationCenter, DescriptionNamesTheNotificationObjectAndKeys) {
  Notification none{"com.corvane.nimbra.x", nullptr, {}};
  EXPECT_EQ(none.description(), "name = com.corvane.nimbra.x; object = nil; userInfo keys = []");
  Notification full{"n", &objectA, {{"oldData", 1}, {"newData", 2}}};
  std::string text = full.description();
  EXPECT_NE(text.find("object = 0x"), std::string::npos) << text;
  EXPECT_NE(text.find("userInfo keys = [newData, oldData]"), std::string::npos) << text;
}
