#include "nimbrad/ProductMappingProvider.h"

#include "platform/PropertyList.h"

namespace nimbra {

namespace {

[[noreturn]] void corruptBuiltInDefault(const platform::Logger& log, std::string_view message) {
  log.fault("Bundled default corrupt for {}", displayName(AssetType::productMappings));
  platform::fatalError(message, "nimbrad/ProductMappingProvider");
}

// The condition sets of one rule as written: a dictionary counts as an array
// of one. nullopt when it is neither a dictionary nor an array of them.
std::optional<std::vector<const platform::Dictionary*>> conditionSetsOf(const platform::Value* value) {
  if (value == nullptr) return std::nullopt;
  if (const auto* single = value->asDictionary()) return std::vector<const platform::Dictionary*>{single};
  const auto* array = value->asArray();
  if (array == nullptr) return std::nullopt;
  std::vector<const platform::Dictionary*> sets;
  sets.reserve(array->size());
  for (const auto& element : *array) {
    const auto* set = element.asDictionary();
    if (set == nullptr) return std::nullopt;
    sets.push_back(set);
  }
  return sets;
}

// Validates and normalises rule dictionaries; every rejection is logged and
// skips only what it names.
class RuleReader {
 public:
  RuleReader(const platform::Logger& log, bool builtIn) : log_(log), builtIn_(builtIn) {}

  std::optional<ProductRule> read(long i, const platform::Dictionary& dictionary) const {
    const platform::Value* keyValue = nullptr;
    if (auto it = dictionary.find("productKey"); it != dictionary.end()) keyValue = &it->second;
    const std::string* productKey = keyValue ? keyValue->asString() : nullptr;
    if (productKey == nullptr || productKey->empty()) {
      log_.error("Rule {}: Missing productKey", i);
      return std::nullopt;
    }

    const platform::Value* conditionsValue = nullptr;
    if (auto it = dictionary.find("matchConditions"); it != dictionary.end()) conditionsValue = &it->second;
    auto sets = conditionSetsOf(conditionsValue);
    if (!sets) {
      log_.error("Rule {}: Missing or invalid matchConditions (expected dict or array of dicts)", i);
      return std::nullopt;
    }
    if (sets->empty()) {
      log_.error("Rule {}: Empty matchConditions array", i);
      return std::nullopt;
    }

    ProductRule rule;
    for (std::size_t j = 0; j < sets->size(); ++j) {
      if (auto set = readSet(i, static_cast<long>(j), *(*sets)[j])) rule.matchConditions.push_back(std::move(*set));
    }
    if (rule.matchConditions.empty()) {
      log_.error("Rule {}: No valid condition sets after normalization", i);
      return std::nullopt;
    }

    if (auto it = dictionary.find("displayName"); it != dictionary.end()) {
      if (const std::string* name = it->second.asString()) rule.displayName = *name;
    }
    // A grouping key names no file, so the user could not be told what it
    // is without a name; a path key can fall back to the path.
    if (!productKey->starts_with("/") && (!rule.displayName || rule.displayName->empty())) {
      log_.error("Rule {}: Grouping key '{}' missing required displayName", i, *productKey);
      return std::nullopt;
    }
    rule.productKey = *productKey;
    return rule;
  }

 private:
  std::optional<ProductRule::ConditionSet> readSet(long i, long j, const platform::Dictionary& dictionary) const {
    if (dictionary.empty()) {
      log_.error("Rule {}, Condition {}: Empty condition dict", i, j);
      return std::nullopt;
    }
    ProductRule::ConditionSet set;
    for (const auto& [field, value] : dictionary) {
      auto written = patternsOf(value);
      if (!written) {
        log_.error("Rule {}, Condition {}: Invalid pattern type for field '{}' (expected String or [String])", i, j,
                   field);
        continue;
      }
      if (written->empty()) {
        log_.error("Rule {}, Condition {}: Empty pattern array for field '{}'", i, j, field);
        continue;
      }
      std::vector<std::string> patterns;
      for (auto& pattern : *written) {
        if (ProductPattern::parse(pattern).kind == ProductPattern::Kind::unsupported) {
          if (builtIn_) {
            log_.fault("Bundled default contains unsupported wildcard pattern '{}' in rule {}, condition {}, field '{}'",
                       pattern, i, j, field);
            platform::fatalError("Bundled default contains unsupported wildcard pattern: '" + pattern + "'",
                                 "nimbrad/ProductMappingProvider");
          }
          log_.error(
              "Rule {}, Condition {}: Unsupported wildcard pattern '{}' for field '{}' (wildcard in middle of string) "
              "\u2014 skipping pattern",
              i, j, pattern, field);
          continue;
        }
        patterns.push_back(std::move(pattern));
      }
      if (patterns.empty()) {
        log_.error("Rule {}, Condition {}: No supported patterns for field '{}' after filtering unsupported wildcards",
                   i, j, field);
        continue;
      }
      set.emplace(field, std::move(patterns));
    }
    if (set.empty()) {
      log_.error("Rule {}, Condition {}: No valid match conditions after normalization", i, j);
      return std::nullopt;
    }
    return set;
  }

