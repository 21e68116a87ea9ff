#include "nimbrad/ProcessDataEntry.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "nimbrad/DateFormatter.h"
#include "tests/support/FakeTranslocation.h"
#include "tests/support/StoreFixtures.h"

namespace nimbra {
namespace {

using test::ManualClock;
using test::LogCapture;

VelmoraEventData pluginLaunch() {
  VelmoraEventData event;
  event.uid = 501;
  event.processName = "Foo";
  event.processPath = "/Applications/Foo.app/Contents/MacOS/Foo";
  event.processBundleID = "com.example.foo";
  event.processBundleVersion = "2.1";
  event.processTeamID = "FOOTEAM";
  event.processDeveloperName = "Foo Ltd";
  event.targetFilename = "Bar";
  event.targetPath = "/Applications/Foo.app/Contents/PlugIns/Bar.plugin/Contents/MacOS/Bar";
  event.targetBundleID = "com.example.bar";
  event.targetBundleVersion = "7";
  event.targetTeamID = "BARTEAM";
  event.targetDeveloperName = "Bar Inc";
  event.responsibleName = "Foo";
  event.responsiblePath = "/Applications/Foo.app";
  event.responsibleBundleID = "com.example.foo";
  event.responsibleBundleVersion = "2.1";
  event.responsibleTeamID = "FOOTEAM";
  event.responsibleDeveloperName = "Foo Ltd";
  event.eventTimestamp = "2024-05-06 07:08:09";
  return event;
}

class ProcessDataEntryTests : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    ::unsetenv("TZ");
    ::tzset();
  }
  ManualClock clock{1800000000};
};

TEST_F(ProcessDataEntryTests, BuildsIdentityKeysBundlesAndDateFromAnEvent) {
  auto entry = ProcessDataEntry::fromEvent(pluginLaunch(), "2024-05-06 07:08:09", VelmoraReason::unknown(),
                                           "/Applications/Foo.app", clock);
  EXPECT_EQ(entry.process_hash, "Foo|FOOTEAM|com.example.foo|2.1");
  EXPECT_EQ(entry.target_hash, "Bar|BARTEAM|com.example.bar|7");
  EXPECT_EQ(entry.responsible_hash, "Foo|FOOTEAM|com.example.foo|2.1");
  EXPECT_EQ(entry.main_bundle, "Foo.app");
  EXPECT_EQ(entry.main_bundle_type, "Application");
  EXPECT_EQ(entry.exec_bundle, "Bar.plugin");
  EXPECT_EQ(entry.exec_bundle_type, "Plugin");
  EXPECT_EQ(entry.bundle_hash, "Foo.app|Application|Bar.plugin|Plugin");
  EXPECT_EQ(entry.previously_launched_date.secondsSince1970, 1714979289);
  EXPECT_EQ(entry.previously_launched_date_string, "2024-05-06 07:08:09");
  EXPECT_EQ(entry.number_of_times_launched, 1);
  EXPECT_EQ(entry.product_key, "/Applications/Foo.app");
}

TEST_F(ProcessDataEntryTests, MissingBundlesAreStoredAsEmptyAndOther) {
  auto event = pluginLaunch();
  event.processPath = "relative/tool";  // no main bundle can be found for it
  event.targetPath = "also-relative";
  auto entry = ProcessDataEntry::fromEvent(event, event.eventTimestamp, VelmoraReason::unknown(), "", clock);
  EXPECT_EQ(entry.main_bundle, "");
  EXPECT_EQ(entry.main_bundle_type, "Other");
  EXPECT_EQ(entry.exec_bundle, "");
  EXPECT_EQ(entry.exec_bundle_type, "Other");
  EXPECT_EQ(entry.bundle_hash, "|Other||Other");
}

TEST_F(ProcessDataEntryTests, ResolvesTranslocationForProcessAndTargetOnly) {
  test::FakeTranslocation translocation("/private/var/folders/xy/T/AppTranslocation/ABCD/d/", "/Users/u/Downloads/");
  PathParsersConfiguration paths;
  paths.translocation = &translocation;
  auto event = pluginLaunch();
  event.processPath = "/private/var/folders/xy/T/AppTranslocation/ABCD/d/Foo.app/Contents/MacOS/Foo";
  event.targetPath = event.processPath;
  event.responsiblePath = "/private/var/folders/xy/T/AppTranslocation/ABCD/d/Foo.app";
  auto entry =
      ProcessDataEntry::fromEvent(event, event.eventTimestamp, VelmoraReason::unknown(), "", clock, paths);
  EXPECT_EQ(entry.process_path, "/Users/u/Downloads/Foo.app/Contents/MacOS/Foo");
  EXPECT_EQ(entry.target_path, "/Users/u/Downloads/Foo.app/Contents/MacOS/Foo");
  EXPECT_EQ(entry.responsible_path, event.responsiblePath);
}

