#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/DarwinNotifyCenter.h"
#include "platform/Log.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

// Collects the names the observers saw, in the order the callbacks ran.
class Recorder {
 public:
  DarwinNotifyCenter::Callback callbackFor(std::string name) {
    return [this, name = std::move(name)] {
      std::lock_guard lock(mutex_);
      names_.push_back(name);
      threads_.push_back(std::this_thread::get_id());
      changed_.notify_all();
    };
  }
  bool waitForCount(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return names_.size() >= count; });
  }
  std::vector<std::string> names() {
    std::lock_guard lock(mutex_);
    return names_;
  }
  std::vector<std::thread::id> threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> names_;
  std::vector<std::thread::id> threads_;
};

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

// Sends raw bytes, bypassing the client-side validation of postTo.
void sendRaw(const std::string& path, const std::string& bytes) {
  platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(fd);
  auto address = addressOf(path);
  ASSERT_EQ(::sendto(fd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address),
            static_cast<ssize_t>(bytes.size()));
}

// Binds a datagram socket at `path`; closing it leaves the file behind.
platform::FileDescriptor bindSocket(const std::string& path) {
  platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  auto address = addressOf(path);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return platform::FileDescriptor();
  return fd;
}

class DarwinNotifyCenterTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto token : tokens_) center().removeObserver(token);
    center().stop();
  }
  DarwinNotifyCenter& center() { return DarwinNotifyCenter::shared(); }
  void observe(const std::string& name, Recorder& recorder) {
    tokens_.push_back(center().addObserver(name, recorder.callbackFor(name)));
  }

  nimbra::test::TempDirectory dir_;
  std::string path_ = dir_.file("notify");
  nimbra::test::LogCapture capture_{LogLevel::Default};
  std::vector<ObserverToken> tokens_;
};

TEST_F(DarwinNotifyCenterTest, PostedNamesReachTheirObserversInArrivalOrderOffThePostersThread) {
  ASSERT_TRUE(center().start(path_));
  Recorder recorder;
  observe("com.corvane.nimbra.a", recorder);
  observe("com.corvane.nimbra.b", recorder);
  std::vector<std::string> expected;
  for (int i = 0; i < 60; ++i) {
    std::string name = i % 3 == 0 ? "com.corvane.nimbra.b" : "com.corvane.nimbra.a";
    auto sent = DarwinNotifyCenter::postTo(path_, name);
    ASSERT_TRUE(sent) << sent.error();
    expected.push_back(name);
  }
  ASSERT_TRUE(DarwinNotifyCenter::postTo(path_, "com.corvane.nimbra.unobserved"));
  ASSERT_TRUE(recorder.waitForCount(expected.size()));
  EXPECT_EQ(recorder.names(), expected);
  for (auto id : recorder.threads()) EXPECT_NE(id, std::this_thread::get_id());
}

TEST_F(DarwinNotifyCenterTest, InvalidNamesFromTheSocketAreDroppedWithALogLine) {
  ASSERT_TRUE(center().start(path_));
  Recorder recorder;
  // Observers under the invalid names: without validation they would match.
  const std::string withNul("bad\0name", 8);
  const std::string longest(512, 'x');
  observe("", recorder);
  observe(withNul, recorder);
  observe(std::string(513, 'y'), recorder);
  observe(longest, recorder);
  observe("done", recorder);

  sendRaw(path_, "");
  sendRaw(path_, withNul);
  sendRaw(path_, std::string(4096, 'y'));  // truncated by the kernel to 513 bytes
  sendRaw(path_, longest);
  sendRaw(path_, "done");
  ASSERT_TRUE(recorder.waitForCount(2));
  EXPECT_EQ(recorder.names(), (std::vector<std::string>{longest, "done"}));
  EXPECT_EQ(capture_->count("Dropping invalid notification name"), 3u);
}

TEST_F(DarwinNotifyCenterTest, PostToRefusesInvalidNamesAndReportsAMissingCenter) {
  struct Case {
    const char* what;
    std::string path;
    std::string name;
    const char* error;
  };
  nimbra::test::TempDirectory other;
  std::string stale = other.file("stale");
  ASSERT_TRUE(bindSocket(stale));
  const Case cases[] = {
      {"empty name", path_, "", "invalid notification name"},
      {"NUL byte", path_, std::string("a\0b", 3), "invalid notification name"},
      {"too long", path_, std::string(513, 'n'), "invalid notification name"},
      {"no socket file", path_, "n", "no notify center is listening at"},
      {"stale socket file", stale, "n", "no notify center is listening at"},
      {"path too long", "/tmp/" + std::string(200, 'p'), "n", "longer than"},
  };
  for (const Case& c : cases) {
    auto sent = DarwinNotifyCenter::postTo(c.path, c.name);
    ASSERT_FALSE(sent) << c.what;
    EXPECT_NE(sent.error().find(c.error), std::string::npos) << c.what << ": " << sent.error();
  }
}

TEST_F(DarwinNotifyCenterTest, StartReplacesOnlyAStaleSocketAndBindsWithMode0600) {
  // A live socket of someone else is left alone.
  auto live = bindSocket(path_);
  ASSERT_TRUE(live);
  auto refused = center().start(path_);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().find("another notify center is listening"), std::string::npos) << refused.error();
  live.reset();

  // A regular file is never removed.
  std::string plain = dir_.write("plain", "keep me");
  auto notSocket = center().start(plain);
  ASSERT_FALSE(notSocket);
  EXPECT_NE(notSocket.error().find("is not a socket"), std::string::npos) << notSocket.error();
  struct stat st{};
  ASSERT_EQ(::lstat(plain.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));

  // The socket file left by the closed socket is stale and is replaced.
  mode_t previous = ::umask(0);
  auto started = center().start(path_);
  ::umask(previous);
  ASSERT_TRUE(started) << started.error();
  ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(center().start(path_));

  Recorder recorder;
  observe("n", recorder);
  ASSERT_TRUE(DarwinNotifyCenter::postTo(path_, "n"));
  ASSERT_TRUE(recorder.waitForCount(1));

  center().stop();
  EXPECT_NE(::lstat(path_.c_str(), &st), 0) << "stop() leaves the socket file behind";
  ASSERT_TRUE(center().start(path_));
}

TEST_F(DarwinNotifyCenterTest, PostGoesThroughTheSocketWhenStartedAndInProcessOtherwise) {
  Recorder recorder;
  observe("n", recorder);
  center().post("n");
  ASSERT_TRUE(recorder.waitForCount(1));

  ASSERT_TRUE(center().start(path_));
  center().post("n");
  ASSERT_TRUE(recorder.waitForCount(2));

  center().post(std::string(600, 'z'));
  EXPECT_TRUE(capture_->contains("Not posting an invalid notification name (600 bytes)"));
}

TEST_F(DarwinNotifyCenterTest, RemovedObserversAreNotCalledEvenFromInsideACallback) {
  Recorder recorder;
  ObserverToken first;
  ObserverToken second;
  int secondCalls = 0;
  first = center().addObserver("n", [&] {
    center().removeObserver(first);
    center().removeObserver(second);
    recorder.callbackFor("first")();
  });
  second = center().addObserver("n", [&] { ++secondCalls; });
  tokens_.push_back(center().addObserver("end", recorder.callbackFor("end")));
  center().deliver("n");
  center().deliver("n");
  center().deliver("end");
  ASSERT_TRUE(recorder.waitForCount(2));
  EXPECT_EQ(recorder.names(), (std::vector<std::string>{"first", "end"}));
  EXPECT_EQ(secondCalls, 0);
}

}  // namespace
