// nimbractl run as a program against listeners and sockets of this process.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <regex>
#include <thread>

#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/ServiceListener.h"
#include "platform/UserDefaults.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using namespace std::chrono_literals;
using nimbra::test::ProcessResult;

namespace {

constexpr const char* kVelmora = "com.corvane.nimbra.velmora";

class NimbractlTest : public ::testing::Test {
 protected:
  void TearDown() override {
    listener_.reset();
    queue_->sync([] {});
  }

  ProcessResult nimbractl(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), NIMBRACTL_BINARY);
    return nimbra::test::runProcess(
        args, {{"RUNTIME_DIRECTORY", dir_.path()}, {"CONFIGURATION_DIRECTORY", dir_.path()}}, input, 20s);
  }

  // A service that records each message and answers with `reply`, or rejects.
  void serve(const std::string& name, Value reply, std::optional<std::string> rejection = std::nullopt,
             std::chrono::milliseconds delay = 0ms) {
    ServiceConfig config;
    config.name = name;
    config.socketPath = dir_.file(name);
    config.targetQueue = queue_;
    auto started = ServiceListener::start(config, [this, reply, rejection, delay](SessionRequest& request) {
      if (rejection) {
        request.reject(*rejection);
        return;
      }
      request.accept([this, reply, delay](const Value& message) {
        {
          std::lock_guard lock(mutex_);
          received_.push_back(message);
        }
        if (delay > 0ms) std::this_thread::sleep_for(delay);
        return reply;
      });
    });
    ASSERT_TRUE(started) << started.error();
    listener_ = std::move(started).value();
  }

  std::vector<Value> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

  nimbra::test::TempDirectory dir_;
  nimbra::test::LogCapture sink_{LogLevel::Default};
  std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::makeSerial("com.corvane.test.nimbractl");
  std::unique_ptr<ServiceListener> listener_;
  std::mutex mutex_;
  std::vector<Value> received_;  // GUARDED_BY(mutex_)
};

std::string stringAt(const Value& event, const char* key) {
  const Value* v = event.find(key);
  return v && v->asString() ? *v->asString() : "<missing or not a string>";
}

