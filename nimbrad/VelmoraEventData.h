#pragma once

// The decoded launch event: one message per x86_64 process started under
// Velmora, describing the process, its target executable and its responsible
// process, the user and the time.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/Expected.h"
#include "platform/Value.h"

namespace nimbra {

class VelmoraValidationError {
 public:
  enum class Kind { missingRequiredField, fieldNotString, fieldContainsNUL, invalidUID };

  static VelmoraValidationError missingRequiredField(std::string key) { return {Kind::missingRequiredField, std::move(key)}; }
  static VelmoraValidationError fieldNotString(std::string key) { return {Kind::fieldNotString, std::move(key)}; }
  // A text with a NUL byte names no file, and would read as its prefix
  // wherever a C string is taken: refused rather than stored.
  static VelmoraValidationError fieldContainsNUL(std::string key) { return {Kind::fieldContainsNUL, std::move(key)}; }
  static VelmoraValidationError invalidUID(std::string text) { return {Kind::invalidUID, std::move(text)}; }

  Kind kind() const { return kind_; }
  // The key, or for invalidUID the UID text as received.
  const std::string& value() const { return value_; }
  // "Missing required field: K", "Field 'K' is not a String",
  // "Field 'K' contains a NUL character", "Invalid UID value: T is not uid_t".
  std::string description() const;

  bool operator==(const VelmoraValidationError&) const = default;

 private:
  VelmoraValidationError(Kind kind, std::string value) : kind_(kind), value_(std::move(value)) {}
  Kind kind_;
  std::string value_;
};

struct VelmoraEventData {
  std::string processName;
  std::string processPath;
  std::string processBundleID;
  std::string processBundleVersion;
  std::string processTeamID;
  std::string processDeveloperName;
  uid_t uid = 0;
  std::string targetFilename;
  std::string targetPath;
  std::string targetBundleID;
  std::string targetBundleVersion;
  std::string targetTeamID;
  std::string targetDeveloperName;
  std::string responsibleName;
  std::string responsiblePath;
  std::string responsibleBundleID;
  std::string responsibleBundleVersion;
  std::string responsibleTeamID;
  std::string responsibleDeveloperName;
  std::string eventTimestamp;

  // Decodes a launch event message. Every key must hold a string without a
  // NUL byte; the first failing key in the fixed reading order decides the
  // error. Keys not listed are ignored.
  static platform::Expected<VelmoraEventData, VelmoraValidationError> fromMessage(const platform::Value& message);

  // The message form: the twenty keys, each a string ("UID" in decimal).
  platform::Value toMessage() const;

  // Parses a decimal uid_t: an optional "+" or "-", then digits only; "-" only
  // with a magnitude of zero; the value must fit in 32 bits.
  static std::optional<uid_t> parseUID(std::string_view text);

  bool operator==(const VelmoraEventData&) const = default;
};

}  // namespace nimbra
