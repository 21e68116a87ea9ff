#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "platform/FileDescriptor.h"
#include "platform/PropertyList.h"
#include "platform/ServiceClient.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

// A listening socket that the test drives by hand: it accepts only when
// asked, and then plays the service side byte by byte.
class ManualServer {
 public:
  ManualServer(const std::string& path, int backlog) : path_(path) {
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd_.get(), backlog), 0);
  }
  void acceptOne() { peer_.reset(::accept(fd_.get(), nullptr, nullptr)); }
  void write(const std::string& bytes) { ASSERT_EQ(::send(peer_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
  void closePeer() { peer_.reset(); }

 private:
  std::string path_;
  platform::FileDescriptor fd_;
  platform::FileDescriptor peer_;
};

class ServiceClientTest : public ::testing::Test {
 protected:
  nimbra::test::TempDirectory dir_;
  std::string path_ = dir_.file("service");
};

template <typename T>
ClientError::Kind kindOf(const Expected<T, ClientError>& result) {
  EXPECT_FALSE(result);
  return result ? ClientError::Kind::io : result.error().kind;
}

TEST_F(ServiceClientTest, ConnectingWhereNothingListensFails) {
  auto missing = ServiceClient::connect(path_, 1s);
  EXPECT_EQ(kindOf(missing), ClientError::Kind::connectFailed);
  EXPECT_NE(missing.error().message.find(path_), std::string::npos);
}

TEST_F(ServiceClientTest, EveryBlockingCallHonoursItsTimeout) {
  ManualServer server(path_, 0);
  // The server never accepts: the first connection waits in the backlog, the
  // next finds it full and gives up at its deadline.
  auto first = ServiceClient::connect(path_, 1s);
  ASSERT_TRUE(first) << first.error().message;
  auto start = std::chrono::steady_clock::now();
  auto second = ServiceClient::connect(path_, 200ms);
  EXPECT_EQ(kindOf(second), ClientError::Kind::timedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms);

  // No reply ever comes.
  start = std::chrono::steady_clock::now();
  auto reply = (*first)->call(Dictionary{{"k", 1}}, 200ms);
  EXPECT_EQ(kindOf(reply), ClientError::Kind::timedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms);

  // Nobody reads: a large request fills the socket buffers.
  start = std::chrono::steady_clock::now();
  auto sent = (*first)->send(Dictionary{{"blob", Data(32 * 1024 * 1024, 1)}}, 200ms);
  EXPECT_EQ(kindOf(sent), ClientError::Kind::timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(ServiceClientTest, RepliesArrivingTogetherAreReturnedOneByOne) {
  ManualServer server(path_, 4);
  auto client = ServiceClient::connect(path_, 1s);
  ASSERT_TRUE(client);
  server.acceptOne();
  std::string both;
  for (int i = 0; i < 3; ++i) both += nimbra::test::frame(PropertyList::encodeBinary(Dictionary{{"i", i}}));
  // Split the last frame across two writes as well.
  server.write(both.substr(0, both.size() - 3));
  std::thread rest([&] {
    std::this_thread::sleep_for(50ms);
    server.write(both.substr(both.size() - 3));
  });
  for (int i = 0; i < 3; ++i) {
    auto reply = (*client)->receive(2s);
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(*reply, Value(Dictionary{{"i", i}}));
  }
  rest.join();
}

TEST_F(ServiceClientTest, AClientsReplyLimitHoldsToTheByte) {
  constexpr std::size_t kLimit = 64 * 1024;
  // Replies of exactly kLimit and kLimit + 1 bytes: one data object sized to fit.
  const std::size_t overhead = PropertyList::encodeBinary(Value(Data(1000))).size() - 1000;
  const Value atLimit(Data(kLimit - overhead, 7));
  const Value aboveLimit(Data(kLimit + 1 - overhead, 7));
  ASSERT_EQ(PropertyList::encodeBinary(atLimit).size(), kLimit);
  ASSERT_EQ(PropertyList::encodeBinary(aboveLimit).size(), kLimit + 1);

  ManualServer server(path_, 4);
  auto client = ServiceClient::connect(path_, 1s);
  ASSERT_TRUE(client);
  EXPECT_EQ((*client)->maxReplyBytes(), ServiceClient::kDefaultMaxReplyBytes);
  (*client)->setMaxReplyBytes(kLimit);
  server.acceptOne();
  server.write(nimbra::test::frame(PropertyList::encodeBinary(atLimit)));
  auto accepted = (*client)->receive(2s);
  ASSERT_TRUE(accepted) << accepted.error().message;
  EXPECT_EQ(*accepted, atLimit);
  server.write(nimbra::test::frame(PropertyList::encodeBinary(aboveLimit)));
  auto refused = (*client)->receive(2s);
  EXPECT_EQ(kindOf(refused), ClientError::Kind::protocol);
  EXPECT_NE(refused.error().message.find("exceeds the limit of 65536 bytes"), std::string::npos);
}

struct BadReplyCase {
  const char* name;
  std::string bytes;
  ClientError::Kind kind;
};

class BadReplyTest : public ServiceClientTest, public ::testing::WithParamInterface<BadReplyCase> {};

TEST_P(BadReplyTest, IsReportedAsAnError) {
  ManualServer server(path_, 4);
  auto client = ServiceClient::connect(path_, 1s);
  ASSERT_TRUE(client);
  server.acceptOne();
  server.write(GetParam().bytes);
  server.closePeer();
  auto reply = (*client)->receive(2s);
  EXPECT_EQ(kindOf(reply), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Client, BadReplyTest,
    ::testing::Values(BadReplyCase{"NotAPropertyList", nimbra::test::frame("nonsense"), ClientError::Kind::protocol},
                      BadReplyCase{"AboveTheReplyLimit", nimbra::test::frameHeader(0x7fffffff), ClientError::Kind::protocol},
                      BadReplyCase{"ClosedMidFrame", nimbra::test::frameHeader(40) + "abc", ClientError::Kind::closed},
                      BadReplyCase{"ClosedBeforeAnyReply", "", ClientError::Kind::closed}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
