#include "platform/Sandbox.h"
#include "platform/FileDescriptor.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/Directories.h"
#include "platform/Expected.h"
#include "platform/Log.h"
#include "platform/MemoryPressureSource.h"
#include "platform/PropertyList.h"

namespace platform::sandbox {

namespace {

// Filesystem access rights by the ABI version that introduced them. Spelled
// out here because the installed kernel headers may predate the running kernel.
constexpr std::uint64_t kAccessExecute = 1ULL << 0;
constexpr std::uint64_t kAccessWriteFile = 1ULL << 1;
constexpr std::uint64_t kAccessReadFile = 1ULL << 2;
constexpr std::uint64_t kAccessReadDir = 1ULL << 3;
constexpr std::uint64_t kAccessAbi1 = (1ULL << 13) - 1;  // execute .. make_sym
constexpr std::uint64_t kAccessRefer = 1ULL << 13;       // ABI 2
constexpr std::uint64_t kAccessTruncate = 1ULL << 14;    // ABI 3
constexpr std::uint64_t kAccessIoctlDev = 1ULL << 15;    // ABI 5
// The only rights a rule on a file (not a directory) may carry.
constexpr std::uint64_t kFileRights =
    kAccessExecute | kAccessWriteFile | kAccessReadFile | kAccessTruncate | kAccessIoctlDev;

// Network rights (ABI 4) and scopes (ABI 6). The daemon neither listens on
// nor connects to TCP, and talks to no abstract Unix socket. Signals stay
// unscoped: the daemon must be able to end helpers outside its domain.
constexpr std::uint64_t kAccessNetBindTcp = 1ULL << 0;
constexpr std::uint64_t kAccessNetConnectTcp = 1ULL << 1;
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ULL << 0;

// The ruleset attribute as ABI 6 knows it; the installed headers may predate
// it. The kernel is given the prefix its ABI understands (a longer one with
// non-zero fields it does not know would be refused).
struct RulesetAttributes {
  std::uint64_t handledAccessFs = 0;
  std::uint64_t handledAccessNet = 0;  // ABI 4
  std::uint64_t scoped = 0;            // ABI 6
};

std::size_t attributesSize(long abi) {
  if (abi >= 6) return sizeof(RulesetAttributes);
  if (abi >= 4) return offsetof(RulesetAttributes, scoped);
  return offsetof(RulesetAttributes, handledAccessNet);
}

// systemd may hand the daemon an abstract notification socket; scoping
// abstract sockets would then silence readiness.
bool notifySocketIsAbstract() {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  return notify != nullptr && notify[0] == '@';
}

std::uint64_t handledRights(long abi) {
  std::uint64_t rights = kAccessAbi1;
  if (abi >= 2) rights |= kAccessRefer;
  if (abi >= 3) rights |= kAccessTruncate;
  if (abi >= 5) rights |= kAccessIoctlDev;
  return rights;
}

long landlockCreateRuleset(const void* attr, std::size_t size, std::uint32_t flags) {
  return ::syscall(SYS_landlock_create_ruleset, attr, size, flags);
}
long landlockAddRule(int rulesetFd, landlock_rule_type type, const void* attr, std::uint32_t flags) {
  return ::syscall(SYS_landlock_add_rule, rulesetFd, type, attr, flags);
}
long landlockRestrictSelf(int rulesetFd, std::uint32_t flags) {
  return ::syscall(SYS_landlock_restrict_self, rulesetFd, flags);
}

const Logger& logger() {
  static const Logger log("com.corvane.nimbrad", "Sandbox");
  return log;
}

std::string errnoText(int error) { return std::strerror(error); }

// ---- per-identifier user directories ----

struct UserDirectories {
  std::string temp;
  std::string cache;
};

std::mutex gDirectoriesMutex;
std::optional<UserDirectories> gDirectories;  // GUARDED_BY(gDirectoriesMutex)

bool isSinglePathComponent(const std::string& name) {
  return !name.empty() && name.size() <= NAME_MAX && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// Creates `path` with mode 0700 unless it exists. An existing one must be a
// directory itself (not a link to one) owned by us: /tmp is shared, and a
// directory planted there by another user would let that user read or swap
// our files.
Expected<void, std::string> ensurePrivateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return unexpected("cannot create " + path + ": " + errnoText(errno));
  }
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ELOOP || errno == ENOTDIR) return unexpected(path + " is not a directory (or is a symbolic link)");
    return unexpected("cannot open " + path + ": " + errnoText(errno));
  }
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return unexpected("cannot inspect " + path + ": " + errnoText(errno));
  if (st.st_uid != ::geteuid()) {
    return unexpected(path + " is owned by uid " + std::to_string(st.st_uid) + ", not by uid " +
                      std::to_string(::geteuid()));
  }
  if ((st.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0) {
    return unexpected("cannot restrict the mode of " + path + ": " + errnoText(errno));
  }
  return {};
}

