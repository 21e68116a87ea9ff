#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Bundle.h"
#include "platform/MachO.h"
#include "platform/PropertyList.h"
#include "platform/VelmoraCoordinator.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/ExecutableFixtures.h"

using namespace nimbra::test;
using platform::Bundle;

namespace {

std::string stringAt(const platform::Dictionary& dictionary, const std::string& key) {
  auto it = dictionary.find(key);
  return it != dictionary.end() && it->second.asString() ? *it->second.asString() : "<none>";
}

}  // namespace

TEST(Bundle, ReadsTheThreeLayouts) {
  TempDirectory dir;
  auto app = writeApp(dir, "Foo.app", "Foo", plistString("CFBundleIdentifier", "com.example.foo"),
                      universalMachO({{kX86_64}, {kArm64}}));
  // A flat bundle keeps Info.plist and the executable at its top.
  dir.write("Flat.bundle/Info.plist",
            plistDictionary(plistString("CFBundleExecutable", "Flat") + plistString("CFBundleIdentifier", "com.example.flat")));
  dir.write("Flat.bundle/Flat", thinMachO(kArm64, 0));
  // A framework keeps Info.plist under Resources.
  dir.write("Kit.framework/Resources/Info.plist",
            plistDictionary(plistString("CFBundleExecutable", "Kit") + plistString("CFBundleIdentifier", "com.example.kit")));
  dir.write("Kit.framework/Kit", elfExecutable(62));

  struct Case {
    std::string bundle;
    std::string identifier;
    std::string executable;
    std::vector<std::int32_t> architectures;
  };
  const std::vector<Case> cases = {
      {app.bundle, "com.example.foo", app.executable, {kX86_64, kArm64}},
      {dir.file("Flat.bundle"), "com.example.flat", dir.file("Flat.bundle/Flat"), {kArm64}},
      {dir.file("Kit.framework"), "com.example.kit", dir.file("Kit.framework/Kit"), {kX86_64}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bundle);
    auto bundle = Bundle::open(c.bundle, rootFiles());
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundleIdentifier(), c.identifier);
    EXPECT_EQ(bundle->executablePath(), c.executable);
    EXPECT_EQ(bundle->executableArchitectures(), c.architectures);
  }
}

TEST(Bundle, LocalizedDictionaryPrefersEnglishThenBaseThenTheFirstLanguage) {
  TempDirectory dir;
  auto strings = [](const std::string& name) { return "\"CFBundleName\" = \"" + name + "\";\n"; };
  struct Case {
    std::vector<std::string> languages;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"de", "en", "English", "Base"}, "en"},
      {{"fr", "English", "Base"}, "English"},
      {{"fr", "Base"}, "Base"},
      {{"zh_CN", "fr", "de"}, "de"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string relative = "App" + std::to_string(n++) + ".app";
    writeApp(dir, relative, "A", "", "");
    for (const std::string& language : c.languages) writeLocalizedStrings(dir, relative, language, strings(language));
    auto bundle = Bundle::open(dir.file(relative), rootFiles());
    ASSERT_TRUE(bundle);
    EXPECT_EQ(stringAt(bundle->localizedInfoDictionary(), "CFBundleName"), c.expected);
  }
  // A language directory without the strings file does not count.
  writeApp(dir, "Sparse.app", "S", "", "");
  dir.makeDirectory("Sparse.app/Contents/Resources/en.lproj");
  writeLocalizedStrings(dir, "Sparse.app", "it", strings("it"));
  EXPECT_EQ(stringAt(Bundle::open(dir.file("Sparse.app"), rootFiles())->localizedInfoDictionary(), "CFBundleName"), "it");
}

TEST(Bundle, LocalizedStringsInPropertyListForms) {
  TempDirectory dir;
  platform::Dictionary names{{"CFBundleName", platform::Value("Binary Name")}, {"Count", platform::Value(3)}};
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/* comment */ CFBundleName = \"Text Name\";", "Text Name"},
      {plistDictionary(plistString("CFBundleName", "XML Name")), "XML Name"},
      {platform::PropertyList::encodeBinary(platform::Value(names)), "Binary Name"},
  };
  int n = 0;
  for (const auto& [content, expected] : cases) {
    std::string relative = "L" + std::to_string(n++) + ".app";
    writeApp(dir, relative, "L", "", "");
    writeLocalizedStrings(dir, relative, "en", content);
    auto localized = Bundle::open(dir.file(relative), rootFiles())->localizedInfoDictionary();
    EXPECT_EQ(stringAt(localized, "CFBundleName"), expected);
    EXPECT_EQ(localized.count("Count"), 0u);  // non-string values are not names
  }
}

