#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/Directories.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/SharedDaemonTest.h"
#include "tests/support/LaunchEvents.h"

using namespace nimbra::test;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

struct Service {
  const char* name;
  std::vector<const char*> entitlements;  // each one alone is enough
  const char* rejectionLine;
  const char* rejectReason;
  Value request;  // a message the service accepts
};

std::vector<Service> services() {
  Value event = sampleEvent().toMessage();
  Value dictionary(Dictionary{{"dbCommand", Value("filter-status")}});
  return {
      {"com.corvane.nimbra.velmora", {"com.corvane.private.nimbra.velmora"},
       "<nimbrad> XPC VelmoraEvent: sender not entitled", "Not entitled to send Velmora events", event},
      {"com.corvane.nimbra.database", {"com.corvane.private.nimbra.database"},
       "<nimbrad> XPC DatabaseRequest: sender is not entitled", "sender is not entitled", dictionary},
      {"com.corvane.nimbra.processreporter",
       {"com.corvane.private.nimbra.processreporter.access", "com.corvane.nimbra.processreporter.access"},
       "<nimbrad> XPC ProcessReporter: sender is not entitled", "sender is not entitled", Value(Dictionary{})},
      {"com.corvane.nimbra.daemon.unsupported-apps", {"com.corvane.private.nimbra.daemon.unsupported-apps"},
       "<nimbrad> XPC DaemonUnsupportedApps: sender is not entitled", "sender is not entitled",
       Value(Dictionary{{"launchServicesApps", Value(platform::Array{})}})},
      {"com.corvane.nimbra.deprecationwarning", {"com.corvane.private.nimbra.deprecationwarning"},
       "<nimbrad> XPC DeprecationWarning: sender is not entitled", "sender is not entitled", Value(Dictionary{})},
      {"com.corvane.nimbra.daemon.supportedvelmorausage", {"com.corvane.private.nimbra.unsupportedapplicationlist"},
       "<nimbrad> XPC SupportedVelmoraUsage: sender is not entitled", "sender is not entitled",
       Value(Dictionary{{"bundleID", Value(Dictionary{{"_0", Value("com.example.game")}})}})},
  };
}

bool isRejection(const std::optional<Value>& reply, const std::string& reason) {
  return reply && *reply == Value(Dictionary{{"XPCErrorDescription", Value(reason)}});
}

class ServiceFrame : public SharedDaemonTest {};

}  // namespace

TEST_F(ServiceFrame, EachEntitlementNameAloneIsAcceptedAndTrueIsRequired) {
  for (const auto& service : services()) {
    for (const char* entitlement : service.entitlements) {
      SCOPED_TRACE(std::string(service.name) + " with " + entitlement);
      daemon_->grantDriver(Dictionary{{entitlement, Value(true)}});
      auto reply = daemon_->call(service.name, service.request);
      ASSERT_TRUE(reply.has_value());
      EXPECT_FALSE(isRejection(reply, service.rejectReason)) << reply->description();
    }
    // Values that are not Boolean true, and no value at all, are refused.
    const std::pair<const char*, std::optional<Value>> refused[] = {
        {"false", Value(false)}, {"string", Value("true")}, {"integer", Value(1)}, {"absent", std::nullopt}};
    for (const auto& [label, value] : refused) {
      SCOPED_TRACE(std::string(service.name) + " with " + label);
      Dictionary entitlements{{"com.corvane.unrelated.entitlement", Value(true)}};
      if (value) {
        for (const char* entitlement : service.entitlements) entitlements[entitlement] = *value;
      }
      daemon_->grantDriver(entitlements);
      auto reply = daemon_->call(service.name, service.request);
      EXPECT_TRUE(isRejection(reply, service.rejectReason)) << (reply ? reply->description() : "no reply");
    }
    // Rejections of one user and executable are told in full once in a
    // while, naming the peer; repeats are only counted.
    EXPECT_TRUE(daemon_->waitForLine(std::string(service.rejectionLine) + " (pid " + std::to_string(::getpid()) +
                                     ", uid 0, executable " + platform::directories::executablePath() + ")"))
        << daemon_->logText();
  }
  daemon_->grantDriver(allEntitlements());
}

TEST_F(ServiceFrame, APeerWithoutRegistryEntryIsRejected) {
  daemon_->revoke("driver");
  for (const auto& service : services()) {
    SCOPED_TRACE(service.name);
    EXPECT_TRUE(isRejection(daemon_->call(service.name, service.request), service.rejectReason));
  }
  daemon_->grantDriver(allEntitlements());
}

TEST_F(ServiceFrame, SupportedUsageNeedsItsOwnEntitlementNotTheUnsupportedAppsOne) {
  daemon_->grantDriver(Dictionary{{"com.corvane.private.nimbra.daemon.unsupported-apps", Value(true)}});
  auto rejected = daemon_->call("com.corvane.nimbra.daemon.supportedvelmorausage", services()[5].request);
  EXPECT_TRUE(isRejection(rejected, "sender is not entitled"));
  daemon_->grantDriver(Dictionary{{"com.corvane.private.nimbra.unsupportedapplicationlist", Value(true)}});
  auto accepted = daemon_->call("com.corvane.nimbra.daemon.supportedvelmorausage", services()[5].request);
  EXPECT_FALSE(isRejection(accepted, "sender is not entitled"));
  daemon_->grantDriver(allEntitlements());
}

TEST_F(ServiceFrame, ProcessReporterChecksBothNamesEveryTime) {
  daemon_->grantDriver(Dictionary{{"com.corvane.nimbra.processreporter.access", Value(true)}});
  const std::string nil = "nimbra: isEntitled: SecTaskCopyValueForEntitlement returned nil";
  const std::string granted = "nimbra: isEntitled: returning true";
  std::size_t nilBefore = daemon_->count(nil);
  std::size_t trueBefore = daemon_->count(granted);
  auto reply = daemon_->call("com.corvane.nimbra.processreporter", Value(Dictionary{}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_FALSE(isRejection(reply, "sender is not entitled"));
  // The private name is absent (nil), the public one grants. The reply may
  // overtake the log lines: wait for them with a bound.
  EXPECT_TRUE(daemon_->waitForCount(nil, nilBefore + 1));
  EXPECT_TRUE(daemon_->waitForCount(granted, trueBefore + 1));
  EXPECT_EQ(daemon_->count(nil), nilBefore + 1);
  EXPECT_EQ(daemon_->count(granted), trueBefore + 1);
  daemon_->grantDriver(allEntitlements());
}
