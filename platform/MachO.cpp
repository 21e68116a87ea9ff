#include "platform/MachO.h"

#include "platform/FileDescriptor.h"
#include "platform/ParsedFileCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace platform::macho {

namespace {

constexpr std::uint32_t kMachMagic32 = 0xfeedface;
constexpr std::uint32_t kMachMagic64 = 0xfeedfacf;
constexpr std::uint32_t kFatMagic32 = 0xcafebabe;
constexpr std::uint32_t kFatMagic64 = 0xcafebabf;

constexpr std::uint64_t kMachHeader32Size = 28;
constexpr std::uint64_t kMachHeader64Size = 32;
constexpr std::uint64_t kFatHeaderSize = 8;
constexpr std::uint64_t kFatArch32Size = 20;
constexpr std::uint64_t kFatArch64Size = 32;
constexpr std::uint64_t kElf32HeaderSize = 52;
constexpr std::uint64_t kElf64HeaderSize = 64;

constexpr std::uint16_t kElfMachine386 = 3;
constexpr std::uint16_t kElfMachineArm = 40;
constexpr std::uint16_t kElfMachineX86_64 = 62;
constexpr std::uint16_t kElfMachineAarch64 = 183;

std::uint32_t swap32(std::uint32_t v) { return __builtin_bswap32(v); }
std::uint64_t swap64(std::uint64_t v) { return __builtin_bswap64(v); }

std::uint32_t loadBig32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

std::uint64_t loadBig64(const unsigned char* p) {
  return (std::uint64_t{loadBig32(p)} << 32) | std::uint64_t{loadBig32(p + 4)};
}

// Positioned reads bounded by the file size taken at open time.
class FileReader {
 public:
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // 0 and an open reader, or an error code.
  static int open(const std::string& path, std::optional<FileReader>& reader) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) return errno != 0 ? errno : kErrorNotExecutable;
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) return errno != 0 ? errno : kErrorNotExecutable;
    if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? kErrorIsDirectory : kErrorNotExecutable;
    reader.emplace(std::move(fd), static_cast<std::uint64_t>(st.st_size));
    return 0;
  }

  FileReader(FileDescriptor fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}

  int fd() const { return fd_.get(); }
  std::uint64_t size() const { return size_; }

  // Reads exactly `length` bytes at `offset`; false when that range is not
  // wholly inside the file or the read comes up short.
  bool read(std::uint64_t offset, void* buffer, std::uint64_t length) const {
    if (offset > size_ || length > size_ - offset) return false;
    auto* out = static_cast<unsigned char*>(buffer);
    std::uint64_t done = 0;
    while (done < length) {
      ssize_t n = ::pread(fd_.get(), out + done, static_cast<std::size_t>(length - done),
                          static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return false;
      done += static_cast<std::uint64_t>(n);
    }
    return true;
  }

 private:
  FileDescriptor fd_;
  std::uint64_t size_;
};

struct Slice {
  std::int32_t cputype;
  std::int32_t cpusubtype;
};

// A thin Mach-O header at `offset`, within `length` bytes; nullopt when the
// bytes there are not one.
std::optional<Slice> readThinHeader(const FileReader& file, std::uint64_t offset, std::uint64_t length) {
  unsigned char header[kMachHeader64Size];
  if (length < 4 || !file.read(offset, header, 4)) return std::nullopt;
  std::uint32_t native = 0;
  std::memcpy(&native, header, 4);
  bool swapped = false;
  std::uint64_t headerSize = 0;
  if (native == kMachMagic32 || native == kMachMagic64) {
    headerSize = native == kMachMagic32 ? kMachHeader32Size : kMachHeader64Size;
  } else if (swap32(native) == kMachMagic32 || swap32(native) == kMachMagic64) {
    swapped = true;
    headerSize = swap32(native) == kMachMagic32 ? kMachHeader32Size : kMachHeader64Size;
  } else {
    return std::nullopt;
  }
  if (length < headerSize || !file.read(offset, header, headerSize)) return std::nullopt;
  std::uint32_t cputype = 0;
  std::uint32_t cpusubtype = 0;
  std::memcpy(&cputype, header + 4, 4);
  std::memcpy(&cpusubtype, header + 8, 4);
  if (swapped) {
    cputype = swap32(cputype);
    cpusubtype = swap32(cpusubtype);
  }
  return Slice{static_cast<std::int32_t>(cputype), static_cast<std::int32_t>(cpusubtype)};
}

