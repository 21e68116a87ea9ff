#include "nimbrad/ExclusionRulesProvider.h"

#include "platform/PropertyList.h"

namespace nimbra {

namespace {

[[noreturn]] void corruptBuiltInDefault(const platform::Logger& log) {
  log.fault("Bundled default corrupt for {}", displayName(AssetType::exclusionRules));
  platform::fatalError("Corrupt bundled default: Exclusion Rules", "nimbrad/ExclusionRulesProvider");
}

// The rule list of a CORAL root, or nullopt when the root is not an array of
// string-to-string dictionaries (one bad element spoils the whole file).
std::optional<ExclusionRuleList> rulesOf(const platform::Value& root) {
  const platform::Array* elements = root.asArray();
  if (elements == nullptr) return std::nullopt;
  ExclusionRuleList rules;
  rules.reserve(elements->size());
  for (const auto& element : *elements) {
    const platform::Dictionary* dictionary = element.asDictionary();
    if (dictionary == nullptr) return std::nullopt;
    ExclusionRule rule;
    for (const auto& [key, value] : *dictionary) {
      const std::string* text = value.asString();
      if (text == nullptr) return std::nullopt;
      rule.emplace(key, *text);
    }
    rules.push_back(std::move(rule));
  }
  return rules;
}

}  // namespace

ExclusionRulesProvider::ExclusionRulesProvider(std::shared_ptr<AssetProvider> assetProvider)
    : AssetBackedProvider(std::move(assetProvider), Configuration{
                                                        .assetType = AssetType::exclusionRules,
                                                        .fallbackData = {},
                                                        .loggerCategory = "ExclusionRulesProvider",
                                                        .queueLabel = "com.corvane.nimbra.exclusionRules",
                                                        .notificationName = kNotificationName,
                                                        .darwinNotificationName = kDarwinNotificationName,
                                                        .changeNotificationStrategy =
                                                            ChangeNotificationStrategy::onDataChange,
                                                    }) {}

std::shared_ptr<ExclusionRulesProvider> ExclusionRulesProvider::create(std::shared_ptr<AssetProvider> assetProvider) {
  return make<ExclusionRulesProvider>(std::move(assetProvider));
}

ExclusionRulesProvider::LoadResult ExclusionRulesProvider::loadFromAsset(const Asset& asset) {
  const auto& log = logger();
  // Decided by where the file came from: Fennix content without a rollout or
  // experiment must never stop the daemon.
  const bool builtIn = asset.isBuiltInDefault();

  auto data = asset.readData();  // logs "[Asset] Failed to read data for ..." itself
  if (!data) {
    if (builtIn) corruptBuiltInDefault(log);
    log.error("Failed to read CORAL asset data");
    return platform::unexpected(data.error());
  }
  auto root = platform::PropertyList::decode(*data);
  if (!root) {
    if (builtIn) corruptBuiltInDefault(log);
    log.error("Failed to parse CORAL.plist: {}", root.error().message);
    return platform::unexpected(notAPropertyList(root.error().message));
  }
  auto parsed = rulesOf(*root);
  if (!parsed) {
    if (builtIn) corruptBuiltInDefault(log);
    log.error("Failed to parse CORAL.plist or invalid format - keeping existing rules");
    return platform::unexpected(std::string("not an array of string-to-string dictionaries"));
  }
  if (parsed->empty()) {
    log.info("CORAL.plist is empty");
    return ExclusionRuleList{};
  }

  ExclusionRuleList rules;
  rules.reserve(parsed->size());
  long skipped = 0;
  for (std::size_t index = 0; index < parsed->size(); ++index) {
    auto& rule = (*parsed)[index];
    if (rule.empty()) {
      // An empty rule would match every entry: never hand it out.
      log.error("Skipping rule at index {}: empty dictionary", index);
      ++skipped;
      continue;
    }
    rules.push_back(std::move(rule));
  }
  if (skipped > 0) {
    log.info("Loaded {} rules ({} invalid entries skipped)", rules.size(), skipped);
  } else {
    log.info("Loaded {} rules", rules.size());
  }
  return rules;
}

}  // namespace nimbra
