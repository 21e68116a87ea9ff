// nimbrad started from a shell rather than by the service manager.

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/Subprocess.h"
#include "tests/support/TempDirectory.h"

namespace {

std::vector<std::string> nonEmptyLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

TEST(NimbradByHand, RefusesWithTheLaunchdLineAndOnATerminalSaysHowItIsStarted) {
  nimbra::test::TempDirectory dir;
  std::map<std::string, std::string> environment = {{"CONFIGURATION_DIRECTORY", dir.path()},
                                                    {"STATE_DIRECTORY", dir.path()},
                                                    {"RUNTIME_DIRECTORY", dir.path()}};
  // Logged to a file or the journal: the one line, nothing else.
  auto piped = nimbra::test::runProcess({NIMBRAD_BINARY}, environment);
  EXPECT_EQ(piped.status, 255);
  EXPECT_EQ(piped.err, "<3>Error: This service may only be launched by launchd.\n");
  EXPECT_EQ(piped.out, "");

  // On a terminal (script gives the daemon one): the line, then the hint.
  auto typed = nimbra::test::runProcess({"/usr/bin/script", "-qec", NIMBRAD_BINARY, "/dev/null"}, environment);
  EXPECT_EQ(typed.status, 255) << typed.err;
  auto lines = nonEmptyLines(typed.out);
  ASSERT_EQ(lines.size(), 2u) << typed.out;
  EXPECT_NE(lines[0].find("Error: This service may only be launched by launchd."), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("systemctl start nimbrad"), std::string::npos) << lines[1];
}

}  // namespace
