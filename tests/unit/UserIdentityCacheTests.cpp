#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "platform/UserIdentityCache.h"

using platform::UserIdentity;
using platform::UserIdentityCache;
using namespace std::chrono_literals;

namespace {

// A user database that records what it was asked, and a clock moved by hand.
struct Fixture {
  std::vector<uid_t> asked;
  std::chrono::steady_clock::time_point now{};
  UserIdentityCache cache(std::chrono::seconds lifetime, std::size_t capacity) {
    return UserIdentityCache(
        lifetime, capacity,
        [this](uid_t uid) {
          asked.push_back(uid);
          return UserIdentity{uid, {static_cast<gid_t>(uid + 1000), static_cast<gid_t>(asked.size())}};
        },
        [this] { return now; });
  }
};

TEST(UserIdentityCache, AnswersAreReusedUntilTheyExpireAndStayBounded) {
  Fixture f;
  UserIdentityCache cache = f.cache(5s, 2);
  const UserIdentity first = cache.identity(501);
  EXPECT_EQ(first, (UserIdentity{501, {1501, 1}}));
  f.now += 4999ms;
  EXPECT_EQ(cache.identity(501), first);  // within the lifetime: no look-up
  EXPECT_EQ(f.asked, std::vector<uid_t>{501});
  f.now += 1ms;
  EXPECT_EQ(cache.identity(501), (UserIdentity{501, {1501, 2}}));  // expired: asked again

  // A third user beyond the capacity of two: nothing stays unbounded, and
  // answers stay right.
  EXPECT_EQ(cache.identity(502).uid, 502u);
  EXPECT_EQ(cache.identity(503).uid, 503u);
  EXPECT_EQ(cache.identity(503).uid, 503u);
  EXPECT_EQ(f.asked, (std::vector<uid_t>{501, 501, 502, 503}));
  EXPECT_EQ(cache.identity(501).uid, 501u);
  EXPECT_EQ(cache.identity(502).uid, 502u);
  EXPECT_EQ(f.asked.size(), 6u);  // the full cache was emptied for 503
}

}  // namespace
