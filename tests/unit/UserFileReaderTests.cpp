#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/UserFileReader.h"
#include "tests/support/TempDirectory.h"

using platform::UserFileReader;
using platform::UserIdentity;

namespace {

// Three users with their own uid and primary group; bob is also in "staff".
constexpr uid_t kAlice = 4101;
constexpr uid_t kBob = 4102;
constexpr uid_t kCarol = 4103;
constexpr gid_t kStaff = 4201;

const UserIdentity alice{kAlice, {kAlice}};
const UserIdentity bob{kBob, {kBob, kStaff}};
const UserIdentity carol{kCarol, {kCarol}};
const UserIdentity root = UserIdentity::root();

// A POSIX access ACL granting alice read beside the mode bits, in the
// kernel's extended-attribute form.
std::string readAcl() {
  std::string acl;
  auto put16 = [&acl](std::uint16_t v) { acl.append(reinterpret_cast<const char*>(&v), 2); };
  auto put32 = [&acl](std::uint32_t v) { acl.append(reinterpret_cast<const char*>(&v), 4); };
  put32(2);  // version
  const struct {
    std::uint16_t tag, permissions;
    std::uint32_t id;
  } entries[] = {{0x01, 6, UINT32_MAX}, {0x02, 4, kAlice}, {0x04, 4, UINT32_MAX}, {0x10, 4, UINT32_MAX},
                 {0x20, 4, UINT32_MAX}};
  for (const auto& entry : entries) {
    put16(entry.tag);
    put16(entry.permissions);
    put32(entry.id);
  }
  return acl;
}

class UserFileReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::geteuid(), 0u) << "these tests give files to other users";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  }

  // Writes `relative` with `content`, then gives it `mode` and the owner.
  std::string file(const std::string& relative, mode_t mode, uid_t owner = 0, gid_t group = 0,
                   const std::string& content = "text") {
    std::string path = dir_.write(relative, content);
    own(path, mode, owner, group);
    return path;
  }
  std::string directory(const std::string& relative, mode_t mode, uid_t owner = 0, gid_t group = 0) {
    std::string path = dir_.makeDirectory(relative);
    own(path, mode, owner, group);
    return path;
  }
  std::string link(const std::string& relative, const std::string& target) {
    std::string path = dir_.file(relative);
    EXPECT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    return path;
  }
  static void own(const std::string& path, mode_t mode, uid_t owner, gid_t group) {
    EXPECT_EQ(::chown(path.c_str(), owner, group), 0) << path;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0) << path;
  }
  // 0 when `who` can read `path` (and gets "text"), else the errno.
  static int readAs(const UserIdentity& who, const std::string& path) {
    auto content = UserFileReader(who).read(path, 1024);
    if (!content) return content.error().errorNumber;
    EXPECT_EQ(*content, "text") << path;
    return 0;
  }

  nimbra::test::TempDirectory dir_;
};

TEST_F(UserFileReaderTest, ModeBitsDecideForTheUsersUidAndGroups) {
  const std::string world = file("world", 0644);
  const std::string alicesOwn = file("alices", 0600, kAlice, kAlice);
  const std::string staffOnly = file("staff", 0640, kAlice, kStaff);
  // The owner class decides even when "other" would grant more.
  const std::string ownerExcluded = file("owner-excluded", 0044, kAlice, kAlice);
  const std::string groupExcluded = file("group-excluded", 0604, kAlice, kStaff);
  directory("private", 0700, kAlice, kAlice);
  const std::string inPrivate = file("private/file", 0644);
  directory("listable", 0644, kAlice, kAlice);  // readable, not searchable
  const std::string inListable = file("listable/file", 0644);
  directory("rootonly", 0700);
  const std::string rootSecret = file("rootonly/secret", 0600);

  const struct {
    const char* label;
    const std::string& path;
    const UserIdentity& who;
    int expected;
  } cases[] = {
      {"other may read", world, carol, 0},
      {"owner reads own file", alicesOwn, alice, 0},
      {"owner-only file, another user", alicesOwn, bob, EACCES},
      {"group read through a supplementary group", staffOnly, bob, 0},
      {"group read, not a member", staffOnly, carol, EACCES},
      {"owner bits exclude the owner", ownerExcluded, alice, EACCES},
      {"owner bits do not apply to others", ownerExcluded, bob, 0},
      {"group bits exclude the group", groupExcluded, bob, EACCES},
      {"group bits do not apply to others", groupExcluded, carol, 0},
      {"directory searchable by its owner", inPrivate, alice, 0},
      {"directory without search permission", inPrivate, bob, EACCES},
      {"readable but not searchable directory", inListable, carol, EACCES},
      {"root reads anything", rootSecret, root, 0},
      {"root-only file", rootSecret, alice, EACCES},
  };
  for (const auto& c : cases) EXPECT_EQ(readAs(c.who, c.path), c.expected) << c.label;
}

