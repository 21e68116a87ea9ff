#include <gtest/gtest.h>

#include "nimbrad/VelmoraReason.h"
#include "platform/Log.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/ExecutableFixtures.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra;
using namespace nimbra::test;

namespace {

const VelmoraEntity kFoo{"Foo", "/Applications/Foo.app/Contents/MacOS/Foo", "com.example.foo", "TEAM1", "Dev", "1.0"};

}  // namespace

TEST(VelmoraReason, TextFormsReadBackToTheSameReason) {
  struct Case {
    VelmoraReason reason;
    std::string text;
  };
  const std::vector<Case> cases = {
      {VelmoraReason::x86SetInPlist({}), "x86 Plist"},
      {VelmoraReason::x86Forced({}), "x86 Forced"},
      {VelmoraReason::x86Checkbox({}), "x86 Checkbox"},
      {VelmoraReason::x86Only({}), "x86 Only"},
      {VelmoraReason::fromResponsible(VelmoraEntity{.name = "Foo"}), "Due to Responsible: Foo"},
      {VelmoraReason::fromTarget(VelmoraEntity{.name = "Foo"}), "Due to Target: Foo"},
      {VelmoraReason::fromTarget(VelmoraEntity{.name = "Due to Target: X"}), "Due to Target: Due to Target: X"},
      {VelmoraReason::fromResponsible(VelmoraEntity{}), "Due to Responsible: "},
      {VelmoraReason::unknown(), "<UNKNOWN>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.reason.description(), c.text);
    EXPECT_EQ(VelmoraReason::fromDescription(c.text), c.reason) << c.text;
  }
}

TEST(VelmoraReason, DescriptionShowsOnlyTheEntityName) {
  EXPECT_EQ(VelmoraReason::fromTarget(kFoo).description(), "Due to Target: Foo");
  EXPECT_EQ(VelmoraReason::x86Only(kFoo).description(), "x86 Only");
  EXPECT_EQ(*VelmoraReason::x86Only(kFoo).entity(), kFoo);
  EXPECT_EQ(VelmoraReason::unknown().entity(), nullptr);
  EXPECT_NE(VelmoraReason::x86Only(kFoo), VelmoraReason::x86Only({}));
}

TEST(VelmoraReason, UnrecognisedTextsAreUnknown) {
  for (const char* text : {"", "x86 only", "x86 Plist ", " x86 Forced", "Due to Responsible:", "Due to target: Foo",
                           "arm64", "<UNKNOWN> "}) {
    EXPECT_EQ(VelmoraReason::fromDescription(text).kind(), VelmoraReason::Kind::unknown) << text;
  }
}

TEST(DetectArchitectures, KeepsOnlyRecognisedSlicesInOrder) {
  TempDirectory dir;
  using Archs = std::vector<std::int32_t>;
  EXPECT_EQ(detectArchitectures(dir.write("x86", thinMachO(kX86_64)), rootFiles()), (Archs{kX86_64}));
  EXPECT_EQ(detectArchitectures(dir.write("arm", thinMachO(kArm64, 0)), rootFiles()), (Archs{kArm64}));
  EXPECT_EQ(detectArchitectures(dir.write("fat", universalMachO({{kArm64}, {kPowerPC}, {kX86_64}})), rootFiles()),
            (Archs{kArm64, kX86_64}));
  EXPECT_EQ(detectArchitectures(dir.write("elf", elfExecutable(62)), rootFiles()), (Archs{kX86_64}));
}

TEST(DetectArchitectures, AbsentWithTheReasonLogged) {
  TempDirectory dir;
  LogCapture sink;

  std::string missing = dir.file("missing");
  std::string script = dir.write("script", "#!/bin/sh\n");
  std::string ppc = dir.write("ppc", thinMachO(kPowerPC, 0, false, true));
  EXPECT_FALSE(detectArchitectures(missing, rootFiles()));
  EXPECT_FALSE(detectArchitectures(script, rootFiles()));
  EXPECT_FALSE(detectArchitectures(ppc, rootFiles()));
  EXPECT_FALSE(detectArchitectures(dir.path(), rootFiles()));

  EXPECT_TRUE(sink->contains("<VelmoraReason> detectArchitectures: File does not exist: " + missing));
  EXPECT_TRUE(sink->contains("<VelmoraReason> detectArchitectures: macho_for_each_slice failed with code 8 for: " +
                             script));
  EXPECT_TRUE(sink->contains("<VelmoraReason> detectArchitectures: No recognized architectures found in: " + ppc));
  EXPECT_TRUE(sink->contains("macho_for_each_slice failed with code 21 for: " + dir.path()));
}
