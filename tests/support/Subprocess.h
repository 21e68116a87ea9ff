#pragma once

// Runs a program to completion and collects what it wrote, for tests that
// drive command-line tools (nimbractl) from outside.

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace nimbra::test {

struct ProcessResult {
  int status = -1;  // exit status; -1 when killed (timeout) or when it could not start
  std::string out;
  std::string err;
  bool timedOut = false;
};

// Runs argv[0] (a path) with the environment of this process plus `environment`
// (which overrides), feeding `input` on standard input. A process still
// running after `timeout` is killed.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment = {},
                         const std::string& input = {}, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// As runProcess, and passes `sockets` ({name, descriptor}) the way the service
// manager does: as descriptors 3, 4, ... with LISTEN_FDS, LISTEN_FDNAMES and
// LISTEN_PID set for the child.
ProcessResult runActivated(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, int>>& sockets,
                           const std::map<std::string, std::string>& environment = {},
                           std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace nimbra::test
