#include "tests/support/LaunchEvents.h"

#include <gtest/gtest.h>

#include "tests/support/DaemonHarness.h"

namespace nimbra::test {

VelmoraEventData sampleEvent(const std::string& processPath, uid_t uid, const std::string& timestamp) {
  VelmoraEventData event;
  auto slash = processPath.rfind('/');
  std::string name = slash == std::string::npos ? processPath : processPath.substr(slash + 1);
  event.processName = name;
  event.processPath = processPath;
  event.processBundleID = "com.example.sample";
  event.processBundleVersion = "1.0";
  event.processTeamID = "EXAMPLE123";
  event.processDeveloperName = "Example Developer";
  event.uid = uid;
  event.targetFilename = name;
  event.targetPath = processPath;
  event.targetBundleID = "com.example.sample";
  event.targetBundleVersion = "1.0";
  event.targetTeamID = "EXAMPLE123";
  event.targetDeveloperName = "Example Developer";
  event.responsibleName = name;
  event.responsiblePath = processPath;
  event.responsibleBundleID = "com.example.sample";
  event.responsibleBundleVersion = "1.0";
  event.responsibleTeamID = "EXAMPLE123";
  event.responsibleDeveloperName = "Example Developer";
  event.eventTimestamp = timestamp;
  return event;
}

VelmoraEventData threeRoleEvent(uid_t uid, const std::string& timestamp) {
  VelmoraEventData event;
  event.uid = uid;
  event.eventTimestamp = timestamp;
  event.processName = "Sample";
  event.processPath = "/Applications/Sample.app/Contents/MacOS/Sample";
  event.processBundleID = "com.example.sample";
  event.processBundleVersion = "1.0";
  event.processTeamID = "PROC123456";
  event.processDeveloperName = "Process Developer";
  event.targetFilename = "Engine";
  event.targetPath = event.processPath;
  event.targetBundleID = "com.example.engine";
  event.targetBundleVersion = "2.5";
  event.targetTeamID = "TARG123456";
  event.targetDeveloperName = "Target Developer";
  event.responsibleName = "Launcher";
  event.responsiblePath = "/Applications/Launcher.app/Contents/MacOS/Launcher";
  event.responsibleBundleID = "com.example.launcher";
  event.responsibleBundleVersion = "3.1";
  event.responsibleTeamID = "RESP123456";
  event.responsibleDeveloperName = "Responsible Developer";
  return event;
}

platform::Value messageWith(const VelmoraEventData& event, const std::string& key, const platform::Value& value) {
  platform::Value message = event.toMessage();
  auto* dict = message.asDictionary();
  if (value.isNull()) {
    dict->erase(key);
  } else {
    (*dict)[key] = value;
  }
  return message;
}

void sendLaunchEvents(const DaemonHarness& daemon, const std::vector<VelmoraEventData>& events) {
  auto client = daemon.connect("com.corvane.nimbra.velmora");
  ASSERT_TRUE(client) << "cannot connect to the launch event service";
  for (const auto& event : events) {
    auto reply = client->call(event.toMessage(), std::chrono::seconds(20));
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(*reply, platform::Value(platform::Dictionary{{"result", platform::Value(0)}}));
  }
}

}  // namespace nimbra::test
