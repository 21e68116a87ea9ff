#include "nimbrad/ProductRule.h"

#include <array>
#include <utility>

namespace nimbra {

namespace {

constexpr std::size_t kFieldCount = static_cast<std::size_t>(ProductField::unknown);

constexpr std::array<std::pair<std::string_view, ProductField>, kFieldCount> kFieldNames = {{
    {"uid", ProductField::uid},
    {"processName", ProductField::processName},
    {"processPath", ProductField::processPath},
    {"processBundleID", ProductField::processBundleID},
    {"processBundleVersion", ProductField::processBundleVersion},
    {"processTeamID", ProductField::processTeamID},
    {"processDeveloperName", ProductField::processDeveloperName},
    {"targetFilename", ProductField::targetFilename},
    {"targetPath", ProductField::targetPath},
    {"targetBundleID", ProductField::targetBundleID},
    {"targetBundleVersion", ProductField::targetBundleVersion},
    {"targetTeamID", ProductField::targetTeamID},
    {"targetDeveloperName", ProductField::targetDeveloperName},
    {"responsibleName", ProductField::responsibleName},
    {"responsiblePath", ProductField::responsiblePath},
    {"responsibleBundleID", ProductField::responsibleBundleID},
    {"responsibleBundleVersion", ProductField::responsibleBundleVersion},
    {"responsibleTeamID", ProductField::responsibleTeamID},
    {"responsibleDeveloperName", ProductField::responsibleDeveloperName},
    {"teamID", ProductField::teamID},
    {"bundleID", ProductField::bundleID},
    {"developerName", ProductField::developerName},
    {"path", ProductField::path},
}};

// Characters, not bytes: a multi-byte letter counts once.
std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

// The event's texts by field, read once per match. An empty text is absent.
class EventView {
 public:
  explicit EventView(const VelmoraEventData& event) : uid_(std::to_string(event.uid)) {
    set(ProductField::uid, uid_);
    set(ProductField::processName, event.processName);
    set(ProductField::processPath, event.processPath);
    set(ProductField::processBundleID, event.processBundleID);
    set(ProductField::processBundleVersion, event.processBundleVersion);
    set(ProductField::processTeamID, event.processTeamID);
    set(ProductField::processDeveloperName, event.processDeveloperName);
    set(ProductField::targetFilename, event.targetFilename);
    set(ProductField::targetPath, event.targetPath);
    set(ProductField::targetBundleID, event.targetBundleID);
    set(ProductField::targetBundleVersion, event.targetBundleVersion);
    set(ProductField::targetTeamID, event.targetTeamID);
    set(ProductField::targetDeveloperName, event.targetDeveloperName);
    set(ProductField::responsibleName, event.responsibleName);
    set(ProductField::responsiblePath, event.responsiblePath);
    set(ProductField::responsibleBundleID, event.responsibleBundleID);
    set(ProductField::responsibleBundleVersion, event.responsibleBundleVersion);
    set(ProductField::responsibleTeamID, event.responsibleTeamID);
    set(ProductField::responsibleDeveloperName, event.responsibleDeveloperName);
  }

  // The values to test, in order: one for a plain field, the responsible
  // process's then the launched process's for a combined one. Absent values
  // are left out.
  std::size_t values(ProductField field, std::array<std::string_view, 2>& out) const {
    switch (field) {
      case ProductField::teamID: return pair(ProductField::responsibleTeamID, ProductField::processTeamID, out);
      case ProductField::bundleID: return pair(ProductField::responsibleBundleID, ProductField::processBundleID, out);
      case ProductField::developerName:
        return pair(ProductField::responsibleDeveloperName, ProductField::processDeveloperName, out);
      case ProductField::path: return pair(ProductField::responsiblePath, ProductField::processPath, out);
      case ProductField::unknown: return 0;
      default: {
        std::string_view value = texts_[index(field)];
        if (value.empty()) return 0;
        out[0] = value;
        return 1;
      }
    }
  }

 private:
  static std::size_t index(ProductField field) { return static_cast<std::size_t>(field); }
  void set(ProductField field, std::string_view text) { texts_[index(field)] = text; }