TEST_F(UserFileReaderTest, SymbolicLinksAreFollowedWithTheUsersRightsAndABound) {
  directory("rootonly", 0700);
  const std::string secret = file("rootonly/secret", 0600);
  const std::string open = file("rootonly/open", 0644);
  directory("home", 0755, kAlice, kAlice);
  directory("shared", 0755);
  file("shared/file", 0644);
  const std::string toSecret = link("home/to-secret", secret);
  // Readable file, but the link leads through a directory alice cannot search.
  const std::string throughRootOnly = link("home/through", open);
  const std::string relativeUp = link("home/up", "../shared/file");
  const std::string toDirectory = link("home/dir", dir_.file("shared"));
  const std::string loopA = link("home/loop-a", dir_.file("home/loop-b"));
  link("home/loop-b", dir_.file("home/loop-a"));
  // Chains of exactly the bound and one more.
  std::string target = dir_.file("shared/file");
  for (int i = 0; i <= UserFileReader::kMaxSymbolicLinks; ++i) {
    target = link("home/chain-" + std::to_string(i), target);
  }
  const std::string atBound = dir_.file("home/chain-" + std::to_string(UserFileReader::kMaxSymbolicLinks - 1));
  const std::string beyondBound = dir_.file("home/chain-" + std::to_string(UserFileReader::kMaxSymbolicLinks));
  const std::string dangling = link("home/dangling", dir_.file("nothing-here"));

  const struct {
    const char* label;
    std::string path;
    const UserIdentity& who;
    int expected;
  } cases[] = {
      {"link to a root-only file", toSecret, alice, EACCES},
      {"the same link as root", toSecret, root, 0},
      {"link through a directory the user cannot search", throughRootOnly, alice, EACCES},
      {"relative link with ..", relativeUp, alice, 0},
      {"link to a directory in the middle", toDirectory + "/file", carol, 0},
      {"loop", loopA, root, ELOOP},
      {"chain at the bound", atBound, alice, 0},
      {"chain beyond the bound", beyondBound, root, ELOOP},
      {"dangling link", dangling, alice, ENOENT},
  };
  for (const auto& c : cases) EXPECT_EQ(readAs(c.who, c.path), c.expected) << c.label;
}

TEST_F(UserFileReaderTest, OnlyBoundedRegularFilesAreReadAndSpecialFilesAreNeverOpened) {
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  const std::string exact = file("exact", 0644, 0, 0, std::string(64, 'x'));
  const std::string larger = file("larger", 0644, 0, 0, std::string(65, 'x'));
  const std::string plain = file("plain", 0644);
  directory("subdir", 0755);
  const UserFileReader reader(alice);

  // A FIFO nobody writes to would block an open for reading: it is refused
  // from its status alone. So is a device.
  EXPECT_EQ(reader.open(fifo).error(), ENODEV);
  EXPECT_EQ(reader.open("/dev/null").error(), ENODEV);
  EXPECT_EQ(reader.open(dir_.file("subdir")).error(), EISDIR);
  ASSERT_TRUE(reader.read(exact, 64));
  EXPECT_EQ(reader.read(exact, 64)->size(), 64u);
  auto tooLarge = reader.read(larger, 64);
  ASSERT_FALSE(tooLarge);
  EXPECT_EQ(tooLarge.error().message, "file is larger than 64 bytes");

  for (const std::string& nothing : {std::string(), std::string("relative/path"), plain + std::string("\0x", 2),
                                     dir_.file("missing")}) {
    EXPECT_EQ(reader.status(nothing).error(), ENOENT) << nothing;
  }
  EXPECT_EQ(reader.status(plain + "/").error(), ENOTDIR);
  EXPECT_EQ(reader.status(plain + "/below").error(), ENOTDIR);
  EXPECT_TRUE(S_ISDIR(reader.status(dir_.file("subdir/")).value().st_mode));
  EXPECT_TRUE(S_ISDIR(reader.status("/").value().st_mode));
}

TEST_F(UserFileReaderTest, ExistenceNeedsSearchAndListingNeedsReadPermission) {
  directory("searchonly", 0711, kAlice, kAlice);
  const std::string unreadable = file("searchonly/unreadable", 0600, kAlice, kAlice);
  directory("private", 0700, kAlice, kAlice);
  const std::string hidden = file("private/file", 0644);
  const UserFileReader asBob(bob);

  // Bob may know the file exists (he can search the directory) but not read it.
  ASSERT_TRUE(asBob.status(unreadable));
  EXPECT_EQ(asBob.status(unreadable)->st_uid, kAlice);
  EXPECT_EQ(asBob.open(unreadable).error(), EACCES);
  EXPECT_EQ(asBob.status(hidden).error(), EACCES);
  // Listing needs read permission as well as search permission.
  EXPECT_EQ(asBob.openDirectory(dir_.file("searchonly")).error(), EACCES);
  EXPECT_TRUE(UserFileReader(alice).openDirectory(dir_.file("searchonly")));
  EXPECT_EQ(UserFileReader(alice).openDirectory(unreadable).error(), ENOTDIR);
}

