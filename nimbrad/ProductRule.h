#pragma once

// Product mapping rules: which launch events belong to one product, and the
// pattern language their conditions use. `ProductRule` is one rule as the
// BEACON asset gives it after validation; `ProductRuleSet` is the ordered
// list the provider serves, with every rule compiled once so that matching a
// launch does no parsing or field-name lookups.
//
// Plain values: copy freely; const operations from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "nimbrad/VelmoraEventData.h"
#include "platform/Log.h"

namespace nimbra {

struct ProductRule {
  // Field name to its patterns (never empty after loading); all fields of a
  // set must match, any pattern of a field may.
  using ConditionSet = std::map<std::string, std::vector<std::string>>;

  // Alternative condition sets; the first that matches decides.
  std::vector<ConditionSet> matchConditions;
  std::string productKey;
  std::optional<std::string> displayName;

  bool operator==(const ProductRule&) const = default;
};

// A pattern as compared with a field's value (case-sensitive):
// "*x*" contains x, "*x" ends with x, "x*" starts with x, "x" equals x.
// Any number of leading or trailing "*" count as one.
struct ProductPattern {
  enum class Kind {
    equals,
    prefix,
    suffix,
    contains,
    // Fewer than 3 characters once the "*" are removed: never matches.
    tooShort,
    // A "*" between other characters: not part of the language.
    unsupported,
  };
  static constexpr std::size_t kMinimumCharacters = 3;

  Kind kind = Kind::equals;
  // The pattern without its leading and trailing "*".
  std::string core;

  static ProductPattern parse(std::string_view pattern);
  // For tooShort and unsupported patterns: false.
  bool matches(std::string_view value) const;
};

// The fields a condition may name. The four combined fields try the
// responsible process's value first, then the launched process's.
enum class ProductField : std::uint8_t {
  uid,
  processName, processPath, processBundleID, processBundleVersion, processTeamID, processDeveloperName,
  targetFilename, targetPath, targetBundleID, targetBundleVersion, targetTeamID, targetDeveloperName,
  responsibleName, responsiblePath, responsibleBundleID, responsibleBundleVersion, responsibleTeamID,
  responsibleDeveloperName,
  teamID, bundleID, developerName, path,
  unknown,
};
// The field called `name` (exact text), unknown for any other name.
ProductField productFieldNamed(std::string_view name);

struct ProductMatch {
  std::string productKey;
  std::optional<std::string> displayName;

  bool operator==(const ProductMatch&) const = default;
};

class ProductRuleSet {
 public:
  ProductRuleSet() = default;
  explicit ProductRuleSet(std::vector<ProductRule> rules);

  const std::vector<ProductRule>& rules() const { return rules_; }
  bool empty() const { return rules_.empty(); }
  std::size_t size() const { return rules_.size(); }

  // The index of the first rule (in list order) one of whose condition sets
  // matches `event`, or nullopt. An empty event text counts as absent and
  // matches nothing. Logs at error level, on `log`, each lookup of an unknown
  // field name and each test of a too-short pattern, as they happen.
  //
  // Only condition sets that can match are tested: an index built at
  // construction yields them from the event's values. Sets that would log
  // when tested (unknown field names, too-short patterns) are always tested,
  // so the result and the log lines are those of testing every set in order.
  // The event's values choose what is looked up (a local user picks their
  // executable's path), so the work stays bounded by that of testing every
  // set: each list of candidates is taken at most once and each set tested at
  // most once, and an event that would need more lookups than there are sets
  // is matched by testing every set instead.
  std::optional<std::size_t> firstMatch(const VelmoraEventData& event, const platform::Logger& log) const;

  // The same answer and log lines from testing every set in order, without
  // the index; the reference the index is held to.
  std::optional<std::size_t> firstMatchByScan(const VelmoraEventData& event, const platform::Logger& log) const;

  // The index of the first rule whose product key is exactly `productKey`.
  std::optional<std::size_t> firstWithProductKey(std::string_view productKey) const;

  // Equal when the rules are; the compiled form follows from them.
  bool operator==(const ProductRuleSet& other) const { return rules_ == other.rules_; }

 private:
  struct CompiledPattern {
    ProductPattern pattern;
    std::string text;  // as written, for the log line
  };
  struct CompiledField {
    ProductField field = ProductField::unknown;
    std::string name;  // as written, for the log line
    std::vector<CompiledPattern> patterns;
  };
  // One condition set, numbered in rule order then set order.
  struct CompiledSet {
    std::uint32_t rule = 0;
    std::vector<CompiledField> fields;
  };

  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  // Keys map to the number of a candidate list in `candidateLists_`.
  using TextIndex = std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>>;
  // The sets keyed by the patterns of one field. A set is entered under the
  // patterns of one of its fields: it cannot match unless one of them does.
  struct FieldIndex {
    ProductField field = ProductField::unknown;
    TextIndex exact;     // by the whole text
    TextIndex prefixes;  // by the text the value starts with
    TextIndex suffixes;  // by the text the value ends with
    std::vector<std::size_t> prefixLengths;  // distinct lengths in `prefixes`
    std::vector<std::size_t> suffixLengths;
    // Contained texts by their rarest three-byte piece, which the value then
    // contains at some position.
    std::unordered_map<std::uint32_t, std::uint32_t> trigrams;
  };
  // One bit per set (or per candidate list), in number order.
  using Bits = std::vector<std::uint64_t>;

  class EventView;
  void buildIndex();
  std::size_t lookupCount(const EventView& view) const;
  bool setMatches(const CompiledSet& set, const EventView& view, const platform::Logger& log) const;
  std::optional<std::size_t> scan(const EventView& view, const platform::Logger& log) const;

  std::vector<ProductRule> rules_;
  std::vector<CompiledSet> sets_;
  Bits alwaysTested_;  // the sets that are candidates for every event
  std::vector<std::vector<std::uint32_t>> candidateLists_;  // set numbers, ascending
  std::vector<FieldIndex> index_;
  std::unordered_map<std::string, std::size_t> firstByProductKey_;
};

}  // namespace nimbra
