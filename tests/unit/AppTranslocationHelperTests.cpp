#include <gtest/gtest.h>

#include "nimbrad/AppTranslocationHelper.h"
#include "platform/Log.h"
#include "tests/support/FakeTranslocation.h"
#include "tests/support/LogCapture.h"

using namespace nimbra;

TEST(AppTranslocationHelper, ReturnsThePathUnchangedOnEveryFailure) {
  nimbra::test::FakeTranslocation translocation("/mnt/t/d", "/Applications");
  nimbra::test::LogCapture sink(platform::LogLevel::Default);

  struct Case {
    std::string path;
    bool failCheck;
    bool failLookup;
    std::string expected;
    std::string logLine;
  };
  const std::vector<Case> cases = {
      {"", false, false, "", ""},
      {"Foo.app", false, false, "Foo.app", "AppTranslocationHelper: Failed to create URL from path: Foo.app"},
      {"/mnt/t/d/Foo.app", true, false, "/mnt/t/d/Foo.app",
       "AppTranslocationHelper: Failed to check translocation status for '/mnt/t/d/Foo.app': check refused"},
      {"/mnt/t/d/Foo.app", false, true, "/mnt/t/d/Foo.app",
       "AppTranslocationHelper: Failed to get original path for '/mnt/t/d/Foo.app': no original path"},
      {"/Applications/Foo.app", false, false, "/Applications/Foo.app", ""},
      {"/mnt/t/d/Foo.app", false, false, "/Applications/Foo.app", ""},
  };
  for (const Case& c : cases) {
    sink->clear();
    translocation.failCheck = c.failCheck;
    translocation.failLookup = c.failLookup;
    EXPECT_EQ(AppTranslocationHelper::originalPath(c.path, translocation), c.expected) << c.path;
    if (!c.logLine.empty()) {
      EXPECT_TRUE(sink->contains(c.logLine)) << c.logLine;
    }
  }
  // The system's implementation translocates nothing.
  EXPECT_EQ(AppTranslocationHelper::originalPath("/mnt/t/d/Foo.app"), "/mnt/t/d/Foo.app");
}