  // A string as a list of one, an array of strings as it is; nullopt for
  // anything else.
  static std::optional<std::vector<std::string>> patternsOf(const platform::Value& value) {
    if (const std::string* single = value.asString()) return std::vector<std::string>{*single};
    const platform::Array* array = value.asArray();
    if (array == nullptr) return std::nullopt;
    std::vector<std::string> patterns;
    patterns.reserve(array->size());
    for (const auto& element : *array) {
      const std::string* text = element.asString();
      if (text == nullptr) return std::nullopt;
      patterns.push_back(*text);
    }
    return patterns;
  }

  const platform::Logger& log_;
  const bool builtIn_;
};

}  // namespace

ProductMappingProvider::ProductMappingProvider(std::shared_ptr<AssetProvider> assetProvider)
    : AssetBackedProvider(std::move(assetProvider), Configuration{
                                                        .assetType = AssetType::productMappings,
                                                        .fallbackData = {},
                                                        .loggerCategory = "ProductMappingProvider",
                                                        .queueLabel = "com.corvane.nimbra.productMappings",
                                                        .notificationName = kNotificationName,
                                                        .darwinNotificationName = kDarwinNotificationName,
                                                        .changeNotificationStrategy =
                                                            ChangeNotificationStrategy::onDataChange,
                                                    }) {}

std::shared_ptr<ProductMappingProvider> ProductMappingProvider::create(std::shared_ptr<AssetProvider> assetProvider) {
  return make<ProductMappingProvider>(std::move(assetProvider));
}

std::optional<ProductMatch> ProductMappingProvider::matchingRule(const VelmoraEventData& event) const {
  auto rules = currentDataSnapshot();
  auto index = rules->firstMatch(event, logger());
  if (!index) return std::nullopt;
  const auto& rule = rules->rules()[*index];
  return ProductMatch{rule.productKey, rule.displayName};
}

std::optional<ProductMatch> ProductMappingProvider::rule(std::string_view productKey) const {
  auto rules = currentDataSnapshot();
  auto index = rules->firstWithProductKey(productKey);
  if (!index) return std::nullopt;
  const auto& rule = rules->rules()[*index];
  return ProductMatch{rule.productKey, rule.displayName};
}

ProductMappingProvider::LoadResult ProductMappingProvider::loadFromAsset(const Asset& asset) {
  const auto& log = logger();
  // Decided by where the file came from: Fennix content without a rollout or
  // experiment must never stop the daemon.
  const bool builtIn = asset.isBuiltInDefault();

  auto data = asset.readData();  // logs "[Asset] Failed to read data for ..." itself
  if (!data) {
    if (builtIn) corruptBuiltInDefault(log, "Corrupt bundled default: Product Mappings");
    log.error("Failed to read BEACON asset data");
    return platform::unexpected(data.error());
  }
  auto root = platform::PropertyList::decode(*data);
  if (!root) {
    if (builtIn) corruptBuiltInDefault(log, "Corrupt bundled default for product mappings");
    log.error("Failed to deserialize product mappings: {}", root.error().message);
    return platform::unexpected(notAPropertyList(root.error().message));
  }
  std::vector<const platform::Dictionary*> dictionaries;
  bool arrayOfDictionaries = root->asArray() != nullptr;
  if (arrayOfDictionaries) {
    for (const auto& element : *root->asArray()) {
      const auto* dictionary = element.asDictionary();
      if (dictionary == nullptr) {
        arrayOfDictionaries = false;
        break;
      }
      dictionaries.push_back(dictionary);
    }
  }
  if (!arrayOfDictionaries) {
    if (builtIn) corruptBuiltInDefault(log, "Corrupt bundled default for product mappings");
    log.error("Failed to parse product mappings asset - expected array of rules");
    return platform::unexpected(std::string("not an array of rule dictionaries"));
  }

  RuleReader reader(log, builtIn);
  std::vector<ProductRule> rules;
  rules.reserve(dictionaries.size());
  for (std::size_t i = 0; i < dictionaries.size(); ++i) {
    if (auto rule = reader.read(static_cast<long>(i), *dictionaries[i])) rules.push_back(std::move(*rule));
  }
  log.info("Loaded {} product mapping rules", rules.size());
  return ProductRuleSet(std::move(rules));
}

}  // namespace nimbra