TEST_F(UserFileReaderTest, AReaderThatRemembersDirectoriesAnswersAsAFreshOne) {
  directory("apps/Foo.app/Contents/MacOS", 0755);
  file("apps/Foo.app/Contents/Info.plist", 0644);
  file("apps/Foo.app/Contents/MacOS/Foo", 0644);
  directory("apps/Foo.app/Contents/Private", 0700);
  file("apps/Foo.app/Contents/Private/key", 0644);
  directory("elsewhere", 0755);
  file("elsewhere/Info.plist", 0644);
  // A link named like a directory that was entered before, leading elsewhere.
  link("apps/Bar.app", dir_.file("elsewhere"));
  link("apps/Foo.app/Contents/Resources", "../../../elsewhere");
  const std::vector<std::string> paths = {
      dir_.file("apps/Foo.app/Contents/Info.plist"),
      dir_.file("apps/Foo.app/Contents/MacOS/Foo"),
      dir_.file("apps/Foo.app/Contents/MacOS/../Info.plist"),
      dir_.file("apps/Foo.app/Contents/Private/key"),
      dir_.file("apps/Foo.app/Contents/Resources/Info.plist"),
      dir_.file("apps/Bar.app/Info.plist"),
      dir_.file("apps/Bar.app/Contents/Info.plist"),
      dir_.file("apps/Foo.app/Contents/MacOS/Foo/"),
      dir_.file("apps/Foo.app/Contents/Private/../MacOS/Foo"),
      dir_.file("apps/Foo.app/Contents/./MacOS//Foo"),
  };
  for (const UserIdentity& who : {alice, root}) {
    const UserFileReader remembering(who);
    // Twice over, so that every path also meets the directories the others left.
    for (int round = 0; round < 2; ++round) {
      for (const std::string& path : paths) {
        auto remembered = remembering.status(path);
        auto fresh = UserFileReader(who).status(path);
        ASSERT_EQ(remembered.hasValue(), fresh.hasValue()) << path;
        if (fresh) {
          EXPECT_EQ(remembered->st_ino, fresh->st_ino) << path;
        } else {
          EXPECT_EQ(remembered.error(), fresh.error()) << path;
        }
      }
    }
  }
  // The private directory stays closed to alice however it is reached.
  EXPECT_EQ(UserFileReader(alice).status(paths[3]).error(), EACCES);
  EXPECT_EQ(UserFileReader(alice).status(paths[8]).error(), EACCES);
}

TEST_F(UserFileReaderTest, AnAccessControlListMakesAFileOrDirectoryUnreadable) {
  const std::string acl = readAcl();
  const std::string listed = file("listed", 0644);
  if (::setxattr(listed.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
    GTEST_SKIP() << "no POSIX ACLs on this file system: " << std::strerror(errno);
  }
  directory("listed-dir", 0755);
  const std::string inListedDirectory = file("listed-dir/file", 0644);
  const std::string listedDirectory = dir_.file("listed-dir");
  ASSERT_EQ(::setxattr(listedDirectory.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
  const std::string plain = file("plain", 0644);

  // Even the user the list names is refused: the mode bits no longer tell.
  EXPECT_EQ(readAs(alice, listed), EACCES);
  EXPECT_EQ(readAs(carol, inListedDirectory), EACCES);
  EXPECT_EQ(readAs(carol, plain), 0);
  EXPECT_EQ(readAs(root, listed), 0);
  EXPECT_EQ(readAs(root, inListedDirectory), 0);
}

TEST(UserIdentity, GroupsComeFromTheUserDatabase) {
  const UserIdentity superuser = UserIdentity::ofUser(0);
  EXPECT_EQ(superuser.uid, 0u);
  EXPECT_TRUE(superuser.isRoot());
  EXPECT_TRUE(superuser.inGroup(0));

  // A uid without an entry has no groups at all.
  uid_t unknown = 3'999'999'000u;
  while (::getpwuid(unknown) != nullptr) ++unknown;
  EXPECT_EQ(UserIdentity::ofUser(unknown), (UserIdentity{unknown, {}}));

  // A uid with an entry has at least its primary group.
  const passwd* daemon = ::getpwnam("daemon");
  if (daemon == nullptr) GTEST_SKIP() << "no daemon user";
  const UserIdentity identity = UserIdentity::ofUser(daemon->pw_uid);
  EXPECT_FALSE(identity.isRoot());
  EXPECT_TRUE(identity.inGroup(daemon->pw_gid));
  EXPECT_FALSE(identity.inGroup(0));
}

}  // namespace
