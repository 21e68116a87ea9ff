// The rule lookups on the per-launch path: one launch event matched against
// 1,000 product mapping rules of mixed patterns (no rule matching, the last
// one matching, the first one matching) through the provider's index, beside
// the compiled rules tested set after set, and a baseline that parses
// patterns and looks up field names on every test, as a direct reading of the
// rules would; hostile rule sets (many rules on one three-letter piece, a
// long value made of it) through the index and the scan; and the store's
// exclusion filter for one entry under the shipped rules and under 100 rules.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "nimbrad/ExclusionRulesProvider.h"
#include "nimbrad/ProcessDataEntry.h"
#include "nimbrad/ProcessListDataStore.h"
#include "nimbrad/ProductMappingProvider.h"
#include "nimbrad/VelmoraPolicy.h"
#include "platform/Directories.h"
#include "platform/PropertyList.h"

using namespace nimbra;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr std::size_t kRules = 1000;

const char* const kPlainFields[] = {"processBundleID", "responsibleBundleID", "targetPath", "responsibleTeamID",
                                    "processName", "targetBundleID"};
const char* const kCombinedFields[] = {"bundleID", "teamID", "path", "developerName"};

// Rule i: a prefix, suffix, contains or exact pattern (by i % 4) on a plain
// or combined field, one or two condition sets, one to three patterns.
Value ruleValue(std::size_t i) {
  std::string n = std::to_string(i);
  auto pattern = [&](std::size_t variant) -> std::string {
    switch ((i + variant) % 4) {
      case 0: return "com.vendor" + n + ".*";
      case 1: return "*/Product" + n + ".app/Contents/MacOS/tool";
      case 2: return "*Helper" + n + "-*";
      default: return "com.vendor" + n + ".app";
    }
  };
  Array sets;
  for (std::size_t s = 0; s < 1 + i % 2; ++s) {
    Dictionary set;
    const char* field = (i + s) % 3 == 0 ? kCombinedFields[(i + s) % 4] : kPlainFields[(i + s) % 6];
    Array patterns;
    for (std::size_t p = 0; p < 1 + i % 3; ++p) patterns.emplace_back(pattern(p + s));
    set.emplace(field, Value(std::move(patterns)));
    if (i % 5 == 0) set.emplace("targetTeamID", Value("TEAM" + n));
    sets.emplace_back(std::move(set));
  }
  return Value(Dictionary{{"productKey", Value("com.vendor" + n)},
                          {"displayName", Value("Product " + n)},
                          {"matchConditions", Value(std::move(sets))}});
}

class FileAssets final : public AssetProvider {
 public:
  explicit FileAssets(std::string path) : path_(std::move(path)) {}
  Asset asset(AssetType type) const override { return Asset{.type = type, .fileURL = path_}; }
  Asset builtInDefault(AssetType type) const override {
    return Asset::builtInDefault(type, platform::directories::resources());
  }
  AssetObserverToken addObserver(Observer) override { return {1}; }
  void removeObserver(AssetObserverToken) override {}

 private:
  std::string path_;
};

std::string writeTemp(const std::string& name, const Value& value) {
  std::string path = (std::filesystem::temp_directory_path() / name).string();
  auto written = platform::PropertyList::writeFileAtomically(path, value);
  if (!written) std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), written.error().message.c_str());
  return path;
}

struct Mappings {
  Array rules;
  std::shared_ptr<ProductMappingProvider> provider;
};

Mappings& mappings() {
  static Mappings m = [] {
    Mappings result;
    for (std::size_t i = 0; i < kRules; ++i) result.rules.push_back(ruleValue(i));
    auto path = writeTemp("nimbra-bench-beacon.plist", Value(result.rules));
    result.provider = ProductMappingProvider::create(std::make_shared<FileAssets>(path));
    std::filesystem::remove(path);
    if (result.provider->currentData().size() != kRules) std::fprintf(stderr, "rules did not all load\n");
    return result;
  }();
  return m;
}

