#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "platform/Entitlements.h"
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

struct RegistryCase {
  const char* name;
  // Files of the registry, written before the lookup: {file name, content}.
  std::vector<std::pair<std::string, std::string>> files;
  std::optional<Value> expected;
  bool expectError;
};

class EntitlementRegistryTest : public ::testing::TestWithParam<RegistryCase> {
 protected:
  nimbra::test::TempDirectory dir_;
};


TEST_P(EntitlementRegistryTest, GrantsOnlyWhatAMatchingWellFormedEntrySays) {
  std::string registry = dir_.makeDirectory("entitlements.d");
  const std::string exe = selfExecutable();
  ASSERT_FALSE(exe.empty());
  // A symbolic link to the test binary, for entries that name it indirectly.
  ASSERT_EQ(::symlink(exe.c_str(), dir_.file("link-to-self").c_str()), 0);
  for (const auto& [file, text] : GetParam().files) {
    std::string content = text;
    auto replace = [&](const std::string& from, const std::string& to) {
      for (auto at = content.find(from); at != std::string::npos; at = content.find(from, at + to.size())) {
        content.replace(at, from.size(), to);
      }
    };
    replace("@SELF@", exe);
    replace("@LINK@", dir_.file("link-to-self"));
    replace("@UID@", std::to_string(::getuid()));
    replace("@OTHERUID@", std::to_string(::getuid() + 1));
    dir_.write("entitlements.d/" + file, content);
  }
  EntitlementRegistry source(registry);
  ASSERT_TRUE(source.canIdentify(self()));
  auto lookup = source.copyValue(self(), kName);
  EXPECT_EQ(lookup.value, GetParam().expected);
  EXPECT_EQ(lookup.error.has_value(), GetParam().expectError) << lookup.error.value_or("");
}

std::string usersEntry(const std::string& users) {
  return entry("@SELF@", kTrue, "<key>Users</key>" + users);
}

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
        RegistryCase{"RelativeExecutable", {{"a.plist", entry("tool", kTrue)}}, std::nullopt, true},
        RegistryCase{"NotAPropertyListIsSkippedAndReported",
                     {{"a.plist", "this is not a plist"}, {"b.plist", entry("@SELF@", kTrue)}}, Value(true), true},
        RegistryCase{"RootNotADictionary", {{"a.plist", "<plist><array/></plist>"}}, std::nullopt, true},
        RegistryCase{"FilesWithoutThePlistSuffixAreIgnored", {{"a.plist.disabled", entry("@SELF@", kTrue)}}, std::nullopt,
                     false},
        RegistryCase{"EntitlementsNotADictionary",
                     {{"a.plist", "<plist><dict><key>Executable</key><string>@SELF@</string>"
                                  "<key>Entitlements</key><array/></dict></plist>"}},
                     std::nullopt, false},
        RegistryCase{"UsersIncludesPeer", {{"a.plist", usersEntry("<array><integer>@UID@</integer></array>")}}, Value(true),
                     false},
        RegistryCase{"UsersExcludesPeer", {{"a.plist", usersEntry("<array><integer>@OTHERUID@</integer></array>")}},
                     std::nullopt, false},
        RegistryCase{"UsersEmpty", {{"a.plist", usersEntry("<array/>")}}, std::nullopt, false},
        RegistryCase{"UsersNotAnArray", {{"a.plist", usersEntry("<integer>@UID@</integer>")}}, std::nullopt, true},
        RegistryCase{"UsersHoldsAString",
                     {{"a.plist", usersEntry("<array><integer>@UID@</integer><string>root</string></array>")}},
                     std::nullopt, true},
        RegistryCase{"ExcludedEntryDoesNotHideAnother",
                     {{"a.plist", usersEntry("<array><integer>@OTHERUID@</integer></array>")},
                      {"b.plist", entry("@SELF@", kTrue)}},
                     Value(true), false},
        RegistryCase{"ConflictingEntriesGrantNothing",
                     {{"a.plist", entry("@SELF@", kTrue)},
                      {"b.plist", entry("@SELF@", "<key>" + kName + "</key><false/>")}},
                     std::nullopt, true}),
    [](const auto& info) { return std::string(info.param.name); });

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

TEST(EntitlementRegistry, EntriesAreReadAfreshAndAMissingRegistryIsReported) {
  nimbra::test::TempDirectory dir;
  EntitlementRegistry source(dir.file("entitlements.d"));
  auto missing = source.copyValue(self(), kName);
  EXPECT_FALSE(missing.value);
  EXPECT_TRUE(missing.error);
  dir.write("entitlements.d/a.plist", entry(selfExecutable(), kTrue));
  EXPECT_EQ(source.copyValue(self(), kName).value, Value(true));
  dir.write("entitlements.d/a.plist", entry(selfExecutable(), ""));
  EXPECT_FALSE(source.copyValue(self(), kName).value);
}

}  // namespace
