#include <gtest/gtest.h>
#include <signal.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/DaemonHarness.h"
#include "tests/support/LaunchEvents.h"

using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

// Index of the first line containing `needle`, or -1.
long indexOf(const std::vector<std::string>& lines, const std::string& needle) {
  auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(needle) != std::string::npos; });
  return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
}

}  // namespace

TEST(DaemonLifecycle, RefusesToRunUnlessItsParentIsProcessOne) {
  DaemonHarness daemon;
  auto status = daemon.runWithIntermediateParent();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 255);
  auto lines = daemon.lines();
  ASSERT_EQ(lines.size(), 1u) << daemon.logText();
  EXPECT_EQ(lines[0], "Error: This service may only be launched by launchd.");
  // Nothing was created: no sockets were bound.
  EXPECT_FALSE(std::filesystem::exists(daemon.socketPath("com.corvane.nimbra.velmora")));
}

TEST(DaemonLifecycle, TerminatingSignalsSaveRunTheExitHookAndExitZero) {
  for (auto [signal, name] : {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGINT, "SIGINT"}}) {
    SCOPED_TRACE(name);
    DaemonHarness daemon;
    ASSERT_TRUE(daemon.start()) << daemon.logText();
    daemon.signal(signal);
    auto status = daemon.waitForExit(20s);
    ASSERT_TRUE(status.has_value()) << daemon.logText();
    EXPECT_EQ(*status, 0) << daemon.logText();
    auto lines = daemon.lines();
    long received = indexOf(lines, std::string("<nimbrad> Received ") + name + ", saving database before shutdown");
    long saved = indexOf(lines, std::string("<nimbrad> Database saved successfully on ") + name);
    long hook = indexOf(lines, "<nimbrad> Process exiting, attempting final database save");
    ASSERT_GE(received, 0) << daemon.logText();
    EXPECT_GT(saved, received);
    EXPECT_GT(hook, saved);
  }
}

TEST(DaemonLifecycle, HangupSavesAndKeepsServing) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.waitForLine("<nimbrad> Database saved successfully on SIGHUP")) << daemon.logText();
  EXPECT_EQ(daemon.count("<nimbrad> Received SIGHUP, saving database"), 1u);
  EXPECT_TRUE(daemon.running());
  auto reply = daemon.call("com.corvane.nimbra.velmora", sampleEvent().toMessage());
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, Value(Dictionary{{"result", Value(0)}}));
  EXPECT_EQ(daemon.count("<nimbrad> Process exiting"), 0u);
}

TEST(DaemonLifecycle, DatabaseSyncIntervalComesFromTheDaemonDefaults) {
  struct Case {
    const char* name;
    std::optional<Value> setting;
    const char* expectedLine;
    int expectedInterval;
  };
  const Case cases[] = {
      {"absent", std::nullopt, "<nimbrad> dbSyncInterval default is: 1800", 1800},
      {"sixty", Value(60), "<nimbrad> dbSyncInterval override is: 60", 60},
      {"zero", Value(0), "<nimbrad> dbSyncInterval override 0 is not a positive number of seconds, using default 1800",
       1800},
      {"negative", Value(-5),
       "<nimbrad> dbSyncInterval override -5 is not a positive number of seconds, using default 1800", 1800},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonHarness daemon;
    Dictionary defaults{{"logLevel", Value("debug")}};
    if (c.setting) defaults.emplace("dbSyncInterval", *c.setting);
    daemon.writeDefaults("com.corvane.nimbrad", defaults);
    ASSERT_TRUE(daemon.start()) << daemon.logText();
    EXPECT_EQ(daemon.count(c.expectedLine), 1u) << daemon.logText();
    EXPECT_EQ(daemon.count("<nimbrad> Registered database sync timer (every " +
                           std::to_string(c.expectedInterval) + " seconds)"),
              1u)
        << daemon.logText();
  }
}

TEST(DaemonLifecycle, StartUpRegistersEveryServiceInOrder) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  auto lines = daemon.lines();
  const char* services[] = {"com.corvane.nimbra.velmora", "com.corvane.nimbra.database",
                            "com.corvane.nimbra.processreporter", "com.corvane.nimbra.daemon.unsupported-apps",
                            "com.corvane.nimbra.deprecationwarning",
                            "com.corvane.nimbra.daemon.supportedvelmorausage"};
  long previous = indexOf(lines, "<nimbrad>: Starting nimbrad");
  ASSERT_GE(previous, 0);
  EXPECT_GT(indexOf(lines, "<nimbrad: Sandbox> Entering sandbox with identifier: com.corvane.nimbrad"), previous);
  previous = indexOf(lines, "<nimbrad> [INIT] ");
  ASSERT_GT(previous, 0);
  for (const char* service : services) {
    long at = indexOf(lines, std::string("<nimbrad> XPC EventListener: Registering for ") + service + " into ");
    EXPECT_GT(at, previous) << service;
    previous = at;
    EXPECT_TRUE(std::filesystem::exists(daemon.socketPath(service))) << service;
  }
  long timer = indexOf(lines, "<nimbrad> Registered database sync timer");
  long signals = indexOf(lines, "<nimbrad> Registered signal handlers for graceful shutdown");
  EXPECT_GT(timer, previous);
  EXPECT_GT(signals, timer);
  // The database service is for root only.
  struct stat st{};
  ASSERT_EQ(stat(daemon.socketPath("com.corvane.nimbra.database").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(daemon.socketPath("com.corvane.nimbra.velmora").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}