VelmoraEventData baseEvent() {
  VelmoraEventData e;
  e.processName = "worker";
  e.processPath = "/Applications/Tools.app/Contents/MacOS/worker";
  e.processBundleID = "org.example.tools.worker";
  e.processBundleVersion = "3.1";
  e.processTeamID = "ORGTEAM001";
  e.processDeveloperName = "Example Org";
  e.uid = 501;
  e.targetFilename = "worker";
  e.targetPath = e.processPath;
  e.targetBundleID = e.processBundleID;
  e.targetBundleVersion = "3.1";
  e.targetTeamID = "ORGTEAM001";
  e.targetDeveloperName = "Example Org";
  e.responsibleName = "Tools";
  e.responsiblePath = "/Applications/Tools.app";
  e.responsibleBundleID = "org.example.tools";
  e.responsibleBundleVersion = "3.1";
  e.responsibleTeamID = "ORGTEAM001";
  e.responsibleDeveloperName = "Example Org";
  return e;
}

// The base event with the fields of rule `i`'s first condition set given
// values that its first patterns match (no earlier rule matches them: every
// generated text carries its rule number between delimiters).
VelmoraEventData eventMatching(std::size_t i) {
  VelmoraEventData e = baseEvent();
  const ProductRule rule = mappings().provider->currentData().rules()[i];
  for (const auto& [field, patterns] : rule.matchConditions.front()) {
    ProductPattern pattern = ProductPattern::parse(patterns.front());
    std::string value;
    switch (pattern.kind) {
      case ProductPattern::Kind::prefix: value = pattern.core + "x"; break;
      case ProductPattern::Kind::suffix: value = "x" + pattern.core; break;
      case ProductPattern::Kind::contains: value = "x" + pattern.core + "x"; break;
      default: value = pattern.core; break;
    }
    std::string* target = nullptr;
    if (field == "bundleID" || field == "responsibleBundleID") target = &e.responsibleBundleID;
    if (field == "teamID" || field == "responsibleTeamID") target = &e.responsibleTeamID;
    if (field == "path") target = &e.responsiblePath;
    if (field == "developerName") target = &e.responsibleDeveloperName;
    if (field == "processBundleID") target = &e.processBundleID;
    if (field == "processName") target = &e.processName;
    if (field == "targetPath") target = &e.targetPath;
    if (field == "targetBundleID") target = &e.targetBundleID;
    if (field == "targetTeamID") target = &e.targetTeamID;
    if (target != nullptr) *target = value;
  }
  return e;
}

// --- Baseline: the rules read directly, every pattern parsed and every field
// looked up by name on each test.

std::optional<std::string_view> fieldByName(const VelmoraEventData& e, const std::string& name, bool second) {
  auto present = [](const std::string& s) -> std::optional<std::string_view> {
    if (s.empty()) return std::nullopt;
    return std::string_view(s);
  };
  if (name == "bundleID") return present(second ? e.processBundleID : e.responsibleBundleID);
  if (name == "teamID") return present(second ? e.processTeamID : e.responsibleTeamID);
  if (name == "path") return present(second ? e.processPath : e.responsiblePath);
  if (name == "developerName") return present(second ? e.processDeveloperName : e.responsibleDeveloperName);
  if (second) return std::nullopt;
  if (name == "processName") return present(e.processName);
  if (name == "processPath") return present(e.processPath);
  if (name == "processBundleID") return present(e.processBundleID);
  if (name == "processTeamID") return present(e.processTeamID);
  if (name == "targetPath") return present(e.targetPath);
  if (name == "targetBundleID") return present(e.targetBundleID);
  if (name == "targetTeamID") return present(e.targetTeamID);
  if (name == "responsibleName") return present(e.responsibleName);
  if (name == "responsiblePath") return present(e.responsiblePath);
  if (name == "responsibleBundleID") return present(e.responsibleBundleID);
  if (name == "responsibleTeamID") return present(e.responsibleTeamID);
  return std::nullopt;
}

