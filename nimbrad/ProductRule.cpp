#include "nimbrad/ProductRule.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
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

}  // namespace

ProductField productFieldNamed(std::string_view name) {
  for (const auto& [candidate, field] : kFieldNames) {
    if (candidate == name) return field;
  }
  return ProductField::unknown;
}

// The event's texts by field, read once per match. An empty text is absent.
class ProductRuleSet::EventView {
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

  // As values(), but a combined field's two values once when they are equal:
  // what the index looks up.
  std::size_t distinctValues(ProductField field, std::array<std::string_view, 2>& out) const {
    std::size_t count = values(field, out);
    return count == 2 && out[0] == out[1] ? 1 : count;
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
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    const auto& rule = rules_[i];
    for (const auto& set : rule.matchConditions) {
      CompiledSet compiled{static_cast<std::uint32_t>(i), {}};
      compiled.fields.reserve(set.size());
      for (const auto& [name, patterns] : set) {
        CompiledField field{productFieldNamed(name), name, {}};
        field.patterns.reserve(patterns.size());
        for (const auto& text : patterns) field.patterns.push_back({ProductPattern::parse(text), text});
        compiled.fields.push_back(std::move(field));
      }
      sets_.push_back(std::move(compiled));
    }
    firstByProductKey_.emplace(rule.productKey, i);  // keeps the first of equal keys
  }
  buildIndex();
}

namespace {

std::uint32_t trigramAt(std::string_view text, std::size_t position) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(text[position])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[position + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[position + 2]));
}

void setBit(std::vector<std::uint64_t>& bits, std::size_t number) {
  bits[number / 64] |= std::uint64_t{1} << (number % 64);
}

// Sets the bit; false if it was set already.
bool testAndSetBit(std::vector<std::uint64_t>& bits, std::size_t number) {
  std::uint64_t& word = bits[number / 64];
  std::uint64_t bit = std::uint64_t{1} << (number % 64);
  if ((word & bit) != 0) return false;
  word |= bit;
  return true;
}

void addLength(std::vector<std::size_t>& lengths, std::size_t length) {
  if (std::find(lengths.begin(), lengths.end(), length) == lengths.end()) lengths.push_back(length);
}

// How narrowly a field's patterns pick sets: whole texts best, contained
// texts worst, then fewer patterns.
std::size_t selectivityCost(const std::vector<ProductPattern::Kind>& kinds) {
  std::size_t worst = 0;
  for (auto kind : kinds) {
    std::size_t cost = kind == ProductPattern::Kind::equals ? 0 : kind == ProductPattern::Kind::contains ? 2 : 1;
    worst = std::max(worst, cost);
  }
  return worst * 1000 + kinds.size();
}

}  // namespace

void ProductRuleSet::buildIndex() {
  using Kind = ProductPattern::Kind;
  // A set is indexed under one of its fields; a set that could log when
  // tested (or can never match) is tested every time instead, so that
  // skipping sets never changes what is logged.
  std::vector<std::optional<std::size_t>> keyField(sets_.size());
  for (std::size_t s = 0; s < sets_.size(); ++s) {
    const auto& set = sets_[s];
    bool quiet = !set.fields.empty();
    for (const auto& field : set.fields) {
      quiet = quiet && field.field != ProductField::unknown && !field.patterns.empty();
      for (const auto& pattern : field.patterns) {
        quiet = quiet && pattern.pattern.kind != Kind::tooShort && pattern.pattern.kind != Kind::unsupported;
      }
    }
    if (!quiet) continue;
    std::size_t best = 0;
    std::size_t bestCost = SIZE_MAX;
    for (std::size_t f = 0; f < set.fields.size(); ++f) {
      std::vector<Kind> kinds;
      for (const auto& pattern : set.fields[f].patterns) kinds.push_back(pattern.pattern.kind);
      std::size_t cost = selectivityCost(kinds);
      if (cost < bestCost) {
        best = f;
        bestCost = cost;
      }
    }
    keyField[s] = best;
  }

  auto indexFor = [this](ProductField field) -> FieldIndex& {
    for (auto& index : index_) {
      if (index.field == field) return index;
    }
    index_.push_back(FieldIndex{.field = field});
    return index_.back();
  };
  // Trigram frequencies of contained texts per field, to key each on its rarest piece.
  std::unordered_map<std::uint64_t, std::size_t> trigramCounts;
  auto countKey = [](ProductField field, std::uint32_t trigram) {
    return static_cast<std::uint64_t>(field) << 32 | trigram;
  };
  for (std::size_t s = 0; s < sets_.size(); ++s) {
    if (!keyField[s]) continue;
    const auto& field = sets_[s].fields[*keyField[s]];
    for (const auto& pattern : field.patterns) {
      if (pattern.pattern.kind != Kind::contains) continue;
      const std::string& core = pattern.pattern.core;
      for (std::size_t p = 0; p + 3 <= core.size(); ++p) ++trigramCounts[countKey(field.field, trigramAt(core, p))];
    }
  }

  // Sets are entered in number order, so every list is ascending.
  auto listFor = [this](auto& map, const auto& key) -> std::vector<std::uint32_t>& {
    auto [it, inserted] = map.try_emplace(key, static_cast<std::uint32_t>(candidateLists_.size()));
    if (inserted) candidateLists_.emplace_back();
    return candidateLists_[it->second];
  };
  alwaysTested_.assign((sets_.size() + 63) / 64, 0);
  for (std::size_t s = 0; s < sets_.size(); ++s) {
    const auto number = static_cast<std::uint32_t>(s);
    if (!keyField[s]) {
      setBit(alwaysTested_, number);
      continue;
    }
    const auto& field = sets_[s].fields[*keyField[s]];
    FieldIndex& index = indexFor(field.field);
    for (const auto& pattern : field.patterns) {
      const std::string& core = pattern.pattern.core;
      switch (pattern.pattern.kind) {
        case Kind::equals: listFor(index.exact, core).push_back(number); break;
        case Kind::prefix:
          listFor(index.prefixes, core).push_back(number);
          addLength(index.prefixLengths, core.size());
          break;
        case Kind::suffix:
          listFor(index.suffixes, core).push_back(number);
          addLength(index.suffixLengths, core.size());
          break;
        case Kind::contains: {
          std::size_t rarest = 0;
          std::size_t rarestCount = SIZE_MAX;
          for (std::size_t p = 0; p + 3 <= core.size(); ++p) {
            std::size_t count = trigramCounts[countKey(field.field, trigramAt(core, p))];
            if (count < rarestCount) {
              rarest = p;
              rarestCount = count;
            }
          }
          listFor(index.trigrams, trigramAt(core, rarest)).push_back(number);
          break;
        }
        case Kind::tooShort:
        case Kind::unsupported: break;  // never keyed: such sets are tested every time
      }
    }
  }
}

