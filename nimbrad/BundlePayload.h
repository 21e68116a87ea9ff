#pragma once

// One installed bundle offered in a notification.

#include <optional>
#include <string>

#include "platform/Value.h"

namespace nimbra {

struct BundlePayload {
  std::string bundleID;
  std::string bundlePath;
  std::string bundleDeveloper;
  std::string bundleDisplayableName;
  bool hasAdditionalComponents = false;
  std::optional<platform::Date> lastOpenedDate;
  std::string productKey;

  bool operator==(const BundlePayload&) const = default;
};

}  // namespace nimbra