TEST(Bundle, HostileContentReadsAsAbsentOrEmpty) {
  TempDirectory dir;
  dir.write("NotPlist.app/Contents/Info.plist", "this is not a property list");
  dir.write("Array.app/Contents/Info.plist", "<?xml version=\"1.0\"?><plist><array><string>x</string></array></plist>");
  dir.write("Truncated.app/Contents/Info.plist", plistDictionary(plistString("CFBundleIdentifier", "x")).substr(0, 60));
  dir.write("Escape.app/Contents/Info.plist", plistDictionary(plistString("CFBundleExecutable", "../../outside")));
  dir.write("outside", thinMachO(kX86_64));
  dir.write("Escape.app/Contents/MacOS/x", "");
  dir.write("NotExe.app/Contents/Info.plist", plistDictionary(plistString("CFBundleExecutable", "run")));
  dir.write("NotExe.app/Contents/MacOS/run", "#!/bin/sh\n");
  dir.write("WrongTypes.app/Contents/Info.plist",
            plistDictionary("<key>CFBundleIdentifier</key><integer>7</integer><key>CFBundleExecutable</key><true/>"));
  dir.makeDirectory("Fifo.app/Contents");
  ASSERT_EQ(::mkfifo(dir.file("Fifo.app/Contents/Info.plist").c_str(), 0600), 0);
  writeApp(dir, "BadStrings.app", "B", "", "");
  writeLocalizedStrings(dir, "BadStrings.app", "en", std::string("\xff\xfe\x00\xd8garbage", 11));
  ASSERT_EQ(::mkfifo(dir.file("BadStrings.app/Contents/Resources/en.lproj/x").c_str(), 0600), 0);

  for (const char* name : {"NotPlist.app", "Array.app", "Truncated.app", "Escape.app", "NotExe.app", "WrongTypes.app",
                           "Fifo.app", "BadStrings.app"}) {
    SCOPED_TRACE(name);
    auto bundle = Bundle::open(dir.file(name), rootFiles());
    ASSERT_TRUE(bundle);  // a directory is a bundle even when its content is broken
    EXPECT_EQ(bundle->bundleIdentifier(), std::nullopt);
    EXPECT_EQ(bundle->executableArchitectures(), std::nullopt);
    EXPECT_EQ(stringAt(bundle->localizedInfoDictionary(), "CFBundleName"), "<none>");
  }

  // Not directories at all.
  dir.write("File.app", "plain file");
  ASSERT_EQ(::symlink("LoopB.app", dir.file("LoopA.app").c_str()), 0);
  ASSERT_EQ(::symlink("LoopA.app", dir.file("LoopB.app").c_str()), 0);
  EXPECT_FALSE(Bundle::open(dir.file("File.app"), rootFiles()));
  EXPECT_FALSE(Bundle::open(dir.file("LoopA.app"), rootFiles()));
  EXPECT_FALSE(Bundle::open(dir.file("Missing.app"), rootFiles()));
  EXPECT_FALSE(Bundle::open("", rootFiles()));
}

TEST(Bundle, ResourcesAreFoundInTheResourcesDirectoryOnly) {
  TempDirectory dir;
  dir.write("Res.framework/Resources/Names.plist", "x");
  dir.write("Res.framework/Other.plist", "x");
  auto bundle = Bundle::open(dir.file("Res.framework"), rootFiles());
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->pathForResource("Names", "plist"), dir.file("Res.framework/Resources/Names.plist"));
  EXPECT_EQ(bundle->pathForResource("Other", "plist"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("../Other", "plist"), std::nullopt);
}

TEST(Bundle, AUserReadsOnlyWhatTheyCouldAndNeverARootReadFromTheCaches) {
  ASSERT_EQ(::geteuid(), 0u) << "the test gives files to another user";
  constexpr uid_t kUser = 4101;
  const platform::UserFileReader user(platform::UserIdentity{kUser, {kUser}});
  TempDirectory dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  // Root-only files: the information, the strings and the executable.
  std::string secrets = dir.makeDirectory("secrets");
  ASSERT_EQ(::chmod(secrets.c_str(), 0700), 0);
  std::string info = dir.write("secrets/Info.plist", plistDictionary(plistString("CFBundleIdentifier", "secret.identifier") +
                                                                     plistString("CFBundleExecutable", "App") +
                                                                     plistString("CFBundleShortVersionString", "9.9")));
  std::string strings = dir.write("secrets/InfoPlist.strings", "\"CFBundleName\" = \"Secret Name\";\n");
  // The user's bundle links to them; its executable is theirs but unreadable.
  std::string app = dir.makeDirectory("App.app/Contents/Resources/en.lproj");
  ASSERT_EQ(::symlink(info.c_str(), dir.file("App.app/Contents/Info.plist").c_str()), 0);
  ASSERT_EQ(::symlink(strings.c_str(), dir.file("App.app/Contents/Resources/en.lproj/InfoPlist.strings").c_str()), 0);
  std::string executable = dir.write("App.app/Contents/MacOS/App", thinMachO(kX86_64));
  ASSERT_EQ(::chmod(executable.c_str(), 0311), 0);
  for (const char* relative : {"App.app", "App.app/Contents", "App.app/Contents/MacOS", "App.app/Contents/MacOS/App"}) {
    ASSERT_EQ(::lchown(dir.file(relative).c_str(), kUser, kUser), 0);
  }

  // Root reads everything first, filling the parse caches.
  auto asRoot = Bundle::open(dir.file("App.app"), rootFiles());
  ASSERT_TRUE(asRoot);
  EXPECT_EQ(asRoot->bundleIdentifier(), "secret.identifier");
  EXPECT_EQ(stringAt(asRoot->localizedInfoDictionary(), "CFBundleName"), "Secret Name");
  EXPECT_EQ(asRoot->executableArchitectures(), std::vector<std::int32_t>{kX86_64});
  EXPECT_EQ(platform::VelmoraCoordinator::factsForPath(executable, rootFiles()).identifier, "secret.identifier");

  // The user gets none of it, from the disk or from a cache.
  auto asUser = Bundle::open(dir.file("App.app"), user);
  ASSERT_TRUE(asUser);
  EXPECT_TRUE(asUser->infoDictionary().empty());
  EXPECT_TRUE(asUser->localizedInfoDictionary().empty());
  EXPECT_EQ(asUser->executableArchitectures(), std::nullopt);
  auto facts = platform::VelmoraCoordinator::factsForPath(executable, user);
  EXPECT_EQ(facts.identifier, std::nullopt);
  EXPECT_EQ(facts.version, std::nullopt);
  EXPECT_EQ(platform::macho::forEachSliceCached(user, executable, [](std::int32_t, std::int32_t) {}), EACCES);
}
