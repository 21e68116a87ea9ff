#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/ServiceClient.h"
#include "platform/ServiceListener.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/UnprivilegedPeers.h"

using namespace platform;
using namespace std::chrono_literals;
using nimbra::test::RawPeer;

namespace {

constexpr auto kWait = 5s;

class ServiceListenerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    listener_.reset();
    // Blocks already queued may still run; let them finish before the
    // fixture's state goes away.
    queue_->sync([] {});
  }

  ServiceConfig config(std::string name = "com.corvane.test.echo") {
    ServiceConfig c;
    c.name = std::move(name);
    c.socketPath = dir_.file(c.name);
    c.targetQueue = queue_;
    return c;
  }

  // Accepts every session; replies {"echo": message, "n": count}.
  void startEcho(ServiceConfig c) {
    auto started = ServiceListener::start(std::move(c), [this](SessionRequest& request) {
      peers_.push_back(request.peer());
      request.accept([this](const Value& message) {
        if (!queue_->isCurrent()) offQueue_ = true;
        if (running_.fetch_add(1) != 0) overlapped_ = true;
        int n = handled_.fetch_add(1);
        running_.fetch_sub(1);
        return Value(Dictionary{{"echo", message}, {"n", n}});
      });
    });
    ASSERT_TRUE(started) << started.error();
    listener_ = std::move(started).value();
  }

  void start(ServiceConfig c, SessionHandler handler) {
    auto started = ServiceListener::start(std::move(c), std::move(handler));
    ASSERT_TRUE(started) << started.error();
    listener_ = std::move(started).value();
  }

  std::unique_ptr<ServiceClient> client() {
    auto connected = ServiceClient::connect(listener_->config().socketPath, 2s);
    EXPECT_TRUE(connected) << connected.error().message;
    return connected ? std::move(connected).value() : nullptr;
  }

  // A well-formed request on a fresh connection still gets its answer.
  void expectServiceStillAnswers() {
    auto c = client();
    ASSERT_TRUE(c);
    auto reply = c->call(Dictionary{{"ping", true}}, kWait);
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(*reply->find("echo"), Value(Dictionary{{"ping", true}}));
  }

  nimbra::test::TempDirectory dir_;
  nimbra::test::LogCapture sink_{LogLevel::Default};
  std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::makeSerial("com.corvane.test.service");
  std::unique_ptr<ServiceListener> listener_;
  std::vector<PeerIdentity> peers_;  // touched on queue_ only
  std::atomic<int> handled_{0};
  std::atomic<int> running_{0};
  std::atomic<bool> overlapped_{false};
  std::atomic<bool> offQueue_{false};
};

TEST_F(ServiceListenerTest, PipelinedRequestsAreAnsweredInOrderOnTheTargetQueue) {
  startEcho(config());
  auto c = client();
  ASSERT_TRUE(c);
  constexpr int kRequests = 300;
  for (int i = 0; i < kRequests; ++i) ASSERT_TRUE(c->send(Dictionary{{"i", i}}, kWait));
  for (int i = 0; i < kRequests; ++i) {
    auto reply = c->receive(kWait);
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(*reply->find("echo"), Value(Dictionary{{"i", i}}));
  }
  EXPECT_FALSE(overlapped_);
  EXPECT_FALSE(offQueue_);
}

TEST_F(ServiceListenerTest, FloodWithoutReadingIsAnsweredCompletelyOnceTheClientReads) {
  // The writer gets ahead of the reader by far more than the in-flight bound;
  // reading pauses on the service side and resumes without losing a frame.
  startEcho(config());
  auto c = client();
  ASSERT_TRUE(c);
  constexpr int kRequests = 5000;
  std::string padding(200, 'x');
  std::thread writer([&] {
    for (int i = 0; i < kRequests; ++i) {
      if (!c->send(Dictionary{{"i", i}, {"pad", padding}}, 20s)) return;
    }
  });
  int received = 0;
  for (; received < kRequests; ++received) {
    auto reply = c->receive(20s);
    if (!reply) break;
    if (*reply->find("echo")->find("i") != Value(received)) break;
  }
  writer.join();
  EXPECT_EQ(received, kRequests);
}

