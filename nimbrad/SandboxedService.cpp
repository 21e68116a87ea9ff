#include "nimbrad/SandboxedService.h"

#include <cstdlib>
#include <vector>

#include "platform/Log.h"
#include "platform/Sandbox.h"

namespace nimbra {

namespace sandbox = platform::sandbox;

namespace {

const platform::Logger& log() { return platform::Logger::defaultLog(); }

[[noreturn]] void fail() { std::exit(1); }

std::string describe(const std::map<std::string, std::string>& parameters) {
  std::string text = "[";
  bool first = true;
  for (const auto& [key, value] : parameters) {
    if (!first) text += ", ";
    first = false;
    text += "\"" + key + "\": \"" + value + "\"";
  }
  return text + "]";
}

}  // namespace

void SandboxedService::enterSandbox(const std::string& identifier) {
  log().notice("<nimbrad: Sandbox> Entering sandbox with identifier: {}", identifier);

  if (!sandbox::setUserDirSuffix(identifier)) {
    log().error("<nimbrad: Sandbox> _set_user_dir_suffix() failed!");
    fail();
  }
  // Resolving the temporary directory is what makes the suffixed directory exist.
  auto temp = sandbox::userTempDirectory();
  if (!temp || !sandbox::realPath(*temp)) {
    log().error("<nimbrad: Sandbox> Unable to resolve the user temporary directory");
    fail();
  }

  std::map<std::string, std::string> parameters;
  auto home = sandbox::homeDirectory();
  auto homeResolved = home ? sandbox::realPath(*home) : std::nullopt;
  if (!homeResolved) {
    log().error("<nimbrad: Sandbox> User does not have a home directory! -- Falling back to /private/var/empty");
    parameters["HOME"] = "/private/var/empty";
  } else {
    parameters["HOME"] = *homeResolved;
  }

  auto tmpdir = sandbox::userTempDirectory();
  auto tmpdirResolved = tmpdir ? sandbox::realPath(*tmpdir) : std::nullopt;
  if (!tmpdirResolved) {
    log().error("<nimbrad: Sandbox> Unable to read _CS_DARWIN_USER_TEMP_DIR!");
    fail();
  }
  parameters["TMPDIR"] = *tmpdirResolved;

  auto cache = sandbox::userCacheDirectory();
  auto cacheResolved = cache ? sandbox::realPath(*cache) : std::nullopt;
  if (!cacheResolved) {
    log().error("<nimbrad: Sandbox> Unable to read _CS_DARWIN_USER_CACHE_DIR!");
    fail();
  }
  parameters["DARWIN_CACHE_DIR"] = *cacheResolved;

  sandboxInit(identifier, parameters);
}

void SandboxedService::sandboxInit(const std::string& identifier,
                                   const std::map<std::string, std::string>& parameters) {
  log().debug("<nimbrad: Sandbox> _sandboxInit Sandbox parameters: {}", describe(parameters));
  // The platform call takes key, value, key, value, ... ended by a null entry;
  // the strings live in `parameters` for the duration of the call.
  std::vector<const char*> flat;
  flat.reserve(parameters.size() * 2 + 1);
  for (const auto& [key, value] : parameters) {
    flat.push_back(key.c_str());
    flat.push_back(value.c_str());
  }
  flat.push_back(nullptr);

  char* error = nullptr;
  int result = sandbox::initWithParameters(identifier.c_str(), sandbox::kSandboxNamed, flat.data(), &error);
  if (result != 0) {
    if (error != nullptr) {
      log().error("<nimbrad: Sandbox> sandbox_init_with_parameters failed!: [{}]", error);
      sandbox::freeError(error);
    } else {
      log().error("<nimbrad: Sandbox> sandbox_init_with_parameters failed! (no error)");
    }
    fail();
  }
}

}  // namespace nimbra
