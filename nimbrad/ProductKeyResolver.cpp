#include "nimbrad/ProductKeyResolver.h"

#include "platform/Bundle.h"
#include "platform/Log.h"

namespace nimbra {

std::optional<std::string> ProductKeyResolver::actionURL(const NativeAppListProviding& nativeApps,
                                                         const std::optional<std::string>& bundleID,
                                                         const std::optional<std::string>& productKey,
                                                         const platform::UserFileReader& files) {
  const auto& log = platform::Logger::defaultLog();
  if (productKey && productKey->starts_with("/")) {
    if (auto bundle = platform::Bundle::open(*productKey, files)) {
      if (auto keyBundleID = bundle->bundleIdentifier()) {
        if (auto url = nativeApps.actionURL(*keyBundleID)) {
          log.debug("<ProductKeyResolver> Found actionURL via productKey bundleID: {}", *keyBundleID);
          return url;
        }
      }
    }
  }
  if (bundleID && *bundleID != "<unknown>") {
    if (auto url = nativeApps.actionURL(*bundleID)) {
      log.debug("<ProductKeyResolver> Found actionURL for bundleID: {}", *bundleID);
      return url;
    }
  }
  log.debug("<ProductKeyResolver> No actionURL found for bundleID: {}, productKey: {}", bundleID.value_or("nil"),
            productKey.value_or("nil"));
  return std::nullopt;
}

}  // namespace nimbra
