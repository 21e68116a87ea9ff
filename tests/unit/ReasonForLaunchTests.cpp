#include <gtest/gtest.h>

#include "nimbrad/VelmoraReason.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/ExecutableFixtures.h"

using namespace nimbra;
using namespace nimbra::test;
using Kind = VelmoraReason::Kind;

namespace nimbra {
void PrintTo(const VelmoraReason& reason, std::ostream* out) {
  *out << reason.description() << " on " << (reason.entity() ? reason.entity()->path : "nothing");
}
}  // namespace nimbra

TEST(ReasonForBundle, DecidesFromArchitecturesAndTheInformationDictionary) {
  TempDirectory dir;
  const std::string universal = universalMachO({{kX86_64}, {kArm64}});
  struct Case {
    std::string name;
    std::string path;
    Kind expected;
    std::string diagnostic;
  };
  auto app = [&](const std::string& name, const std::string& entries, const std::string& exe) {
    return writeApp(dir, name + ".app", name, entries, exe).bundle;
  };
  const std::vector<Case> cases = {
      {"thin x86_64 file", dir.write("x86", thinMachO(kX86_64)), Kind::x86Only,
       "<VelmoraReason fromBundle> Direct Mach-O detection |  Arch: x86  | x86 Only | "},
      {"thin arm64 file", dir.write("arm", thinMachO(kArm64, 0)), Kind::unknown,
       "<VelmoraReason fromBundle> Direct Mach-O detection |  Arch: arm64  | "},
      {"universal file", dir.write("fat", universal), Kind::x86Forced,
       "<VelmoraReason fromBundle> Direct Mach-O detection |  Arch: x86  arm64  | x86 Forced | "},
      {"ELF x86_64 file", dir.write("elf", elfExecutable(62)), Kind::x86Only,
       "<VelmoraReason fromBundle> Direct Mach-O detection |  Arch: x86  | x86 Only | "},
      {"missing file", dir.file("missing"), Kind::unknown,
       "<VelmoraReason fromBundle> Direct Mach-O detection |  Arch: | "},
      {"not an executable", dir.write("text", "hello"), Kind::unknown,
       "<VelmoraReason fromBundle> Direct Mach-O detection |  Arch: | "},
      {"bundle preferring x86_64",
       app("Prefers", plistStringArray("LSArchitecturePriority", {"x86_64", "arm64"}), universal), Kind::x86SetInPlist,
       "<VelmoraReason fromBundle> InfoPlist: x86  arm64  |  Arch: x86  arm64  | x86 Set in Plist | "},
      {"bundle preferring arm64",
       app("PrefersArm", plistStringArray("LSArchitecturePriority", {"arm64", "x86_64"}), universal), Kind::x86Forced,
       "<VelmoraReason fromBundle> InfoPlist: arm64  x86  |  Arch: x86  arm64  | x86 Forced | "},
      {"bundle requiring native execution",
       app("Native", plistStringArray("LSArchitecturePriority", {"x86_64"}) + plistBool("LSRequiresNativeExecution", true),
           universal),
       Kind::unknown, "<VelmoraReason fromBundle> InfoPlist: x86  | ReqNative |  Arch: x86  arm64  | "},
      {"native requirement without preference", app("NativeOnly", plistBool("LSRequiresNativeExecution", true), universal),
       Kind::unknown, "<VelmoraReason fromBundle> ReqNative |  Arch: x86  arm64  | "},
      {"native requirement switched off", app("NotNative", plistBool("LSRequiresNativeExecution", false), universal),
       Kind::x86Forced, "<VelmoraReason fromBundle>  Arch: x86  arm64  | x86 Forced | "},
      {"x86_64-only bundle", app("Old", plistStringArray("LSArchitecturePriority", {"arm64"}), thinMachO(kX86_64)),
       Kind::x86Only, "<VelmoraReason fromBundle> InfoPlist: arm64  |  Arch: x86  | x86 Only | "},
      {"priority that is not a list", app("Odd", plistString("LSArchitecturePriority", "x86_64"), universal),
       Kind::x86Forced, "<VelmoraReason fromBundle>  Arch: x86  arm64  | x86 Forced | "},
      {"bundle without executable", app("Empty", "", ""), Kind::unknown, "<VelmoraReason fromBundle>  Arch: | "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VelmoraEntity entity{.name = c.name, .path = c.path};
    BundleReason result = reasonForBundle(c.path, rootFiles(), entity);
    EXPECT_EQ(result.reason.kind(), c.expected);
    EXPECT_EQ(result.diagnostic, c.diagnostic);
    if (c.expected != Kind::unknown) {
      EXPECT_EQ(*result.reason.entity(), entity);
    }
  }
}

TEST(ReasonForLaunch, DecidesByTheProcessReasonFirst) {
  const VelmoraEntity P{.name = "P", .path = "/p", .teamID = "OTHER"};
  const VelmoraEntity PCorvane{.name = "P", .path = "/p", .teamID = "Corvane"};
  const VelmoraEntity R{.name = "R", .path = "/r", .teamID = "OTHER"};
  const VelmoraEntity RCorvane{.name = "R", .path = "/r", .teamID = "Corvane"};
  const VelmoraEntity RSamePath{.name = "R", .path = "/p", .teamID = "OTHER"};
  const VelmoraEntity T{.name = "T", .path = "/t", .teamID = "OTHER"};
  const VelmoraEntity TSamePath{.name = "T", .path = "/p", .teamID = "OTHER"};

  auto only = VelmoraReason::x86Only({});
  auto plist = VelmoraReason::x86SetInPlist({});
  auto forced = VelmoraReason::x86Forced({});
  auto checkbox = VelmoraReason::x86Checkbox({});
  auto unknown = VelmoraReason::unknown();
  auto viaResponsible = VelmoraReason::fromResponsible(VelmoraEntity{.name = "Earlier"});

  struct Case {
    std::string name;
    VelmoraEntity p, r, t;
    VelmoraReason rP, rR, rT;
    VelmoraReason expected;
  };
  const std::vector<Case> cases = {
      {"plist wins over everything", P, R, T, plist, only, only, VelmoraReason::x86SetInPlist(P)},
      {"checkbox wins over everything", P, R, T, checkbox, only, only, VelmoraReason::x86Checkbox(P)},
      {"third-party x86-only process", P, R, T, only, only, only, VelmoraReason::x86Only(P)},
      {"platform process, x86-only target", PCorvane, R, T, only, unknown, only, VelmoraReason::fromTarget(T)},
      {"platform process, plist target", PCorvane, R, T, only, unknown, plist, VelmoraReason::fromTarget(T)},
      {"platform process and responsible", PCorvane, RCorvane, T, only, only, forced, VelmoraReason::x86Only(PCorvane)},
      {"platform process, third-party responsible", PCorvane, R, T, only, unknown, forced,
       VelmoraReason::fromResponsible(R)},
      {"platform process, target is itself", PCorvane, R, TSamePath, only, unknown, only,
       VelmoraReason::fromResponsible(R)},
      {"forced, responsible has a reason", P, R, T, forced, checkbox, only, VelmoraReason::fromResponsible(R)},
      {"forced, target forced too", P, R, T, forced, unknown, forced, VelmoraReason::x86Forced(P)},
      {"forced, target unknown", P, R, T, forced, unknown, unknown, VelmoraReason::x86Forced(P)},
      {"forced, x86-only target", P, R, T, forced, unknown, only, VelmoraReason::fromTarget(T)},
      {"forced, responsible is itself", P, RSamePath, T, forced, only, forced, VelmoraReason::x86Forced(P)},
      {"unknown, responsible forced", P, R, T, unknown, forced, only, VelmoraReason::fromResponsible(R)},
      {"unknown, target forced", P, R, T, unknown, unknown, forced, VelmoraReason::unknown()},
      {"unknown, nothing anywhere", P, R, T, unknown, unknown, unknown, VelmoraReason::unknown()},
      {"unknown, plist target", P, R, T, unknown, unknown, plist, VelmoraReason::fromTarget(T)},
      {"unknown, responsible and target are itself", P, RSamePath, TSamePath, unknown, only, only,
       VelmoraReason::unknown()},
      {"a carried reason is kept", P, R, T, viaResponsible, only, only, viaResponsible},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reasonForLaunch(c.p, c.r, c.t, rootFiles(), c.rP, c.rR, c.rT), c.expected) << c.name;
  }
}