bool naivePatternMatches(const std::string& pattern, std::string_view value) {
  bool leading = pattern.starts_with("*");
  bool trailing = pattern.size() > 1 && pattern.ends_with("*");
  std::string core = pattern.substr(leading ? 1 : 0, pattern.size() - (leading ? 1 : 0) - (trailing ? 1 : 0));
  if (core.size() < 3) return false;
  if (leading && trailing) return value.find(core) != std::string_view::npos;
  if (leading) return value.ends_with(core);
  if (trailing) return value.starts_with(core);
  return value == core;
}

std::optional<std::size_t> naiveMatch(const std::vector<ProductRule>& rules, const VelmoraEventData& e) {
  for (std::size_t i = 0; i < rules.size(); ++i) {
    for (const auto& set : rules[i].matchConditions) {
      bool all = true;
      for (const auto& [field, patterns] : set) {
        bool any = false;
        for (const auto& pattern : patterns) {
          for (bool second : {false, true}) {
            auto value = fieldByName(e, field, second);
            if (value && naivePatternMatches(pattern, *value)) any = true;
            if (any) break;
          }
          if (any) break;
        }
        if (!any) {
          all = false;
          break;
        }
      }
      if (all) return i;
    }
  }
  return std::nullopt;
}

void BM_MatchingRule(benchmark::State& state, std::optional<std::size_t> matching) {
  auto& provider = *mappings().provider;
  VelmoraEventData event = matching ? eventMatching(*matching) : baseEvent();
  auto expected = matching ? std::optional<std::string>("com.vendor" + std::to_string(*matching)) : std::nullopt;
  for (auto _ : state) {
    auto match = provider.matchingRule(event);
    benchmark::DoNotOptimize(match);
  }
  auto match = provider.matchingRule(event);
  if ((match ? std::optional(match->productKey) : std::nullopt) != expected) state.SkipWithError("wrong match");
  state.counters["rules"] = static_cast<double>(provider.currentData().size());
}

void BM_MatchingRuleBaseline(benchmark::State& state, std::optional<std::size_t> matching) {
  auto rules = mappings().provider->currentData().rules();
  VelmoraEventData event = matching ? eventMatching(*matching) : baseEvent();
  for (auto _ : state) {
    auto match = naiveMatch(rules, event);
    benchmark::DoNotOptimize(match);
  }
  if (naiveMatch(rules, event) != matching) state.SkipWithError("baseline disagrees");
}

// The compiled rules tested one set after another, without the index.
void BM_MatchingRuleScan(benchmark::State& state, std::optional<std::size_t> matching) {
  auto rules = mappings().provider->currentDataSnapshot();
  VelmoraEventData event = matching ? eventMatching(*matching) : baseEvent();
  const auto& log = platform::Logger::defaultLog();
  for (auto _ : state) {
    auto match = rules->firstMatchByScan(event, log);
    benchmark::DoNotOptimize(match);
  }
  if (rules->firstMatchByScan(event, log) != matching) state.SkipWithError("scan disagrees");
}

BENCHMARK_CAPTURE(BM_MatchingRule, no_rule_matches, std::nullopt);
BENCHMARK_CAPTURE(BM_MatchingRule, last_rule_matches, std::optional<std::size_t>(kRules - 1));
BENCHMARK_CAPTURE(BM_MatchingRule, first_rule_matches, std::optional<std::size_t>(0));
BENCHMARK_CAPTURE(BM_MatchingRuleScan, no_rule_matches, std::nullopt);
BENCHMARK_CAPTURE(BM_MatchingRuleScan, last_rule_matches, std::optional<std::size_t>(kRules - 1));
BENCHMARK_CAPTURE(BM_MatchingRuleBaseline, no_rule_matches, std::nullopt);
BENCHMARK_CAPTURE(BM_MatchingRuleBaseline, last_rule_matches, std::optional<std::size_t>(kRules - 1));

// --- Hostile input: `rules` rules that all contain "aaaa" in the path and
// each a text of their own in the process name (so that none matches and
// every one is a candidate), against a path of `length` "a"s. The index
// must cost no more than a small factor over testing every set.

