#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "platform/FennixClient.h"
#include "platform/FennixStore.h"
#include "platform/PropertyList.h"
#include "tests/support/Recorder.h"
#include "tests/support/ScopedLogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using namespace std::chrono_literals;
using nimbra::test::TempDirectory;

namespace {

constexpr const char* kNamespace = "LANTERN_MOSS_PUMPKIN";
constexpr const char* kFactor = "PUMPKIN_PLIST";

std::string xml(const Value& value) { return PropertyList::encodeXml(value).value(); }

std::size_t fileCount(const std::string& directory) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++n;
  return n;
}

}  // namespace

TEST(FennixStore, HostileMetadataReadsAsNothing) {
  nimbra::test::ScopedLogCapture log;
  TempDirectory dir;
  FennixStore store(dir.path());
  std::string folder = dir.path() + "/" + kNamespace;

  struct Case {
    const char* name;
    std::string levels;      // empty: no file
    std::string deployment;  // empty: no file
    bool hasLevel;
    std::optional<std::string> path;  // expected file path of the level
    bool rollout;
    bool experiment;
  } cases[] = {
      {"nothing at all", "", "", false, std::nullopt, false, false},
      {"not property lists", "garbage", "\x01\x02\x03", false, std::nullopt, false, false},
      {"roots of the wrong kind", xml(Array{Value(1)}), xml(Value("rollout")), false, std::nullopt, false, false},
      {"level that is not a dictionary", xml(Dictionary{{kFactor, Value("file.plist")}}), "", false, std::nullopt,
       false, false},
      {"level without file", xml(Dictionary{{kFactor, Value(Dictionary{})}}), "", true, std::nullopt, false, false},
      {"file that is not text", xml(Dictionary{{kFactor, Value(Dictionary{{"file", Value(3)}})}}), "", true,
       std::nullopt, false, false},
      {"relative file resolves in the folder", xml(Dictionary{{kFactor, Value(Dictionary{{"file", Value("a.plist")}})}}),
       "", true, folder + "/a.plist", false, false},
      {"absolute file stays", xml(Dictionary{{kFactor, Value(Dictionary{{"file", Value("/elsewhere/b.plist")}})}}), "",
       true, std::string("/elsewhere/b.plist"), false, false},
      {"deploymentId as text",
       "", xml(Dictionary{{"rolloutId", Value("R")}, {"deploymentId", Value("12")}, {"factorPackId", Value("F")}}),
       false, std::nullopt, false, false},
      {"deploymentId beyond 32 bits", "",
       xml(Dictionary{{"rolloutId", Value("R")}, {"deploymentId", Value(4294967296LL)}, {"factorPackId", Value("F")}}),
       false, std::nullopt, false, false},
      {"rollout without factor pack", "", xml(Dictionary{{"rolloutId", Value("R")}, {"deploymentId", Value(1)}}),
       false, std::nullopt, false, false},
      {"experiment", "",
       xml(Dictionary{{"experimentId", Value("E")}, {"deploymentId", Value(-7)}, {"treatmentId", Value("T")}}), false,
       std::nullopt, false, true},
      {"both", "",
       xml(Dictionary{{"rolloutId", Value("R")},
                      {"factorPackId", Value("F")},
                      {"experimentId", Value("E")},
                      {"treatmentId", Value("T")},
                      {"deploymentId", Value(3)}}),
       false, std::nullopt, true, true},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    if (!c.levels.empty()) dir.write(std::string(kNamespace) + "/levels.plist", c.levels);
    if (!c.deployment.empty()) dir.write(std::string(kNamespace) + "/deployment.plist", c.deployment);
    auto snapshot = store.read(kNamespace);
    auto level = snapshot.levels.find(kFactor);
    ASSERT_EQ(level != snapshot.levels.end(), c.hasLevel) << c.name;
    if (c.hasLevel) {
      std::optional<std::string> path;
      if (level->second.fileValue) path = level->second.fileValue->path;
      EXPECT_EQ(path, c.path) << c.name;
    }
    EXPECT_EQ(snapshot.rollout.has_value(), c.rollout) << c.name;
    EXPECT_EQ(snapshot.experiment.has_value(), c.experiment) << c.name;
  }
  // Unreadable files are reported, missing ones are not.
  EXPECT_TRUE(log->contains("Ignoring unreadable Fennix file " + folder + "/levels.plist"));
  // A namespace name that could leave the store reads as nothing and is never opened.
  EXPECT_TRUE(store.read("../" + std::string(kNamespace)).levels.empty());
}

