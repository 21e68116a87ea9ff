#include "platform/Translocation.h"

namespace platform {

namespace {

class NoTranslocation final : public Translocation {
 public:
  Expected<bool, TranslocationError> isTranslocated(const std::string&) const override { return false; }
  Expected<std::string, TranslocationError> originalPath(const std::string& path) const override {
    return unexpected(TranslocationError{"no translocation on this system: " + path});
  }
};

}  // namespace

const Translocation& Translocation::system() {
  static const NoTranslocation instance;
  return instance;
}

}  // namespace platform
