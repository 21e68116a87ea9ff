#include <gtest/gtest.h>

#include "nimbrad/PathParsers.h"
#include "platform/Log.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FakeTranslocation.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using namespace nimbra::test;

namespace nimbra {
void PrintTo(const BundleTuple& tuple, std::ostream* out) {
  *out << "(" << tuple.bundleName << ", " << bundleTypeText(tuple.bundleType) << ")";
}
}  // namespace nimbra

namespace {

constexpr const char* kFooExec = "/Applications/Foo.app/Contents/MacOS/Foo";
constexpr const char* kBarExec = "/Applications/Foo.app/Contents/PlugIns/Bar.plugin/Contents/MacOS/Bar";

}  // namespace

TEST(PathParsers, CleanDisplayNameDropsOnePairOfEnclosingQuotes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\"Foo\"", "Foo"},
      {"\u201cFoo\u201d", "Foo"},
      {"\"\"Foo\"\"", "\"Foo\""},
      {"\"\"", ""},
      {"\"", "\""},
      {"\u201c", "\u201c"},
      {"\u201d", "\u201d"},
      {"\u201cFoo", "\u201cFoo"},
      {"\u201dFoo\u201c", "\u201dFoo\u201c"},
      {"\"Foo\u201d", "\"Foo\u201d"},
      {"Foo \"Pro\"", "Foo \"Pro\""},
      {"", ""},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(PathParsers::cleanDisplayName(name), expected) << name;
}

TEST(PathParsers, BundleRootIsTheOutermostBundleAndBundlePathLooksAtTheLastComponent) {
  struct Case {
    std::string path;
    std::string root;
    bool isBundle;
  };
  const std::vector<Case> cases = {
      {kFooExec, "/Applications/Foo.app", false},
      {kBarExec, "/Applications/Foo.app", false},
      {"/Applications/Foo.app", "/Applications/Foo.app", true},
      {"/Applications/Foo.APP/", "/Applications/Foo.APP", true},
      {"/Library/Frameworks/Kit.framework/Versions/A/Kit", "/Library/Frameworks/Kit.framework", false},
      {"/usr/local/bin/tool", "/usr/local/bin/tool", false},
      {"/usr/lib/libfoo.so", "/usr/lib/libfoo.so", false},  // libraries are not bundles
      {"/opt/My.Tools/run", "/opt/My.Tools/run", false},
      {"relative/Foo.bundle/x", "relative/Foo.bundle", false},
      {"/a//Foo.xpc//Contents", "/a//Foo.xpc", false},
      {"", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PathParsers::bundleRoot(c.path), c.root) << c.path;
    EXPECT_EQ(PathParsers::isBundlePath(c.path), c.isBundle) << c.path;
  }
}

