// Socket activation: the test binary runs itself as a child that receives a
// listening socket the way the service manager passes it.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/FileDescriptor.h"
#include "platform/ServiceClient.h"
#include "platform/ServiceListener.h"
#include "platform/Systemd.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr const char* kChildFlag = "NIMBRA_TEST_ACTIVATED_CHILD";
constexpr const char* kService = "com.corvane.test.activated";

// The child: serves one request on the passed socket, then waits for the
// peer to leave.
void runAsActivatedChild() {
  const char* unusedPath = std::getenv("NIMBRA_TEST_UNUSED_PATH");
  ASSERT_NE(unusedPath, nullptr);
  // Another name was not passed.
  EXPECT_FALSE(systemd::takeListeningSocket("com.corvane.test.other"));
  ServiceConfig config;
  config.name = kService;
  config.socketPath = unusedPath;
  config.targetQueue = DispatchQueue::makeSerial("com.corvane.test.activated");
  std::atomic<int> handled{0};
  auto listener = ServiceListener::start(config, [&](SessionRequest& request) {
    request.accept([&](const Value&) {
      ++handled;
      return Value(Dictionary{{"pid", static_cast<long long>(::getpid())}});
    });
  });
  ASSERT_TRUE(listener) << listener.error();
  // It did not bind a socket of its own.
  EXPECT_NE(::access(unusedPath, F_OK), 0);
  for (int i = 0; i < 1000 && !(handled.load() == 1 && (*listener)->openSessions() == 0); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(handled.load(), 1);
  // Taken once only: a second listener for the same name would bind instead.
  EXPECT_FALSE(systemd::takeListeningSocket(kService));
}

TEST(SystemdActivation, ListenerServesOnThePassedSocketOnly) {
  if (std::getenv(kChildFlag) != nullptr) {
    runAsActivatedChild();
    return;
  }
  nimbra::test::TempDirectory dir;
  std::string path = dir.file("passed.sock");
  platform::FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int fd = socket.get();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 16), 0);

  // The connection waits in the backlog until the child accepts it.
  std::optional<Value> reply;
  std::thread client([&] {
    auto connected = ServiceClient::connect(path, 10s);
    if (!connected) return;
    auto answer = (*connected)->call(Dictionary{{"hello", true}}, 20s);
    if (answer) reply = *answer;
  });
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  auto run = nimbra::test::runActivated(
      {self, "--gtest_filter=SystemdActivation.ListenerServesOnThePassedSocketOnly"}, {{kService, fd}},
      {{kChildFlag, "1"}, {"NIMBRA_TEST_UNUSED_PATH", dir.file("unused.sock")}}, 30s);
  client.join();
  socket.reset();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  ASSERT_TRUE(reply);
  const Value* pid = reply->find("pid");
  ASSERT_TRUE(pid && pid->asInteger());
  EXPECT_NE(*pid->asInteger(), static_cast<long long>(::getpid()));
}

}  // namespace