bool ProductRuleSet::setMatches(const CompiledSet& set, const EventView& view, const platform::Logger& log) const {
  if (set.fields.empty()) return false;
  std::array<std::string_view, 2> values;
  for (const auto& field : set.fields) {
    if (field.patterns.empty()) return false;
    if (field.field == ProductField::unknown) {
      log.error("Unknown field name in match condition: '{}'", field.name);
      return false;
    }
    std::size_t count = view.values(field.field, values);
    bool satisfied = false;
    for (const auto& pattern : field.patterns) {
      for (std::size_t v = 0; v < count && !satisfied; ++v) {
        if (pattern.pattern.kind == ProductPattern::Kind::tooShort) {
          log.error("Pattern '{}' rejected: requires at least 3 non-wildcard characters", pattern.text);
          continue;
        }
        satisfied = pattern.pattern.matches(values[v]);
      }
      if (satisfied) break;
    }
    if (!satisfied) return false;
  }
  return true;
}

std::size_t ProductRuleSet::lookupCount(const EventView& view) const {
  std::size_t lookups = 0;
  std::array<std::string_view, 2> values;
  for (const auto& index : index_) {
    for (std::size_t v = 0, count = view.distinctValues(index.field, values); v < count; ++v) {
      std::size_t size = values[v].size();
      if (!index.exact.empty()) ++lookups;
      for (std::size_t length : index.prefixLengths) lookups += length <= size ? 1 : 0;
      for (std::size_t length : index.suffixLengths) lookups += length <= size ? 1 : 0;
      if (!index.trigrams.empty() && size >= 3) lookups += size - 2;
    }
  }
  return lookups;
}

std::optional<std::size_t> ProductRuleSet::firstMatch(const VelmoraEventData& event,
                                                      const platform::Logger& log) const {
  EventView view(event);
  // A long value costs one lookup per position; past one lookup per set the
  // index no longer pays for itself.
  if (lookupCount(view) > sets_.size()) return scan(view, log);

  Bits candidates(alwaysTested_);
  Bits taken((candidateLists_.size() + 63) / 64, 0);
  // Each list once, however often its key occurs in the event's values: a
  // value made of one repeated piece must not add a list per position.
  auto take = [&](std::uint32_t list) {
    if (!testAndSetBit(taken, list)) return;
    for (std::uint32_t number : candidateLists_[list]) setBit(candidates, number);
  };
  auto find = [&take](const TextIndex& index, std::string_view key) {
    if (auto it = index.find(key); it != index.end()) take(it->second);
  };
  std::array<std::string_view, 2> values;
  for (const auto& index : index_) {
    for (std::size_t v = 0, count = view.distinctValues(index.field, values); v < count; ++v) {
      std::string_view value = values[v];
      if (!index.exact.empty()) find(index.exact, value);
      for (std::size_t length : index.prefixLengths) {
        if (length <= value.size()) find(index.prefixes, value.substr(0, length));
      }
      for (std::size_t length : index.suffixLengths) {
        if (length <= value.size()) find(index.suffixes, value.substr(value.size() - length));
      }
      if (!index.trigrams.empty()) {
        for (std::size_t p = 0; p + 3 <= value.size(); ++p) {
          if (auto it = index.trigrams.find(trigramAt(value, p)); it != index.trigrams.end()) take(it->second);
        }
      }
    }
  }
  // Candidates in set order, so the first that matches is the scan's answer.
  for (std::size_t w = 0; w < candidates.size(); ++w) {
    for (std::uint64_t word = candidates[w]; word != 0; word &= word - 1) {
      const auto& set = sets_[w * 64 + static_cast<std::size_t>(std::countr_zero(word))];
      if (setMatches(set, view, log)) return set.rule;
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> ProductRuleSet::firstMatchByScan(const VelmoraEventData& event,
                                                            const platform::Logger& log) const {
  return scan(EventView(event), log);
}

std::optional<std::size_t> ProductRuleSet::scan(const EventView& view, const platform::Logger& log) const {
  for (const auto& set : sets_) {
    if (setMatches(set, view, log)) return set.rule;
  }
  return std::nullopt;
}

std::optional<std::size_t> ProductRuleSet::firstWithProductKey(std::string_view productKey) const {
  auto it = firstByProductKey_.find(std::string(productKey));
  if (it == firstByProductKey_.end()) return std::nullopt;
  return it->second;
}

}  // namespace nimbra
