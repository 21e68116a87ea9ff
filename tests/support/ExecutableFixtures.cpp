#include "tests/support/ExecutableFixtures.h"

namespace nimbra::test {

namespace {

void put32(std::string& out, std::uint32_t v, bool bigEndian) {
  for (int i = 0; i < 4; ++i) {
    int shift = bigEndian ? 24 - 8 * i : 8 * i;
    out.push_back(static_cast<char>((v >> shift) & 0xff));
  }
}

void put64(std::string& out, std::uint64_t v, bool bigEndian) {
  if (bigEndian) {
    put32(out, static_cast<std::uint32_t>(v >> 32), true);
    put32(out, static_cast<std::uint32_t>(v), true);
  } else {
    put32(out, static_cast<std::uint32_t>(v), false);
    put32(out, static_cast<std::uint32_t>(v >> 32), false);
  }
}

void put16(std::string& out, std::uint16_t v, bool bigEndian) {
  if (bigEndian) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v & 0xff));
  } else {
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(v >> 8));
  }
}

}  // namespace

std::string thinMachO(std::int32_t cputype, std::int32_t cpusubtype, bool is64, bool bigEndian, std::size_t padding) {
  std::string out;
  put32(out, is64 ? 0xfeedfacf : 0xfeedface, bigEndian);
  put32(out, static_cast<std::uint32_t>(cputype), bigEndian);
  put32(out, static_cast<std::uint32_t>(cpusubtype), bigEndian);
  put32(out, 2, bigEndian);  // MH_EXECUTE
  put32(out, 0, bigEndian);  // ncmds
  put32(out, 0, bigEndian);  // sizeofcmds
  put32(out, 0, bigEndian);  // flags
  if (is64) put32(out, 0, bigEndian);  // reserved
  out.append(padding, '\0');
  return out;
}

std::string universalMachO(const std::vector<FatSlice>& slices, bool fat64, bool littleEndianHeader) {
  const bool big = !littleEndianHeader;
  std::vector<std::string> bodies;
  for (const FatSlice& slice : slices) bodies.push_back(thinMachO(slice.cputype, slice.cpusubtype));

  std::string out;
  put32(out, fat64 ? 0xcafebabf : 0xcafebabe, big);
  put32(out, static_cast<std::uint32_t>(slices.size()), big);
  std::uint64_t offset = 256 * ((8 + slices.size() * 32) / 256 + 1);
  std::vector<std::uint64_t> offsets;
  for (std::size_t i = 0; i < slices.size(); ++i) {
    offsets.push_back(offset);
    put32(out, static_cast<std::uint32_t>(slices[i].cputype), big);
    put32(out, static_cast<std::uint32_t>(slices[i].cpusubtype), big);
    if (fat64) {
      put64(out, offset, big);
      put64(out, bodies[i].size(), big);
      put32(out, 8, big);  // align 2^8
      put32(out, 0, big);  // reserved
    } else {
      put32(out, static_cast<std::uint32_t>(offset), big);
      put32(out, static_cast<std::uint32_t>(bodies[i].size()), big);
      put32(out, 8, big);
    }
    offset += 256 * (bodies[i].size() / 256 + 1);
  }
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    out.resize(offsets[i], '\0');
    out += bodies[i];
  }
  return out;
}

std::string rawFatHeader(std::uint32_t claimedCount,
                         const std::vector<std::pair<std::uint32_t, std::uint32_t>>& offsetSizes) {
  std::string out;
  put32(out, 0xcafebabe, true);
  put32(out, claimedCount, true);
  for (const auto& [offset, size] : offsetSizes) {
    put32(out, static_cast<std::uint32_t>(kX86_64), true);
    put32(out, 3, true);
    put32(out, offset, true);
    put32(out, size, true);
    put32(out, 0, true);
  }
  return out;
}

std::string elfExecutable(std::uint16_t machine, bool is64, bool bigEndian) {
  std::string out = "\x7f" "ELF";
  out.push_back(is64 ? 2 : 1);          // EI_CLASS
  out.push_back(bigEndian ? 2 : 1);     // EI_DATA
  out.push_back(1);                     // EI_VERSION
  out.append(9, '\0');                  // OS ABI and padding
  put16(out, 2, bigEndian);             // ET_EXEC
  put16(out, machine, bigEndian);       // e_machine
  put32(out, 1, bigEndian);             // e_version
  out.resize(is64 ? 64 : 52, '\0');     // rest of the header
  return out;
}

}  // namespace nimbra::test
