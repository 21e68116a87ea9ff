#include "platform/VelmoraCoordinator.h"

#include <sys/stat.h>

#include <array>
#include <list>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Bundle.h"
#include "platform/ParsedFileCache.h"
#include "platform/Log.h"

namespace platform {

namespace {

const Logger& coordinatorLog() {
  static const Logger log("com.corvane.nimbra", "VelmoraCoordinator");
  return log;
}

constexpr std::array<std::string_view, 12> kBundleSuffixes{
    ".app",    ".plugin", ".framework", ".bundle", ".component", ".appex",
    ".kext",   ".prefpane", ".qlgenerator", ".saver", ".xpc", ".systemextension"};

// The layouts of the information dictionary, in the order Bundle reads them.
constexpr std::array<std::string_view, 3> kInfoPlistLayouts{"/Contents/Info.plist", "/Info.plist",
                                                             "/Resources/Info.plist"};

bool hasBundleSuffix(std::string_view component) {
  for (std::string_view suffix : kBundleSuffixes) {
    if (component.size() <= suffix.size()) continue;  // ".app" alone names nothing
    std::string_view tail = component.substr(component.size() - suffix.size());
    bool equal = true;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
      char c = tail[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != suffix[i]) {
        equal = false;
        break;
      }
    }
    if (equal) return true;
  }
  return false;
}

// Identifies the Info.plist a bundle would be read from, as it is on disk now.
struct InfoVersion {
  int layout = -1;  // -1: none of the layouts holds a regular file
  FileVersion file;
  bool operator==(const InfoVersion&) const = default;
};

// The first layout that holds a file the user may read.
InfoVersion currentInfoVersion(const std::string& root, const UserFileReader& files) {
  for (std::size_t i = 0; i < kInfoPlistLayouts.size(); ++i) {
    if (auto file = files.open(root + std::string(kInfoPlistLayouts[i]))) {
      return InfoVersion{static_cast<int>(i), FileVersion::of(file->status)};
    }
  }
  return {};
}

VelmoraCoordinator::BundleFacts readFacts(const std::string& root, const UserFileReader& files) {
  VelmoraCoordinator::BundleFacts facts;
  auto bundle = Bundle::open(root, files);
  if (!bundle) return facts;
  facts.identifier = bundle->bundleIdentifier();
  for (std::string_view key : {"CFBundleShortVersionString", "CFBundleVersion"}) {
    const std::string* value = bundle->infoString(key);
    if (value && !value->empty()) {
      facts.version = *value;
      break;
    }
  }
  return facts;
}

// Least-recently-used cache of bundle facts by bundle directory.
class BundleFactsCache {
 public:
  VelmoraCoordinator::BundleFacts lookup(const std::string& root, const UserFileReader& files) {
    InfoVersion version = currentInfoVersion(root, files);
    // Nothing the user may read: nothing to tell, and nothing to remember.
    if (version.layout < 0) return {};
    {
      std::lock_guard lock(mutex_);
      auto it = index_.find(root);
      if (it != index_.end() && it->second->version == version) {
        order_.splice(order_.begin(), order_, it->second);
        return it->second->facts;
      }
    }
    // Read outside the lock: other lookups need not wait for this disk read.
    VelmoraCoordinator::BundleFacts facts = readFacts(root, files);
    std::lock_guard lock(mutex_);
    auto it = index_.find(root);
    if (it != index_.end()) {
      it->second->version = version;
      it->second->facts = facts;
      order_.splice(order_.begin(), order_, it->second);
      return facts;
    }
    order_.push_front(Entry{root, version, facts});
    index_.emplace(root, order_.begin());
    while (order_.size() > VelmoraCoordinator::kCacheCapacity) {
      index_.erase(order_.back().root);
      order_.pop_back();
    }
    return facts;
  }

  std::size_t size() {
    std::lock_guard lock(mutex_);
    return order_.size();
  }

  static BundleFactsCache& shared() {
    static BundleFactsCache* cache = new BundleFactsCache();  // used by blocks during exit
    return *cache;
  }

 private:
  struct Entry {
    std::string root;
    InfoVersion version;
    VelmoraCoordinator::BundleFacts facts;
  };
  std::mutex mutex_;
  std::list<Entry> order_;                                                  // GUARDED_BY(mutex_), most recent first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;       // GUARDED_BY(mutex_)
};

}  // namespace

VelmoraCoordinator::VelmoraCoordinator(std::string processName, std::string processPath, std::string targetPath,
                                       std::string responsibleName, std::string responsiblePath,
                                       UserFileReader files, bool logAnalysis)
    : processName_(std::move(processName)),
      processPath_(std::move(processPath)),
      targetPath_(std::move(targetPath)),
      responsibleName_(std::move(responsibleName)),
      responsiblePath_(std::move(responsiblePath)),
      files_(std::move(files)),
      logAnalysis_(logAnalysis) {}

std::optional<std::string> VelmoraCoordinator::containingBundle(const std::string& path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  // Lexical normalisation, so that "Foo.app/../../x" is not taken for Foo.app.
  std::vector<std::string_view> components;
  std::string_view rest(path);
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string_view component = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(component);
  }
  std::optional<std::size_t> innermost;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (hasBundleSuffix(components[i])) innermost = i;
  }
  if (!innermost) return std::nullopt;
  std::string root;
  for (std::size_t i = 0; i <= *innermost; ++i) {
    root += '/';
    root += components[i];
  }
  return root;
}

VelmoraCoordinator::BundleFacts VelmoraCoordinator::factsForPath(const std::string& path,
                                                                  const UserFileReader& files) {
  auto root = containingBundle(path);
  if (!root) return {};
  return BundleFactsCache::shared().lookup(*root, files);
}

std::size_t VelmoraCoordinator::cachedBundleCount() { return BundleFactsCache::shared().size(); }

std::optional<Dictionary> VelmoraCoordinator::analyze() {
  Dictionary found;
  struct Executable {
    const std::string& path;
    const char* identifierKey;
    const char* versionKey;
  };
  const Executable executables[] = {
      {processPath_, "ProcessBundleIdentifier", "ProcessBundleVersion"},
      {targetPath_, "TargetBundleIdentifier", "TargetBundleVersion"},
      {responsiblePath_, "ResponsibleBundleIdentifier", "ResponsibleBundleVersion"},
  };
  for (const auto& executable : executables) {
    BundleFacts facts = factsForPath(executable.path, files_);
    if (facts.identifier) found.emplace(executable.identifierKey, *facts.identifier);
    if (facts.version) found.emplace(executable.versionKey, *facts.version);
  }
  if (logAnalysis_) {
    coordinatorLog().debug("VelmoraCoordinator: analysis of {} ({}) responsible {} ({}): {}", processName_,
                           processPath_, responsibleName_, responsiblePath_, Value(found).description());
  }
  if (found.empty()) return std::nullopt;
  return found;
}

}  // namespace platform