int readFat(const FileReader& file, bool is64, bool littleEndian, std::vector<Slice>& slices) {
  unsigned char header[kFatHeaderSize];
  if (!file.read(0, header, kFatHeaderSize)) return kErrorMalformed;
  std::uint32_t count = loadBig32(header + 4);
  if (littleEndian) count = swap32(count);
  if (count == 0 || count > kMaxSlices) return kErrorMalformed;

  const std::uint64_t archSize = is64 ? kFatArch64Size : kFatArch32Size;
  // Bounded by kMaxSlices, so the table is at most a couple of kilobytes.
  std::vector<unsigned char> table(static_cast<std::size_t>(archSize * count));
  if (!file.read(kFatHeaderSize, table.data(), table.size())) return kErrorMalformed;

  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char* arch = table.data() + archSize * i;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    if (is64) {
      offset = loadBig64(arch + 8);
      size = loadBig64(arch + 16);
      if (littleEndian) {
        offset = swap64(offset);
        size = swap64(size);
      }
    } else {
      std::uint32_t offset32 = loadBig32(arch + 8);
      std::uint32_t size32 = loadBig32(arch + 12);
      if (littleEndian) {
        offset32 = swap32(offset32);
        size32 = swap32(size32);
      }
      offset = offset32;
      size = size32;
    }
    if (offset > file.size() || size > file.size() - offset) return kErrorMalformed;
    auto slice = readThinHeader(file, offset, size);
    if (!slice) return kErrorMalformed;
    slices.push_back(*slice);
  }
  return 0;
}

int readElf(const FileReader& file, std::vector<Slice>& slices) {
  unsigned char ident[20];
  if (!file.read(0, ident, sizeof ident)) return kErrorMalformed;
  const unsigned char elfClass = ident[4];
  const unsigned char elfData = ident[5];
  if ((elfClass != 1 && elfClass != 2) || (elfData != 1 && elfData != 2)) return kErrorMalformed;
  if (file.size() < (elfClass == 1 ? kElf32HeaderSize : kElf64HeaderSize)) return kErrorMalformed;
  const std::uint16_t machine = elfData == 1 ? static_cast<std::uint16_t>(ident[18] | (ident[19] << 8))
                                             : static_cast<std::uint16_t>((ident[18] << 8) | ident[19]);
  switch (machine) {
    case kElfMachineX86_64: slices.push_back({kCpuTypeX86_64, 3}); break;
    case kElfMachineAarch64: slices.push_back({kCpuTypeArm64, 0}); break;
    case kElfMachine386: slices.push_back({kCpuTypeX86, 3}); break;
    case kElfMachineArm: slices.push_back({kCpuTypeArm, 0}); break;
    default: slices.push_back({kCpuTypeAny, machine}); break;
  }
  return 0;
}

int collectSlices(const FileReader& file, std::vector<Slice>& slices) {
  unsigned char magic[4];
  if (!file.read(0, magic, sizeof magic)) return kErrorNotExecutable;
  if (std::memcmp(magic, "\x7f" "ELF", 4) == 0) return readElf(file, slices);

  const std::uint32_t big = loadBig32(magic);
  if (big == kFatMagic32) return readFat(file, false, false, slices);
  if (big == kFatMagic64) return readFat(file, true, false, slices);
  if (swap32(big) == kFatMagic32) return readFat(file, false, true, slices);
  if (swap32(big) == kFatMagic64) return readFat(file, true, true, slices);

  if (big == kMachMagic32 || big == kMachMagic64 || swap32(big) == kMachMagic32 || swap32(big) == kMachMagic64) {
    auto slice = readThinHeader(file, 0, file.size());
    if (!slice) return kErrorMalformed;
    slices.push_back(*slice);
    return 0;
  }
  return kErrorNotExecutable;
}

}  // namespace

int forEachSlice(const std::string& path, const SliceCallback& callback) {
  if (path.empty()) return ENOENT;
  std::optional<FileReader> file;
  if (int error = FileReader::open(path, file); error != 0) return error;
  std::vector<Slice> slices;
  if (int error = collectSlices(*file, slices); error != 0) return error;
  if (callback) {
    for (const Slice& slice : slices) callback(slice.cputype, slice.cpusubtype);
  }
  return 0;
}

namespace {

struct SliceAnswer {
  int result = 0;
  std::vector<std::pair<std::int32_t, std::int32_t>> slices;
};

}  // namespace

int forEachSliceCached(const UserFileReader& files, const std::string& path, const SliceCallback& callback) {
  static auto* cache = new ParsedFileCache<SliceAnswer>(1024);  // never destroyed: used during exit
  auto opened = files.open(path);
  if (!opened) return opened.error() == ENODEV ? kErrorNotExecutable : opened.error();
  const FileVersion version = FileVersion::of(opened->status);
  const FileReader file(std::move(opened->fd), static_cast<std::uint64_t>(opened->status.st_size));
  auto answer = cache->get(
      path, version,
      [&file](const std::string&) {
        auto out = std::make_shared<SliceAnswer>();
        std::vector<Slice> slices;
        out->result = collectSlices(file, slices);
        if (out->result == 0) {
          for (const Slice& slice : slices) out->slices.emplace_back(slice.cputype, slice.cpusubtype);
        }
        return std::shared_ptr<const SliceAnswer>(std::move(out));
      },
      [&file] { return FileVersion::ofOpenFile(file.fd()); });
  if (answer->result == 0) {
    for (const auto& [type, subtype] : answer->slices) callback(type, subtype);
  }
  return answer->result;
}

}  // namespace platform::macho
