// Arbitrary bytes as the Info.plist and the InfoPlist.strings of a bundle on
// disk: opening and reading the bundle, naming it and deciding its reason
// must never crash, hang or escape the bundle.
//
// Input: byte 0 selects the layout, bytes 1-2 (little-endian) the length of
// the Info.plist part, the rest is the strings file.

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "nimbrad/PathParsers.h"
#include "nimbrad/VelmoraReason.h"
#include "platform/Bundle.h"
#include "platform/Log.h"

namespace {

class Scratch {
 public:
  Scratch() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/nimbra-fuzz-bundle-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    directory_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
};

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) std::abort();
  std::fclose(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The missing curated-names file is logged on every call; keep the output readable.
  platform::logging::setThreshold(platform::LogLevel::Fault);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  if (size < 3) return 0;
  const std::uint8_t layout = data[0] % 3;
  const std::size_t infoLength = std::min<std::size_t>(size - 3, data[1] | (data[2] << 8));
  std::string_view info(reinterpret_cast<const char*>(data + 3), infoLength);
  std::string_view strings(reinterpret_cast<const char*>(data + 3 + infoLength), size - 3 - infoLength);

  std::error_code ignored;
  const std::filesystem::path bundle = std::filesystem::path(scratch.directory()) / "Fuzz.app";
  std::filesystem::remove_all(bundle, ignored);
  switch (layout) {
    case 0:
      writeFile(bundle / "Contents/Info.plist", info);
      writeFile(bundle / "Contents/Resources/en.lproj/InfoPlist.strings", strings);
      writeFile(bundle / "Contents/MacOS/Fuzz", strings);
      break;
    case 1:
      writeFile(bundle / "Info.plist", info);
      writeFile(bundle / "Base.lproj/InfoPlist.strings", strings);
      break;
    default:
      writeFile(bundle / "Resources/Info.plist", info);
      writeFile(bundle / "Resources/zz.lproj/InfoPlist.strings", strings);
      break;
  }

  const platform::UserFileReader files(platform::UserIdentity::root());
  auto opened = platform::Bundle::open(bundle.string(), files);
  if (!opened) std::abort();  // it is a directory
  (void)opened->localizedInfoDictionary();
  (void)opened->bundleIdentifier();
  if (auto executable = opened->executablePath()) {
    // The executable never lies outside the bundle.
    if (executable->rfind(bundle.string() + "/", 0) != 0) std::abort();
    (void)opened->executableArchitectures();
  }

  nimbra::PathParsersConfiguration config;
  config.resourcesDirectory = scratch.directory();
  config.applicationsDirectory = scratch.directory() + "/";
  auto name = nimbra::PathParsers::getDisplayNameForPath((bundle / "Contents/MacOS/Fuzz").string(), files, config);
  if (!name) std::abort();  // an openable bundle always has a name
  (void)nimbra::reasonForBundle(bundle.string(), files);
  return 0;
}
