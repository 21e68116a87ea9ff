#pragma once

// Architecture slices of executables: thin Mach-O files (32- and 64-bit, either
// byte order), universal files (32- and 64-bit fat headers, either byte order)
// and ELF files, which is what most executables on Linux are.
//
// Only headers are read, never past the end of the file, and the number of
// slices of a universal file is bounded, so a hostile or truncated file costs
// a few small reads and yields an error code.

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/UserFileReader.h"

namespace platform::macho {

inline constexpr std::int32_t kCpuTypeAny = -1;
inline constexpr std::int32_t kCpuTypeX86 = 7;
inline constexpr std::int32_t kCpuTypeArm = 12;
inline constexpr std::int32_t kCpuTypeX86_64 = 0x1000007;
inline constexpr std::int32_t kCpuTypeArm64 = 0x100000c;

// Universal files claiming more slices than this are refused as malformed;
// real ones carry a handful.
inline constexpr std::uint32_t kMaxSlices = 64;

// Error codes besides the errno values of open(2) (ENOENT, EACCES, ELOOP, ...).
inline constexpr int kErrorNotExecutable = ENOEXEC;  // not a Mach-O, universal or ELF file
inline constexpr int kErrorMalformed = EINVAL;       // truncated header, bad slice table
inline constexpr int kErrorIsDirectory = EISDIR;

using SliceCallback = std::function<void(std::int32_t cputype, std::int32_t cpusubtype)>;

// Calls `callback` once per slice, in slice order, with the CPU type and
// subtype from the slice's own header. A thin Mach-O or ELF file is one slice;
// an ELF machine maps to the Mach-O CPU type (x86_64 -> kCpuTypeX86_64,
// aarch64 -> kCpuTypeArm64, i386 -> kCpuTypeX86, arm -> kCpuTypeArm, others
// kCpuTypeAny with the ELF machine number as subtype).
//
// Returns 0 on success. On failure returns a non-zero error code (above) and
// has not called `callback` at all: every slice is validated before the
// first call. Special files are refused without blocking (a FIFO is opened
// non-blocking and is not a regular file). Thread-safe.
int forEachSlice(const std::string& path, const SliceCallback& callback);

// forEachSlice for an executable that a user names: the file is opened with
// `files`' rights (see UserFileReader), and the answer is remembered while
// the file on disk stays the same (executables are inspected on every
// launch; they rarely change). Same results and calls as forEachSlice for a
// file the user may read; otherwise the reader's error (EACCES, ENOENT,
// ELOOP, ...), kErrorIsDirectory for a directory and kErrorNotExecutable for
// a FIFO, socket or device, which is never opened.
int forEachSliceCached(const UserFileReader& files, const std::string& path, const SliceCallback& callback);

}  // namespace platform::macho