// The cache root is normally created by the service manager; when the daemon
// runs without one it creates the last level itself.
Expected<void, std::string> ensureCacheRoot(const std::string& root) {
  if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
    return unexpected("cannot create " + root + ": " + errnoText(errno));
  }
  return {};
}

std::optional<std::string> usableDirectory(std::string UserDirectories::*which) {
  std::string path;
  {
    std::lock_guard lock(gDirectoriesMutex);
    if (!gDirectories) return std::nullopt;
    path = (*gDirectories).*which;
  }
  if (auto ensured = ensurePrivateDirectory(path); !ensured) {
    logger().error("<nimbrad: Sandbox> Cannot use {}", ensured.error());
    return std::nullopt;
  }
  return path + "/";
}

// ---- profiles ----

// Each variable stands for zero or more values; an entry naming a variable
// with several values stands for one path per value.
using Variables = std::map<std::string, std::vector<std::string>, std::less<>>;

Expected<std::vector<std::string>, std::string> expandEntry(const std::string& entry, const Variables& variables) {
  std::vector<std::string> results{""};
  std::size_t position = 0;
  while (position < entry.size()) {
    auto start = entry.find("${", position);
    std::string literal = entry.substr(position, start == std::string::npos ? std::string::npos : start - position);
    for (auto& result : results) result += literal;
    if (start == std::string::npos) break;
    auto end = entry.find('}', start + 2);
    if (end == std::string::npos) return unexpected("unterminated variable in \"" + entry + "\"");
    std::string name = entry.substr(start + 2, end - start - 2);
    auto found = variables.find(name);
    if (found == variables.end()) return unexpected("unknown variable ${" + name + "} in \"" + entry + "\"");
    std::vector<std::string> expanded;
    for (const auto& result : results) {
      for (const auto& value : found->second) {
        if (!value.empty()) expanded.push_back(result + value);
      }
    }
    results = std::move(expanded);
    position = end + 1;
  }
  return results;
}

struct Rules {
  std::vector<std::string> read;
  std::vector<std::string> write;
};

Expected<Rules, std::string> loadProfile(const std::string& path, const Variables& variables) {
  PropertyListLimits limits;
  limits.maxDepth = 4;
  limits.maxValues = 100'000;
  auto decoded = PropertyList::readFile(path, limits, 1024 * 1024);
  if (!decoded) return unexpected("cannot read sandbox profile " + path + ": " + decoded.error().message);
  const Dictionary* root = decoded->asDictionary();
  if (root == nullptr) return unexpected("sandbox profile " + path + " is not a dictionary");

  Rules rules;
  for (const auto& [key, value] : *root) {
    std::vector<std::string>* target = key == "read" ? &rules.read : key == "write" ? &rules.write : nullptr;
    // An unknown key is most likely a misspelt one; refusing it is better
    // than running with rules the administrator did not mean.
    if (target == nullptr) return unexpected("sandbox profile " + path + " has an unknown key \"" + key + "\"");
    const Array* entries = value.asArray();
    if (entries == nullptr) return unexpected("\"" + key + "\" in sandbox profile " + path + " is not an array");
    for (const Value& entry : *entries) {
      const std::string* text = entry.asString();
      if (text == nullptr) {
        return unexpected("\"" + key + "\" in sandbox profile " + path + " holds a " +
                          std::string(entry.typeName()) + ", not a path");
      }
      auto expanded = expandEntry(*text, variables);
      if (!expanded) return unexpected("sandbox profile " + path + ": " + expanded.error());
      if (expanded->empty()) logger().debug("<nimbrad: Sandbox> Skipping \"{}\": its variable has no value", *text);
      for (auto& resolved : *expanded) {
        if (resolved.front() != '/') {
          return unexpected("sandbox profile " + path + ": \"" + resolved + "\" is not an absolute path");
        }
        target->push_back(std::move(resolved));
      }
    }
  }
  return rules;
}

