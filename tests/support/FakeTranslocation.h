#pragma once

// A translocation that maps paths below a mount prefix to an original
// location, with switchable failures of the check and of the lookup.

#include <string>

#include "platform/Translocation.h"

namespace nimbra::test {

class FakeTranslocation final : public platform::Translocation {
 public:
  FakeTranslocation(std::string mountPrefix, std::string originalPrefix)
      : mountPrefix_(std::move(mountPrefix)), originalPrefix_(std::move(originalPrefix)) {}

  bool failCheck = false;
  bool failLookup = false;

  platform::Expected<bool, platform::TranslocationError> isTranslocated(const std::string& path) const override {
    if (failCheck) return platform::unexpected(platform::TranslocationError{"check refused"});
    return path.starts_with(mountPrefix_);
  }

  platform::Expected<std::string, platform::TranslocationError> originalPath(const std::string& path) const override {
    if (failLookup || !path.starts_with(mountPrefix_)) {
      return platform::unexpected(platform::TranslocationError{"no original path"});
    }
    return originalPrefix_ + path.substr(mountPrefix_.size());
  }

 private:
  std::string mountPrefix_;
  std::string originalPrefix_;
};

}  // namespace nimbra::test
