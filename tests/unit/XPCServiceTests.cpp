#include "nimbrad/XPCService.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/PropertyList.h"
#include "tests/support/FakeEntitlements.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/UnprivilegedPeers.h"

namespace {

using namespace std::chrono_literals;
using platform::Dictionary;
using platform::PeerIdentity;
using platform::Value;

// Handlers act for their caller (the user whose report, whose applications):
// each message must come with the peer of its own session, whoever else is
// connected.
TEST(XPCService, EachHandlerCallReceivesItsSessionsPeer) {
  nimbra::test::TempDirectory dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // other users reach the socket
  nimbra::test::ScopedEnv runtime("RUNTIME_DIRECTORY", dir.path());
  auto entitlements = std::make_shared<nimbra::test::FakeEntitlements>();
  entitlements->set("com.corvane.private.nimbra.test", Value(true));
  nimbra::XPCServiceDescription description;
  description.machServiceName = "com.corvane.nimbra.test.peers";
  description.entitlements = {"com.corvane.private.nimbra.test"};
  description.transactionLabel = "com.corvane.nimbrad.test";
  auto listener = nimbra::XPCService::listen(
      description, platform::DispatchQueue::makeSerial("com.corvane.nimbra.test.peers"),
      [](const Value&, const PeerIdentity& peer) {
        return Value(Dictionary{{"pid", Value(std::int64_t{peer.pid})},
                                {"uid", Value(std::int64_t{peer.uid})},
                                {"gid", Value(std::int64_t{peer.gid})}});
      },
      std::make_shared<nimbra::EntitlementChecker>(entitlements));
  ASSERT_TRUE(listener) << listener.error();
  const std::string path = dir.file(description.machServiceName);

  struct Caller {
    std::int64_t uid;
    std::int64_t gid;
    nimbra::test::RawPeer peer;
  };
  std::vector<Caller> callers;
  for (uid_t uid : {nimbra::test::kHostileUid, nimbra::test::kOtherHostileUid}) {
    auto connected = nimbra::test::connectAs(uid, path, 1);
    ASSERT_EQ(connected.size(), 1u);
    // connectAs runs its child with the group of the same number.
    callers.push_back({uid, uid, std::move(connected[0])});
  }
  auto own = nimbra::test::RawPeer::connect(path);
  ASSERT_TRUE(own);
  callers.push_back({::getuid(), ::getgid(), std::move(*own)});

  // Requests of the three sessions interleave on the one queue.
  for (int round = 0; round < 2; ++round) {
    for (auto& caller : callers) {
      ASSERT_TRUE(caller.peer.send(nimbra::test::frame(platform::PropertyList::encodeBinary(Value(Dictionary{})))));
    }
    for (auto& caller : callers) {
      auto reply = caller.peer.readFrame(5s);
      ASSERT_TRUE(reply);
      auto decoded = platform::PropertyList::decode(*reply);
      ASSERT_TRUE(decoded);
      auto field = [&](const char* name) -> std::int64_t {
        const Value* value = decoded->find(name);
        return value != nullptr && value->asInteger() != nullptr ? *value->asInteger() : -2;
      };
      SCOPED_TRACE(caller.uid);
      EXPECT_EQ(field("uid"), caller.uid);
      EXPECT_EQ(field("gid"), caller.gid);
      if (&caller == &callers.back()) {
        EXPECT_EQ(field("pid"), ::getpid());
      }
    }
  }
}

}  // namespace
