#include "nimbrad/NativeAppListProvider.h"

#include <cctype>
#include <vector>

namespace nimbra {

namespace {

constexpr std::string_view kWhiteSpaceAndNewlines = " \t\n\r\v\f";
constexpr std::string_view kWhiteSpace = " \t";

std::string_view trimmed(std::string_view text, std::string_view characters) {
  std::size_t begin = text.find_first_not_of(characters);
  if (begin == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(characters);
  return text.substr(begin, end - begin + 1);
}

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Unreserved and reserved characters of a URL, and well-formed %-escapes.
// Anything else (spaces, quotes, control or non-ASCII bytes) makes the text
// no URL rather than something to guess at.
bool hasOnlyURLCharacters(std::string_view text) {
  static constexpr std::string_view kOther = "-._~:/?#[]@!$&'()*+,;=";
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (isAlpha(c) || isDigit(c) || kOther.find(c) != std::string_view::npos) continue;
    if (c == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
      i += 2;
      continue;
    }
    return false;
  }
  return true;
}

// The host of "//authority..." after the scheme; empty when there is none.
std::string_view hostOf(std::string_view rest) {
  if (!rest.starts_with("//")) return {};
  rest.remove_prefix(2);
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (authority.starts_with("[")) {
    auto close = authority.find(']');
    if (close == std::string_view::npos) return {};
    std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(":")) return {};
    return authority.substr(1, close - 1);
  }
  std::string_view host = authority.substr(0, authority.find(':'));
  if (host.find_first_of("[]") != std::string_view::npos) return {};
  if (host.size() < authority.size()) {
    std::string_view port = authority.substr(host.size() + 1);
    for (char c : port) {
      if (!isDigit(c)) return {};
    }
  }
  return host;
}

}  // namespace

NativeAppListProvider::NativeAppListProvider(std::shared_ptr<AssetProvider> assetProvider)
    : AssetBackedProvider(std::move(assetProvider), Configuration{
                                                        .assetType = AssetType::nativeApps,
                                                        .fallbackData = {},
                                                        .loggerCategory = "NativeAppListProvider",
                                                        .queueLabel = "com.corvane.nimbra.nativeAppList",
                                                        .notificationName = kNotificationName,
                                                        .darwinNotificationName = kDarwinNotificationName,
                                                        .changeNotificationStrategy =
                                                            ChangeNotificationStrategy::onDataChange,
                                                    }) {}

std::shared_ptr<NativeAppListProvider> NativeAppListProvider::create(std::shared_ptr<AssetProvider> assetProvider) {
  return make<NativeAppListProvider>(std::move(assetProvider));
}

std::optional<std::string> NativeAppListProvider::actionURL(std::string_view bundleID) const {
  std::string_view key = trimmed(bundleID, kWhiteSpace);
  if (key.empty()) return std::nullopt;
  auto list = currentDataSnapshot();
  auto it = list->find(std::string(key));
  if (it == list->end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> NativeAppListProvider::validatedActionURL(std::string_view text) {
  std::string_view url = trimmed(text, kWhiteSpaceAndNewlines);
  if (url.empty() || !hasOnlyURLCharacters(url)) return std::nullopt;
  std::size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 || !isAlpha(url[0])) return std::nullopt;
  std::string scheme;
  for (char c : url.substr(0, colon)) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
    scheme.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  if (scheme == "https" || scheme == "http") {
    // Any host is accepted, but there must be one.
    if (hostOf(url.substr(colon + 1)).empty()) return std::nullopt;
  } else if (scheme != "x-corvane.systempreferences") {
    return std::nullopt;
  }
  return std::string(url);
}

NativeAppListProvider::LoadResult NativeAppListProvider::loadFromAsset(const Asset& asset) {
  const auto& log = logger();
  // Decided by where the file came from: Fennix content without a rollout or
  // experiment must never stop the daemon.
  const bool builtIn = asset.isBuiltInDefault();

  auto dictionary = asset.readDictionary();  // logs its own read and parse failures
  if (!dictionary) {
    if (builtIn) {
      log.fault("Bundled default corrupt for {}", displayName(AssetType::nativeApps));
      platform::fatalError("Corrupt bundled default: Native Apps", "nimbrad/NativeAppListProvider");
    }
    log.error("Failed to parse MAGPIE.plist or invalid format - keeping existing mappings");
    return platform::unexpected(dictionary.error());
  }

  std::vector<std::pair<const std::string*, const platform::Dictionary*>> entries;
  for (const auto& [bundleID, value] : *dictionary) {
    const platform::Dictionary* fields = value.asDictionary();
    if (fields == nullptr) continue;
    bool allStrings = true;
    for (const auto& [key, field] : *fields) allStrings = allStrings && field.asString() != nullptr;
    if (allStrings) entries.emplace_back(&bundleID, fields);
  }
  if (entries.empty()) {
    log.info("MAGPIE.plist is empty");
    return NativeAppList{};
  }

  NativeAppList list;
  long skipped = 0;
  for (const auto& [bundleID, fields] : entries) {
    auto it = fields->find("actionURL");
    if (it == fields->end()) {
      ++skipped;
      continue;
    }
    auto url = validatedActionURL(*it->second.asString());
    if (!url) {
      log.error("Skipping '{}': URL validation failed", *bundleID);
      ++skipped;
      continue;
    }
    list.emplace(*bundleID, std::move(*url));
  }
  if (skipped > 0) {
    log.info("Loaded {} mappings ({} invalid entries skipped)", list.size(), skipped);
  } else {
    log.info("Loaded {} mappings", list.size());
  }
  return list;
}

}  // namespace nimbra
