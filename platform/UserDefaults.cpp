#include "platform/UserDefaults.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <mutex>

#include "platform/Directories.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

namespace platform {

namespace {

const Logger& log() {
  static const Logger logger("com.corvane.nimbrad", "UserDefaults");
  return logger;
}

// Serialises read-modify-write of domains within this process, so two
// writers of one domain cannot drop each other's key.
std::mutex& writeMutex() {
  static std::mutex mutex;
  return mutex;
}

bool isMissing(const PropertyListError& error) { return error.errorNumber == ENOENT || error.errorNumber == ENOTDIR; }

// The domain's dictionary; an empty one for a missing file; an error for a
// file that exists but is not a property-list dictionary.
Expected<Dictionary, std::string> load(const std::string& path) {
  auto value = PropertyList::readFile(path);
  if (!value) {
    if (isMissing(value.error())) return Dictionary{};
    return unexpected(std::move(value).error().message);
  }
  Dictionary* dictionary = value->asDictionary();
  if (dictionary == nullptr) return unexpected(std::string("not a dictionary"));
  return std::move(*dictionary);
}

bool upperEquals(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

std::optional<std::int64_t> parseDecimal(std::string_view text) {
  constexpr std::string_view kBlank = " \t\n\r\f\v";
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(kBlank) - first + 1);
  // from_chars takes '-' but not '+'.
  if (text.starts_with('+')) {
    text.remove_prefix(1);
    if (text.starts_with('-')) return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

UserDefaults::UserDefaults(std::string directory, std::string domain)
    : domain_(std::move(domain)), path_(std::move(directory) + "/" + domain_ + ".plist") {}

UserDefaults UserDefaults::standard(std::string domain) {
  return UserDefaults(directories::configuration(), std::move(domain));
}

Dictionary UserDefaults::dictionaryRepresentation() const {
  auto dictionary = load(path_);
  if (!dictionary) {
    log().error("<UserDefaults> cannot read {}: {}", path_, dictionary.error());
    return {};
  }
  return std::move(dictionary).value();
}

std::optional<Value> UserDefaults::object(const std::string& key) const {
  Dictionary dictionary = dictionaryRepresentation();
  auto it = dictionary.find(key);
  if (it == dictionary.end()) return std::nullopt;
  return std::move(it->second);
}

std::optional<std::int64_t> UserDefaults::integer(const std::string& key) const {
  auto value = object(key);
  return value ? integerFrom(*value) : std::nullopt;
}

std::optional<bool> UserDefaults::boolean(const std::string& key) const {
  auto value = object(key);
  return value ? booleanFrom(*value) : std::nullopt;
}

Expected<void, std::string> UserDefaults::set(const std::string& key, const Value& value) const {
  std::lock_guard lock(writeMutex());
  auto dictionary = load(path_);
  // A file we cannot read is left for the administrator rather than replaced
  // by a domain holding only this key.
  if (!dictionary) return unexpected("cannot read " + path_ + ": " + dictionary.error());
  dictionary->insert_or_assign(key, value);
  auto written = PropertyList::writeFileAtomically(path_, *dictionary, PropertyListFormat::Xml, 0644);
  if (!written) return unexpected("cannot write " + path_ + ": " + written.error().message);
  return {};
}

Expected<void, std::string> UserDefaults::remove(const std::string& key) const {
  std::lock_guard lock(writeMutex());
  auto dictionary = load(path_);
  if (!dictionary) return unexpected("cannot read " + path_ + ": " + dictionary.error());
  if (dictionary->erase(key) == 0) return {};
  auto written = PropertyList::writeFileAtomically(path_, *dictionary, PropertyListFormat::Xml, 0644);
  if (!written) return unexpected("cannot write " + path_ + ": " + written.error().message);
  return {};
}

std::optional<std::int64_t> UserDefaults::integerFrom(const Value& value) {
  if (const auto* i = value.asInteger()) return *i;
  if (const auto* b = value.asBool()) return *b ? 1 : 0;
  if (const auto* r = value.asReal()) {
    const double truncated = std::trunc(*r);
    // 2^63 is exact as a double; every double below it converts safely.
    if (!(truncated >= -9223372036854775808.0 && truncated < 9223372036854775808.0)) return std::nullopt;
    return static_cast<std::int64_t>(truncated);
  }
  if (const auto* s = value.asString()) return parseDecimal(*s);
  return std::nullopt;
}

std::optional<bool> UserDefaults::booleanFrom(const Value& value) {
  if (const auto* b = value.asBool()) return *b;
  if (const auto* i = value.asInteger()) return *i != 0;
  if (const auto* r = value.asReal()) {
    if (std::isnan(*r)) return std::nullopt;
    return *r != 0;
  }
  if (const auto* s = value.asString()) {
    if (upperEquals(*s, "YES") || upperEquals(*s, "TRUE") || *s == "1") return true;
    if (upperEquals(*s, "NO") || upperEquals(*s, "FALSE") || *s == "0") return false;
  }
  return std::nullopt;
}

}  // namespace platform
