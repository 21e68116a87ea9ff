#include <gtest/gtest.h>
#include <unistd.h>

#include "nimbrad/PathParsers.h"
#include "platform/Log.h"
#include "tests/support/SourceTree.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/ExecutableFixtures.h"
#include "tests/support/FakeTranslocation.h"
#include "tests/support/LogCapture.h"

using namespace nimbra;
using namespace nimbra::test;

namespace {

// A file system with applications, a plug-in, a framework and a tool, and a
// resources directory with curated names.
class DisplayNames : public testing::Test {
 protected:
  void SetUp() override {
    config.resourcesDirectory = fs.makeDirectory("Resources");
    config.applicationsDirectory = fs.file("Applications/");
    fooExec = writeApp(fs, "Applications/Foo.app", "Foo",
                       plistString("CFBundleName", "Foo Info") + plistString("CFBundleIdentifier", "com.example.foo"),
                       thinMachO(kX86_64))
                  .executable;
    writeLocalizedStrings(fs, "Applications/Foo.app", "en",
                          plistDictionary(plistString("CFBundleName", "Foo Localized")));
    barExec = writeApp(fs, "Applications/Foo.app/Contents/PlugIns/Bar.plugin", "Bar",
                       plistString("CFBundleName", "Bar") + plistString("CFBundleIdentifier", "com.example.bar"),
                       thinMachO(kX86_64))
                  .executable;
    toolPath = fs.write("usr/local/bin/tool", thinMachO(kX86_64));
    writeCurated(plistString(fs.file("Applications/Curated.app"), "\u201cCurated Name\u201d") +
                 plistString(fs.file("Applications/Plain.app"), "Plain Curated") +
                 "<key>" + fs.file("Applications/Number.app") + "</key><integer>4</integer>");
  }

  void writeCurated(const std::string& entries) {
    fs.write("Resources/CuratedDisplayNames.plist", plistDictionary(entries));
  }

  TempDirectory fs;
  PathParsersConfiguration config;
  std::string fooExec;
  std::string barExec;
  std::string toolPath;
};

}  // namespace

TEST_F(DisplayNames, BundleNamesInOrderOfPreference) {
  struct Case {
    std::string name;
    std::string entries;
    std::string localized;  // old-style strings text, or empty for none
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"LocalizedName", plistString("CFBundleName", "Info Name") + plistString("CFBundleDisplayName", "Info Display"),
       "\"CFBundleName\" = \"Localized Name\";\n\"CFBundleDisplayName\" = \"Localized Display\";", "Localized Name"},
      {"InfoName", plistString("CFBundleName", "Info Name"),
       "\"CFBundleDisplayName\" = \"Localized Display\";", "Info Name"},
      {"LocalizedDisplay", plistString("CFBundleName", "") + plistString("CFBundleDisplayName", "Info Display"),
       "\"CFBundleName\" = \"\";\n\"CFBundleDisplayName\" = \"Localized Display\";", "Localized Display"},
      {"InfoDisplay", plistString("CFBundleDisplayName", "Info Display"), "", "Info Display"},
      {"Nothing", "", "", "Nothing"},
      {"StraightQuotes", plistString("CFBundleName", "\"Quoted\""), "", "Quoted"},
      {"CurlyQuotes", plistString("CFBundleName", "\u201cQuoted\u201d"), "", "Quoted"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string relative = "Applications/" + c.name + ".app";
    auto app = writeApp(fs, relative, c.name, c.entries, "");
    if (!c.localized.empty()) writeLocalizedStrings(fs, relative, "en", c.localized);
    EXPECT_EQ(PathParsers::getDisplayNameForPath(app.executable, rootFiles(), config), c.expected);
    EXPECT_EQ(PathParsers::getDisplayNameForPath(app.bundle, rootFiles(), config), c.expected);
  }
}