TEST(PathParsers, MainAndExecBundleTuples) {
  struct Case {
    std::string path;
    BundleTuple main;
    BundleTuple exec;
  };
  const std::vector<Case> cases = {
      {kFooExec, {"Foo.app", BundleType::app}, {"Foo", BundleType::other}},
      {kBarExec, {"Foo.app", BundleType::app}, {"Bar.plugin", BundleType::plugin}},
      {"/Applications/Foo.app/Contents/PlugIns/Bar.plugin/Contents/XPCServices/Baz.xpc/Contents/MacOS/Baz",
       {"Foo.app", BundleType::app}, {"Baz.xpc", BundleType::xpc}},
      {"/Library/Frameworks/Kit.framework/Versions/A/Resources/Helper.app/Contents/MacOS/Helper",
       {"Kit.framework", BundleType::framework}, {"Helper.app", BundleType::app}},
      {"/usr/local/bin/tool", {"/usr/local/bin/tool", BundleType::script}, {"/usr/local/bin/tool", BundleType::script}},
      {"/usr/bin/sub/dir/tool", {"/usr/bin/sub/dir/tool", BundleType::script},
       {"/usr/bin/sub/dir/tool", BundleType::script}},
      {"/bin/sh", {"/bin/sh", BundleType::script}, {"/bin/sh", BundleType::script}},
      {"/usr/bin", {"bin", BundleType::other}, {"bin", BundleType::other}},
      // The extension test comes before the directory test.
      {"/usr/bin/Odd.app/run", {"Odd.app", BundleType::app}, {"run", BundleType::other}},
      {"/opt/tools/run", {"run", BundleType::other}, {"run", BundleType::other}},
      // The walk below the main bundle stops at the main bundle itself.
      {"/opt/lib/libx.dylib", {"libx.dylib", BundleType::library}, {"libx.dylib", BundleType::other}},
      {"/opt/steam/steam_osx", {"Steam.app", BundleType::app}, {"steam_osx", BundleType::other}},
      {"/", {"/", BundleType::other}, {"/", BundleType::script}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto main = PathParsers::mainBundleTuple(c.path);
    ASSERT_TRUE(main);
    EXPECT_EQ(*main, c.main);
    EXPECT_EQ(PathParsers::execBundleTuple(c.path, main->bundleName), c.exec);
  }
}

TEST(PathParsers, ExecBundleTupleWithoutMainBundleTakesTheInnermost) {
  EXPECT_EQ(PathParsers::execBundleTuple(kFooExec), (BundleTuple{"Foo.app", BundleType::app}));
  EXPECT_EQ(PathParsers::execBundleTuple(kBarExec), (BundleTuple{"Bar.plugin", BundleType::plugin}));
  // A target in another application: its bundle is found below the process's main bundle name.
  EXPECT_EQ(PathParsers::execBundleTuple("/Applications/Other.app/Contents/MacOS/Other", "Foo.app"),
            (BundleTuple{"Other.app", BundleType::app}));
}

TEST(PathParsers, HostExecutablesAreMatchedExactly) {
  ASSERT_EQ(PathParsers::hostExecutables().size(), 6u);
  for (const HostExecutable& host : PathParsers::hostExecutables()) {
    std::string path(host.path);
    EXPECT_EQ(PathParsers::mainBundleTuple(path), (BundleTuple{std::string(host.label), BundleType::system}));
    std::string upper = path;
    upper.back() = static_cast<char>(std::toupper(static_cast<unsigned char>(upper.back())));
    EXPECT_NE(PathParsers::mainBundleTuple(upper)->bundleType, BundleType::system) << upper;
  }
}

TEST(PathParsers, RelativePathsAreNotProperURLs) {
  test::LogCapture log;
  for (const char* path : {"", "Foo.app/Contents/MacOS/Foo", "<unknown>"}) {
    EXPECT_EQ(PathParsers::mainBundleTuple(path), std::nullopt);
    EXPECT_EQ(PathParsers::execBundleTuple(path, "Foo.app"), std::nullopt);
  }
  EXPECT_EQ(log->count("<nimbrad: PathParsers> ERROR: path not a proper URL: <unknown>"), 2u);
}

TEST(PathParsers, HandleSanitizedPathFallsBackToTheApplicationsDirectory) {
  TempDirectory apps;
  apps.write("Foo.app/Contents/MacOS/Foo", "x");
  PathParsersConfiguration config{.resourcesDirectory = apps.path(), .applicationsDirectory = apps.path() + "/"};
  test::LogCapture log;

  std::string existing = apps.file("Foo.app/Contents/MacOS/Foo");
  EXPECT_EQ(PathParsers::handleSanitizedPath(existing, rootFiles(), config), existing);

  testing::internal::CaptureStdout();
  EXPECT_EQ(PathParsers::handleSanitizedPath("Foo.app/Contents/MacOS/Foo", rootFiles(), config), apps.path() + "/Foo.app/Contents/MacOS/Foo");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "found " + apps.path() + "/Foo.app/Contents/MacOS/Foo\n");

  // Not found anywhere: unchanged, and said so. An empty path never becomes
  // the applications directory itself.
  testing::internal::CaptureStdout();
  EXPECT_EQ(PathParsers::handleSanitizedPath("Gone.app", rootFiles(), config), "Gone.app");
  EXPECT_EQ(PathParsers::handleSanitizedPath("", rootFiles(), config), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(log->contains("<nimbrad: PathParsers>: handleSanitizedPath: Unable to find: Gone.app"));

  // The containing bundle is taken from the sanitized path.
  EXPECT_EQ(PathParsers::getContainingBundlePath("Foo.app/Contents/MacOS/Foo", rootFiles(), config), apps.path() + "/Foo.app");
}

TEST(PathParsers, ContainingBundleIsTheInnermostBundle) {
  TempDirectory root;
  root.write("Foo.app/Contents/MacOS/Foo", "x");
  root.write("Foo.app/Contents/PlugIns/Bar.plugin/Contents/MacOS/Bar", "x");
  root.write("bin/tool", "x");
  PathParsersConfiguration config{.resourcesDirectory = root.path(), .applicationsDirectory = root.path() + "/"};
  test::LogCapture log;

  EXPECT_EQ(PathParsers::getContainingBundlePath(root.file("Foo.app/Contents/MacOS/Foo"), rootFiles(), config), root.file("Foo.app"));
  EXPECT_EQ(PathParsers::getContainingBundlePath(root.file("Foo.app/Contents/PlugIns/Bar.plugin/Contents/MacOS/Bar"), rootFiles(), config),
            root.file("Foo.app/Contents/PlugIns/Bar.plugin"));
  EXPECT_EQ(PathParsers::getContainingBundlePath(root.file("bin/tool"), rootFiles(), config), root.file("bin/tool"));
  // A path that does not exist is still cut textually.
  EXPECT_EQ(PathParsers::getContainingBundlePath("/nowhere/Gone.app/Contents/MacOS/Gone", rootFiles(), config), "/nowhere/Gone.app");
}

TEST(PathParsers, ResolveTranslocatedPathOnlyAsksForTranslocationMounts) {
  const std::string mount = "/private/var/folders/xy/T/AppTranslocation/1234/d";
  FakeTranslocation translocation(mount, "/Users/me/Downloads");
  PathParsersConfiguration config{.translocation = &translocation};
  test::LogCapture log;

  EXPECT_EQ(PathParsers::resolveTranslocatedPath(mount + "/Foo.app/Contents/MacOS/Foo", config),
            "/Users/me/Downloads/Foo.app/Contents/MacOS/Foo");
  EXPECT_TRUE(log->contains("AppTranslocationHelper: Resolved translocated path '" + mount +
                                 "/Foo.app/Contents/MacOS/Foo' to '/Users/me/Downloads/Foo.app/Contents/MacOS/Foo'"));
  // Outside the temporary folders, or without the translocation component, nothing is asked.
  translocation.failCheck = true;
  EXPECT_EQ(PathParsers::resolveTranslocatedPath("/Applications/Foo.app", config), "/Applications/Foo.app");
  EXPECT_EQ(PathParsers::resolveTranslocatedPath("/private/var/folders/xy/T/Foo.app", config),
            "/private/var/folders/xy/T/Foo.app");
  EXPECT_FALSE(log->contains("Failed to check"));

  // The daemon's own configuration: nothing is translocated on this system.
  EXPECT_EQ(PathParsers::resolveTranslocatedPath(mount + "/Foo.app"), mount + "/Foo.app");
}