TEST_F(ServiceListenerTest, ClientsSharingTheQueueEachGetTheirRepliesInOrder) {
  // Batches of several sessions interleave on the one target queue; the
  // replies of each must still come back in its own request order.
  startEcho(config());
  constexpr int kClients = 4;
  constexpr int kRounds = 40;
  constexpr int kWindow = 32;
  std::atomic<int> misordered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      auto c = ServiceClient::connect(listener_->config().socketPath, 2s);
      if (!c) {
        ++misordered;
        return;
      }
      for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kWindow; ++i) (void)(*c)->send(Dictionary{{"t", t}, {"i", round * kWindow + i}}, kWait);
        for (int i = 0; i < kWindow; ++i) {
          auto reply = (*c)->receive(kWait);
          if (!reply || *reply->find("echo") != Value(Dictionary{{"t", t}, {"i", round * kWindow + i}})) ++misordered;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(misordered.load(), 0);
  EXPECT_EQ(handled_.load(), kClients * kRounds * kWindow);
  EXPECT_FALSE(overlapped_);
}

TEST_F(ServiceListenerTest, HalfClosedPeerStillGetsItsReplies) {
  startEcho(config());
  auto peer = RawPeer::connect(listener_->config().socketPath);
  ASSERT_TRUE(peer);
  std::string requests;
  for (int i = 0; i < 3; ++i) requests += nimbra::test::frame(PropertyList::encodeBinary(Dictionary{{"i", i}}));
  ASSERT_TRUE(peer->send(requests));
  peer->shutdownWrite();
  for (int i = 0; i < 3; ++i) {
    auto payload = peer->readFrame(kWait);
    ASSERT_TRUE(payload);
    auto reply = PropertyList::decode(*payload);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply->find("echo"), Value(Dictionary{{"i", i}}));
  }
  EXPECT_TRUE(peer->waitForClose(kWait));
  EXPECT_EQ(sink_->count("closing connection"), 0u);
}

TEST_F(ServiceListenerTest, SessionHandlerSeesThePeerIdentity) {
  startEcho(config());
  expectServiceStillAnswers();
  PeerIdentity seen;
  queue_->sync([&] { seen = peers_.at(0); });
  char exe[4096];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
  ASSERT_GT(n, 0);
  EXPECT_EQ(seen.pid, ::getpid());
  EXPECT_EQ(seen.uid, ::getuid());
  EXPECT_EQ(seen.gid, ::getgid());
  EXPECT_EQ(seen.executablePath, std::string(exe, static_cast<std::size_t>(n)));
}

struct HostileCase {
  const char* name;
  bool dictionaryService;
  std::string bytes;
  bool closeAfterSending;
  const char* logged;  // part of the one error line
  int answeredFromAttacker = 0;
};

class HostilePeerTest : public ServiceListenerTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostilePeerTest, ClosesOnlyThatConnectionWithOneErrorLine) {
  const auto& param = GetParam();
  auto c = config();
  c.dictionaryMessages = param.dictionaryService;
  startEcho(c);
  // A client connected before the attack keeps its session.
  auto bystander = client();
  ASSERT_TRUE(bystander);
  ASSERT_TRUE(bystander->call(Dictionary{{"before", true}}, kWait));

  auto attacker = RawPeer::connect(listener_->config().socketPath);
  ASSERT_TRUE(attacker);
  attacker->send(param.bytes);
  if (param.closeAfterSending) attacker->shutdownWrite();
  EXPECT_TRUE(attacker->waitForClose(kWait));
  ASSERT_TRUE(sink_->waitFor(param.logged, kWait));

  auto after = bystander->call(Dictionary{{"after", true}}, kWait);
  ASSERT_TRUE(after) << after.error().message;
  EXPECT_EQ(*after->find("echo"), Value(Dictionary{{"after", true}}));
  expectServiceStillAnswers();

  auto lines = sink_->lines();
  std::size_t errors = 0;
  for (const auto& line : lines) {
    if (line.level < LogLevel::Error) continue;
    ++errors;
    EXPECT_NE(line.message.find("com.corvane.test.echo"), std::string::npos) << line.message;
    EXPECT_EQ(line.subsystem, "com.corvane.nimbrad");
    EXPECT_EQ(line.category, "ServiceListener");
  }
  EXPECT_EQ(errors, 1u);
  // Only well-formed frames ahead of the fault ever reach the handler.
  EXPECT_EQ(handled_.load(), 3 + param.answeredFromAttacker);
}

std::string binary(const Value& v) { return PropertyList::encodeBinary(v); }