Expected<Variables, std::string> makeVariables(const char* const parameters[]) {
  Variables variables{
      {"STATE_DIRECTORY", {directories::state()}},
      {"RUNTIME_DIRECTORY", {directories::runtime()}},
      {"CACHE_DIRECTORY", {directories::cache()}},
      {"CONFIGURATION_DIRECTORY", {directories::configuration()}},
      {"RESOURCES", {directories::resources()}},
      {"MEMORY_PRESSURE", MemoryPressureSource::candidatePaths()},
      {"HOME", {}},
      {"TMPDIR", {}},
      {"DARWIN_CACHE_DIR", {}},
  };
  if (parameters == nullptr) return variables;
  for (std::size_t i = 0; parameters[i] != nullptr; i += 2) {
    if (parameters[i + 1] == nullptr) {
      return unexpected("sandbox parameter \"" + std::string(parameters[i]) + "\" has no value");
    }
    variables[parameters[i]] = {parameters[i + 1]};
  }
  return variables;
}

// Landlock confines only the thread that restricts itself (and what it
// starts later); threads that already run would stay unconfined.
Expected<void, std::string> requireSingleThread() {
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return unexpected("cannot count the threads of the process: " + errnoText(errno));
  int count = 0;
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(tasks);
  if (count != 1) {
    return unexpected("the process runs " + std::to_string(count) +
                      " threads; the sandbox must be entered while it runs only one");
  }
  return {};
}

Expected<void, std::string> addRule(int rulesetFd, const std::string& path, std::uint64_t rights,
                                    std::size_t& added) {
  FileDescriptor fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      logger().debug("<nimbrad: Sandbox> Skipping {}: it does not exist", path);
      return {};
    }
    return unexpected("cannot open " + path + " for a sandbox rule: " + errnoText(errno));
  }
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return unexpected("cannot inspect " + path + ": " + errnoText(errno));
  if (!S_ISDIR(st.st_mode)) rights &= kFileRights;
  landlock_path_beneath_attr rule{};
  rule.allowed_access = rights;
  rule.parent_fd = fd.get();
  if (landlockAddRule(rulesetFd, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
    return unexpected("cannot add the sandbox rule for " + path + ": " + errnoText(errno));
  }
  ++added;
  return {};
}

int fail(char** errorbuf, const std::string& message) {
  if (errorbuf != nullptr) *errorbuf = ::strdup(message.c_str());
  return -1;
}

}  // namespace

bool setUserDirSuffix(const std::string& identifier) {
  if (!isSinglePathComponent(identifier)) {
    logger().error("<nimbrad: Sandbox> Invalid user directory suffix \"{}\"", identifier);
    return false;
  }
  UserDirectories dirs{"/tmp/" + identifier, directories::cache() + "/" + identifier};
  Expected<void, std::string> result = ensurePrivateDirectory(dirs.temp);
  if (result) result = ensureCacheRoot(directories::cache());
  if (result) result = ensurePrivateDirectory(dirs.cache);
  if (!result) {
    logger().error("<nimbrad: Sandbox> Cannot use {}", result.error());
    return false;
  }
  std::lock_guard lock(gDirectoriesMutex);
  gDirectories = std::move(dirs);
  return true;
}

