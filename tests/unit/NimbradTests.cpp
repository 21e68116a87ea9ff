#include <gtest/gtest.h>

#include "nimbrad/Nimbrad.h"
#include "tests/support/DaemonEnvironment.h"
#include "tests/support/FakeClock.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

class FakePressureSource final : public platform::MemoryPressureSource {};

struct Fixture {
  test::TempDirectory config;
  test::FakeClock clock;
  test::LogCapture capture;
  platform::Block pressureHandler;

  std::shared_ptr<Nimbrad> make(std::optional<Value> dbSyncInterval = std::nullopt) {
    platform::UserDefaults defaults(config.path(), "com.corvane.nimbrad");
    if (dbSyncInterval) {
      EXPECT_TRUE(defaults.set("dbSyncInterval", *dbSyncInterval).hasValue());
    }
    Nimbrad::Environment environment = test::daemonEnvironment(config.path());
    environment.startMemoryPressureSource = [this](std::shared_ptr<platform::DispatchQueue> queue,
                                                   platform::Block handler) {
      pressureHandler = [queue, handler] { queue->async(handler); };
      return std::make_unique<FakePressureSource>();
    };
    environment.clock = &clock;
    return Nimbrad::create(std::move(environment));
  }
};

}  // namespace

TEST(Nimbrad, TimeUntilNextDatabaseSyncCountsDownAndWrapsToTheInterval) {
  Fixture f;
  auto daemon = f.make(Value(600));
  EXPECT_EQ(daemon->timeUntilNextDatabaseSync(), std::nullopt);
  daemon->registerDatabaseSyncTimer();
  EXPECT_EQ(daemon->timeUntilNextDatabaseSync(), 600);
  f.clock.advance(100s);
  EXPECT_EQ(daemon->timeUntilNextDatabaseSync(), 500);
  f.clock.advance(499s + 999ms);
  EXPECT_EQ(daemon->timeUntilNextDatabaseSync(), 1);
  f.clock.advance(1ms);  // exactly one interval: the full interval, never 0
  EXPECT_EQ(daemon->timeUntilNextDatabaseSync(), 600);
  f.clock.advance(650s);
  EXPECT_EQ(daemon->timeUntilNextDatabaseSync(), 550);
}

TEST(Nimbrad, DatabaseSyncIntervalRejectsValuesThatCannotBeAPeriod) {
  struct Case {
    std::optional<Value> setting;
    std::int64_t expected;
  };
  const Case cases[] = {{std::nullopt, 1800}, {Value(60), 60},      {Value("90"), 90},
                        {Value(0), 1800},     {Value(-1), 1800},    {Value("soon"), 1800},
                        {Value(true), 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting ? c.setting->description() : "absent");
    Fixture f;
    auto daemon = f.make(c.setting);
    EXPECT_EQ(daemon->databaseSyncInterval(), c.expected);
  }
}

TEST(Nimbrad, EveryMemoryPressureEventStartsATimedSave) {
  Fixture f;
  auto daemon = f.make();
  ASSERT_TRUE(f.pressureHandler);
  EXPECT_FALSE(daemon->memoryPressureDetected());
  f.pressureHandler();
  ASSERT_TRUE(f.capture->waitFor("<nimbrad> Memory pressure detected, saving database to disk", 5s));
  EXPECT_TRUE(f.capture->contains("<nimbrad> Received low memory warning"));
  EXPECT_TRUE(f.capture->contains("<nimbrad> Setting memoryPressureDetected to true"));
  EXPECT_TRUE(f.capture->contains("<nimbrad> _memoryPressureDetected value set to: 1"));
  EXPECT_TRUE(daemon->memoryPressureDetected());
  f.pressureHandler();
  EXPECT_TRUE(f.capture->waitForCount("<nimbrad> Memory pressure detected, saving database to disk", 2, 5s));
}
