#pragma once

// User defaults domains. Domain D is the property-list file D.plist (root a
// dictionary) in the configuration directory. Every read reads the file
// afresh, so an administrator's edit is seen by the next read; writes replace
// the file atomically (temporary file and rename).

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Expected.h"
#include "platform/Value.h"

namespace platform {

class UserDefaults {
 public:
  // The domain's file lives in `directory` (normally directories::configuration()).
  UserDefaults(std::string directory, std::string domain);
  // The domain in the configuration directory of the environment.
  static UserDefaults standard(std::string domain);

  const std::string& domain() const { return domain_; }
  const std::string& path() const { return path_; }

  // All keys and values. A missing file is an empty domain; a file that is not
  // a property-list dictionary is logged at error level and read as empty.
  Dictionary dictionaryRepresentation() const;

  std::optional<Value> object(const std::string& key) const;

  // Converting readers. Integer: an integer; a real (truncated toward zero,
  // when in range); a boolean (0 or 1); a string holding a decimal integer
  // (surrounding white space allowed). Boolean: a boolean; a number (non-zero
  // is true); a string "YES", "NO", "true", "false", "1", "0" in any letter
  // case. Anything else, and a missing key, gives nullopt.
  std::optional<std::int64_t> integer(const std::string& key) const;
  std::optional<bool> boolean(const std::string& key) const;

  // Set or remove one key, rewriting the file atomically. The directory must
  // exist. Errors say what failed and on which path.
  Expected<void, std::string> set(const std::string& key, const Value& value) const;
  Expected<void, std::string> remove(const std::string& key) const;

  static std::optional<std::int64_t> integerFrom(const Value& value);
  static std::optional<bool> booleanFrom(const Value& value);

 private:
  std::string domain_;
  std::string path_;
};

}  // namespace platform
