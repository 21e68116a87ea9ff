#include "nimbrad/AppTranslocationHelper.h"

#include "platform/Log.h"

namespace nimbra {

std::string AppTranslocationHelper::originalPath(const std::string& path,
                                                 const platform::Translocation& translocation) {
  if (path.empty()) return path;
  const auto& log = platform::Logger::defaultLog();
  // Only absolute paths name a file; anything else cannot be asked about.
  if (path.front() != '/') {
    log.notice("AppTranslocationHelper: Failed to create URL from path: {}", path);
    return path;
  }
  auto translocated = translocation.isTranslocated(path);
  if (!translocated) {
    log.notice("AppTranslocationHelper: Failed to check translocation status for '{}': {}", path,
               translocated.error().message);
    return path;
  }
  if (!*translocated) return path;
  auto original = translocation.originalPath(path);
  if (!original) {
    log.notice("AppTranslocationHelper: Failed to get original path for '{}': {}", path, original.error().message);
    return path;
  }
  log.debug("AppTranslocationHelper: Resolved translocated path '{}' to '{}'", path, *original);
  return std::move(original).value();
}

}  // namespace nimbra
