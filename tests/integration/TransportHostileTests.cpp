#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/PropertyList.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/LaunchEvents.h"

using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

// A raw connection that can send anything.
class RawPeer {
 public:
  explicit RawPeer(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawPeer() {
    if (fd_ >= 0) close(fd_);
  }
  bool connected() const { return connected_; }
  void sendBytes(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;  // the daemon may close while we write
      sent += static_cast<std::size_t>(n);
    }
  }
  void sendFrame(const std::string& payload) {
    std::uint32_t length = htonl(static_cast<std::uint32_t>(payload.size()));
    sendBytes(std::string(reinterpret_cast<const char*>(&length), 4) + payload);
  }
  // True when the daemon closed the connection within the timeout (reading
  // and discarding anything it sent first).
  bool closedByPeer(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0) return true;
      if (n < 0 && errno != EINTR && errno != EAGAIN) return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

std::string nestedArrays(int depth) {
  Value value(platform::Array{});
  for (int i = 1; i < depth; ++i) value = Value(platform::Array{value});
  return platform::PropertyList::encodeBinary(value);
}

class TransportHostility : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon_ = new DaemonHarness();
    ASSERT_TRUE(daemon_->start()) << daemon_->logText();
  }
  static void TearDownTestSuite() {
    delete daemon_;
    daemon_ = nullptr;
  }
  static std::string velmora() { return daemon_->socketPath("com.corvane.nimbra.velmora"); }
  // A well-formed request on a fresh connection still gets its answer.
  static void expectStillServing() {
    auto reply = daemon_->call("com.corvane.nimbra.velmora", sampleEvent().toMessage(), 10s);
    ASSERT_TRUE(reply.has_value()) << daemon_->logText();
    EXPECT_EQ(*reply, Value(Dictionary{{"result", Value(0)}}));
  }
  static DaemonHarness* daemon_;
};
DaemonHarness* TransportHostility::daemon_ = nullptr;

}  // namespace

TEST_F(TransportHostility, MalformedFramesCloseOnlyTheirConnection) {
  // A healthy session opened before the attacks keeps working after them.
  auto bystander = daemon_->connect("com.corvane.nimbra.velmora");
  ASSERT_TRUE(bystander);

  struct Attack {
    const char* label;
    std::function<void(RawPeer&)> send;
  };
  const Attack attacks[] = {
      {"frame over 1 MiB",
       [](RawPeer& p) {
         std::uint32_t length = htonl(1024 * 1024 + 1);
         p.sendBytes(std::string(reinterpret_cast<const char*>(&length), 4) + std::string(4096, 'x'));
       }},
      {"garbage", [](RawPeer& p) { p.sendFrame("this is not a property list at all"); }},
      {"binary garbage", [](RawPeer& p) { p.sendFrame(std::string("bplist00\xff\xff\xff", 11)); }},
      {"nesting 10000 deep", [](RawPeer& p) { p.sendFrame(nestedArrays(10000)); }},
      {"nesting 33 deep", [](RawPeer& p) { p.sendFrame(nestedArrays(33)); }},
      {"array root on a dictionary service",
       [](RawPeer& p) { p.sendFrame(platform::PropertyList::encodeBinary(Value(platform::Array{Value(1)}))); }},
  };
  for (const auto& attack : attacks) {
    SCOPED_TRACE(attack.label);
    RawPeer peer(velmora());
    ASSERT_TRUE(peer.connected());
    std::size_t errorsBefore = daemon_->lines().size();
    attack.send(peer);
    EXPECT_TRUE(peer.closedByPeer(10s));
    expectStillServing();
    EXPECT_GT(daemon_->lines().size(), errorsBefore);
  }
  auto reply = bystander->call(sampleEvent().toMessage(), 10s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, Value(Dictionary{{"result", Value(0)}}));
}

TEST_F(TransportHostility, TruncatedFramesAndSilentPeersHarmNobody) {
  {
    RawPeer truncated(velmora());
    std::string frame = platform::PropertyList::encodeBinary(sampleEvent().toMessage());
    std::uint32_t length = htonl(static_cast<std::uint32_t>(frame.size()));
    truncated.sendBytes(std::string(reinterpret_cast<const char*>(&length), 4) + frame.substr(0, frame.size() / 2));
  }  // closed mid-frame
  RawPeer silent(velmora());
  ASSERT_TRUE(silent.connected());
  expectStillServing();
  EXPECT_FALSE(silent.closedByPeer(200ms));
}

TEST_F(TransportHostility, SessionsBeyondTheLimitAreClosedAtOnce) {
  std::vector<std::unique_ptr<RawPeer>> peers;
  for (int i = 0; i < 300; ++i) peers.push_back(std::make_unique<RawPeer>(velmora()));
  // Every connection got through connect(); the daemon keeps 256 at most.
  std::size_t closed = 0;
  for (auto& peer : peers) closed += peer->closedByPeer(20ms) ? 1 : 0;
  EXPECT_GE(closed, 300u - 256u);
  EXPECT_LE(closed, 300u - 256u + 8u);  // a few of ours may still be counted from earlier tests
  peers.clear();
  // Once the flood is gone the service answers again.
  for (int attempt = 0; attempt < 50; ++attempt) {
    auto reply = daemon_->call("com.corvane.nimbra.velmora", sampleEvent().toMessage(), 2s);
    if (reply) {
      EXPECT_EQ(*reply, Value(Dictionary{{"result", Value(0)}}));
      return;
    }
    std::this_thread::sleep_for(50ms);
  }
  FAIL() << "service did not recover after the connection flood";
}