INSTANTIATE_TEST_SUITE_P(
    Transport, HostilePeerTest,
    ::testing::Values(
        HostileCase{"FrameOverOneMebibyte", true, nimbra::test::frameHeader(1024 * 1024 + 1) + std::string(4096, 'a'),
                    false, "exceeds the limit"},
        HostileCase{"TruncatedFrame", true, nimbra::test::frameHeader(100) + std::string(10, 'a'), true,
                    "in the middle of a frame"},
        HostileCase{"TruncatedHeader", true, std::string("\0\0", 2), true, "in the middle of a frame"},
        HostileCase{"Garbage", true, nimbra::test::frame("this is not a property list"), false, "malformed message"},
        HostileCase{"EmptyFrame", true, nimbra::test::frame(""), false, "malformed message"},
        HostileCase{"DeepBinaryNesting", false, nimbra::test::frame(nimbra::test::nestedBinaryArrays(10000)), false,
                    "malformed message"},
        HostileCase{"DeepXmlNesting", false, nimbra::test::frame(nimbra::test::nestedXmlArrays(10000)), false,
                    "malformed message"},
        HostileCase{"JustOverTheDepthLimit", false, nimbra::test::frame(nimbra::test::nestedBinaryArrays(33)), false,
                    "malformed message"},
        HostileCase{"ArrayOnDictionaryService", true, nimbra::test::frame(binary(Array{Value(1)})), false,
                    "not a dictionary"},
        HostileCase{"BooleanOnDictionaryService", true, nimbra::test::frame(binary(Value(true))), false,
                    "not a dictionary"},
        // A good request followed by garbage: the good one is answered, then the connection ends.
        HostileCase{"GoodThenGarbage", true,
                    nimbra::test::frame(binary(Dictionary{{"ok", 1}})) + nimbra::test::frame("garbage"), false,
                    "malformed message", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceListenerTest, NestingUpToTheLimitAndAnyRootOnAStructuredServiceAreAccepted) {
  auto c = config();
  c.dictionaryMessages = false;
  startEcho(c);
  auto peer = RawPeer::connect(listener_->config().socketPath);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->send(nimbra::test::frame(nimbra::test::nestedBinaryArrays(32))));
  ASSERT_TRUE(peer->readFrame(kWait));
  auto c2 = client();
  ASSERT_TRUE(c2);
  auto reply = c2->call(Value(true), kWait);
  ASSERT_TRUE(reply) << reply.error().message;
  EXPECT_EQ(*reply->find("echo"), Value(true));
}

TEST_F(ServiceListenerTest, XmlRequestsAreAccepted) {
  startEcho(config());
  auto xml = PropertyList::encodeXml(Dictionary{{"format", "xml"}});
  ASSERT_TRUE(xml);
  auto peer = RawPeer::connect(listener_->config().socketPath);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->send(nimbra::test::frame(*xml)));
  auto payload = peer->readFrame(kWait);
  ASSERT_TRUE(payload);
  auto reply = PropertyList::decode(*payload);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply->find("echo"), Value(Dictionary{{"format", "xml"}}));
}

TEST_F(ServiceListenerTest, FrameOfExactlyTheLimitIsAccepted) {
  auto c = config();
  c.maxFrameBytes = 4096;
  startEcho(c);
  // Grow a data blob until the encoded dictionary is exactly the limit.
  std::string payload;
  for (std::size_t n = 4000; n < 4096; ++n) {
    payload = binary(Dictionary{{"d", Data(n, 7)}});
    if (payload.size() == 4096) break;
  }
  ASSERT_EQ(payload.size(), 4096u);
  auto peer = RawPeer::connect(listener_->config().socketPath);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->send(nimbra::test::frame(payload)));
  EXPECT_TRUE(peer->readFrame(kWait));
}