std::optional<std::string> userTempDirectory() { return usableDirectory(&UserDirectories::temp); }
std::optional<std::string> userCacheDirectory() { return usableDirectory(&UserDirectories::cache); }

std::optional<std::string> homeDirectory() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') return std::nullopt;
  return std::string(found->pw_dir);
}

std::optional<std::string> realPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

int initWithParameters(const char* profile, unsigned long long flags, const char* const parameters[],
                       char** errorbuf) {
  if (flags != kSandboxNamed) return fail(errorbuf, "unsupported sandbox flags " + std::to_string(flags));
  if (profile == nullptr || !isSinglePathComponent(profile)) {
    return fail(errorbuf, "invalid sandbox profile name \"" + std::string(profile ? profile : "") + "\"");
  }
  return initWithProfileFile(directories::resources() + "/sandbox/" + profile + ".plist", parameters, errorbuf);
}

int initWithProfileFile(const std::string& profilePath, const char* const parameters[], char** errorbuf) {
  auto variables = makeVariables(parameters);
  if (!variables) return fail(errorbuf, variables.error());
  // The profile is checked before Landlock is looked for, so a broken profile
  // fails the same way on every kernel.
  auto rules = loadProfile(profilePath, *variables);
  if (!rules) return fail(errorbuf, rules.error());

  long abi = landlockCreateRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 0) {
    if (errno == ENOSYS || errno == EOPNOTSUPP) {
      logger().error("<nimbrad: Sandbox> Landlock is not available on this kernel; running unsandboxed");
      return 0;
    }
    return fail(errorbuf, "cannot query the Landlock ABI: " + errnoText(errno));
  }
  if (auto single = requireSingleThread(); !single) return fail(errorbuf, single.error());

  const std::uint64_t handled = handledRights(abi);
  RulesetAttributes attributes;
  attributes.handledAccessFs = handled;
  std::string network = "TCP allowed (ABI below 4)";
  if (abi >= 4) {
    // Handled with no rule that allows any port: every bind and connect is denied.
    attributes.handledAccessNet = kAccessNetBindTcp | kAccessNetConnectTcp;
    network = "TCP bind and connect denied";
  }
  std::string abstractSockets = "abstract Unix sockets unscoped (ABI below 6)";
  if (abi >= 6 && notifySocketIsAbstract()) {
    abstractSockets = "abstract Unix sockets unscoped (the notification socket is one)";
  } else if (abi >= 6) {
    attributes.scoped = kScopeAbstractUnixSocket;
    abstractSockets = "abstract Unix sockets scoped";
  }
  FileDescriptor ruleset(static_cast<int>(landlockCreateRuleset(&attributes, attributesSize(abi), 0)));
  if (ruleset.get() < 0) return fail(errorbuf, "cannot create the Landlock ruleset: " + errnoText(errno));

  std::size_t readRules = 0;
  std::size_t writeRules = 0;
  for (const auto& path : rules->read) {
    auto added = addRule(ruleset.get(), path, (kAccessReadFile | kAccessReadDir) & handled, readRules);
    if (!added) return fail(errorbuf, added.error());
  }
  for (const auto& path : rules->write) {
    auto added = addRule(ruleset.get(), path, handled, writeRules);
    if (!added) return fail(errorbuf, added.error());
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return fail(errorbuf, "cannot set no_new_privs: " + errnoText(errno));
  }
  if (landlockRestrictSelf(ruleset.get(), 0) != 0) {
    return fail(errorbuf, "cannot enforce the Landlock ruleset: " + errnoText(errno));
  }
  logger().info("<nimbrad: Sandbox> Landlock ABI {} ruleset from {} enforced ({} read and {} write rules; {}; {})",
                abi, profilePath, readRules, writeRules, network, abstractSockets);
  return 0;
}

void freeError(char* errorbuf) { std::free(errorbuf); }

}  // namespace platform::sandbox
