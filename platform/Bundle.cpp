#include "platform/Bundle.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <memory>

#include "platform/FileProbe.h"
#include "platform/MachO.h"
#include "platform/ParsedFileCache.h"
#include "platform/PropertyList.h"
#include "platform/StringsFile.h"

namespace platform {

namespace {

// A hostile bundle may hold any number of entries; the language directories
// of a real one are a few dozen.
constexpr std::size_t kMaxResourceEntries = 4096;

constexpr std::string_view kStringsFileName = "InfoPlist.strings";

std::string join(std::string_view directory, std::string_view name) {
  std::string out(directory);
  if (out.empty() || out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

// Bundles are inspected on every launch; their files rarely change.
constexpr std::size_t kCachedFiles = 1024;

const std::shared_ptr<const Dictionary>& emptyDictionary() {
  static const auto* empty = new std::shared_ptr<const Dictionary>(std::make_shared<const Dictionary>());
  return *empty;
}

ParsedFileCache<Dictionary>& infoCache() {
  static auto* cache = new ParsedFileCache<Dictionary>(kCachedFiles);  // never destroyed: used during exit
  return *cache;
}

ParsedFileCache<Dictionary>& stringsCache() {
  static auto* cache = new ParsedFileCache<Dictionary>(kCachedFiles);
  return *cache;
}

// What a failed open says about the file: absent for the user (nothing
// there, or nothing they may read), or present but not a regular file.
bool absentForUser(int error) { return error != EISDIR && error != ENODEV; }

// Parses the open `file` through `cache`, which then keeps the parse for the
// file's version. nullptr when the content is unusable.
template <typename Parse>
std::shared_ptr<const Dictionary> parseOpenFile(ParsedFileCache<Dictionary>& cache, const std::string& path,
                                                const UserFileReader::OpenFile& file, Parse parse) {
  const int fd = file.fd.get();
  return cache.get(
      path, FileVersion::of(file.status),
      [fd, &parse](const std::string&) -> std::shared_ptr<const Dictionary> {
        auto bytes = files::readDescriptor(fd, Bundle::kMaxInfoFileBytes);
        if (!bytes) return nullptr;
        return parse(*bytes);
      },
      [fd] { return FileVersion::ofOpenFile(fd); });
}

std::shared_ptr<const Dictionary> readInfoDictionary(const std::string& bundlePath, const UserFileReader& files) {
  for (std::string_view relative : {"Contents/Info.plist", "Info.plist", "Resources/Info.plist"}) {
    std::string candidate = join(bundlePath, relative);
    auto file = files.open(candidate);
    if (!file && absentForUser(file.error())) continue;
    // The first one present decides, readable or not: a broken Info.plist
    // is not papered over by a stray one elsewhere in the bundle.
    if (!file) return emptyDictionary();
    auto info = parseOpenFile(infoCache(), candidate, *file, [](const std::string& bytes) -> std::shared_ptr<const Dictionary> {
      PropertyListLimits limits;
      limits.maxDepth = 32;
      auto value = PropertyList::decode(bytes, limits);
      Dictionary* dictionary = value ? value->asDictionary() : nullptr;
      return dictionary ? std::make_shared<const Dictionary>(std::move(*dictionary)) : nullptr;
    });
    return info ? info : emptyDictionary();
  }
  return emptyDictionary();
}

struct StringsFileFound {
  std::string path;
  UserFileReader::OpenFile file;
};

std::optional<StringsFileFound> localizedStringsPath(const std::string& resources, const UserFileReader& files) {
  auto found = [&files](std::string candidate) -> std::optional<StringsFileFound> {
    auto file = files.open(candidate);
    if (!file) return std::nullopt;
    return StringsFileFound{std::move(candidate), std::move(file).value()};
  };
  for (std::string_view language : {"en", "English", "Base"}) {
    if (auto strings = found(join(join(resources, std::string(language) + ".lproj"), kStringsFileName))) return strings;
  }
  auto listing = files.openDirectory(resources);
  if (!listing) return std::nullopt;
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::fdopendir(listing->get()), ::closedir);
  if (!directory) return std::nullopt;
  listing->release();  // now owned by `directory`
  std::vector<std::string> languages;
  std::size_t seen = 0;
  while (dirent* entry = ::readdir(directory.get())) {
    if (++seen > kMaxResourceEntries) break;
    std::string_view name(entry->d_name);
    if (name.size() > 6 && name.ends_with(".lproj")) languages.emplace_back(name);
  }
  std::sort(languages.begin(), languages.end());
  for (const std::string& language : languages) {
    if (auto strings = found(join(join(resources, language), kStringsFileName))) return strings;
  }
  return std::nullopt;
}

bool isDirectoryFor(const UserFileReader& files, const std::string& path) {
  auto status = files.status(path);
  return status && S_ISDIR(status->st_mode);
}

bool isRegularFileFor(const UserFileReader& files, const std::string& path) {
  auto status = files.status(path);
  return status && S_ISREG(status->st_mode);
}

}  // namespace

std::optional<Bundle> Bundle::open(const std::string& path, const UserFileReader& files) {
  if (!isDirectoryFor(files, path)) return std::nullopt;
  return Bundle(path, readInfoDictionary(path, files), files);
}

std::string Bundle::resourcesDirectory() const {
  for (std::string_view relative : {"Contents/Resources", "Resources"}) {
    std::string candidate = join(path_, relative);
    if (isDirectoryFor(files_, candidate)) return candidate;
  }
  return path_;
}

Dictionary Bundle::localizedInfoDictionary() const {
  auto found = localizedStringsPath(resourcesDirectory(), files_);
  if (!found) return {};
  auto parsed = parseOpenFile(stringsCache(), found->path, found->file, [](const std::string& bytes) -> std::shared_ptr<const Dictionary> {
    auto strings = StringsFile::parse(bytes);
    if (!strings) return nullptr;
    return std::make_shared<const Dictionary>(std::move(strings).value());
  });
  return parsed ? *parsed : Dictionary{};
}

const std::string* Bundle::infoString(std::string_view key) const {
  auto it = info_->find(key);
  return it == info_->end() ? nullptr : it->second.asString();
}

std::optional<std::string> Bundle::bundleIdentifier() const {
  const std::string* identifier = infoString("CFBundleIdentifier");
  if (identifier == nullptr || identifier->empty()) return std::nullopt;
  return *identifier;
}

std::optional<std::string> Bundle::executablePath() const {
  const std::string* name = infoString("CFBundleExecutable");
  if (name == nullptr || name->empty() || *name == "." || *name == ".." ||
      name->find('/') != std::string::npos || name->find('\0') != std::string::npos) {
    return std::nullopt;
  }
  std::string contents = join(path_, "Contents");
  std::string candidate = isDirectoryFor(files_, contents) ? join(join(contents, "MacOS"), *name) : join(path_, *name);
  if (!isRegularFileFor(files_, candidate)) return std::nullopt;
  return candidate;
}

std::optional<std::vector<std::int32_t>> Bundle::executableArchitectures() const {
  auto executable = executablePath();
  if (!executable) return std::nullopt;
  std::vector<std::int32_t> architectures;
  int result = macho::forEachSliceCached(files_, *executable, [&](std::int32_t cputype, std::int32_t) {
    architectures.push_back(cputype);
  });
  if (result != 0) return std::nullopt;
  return architectures;
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type) const {
  std::string file(name);
  if (!type.empty()) {
    file.push_back('.');
    file.append(type);
  }
  if (file.find('/') != std::string::npos) return std::nullopt;
  std::string candidate = join(resourcesDirectory(), file);
  if (!isRegularFileFor(files_, candidate)) return std::nullopt;
  return candidate;
}

}  // namespace platform