TEST(FennixStore, NamesThatCouldEscapeTheStoreAreRefused) {
  for (const char* bad : {"", ".", "..", "../x", "a/b", ".hidden", "a b", "x\n"}) {
    EXPECT_FALSE(FennixStore::isValidName(bad)) << bad;
  }
  for (const char* good : {"LANTERN_MOSS_PUMPKIN", "PUMPKIN_PLIST", "a.b-c_1"}) {
    EXPECT_TRUE(FennixStore::isValidName(good)) << good;
  }
  TempDirectory dir;
  FennixStore store(dir.path());
  std::string source = dir.write("src.plist", "x");
  EXPECT_FALSE(store.install("../outside", kFactor, source, std::monostate{}).hasValue());
  EXPECT_FALSE(store.install(kNamespace, "../factor", source, std::monostate{}).hasValue());
  EXPECT_FALSE(store.clear("..").hasValue());
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/../outside"));
}

TEST(FennixStore, InstallRecordsContentAndDeployment) {
  TempDirectory dir;
  FennixStore store(dir.path() + "/fennix");
  std::string first = dir.write("first.plist", "first content");
  std::string second = dir.write("second.plist", "second content");

  auto installed = store.install(kNamespace, kFactor, first, FennixRolloutIdentifiers{"R1", 42, "FP1"});
  ASSERT_TRUE(installed.hasValue()) << installed.error();
  auto snapshot = store.read(kNamespace);
  ASSERT_TRUE(snapshot.levels.count(kFactor));
  EXPECT_EQ(snapshot.levels.at(kFactor).fileValue->path, *installed);
  EXPECT_EQ(snapshot.rollout, (FennixRolloutIdentifiers{"R1", 42, "FP1"}));
  EXPECT_FALSE(snapshot.experiment.has_value());
  struct stat st{};
  ASSERT_EQ(::stat(installed->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // Another factor of the same namespace is kept by a later install.
  ASSERT_TRUE(store.install(kNamespace, "OTHER", first, FennixExperimentIdentifiers{"E", 5, "T"}).hasValue());
  auto again = store.install(kNamespace, kFactor, second, FennixExperimentIdentifiers{"E", 5, "T"});
  ASSERT_TRUE(again.hasValue());
  EXPECT_NE(*again, *installed);
  snapshot = store.read(kNamespace);
  EXPECT_EQ(snapshot.levels.size(), 2u);
  EXPECT_EQ(snapshot.experiment, (FennixExperimentIdentifiers{"E", 5, "T"}));
  EXPECT_FALSE(snapshot.rollout.has_value());

  // Without deployment options the namespace has default factors again, and
  // only one generation of old content stays behind.
  auto third = store.install(kNamespace, kFactor, first, std::monostate{});
  ASSERT_TRUE(third.hasValue());
  snapshot = store.read(kNamespace);
  EXPECT_FALSE(snapshot.rollout.has_value());
  EXPECT_FALSE(snapshot.experiment.has_value());
  EXPECT_FALSE(std::filesystem::exists(*installed));
  EXPECT_TRUE(std::filesystem::exists(*again));
  EXPECT_TRUE(std::filesystem::exists(*third));
  std::string folder = dir.path() + "/fennix/" + kNamespace;
  // levels.plist, two PUMPKIN files, one OTHER file; no temporaries left.
  EXPECT_EQ(fileCount(folder), 4u);

  EXPECT_FALSE(store.install(kNamespace, kFactor, dir.file("missing.plist"), std::monostate{}).hasValue());
  EXPECT_FALSE(store.install(kNamespace, kFactor, dir.path(), std::monostate{}).hasValue());
}

TEST(FennixStore, ClearEmptiesTheFolderButKeepsIt) {
  TempDirectory dir;
  FennixStore store(dir.path());
  std::string source = dir.write("src.plist", "x");
  ASSERT_TRUE(store.install(kNamespace, kFactor, source, FennixRolloutIdentifiers{"R", 1, "F"}).hasValue());
  dir.write(std::string(kNamespace) + "/stray/file", "y");
  ASSERT_TRUE(store.clear(kNamespace).hasValue());
  std::string folder = dir.path() + "/" + kNamespace;
  ASSERT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_EQ(fileCount(folder), 0u);
  auto snapshot = store.read(kNamespace);
  EXPECT_TRUE(snapshot.levels.empty());
  EXPECT_FALSE(snapshot.rollout.has_value());
  EXPECT_TRUE(store.clear("NEVER_INSTALLED").hasValue());
}

TEST(FennixClient, CannotBeOpenedWhereNoDirectoryCanBe) {
  TempDirectory dir;
  std::string file = dir.write("plain", "x");
  EXPECT_FALSE(FennixClient::openFileStore(file).hasValue());
  EXPECT_FALSE(FennixClient::openFileStore(file + "/below").hasValue());
  auto client = FennixClient::openFileStore(dir.path() + "/new/store");
  ASSERT_TRUE(client.hasValue()) << client.error();
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/new/store"));
}

TEST(FennixClient, AnswersFromTheLastRefresh) {
  TempDirectory dir;
  FennixStore store(dir.path());
  auto client = std::move(FennixClient::openFileStore(dir.path())).value();
  EXPECT_FALSE(client->levelForFactor(kFactor, kNamespace).has_value());
  std::string source = dir.write("src.plist", "x");
  auto installed = store.install(kNamespace, kFactor, source, FennixRolloutIdentifiers{"R", 77, "F"});
  ASSERT_TRUE(installed.hasValue());
  EXPECT_FALSE(client->rolloutIdentifiers(kNamespace).has_value());
  client->refresh();
  ASSERT_TRUE(client->levelForFactor(kFactor, kNamespace).has_value());
  EXPECT_EQ(client->levelForFactor(kFactor, kNamespace)->fileValue->path, *installed);
  EXPECT_EQ(client->rolloutIdentifiers(kNamespace)->deploymentId, 77);
  EXPECT_FALSE(client->experimentIdentifiers(kNamespace).has_value());
  EXPECT_FALSE(client->levelForFactor("OTHER", kNamespace).has_value());
  ASSERT_TRUE(store.clear(kNamespace).hasValue());
  client->refresh();
  EXPECT_FALSE(client->levelForFactor(kFactor, kNamespace).has_value());
}

TEST(FennixClient, AnInstallRunsTheUpdateHandlerOnceAndRemovalStopsIt) {
  TempDirectory dir;
  FennixStore store(dir.path());
  auto client = std::move(FennixClient::openFileStore(dir.path())).value();
  auto queue = DispatchQueue::makeSerial("test.fennix.updates");
  nimbra::test::Recorder<std::string> updates;
  nimbra::test::Recorder<std::string> others;
  auto token = client->addUpdateHandler(kNamespace, queue, [&](const std::string& ns) { updates.add(ns); });
  client->addUpdateHandler("LANTERN_MOSS_CORAL", queue, [&](const std::string& ns) { others.add(ns); });
  // The handler's folder exists as soon as it is watched.
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/" + kNamespace));

  std::string source = dir.write("src.plist", "x");
  ASSERT_TRUE(store.install(kNamespace, kFactor, source, FennixRolloutIdentifiers{"R", 1, "F"}).hasValue());
  ASSERT_TRUE(updates.waitForCount(1));
  EXPECT_EQ(updates.values()[0], kNamespace);

  // The next change is the only other call: the install's several file
  // operations gave one update.
  ASSERT_TRUE(store.clear(kNamespace).hasValue());
  ASSERT_TRUE(updates.waitForCount(2));
  EXPECT_EQ(others.size(), 0u);

  // A folder removed and created again is watched again.
  std::filesystem::remove_all(dir.path() + "/" + kNamespace);
  ASSERT_TRUE(updates.waitForCount(3));
  ASSERT_TRUE(store.install(kNamespace, kFactor, source, std::monostate{}).hasValue());
  ASSERT_TRUE(updates.waitForCount(4));
  std::size_t seen = updates.size();

  client->removeUpdateHandler(token);
  ASSERT_TRUE(store.install(kNamespace, kFactor, source, std::monostate{}).hasValue());
  ASSERT_TRUE(store.install("LANTERN_MOSS_CORAL", "CORAL_PLIST", source, std::monostate{}).hasValue());
  ASSERT_TRUE(others.waitForCount(1));
  // A PUMPKIN update would have been due no later than the CORAL one and
  // queued before it on the same queue.
  queue->sync([] {});
  EXPECT_EQ(updates.size(), seen);
}