ProductRuleSet hostileRules(std::size_t count) {
  std::vector<ProductRule> rules;
  rules.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string n = std::to_string(i);
    rules.push_back(ProductRule{{{{"path", {"*aaaa*"}}, {"processName", {"*tool" + n + "*"}}}}, "com.hostile" + n,
                                "Hostile " + n});
  }
  return ProductRuleSet(std::move(rules));
}

VelmoraEventData hostileEvent(std::size_t length) {
  VelmoraEventData e = baseEvent();
  e.responsiblePath = "/" + std::string(length, 'a');
  return e;
}

void BM_HostileMatch(benchmark::State& state, bool indexed) {
  auto rules = hostileRules(static_cast<std::size_t>(state.range(0)));
  VelmoraEventData event = hostileEvent(static_cast<std::size_t>(state.range(1)));
  const auto& log = platform::Logger::defaultLog();
  for (auto _ : state) {
    auto match = indexed ? rules.firstMatch(event, log) : rules.firstMatchByScan(event, log);
    benchmark::DoNotOptimize(match);
  }
  if (rules.firstMatch(event, log) || rules.firstMatchByScan(event, log)) state.SkipWithError("a rule matched");
}
BENCHMARK_CAPTURE(BM_HostileMatch, index, true)->Args({20000, 4000})->Args({1000, 4000})->Args({20000, 64});
BENCHMARK_CAPTURE(BM_HostileMatch, scan, false)->Args({20000, 4000})->Args({1000, 4000})->Args({20000, 64});

void BM_RuleForProductKey(benchmark::State& state) {
  auto& provider = *mappings().provider;
  for (auto _ : state) {
    auto rule = provider.rule("com.vendor777");
    benchmark::DoNotOptimize(rule);
  }
}
BENCHMARK(BM_RuleForProductKey);

// --- The exclusion filter for one entry.

std::shared_ptr<ExclusionRulesProvider> exclusionRules(std::size_t count) {
  Array rules;
  if (count == 0) {
    // The shipped default file's rules.
    auto shipped = platform::PropertyList::readFile(platform::directories::resources() +
                                                    "/assets_LANTERN_MOSS_CORAL/CORAL.plist");
    if (shipped && shipped->asArray()) rules = *shipped->asArray();
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::string n = std::to_string(i);
    Dictionary rule{{"responsible_bundle_id", Value("com.blocked" + n)}};
    if (i % 2) rule.emplace("process_team_id", Value("TEAM" + n));
    rules.emplace_back(std::move(rule));
  }
  auto path = writeTemp("nimbra-bench-coral-" + std::to_string(count) + ".plist", Value(std::move(rules)));
  auto provider = ExclusionRulesProvider::create(std::make_shared<FileAssets>(path));
  std::filesystem::remove(path);
  return provider;
}

ProcessDataEntry sampleEntry() {
  VelmoraEventData event = baseEvent();
  event.targetPath = "/Applications/Tools.app/Contents/PlugIns/Render.plugin/Contents/MacOS/Render";
  return ProcessDataEntry::fromEvent(event, "2026-01-02 03:04:05", VelmoraReason(), "/Applications/Tools.app");
}

void BM_ShouldExclude(benchmark::State& state) {
  auto directory = std::filesystem::temp_directory_path() / "nimbra-bench-store";
  ProcessListDataStore store(directory.string());
  store.setExclusionRulesProvider(exclusionRules(static_cast<std::size_t>(state.range(0))));
  ProcessDataEntry entry = sampleEntry();
  VelmoraPolicy policy = VelmoraPolicy::builtInDefault();
  for (auto _ : state) {
    bool excluded = store.shouldExclude(entry, policy);
    benchmark::DoNotOptimize(excluded);
  }
  state.counters["rules"] = static_cast<double>(store.exclusionRulesProvider()->currentRules().size());
  std::filesystem::remove_all(directory);
}
// 0: the shipped rules.
BENCHMARK(BM_ShouldExclude)->Arg(0)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