TEST_F(ServiceListenerTest, StalledPartialFrameIsClosedButAnIdlePeerIsNot) {
  auto c = config();
  c.partialFrameTimeout = 300ms;
  startEcho(c);
  auto idle = RawPeer::connect(listener_->config().socketPath);
  auto stalled = RawPeer::connect(listener_->config().socketPath);
  ASSERT_TRUE(idle && stalled);
  ASSERT_TRUE(stalled->send(nimbra::test::frameHeader(50) + "abc"));
  EXPECT_TRUE(stalled->waitForClose(kWait));
  EXPECT_TRUE(sink_->contains("partial frame stalled"));
  // Well past the deadline, the peer that sent nothing is still connected and served.
  EXPECT_TRUE(idle->staysOpen(300ms));
  ASSERT_TRUE(idle->send(nimbra::test::frame(binary(Dictionary{{"late", true}}))));
  EXPECT_TRUE(idle->readFrame(kWait));
  // A frame that arrives in pieces within the deadline is fine.
  auto slow = RawPeer::connect(listener_->config().socketPath);
  ASSERT_TRUE(slow);
  std::string request = nimbra::test::frame(binary(Dictionary{{"slow", true}}));
  ASSERT_TRUE(slow->send(request.substr(0, 5)));
  EXPECT_TRUE(slow->staysOpen(100ms));
  ASSERT_TRUE(slow->send(request.substr(5)));
  EXPECT_TRUE(slow->readFrame(kWait));
  EXPECT_EQ(sink_->count("partial frame stalled"), 1u);
}

TEST_F(ServiceListenerTest, ConnectionsBeyondTheSessionLimitAreClosedAtOnce) {
  auto c = config();
  c.refusalLogWindow = 300ms;
  startEcho(c);
  constexpr int kConnections = 300;
  std::vector<RawPeer> peers;
  for (int i = 0; i < kConnections; ++i) {
    auto peer = RawPeer::connect(listener_->config().socketPath);
    ASSERT_TRUE(peer);
    peers.push_back(std::move(*peer));
  }
  ASSERT_TRUE(sink_->waitFor("session limit", kWait));
  // Exactly the connections beyond 256 are closed; the first 256 are served.
  int closed = 0;
  for (int i = 256; i < kConnections; ++i) closed += peers[static_cast<std::size_t>(i)].waitForClose(kWait) ? 1 : 0;
  EXPECT_EQ(closed, kConnections - 256);
  // One line tells the first refusal; the others are summed up.
  EXPECT_EQ(sink_->count("session limit of 256 reached"), 1u);
  EXPECT_TRUE(sink_->waitFor("connections closed at once for want of a session slot: 43 more in the last 0.3 s", kWait));
  EXPECT_EQ(listener_->openSessions(), 256u);
  std::string request = nimbra::test::frame(binary(Dictionary{{"k", 1}}));
  for (int i = 0; i < 256; ++i) {
    auto& peer = peers[static_cast<std::size_t>(i)];
    ASSERT_TRUE(peer.send(request));
    ASSERT_TRUE(peer.readFrame(kWait)) << "connection " << i;
  }
  // Closing sessions frees their slots.
  peers.erase(peers.begin(), peers.begin() + 10);
  for (int attempt = 0; attempt < 500 && listener_->openSessions() > 246; ++attempt) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(listener_->openSessions(), 246u);
  auto another = client();
  ASSERT_TRUE(another);
  auto reply = another->call(Dictionary{{"k", 2}}, kWait);
  ASSERT_TRUE(reply) << reply.error().message;
}

// Waits until the listener holds `n` connections.
bool waitForOpenSessions(const ServiceListener& listener, std::size_t n) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (listener.openSessions() == n) return true;
    std::this_thread::sleep_for(5ms);
  }
  return listener.openSessions() == n;
}

TEST_F(ServiceListenerTest, EachUserHoldsAFairShareOfTheSessions) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as other users needs root";
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);  // other users reach the socket
  auto c = config();
  c.maxSessions = 12;
  startEcho(c);
  struct Round {
    uid_t uid;
    int connections;
    std::size_t kept;       // the first ones; the rest are closed at once
    std::size_t openAfter;  // connections the listener holds afterwards
    const char* refusal;
  };
  // Alone, a user gets half (the rest stays for root and newcomers); a second
  // user a third; root only meets the overall limit. Shares are not taken
  // back from a user that holds more than a later share.
  const Round rounds[] = {
      {nimbra::test::kHostileUid, 10, 6, 6, "uid 1001 holds its share of 6 of the 12 sessions"},
      {nimbra::test::kOtherHostileUid, 10, 4, 10, "uid 1002 holds its share of 4 of the 12 sessions"},
      {0, 3, 2, 12, "session limit of 12 reached"},
  };
  std::vector<RawPeer> kept;
  for (const auto& round : rounds) {
    SCOPED_TRACE(round.refusal);
    auto peers = round.uid == 0 ? std::vector<RawPeer>{} : nimbra::test::connectAs(round.uid, c.socketPath, round.connections);
    for (int i = 0; round.uid == 0 && i < round.connections; ++i) {
      auto peer = RawPeer::connect(c.socketPath);
      ASSERT_TRUE(peer);
      peers.push_back(std::move(*peer));
    }
    ASSERT_EQ(peers.size(), static_cast<std::size_t>(round.connections));
    for (std::size_t i = round.kept; i < peers.size(); ++i) EXPECT_TRUE(peers[i].waitForClose(kWait)) << i;
    ASSERT_TRUE(waitForOpenSessions(*listener_, round.openAfter)) << listener_->openSessions();
    for (std::size_t i = 0; i < round.kept; ++i) {
      ASSERT_TRUE(peers[i].send(nimbra::test::frame(binary(Dictionary{{"i", static_cast<int>(i)}}))));
      EXPECT_TRUE(peers[i].readFrame(kWait)) << i;
      kept.push_back(std::move(peers[i]));
    }
    // Refusals are told once per user, not once per connection.
    EXPECT_EQ(sink_->count(round.refusal), 1u);
  }
}

