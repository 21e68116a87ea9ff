#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/Entitlements.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace platform;

namespace {

std::string selfExecutable() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

PeerIdentity self() {
  PeerIdentity peer;
  peer.pid = ::getpid();
  peer.uid = ::getuid();
  peer.gid = ::getgid();
  peer.executablePath = selfExecutable();
  return peer;
}

std::string entry(const std::string& executable, const std::string& entitlements, const std::string& extra = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>Executable</key><string>" +
         executable + "</string><key>Entitlements</key><dict>" + entitlements + "</dict>" + extra +
         "</dict></plist>\n";
}

const std::string kName = "com.corvane.private.nimbra.velmora";
const std::string kTrue = "<key>com.corvane.private.nimbra.velmora</key><true/>";

struct RegistryFile {
  std::string name;
  std::string content;
  mode_t mode = 0644;
  uid_t owner = 0;  // 0: whoever runs the test
};

struct RegistryCase {
  const char* name;
  // Files of the registry, written before the lookup.
  std::vector<RegistryFile> files;
  std::optional<Value> expected;
  bool lookupError;
  // The reason in the one line that reports a skipped file, if any.
  const char* reported = nullptr;
};

class EntitlementRegistryTest : public ::testing::TestWithParam<RegistryCase> {
 protected:
  nimbra::test::TempDirectory dir_;
};


TEST_P(EntitlementRegistryTest, GrantsOnlyWhatAMatchingWellFormedEntrySays) {
  nimbra::test::LogCapture capture(LogLevel::Default);
  std::string registry = dir_.makeDirectory("entitlements.d");
  const std::string exe = selfExecutable();
  ASSERT_FALSE(exe.empty());
  // A symbolic link to the test binary, for entries that name it indirectly.
  ASSERT_EQ(::symlink(exe.c_str(), dir_.file("link-to-self").c_str()), 0);
  for (const auto& file : GetParam().files) {
    std::string content = file.content;
    auto replace = [&](const std::string& from, const std::string& to) {
      for (auto at = content.find(from); at != std::string::npos; at = content.find(from, at + to.size())) {
        content.replace(at, from.size(), to);
      }
    };
    replace("@SELF@", exe);
    replace("@LINK@", dir_.file("link-to-self"));
    replace("@UID@", std::to_string(::getuid()));
    replace("@OTHERUID@", std::to_string(::getuid() + 1));
    std::string path = dir_.write("entitlements.d/" + file.name, content);
    ASSERT_EQ(::chmod(path.c_str(), file.mode), 0);
    if (file.owner != 0) {
      if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
      ASSERT_EQ(::chown(path.c_str(), file.owner, file.owner), 0);
    }
  }
  EntitlementRegistry source(registry);
  ASSERT_TRUE(source.canIdentify(self()));
  auto lookup = source.copyValue(self(), kName);
  EXPECT_EQ(lookup.value, GetParam().expected);
  EXPECT_EQ(lookup.error.has_value(), GetParam().lookupError) << lookup.error.value_or("");
  // A skipped file is told once, naming it and the reason, and not again on
  // the next lookup.
  (void)source.copyValue(self(), kName);
  std::size_t skipped = capture->count("entitlement registry: skipping");
  if (GetParam().reported != nullptr) {
    EXPECT_EQ(skipped, 1u);
    EXPECT_EQ(capture->count(registry + "/a.plist: " + GetParam().reported), 1u) << GetParam().reported;
  } else {
    EXPECT_EQ(skipped, 0u);
  }
}

std::string usersEntry(const std::string& users) {
  return entry("@SELF@", kTrue, "<key>Users</key>" + users);
}

const uid_t kOtherUser = 1001;

INSTANTIATE_TEST_SUITE_P(
    Registry, EntitlementRegistryTest,
    ::testing::Values(
        RegistryCase{"EmptyRegistry", {}, std::nullopt, false},
        RegistryCase{"GrantedTrue", {{"a.plist", entry("@SELF@", kTrue)}}, Value(true), false},
        RegistryCase{"ValueFalse", {{"a.plist", entry("@SELF@", "<key>" + kName + "</key><false/>")}}, Value(false), false},
        RegistryCase{"ValueString", {{"a.plist", entry("@SELF@", "<key>" + kName + "</key><string>true</string>")}},
                     Value("true"), false},
        RegistryCase{"KeyMissing", {{"a.plist", entry("@SELF@", "<key>com.corvane.other</key><true/>")}}, std::nullopt, false},
        RegistryCase{"OtherExecutable", {{"a.plist", entry("/bin/sh", kTrue)}}, std::nullopt, false},
        RegistryCase{"ExecutableThroughSymlink", {{"a.plist", entry("@LINK@", kTrue)}}, Value(true), false},
        RegistryCase{"ExecutableNotInstalled", {{"a.plist", entry("/nonexistent/tool", kTrue)}}, std::nullopt, false},
        RegistryCase{"RelativeExecutable", {{"a.plist", entry("tool", kTrue)}}, std::nullopt, false,
                     "\"Executable\" is not an absolute path"},
        RegistryCase{"NotAPropertyListIsSkippedAndReported",
                     {{"a.plist", "this is not a plist"}, {"b.plist", entry("@SELF@", kTrue)}}, Value(true), false,
                     "not a property list"},
        RegistryCase{"RootNotADictionary", {{"a.plist", "<plist><array/></plist>"}}, std::nullopt, false,
                     "the root is a array, not a dictionary"},
        RegistryCase{"FilesWithoutThePlistSuffixAreIgnored", {{"a.plist.disabled", entry("@SELF@", kTrue)}}, std::nullopt,
                     false},
        RegistryCase{"EntitlementsNotADictionary",
                     {{"a.plist", "<plist><dict><key>Executable</key><string>@SELF@</string>"
                                  "<key>Entitlements</key><array/></dict></plist>"}},
                     std::nullopt, false, "\"Entitlements\" is not a dictionary"},
        RegistryCase{"UsersIncludesPeer", {{"a.plist", usersEntry("<array><integer>@UID@</integer></array>")}}, Value(true),
                     false},
        RegistryCase{"UsersExcludesPeer", {{"a.plist", usersEntry("<array><integer>@OTHERUID@</integer></array>")}},
                     std::nullopt, false},
        RegistryCase{"UsersEmpty", {{"a.plist", usersEntry("<array/>")}}, std::nullopt, false},
        RegistryCase{"UsersNotAnArray", {{"a.plist", usersEntry("<integer>@UID@</integer>")}}, std::nullopt, false,
                     "\"Users\" is not an array of user ids"},
        RegistryCase{"UsersHoldsAString",
                     {{"a.plist", usersEntry("<array><integer>@UID@</integer><string>root</string></array>")}},
                     std::nullopt, false, "\"Users\" is not an array of user ids"},
        RegistryCase{"ExcludedEntryDoesNotHideAnother",
                     {{"a.plist", usersEntry("<array><integer>@OTHERUID@</integer></array>")},
                      {"b.plist", entry("@SELF@", kTrue)}},
                     Value(true), false},
        RegistryCase{"ConflictingEntriesGrantNothing",
                     {{"a.plist", entry("@SELF@", kTrue)},
                      {"b.plist", entry("@SELF@", "<key>" + kName + "</key><false/>")}},
                     std::nullopt, true},
        // The registry is the trust root: only root may be able to write an entry.
        RegistryCase{"WorldWritableEntryGrantsNothing", {{"a.plist", entry("@SELF@", kTrue), 0666}}, std::nullopt, false,
                     "writable by group or others (mode 0666)"},
        RegistryCase{"GroupWritableEntryGrantsNothing", {{"a.plist", entry("@SELF@", kTrue), 0664}}, std::nullopt, false,
                     "writable by group or others (mode 0664)"},
        RegistryCase{"ForeignOwnedEntryGrantsNothing", {{"a.plist", entry("@SELF@", kTrue), 0644, kOtherUser}},
                     std::nullopt, false, "owned by uid 1001, not by root"},
        RegistryCase{"ReadOnlyEntryGrants", {{"a.plist", entry("@SELF@", kTrue), 0400}}, Value(true), false},
        RegistryCase{"BadEntryDoesNotHideAGoodOne",
                     {{"a.plist", entry("@SELF@", "<key>" + kName + "</key><false/>"), 0666},
                      {"b.plist", entry("@SELF@", kTrue)}},
                     Value(true), false, "writable by group or others (mode 0666)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EntitlementRegistry, LinksAndSpecialFilesAreNotEntries) {
  nimbra::test::LogCapture capture(LogLevel::Default);
  nimbra::test::TempDirectory dir;
  std::string registry = dir.makeDirectory("entitlements.d");
  // A root-owned entry elsewhere, reached through a link the registry holds.
  std::string target = dir.write("elsewhere.plist", entry(selfExecutable(), kTrue));
  ASSERT_EQ(::symlink(target.c_str(), (registry + "/link.plist").c_str()), 0);
  // A FIFO must not block the reader.
  ASSERT_EQ(::mkfifo((registry + "/fifo.plist").c_str(), 0644), 0);
  EntitlementRegistry source(registry);
  EXPECT_FALSE(source.copyValue(self(), kName).value);
  EXPECT_EQ(capture->count(registry + "/link.plist: a symbolic link, not a regular file"), 1u);
  EXPECT_EQ(capture->count(registry + "/fifo.plist: not a regular file"), 1u);
}

TEST(EntitlementRegistry, UnidentifiablePeersHoldNothing) {
  nimbra::test::TempDirectory dir;
  dir.write("entitlements.d/a.plist", entry(selfExecutable(), kTrue));
  EntitlementRegistry source(dir.file("entitlements.d"));
  PeerIdentity outsider = self();
  outsider.pid = 0;  // a peer in another PID namespace
  EXPECT_FALSE(source.canIdentify(outsider));
  EXPECT_FALSE(source.copyValue(outsider, kName).value);
  PeerIdentity unreadable = self();
  unreadable.executablePath.clear();
  EXPECT_FALSE(source.canIdentify(unreadable));
  EXPECT_FALSE(source.copyValue(unreadable, kName).value);
}

TEST(EntitlementRegistry, EntriesAreReadAgainOnlyAfterTheDirectoryChanges) {
  nimbra::test::TempDirectory dir;
  EntitlementRegistry source(dir.file("entitlements.d"));
  auto missing = source.copyValue(self(), kName);
  EXPECT_FALSE(missing.value);
  EXPECT_TRUE(missing.error);
  // The directory appears later, and its entries count at once.
  std::string path = dir.write("entitlements.d/a.plist", entry(selfExecutable(), kTrue));
  EXPECT_EQ(source.copyValue(self(), kName).value, Value(true));
  dir.write("entitlements.d/a.plist", entry(selfExecutable(), ""));
  EXPECT_FALSE(source.copyValue(self(), kName).value);

  // A change the directory does not see (written through a hard link in
  // another directory) goes unnoticed: lookups do not read the files.
  std::string outside = dir.file("outside.plist");
  ASSERT_EQ(::link(path.c_str(), outside.c_str()), 0);
  {
    std::ofstream rewrite(outside, std::ios::trunc);
    rewrite << entry(selfExecutable(), kTrue);
  }
  EXPECT_FALSE(source.copyValue(self(), kName).value);
  // Anything that happens in the directory makes the next lookup read it.
  dir.write("entitlements.d/unrelated.txt", "");
  EXPECT_EQ(source.copyValue(self(), kName).value, Value(true));

  // A new mode counts at once: the entry stops granting, then grants again.
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  EXPECT_FALSE(source.copyValue(self(), kName).value);
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(source.copyValue(self(), kName).value, Value(true));

  // The directory replaced by another one: the new one is watched.
  std::filesystem::rename(dir.file("entitlements.d"), dir.file("old.d"));
  EXPECT_FALSE(source.copyValue(self(), kName).value);
  dir.write("entitlements.d/b.plist", entry(selfExecutable(), kTrue));
  EXPECT_EQ(source.copyValue(self(), kName).value, Value(true));
  dir.write("entitlements.d/b.plist", entry(selfExecutable(), ""));
  EXPECT_FALSE(source.copyValue(self(), kName).value);
}

}  // namespace
