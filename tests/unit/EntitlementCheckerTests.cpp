#include <gtest/gtest.h>

#include "nimbrad/EntitlementChecker.h"
#include "tests/support/FakeEntitlements.h"
#include "tests/support/LogCapture.h"

using namespace nimbra;
using platform::Value;

TEST(EntitlementChecker, OnlyBooleanTrueGrantsAndEveryFailureIsLogged) {
  test::LogCapture capture(platform::LogLevel::Default);
  auto source = std::make_shared<test::FakeEntitlements>();
  EntitlementChecker checker(source);
  platform::PeerIdentity peer{42, 501, 20, "/usr/bin/tool"};

  source->set("granted", Value(true));
  source->set("refused", Value(false));
  source->set("text", Value("true"));
  source->set("number", Value(1));
  struct Case {
    const char* name;
    bool expected;
    const char* line;
  };
  const Case cases[] = {
      {"granted", true, "nimbra: isEntitled: returning true"},
      {"refused", false, "nimbra: isEntitled: returning false"},
      {"text", false, "nimbra: isEntitled: value returned is not a Bool"},
      {"number", false, "nimbra: isEntitled: value returned is not a Bool"},
      {"absent", false, "nimbra: isEntitled: SecTaskCopyValueForEntitlement returned nil"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    capture->clear();
    EXPECT_EQ(checker.isEntitled(peer, c.name), c.expected);
    EXPECT_EQ(capture->count(c.line), 1u);
  }

  capture->clear();
  source->setError("registry file is not a property list");
  EXPECT_FALSE(checker.isEntitled(peer, "absent"));
  EXPECT_TRUE(capture->contains("nimbra: isEntitled failed: registry file is not a property list"));

  capture->clear();
  source->setIdentifiable(false);
  EXPECT_FALSE(checker.isEntitled(peer, "granted"));
  EXPECT_TRUE(capture->contains("nimbra: XPCListener: failed to get SecTask object for session auditToken"));
}
