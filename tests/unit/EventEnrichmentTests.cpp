#include <gtest/gtest.h>

#include "nimbrad/EventEnrichment.h"
#include "platform/PropertyList.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;

namespace {

class FixedCoordinator final : public platform::VelmoraCoordinating {
 public:
  explicit FixedCoordinator(std::optional<platform::Dictionary> answer) : answer_(std::move(answer)) {}
  std::optional<platform::Dictionary> analyze() override { return answer_; }

 private:
  std::optional<platform::Dictionary> answer_;
};

// A factory answering `answer`, counting how often it was asked.
VelmoraCoordinatorFactory fixed(std::optional<platform::Dictionary> answer, int* created) {
  return [answer, created](const std::string&, const std::string&, const std::string&, const std::string&,
                           const std::string&, const platform::UserFileReader&) {
    ++*created;
    return std::make_unique<FixedCoordinator>(answer);
  };
}

VelmoraEventData known() {
  VelmoraEventData e;
  for (auto* field : {&e.processBundleID, &e.processTeamID, &e.targetBundleID, &e.targetTeamID,
                      &e.responsibleBundleID, &e.responsibleTeamID}) {
    *field = "set";
  }
  e.processBundleVersion = e.targetBundleVersion = e.responsibleBundleVersion = "v0";
  e.processDeveloperName = e.targetDeveloperName = e.responsibleDeveloperName = "dev0";
  return e;
}

const platform::Dictionary kEverything{
    {"ProcessBundleIdentifier", "p.id"},      {"ProcessBundleVersion", "p.v"},
    {"ProcessTeamIdentifier", "p.team"},      {"ProcessDeveloperName", "p.dev"},
    {"TargetBundleIdentifier", "t.id"},       {"TargetBundleVersion", "t.v"},
    {"TargetTeamIdentifier", "t.team"},       {"TargetDeveloperName", "t.dev"},
    {"ResponsibleBundleIdentifier", "r.id"},  {"ResponsibleBundleVersion", "r.v"},
    {"ResponsibleTeamIdentifier", "r.team"},  {"ResponsibleDeveloperName", "r.dev"},
};

}  // namespace

TEST(EventEnrichment, OnlyUnknownIdentifiersOpenTheirValuesToReplacement) {
  int created = 0;
  // Nothing unknown: no analysis at all.
  EXPECT_EQ(enrichUnknownValues(known(), fixed(kEverything, &created), test::rootFiles()), known());
  EXPECT_EQ(created, 0);

  struct Case {
    const char* what;
    std::function<void(VelmoraEventData&)> send;    // what the sender could not determine
    std::function<void(VelmoraEventData&)> expect;  // how the known event changes
  } cases[] = {
      {"process bundle", [](auto& e) { e.processBundleID = "<unknown>"; },
       [](auto& e) { e.processBundleID = "p.id", e.processBundleVersion = "p.v"; }},
      {"target team", [](auto& e) { e.targetTeamID = "<unknown>"; },
       [](auto& e) { e.targetTeamID = "t.team", e.targetDeveloperName = "t.dev"; }},
      {"responsible bundle and team",
       [](auto& e) { e.responsibleBundleID = e.responsibleTeamID = "<unknown>"; },
       [](auto& e) {
         e.responsibleBundleID = "r.id", e.responsibleBundleVersion = "r.v";
         e.responsibleTeamID = "r.team", e.responsibleDeveloperName = "r.dev";
       }},
      // An unknown version alone does not trigger a replacement.
      {"version only", [](auto& e) { e.processBundleVersion = "<unknown>"; }, [](auto& e) {
         e.processBundleVersion = "<unknown>";
       }},
  };
  for (const auto& c : cases) {
    VelmoraEventData sent = known(), expected = known();
    c.send(sent);
    c.send(expected);
    c.expect(expected);
    EXPECT_EQ(enrichUnknownValues(sent, fixed(kEverything, &created), test::rootFiles()), expected) << c.what;
  }
}

TEST(EventEnrichment, MissingOrNonStringValuesKeepTheOldOnes) {
  int created = 0;
  VelmoraEventData sent = known();
  sent.processBundleID = "<unknown>";
  sent.processTeamID = "<unknown>";
  // Identifier found but no version; the team is not a string.
  platform::Dictionary partial{{"ProcessBundleIdentifier", "p.id"}, {"ProcessTeamIdentifier", 42}};
  VelmoraEventData expected = sent;
  expected.processBundleID = "p.id";
  EXPECT_EQ(enrichUnknownValues(sent, fixed(partial, &created), test::rootFiles()), expected);

  // An analysis that yields nothing, or no coordinator: the event as it is.
  EXPECT_EQ(enrichUnknownValues(sent, fixed(std::nullopt, &created), test::rootFiles()), sent);
  VelmoraCoordinatorFactory none = [](const std::string&, const std::string&, const std::string&,
                                      const std::string&, const std::string&, const platform::UserFileReader&) {
    return std::unique_ptr<platform::VelmoraCoordinating>();
  };
  EXPECT_EQ(enrichUnknownValues(sent, none, test::rootFiles()), sent);
  EXPECT_EQ(created, 2);
}

TEST(EventEnrichment, BundlesOnDiskFillIdentifiersWhileTeamsStayUnknown) {
  test::TempDirectory dir;
  dir.write("Tool.app/Contents/Info.plist",
            platform::PropertyList::encodeXml(platform::Value(platform::Dictionary{
                                                  {"CFBundleIdentifier", "com.example.tool"},
                                                  {"CFBundleShortVersionString", "3.0"}}))
                .value());
  VelmoraEventData e;
  e.processName = "Tool";
  e.processPath = e.targetPath = e.responsiblePath = dir.file("Tool.app/Contents/MacOS/Tool");
  for (auto* field : {&e.processBundleID, &e.processBundleVersion, &e.processTeamID, &e.processDeveloperName,
                      &e.targetBundleID, &e.targetBundleVersion, &e.targetTeamID, &e.targetDeveloperName,
                      &e.responsibleBundleID, &e.responsibleBundleVersion, &e.responsibleTeamID,
                      &e.responsibleDeveloperName}) {
    *field = "<unknown>";
  }
  auto enriched = enrichUnknownValues(e, defaultVelmoraCoordinatorFactory(), test::rootFiles());
  EXPECT_EQ(enriched.processBundleID, "com.example.tool");
  EXPECT_EQ(enriched.processBundleVersion, "3.0");
  EXPECT_EQ(enriched.targetBundleID, "com.example.tool");
  EXPECT_EQ(enriched.responsibleBundleVersion, "3.0");
  EXPECT_EQ(enriched.processTeamID, "<unknown>");
  EXPECT_EQ(enriched.responsibleDeveloperName, "<unknown>");
}
