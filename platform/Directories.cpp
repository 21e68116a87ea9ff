#include "platform/Directories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace platform::directories {

namespace {

std::string fromEnvironment(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return fallback;
  std::string text(value);
  auto colon = text.find(':');
  if (colon != std::string::npos) text.resize(colon);
  return text.empty() ? fallback : text;
}

bool isDirectory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string configuration() { return fromEnvironment("CONFIGURATION_DIRECTORY", "/etc/nimbrad"); }
std::string state() { return fromEnvironment("STATE_DIRECTORY", "/var/lib/nimbrad"); }
std::string runtime() { return fromEnvironment("RUNTIME_DIRECTORY", "/run/nimbrad"); }
std::string cache() { return fromEnvironment("CACHE_DIRECTORY", "/var/cache/nimbrad"); }

std::optional<std::string> groupContainer(std::string_view group) {
  if (group.empty() || group == "." || group == ".." || group.find('/') != std::string_view::npos) {
    return std::nullopt;
  }
  return state() + "/" + std::string(group);
}

std::string executablePath() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string resources() {
  std::string exe = executablePath();
  if (!exe.empty()) {
    auto installed = std::filesystem::path(exe).parent_path().parent_path() / "share" / "nimbra" / "Resources";
    if (isDirectory(installed.string())) return installed.string();
  }
  std::string sourceTree = std::string(NIMBRA_SOURCE_DIR) + "/resources";
  if (isDirectory(sourceTree)) return sourceTree;
  return std::string(NIMBRA_INSTALL_PREFIX) + "/share/nimbra/Resources";
}

}  // namespace platform::directories
