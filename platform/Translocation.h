#pragma once

// App translocation: running a freshly downloaded application from a
// randomised read-only mount instead of where the user put it. Linux has no
// such mechanism, so the system implementation reports every path as not
// translocated; the interface stays so that the daemon's resolution logic
// (and its log lines) are the same everywhere, and tests can supply a
// translocating fake.

#include <string>

#include "platform/Expected.h"

namespace platform {

struct TranslocationError {
  std::string message;
};

class Translocation {
 public:
  virtual ~Translocation() = default;

  // Whether `path` (absolute) lies inside a translocation mount; an error
  // when that cannot be determined.
  virtual Expected<bool, TranslocationError> isTranslocated(const std::string& path) const = 0;

  // The original location of a translocated `path`; an error when there is
  // none.
  virtual Expected<std::string, TranslocationError> originalPath(const std::string& path) const = 0;

  // The implementation of this system; lives for the whole process and may be
  // used from any thread.
  static const Translocation& system();
};

}  // namespace platform