TEST_F(ServiceListenerTest, RejectedPeersHoldNoSlotWhileTheQueueIsBusy) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as other users needs root";
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);  // other users reach the socket
  auto c = config();
  c.maxSessions = 4;
  start(c, [](SessionRequest& request) {
    if (request.peer().uid != 0) {
      request.reject("sender is not entitled");
      return;
    }
    request.accept([](const Value& message) { return message; });
  });
  // The session handler cannot run while the queue is busy, so every
  // connection below is undecided when the next one arrives.
  std::promise<void> release;
  auto released = release.get_future().share();
  queue_->async([released] { released.wait(); });

  auto hostile = nimbra::test::connectAs(nimbra::test::kHostileUid, c.socketPath, 40);
  ASSERT_EQ(hostile.size(), 40u);
  std::vector<RawPeer> root;
  for (int i = 0; i < 4; ++i) {
    auto peer = RawPeer::connect(c.socketPath);
    ASSERT_TRUE(peer);
    root.push_back(std::move(*peer));
  }
  // The hostile user waits with its share (2 of 4); the rest was closed at once.
  ASSERT_TRUE(waitForOpenSessions(*listener_, 2 + 4)) << listener_->openSessions();
  for (std::size_t i = 2; i < hostile.size(); ++i) EXPECT_TRUE(hostile[i].waitForClose(kWait)) << i;
  release.set_value();

  for (std::size_t i = 0; i < 2; ++i) {
    auto payload = hostile[i].readFrame(kWait);
    ASSERT_TRUE(payload);
    EXPECT_EQ(*PropertyList::decode(*payload), Value(Dictionary{{"XPCErrorDescription", "sender is not entitled"}}));
  }
  // Root's four take all the sessions: no rejected peer kept one.
  for (auto& peer : root) {
    ASSERT_TRUE(peer.send(nimbra::test::frame(binary(Dictionary{{"root", true}}))));
    EXPECT_TRUE(peer.readFrame(kWait));
  }
  EXPECT_TRUE(waitForOpenSessions(*listener_, 4));
}

struct ThrowingCase {
  const char* name;
  std::function<void(SessionRequest&)> decide;
  const char* logged;
};

class ThrowingHandlerTest : public ServiceListenerTest, public ::testing::WithParamInterface<ThrowingCase> {};

