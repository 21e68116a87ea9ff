#include <gtest/gtest.h>

#include "tests/support/DaemonHarness.h"
#include "tests/support/SharedDaemonTest.h"
#include "tests/support/LaunchEvents.h"

using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

const Value kAccepted(Dictionary{{"result", Value(0)}});
const Value kRefused(Dictionary{{"result", Value(1)}});

class LaunchEventValidation : public SharedDaemonTest {};

}  // namespace

TEST_F(LaunchEventValidation, UIDTextsAreParsedStrictly) {
  struct Case {
    const char* uid;
    bool accepted;
  };
  const Case cases[] = {{"501", true},         {"+501", true}, {"-0", true},   {"0", true},
                        {"4294967295", true},  {"-1", false},  {"4294967296", false},
                        {"", false},           {"5o1", false}, {" 501", false}, {"501 ", false},
                        {"+", false},          {"--1", false}, {"99999999999999999999", false}};
  auto client = daemon_->connect("com.corvane.nimbra.velmora");
  ASSERT_TRUE(client);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("UID=\"") + c.uid + "\"");
    auto reply = client->call(messageWith(sampleEvent(), "UID", Value(c.uid)), 10s);
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(*reply, c.accepted ? kAccepted : kRefused);
    if (!c.accepted) {
      EXPECT_TRUE(daemon_->waitForLine(std::string("<nimbrad> Failed to extract event data: Invalid UID value: ") +
                                       c.uid + " is not uid_t"));
    }
  }
}

TEST_F(LaunchEventValidation, TheFirstFailingKeyInReadingOrderDecides) {
  auto event = sampleEvent();
  struct Case {
    const char* label;
    Value message;
    const char* error;
  };
  Value missingNameAndUID = messageWith(event, "ProcessName", Value());
  missingNameAndUID.asDictionary()->erase("UID");
  Value pathIntegerAndTargetMissing = messageWith(event, "ProcessPath", Value(7));
  pathIntegerAndTargetMissing.asDictionary()->erase("TargetPath");
  Value badUIDAndMissingTimestamp = messageWith(event, "UID", Value("x"));
  badUIDAndMissingTimestamp.asDictionary()->erase("EventTimestamp");
  // Two identifiers equal up to a NUL byte would be one identity wherever a
  // C string is taken: both are refused, naming the key.
  const std::string nul("\0", 1);
  Value nulNameAndTargetMissing = messageWith(event, "ProcessName", Value("Sample" + nul));
  nulNameAndTargetMissing.asDictionary()->erase("TargetPath");
  const Case cases[] = {
      {"identifier with a NUL, first", messageWith(event, "ProcessBundleIdentifier", Value("com.example.same" + nul + "one")),
       "Field 'ProcessBundleIdentifier' contains a NUL character"},
      {"identifier with a NUL, second", messageWith(event, "ProcessBundleIdentifier", Value("com.example.same" + nul + "two")),
       "Field 'ProcessBundleIdentifier' contains a NUL character"},
      {"NUL before a missing key", nulNameAndTargetMissing, "Field 'ProcessName' contains a NUL character"},
      {"NUL in the uid", messageWith(event, "UID", Value("501" + nul)), "Field 'UID' contains a NUL character"},
      {"integer path", messageWith(event, "ProcessPath", Value(42)), "Field 'ProcessPath' is not a String"},
      {"missing target path", messageWith(event, "TargetPath", Value()), "Missing required field: TargetPath"},
      {"name and uid missing", missingNameAndUID, "Missing required field: ProcessName"},
      {"path before target", pathIntegerAndTargetMissing, "Field 'ProcessPath' is not a String"},
      {"timestamp before uid", badUIDAndMissingTimestamp, "Missing required field: EventTimestamp"},
      {"uid as integer", messageWith(event, "UID", Value(501)), "Field 'UID' is not a String"},
      {"boolean developer", messageWith(event, "ResponsibleDeveloperName", Value(true)),
       "Field 'ResponsibleDeveloperName' is not a String"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::size_t before = daemon_->count(std::string("<nimbrad> Failed to extract event data: ") + c.error);
    auto reply = daemon_->call("com.corvane.nimbra.velmora", c.message);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, kRefused);
    EXPECT_TRUE(daemon_->waitForCount(std::string("<nimbrad> Failed to extract event data: ") + c.error, before + 1,
                                      5s));
  }
}

TEST_F(LaunchEventValidation, ExtraKeysUnknownValuesAndEmptyStringsAreAccepted) {
  auto event = sampleEvent();
  event.processBundleID = "<unknown>";
  event.targetDeveloperName = "";
  Value message = messageWith(event, "SomethingElse", Value(Dictionary{{"nested", Value(1)}}));
  EXPECT_EQ(daemon_->call("com.corvane.nimbra.velmora", message), kAccepted) << daemon_->logText();
}
