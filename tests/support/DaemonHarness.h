#pragma once

// Starts the real nimbrad binary in a temporary setup (its own configuration,
// state, runtime and cache directories), captures its log from standard error,
// and talks to it through its sockets. The test driver must be process 1 of
// its PID namespace so that the daemon's parent is process 1.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/ServiceClient.h"
#include "platform/Value.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDirectory.h"

namespace nimbra::test {

// Every entitlement of every service, for the test driver and nimbractl.
platform::Dictionary allEntitlements();

struct CommandResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

class DaemonHarness {
 public:
  DaemonHarness();
  DaemonHarness(const DaemonHarness&) = delete;
  DaemonHarness& operator=(const DaemonHarness&) = delete;
  ~DaemonHarness();  // kills a still running daemon

  const TempDirectory& root() const { return root_; }
  std::string configurationDirectory() const { return root_.file("config"); }
  std::string stateDirectory() const { return root_.file("state"); }
  std::string runtimeDirectory() const { return root_.file("runtime"); }
  std::string cacheDirectory() const { return root_.file("cache"); }
  std::string socketPath(const std::string& service) const { return runtimeDirectory() + "/" + service; }

  // Writes the defaults domain `domain` (replacing it).
  void writeDefaults(const std::string& domain, const platform::Dictionary& values) const;
  // Writes an entitlement registry entry named `entry` for `executable`.
  void grant(const std::string& entry, const std::string& executable, const platform::Dictionary& entitlements,
             std::optional<std::vector<int>> users = std::nullopt) const;
  void revoke(const std::string& entry) const;
  // The registry entry "driver" for this test binary.
  void grantDriver(const platform::Dictionary& entitlements) const;

  // Starts the daemon as our child and waits until it reports its signal
  // handlers registered (the last start-up step). False on timeout or exit.
  // Starting again kills a daemon still running and starts a new one on the
  // same directories, with an empty log.
  bool start(std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // Starts the daemon as a grandchild (its parent is not process 1) and
  // returns its exit status; the log is captured as with start().
  std::optional<int> runWithIntermediateParent(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Runs the daemon as our child with `sockets` passed the way the service
  // manager passes them ({name, descriptor}) until it exits (killed after
  // `timeout`); its log is the result's `err`. For start-ups meant to fail.
  ProcessResult runToExit(const std::vector<std::pair<std::string, int>>& sockets,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  // Variables added to the daemon's environment from the next start on.
  void setExtraEnvironment(std::map<std::string, std::string> variables) { extraEnvironment_ = std::move(variables); }
  // The environment the daemon and nimbractl run with ("NAME=value").
  std::vector<std::string> environment() const;
  static std::string nimbractlPath();

  pid_t pid() const { return pid_; }
  bool running() const;
  void signal(int signal) const;
  // The exit status once the daemon ended, or nullopt after the timeout.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  // Status of a daemon killed by a signal: -signal.
  void kill();

  // Log lines with the priority prefix removed.
  std::vector<std::string> lines() const;
  std::size_t count(const std::string& needle) const;
  bool waitForLine(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Number of lines containing `needle` logged with the sd-daemon priority
  // `priority` (3 error, 5 default, 6 info, 7 debug).
  std::size_t countAtPriority(const std::string& needle, int priority) const;
  // Waits until `needle` occurs at least `n` times.
  bool waitForCount(const std::string& needle, std::size_t n,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  std::string logText() const;

  std::unique_ptr<platform::ServiceClient> connect(const std::string& service) const;
  // One request on a fresh connection; nullopt when the connection or the
  // call failed.
  std::optional<platform::Value> call(const std::string& service, const platform::Value& message,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Runs nimbractl with this setup's directories.
  CommandResult ctl(const std::vector<std::string>& arguments,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

 private:
  void readLog(platform::FileDescriptor fd);
  // Starts the daemon with its standard streams into `log`'s pipe.
  pid_t spawn(bool intermediateParent, platform::FileDescriptor& log);

  TempDirectory root_;
  std::map<std::string, std::string> extraEnvironment_;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  std::thread logReader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::vector<int> priorities_;  // of lines_, -1 when a line had no prefix
};

}  // namespace nimbra::test