TEST_F(ProcessDataEntryTests, UnparsableLaunchTimeFallsBackToNowWithOneErrorLine) {
  LogCapture log;
  auto entry = ProcessDataEntry::fromEvent(pluginLaunch(), "2024-13-01 00:00:00", VelmoraReason::unknown(), "", clock);
  EXPECT_EQ(entry.previously_launched_date.secondsSince1970, 1800000000);
  EXPECT_EQ(entry.previously_launched_date_string, DateFormatter::format(platform::Date{1800000000}));
  EXPECT_EQ(log->count("Failed to parse date from string: 2024-13-01 00:00:00, using current date as fallback"),
            1u);
}

TEST_F(ProcessDataEntryTests, StoredSecondsTruncateAndClampBefore1970) {
  struct Case {
    double seconds;
    std::uint64_t stored;
  };
  for (auto [seconds, stored] : std::vector<Case>{
           {1700000000.9, 1700000000}, {0.2, 0}, {-1, 0}, {-62135596800.0, 0}, {std::nan(""), 0}}) {
    EXPECT_EQ(ProcessDataEntry::storedSeconds(platform::Date{seconds}), stored) << seconds;
  }
}

TEST_F(ProcessDataEntryTests, EqualityIsTheIdentityTupleOnly) {
  auto a = test::makeEntry("Foo");
  auto samePathless = a;
  samePathless.process_path = "/Somewhere/else/Foo";
  samePathless.product_key = "other";
  samePathless.number_of_times_launched = 9;
  EXPECT_EQ(a, samePathless);

  auto otherVersion = a;
  otherVersion.process_bundle_version = "2.0";
  otherVersion.deriveFields();
  EXPECT_NE(a, otherVersion);

  auto otherUser = a;
  otherUser.process_uid = 502;
  EXPECT_NE(a, otherUser);
}

TEST_F(ProcessDataEntryTests, TextFormListsTheFieldsWithoutHashes) {
  auto entry = ProcessDataEntry::fromEvent(pluginLaunch(), "2024-05-06 07:08:09",
                                           VelmoraReason::fromTarget(VelmoraEntity{.name = "Bar"}), "pk", clock);
  entry.product_display_name = "Foo";
  EXPECT_EQ(entry.description(),
            "[ProcessDataEntry:\n   UID: 501\n   Product Key: pk\n   Product Display Name: Foo\n"
            "   Is Embedded Component: false\n\n"
            "   Process: Foo\n   Process Team: FOOTEAM\n   Process Developer: Foo Ltd\n"
            "   Process BundleID: com.example.foo\n   Process BundleVersion: 2.1\n"
            "   Process Path: /Applications/Foo.app/Contents/MacOS/Foo\n\n"
            "   Target: Bar\n   Target Team: BARTEAM\n   Target Developer: Bar Inc\n"
            "   Target BundleID: com.example.bar\n   Target BundleVersion: 7\n"
            "   Target Path: /Applications/Foo.app/Contents/PlugIns/Bar.plugin/Contents/MacOS/Bar\n\n"
            "   Responsible: Foo\n   Responsible Team: FOOTEAM\n   Responsible Developer: Foo Ltd\n"
            "   Responsible BundleID: com.example.foo\n   Responsible BundleVersion: 2.1\n"
            "   Responsible Path: /Applications/Foo.app\n\n"
            "   MainBundle: Foo.app\n   MainBundleType: Application\n   ExecBundle: Bar.plugin\n"
            "   ExecBundleType: Plugin\n\n"
            "   Timestamp: 2024-05-06 07:08:09\n   NumberOfTimesLaunched: 1\n   Reason: Due to Target: Bar]");
}

TEST_F(ProcessDataEntryTests, FieldDictionariesSkipHashesAndTheDateText) {
  auto entry = ProcessDataEntry::fromEvent(pluginLaunch(), "2024-05-06 07:08:09", VelmoraReason::unknown(), "pk", clock);
  auto values = entry.fieldDictionary();
  auto texts = entry.stringDictionary();
  EXPECT_EQ(values.size(), 29u);
  EXPECT_EQ(texts.size(), 29u);
  for (const auto& dictionary : {values, texts}) {
    for (const auto& [key, value] : dictionary) {
      EXPECT_EQ(key.find("hash"), std::string::npos) << key;
      EXPECT_NE(key, "previously_launched_date_string");
    }
  }
  EXPECT_EQ(*values.at("process_uid").asInteger(), 501);
  EXPECT_EQ(*values.at("is_embedded_component").asBool(), false);
  EXPECT_EQ(values.at("previously_launched_date").asDate()->secondsSince1970, 1714979289);
  EXPECT_EQ(*values.at("number_of_times_launched").asInteger(), 1);
  EXPECT_EQ(*values.at("reason").asString(), "<UNKNOWN>");

  EXPECT_EQ(*texts.at("process_uid").asString(), "501");
  EXPECT_EQ(*texts.at("is_embedded_component").asString(), "false");
  EXPECT_EQ(*texts.at("previously_launched_date").asString(), "2024-05-06 07:08:09");
  EXPECT_EQ(*texts.at("target_path").asString(), entry.target_path);
}

}  // namespace
}  // namespace nimbra
