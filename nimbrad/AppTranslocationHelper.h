#pragma once

// Undoes app translocation for a path: a path inside a translocation mount is
// turned back into the application's original location.

#include <string>

#include "platform/Translocation.h"

namespace nimbra {

class AppTranslocationHelper {
 public:
  AppTranslocationHelper() = delete;

  // The original location of `path` when it is translocated; `path` itself
  // when it is empty, not absolute, not translocated, or when the check or
  // the lookup fails (logged). Thread-safe.
  static std::string originalPath(const std::string& path,
                                  const platform::Translocation& translocation = platform::Translocation::system());
};

}  // namespace nimbra
