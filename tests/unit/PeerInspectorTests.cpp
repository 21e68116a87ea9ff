#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "platform/FileDescriptor.h"
#include "platform/PeerInspector.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

std::string selfExecutable() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string exeOf(pid_t pid) {
  char buffer[4096];
  ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

FileDescriptor pidfdOf(pid_t pid) { return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

// A process to be inspected, killed and reaped at the end.
struct Subject {
  pid_t pid = -1;
  FileDescriptor pidfd;
  ~Subject() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

// A copy of the test process that waits to be killed.
std::unique_ptr<Subject> liveSubject() {
  auto subject = std::make_unique<Subject>();
  subject->pid = ::fork();
  if (subject->pid == 0) {
    for (;;) ::pause();
  }
  subject->pidfd = pidfdOf(subject->pid);
  return subject;
}

// A process that has ended (and been reaped) since its pidfd was taken.
std::unique_ptr<Subject> endedSubject() {
  auto subject = std::make_unique<Subject>();
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  subject->pidfd = pidfdOf(pid);
  ::waitpid(pid, nullptr, 0);
  return subject;
}

// A process whose executable was deleted after it started, as after a
// package upgrade.
std::unique_ptr<Subject> deletedExecutableSubject(const nimbra::test::TempDirectory& dir) {
  std::string original = std::filesystem::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep";
  std::string copy = dir.file("sleep-copy");
  std::filesystem::copy_file(original, copy);
  ::chmod(copy.c_str(), 0755);
  auto subject = std::make_unique<Subject>();
  subject->pid = ::fork();
  if (subject->pid == 0) {
    ::execl(copy.c_str(), copy.c_str(), "600", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 2000 && exeOf(subject->pid) != copy; ++i) std::this_thread::sleep_for(1ms);
  subject->pidfd = pidfdOf(subject->pid);
  std::filesystem::remove(copy);
  return subject;
}

std::unique_ptr<PeerInspector> startInspector(PeerInspector::Options options = {}) {
  auto started = PeerInspector::start(options);
  EXPECT_TRUE(started) << (started ? "" : started.error());
  return started ? std::move(started).value() : nullptr;
}

// An inspector that has identified `live` once: its one inspector process
// exists. Null (with a failure) otherwise.
struct Serving {
  std::unique_ptr<PeerInspector> inspector;
  pid_t first = -1;
};
Serving startServing(const Subject& live, PeerInspector::Options options) {
  Serving serving{startInspector(options)};
  if (!serving.inspector) return {};
  auto answer = serving.inspector->executableOf(live.pidfd.get(), live.pid);
  auto pids = serving.inspector->inspectorPids();
  EXPECT_EQ(answer.outcome, PeerInspector::Outcome::identified);
  EXPECT_EQ(pids.size(), 1u);
  if (answer.outcome != PeerInspector::Outcome::identified || pids.size() != 1) return {};
  serving.first = pids[0];
  return serving;
}

// True once `pid` has ended (a zombie waiting for its new parent counts).
bool gone(pid_t pid) {
  for (int i = 0; i < 5000; ++i) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z') return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

}  // namespace

TEST(PeerInspector, NamesLivePeersAndTellsUnidentifiableOnesApartFromItsOwnFailure) {
  nimbra::test::LogCapture capture(LogLevel::Default);
  nimbra::test::TempDirectory dir;
  auto inspector = startInspector();
  ASSERT_TRUE(inspector);
  auto live = liveSubject();
  auto ended = endedSubject();
  auto deleted = deletedExecutableSubject(dir);
  ASSERT_TRUE(live->pidfd && ended->pidfd && deleted->pidfd);
  ASSERT_NE(exeOf(deleted->pid).find("(deleted)"), std::string::npos);

  struct Case {
    const char* name;
    int pidfd;
    pid_t pid;
    PeerInspector::Outcome outcome;
    std::string executable;
  };
  const Case cases[] = {
      {"live peer by pidfd", live->pidfd.get(), live->pid, PeerInspector::Outcome::identified, selfExecutable()},
      {"live peer by number", -1, live->pid, PeerInspector::Outcome::identified, selfExecutable()},
      {"ended peer", ended->pidfd.get(), 0, PeerInspector::Outcome::unidentifiable, ""},
      {"deleted executable", deleted->pidfd.get(), deleted->pid, PeerInspector::Outcome::unidentifiable, ""},
      {"another PID namespace", -1, 0, PeerInspector::Outcome::unidentifiable, ""},
      {"live peer again", live->pidfd.get(), live->pid, PeerInspector::Outcome::identified, selfExecutable()},
  };
  std::vector<pid_t> firstInspector;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto answer = inspector->executableOf(c.pidfd, c.pid);
    EXPECT_EQ(answer.outcome, c.outcome);
    EXPECT_EQ(answer.executable, c.executable);
    // The same answers without an inspector, for processes never sandboxed.
    auto inProcess = PeerInspector::readExecutable(c.pidfd, c.pid);
    EXPECT_EQ(inProcess.outcome, c.outcome);
    EXPECT_EQ(inProcess.executable, c.executable);
    if (firstInspector.empty()) firstInspector = inspector->inspectorPids();
    // A peer that cannot be named is no fault of the inspector's: it stays.
    EXPECT_EQ(inspector->inspectorPids(), firstInspector);
  }
  ASSERT_EQ(firstInspector.size(), 1u);
  EXPECT_EQ(capture->count("peer inspector"), 0u);
}

struct Failure {
  const char* name;
  int signal;
};

class FailedInspectorTest : public ::testing::TestWithParam<Failure> {};

TEST_P(FailedInspectorTest, IsKilledAndReplacedWithoutRefusingThePeer) {
  nimbra::test::LogCapture capture(LogLevel::Default);
  auto live = liveSubject();
  auto serving = startServing(*live, {.replyTimeout = 300ms});
  auto& inspector = serving.inspector;
  const pid_t before = serving.first;
  ASSERT_TRUE(inspector);

  ASSERT_EQ(::kill(before, GetParam().signal), 0);
  auto answer = inspector->executableOf(live->pidfd.get(), live->pid);
  EXPECT_EQ(answer.outcome, PeerInspector::Outcome::identified);
  EXPECT_EQ(answer.executable, selfExecutable());
  auto after = inspector->inspectorPids();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after[0], before);
  // A stopped one is not left behind.
  EXPECT_TRUE(gone(before));
  EXPECT_EQ(capture->count("peer inspector " + std::to_string(before) + " stopped answering; replacing it"), 1u);
}

INSTANTIATE_TEST_SUITE_P(PeerInspector, FailedInspectorTest,
                         ::testing::Values(Failure{"Killed", SIGKILL}, Failure{"Stalled", SIGSTOP}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PeerInspector, WithNothingLeftItReportsAFaultOnceAndCallsTheHandler) {
  nimbra::test::LogCapture capture(LogLevel::Default);
  auto live = liveSubject();
  auto serving = startServing(*live, {.replyTimeout = 300ms});
  auto& inspector = serving.inspector;
  const pid_t first = serving.first;
  ASSERT_TRUE(inspector);
  std::atomic<int> exhausted{0};
  inspector->setExhaustionHandler([&] { ++exhausted; });

  // Inspectors die with their parent, the spawner: nothing is left.
  ASSERT_EQ(::kill(inspector->spawnerPid(), SIGKILL), 0);
  EXPECT_TRUE(gone(first));
  EXPECT_EQ(inspector->executableOf(live->pidfd.get(), live->pid).outcome, PeerInspector::Outcome::unavailable);
  EXPECT_EQ(exhausted.load(), 1);
  EXPECT_EQ(capture->count("no inspector is left and the spawner is gone"), 1u);
  EXPECT_EQ(inspector->executableOf(live->pidfd.get(), live->pid).outcome, PeerInspector::Outcome::unavailable);
  EXPECT_EQ(exhausted.load(), 1);
}

TEST(PeerInspector, AStalledRequestDoesNotHoldUpAnother) {
  nimbra::test::LogCapture capture(LogLevel::Default);
  auto live = liveSubject();
  // Plain variables, not a structured binding: lambdas below capture them.
  auto serving = startServing(*live, {.maxInspectors = 2, .replyTimeout = 2s});
  auto& inspector = serving.inspector;
  const pid_t first = serving.first;
  ASSERT_TRUE(inspector);
  ASSERT_EQ(::kill(first, SIGSTOP), 0);

  // Whichever request meets the stopped inspector waits for it; the other
  // gets a second inspector and its answer meanwhile.
  std::atomic<int> finished{0};
  std::atomic<bool> firstFinishedWhileOtherWaited{false};
  auto ask = [&] {
    auto answer = inspector->executableOf(live->pidfd.get(), live->pid);
    // The stopped inspector is killed only once the request waiting on it
    // gives up; alive now means that request is still waiting.
    if (finished.fetch_add(1) == 0) firstFinishedWhileOtherWaited = ::kill(first, 0) == 0;
    return answer;
  };
  auto a = std::async(std::launch::async, ask);
  auto b = std::async(std::launch::async, ask);
  auto answerA = a.get();
  auto answerB = b.get();
  EXPECT_EQ(answerA.outcome, PeerInspector::Outcome::identified);
  EXPECT_EQ(answerB.outcome, PeerInspector::Outcome::identified);
  EXPECT_TRUE(firstFinishedWhileOtherWaited.load());
  // The stopped one was abandoned after its timeout, and the waiting request
  // then answered by another inspector.
  EXPECT_TRUE(gone(first));
  EXPECT_EQ(capture->count("stopped answering; replacing it"), 1u);
}
