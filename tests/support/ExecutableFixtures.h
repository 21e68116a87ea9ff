#pragma once

// Executable files written byte by byte, for tests of the architecture
// readers: thin and universal Mach-O files and ELF files.

#include <cstdint>
#include <string>
#include <vector>

namespace nimbra::test {

inline constexpr std::int32_t kX86_64 = 0x1000007;
inline constexpr std::int32_t kArm64 = 0x100000c;
inline constexpr std::int32_t kPowerPC = 18;

// A thin Mach-O header (and `padding` zero bytes after it).
std::string thinMachO(std::int32_t cputype, std::int32_t cpusubtype = 3, bool is64 = true, bool bigEndian = false,
                      std::size_t padding = 64);

struct FatSlice {
  std::int32_t cputype;
  std::int32_t cpusubtype = 0;
};

// A universal file whose slices are thin 64-bit little-endian Mach-O files,
// each at a 256-byte aligned offset. `fat64` selects the 64-bit fat header,
// `littleEndianHeader` its byte-swapped form.
std::string universalMachO(const std::vector<FatSlice>& slices, bool fat64 = false, bool littleEndianHeader = false);

// Only the fat header and arch table, with raw offsets and sizes, for
// malformed files.
std::string rawFatHeader(std::uint32_t claimedCount, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& offsetSizes);

// A minimal ELF header with the given e_machine (62 x86_64, 183 aarch64).
std::string elfExecutable(std::uint16_t machine, bool is64 = true, bool bigEndian = false);

}  // namespace nimbra::test