TEST_F(NimbractlTest, EventSendFillsInEveryKeyFromThePathsAndDefaults) {
  serve(kVelmora, Dictionary{{"result", 0}});
  auto run = nimbractl({"event", "send", "--process-path", "/opt/example/bin/example",
                        "--target-path", "/opt/example/libexec/helper", "--process-team-identifier",
                        "TEAM1234", "--uid", "501"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("<key>result</key>"), std::string::npos) << run.out;
  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  const Value& event = messages[0];
  ASSERT_TRUE(event.asDictionary());
  EXPECT_EQ(event.asDictionary()->size(), 20u);
  EXPECT_EQ(stringAt(event, "ProcessName"), "example");
  EXPECT_EQ(stringAt(event, "ProcessPath"), "/opt/example/bin/example");
  EXPECT_EQ(stringAt(event, "TargetFilename"), "helper");
  EXPECT_EQ(stringAt(event, "TargetPath"), "/opt/example/libexec/helper");
  EXPECT_EQ(stringAt(event, "ResponsiblePath"), "/opt/example/bin/example");
  EXPECT_EQ(stringAt(event, "ResponsibleName"), "example");
  EXPECT_EQ(stringAt(event, "ProcessTeamIdentifier"), "TEAM1234");
  EXPECT_EQ(stringAt(event, "TargetTeamIdentifier"), "<unknown>");
  EXPECT_EQ(stringAt(event, "ResponsibleDeveloperName"), "<unknown>");
  EXPECT_EQ(stringAt(event, "UID"), "501");
  EXPECT_TRUE(std::regex_match(stringAt(event, "EventTimestamp"),
                               std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")));
}

TEST_F(NimbractlTest, EventSendStartsFromAFileAndOptionsWin) {
  serve(kVelmora, Dictionary{{"result", 0}});
  auto xml = PropertyList::encodeXml(Dictionary{{"ProcessPath", "/usr/bin/tool"}, {"ProcessName", "from-file"},
                                                {"UID", "0"}, {"Extra", "kept"}});
  ASSERT_TRUE(xml);
  std::string file = dir_.write("event.plist", *xml);
  auto run = nimbractl({"event", "send", "--file", file, "--process-name", "from-option"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(stringAt(messages[0], "ProcessName"), "from-option");
  EXPECT_EQ(stringAt(messages[0], "UID"), "0");
  EXPECT_EQ(stringAt(messages[0], "TargetFilename"), "tool");
  EXPECT_EQ(stringAt(messages[0], "Extra"), "kept");
  // The caller's own user id is the default.
  auto defaulted = nimbractl({"event", "send", "--process-path", "/usr/bin/tool"});
  ASSERT_EQ(defaulted.status, 0) << defaulted.err;
  EXPECT_EQ(stringAt(received().at(1), "UID"), std::to_string(::getuid()));
}

TEST_F(NimbractlTest, RawEventFileIsSentUnchanged) {
  // An invalid event on purpose: UID is an integer.
  serve(kVelmora, Dictionary{{"result", 1}});
  std::string bytes = PropertyList::encodeBinary(Dictionary{{"UID", 501}});
  std::string file = dir_.write("raw.bplist", bytes);
  auto run = nimbractl({"event", "send", "--raw", "--file", file});
  EXPECT_EQ(run.status, 1);  // the daemon refused it
  EXPECT_NE(run.err.find("result 1"), std::string::npos) << run.err;
  auto messages = received();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], Value(Dictionary{{"UID", 501}}));
}

struct FailureCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* message;  // part of standard error
};

class NimbractlFailureTest : public NimbractlTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(NimbractlFailureTest, ExitsNonZeroWithAClearMessage) {
  const auto& param = GetParam();
  std::vector<std::string> args = param.args;
  for (auto& arg : args) {
    if (arg == "@GARBAGE@") arg = dir_.write("garbage.plist", "not a property list");
    if (arg == "@EVENT@") arg = dir_.write("event.plist", "<plist><dict><key>ProcessPath</key><string>/x</string></dict></plist>");
  }
  std::string name(param.name);
  if (name == "Rejected") serve(kVelmora, Dictionary{}, std::string("Not entitled to send Velmora events"));
  if (name == "NoReplyInTime") serve(kVelmora, Dictionary{{"result", 0}}, std::nullopt, 1500ms);
  if (name == "ConnectionClosedWithoutReply") serve(kVelmora, Dictionary{{"result", 0}});
  auto run = nimbractl(args);
  EXPECT_EQ(run.status, param.status) << run.err;
  EXPECT_NE(run.err.find(param.message), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Tool, NimbractlFailureTest,
    ::testing::Values(
        FailureCase{"DaemonNotRunning", {"event", "send", "--process-path", "/x"}, 1, "is nimbrad running?"},
        FailureCase{"Rejected", {"event", "send", "--process-path", "/x"}, 1,
                    "rejected the session: Not entitled to send Velmora events"},
        FailureCase{"NoReplyInTime", {"--timeout", "0.3", "event", "send", "--file", "@EVENT@"}, 1, "no reply"},
        FailureCase{"ConnectionClosedWithoutReply", {"event", "send", "--raw", "--file", "@GARBAGE@"}, 1,
                    "closed the connection without a reply"},
        FailureCase{"EventWithoutPath", {"event", "send", "--uid", "1"}, 2, "needs --process-path"},
        FailureCase{"UnknownEventOption", {"event", "send", "--colour", "red"}, 2, "unknown option '--colour'"},
        FailureCase{"BadEventFile", {"event", "send", "--file", "@GARBAGE@"}, 2, "is not a property list"},
        FailureCase{"MissingEventFile", {"event", "send", "--file", "/nonexistent/event.plist"}, 2, "cannot open"},
        FailureCase{"CallBadFile", {"call", kVelmora, "@GARBAGE@"}, 2, "is not a property list"},
        FailureCase{"CallServiceOutsideTheRuntimeDirectory", {"call", "../etc", "-"}, 2, "not a service name"},
        FailureCase{"UnknownCommand", {"frobnicate"}, 2, "unknown command 'frobnicate'"},
        FailureCase{"NotifyWithoutCenter", {"notify", "com.corvane.nimbra.policy.changed"}, 1, "no notify center"},
        FailureCase{"DefaultsBadInteger", {"defaults", "write", "d", "k", "-int", "12x"}, 2, "not a decimal"},
        FailureCase{"DefaultsMissingDomain", {"defaults", "read", "absent"}, 1, "does not exist"},
        FailureCase{"DefaultsDomainEscapes", {"defaults", "read", "../passwd"}, 2, "not a domain name"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NimbractlTest, CallSendsAnyPropertyListAndPrintsTheReplyAsXml) {
  serve("com.corvane.nimbra.database", Dictionary{{"output", "ok"}});
  auto xml = PropertyList::encodeXml(Dictionary{{"command", "dump"}});
  ASSERT_TRUE(xml);
  auto run = nimbractl({"call", "com.corvane.nimbra.database", "-"}, *xml);
  ASSERT_EQ(run.status, 0) << run.err;
  auto printed = PropertyList::decode(run.out);
  ASSERT_TRUE(printed) << run.out;
  EXPECT_EQ(*printed, Value(Dictionary{{"output", "ok"}}));
  ASSERT_EQ(received().size(), 1u);
  EXPECT_EQ(received()[0], Value(Dictionary{{"command", "dump"}}));
}

struct DefaultsWriteCase {
  std::vector<std::string> value;  // optional flag, then VALUE
  Value stored;
};

TEST_F(NimbractlTest, DefaultsWriteStoresTheTypeTheFlagOrTheTextSays) {
  const DefaultsWriteCase cases[] = {
      {{"7200"}, Value(7200)},
      {{"-15"}, Value(-15)},
      {{"true"}, Value(true)},
      {{"NO"}, Value(false)},
      {{"yes"}, Value("yes")},
      {{"1.5"}, Value("1.5")},
      {{"99999999999999999999"}, Value("99999999999999999999")},
      {{"-int", "+42"}, Value(42)},
      {{"-bool", "no"}, Value(false)},
      {{"-bool", "1"}, Value(true)},
      {{"-float", "1.5"}, Value(1.5)},
      {{"-string", "42"}, Value("42")},
      {{"-string", "-int"}, Value("-int")},
  };
  UserDefaults domain(dir_.path(), "com.corvane.nimbra.policy");
  for (const auto& c : cases) {
    std::vector<std::string> args = {"defaults", "write", "com.corvane.nimbra.policy", "velmora.key"};
    args.insert(args.end(), c.value.begin(), c.value.end());
    auto run = nimbractl(args);
    ASSERT_EQ(run.status, 0) << c.value.back() << ": " << run.err;
    EXPECT_EQ(domain.object("velmora.key"), std::optional<Value>(c.stored)) << c.value.back();
  }
}

TEST_F(NimbractlTest, DefaultsReadAndDeleteRoundTrip) {
  ASSERT_EQ(nimbractl({"defaults", "write", "com.corvane.nimbrad", "logLevel", "debug"}).status, 0);
  ASSERT_EQ(nimbractl({"defaults", "write", "com.corvane.nimbrad", "dbSyncInterval", "600"}).status, 0);
  auto value = nimbractl({"defaults", "read", "com.corvane.nimbrad", "dbSyncInterval"});
  EXPECT_EQ(value.status, 0);
  EXPECT_EQ(value.out, "600\n");
  auto whole = nimbractl({"defaults", "read", "com.corvane.nimbrad"});
  ASSERT_EQ(whole.status, 0);
  auto parsed = PropertyList::decode(whole.out);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, Value(Dictionary{{"logLevel", "debug"}, {"dbSyncInterval", 600}}));
  EXPECT_EQ(nimbractl({"defaults", "delete", "com.corvane.nimbrad", "logLevel"}).status, 0);
  EXPECT_EQ(nimbractl({"defaults", "read", "com.corvane.nimbrad", "logLevel"}).status, 1);
  EXPECT_EQ(nimbractl({"defaults", "delete", "com.corvane.nimbrad", "logLevel"}).status, 1);
  EXPECT_EQ(nimbractl({"defaults", "delete", "com.corvane.nimbrad"}).status, 0);
  EXPECT_NE(::access(dir_.file("com.corvane.nimbrad.plist").c_str(), F_OK), 0);
  // A broken domain is reported, and not replaced by a write.
  dir_.write("broken.plist", "garbage");
  EXPECT_EQ(nimbractl({"defaults", "read", "broken"}).status, 1);
  EXPECT_EQ(nimbractl({"defaults", "write", "broken", "k", "v"}).status, 1);
  EXPECT_EQ(PropertyList::readFile(dir_.file("broken.plist")).hasValue(), false);
}

TEST_F(NimbractlTest, NotifyPostsOneDatagramWithTheName) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = dir_.file("notify");
  std::memcpy(address.sun_path, path.data(), path.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  auto run = nimbractl({"notify", "com.corvane.nimbra.policy.changed"});
  EXPECT_EQ(run.status, 0) << run.err;
  char buffer[600];
  ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
  ::close(fd);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), "com.corvane.nimbra.policy.changed");
}

}  // namespace
