#include "nimbrad/PathParsers.h"

#include <array>
#include <cstdio>
#include <vector>

#include "nimbrad/AppTranslocationHelper.h"
#include "platform/Directories.h"
#include "platform/FileProbe.h"
#include "platform/Log.h"
#include "platform/ParsedFileCache.h"
#include "platform/PropertyList.h"

namespace nimbra {

namespace {

constexpr std::array<HostExecutable, 6> kHostExecutables{{
    {"/usr/libexec/indexing/importer-host", "Indexing Importer"},
    {"/usr/libexec/preview/generator-host", "Preview Generator"},
    {"/usr/libexec/web/plugin-host", "Web Plug-in"},
    {"/usr/libexec/settings/panel-host", "Settings Pane"},
    {"/usr/libexec/audio/midi-server", "MIDI Driver"},
    {"/usr/libexec/desktop/widget-host", "Desktop Widget"},
}};

constexpr std::array<std::string_view, 5> kSystemBinaryDirectories{
    "/bin/", "/sbin/", "/usr/bin/", "/usr/local/bin/", "/usr/sbin/"};

constexpr std::array<std::string_view, 10> kDisplayNameSuffixes{
    ".app", ".plugin", ".framework", ".bundle", ".component", ".appex", ".kext", ".prefpane", ".qlgenerator", ".saver"};

constexpr std::string_view kCuratedNamesResource = "CuratedDisplayNames.plist";

constexpr std::string_view kTranslocationComponent = "/AppTranslocation/";

const platform::Logger& log() { return platform::Logger::defaultLog(); }

// The type of the text after the component's last "."; none without one.
BundleType componentType(std::string_view component) {
  auto dot = component.rfind('.');
  if (dot == std::string_view::npos) return BundleType::none;
  return bundleTypeForExtension(component.substr(dot + 1));
}

bool isBundleComponent(std::string_view component) {
  BundleType type = componentType(component);
  return type != BundleType::none && type != BundleType::library;
}

// The components of a path as a file URL names them: "/" first for an
// absolute path, then each name; empty names (from "//" or a trailing "/")
// are dropped.
std::vector<std::string_view> urlComponents(std::string_view path) {
  std::vector<std::string_view> components;
  if (!path.empty() && path.front() == '/') components.emplace_back("/");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    std::size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (end > start) components.push_back(path.substr(start, end - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return components;
}

// Calls `visit(component, endOffset)` for each non-empty component of the
// path text, in order, until it returns true. Offsets refer to `path`, so the
// caller can cut the original text without normalising it.
template <typename Visit>
void forEachComponent(std::string_view path, Visit&& visit) {
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t slash = path.find('/', start);
    std::size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (end > start && visit(path.substr(start, end - start), end)) return;
    if (slash == std::string_view::npos) return;
    start = slash + 1;
  }
}

bool isFileURLPath(std::string_view path) { return !path.empty() && path.front() == '/'; }

std::string asciiLowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The last component of a directory path without its extension.
std::string directoryNameWithoutExtension(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  auto slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  auto dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

const std::string* nonEmptyString(const platform::Dictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  if (it == dictionary.end()) return nullptr;
  const std::string* text = it->second.asString();
  return text != nullptr && !text->empty() ? text : nullptr;
}

// True when the path lies in a bundle or is one, so that bundle information
// applies to it.
bool belongsToBundle(const std::string& path, const std::string& root) {
  return root != path || PathParsers::isBundlePath(path);
}

}  // namespace

const PathParsersConfiguration& PathParsersConfiguration::standard() {
  static const PathParsersConfiguration configuration{
      .resourcesDirectory = platform::directories::resources(),
      .applicationsDirectory = "/Applications/",
      .temporaryFolders = "/private/var/folders/",
      .translocation = &platform::Translocation::system(),
  };
  return configuration;
}

std::span<const HostExecutable> PathParsers::hostExecutables() { return kHostExecutables; }

std::string PathParsers::cleanDisplayName(std::string_view name) {
  constexpr std::string_view kLeft = "\u201C";
  constexpr std::string_view kRight = "\u201D";
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    return std::string(name.substr(1, name.size() - 2));
  }
  if (name.size() >= kLeft.size() + kRight.size() && name.starts_with(kLeft) && name.ends_with(kRight)) {
    return std::string(name.substr(kLeft.size(), name.size() - kLeft.size() - kRight.size()));
  }
  return std::string(name);
}

bool PathParsers::isBundlePath(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  auto slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return isBundleComponent(last);
}

std::string PathParsers::bundleRoot(std::string_view path) {
  std::optional<std::size_t> cut;
  forEachComponent(path, [&](std::string_view component, std::size_t end) {
    if (!isBundleComponent(component)) return false;
    cut = end;
    return true;
  });
  return std::string(cut ? path.substr(0, *cut) : path);
}

std::optional<std::string> PathParsers::getCuratedDisplayNameForPath(const std::string& path,
                                                                    const PathParsersConfiguration& config) {
  std::string file = config.resourcesDirectory;
  if (file.empty() || file.back() != '/') file.push_back('/');
  file.append(kCuratedNamesResource);
  // Read on every call, parsed only when the file changed: display names are
  // looked up for every launch.
  static auto* cache = new platform::ParsedFileCache<platform::Dictionary>(8);
  auto names = cache->get(file, [](const std::string& candidate) -> std::shared_ptr<const platform::Dictionary> {
    auto loaded = platform::PropertyList::readFile(candidate);
    platform::Dictionary* dictionary = loaded ? loaded->asDictionary() : nullptr;
    return dictionary ? std::make_shared<const platform::Dictionary>(std::move(*dictionary)) : nullptr;
  });
  if (names == nullptr) {
    // Only a failure pays for telling its causes apart.
    if (!platform::files::isDirectory(config.resourcesDirectory)) {
      log().error("<nimbrad: PathParsers> getCuratedDisplayNameForPath: Failed to get Nimbra framework bundle");
    } else if (!platform::files::isRegularFile(file)) {
      log().error(
          "<nimbrad: PathParsers> getCuratedDisplayNameForPath: Failed to find CuratedDisplayNames.plist in framework "
          "bundle");
    } else {
      log().error("<nimbrad: PathParsers> getCuratedDisplayNameForPath: Failed to load CuratedDisplayNames.plist");
    }
    return std::nullopt;
  }
  auto it = names->find(path);
  if (it == names->end()) return std::nullopt;
  const std::string* name = it->second.asString();
  if (name == nullptr) return std::nullopt;
  log().debug("<nimbrad: PathParsers> getCuratedDisplayNameForPath: Found curated name '{}' for path '{}'", *name, path);
  return *name;
}

std::optional<std::string> PathParsers::getDisplayNameForPath(const std::string& path,
                                                              const platform::UserFileReader& files,
                                                              const PathParsersConfiguration& config) {
  if (auto curated = getCuratedDisplayNameForPath(path, config)) return cleanDisplayName(*curated);

  std::string root = bundleRoot(path);
  if (belongsToBundle(path, root)) {
    if (auto bundle = platform::Bundle::open(root, files)) {
      platform::Dictionary localized = bundle->localizedInfoDictionary();
      const platform::Dictionary& info = bundle->infoDictionary();
      const std::string* name = nonEmptyString(localized, "CFBundleName");
      if (name == nullptr) name = nonEmptyString(info, "CFBundleName");
      if (name == nullptr) name = nonEmptyString(localized, "CFBundleDisplayName");
      if (name == nullptr) name = nonEmptyString(info, "CFBundleDisplayName");
      return cleanDisplayName(name != nullptr ? *name : directoryNameWithoutExtension(root));
    }
  }

  std::vector<std::string_view> components;
  forEachComponent(path, [&](std::string_view component, std::size_t) {
    components.push_back(component);
    return false;
  });
  for (std::string_view suffix : kDisplayNameSuffixes) {
    for (std::string_view component : components) {
      // A component that is only the suffix (a hidden ".app") names nothing.
      if (component.size() > suffix.size() && asciiLowercase(component).ends_with(suffix)) {
        return cleanDisplayName(component.substr(0, component.size() - suffix.size()));
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> PathParsers::getBundleIdentifierForPath(const std::string& path,
                                                                   const platform::UserFileReader& files) {
  std::string root = bundleRoot(path);
  if (!belongsToBundle(path, root)) return std::nullopt;
  auto bundle = platform::Bundle::open(root, files);
  if (!bundle) return std::nullopt;
  return bundle->bundleIdentifier();
}

namespace {

// The path up to and including its last bundle component, or the path itself.
std::string innermostBundlePath(std::string path) {
  std::optional<std::size_t> cut;
  forEachComponent(path, [&](std::string_view component, std::size_t end) {
    if (isBundleComponent(component)) cut = end;
    return false;
  });
  if (cut) path.resize(*cut);
  return path;
}

}  // namespace

std::optional<platform::Bundle> PathParsers::getEmbeddedBundle(const std::string& path,
                                                               const platform::UserFileReader& files,
                                                               const PathParsersConfiguration& config) {
  std::string sanitized = handleSanitizedPath(path, files, config);
  // Sanitizing once is enough: the sanitized path is what it is.
  std::string containing = innermostBundlePath(sanitized);
  if (containing == sanitized && !isBundlePath(containing)) {
    log().debug("<nimbrad: PathParsers> getEmbeddedBundle: no containing bundle for: {}", sanitized);
    return std::nullopt;
  }
  log().info("<nimbrad: PathParsers> getEmbeddedBundle: containing bundle for: {} is: {}", sanitized, containing);
  return platform::Bundle::open(containing, files);
}

std::optional<std::string> PathParsers::getShowInVistralPath(const std::string& path,
                                                             const platform::UserFileReader& files,
                                                             const PathParsersConfiguration& config) {
  log().debug("<PathParsers: getShowInVistralPath> rawPath: {}", path);
  std::string candidate = bundleRoot(path);
  if (!files.status(candidate)) return std::nullopt;
  std::string resolved = resolveTranslocatedPath(candidate, config);
  if (resolved.starts_with(config.temporaryFolders)) {
    log().debug("<PathParsers: getShowInVistralPath> Hiding temp path: {}", resolved);
    return std::nullopt;
  }
  log().debug("<PathParsers: getShowInVistralPath> Final path: {}", resolved);
  return resolved;
}

std::string PathParsers::handleSanitizedPath(const std::string& path, const platform::UserFileReader& files,
                                             const PathParsersConfiguration& config) {
  if (files.status(path)) return path;
  // An empty path would otherwise name the applications directory itself.
  if (!path.empty()) {
    std::string underApplications = config.applicationsDirectory + path;
    if (files.status(underApplications)) {
      std::string line = "found " + underApplications + "\n";
      std::fputs(line.c_str(), stdout);
      std::fflush(stdout);
      return underApplications;
    }
  }
  log().error("<nimbrad: PathParsers>: handleSanitizedPath: Unable to find: {}", path);
  return path;
}

std::string PathParsers::getContainingBundlePath(const std::string& path, const platform::UserFileReader& files,
                                                 const PathParsersConfiguration& config) {
  return innermostBundlePath(handleSanitizedPath(path, files, config));
}

std::string PathParsers::resolveTranslocatedPath(const std::string& path, const PathParsersConfiguration& config) {
  std::string_view text(path);
  if (text.starts_with(config.temporaryFolders) && text.find(kTranslocationComponent) != std::string_view::npos) {
    return AppTranslocationHelper::originalPath(path, *config.translocation);
  }
  return path;
}

std::optional<BundleTuple> PathParsers::mainBundleTuple(std::string_view path) {
  for (const HostExecutable& host : kHostExecutables) {
    if (host.path == path) return BundleTuple{std::string(host.label), BundleType::system};
  }
  if (!isFileURLPath(path)) {
    log().error("<nimbrad: PathParsers> ERROR: path not a proper URL: {}", path);
    return std::nullopt;
  }
  auto components = urlComponents(path);
  std::string accumulated;
  for (std::string_view component : components) {
    if (component == "/") {
      accumulated.assign(1, '/');
      continue;
    }
    if (BundleType type = componentType(component); type != BundleType::none) {
      return BundleTuple{std::string(component), type};
    }
    // The accumulated directory does not include this component yet, so
    // everything at or below a system binary directory is a script.
    for (std::string_view directory : kSystemBinaryDirectories) {
      if (accumulated == directory) return BundleTuple{std::string(path), BundleType::script};
    }
    accumulated.append(component);
    accumulated.push_back('/');
  }
  std::string_view last = components.back();
  if (last == "steam_osx") return BundleTuple{"Steam.app", BundleType::app};
  return BundleTuple{std::string(last), BundleType::other};
}

std::optional<BundleTuple> PathParsers::execBundleTuple(std::string_view path,
                                                        std::optional<std::string_view> mainBundle) {
  if (mainBundle && *mainBundle == path) return BundleTuple{std::string(path), BundleType::script};
  if (!isFileURLPath(path)) {
    log().error("<nimbrad: PathParsers> ERROR: path not a proper URL: {}", path);
    return std::nullopt;
  }
  auto components = urlComponents(path);
  // From the last component towards the first (which is "/"), stopping at
  // the main bundle: the first hit is the innermost bundle below it.
  for (std::size_t i = components.size(); i-- > 1;) {
    std::string_view component = components[i];
    if (mainBundle && component == *mainBundle) break;
    if (BundleType type = componentType(component); type != BundleType::none) {
      return BundleTuple{std::string(component), type};
    }
  }
  return BundleTuple{std::string(components.back()), BundleType::other};
}

}  // namespace nimbra
