#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "platform/MachO.h"
#include "tests/support/ExecutableFixtures.h"
#include "tests/support/TempDirectory.h"

using namespace nimbra::test;
namespace macho = platform::macho;

namespace {

using Slices = std::vector<std::pair<std::int32_t, std::int32_t>>;

int slicesOf(const std::string& path, Slices& out) {
  return macho::forEachSlice(path, [&](std::int32_t type, std::int32_t subtype) { out.emplace_back(type, subtype); });
}

}  // namespace

TEST(MachO, ReportsEverySliceOfWellFormedFilesInOrder) {
  struct Case {
    const char* name;
    std::string bytes;
    Slices expected;
  };
  const std::vector<Case> cases = {
      {"thin x86_64", thinMachO(kX86_64, 3), {{kX86_64, 3}}},
      {"thin arm64", thinMachO(kArm64, 0), {{kArm64, 0}}},
      {"thin 32-bit big-endian", thinMachO(kPowerPC, 10, false, true), {{kPowerPC, 10}}},
      {"thin 64-bit big-endian", thinMachO(kArm64, 2, true, true), {{kArm64, 2}}},
      {"thin header without padding", thinMachO(kX86_64, 3, true, false, 0), {{kX86_64, 3}}},
      {"universal", universalMachO({{kX86_64, 3}, {kArm64, 0}}), {{kX86_64, 3}, {kArm64, 0}}},
      {"universal arm64 first", universalMachO({{kArm64, 0}, {kX86_64, 3}}), {{kArm64, 0}, {kX86_64, 3}}},
      {"universal 64-bit fat header", universalMachO({{kX86_64, 3}, {kArm64, 0}}, true), {{kX86_64, 3}, {kArm64, 0}}},
      {"universal byte-swapped header", universalMachO({{kArm64, 0}}, false, true), {{kArm64, 0}}},
      {"universal 64-bit byte-swapped", universalMachO({{kX86_64, 3}, {kPowerPC, 0}}, true, true),
       {{kX86_64, 3}, {kPowerPC, 0}}},
      {"ELF x86_64", elfExecutable(62), {{kX86_64, 3}}},
      {"ELF aarch64", elfExecutable(183), {{kArm64, 0}}},
      {"ELF aarch64 big-endian", elfExecutable(183, true, true), {{kArm64, 0}}},
      {"ELF 32-bit i386", elfExecutable(3, false), {{macho::kCpuTypeX86, 3}}},
      {"ELF RISC-V", elfExecutable(243), {{macho::kCpuTypeAny, 243}}},
  };
  TempDirectory dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Slices seen;
    EXPECT_EQ(slicesOf(dir.write("exe", c.bytes), seen), 0);
    EXPECT_EQ(seen, c.expected);
  }
}

TEST(MachO, RefusesMalformedAndForeignFilesWithoutCallingBack) {
  std::string universal = universalMachO({{kX86_64, 3}, {kArm64, 0}});
  std::string fatWithBadSlice = universal;
  fatWithBadSlice[256] = 'X';  // the first slice no longer starts with a Mach-O magic
  std::string universalCutShort = universal.substr(0, universal.size() - 40);

  struct Case {
    const char* name;
    std::string bytes;
    int expected;
  };
  const std::vector<Case> cases = {
      {"empty file", "", macho::kErrorNotExecutable},
      {"three bytes", "\xcf\xfa\xed", macho::kErrorNotExecutable},
      {"text file", "#!/bin/sh\necho hello\n", macho::kErrorNotExecutable},
      {"thin header cut short", thinMachO(kX86_64, 3, true, false, 0).substr(0, 20), macho::kErrorMalformed},
      {"32-bit thin header cut short", thinMachO(kX86_64, 3, false, false, 0).substr(0, 27), macho::kErrorMalformed},
      {"fat magic only", std::string("\xca\xfe\xba\xbe", 4), macho::kErrorMalformed},
      {"fat claiming 2^32-1 slices", rawFatHeader(0xffffffffu, {}), macho::kErrorMalformed},
      {"fat claiming more slices than present", rawFatHeader(3, {{64, 32}}), macho::kErrorMalformed},
      {"fat claiming no slice", rawFatHeader(0, {}), macho::kErrorMalformed},
      {"slice offset beyond the file", rawFatHeader(1, {{0x7fffffff, 32}}), macho::kErrorMalformed},
      {"slice size beyond the file", rawFatHeader(1, {{28, 0xffffffffu}}), macho::kErrorMalformed},
      {"slice offset and size overflowing", rawFatHeader(1, {{0xffffff00u, 0x200}}), macho::kErrorMalformed},
      {"slice that is not a Mach-O", fatWithBadSlice, macho::kErrorMalformed},
      {"universal file cut inside the last slice", universalCutShort, macho::kErrorMalformed},
      {"ELF ident only", std::string("\x7f" "ELF\x02\x01\x01", 7), macho::kErrorMalformed},
      {"ELF with a bad class", std::string("\x7f" "ELF\x07\x01\x01", 7) + std::string(60, '\0'), macho::kErrorMalformed},
      {"ELF header cut short", elfExecutable(62).substr(0, 40), macho::kErrorMalformed},
  };
  TempDirectory dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Slices seen;
    EXPECT_EQ(slicesOf(dir.write("exe", c.bytes), seen), c.expected);
    EXPECT_TRUE(seen.empty());
  }
}

TEST(MachO, RefusesWhatIsNotAReadableRegularFile) {
  TempDirectory dir;
  std::string target = dir.write("real", thinMachO(kX86_64));
  ASSERT_EQ(::symlink("loop-b", dir.file("loop-a").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a", dir.file("loop-b").c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);  // opening it blocking would hang

  Slices seen;
  EXPECT_EQ(slicesOf(dir.file("missing"), seen), ENOENT);
  EXPECT_EQ(slicesOf("", seen), ENOENT);
  EXPECT_EQ(slicesOf(dir.file("loop-a"), seen), ELOOP);
  EXPECT_EQ(slicesOf(dir.path(), seen), macho::kErrorIsDirectory);
  EXPECT_EQ(slicesOf(dir.file("fifo"), seen), macho::kErrorNotExecutable);
  EXPECT_EQ(slicesOf("/dev/null", seen), macho::kErrorNotExecutable);
  EXPECT_TRUE(seen.empty());

  // A link to an executable is read through.
  EXPECT_EQ(slicesOf(dir.file("link"), seen), 0);
  EXPECT_EQ(seen, (Slices{{kX86_64, 3}}));
}

TEST(MachO, ReadsTheRunningTestBinary) {
  // The test binary itself is a real ELF file of this machine.
  Slices seen;
  ASSERT_EQ(slicesOf("/proc/self/exe", seen), 0);
  ASSERT_EQ(seen.size(), 1u);
#if defined(__x86_64__)
  EXPECT_EQ(seen[0].first, kX86_64);
#elif defined(__aarch64__)
  EXPECT_EQ(seen[0].first, kArm64);
#endif
}
