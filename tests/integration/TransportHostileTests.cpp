#include <gtest/gtest.h>

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
  };
  const Attack attacks[] = {
      {"frame over 1 MiB", [](RawPeer& p) { p.send(frameHeader(1024 * 1024 + 1) + std::string(4096, 'x')); }},
      {"garbage", [](RawPeer& p) { p.send(frame("this is not a property list at all")); }},
      {"binary garbage", [](RawPeer& p) { p.send(frame(std::string("bplist00\xff\xff\xff", 11))); }},
      {"nesting 10000 deep", [](RawPeer& p) { p.send(frame(nestedBinaryArrays(10000))); }},
      {"XML nesting 10000 deep", [](RawPeer& p) { p.send(frame(nestedXmlArrays(10000))); }},
      {"nesting 33 deep", [](RawPeer& p) { p.send(frame(nestedBinaryArrays(33))); }},
      {"array root on a dictionary service",
       [](RawPeer& p) { p.send(frame(platform::PropertyList::encodeBinary(Value(platform::Array{Value(1)})))); }},
  };
  for (const auto& attack : attacks) {
    SCOPED_TRACE(attack.label);
    auto peer = RawPeer::connect(velmora());
    ASSERT_TRUE(peer.has_value());
    std::size_t errorsBefore = daemon_->lines().size();
    attack.send(*peer);
    EXPECT_TRUE(peer->waitForClose(10s));
    expectStillServing();
    EXPECT_GT(daemon_->lines().size(), errorsBefore);
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
  // Every connection got through connect(); the daemon keeps 256 at most.
  std::size_t closed = 0;
  for (auto& peer : peers) closed += peer.waitForClose(20ms) ? 1 : 0;
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
