// Hostile local users against the real daemon: peers that cannot be
// identified, helpers that die, floods, writable registry entries, and
// listeners that cannot be created.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "platform/Directories.h"
#include "platform/FileDescriptor.h"
#include "platform/PropertyList.h"
#include "platform/ServiceClient.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/LaunchEvents.h"
#include "tests/support/RawPeer.h"
#include "tests/support/UnprivilegedPeers.h"

using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kVelmora = "com.corvane.nimbra.velmora";
const Value kAccepted(Dictionary{{"result", Value(0)}});
const Value kNotEntitled(Dictionary{{"XPCErrorDescription", Value("Not entitled to send Velmora events")}});

// The processes named `name` whose parent is `parent`.
std::vector<pid_t> childrenNamed(pid_t parent, const std::string& name) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto open = text.find('(');
    auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 >= text.size()) continue;
    if (text.substr(open + 1, close - open - 1) != name || text[close + 2] == 'Z') continue;
    if (std::atoi(text.c_str() + close + 4) == parent) found.push_back(std::stoi(pid));
  }
  return found;
}

// True once `pid` has ended (a zombie nobody reaps counts).
bool waitUntilGone(pid_t pid) {
  for (int i = 0; i < 10000; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z') return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// The reply of a connection's first frame, decoded.
std::optional<Value> firstReply(RawPeer& peer) {
  auto payload = peer.readFrame(10s);
  if (!payload) return std::nullopt;
  auto value = platform::PropertyList::decode(*payload);
  if (!value) return std::nullopt;
  return std::move(value).value();
}

class HostileUsers : public ::testing::Test {
 protected:
  void SetUp() override {
    // Other users reach the sockets; the test binary's entry is for root
    // only, since the hostile users run copies of it.
    ASSERT_EQ(::chmod(daemon.root().path().c_str(), 0755), 0);
    daemon.grant("driver", platform::directories::executablePath(), allEntitlements(), std::vector<int>{0});
  }

  void expectRootServed() {
    auto reply = daemon.call(kVelmora, sampleEvent().toMessage(), 10s);
    ASSERT_TRUE(reply) << daemon.logText();
    EXPECT_EQ(*reply, kAccepted);
  }

  pid_t spawner() {
    auto found = childrenNamed(daemon.pid(), "nimbrad-spawner");
    return found.size() == 1 ? found[0] : -1;
  }

  std::vector<pid_t> inspectors() {
    pid_t parent = spawner();
    return parent > 0 ? childrenNamed(parent, "nimbrad-peers") : std::vector<pid_t>{};
  }

  DaemonHarness daemon;
};

// A copy of nimbractl, run as `uid`, that reads a launch event from its
// standard input and sends it; the copy is deleted after it started and
// before it connects, as a package upgrade replaces a running program.
CommandResult sendFromDeletedExecutable(const DaemonHarness& daemon, const std::string& copy, uid_t uid) {
  std::filesystem::copy_file(DaemonHarness::nimbractlPath(), copy);
  ::chmod(copy.c_str(), 0755);
  std::vector<std::string> args = {copy, "call", kVelmora, "-"};
  std::vector<std::string> env = daemon.environment();
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  int in[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return {};
  platform::FileDescriptor inRead(in[0]), inWrite(in[1]);
  if (::pipe2(err, O_CLOEXEC) != 0) return {};
  platform::FileDescriptor errRead(err[0]), errWrite(err[1]);
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::dup2(err[1], STDOUT_FILENO);
    if (!becomeUser(uid)) ::_exit(125);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  inRead.reset();
  errWrite.reset();
  // It blocks reading its input; once it runs the copy, the copy goes.
  std::string exe;
  for (int i = 0; i < 5000 && exe != copy; ++i) {
    char buffer[4096];
    ssize_t n = ::readlink(("/proc/" + std::to_string(child) + "/exe").c_str(), buffer, sizeof buffer);
    exe = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
    if (exe != copy) std::this_thread::sleep_for(1ms);
  }
  std::filesystem::remove(copy);
  std::string event = platform::PropertyList::encodeBinary(sampleEvent().toMessage());
  (void)!::write(inWrite.get(), event.data(), event.size());
  inWrite.reset();
  CommandResult result;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(errRead.get(), buffer, sizeof buffer)) > 0) result.err.append(buffer, static_cast<std::size_t>(n));
  errRead.reset();
  int status = 0;
  ::waitpid(child, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace

TEST_F(HostileUsers, UnidentifiablePeersAreRejectedAloneAndRootIsStillServed) {
  // Even an entry for the program's own path must not help once it is deleted.
  TempDirectory programs;
  ASSERT_EQ(::chmod(programs.path().c_str(), 0755), 0);
  const std::string copy = programs.file("nimbractl-copy");
  daemon.grant("copy", copy, allEntitlements(), std::vector<int>{static_cast<int>(kOtherHostileUid)});
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  expectRootServed();

  // Three peers connect and are gone before the daemon looks at them.
  daemon.signal(SIGSTOP);
  std::vector<RawPeer> gone;
  for (int i = 0; i < 3; ++i) {
    auto peers = connectAs(kHostileUid, daemon.socketPath(kVelmora), 1);
    for (auto& peer : peers) gone.push_back(std::move(peer));
  }
  daemon.signal(SIGCONT);
  ASSERT_EQ(gone.size(), 3u);
  for (auto& peer : gone) EXPECT_EQ(firstReply(peer), kNotEntitled) << daemon.logText();

  auto deleted = sendFromDeletedExecutable(daemon, copy, kOtherHostileUid);
  EXPECT_EQ(deleted.exitStatus, 4) << deleted.err;  // nimbractl: session rejected
  EXPECT_NE(deleted.err.find("rejected the session: Not entitled to send Velmora events"), std::string::npos)
      << deleted.err;

  expectRootServed();
  ASSERT_TRUE(daemon.waitForLine("<nimbrad> XPC VelmoraEvent: sender not entitled (pid ")) << daemon.logText();
  EXPECT_TRUE(daemon.waitForLine(", uid 1001, executable unknown)"));
  EXPECT_TRUE(daemon.waitForLine(", uid 1002, executable unknown)"));
  // Unidentifiable peers are no fault of the inspector: nothing was replaced.
  EXPECT_EQ(daemon.count("peer inspector"), 0u) << daemon.logText();
  EXPECT_FALSE(inspectors().empty());
}

TEST_F(HostileUsers, AnInspectorThatDiesOrStallsIsReplacedFromTheSpawner) {
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  for (int signal : {SIGKILL, SIGSTOP}) {
    SCOPED_TRACE(strsignal(signal));
    expectRootServed();
    auto before = inspectors();
    ASSERT_EQ(before.size(), 1u) << daemon.logText();
    ASSERT_EQ(::kill(before[0], signal), 0);
    // The peer is not refused for the inspector's failure.
    expectRootServed();
    EXPECT_TRUE(daemon.waitForLine("peer inspector " + std::to_string(before[0]) + " stopped answering; replacing it"))
        << daemon.logText();
    auto after = inspectors();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0], before[0]);
  }
  EXPECT_TRUE(daemon.running());
}

TEST_F(HostileUsers, WithNothingLeftToIdentifyPeersTheDaemonExitsForARestart) {
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  expectRootServed();
  pid_t helper = spawner();
  ASSERT_GT(helper, 0);
  auto helpers = inspectors();
  helpers.push_back(helper);
  for (pid_t pid : helpers) ASSERT_EQ(::kill(pid, SIGKILL), 0);
  for (pid_t pid : helpers) ASSERT_TRUE(waitUntilGone(pid));
  // The next peer finds nobody to identify it: no answer, and the daemon
  // goes, with a non-zero status for the service manager to restart it.
  (void)daemon.call(kVelmora, sampleEvent().toMessage(), 10s);
  auto status = daemon.waitForExit(20s);
  ASSERT_TRUE(status.has_value()) << daemon.logText();
  EXPECT_EQ(*status, 1);
  EXPECT_EQ(daemon.count("no inspector is left and the spawner is gone"), 1u) << daemon.logText();
}

TEST_F(HostileUsers, AnEntryOthersCouldWriteGrantsNothing) {
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  const std::string entry = daemon.configurationDirectory() + "/entitlements.d/driver.plist";
  struct Case {
    const char* name;
    mode_t mode;
    uid_t owner;
    const char* reason;
  };
  const Case cases[] = {
      {"world-writable", 0666, 0, "writable by group or others (mode 0666)"},
      {"group-writable", 0660, 0, "writable by group or others (mode 0660)"},
      {"owned by a user", 0644, kHostileUid, "owned by uid 1001, not by root"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(::chown(entry.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(::chmod(entry.c_str(), c.mode), 0);
    auto refused = daemon.call(kVelmora, sampleEvent().toMessage());
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused, kNotEntitled);
    EXPECT_TRUE(daemon.waitForLine("entitlement registry: skipping " + entry + ": " + c.reason)) << daemon.logText();
    // Put right, it counts again at once.
    ASSERT_EQ(::chown(entry.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(entry.c_str(), 0644), 0);
    expectRootServed();
  }
}

TEST_F(HostileUsers, AFloodingUserNeitherStarvesAnEntitledClientNorFillsTheLog) {
  daemon.writeDefaults("com.corvane.nimbrad", Dictionary{{"logLevel", Value("default")}});
  ASSERT_TRUE(daemon.start()) << daemon.logText();
  const std::string path = daemon.socketPath(kVelmora);
  std::size_t linesBefore = daemon.lines().size();

  // Four processes of one user connect in a loop for a few seconds: two drop
  // each connection at once, two read their rejection; a fifth holds as many
  // connections open as it can.
  constexpr auto kFlood = 4s;
  int counts[2];
  ASSERT_EQ(::pipe2(counts, O_CLOEXEC), 0);
  platform::FileDescriptor countsRead(counts[0]), countsWrite(counts[1]);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  auto connectOnce = [address]() {
    platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fd.reset();
    return fd;
  };
  std::vector<ForkedChild> flooders;
  for (int i = 0; i < 4; ++i) {
    bool readRejection = i % 2 == 1;
    flooders.emplace_back(kHostileUid, [&, readRejection] {
      long connections = 0;
      auto end = std::chrono::steady_clock::now() + kFlood;
      while (std::chrono::steady_clock::now() < end) {
        auto fd = connectOnce();
        if (!fd) continue;
        ++connections;
        if (readRejection) {
          char buffer[256];
          (void)!::read(fd.get(), buffer, sizeof buffer);
        }
      }
      (void)!::write(countsWrite.get(), &connections, sizeof connections);
      return 0;
    });
  }
  flooders.emplace_back(kHostileUid, [&] {
    std::vector<platform::FileDescriptor> held;
    held.reserve(400);
    auto end = std::chrono::steady_clock::now() + kFlood;
    while (std::chrono::steady_clock::now() < end && held.size() < 400) {
      if (auto fd = connectOnce()) held.push_back(std::move(fd));
    }
    while (std::chrono::steady_clock::now() < end) ::usleep(10000);
    long connections = static_cast<long>(held.size());
    (void)!::write(countsWrite.get(), &connections, sizeof connections);
    return 0;
  });
  countsWrite.reset();

  // Meanwhile root sends launch events, each on a fresh connection; one
  // counts as served when its reply came within a second.
  constexpr auto kServedWithin = 1s;
  int calls = 0;
  int served = 0;
  std::vector<double> latencies;
  auto end = std::chrono::steady_clock::now() + kFlood;
  while (std::chrono::steady_clock::now() < end) {
    ++calls;
    auto begin = std::chrono::steady_clock::now();
    auto client = platform::ServiceClient::connect(path, kServedWithin);
    auto reply = client ? (*client)->call(sampleEvent().toMessage(), kServedWithin)
                        : platform::Expected<Value, platform::ClientError>(platform::unexpected(client.error()));
    auto took = std::chrono::steady_clock::now() - begin;
    latencies.push_back(std::chrono::duration<double, std::milli>(took).count());
    if (reply && *reply == kAccepted && took <= kServedWithin) ++served;
  }
  std::sort(latencies.begin(), latencies.end());
  double median = latencies.empty() ? 0 : latencies[latencies.size() / 2];
  long floodConnections = 0;
  for (auto& flooder : flooders) EXPECT_EQ(flooder.wait(20s), 0);
  long count;
  while (::read(countsRead.get(), &count, sizeof count) == sizeof count) floodConnections += count;
  countsRead.reset();

  // The rejections of the flood are summed up once the window ends.
  EXPECT_TRUE(daemon.waitForLine("<nimbrad> XPC VelmoraEvent: sender not entitled: ", 20s)) << daemon.logText();
  auto lines = daemon.lines();
  std::size_t floodLines = 0;
  for (std::size_t i = linesBefore; i < lines.size(); ++i) {
    const auto& line = lines[i];
    for (const char* mark : {"sender not entitled", "uid 1001", "SecTask", "isEntitled", "session"}) {
      if (line.find(mark) != std::string::npos && line.find("isEntitled: returning true") == std::string::npos) {
        ++floodLines;
        break;
      }
    }
  }
  double rate = calls > 0 ? 100.0 * served / calls : 0.0;
  std::cout << "flood: " << floodConnections << " connections by uid 1001 in " << kFlood.count() << " s; root served "
            << served << " of " << calls << " calls (" << rate << "%, median " << median << " ms); log grew by " << lines.size() - linesBefore
            << " lines, " << floodLines << " of them about the flood\n";
  RecordProperty("floodConnections", static_cast<int>(floodConnections));
  RecordProperty("rootCalls", calls);
  RecordProperty("rootServed", served);
  RecordProperty("floodLogLines", static_cast<int>(floodLines));
  EXPECT_GT(floodConnections, 1000) << "the flood did not flood";
  EXPECT_GE(served * 100, calls * 95) << served << " of " << calls;
  EXPECT_LE(floodLines, 24u) << daemon.logText();
  EXPECT_TRUE(daemon.running());
}

namespace {

// A read-only bind mount over a directory of this test's mount namespace,
// undone at the end.
class ReadOnlyMount {
 public:
  explicit ReadOnlyMount(std::string path) : path_(std::move(path)) {
    mounted_ = ::mount(path_.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (mounted_ && ::mount(nullptr, path_.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      ::umount2(path_.c_str(), MNT_DETACH);
      mounted_ = false;
    }
  }
  ~ReadOnlyMount() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// A datagram socket standing in for the service manager's notification
// socket.
class NotifySocket {
 public:
  explicit NotifySocket(std::string path) : path_(std::move(path)) {
    fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  const std::string& path() const { return path_; }
  // Everything the daemon sent so far.
  std::string received() {
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
      all.append(buffer, static_cast<std::size_t>(n));
      all += '\n';
    }
    return all;
  }

 private:
  std::string path_;
  platform::FileDescriptor fd_;
};

platform::FileDescriptor listeningSocket(const std::string& path) {
  platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd.get(), 8) != 0) {
    fd.reset();
  }
  return fd;
}

}  // namespace

TEST(ListenerFailure, ADaemonThatCannotServeExitsBeforeReportingReady) {
  TempDirectory sockets;
  NotifySocket notify(sockets.file("notify"));
  {
    // The notification socket works: a healthy start reports readiness.
    DaemonHarness healthy;
    healthy.setExtraEnvironment({{"NOTIFY_SOCKET", notify.path()}});
    ASSERT_TRUE(healthy.start()) << healthy.logText();
    std::string ready;
    for (int i = 0; i < 1000 && ready.find("READY=1") == std::string::npos; ++i) {
      ready += notify.received();
      if (ready.find("READY=1") == std::string::npos) std::this_thread::sleep_for(10ms);
    }
    EXPECT_NE(ready.find("READY=1"), std::string::npos);
  }

  struct Case {
    const char* name;
    bool readOnlyRuntime;
    const char* passedName;  // a socket passed by the service manager, or none
    const char* logged;
  };
  const Case cases[] = {
      {"read-only runtime directory", true, nullptr,
       "<nimbrad> XPC EventListener: failed to listen for com.corvane.nimbra.velmora: "},
      {"socket passed under a wrong name", false, "com.corvane.nimbra.velmora.old",
       "<nimbrad> The service manager passed a socket named com.corvane.nimbra.velmora.old that no service uses"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonHarness daemon;
    daemon.setExtraEnvironment({{"NOTIFY_SOCKET", notify.path()}});
    std::optional<ReadOnlyMount> readOnly;
    if (c.readOnlyRuntime) {
      readOnly.emplace(daemon.runtimeDirectory());
      if (!readOnly->mounted()) GTEST_SKIP() << "cannot mount in this namespace";
    }
    std::vector<std::pair<std::string, int>> passed;
    platform::FileDescriptor socket;
    if (c.passedName != nullptr) {
      socket = listeningSocket(sockets.file("passed"));
      ASSERT_TRUE(socket);
      passed.emplace_back(c.passedName, socket.get());
    }
    auto result = daemon.runToExit(passed);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.err.find(c.logged), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("<nimbrad> Not every service is listening; exiting"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("Registered signal handlers"), std::string::npos) << result.err;
    EXPECT_EQ(notify.received().find("READY=1"), std::string::npos);
  }
}