TEST_F(DisplayNames, PlugInsAreNamedAfterTheOutermostBundle) {
  EXPECT_EQ(PathParsers::getDisplayNameForPath(fooExec, rootFiles(), config), "Foo Localized");
  EXPECT_EQ(PathParsers::getDisplayNameForPath(barExec, rootFiles(), config), "Foo Localized");
  EXPECT_EQ(PathParsers::bundleRoot(barExec), fs.file("Applications/Foo.app"));
  EXPECT_EQ(PathParsers::getContainingBundlePath(barExec, rootFiles(), config),
            fs.file("Applications/Foo.app/Contents/PlugIns/Bar.plugin"));
  EXPECT_EQ(PathParsers::getBundleIdentifierForPath(barExec, rootFiles()), "com.example.foo");
  EXPECT_EQ(PathParsers::getBundleIdentifierForPath(fooExec, rootFiles()), "com.example.foo");
}

TEST_F(DisplayNames, CuratedNamesWinAndAreReadOnEveryCall) {
  LogCapture log;
  writeApp(fs, "Applications/Curated.app", "C", plistString("CFBundleName", "Bundle Name"), "");
  EXPECT_EQ(PathParsers::getDisplayNameForPath(fs.file("Applications/Curated.app"), rootFiles(), config), "Curated Name");
  EXPECT_TRUE(log->contains("<nimbrad: PathParsers> getCuratedDisplayNameForPath: Found curated name "
                                 "'\u201cCurated Name\u201d' for path '" +
                                 fs.file("Applications/Curated.app") + "'"));
  // Only the exact path: the executable inside falls to the bundle's name.
  EXPECT_EQ(PathParsers::getDisplayNameForPath(fs.file("Applications/Curated.app/Contents/MacOS/C"), rootFiles(), config),
            "Bundle Name");
  // Curated names need no bundle on disk.
  EXPECT_EQ(PathParsers::getDisplayNameForPath(fs.file("Applications/Plain.app"), rootFiles(), config), "Plain Curated");
  // A value that is not a text is no name.
  EXPECT_EQ(PathParsers::getCuratedDisplayNameForPath(fs.file("Applications/Number.app"), config), std::nullopt);

  writeCurated(plistString(fooExec, "Changed"));
  EXPECT_EQ(PathParsers::getDisplayNameForPath(fooExec, rootFiles(), config), "Changed");
}

TEST_F(DisplayNames, CuratedNameFailuresAreLoggedAndFallThrough) {
  LogCapture log;
  struct Case {
    std::function<void()> breakIt;
    std::string logLine;
  };
  const std::vector<Case> cases = {
      {[&] { fs.write("Resources/CuratedDisplayNames.plist", "<plist><array/></plist>"); },
       "getCuratedDisplayNameForPath: Failed to load CuratedDisplayNames.plist"},
      {[&] { fs.write("Resources/CuratedDisplayNames.plist", "garbage"); },
       "getCuratedDisplayNameForPath: Failed to load CuratedDisplayNames.plist"},
      {[&] { ::unlink(fs.file("Resources/CuratedDisplayNames.plist").c_str()); },
       "getCuratedDisplayNameForPath: Failed to find CuratedDisplayNames.plist in framework bundle"},
      {[&] { config.resourcesDirectory = fs.file("NoSuchDirectory"); },
       "getCuratedDisplayNameForPath: Failed to get Nimbra framework bundle"},
  };
  for (const Case& c : cases) {
    log->clear();
    c.breakIt();
    EXPECT_EQ(PathParsers::getDisplayNameForPath(fooExec, rootFiles(), config), "Foo Localized");
    EXPECT_TRUE(log->contains("<nimbrad: PathParsers> " + c.logLine)) << c.logLine;
  }
}

TEST_F(DisplayNames, PathsOutsideBundlesUseTheSuffixRule) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      // No bundle on disk: the first suffix in suffix order wins, whatever its place in the path.
      {"/nowhere/Kit.framework/Versions/A/Thing.app/Contents/MacOS/x", "Thing"},
      {"/nowhere/Kit.FRAMEWORK/Helpers/tool", "Kit"},
      {"/nowhere/\u201cQuoted\u201d.app/Contents/MacOS/x", "Quoted"},
      {"/nowhere/Ext.appex/x", "Ext"},
      {"/nowhere/Lib.dylib", std::nullopt},
      {"/nowhere/.app/x", std::nullopt},
      {toolPath, std::nullopt},
      {"/opt/tools/run", std::nullopt},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(PathParsers::getDisplayNameForPath(path, rootFiles(), config), expected) << path;
  EXPECT_EQ(PathParsers::getBundleIdentifierForPath(toolPath, rootFiles()), std::nullopt);
  EXPECT_EQ(PathParsers::getBundleIdentifierForPath("/nowhere/Gone.app/Contents/MacOS/Gone", rootFiles()), std::nullopt);
}

