#pragma once

// The action URL offered for an application in the unsupported apps list:
// the entry of the bundle its product key names wins over the entry of the
// application's own bundle identifier. The class resolves action URLs, not
// product keys: a product key is one of its inputs, computed elsewhere
// (ProductMappingProviding::productKey).

#include <optional>
#include <string>

#include "nimbrad/NativeAppListProviding.h"
#include "platform/UserFileReader.h"

namespace nimbra {

class ProductKeyResolver {
 public:
  ProductKeyResolver() = delete;

  // A product key starting with "/" is the path of a bundle: its bundle
  // identifier (read from the bundle on disk) is looked up first. Then
  // `bundleID`, unless absent or "<unknown>". nullopt when neither has an
  // entry. Each outcome is logged at debug level. Any thread; reads the
  // bundle's information file with `files`' rights (the asking user's).
  static std::optional<std::string> actionURL(const NativeAppListProviding& nativeApps,
                                              const std::optional<std::string>& bundleID,
                                              const std::optional<std::string>& productKey,
                                              const platform::UserFileReader& files);
};

}  // namespace nimbra
