#include "nimbrad/VelmoraEventData.h"

#include <array>
#include <cstdint>
#include <utility>

namespace nimbra {

using platform::Value;

std::string VelmoraValidationError::description() const {
  switch (kind_) {
    case Kind::missingRequiredField: return "Missing required field: " + value_;
    case Kind::fieldNotString: return "Field '" + value_ + "' is not a String";
    case Kind::fieldContainsNUL: return "Field '" + value_ + "' contains a NUL character";
    case Kind::invalidUID: return "Invalid UID value: " + value_ + " is not uid_t";
  }
  return value_;
}

namespace {

using StringField = std::string VelmoraEventData::*;

// The reading order of the keys; "UID" comes last and is parsed afterwards.
constexpr std::array<std::pair<const char*, StringField>, 19> kStringKeys = {{
    {"ProcessName", &VelmoraEventData::processName},
    {"ProcessPath", &VelmoraEventData::processPath},
    {"ProcessBundleIdentifier", &VelmoraEventData::processBundleID},
    {"ProcessBundleVersion", &VelmoraEventData::processBundleVersion},
    {"ProcessTeamIdentifier", &VelmoraEventData::processTeamID},
    {"ProcessDeveloperName", &VelmoraEventData::processDeveloperName},
    {"TargetFilename", &VelmoraEventData::targetFilename},
    {"TargetPath", &VelmoraEventData::targetPath},
    {"TargetBundleIdentifier", &VelmoraEventData::targetBundleID},
    {"TargetBundleVersion", &VelmoraEventData::targetBundleVersion},
    {"TargetTeamIdentifier", &VelmoraEventData::targetTeamID},
    {"TargetDeveloperName", &VelmoraEventData::targetDeveloperName},
    {"ResponsibleName", &VelmoraEventData::responsibleName},
    {"ResponsiblePath", &VelmoraEventData::responsiblePath},
    {"ResponsibleBundleIdentifier", &VelmoraEventData::responsibleBundleID},
    {"ResponsibleBundleVersion", &VelmoraEventData::responsibleBundleVersion},
    {"ResponsibleTeamIdentifier", &VelmoraEventData::responsibleTeamID},
    {"ResponsibleDeveloperName", &VelmoraEventData::responsibleDeveloperName},
    {"EventTimestamp", &VelmoraEventData::eventTimestamp},
}};

constexpr const char* kUIDKey = "UID";

// The string under `key`, or the error that the key's value gives.
platform::Expected<const std::string*, VelmoraValidationError> stringValue(const Value& message, const char* key) {
  const Value* value = message.find(key);
  if (value == nullptr) return platform::unexpected(VelmoraValidationError::missingRequiredField(key));
  const std::string* text = value->asString();
  if (text == nullptr) return platform::unexpected(VelmoraValidationError::fieldNotString(key));
  if (text->find('\0') != std::string::npos) {
    return platform::unexpected(VelmoraValidationError::fieldContainsNUL(key));
  }
  return text;
}

}  // namespace

std::optional<uid_t> VelmoraEventData::parseUID(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<uid_t>(value);
}

platform::Expected<VelmoraEventData, VelmoraValidationError> VelmoraEventData::fromMessage(const Value& message) {
  VelmoraEventData event;
  for (const auto& [key, field] : kStringKeys) {
    auto text = stringValue(message, key);
    if (!text) return platform::unexpected(std::move(text).error());
    event.*field = **text;
  }
  auto uidText = stringValue(message, kUIDKey);
  if (!uidText) return platform::unexpected(std::move(uidText).error());
  auto uid = parseUID(**uidText);
  if (!uid) return platform::unexpected(VelmoraValidationError::invalidUID(**uidText));
  event.uid = *uid;
  return event;
}

Value VelmoraEventData::toMessage() const {
  platform::Dictionary dict;
  for (const auto& [key, field] : kStringKeys) dict.emplace(key, this->*field);
  dict.emplace(kUIDKey, std::to_string(uid));
  return Value(std::move(dict));
}

}  // namespace nimbra