TEST_F(DisplayNames, EmbeddedBundleIsTheInnermostOpenedBundle) {
  LogCapture log;
  auto bar = PathParsers::getEmbeddedBundle(barExec, rootFiles(), config);
  ASSERT_TRUE(bar);
  EXPECT_EQ(bar->bundleIdentifier(), "com.example.bar");
  EXPECT_TRUE(log->contains("<nimbrad: PathParsers> getEmbeddedBundle: containing bundle for: " + barExec +
                                 " is: " + fs.file("Applications/Foo.app/Contents/PlugIns/Bar.plugin")));

  // Relative to the applications directory.
  testing::internal::CaptureStdout();
  auto foo = PathParsers::getEmbeddedBundle("Foo.app/Contents/MacOS/Foo", rootFiles(), config);
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(foo);
  EXPECT_EQ(foo->path(), fs.file("Applications/Foo.app"));

  EXPECT_FALSE(PathParsers::getEmbeddedBundle(toolPath, rootFiles(), config));
  EXPECT_TRUE(log->contains("<nimbrad: PathParsers> getEmbeddedBundle: no containing bundle for: " + toolPath));
  // A bundle path that is a plain file cannot be opened.
  std::string fileBundle = fs.write("Applications/File.app", "x");
  EXPECT_FALSE(PathParsers::getEmbeddedBundle(fileBundle, rootFiles(), config));
}

TEST_F(DisplayNames, ShownPathIsTheBundleRootOutsideTemporaryFolders) {
  LogCapture log;
  std::string temporary = fs.makeDirectory("private/var/folders") + "/";
  std::string mount = fs.makeDirectory("private/var/folders/ab/T/AppTranslocation/5678/d");
  writeApp(fs, "private/var/folders/ab/T/AppTranslocation/5678/d/Moved.app", "Moved", "", "");
  writeApp(fs, "private/var/folders/ab/T/Unpacked.app", "Unpacked", "", "");
  FakeTranslocation translocation(mount, fs.file("Downloads"));
  config.temporaryFolders = temporary;
  config.translocation = &translocation;

  EXPECT_EQ(PathParsers::getShowInVistralPath(barExec, rootFiles(), config), fs.file("Applications/Foo.app"));
  EXPECT_TRUE(log->contains("<PathParsers: getShowInVistralPath> rawPath: " + barExec));
  EXPECT_TRUE(log->contains("<PathParsers: getShowInVistralPath> Final path: " + fs.file("Applications/Foo.app")));
  EXPECT_EQ(PathParsers::getShowInVistralPath(toolPath, rootFiles(), config), toolPath);
  EXPECT_EQ(PathParsers::getShowInVistralPath(fs.file("Applications/Gone.app/Contents/MacOS/Gone"), rootFiles(), config),
            std::nullopt);

  EXPECT_EQ(PathParsers::getShowInVistralPath(mount + "/Moved.app/Contents/MacOS/Moved", rootFiles(), config),
            fs.file("Downloads/Moved.app"));
  std::string unpacked = fs.file("private/var/folders/ab/T/Unpacked.app");
  EXPECT_EQ(PathParsers::getShowInVistralPath(unpacked + "/Contents/MacOS/Unpacked", rootFiles(), config), std::nullopt);
  EXPECT_TRUE(log->contains("<PathParsers: getShowInVistralPath> Hiding temp path: " + unpacked));
  // A translocated path whose original cannot be found stays hidden.
  translocation.failLookup = true;
  EXPECT_EQ(PathParsers::getShowInVistralPath(mount + "/Moved.app", rootFiles(), config), std::nullopt);
}

TEST_F(DisplayNames, TheShippedCuratedNamesFileLoads) {
  LogCapture log;
  PathParsersConfiguration shipped;
  shipped.resourcesDirectory = test::sourceDirectory() + "/resources";
  EXPECT_EQ(PathParsers::getCuratedDisplayNameForPath("/no/such/path", shipped), std::nullopt);
  EXPECT_FALSE(log->contains("Failed"));
}