TEST_P(ThrowingHandlerTest, ClosesOnlyThatConnectionAndTheServiceGoesOn) {
  start(config(), GetParam().decide);
  for (int round = 0; round < 2; ++round) {
    auto c = client();
    ASSERT_TRUE(c);
    auto reply = c->call(Dictionary{{"throw", true}}, kWait);
    // Either the rejection of a session handler that threw, or nothing at all.
    if (reply) {
      EXPECT_EQ(*reply, Value(Dictionary{{"XPCErrorDescription", "session not accepted"}}));
    }
    auto next = c->receive(kWait);
    ASSERT_FALSE(next);
    EXPECT_EQ(next.error().kind, ClientError::Kind::closed);
  }
  EXPECT_TRUE(sink_->waitFor(GetParam().logged, kWait));
  EXPECT_EQ(sink_->count(GetParam().logged), 2u);
  EXPECT_TRUE(waitForOpenSessions(*listener_, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Transport, ThrowingHandlerTest,
    ::testing::Values(
        ThrowingCase{"MessageHandlerThrowsStdException",
                     [](SessionRequest& r) {
                       r.accept([](const Value&) -> Value { throw std::runtime_error("boom"); });
                     },
                     "message handler failed: boom; closing the connection of pid"},
        ThrowingCase{"MessageHandlerThrowsSomethingElse",
                     [](SessionRequest& r) { r.accept([](const Value&) -> Value { throw 42; }); },
                     "message handler failed: an exception that is not a std::exception"},
        ThrowingCase{"SessionHandlerThrows", [](SessionRequest&) { throw std::runtime_error("no verdict"); },
                     "session handler failed: no verdict"},
        ThrowingCase{"SessionHandlerThrowsSomethingElse", [](SessionRequest&) { throw 7; },
                     "session handler failed with an exception that is not a std::exception"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RejectionCase {
  const char* name;
  std::function<void(SessionRequest&)> decide;
  const char* reason;
};

class RejectionTest : public ServiceListenerTest, public ::testing::WithParamInterface<RejectionCase> {};

TEST_P(RejectionTest, PeerReadsOneErrorFrameThenTheEnd) {
  start(config(), GetParam().decide);
  auto c = client();
  ASSERT_TRUE(c);
  // Requests sent before the verdict never reach a handler.
  (void)c->send(Dictionary{{"early", true}}, kWait);
  auto reply = c->receive(kWait);
  ASSERT_TRUE(reply) << reply.error().message;
  EXPECT_EQ(*reply, Value(Dictionary{{"XPCErrorDescription", GetParam().reason}}));
  auto next = c->receive(kWait);
  ASSERT_FALSE(next);
  EXPECT_EQ(next.error().kind, ClientError::Kind::closed);
  EXPECT_EQ(listener_->openSessions(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Transport, RejectionTest,
    ::testing::Values(RejectionCase{"Rejected", [](SessionRequest& r) { r.reject("sender is not entitled"); },
                                    "sender is not entitled"},
                      RejectionCase{"NeitherAcceptedNorRejected", [](SessionRequest&) {}, "session not accepted"},
                      RejectionCase{"RejectWinsOverALaterAccept",
                                    [](SessionRequest& r) {
                                      r.reject("Not entitled to send Velmora events");
                                      r.accept([](const Value& v) { return v; });
                                    },
                                    "Not entitled to send Velmora events"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceListenerTest, SocketFileIsBoundWithItsModeAndRemovedOnDestruction) {
  auto c = config("com.corvane.test.private");
  c.mode = 0600;
  startEcho(c);
  struct stat st{};
  ASSERT_EQ(::lstat(c.socketPath.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto peer = RawPeer::connect(c.socketPath);
  ASSERT_TRUE(peer);
  listener_.reset();
  EXPECT_TRUE(peer->waitForClose(kWait));
  EXPECT_NE(::lstat(c.socketPath.c_str(), &st), 0);
}

TEST_F(ServiceListenerTest, BindingReplacesOnlyAStaleSocket) {
  auto c = config();
  // A socket file left behind by a previous run.
  {
    auto stale = ServiceListener::start(c, [](SessionRequest& r) { r.reject("x"); });
    ASSERT_TRUE(stale);
    // Keep the file, drop the listener: emulate a crash by hard-linking the
    // socket file away and back.
    ASSERT_EQ(::link(c.socketPath.c_str(), dir_.file("kept").c_str()), 0);
  }
  ASSERT_EQ(::rename(dir_.file("kept").c_str(), c.socketPath.c_str()), 0);
  startEcho(c);
  expectServiceStillAnswers();

  // A live listener on the path is not displaced.
  auto second = ServiceListener::start(c, [](SessionRequest& r) { r.reject("x"); });
  ASSERT_FALSE(second);
  EXPECT_NE(second.error().find("another listener"), std::string::npos) << second.error();
  expectServiceStillAnswers();

  // Anything but a socket is left alone.
  auto other = config("com.corvane.test.file");
  dir_.write(other.name, "precious");
  auto refused = ServiceListener::start(other, [](SessionRequest& r) { r.reject("x"); });
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().find("not a socket"), std::string::npos) << refused.error();
  struct stat st{};
  ASSERT_EQ(::lstat(other.socketPath.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 8);
}

}  // namespace
