// Arbitrary bytes as an executable file: the slice reader must answer with
// slices or an error code, never read past the file, and never report a
// slice when it fails.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "nimbrad/VelmoraReason.h"
#include "platform/MachO.h"

namespace {

class Scratch {
 public:
  Scratch() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/nimbra-fuzz-macho-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    directory_ = pattern;
    file_ = directory_ + "/exe";
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  const std::string& file() const { return file_; }

 private:
  std::string directory_;
  std::string file_;
};

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
  std::fclose(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  writeFile(scratch.file(), data, size);

  std::size_t slices = 0;
  int result = platform::macho::forEachSlice(scratch.file(), [&](std::int32_t, std::int32_t) { ++slices; });
  if (result != 0 && slices != 0) std::abort();
  if (result == 0 && (slices == 0 || slices > platform::macho::kMaxSlices)) std::abort();

  const platform::UserFileReader files(platform::UserIdentity::root());
  auto architectures = nimbra::detectArchitectures(scratch.file(), files);
  if (architectures && (architectures->empty() || architectures->size() > slices)) std::abort();
  return 0;
}
