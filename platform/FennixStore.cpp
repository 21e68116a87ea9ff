#include "platform/FennixStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>

#include "platform/Directories.h"
#include "platform/FileDescriptor.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

namespace platform {

namespace {

constexpr const char* kLevelsFile = "levels.plist";
constexpr const char* kDeploymentFile = "deployment.plist";
// The metadata files are tiny; anything large is not ours.
constexpr std::size_t kMaxMetadataBytes = 1024 * 1024;
constexpr std::size_t kMaxContentBytes = 16 * 1024 * 1024;
constexpr std::size_t kUniqueDigits = 16;

const Logger& storeLog() {
  static const Logger log("com.corvane.nimbrad", "FennixStore");
  return log;
}

std::string errnoText() { return std::strerror(errno); }

bool exists(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

// A file of the store as a dictionary; a missing file is silently empty, an
// unusable one is logged once per read and empty too.
std::optional<Dictionary> readDictionaryFile(const std::string& path) {
  if (!exists(path)) return std::nullopt;
  PropertyListLimits limits;
  limits.maxDepth = 8;
  limits.maxValues = 100'000;
  auto root = PropertyList::readFile(path, limits, kMaxMetadataBytes);
  if (!root) {
    storeLog().error("Ignoring unreadable Fennix file {}: {}", path, root.error().message);
    return std::nullopt;
  }
  auto* dictionary = root->asDictionary();
  if (dictionary == nullptr) {
    storeLog().error("Ignoring Fennix file {}: root is {}, not a dictionary", path, root->typeName());
    return std::nullopt;
  }
  return std::move(*dictionary);
}

const std::string* stringAt(const Dictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : it->second.asString();
}

std::optional<std::int32_t> deploymentIdAt(const Dictionary& dictionary) {
  auto it = dictionary.find("deploymentId");
  if (it == dictionary.end()) return std::nullopt;
  const auto* integer = it->second.asInteger();
  if (integer == nullptr || *integer < std::numeric_limits<std::int32_t>::min() ||
      *integer > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*integer);
}

std::string uniqueSuffix() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  return fmt::format("{:016x}", generator());
}

bool isHex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// "<factor>-<16 hex digits>.plist", the names install() gives content files.
bool isContentFileOf(std::string_view name, std::string_view factor) {
  constexpr std::string_view suffix = ".plist";
  if (name.size() != factor.size() + 1 + kUniqueDigits + suffix.size()) return false;
  if (name.substr(0, factor.size()) != factor || name[factor.size()] != '-') return false;
  if (name.substr(name.size() - suffix.size()) != suffix) return false;
  return isHex(name.substr(factor.size() + 1, kUniqueDigits));
}

Expected<std::string, std::string> readSource(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return unexpected(fmt::format("cannot open {}: {}", path, errnoText()));
  struct stat st{};
  std::string data;
  std::string failure;
  if (::fstat(fd.get(), &st) != 0) {
    failure = fmt::format("cannot stat {}: {}", path, errnoText());
  } else if (!S_ISREG(st.st_mode)) {
    failure = fmt::format("{} is not a regular file", path);
  } else if (static_cast<std::uint64_t>(st.st_size) > kMaxContentBytes) {
    failure = fmt::format("{} is larger than {} bytes", path, kMaxContentBytes);
  } else {
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failure = fmt::format("cannot read {}: {}", path, errnoText());
        break;
      }
      if (n == 0) break;
      data.append(buffer, static_cast<std::size_t>(n));
      if (data.size() > kMaxContentBytes) {
        failure = fmt::format("{} is larger than {} bytes", path, kMaxContentBytes);
        break;
      }
    }
  }
  if (!failure.empty()) return unexpected(std::move(failure));
  return data;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Writes `data` to a temporary file in `directory` and renames it to `name`
// only once it is complete and on stable storage.
Expected<void, std::string> writeNewFile(const std::string& directory, const std::string& name, std::string_view data) {
  std::string temporary = directory + "/.install-XXXXXX";
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return unexpected(fmt::format("cannot create a temporary file in {}: {}", directory, errnoText()));
  bool ok = writeAll(fd.get(), data) && ::fchmod(fd.get(), 0644) == 0 && ::fsync(fd.get()) == 0;
  std::string failure = ok ? std::string() : fmt::format("cannot write {}: {}", temporary, errnoText());
  fd.reset();
  std::string target = directory + "/" + name;
  if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    failure = fmt::format("cannot rename {} to {}: {}", temporary, target, errnoText());
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return unexpected(std::move(failure));
  }
  return {};
}

void syncDirectory(const std::string& directory) {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}

Expected<void, std::string> removeIfPresent(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return unexpected(fmt::format("cannot remove {}: {}", path, errnoText()));
  }
  return {};
}

Dictionary deploymentDictionary(const FennixDeployment& deployment) {
  if (const auto* rollout = std::get_if<FennixRolloutIdentifiers>(&deployment)) {
    return {{"rolloutId", Value(rollout->rolloutId)},
            {"deploymentId", Value(static_cast<long long>(rollout->deploymentId))},
            {"factorPackId", Value(rollout->factorPackId)}};
  }
  const auto& experiment = std::get<FennixExperimentIdentifiers>(deployment);
  return {{"experimentId", Value(experiment.experimentId)},
          {"deploymentId", Value(static_cast<long long>(experiment.deploymentId))},
          {"treatmentId", Value(experiment.treatmentId)}};
}

}  // namespace

FennixStore::FennixStore(std::string directory) : directory_(std::move(directory)) {}

std::string FennixStore::defaultDirectory() { return directories::state() + "/fennix"; }