  std::size_t pair(ProductField first, ProductField second, std::array<std::string_view, 2>& out) const {
    std::size_t n = 0;
    for (ProductField field : {first, second}) {
      std::string_view value = texts_[index(field)];
      if (!value.empty()) out[n++] = value;
    }
    return n;
  }

  std::string uid_;
  std::array<std::string_view, kFieldCount> texts_{};
};

}  // namespace

ProductField productFieldNamed(std::string_view name) {
  for (const auto& [candidate, field] : kFieldNames) {
    if (candidate == name) return field;
  }
  return ProductField::unknown;
}

ProductPattern ProductPattern::parse(std::string_view pattern) {
  std::size_t begin = pattern.find_first_not_of('*');
  if (begin == std::string_view::npos) return {Kind::tooShort, std::string()};
  std::size_t end = pattern.find_last_not_of('*') + 1;
  std::string_view core = pattern.substr(begin, end - begin);
  bool leading = begin > 0;
  bool trailing = end < pattern.size();
  ProductPattern result;
  result.core = std::string(core);
  if (core.find('*') != std::string_view::npos) {
    result.kind = Kind::unsupported;
  } else if (characterCount(core) < kMinimumCharacters) {
    result.kind = Kind::tooShort;
  } else if (leading && trailing) {
    result.kind = Kind::contains;
  } else if (leading) {
    result.kind = Kind::suffix;
  } else if (trailing) {
    result.kind = Kind::prefix;
  } else {
    result.kind = Kind::equals;
  }
  return result;
}

bool ProductPattern::matches(std::string_view value) const {
  switch (kind) {
    case Kind::equals: return value == core;
    case Kind::prefix: return value.starts_with(core);
    case Kind::suffix: return value.ends_with(core);
    case Kind::contains: return value.find(core) != std::string_view::npos;
    case Kind::tooShort:
    case Kind::unsupported: return false;
  }
  return false;
}

ProductRuleSet::ProductRuleSet(std::vector<ProductRule> rules) : rules_(std::move(rules)) {
  compiled_.reserve(rules_.size());
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    const auto& rule = rules_[i];
    CompiledRule compiled;
    compiled.sets.reserve(rule.matchConditions.size());
    for (const auto& set : rule.matchConditions) {
      std::vector<CompiledField> fields;
      fields.reserve(set.size());
      for (const auto& [name, patterns] : set) {
        CompiledField field{productFieldNamed(name), name, {}};
        field.patterns.reserve(patterns.size());
        for (const auto& text : patterns) field.patterns.push_back({ProductPattern::parse(text), text});
        fields.push_back(std::move(field));
      }
      compiled.sets.push_back(std::move(fields));
    }
    compiled_.push_back(std::move(compiled));
    firstByProductKey_.emplace(rule.productKey, i);  // keeps the first of equal keys
  }
}

std::optional<std::size_t> ProductRuleSet::firstMatch(const VelmoraEventData& event,
                                                      const platform::Logger& log) const {
  EventView view(event);
  std::array<std::string_view, 2> values;
  auto fieldMatches = [&](const CompiledField& field) {
    if (field.field == ProductField::unknown) {
      log.error("Unknown field name in match condition: '{}'", field.name);
      return false;
    }
    std::size_t count = view.values(field.field, values);
    for (const auto& pattern : field.patterns) {
      for (std::size_t v = 0; v < count; ++v) {
        if (pattern.pattern.kind == ProductPattern::Kind::tooShort) {
          log.error("Pattern '{}' rejected: requires at least 3 non-wildcard characters", pattern.text);
          continue;
        }
        if (pattern.pattern.matches(values[v])) return true;
      }
    }
    return false;
  };
  for (std::size_t i = 0; i < compiled_.size(); ++i) {
    for (const auto& set : compiled_[i].sets) {
      bool all = !set.empty();
      for (const auto& field : set) {
        if (field.patterns.empty() || !fieldMatches(field)) {
          all = false;
          break;
        }
      }
      if (all) return i;
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> ProductRuleSet::firstWithProductKey(std::string_view productKey) const {
  auto it = firstByProductKey_.find(std::string(productKey));
  if (it == firstByProductKey_.end()) return std::nullopt;
  return it->second;
}

}  // namespace nimbra
