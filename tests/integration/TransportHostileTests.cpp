#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>

#include "platform/PropertyList.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/SharedDaemonTest.h"
#include "tests/support/LaunchEvents.h"
#include "tests/support/RawPeer.h"

using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

class TransportHostility : public SharedDaemonTest {
 protected:
  static std::string velmora() { return daemon_->socketPath("com.corvane.nimbra.velmora"); }
  // A well-formed request on a fresh connection still gets its answer.
  static void expectStillServing() {
    auto reply = daemon_->call("com.corvane.nimbra.velmora", sampleEvent().toMessage(), 10s);
    ASSERT_TRUE(reply.has_value()) << daemon_->logText();
    EXPECT_EQ(*reply, Value(Dictionary{{"result", Value(0)}}));
  }
};

}  // namespace

TEST_F(TransportHostility, MalformedFramesCloseOnlyTheirConnection) {
  // A healthy session opened before the attacks keeps working after them.
  auto bystander = daemon_->connect("com.corvane.nimbra.velmora");
  ASSERT_TRUE(bystander);

  struct Attack {
    const char* label;
    std::function<void(RawPeer&)> send;
    const char* logged;  // in the error line that closes the connection
  };
  const Attack attacks[] = {
      {"frame over 1 MiB", [](RawPeer& p) { p.send(frameHeader(1024 * 1024 + 1) + std::string(4096, 'x')); },
       "frame of 1048577 bytes exceeds the limit of 1048576 bytes"},
      {"garbage", [](RawPeer& p) { p.send(frame("this is not a property list at all")); }, "malformed message"},
      {"binary garbage", [](RawPeer& p) { p.send(frame(std::string("bplist00\xff\xff\xff", 11))); },
       "malformed message"},
      {"nesting 10000 deep", [](RawPeer& p) { p.send(frame(nestedBinaryArrays(10000))); }, "malformed message"},
      {"XML nesting 10000 deep", [](RawPeer& p) { p.send(frame(nestedXmlArrays(10000))); }, "malformed message"},
      {"nesting 33 deep", [](RawPeer& p) { p.send(frame(nestedBinaryArrays(33))); }, "malformed message"},
      {"array root on a dictionary service",
       [](RawPeer& p) { p.send(frame(platform::PropertyList::encodeBinary(Value(platform::Array{Value(1)})))); },
       "message is a array, not a dictionary"},
  };
  for (const auto& attack : attacks) {
    SCOPED_TRACE(attack.label);
    auto peer = RawPeer::connect(velmora());
    ASSERT_TRUE(peer.has_value());
    // The log arrives through a pipe of its own: wait for the line, with a
    // bound, rather than count what happens to be there after the close.
    const std::string line = std::string("com.corvane.nimbra.velmora: closing connection of pid ") +
                             std::to_string(::getpid()) + " (uid 0): ";
    std::size_t before = daemon_->count(line + attack.logged);
    attack.send(*peer);
    EXPECT_TRUE(peer->waitForClose(10s));
    expectStillServing();
    EXPECT_TRUE(daemon_->waitForCount(line + attack.logged, before + 1, 10s)) << daemon_->logText();
  }
  auto reply = bystander->call(sampleEvent().toMessage(), 10s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, Value(Dictionary{{"result", Value(0)}}));
}

TEST_F(TransportHostility, TruncatedFramesAndSilentPeersHarmNobody) {
  {
    auto truncated = RawPeer::connect(velmora());
    ASSERT_TRUE(truncated.has_value());
    std::string whole = frame(platform::PropertyList::encodeBinary(sampleEvent().toMessage()));
    truncated->send(whole.substr(0, whole.size() / 2));
  }  // closed mid-frame
  auto silent = RawPeer::connect(velmora());
  ASSERT_TRUE(silent.has_value());
  expectStillServing();
  EXPECT_TRUE(silent->staysOpen(200ms));
}

TEST_F(TransportHostility, SessionsBeyondTheLimitAreClosedAtOnce) {
  std::vector<RawPeer> peers;
  for (int i = 0; i < 300; ++i) {
    auto peer = RawPeer::connect(velmora());
    ASSERT_TRUE(peer.has_value());
    peers.push_back(std::move(*peer));
  }
  // Every connection got through connect(); the daemon keeps 256 at most,
  // the first ones to come. The last 44 are closed at once; waiting for them
  // (each with a bound) also means the earlier ones were decided before.
  for (std::size_t i = 256; i < peers.size(); ++i) EXPECT_TRUE(peers[i].waitForClose(10s)) << i;
  std::size_t closedEarly = 0;
  for (std::size_t i = 0; i < 256; ++i) closedEarly += peers[i].waitForClose(0ms) ? 1 : 0;
  EXPECT_LE(closedEarly, 8u);  // a few sessions of earlier tests may still be open
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
