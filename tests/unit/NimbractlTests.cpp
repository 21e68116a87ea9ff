// nimbractl run as a program against listeners and sockets of this process.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "nimbrad/XPCService.h"
#include "platform/FileDescriptor.h"
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
  EXPECT_EQ(run.out, "result: 0\n");
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

// What the fake service on the launch event socket does in a case.
enum class Server { none, accepts, refuses, rejects, slow, notAvailable };

struct ExitCase {
  const char* name;
  Server server;
  std::vector<std::string> args;
  int status;
  const char* message;  // part of standard error; empty: standard error is empty
};

class NimbractlExitStatusTest : public NimbractlTest, public ::testing::WithParamInterface<ExitCase> {};

// One exit-status table for every command: 0 success, 1 failure answered,
// 2 usage (nothing sent), 3 unreachable, 4 denied.
TEST_P(NimbractlExitStatusTest, MapsTheOutcomeToItsStatus) {
  const auto& param = GetParam();
  std::vector<std::string> args = param.args;
  for (auto& arg : args) {
    if (arg == "@GARBAGE@") arg = dir_.write("garbage.plist", "not a property list");
    if (arg == "@EVENT@") arg = dir_.write("event.plist", "<plist><dict><key>ProcessPath</key><string>/x</string></dict></plist>");
    if (arg == "@BADUIDEVENT@") {
      arg = dir_.write("bad-uid.plist", "<plist><dict><key>ProcessPath</key><string>/x</string>"
                                        "<key>UID</key><string>-1</string></dict></plist>");
    }
  }
  switch (param.server) {
    case Server::none: break;
    case Server::accepts: serve(kVelmora, Dictionary{{"result", 0}}); break;
    case Server::refuses: serve(kVelmora, Dictionary{{"result", 1}}); break;
    case Server::rejects: serve(kVelmora, Dictionary{}, std::string("Not entitled to send Velmora events")); break;
    case Server::slow: serve(kVelmora, Dictionary{{"result", 0}}, std::nullopt, 1500ms); break;
    case Server::notAvailable: serve(kVelmora, nimbra::XPCService::notAvailableReply()); break;
  }
  auto run = nimbractl(args);
  EXPECT_EQ(run.status, param.status) << run.err;
  if (*param.message == '\0') {
    EXPECT_EQ(run.err, "");
  } else {
    EXPECT_NE(run.err.find(param.message), std::string::npos) << run.err;
  }
  if (param.status == 2) {
    EXPECT_TRUE(received().empty()) << "a usage error must be found before sending";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tool, NimbractlExitStatusTest,
    ::testing::Values(
        ExitCase{"Accepted", Server::accepts, {"event", "send", "--process-path", "/x", "--uid", "4294967295",
                                               "--timestamp", "2024-02-29 23:59:59"}, 0, ""},
        ExitCase{"EventRefused", Server::refuses, {"event", "send", "--process-path", "/x"}, 1,
                 "refused the event (result 1)"},
        ExitCase{"NotAvailableYet", Server::notAvailable, {"call", kVelmora, "@EVENT@"}, 1,
                 "com.corvane.nimbra.velmora is not available yet"},
        ExitCase{"ConnectionClosedWithoutReply", Server::accepts, {"event", "send", "--raw", "--file", "@GARBAGE@"},
                 1, "closed the connection without a reply"},
        ExitCase{"DaemonNotRunning", Server::none, {"event", "send", "--process-path", "/x"}, 3, "is nimbrad running?"},
        ExitCase{"NoReplyInTime", Server::slow, {"event", "send", "--file", "@EVENT@", "--timeout", "0.3"}, 3,
                 "no reply"},
        ExitCase{"NotifyWithoutCenter", Server::none, {"notify", "com.corvane.nimbra.policy.changed"}, 3,
                 "no notify center"},
        ExitCase{"Rejected", Server::rejects, {"event", "send", "--process-path", "/x"}, 4,
                 "rejected the session: Not entitled to send Velmora events"},
        ExitCase{"UidNotANumber", Server::accepts, {"event", "send", "--process-path", "/x", "--uid", "5o1"}, 2,
                 "--uid '5o1' is not a user id"},
        ExitCase{"UidAbove32Bits", Server::accepts, {"event", "send", "--process-path", "/x", "--uid", "4294967296"},
                 2, "--uid '4294967296' is not a user id"},
        ExitCase{"UidFromAFile", Server::accepts, {"event", "send", "--file", "@BADUIDEVENT@"}, 2,
                 "--uid '-1' is not a user id"},
        ExitCase{"TimestampNotADay", Server::accepts,
                 {"event", "send", "--process-path", "/x", "--timestamp", "2023-02-29 10:00:00"}, 2,
                 "--timestamp '2023-02-29 10:00:00' is not a time \"yyyy-MM-dd HH:mm:ss\""},
        ExitCase{"TimestampOtherShape", Server::accepts,
                 {"event", "send", "--process-path", "/x", "--timestamp", "2024-01-01T10:00:00"}, 2,
                 "is not a time"},
        ExitCase{"TimestampPastMidnight", Server::accepts,
                 {"event", "send", "--process-path", "/x", "--timestamp", "2024-01-01 24:00:00"}, 2, "is not a time"},
        ExitCase{"EventWithoutPath", Server::accepts, {"event", "send", "--uid", "1"}, 2, "needs --process-path"},
        ExitCase{"UnknownEventOption", Server::accepts, {"event", "send", "--colour", "red"}, 2,
                 "unknown option '--colour'"},
        ExitCase{"OptionOfAnotherCommand", Server::accepts, {"event", "send", "--process-path", "/x", "--rollout", "R"},
                 2, "the command 'event' has no option --rollout"},
        ExitCase{"OptionWithoutValue", Server::accepts, {"event", "send", "--process-path"}, 2,
                 "--process-path needs a value"},
        ExitCase{"BadEventFile", Server::accepts, {"event", "send", "--file", "@GARBAGE@"}, 2, "is not a property list"},
        ExitCase{"MissingEventFile", Server::none, {"event", "send", "--file", "/nonexistent/event.plist"}, 2,
                 "cannot open"},
        ExitCase{"CallBadFile", Server::accepts, {"call", kVelmora, "@GARBAGE@"}, 2, "is not a property list"},
        ExitCase{"CallServiceOutsideTheRuntimeDirectory", Server::none, {"call", "../etc", "-"}, 2,
                 "not a service name"},
        ExitCase{"UnknownCommand", Server::none, {"frobnicate"}, 2, "unknown command 'frobnicate'"},
        ExitCase{"DefaultsBadInteger", Server::none, {"defaults", "write", "d", "k", "-int", "12x"}, 2,
                 "not a decimal"},
        ExitCase{"DefaultsMissingDomain", Server::none, {"defaults", "read", "absent"}, 1, "does not exist"},
        ExitCase{"DefaultsDomainEscapes", Server::none, {"defaults", "read", "../passwd"}, 2, "not a domain name"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NimbractlTest, OptionsMayComeAnywhereAndJsonPrintsTheReplyWithItsVerdict) {
  serve(kVelmora, Dictionary{{"result", 0}});
  const std::vector<std::vector<std::string>> orders = {
      {"--json", "event", "send", "--process-path", "/opt/a", "--uid", "502"},
      {"event", "--uid", "502", "send", "--process-path", "/opt/a", "--json"},
      {"event", "send", "--process-path=/opt/a", "--uid=502", "--json", "--timeout", "5"},
      {"--uid", "502", "--timeout=5", "--process-path", "/opt/a", "event", "--json", "send"},
  };
  for (const auto& args : orders) {
    SCOPED_TRACE(::testing::PrintToString(args));
    auto run = nimbractl(args);
    ASSERT_EQ(run.status, 0) << run.err;
    auto json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << run.out;
    EXPECT_EQ(json, nlohmann::json::parse(R"({"result": 0, "ok": true})"));
  }
  auto messages = received();
  ASSERT_EQ(messages.size(), orders.size());
  for (const auto& message : messages) {
    EXPECT_EQ(stringAt(message, "ProcessPath"), "/opt/a");
    EXPECT_EQ(stringAt(message, "UID"), "502");
  }
  // Help anywhere, even after a bad value, and the version.
  for (const auto& args : std::vector<std::vector<std::string>>{{"event", "send", "--uid", "x", "-h"},
                                                                {"help", "event"}}) {
    auto help = nimbractl(args);
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_NE(help.out.find("usage: nimbractl event send"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("  4  permission denied on the service socket"), std::string::npos) << help.out;
  }
  auto version = nimbractl({"defaults", "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("nimbractl [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
}

TEST_F(NimbractlTest, JsonReplyKeepsEveryKindAndSaysWhetherTheCommandSucceeded) {
  Dictionary reply{{"when", Date{1700000000.25}},
                   {"blob", Data{0xde, 0xad, 0xbe, 0xef, 0x01}},
                   {"nested", Dictionary{{"list", Array{1, "two", true, 2.5}}}},
                   {"eventMessage", "line one\nline two"}};
  serve("com.corvane.nimbra.database", reply);
  auto xml = PropertyList::encodeXml(Dictionary{{"dbCommand", "sync"}});
  ASSERT_TRUE(xml);
  auto run = nimbractl({"call", "--json", "com.corvane.nimbra.database", "-"}, *xml);
  ASSERT_EQ(run.status, 0) << run.err;
  auto json = nlohmann::json::parse(run.out, nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << run.out;
  EXPECT_EQ(json, nlohmann::json::parse(R"({
      "when": "2023-11-14T22:13:20.250Z",
      "blob": "3q2+7wE=",
      "nested": {"list": [1, "two", true, 2.5]},
      "eventMessage": "line one\nline two",
      "ok": true})"));

  // A refused event: the reply as sent, with the verdict false.
  listener_.reset();
  serve(kVelmora, Dictionary{{"result", 1}});
  auto refused = nimbractl({"event", "send", "--process-path", "/x", "--json"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(nlohmann::json::parse(refused.out, nullptr, false), nlohmann::json::parse(R"({"result": 1, "ok": false})"));
}

TEST_F(NimbractlTest, TextRepliesKeepTheirLinesAndCannotDriveTheTerminal) {
  serve(kVelmora, Dictionary{{"result", 0},
                             {"note", "first\x1b[2J\nsecond\r"},
                             {"items", Array{Dictionary{{"at", Date{0}}}, Data{}}}});
  auto run = nimbractl({"event", "send", "--process-path", "/x"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "items:\n"
            "  -\n"
            "    at: 1970-01-01T00:00:00.000Z\n"
            "  - (no data)\n"
            "note:\n"
            "  first\\x1b[2J\n"
            "  second\\x0d\n"
            "result: 0\n");
}

TEST_F(NimbractlTest, PermissionDeniedOnTheSocketIsStatusFour) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to switch users";
  serve("com.corvane.nimbra.database", Dictionary{{"result", 11}});
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir_.file("com.corvane.nimbra.database").c_str(), 0600), 0);
  std::string request = dir_.write("sync.plist", "<plist><dict><key>dbCommand</key><string>sync</string></dict></plist>");
  ASSERT_EQ(::chmod(request.c_str(), 0644), 0);
  // As an unprivileged user, the way an administrator's colleague would try.
  auto run = nimbra::test::runProcess(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", NIMBRACTL_BINARY, "call",
       "com.corvane.nimbra.database", request},
      {{"RUNTIME_DIRECTORY", dir_.path()}}, {}, 20s);
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_NE(run.err.find("permission denied on " + dir_.file("com.corvane.nimbra.database")), std::string::npos)
      << run.err;
  EXPECT_TRUE(received().empty());
}

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
  platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(fd);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = dir_.file("notify");
  std::memcpy(address.sun_path, path.data(), path.size());
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  auto run = nimbractl({"notify", "com.corvane.nimbra.policy.changed"});
  EXPECT_EQ(run.status, 0) << run.err;
  char buffer[600];
  ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), "com.corvane.nimbra.policy.changed");
}

}  // namespace
