#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "platform/PropertyList.h"
#include "platform/VelmoraCoordinator.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using nimbra::test::TempDirectory;
using nimbra::test::rootFiles;

namespace {

std::string info(const Dictionary& d) { return PropertyList::encodeXml(Value(d)).value(); }

}  // namespace

TEST(VelmoraCoordinator, ContainingBundleIsTheInnermostBundleOnThePath) {
  struct Case {
    const char* path;
    std::optional<std::string> bundle;
  } cases[] = {
      {"/Applications/Foo.app/Contents/MacOS/Foo", "/Applications/Foo.app"},
      {"/Applications/Foo.app", "/Applications/Foo.app"},
      {"/A/Foo.app/Contents/Frameworks/B.framework/Versions/A/B", "/A/Foo.app/Contents/Frameworks/B.framework"},
      {"/A/Foo.app/Contents/Helpers/H.app/Contents/MacOS/H", "/A/Foo.app/Contents/Helpers/H.app"},
      {"/A/Loud.APP/Contents/MacOS/Loud", "/A/Loud.APP"},
      {"//A/./Foo.app//Contents/MacOS/Foo", "/A/Foo.app"},
      {"/A/Foo.app/../../etc/passwd", std::nullopt},
      {"/A/.app/x", std::nullopt},
      {"/usr/bin/tool", std::nullopt},
      {"<unknown>", std::nullopt},
      {"relative/Foo.app/x", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(VelmoraCoordinator::containingBundle(c.path), c.bundle) << c.path;
}

TEST(VelmoraCoordinator, AnalysisReportsIdentifiersAndVersionsButNeverTeams) {
  TempDirectory dir;
  dir.write("Foo.app/Contents/Info.plist", info({{"CFBundleIdentifier", "com.example.foo"},
                                                 {"CFBundleShortVersionString", "2.1"},
                                                 {"CFBundleVersion", "2100"}}));
  dir.write("Foo.app/Contents/MacOS/Foo", "binary");
  // A flat bundle with only a build number.
  dir.write("Host.bundle/Info.plist", info({{"CFBundleIdentifier", "com.example.host"}, {"CFBundleVersion", "7"}}));
  // A bundle whose information is unreadable contributes nothing.
  dir.write("Broken.app/Contents/Info.plist", "not a property list");

  VelmoraCoordinator coordinator("Foo", dir.file("Foo.app/Contents/MacOS/Foo"), dir.file("Broken.app/Contents/MacOS/B"),
                                 "Host", dir.file("Host.bundle/host"), rootFiles());
  auto found = coordinator.analyze();
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, (Dictionary{{"ProcessBundleIdentifier", "com.example.foo"},
                                {"ProcessBundleVersion", "2.1"},
                                {"ResponsibleBundleIdentifier", "com.example.host"},
                                {"ResponsibleBundleVersion", "7"}}));

  VelmoraCoordinator nothing("tool", "/usr/bin/tool", dir.file("Broken.app/Contents/MacOS/B"), "<unknown>",
                             "<unknown>", rootFiles());
  EXPECT_EQ(nothing.analyze(), std::nullopt);
}

TEST(VelmoraCoordinator, CachedFactsFollowTheInfoPlistOnDisk) {
  TempDirectory dir;
  std::string plist = dir.write("App.app/Contents/Info.plist",
                                info({{"CFBundleIdentifier", "com.example.app"}, {"CFBundleShortVersionString", "1"}}));
  std::string executable = dir.file("App.app/Contents/MacOS/App");
  EXPECT_EQ(VelmoraCoordinator::factsForPath(executable, rootFiles()).version, "1");
  EXPECT_EQ(VelmoraCoordinator::factsForPath(executable, rootFiles()).version, "1");

  // An update installed atomically (new file renamed over the old one).
  ASSERT_TRUE(PropertyList::writeFileAtomically(plist, Value(Dictionary{{"CFBundleIdentifier", "com.example.app"},
                                                                        {"CFBundleShortVersionString", "2"}}))
                  .hasValue());
  EXPECT_EQ(VelmoraCoordinator::factsForPath(executable, rootFiles()).version, "2");

  // The information removed: nothing is known any more.
  std::filesystem::remove(plist);
  auto gone = VelmoraCoordinator::factsForPath(executable, rootFiles());
  EXPECT_FALSE(gone.identifier);
  EXPECT_FALSE(gone.version);

  // A FIFO in place of the Info.plist is neither read nor waited on.
  ASSERT_EQ(::mkfifo(plist.c_str(), 0600), 0);
  EXPECT_FALSE(VelmoraCoordinator::factsForPath(executable, rootFiles()).identifier);
}

TEST(VelmoraCoordinator, TheCacheStaysBoundedUnderManyBundles) {
  // Hundreds of bundle folders: created in memory when the machine has a
  // memory file system, as creating them on a busy disk takes seconds.
  std::optional<nimbra::test::ScopedEnv> tmpdir;
  if (std::filesystem::is_directory("/dev/shm")) tmpdir.emplace("TMPDIR", "/dev/shm");
  TempDirectory dir;
  tmpdir.reset();
  const std::size_t count = VelmoraCoordinator::kCacheCapacity + 50;
  for (std::size_t i = 0; i < count; ++i) {
    auto name = "B" + std::to_string(i) + ".bundle/Info.plist";
    dir.write(name, info({{"CFBundleIdentifier", "com.b." + std::to_string(i)}}));
  }
  for (std::size_t i = 0; i < count; ++i) {
    auto facts = VelmoraCoordinator::factsForPath(dir.file("B" + std::to_string(i) + ".bundle/x"), rootFiles());
    ASSERT_EQ(facts.identifier, "com.b." + std::to_string(i));
    ASSERT_LE(VelmoraCoordinator::cachedBundleCount(), VelmoraCoordinator::kCacheCapacity);
  }
  EXPECT_EQ(VelmoraCoordinator::cachedBundleCount(), VelmoraCoordinator::kCacheCapacity);
  // The first bundles were evicted and are read again, still correctly.
  EXPECT_EQ(VelmoraCoordinator::factsForPath(dir.file("B0.bundle/x"), rootFiles()).identifier, "com.b.0");
}