bool FennixStore::isValidName(std::string_view name) {
  if (name.empty() || name.size() > 128 || name.front() == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
              c == '-';
    if (!ok) return false;
  }
  return true;
}

std::optional<std::string> FennixStore::namespaceDirectory(std::string_view namespaceName) const {
  if (!isValidName(namespaceName)) return std::nullopt;
  return directory_ + "/" + std::string(namespaceName);
}

FennixNamespaceSnapshot FennixStore::read(std::string_view namespaceName) const {
  FennixNamespaceSnapshot snapshot;
  auto folder = namespaceDirectory(namespaceName);
  if (!folder) return snapshot;

  if (auto levels = readDictionaryFile(*folder + "/" + kLevelsFile)) {
    for (const auto& [factor, entry] : *levels) {
      const auto* level = entry.asDictionary();
      if (level == nullptr) continue;
      FennixLevel result;
      if (auto file = level->find("file"); file != level->end()) {
        FennixFileValue value;
        const auto* path = file->second.asString();
        if (path != nullptr && !path->empty() && path->find('\0') == std::string::npos) {
          value.path = path->front() == '/' ? *path : *folder + "/" + *path;
        }
        result.fileValue = std::move(value);
      }
      snapshot.levels.emplace(factor, std::move(result));
    }
  }

  if (auto deployment = readDictionaryFile(*folder + "/" + kDeploymentFile)) {
    auto deploymentId = deploymentIdAt(*deployment);
    const auto* rolloutId = stringAt(*deployment, "rolloutId");
    const auto* factorPackId = stringAt(*deployment, "factorPackId");
    if (deploymentId && rolloutId != nullptr && factorPackId != nullptr) {
      snapshot.rollout = FennixRolloutIdentifiers{*rolloutId, *deploymentId, *factorPackId};
    }
    const auto* experimentId = stringAt(*deployment, "experimentId");
    const auto* treatmentId = stringAt(*deployment, "treatmentId");
    if (deploymentId && experimentId != nullptr && treatmentId != nullptr) {
      snapshot.experiment = FennixExperimentIdentifiers{*experimentId, *deploymentId, *treatmentId};
    }
  }
  return snapshot;
}

Expected<std::string, std::string> FennixStore::install(std::string_view namespaceName, std::string_view factor,
                                                        const std::string& sourceFile,
                                                        const FennixDeployment& deployment) const {
  auto folder = namespaceDirectory(namespaceName);
  if (!folder) return unexpected(fmt::format("invalid namespace name '{}'", namespaceName));
  if (!isValidName(factor)) return unexpected(fmt::format("invalid factor name '{}'", factor));
  auto content = readSource(sourceFile);
  if (!content) return unexpected(content.error());

  std::error_code error;
  std::filesystem::create_directories(*folder, error);
  if (error) return unexpected(fmt::format("cannot create {}: {}", *folder, error.message()));

  std::string name = fmt::format("{}-{}.plist", factor, uniqueSuffix());
  if (auto written = writeNewFile(*folder, name, *content); !written) return unexpected(written.error());

  // Keep the other factors of the namespace; a levels file we cannot read is
  // replaced rather than left blocking every install.
  std::string levelsPath = *folder + "/" + kLevelsFile;
  Dictionary levels = readDictionaryFile(levelsPath).value_or(Dictionary{});
  std::string previous;
  if (auto it = levels.find(factor); it != levels.end()) {
    if (const auto* entry = it->second.asDictionary()) {
      if (const auto* file = stringAt(*entry, "file")) previous = std::filesystem::path(*file).filename().string();
    }
  }
  levels[std::string(factor)] = Value(Dictionary{{"file", Value(name)}});

  // The deployment first and the levels last: the levels file is what points
  // readers at the new content, so it is the moment the install takes effect.
  std::string deploymentPath = *folder + "/" + kDeploymentFile;
  if (std::holds_alternative<std::monostate>(deployment)) {
    if (auto removed = removeIfPresent(deploymentPath); !removed) return unexpected(removed.error());
  } else if (auto written = PropertyList::writeFileAtomically(deploymentPath, Value(deploymentDictionary(deployment)));
             !written) {
    return unexpected(fmt::format("cannot write {}: {}", deploymentPath, written.error().message));
  }
  if (auto written = PropertyList::writeFileAtomically(levelsPath, Value(levels)); !written) {
    return unexpected(fmt::format("cannot write {}: {}", levelsPath, written.error().message));
  }

  // One generation back stays: a reader that picked up the previous file just
  // before the switch can still read it.
  if (DIR* dir = ::opendir(folder->c_str())) {
    while (struct dirent* entry = ::readdir(dir)) {
      std::string_view entryName = entry->d_name;
      if (entryName == name || entryName == previous || !isContentFileOf(entryName, factor)) continue;
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
  }
  syncDirectory(*folder);
  return *folder + "/" + name;
}

Expected<void, std::string> FennixStore::clear(std::string_view namespaceName) const {
  auto folder = namespaceDirectory(namespaceName);
  if (!folder) return unexpected(fmt::format("invalid namespace name '{}'", namespaceName));
  if (!exists(*folder)) return {};
  if (auto removed = removeIfPresent(*folder + "/" + kLevelsFile); !removed) return removed;
  syncDirectory(*folder);
  if (auto removed = removeIfPresent(*folder + "/" + kDeploymentFile); !removed) return removed;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(*folder, error)) {
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
    if (ignored) return unexpected(fmt::format("cannot remove {}: {}", entry.path().string(), ignored.message()));
  }
  if (error) return unexpected(fmt::format("cannot list {}: {}", *folder, error.message()));
  syncDirectory(*folder);
  return {};
}

}  // namespace platform