TEST(ReasonForLaunch, InspectsTheExecutablesOnDisk) {
  TempDirectory dir;
  const std::string universal = universalMachO({{kX86_64}, {kArm64}});
  VelmoraEntity helper{.name = "helper", .path = dir.write("usr/libexec/helper", thinMachO(kX86_64)), .teamID = "Corvane"};
  VelmoraEntity oldTarget{.name = "old", .path = dir.write("opt/old", thinMachO(kX86_64)), .teamID = "T1"};
  VelmoraEntity universalTarget{.name = "new", .path = dir.write("opt/new", universal), .teamID = "T1"};
  VelmoraEntity app{.name = "App",
                    .path = writeApp(dir, "Applications/App.app", "App", "", universal).executable,
                    .teamID = "T2"};
  VelmoraEntity gone{.name = "gone", .path = dir.file("gone"), .teamID = "T3"};

  // A platform helper that is x86_64-only because its target is.
  EXPECT_EQ(reasonForLaunch(helper, app, oldTarget, rootFiles()), VelmoraReason::fromTarget(oldTarget));
  // The same helper with a universal target is there for its responsible application.
  EXPECT_EQ(reasonForLaunch(helper, app, universalTarget, rootFiles()), VelmoraReason::fromResponsible(app));
  // A universal application forced into translation, responsible for itself.
  EXPECT_EQ(reasonForLaunch(app, app, universalTarget, rootFiles()), VelmoraReason::x86Forced(app));
  // A third-party x86_64-only executable.
  EXPECT_EQ(reasonForLaunch(oldTarget, app, oldTarget, rootFiles()), VelmoraReason::x86Only(oldTarget));
  // Nothing readable anywhere.
  EXPECT_EQ(reasonForLaunch(gone, gone, gone, rootFiles()), VelmoraReason::unknown());
  EXPECT_EQ(reasonForLaunch(gone, gone, oldTarget, rootFiles()).description(), "Due to Target: old");
}
