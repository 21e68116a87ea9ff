#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/Log.h"
#include "platform/MemoryPressureSource.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using nimbra::test::ScopedEnv;

namespace {

constexpr const char* kSystemPressure = "/proc/pressure/memory";

bool systemPressureWritable() { return ::access(kSystemPressure, W_OK) == 0; }

auto queue() { return DispatchQueue::makeSerial("test.memoryPressure"); }

}  // namespace

TEST(MemoryPressureSource, WatchRefusesFilesThatAreNotPressureInterfaces) {
  nimbra::test::TempDirectory dir;
  struct Case {
    std::string path;
    const char* reason;
  };
  const Case cases[] = {
      {dir.file("missing"), "cannot open"},
      // Accepts the trigger text but would never signal.
      {dir.write("ordinary", ""), "not a pressure interface"},
      // procfs, and writable for root, but no pressure report.
      {"/proc/self/status", ::geteuid() == 0 ? "not a pressure interface" : "cannot open"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(MemoryPressureSource::watch(c.path, queue(), [] {}, &why), nullptr) << c.path;
    EXPECT_NE(why.find(c.path), std::string::npos) << why;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
}

TEST(MemoryPressureSource, CreatesATriggerWherePressureIsAvailable) {
  if (!systemPressureWritable()) GTEST_SKIP() << kSystemPressure << " is not writable here";
  std::string why;
  auto source = MemoryPressureSource::watch(kSystemPressure, queue(), [] {}, &why);
  EXPECT_NE(source, nullptr) << why;
  source.reset();

  // A trigger from the service manager that the kernel refuses leaves the
  // built-in triggers to try.
  ScopedEnv write("MEMORY_PRESSURE_WRITE", "bm9uc2Vuc2U=");  // "nonsense"
  EXPECT_NE(MemoryPressureSource::watch(kSystemPressure, queue(), [] {}, &why), nullptr) << why;
  EXPECT_NE(MemoryPressureSource::start(queue(), [] {}), nullptr);
}

TEST(MemoryPressureSource, CandidatesFollowTheServiceManagerThenTheCgroupThenTheSystem) {
  {
    ScopedEnv watch("MEMORY_PRESSURE_WATCH", "/sys/fs/cgroup/system.slice/x.service/memory.pressure");
    auto paths = MemoryPressureSource::candidatePaths();
    ASSERT_GE(paths.size(), 2u);
    EXPECT_EQ(paths.front(), "/sys/fs/cgroup/system.slice/x.service/memory.pressure");
    EXPECT_EQ(paths.back(), kSystemPressure);
  }
  {
    ScopedEnv watch("MEMORY_PRESSURE_WATCH", "/dev/null");
    EXPECT_TRUE(MemoryPressureSource::candidatePaths().empty());
  }
  auto paths = MemoryPressureSource::candidatePaths();
  for (std::size_t i = 0; i + 1 < paths.size(); ++i) {
    EXPECT_NE(paths[i].find("/memory.pressure"), std::string::npos) << paths[i];
  }
}

TEST(MemoryPressureSource, AbsentInterfaceIsLoggedOnceAndGivesNoSource) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a fresh process, so that no earlier test has used up the one line.
  EXPECT_EXIT(
      {
        auto capture = std::make_shared<CaptureLogSink>();
        logging::setSink(capture);
        ::setenv("MEMORY_PRESSURE_WATCH", "/dev/null", 1);
        bool none = MemoryPressureSource::start(queue(), [] {}) == nullptr &&
                    MemoryPressureSource::start(queue(), [] {}) == nullptr;
        auto lines = capture->count(
            "<nimbrad> Memory pressure source unavailable: switched off by MEMORY_PRESSURE_WATCH=/dev/null");
        std::_Exit(none && lines == 1 && capture->messages().size() == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
