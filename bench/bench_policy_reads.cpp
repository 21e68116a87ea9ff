// Reads on the per-launch path: an asset-backed provider's data (a copy, and
// the shared snapshot), the merged policy, and the asset manager's cache, each
// from 1 and 4 threads. The baseline is the same copy without any lock, so
// the ratio is what the guarding costs.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "nimbrad/AssetBackedProvider.h"
#include "nimbrad/VelmoraPolicyManager.h"

using namespace nimbra;

namespace {

using Rules = std::vector<std::map<std::string, std::string>>;

Rules makeRules(std::size_t count) {
  Rules rules;
  for (std::size_t i = 0; i < count; ++i) {
    rules.push_back({{"responsible_bundle_id", "com.example.product" + std::to_string(i)},
                     {"responsible_team_id", "TEAM" + std::to_string(i % 17)}});
  }
  return rules;
}

class StaticAssets final : public AssetProvider {
 public:
  Asset asset(AssetType type) const override { return Asset{.type = type, .fileURL = "/dev/null"}; }
  Asset builtInDefault(AssetType type) const override { return asset(type); }
  AssetObserverToken addObserver(Observer) override { return {1}; }
  void removeObserver(AssetObserverToken) override {}
};

class RulesProvider final : public AssetBackedProvider<Rules> {
 public:
  explicit RulesProvider(std::shared_ptr<AssetProvider> assets)
      : AssetBackedProvider(std::move(assets), Configuration{.assetType = AssetType::exclusionRules,
                                                             .fallbackData = {},
                                                             .loggerCategory = "RulesProvider",
                                                             .queueLabel = "bench.rules",
                                                             .notificationName = "bench.rules.didChange"}) {}
  static std::shared_ptr<RulesProvider> create() { return make<RulesProvider>(std::make_shared<StaticAssets>()); }

 protected:
  LoadResult loadFromAsset(const Asset&) override { return makeRules(50); }
};

class FixedPolicy final : public VelmoraPolicyProvider {
 public:
  VelmoraPartialPolicy loadPolicy() override { return {}; }
  std::optional<platform::ObserverToken> addObserver(ChangeHandler) override { return platform::ObserverToken{1}; }
  void removeObserver(platform::ObserverToken) override {}
  std::string description() const override { return "fixed"; }
};

std::shared_ptr<RulesProvider>& provider() {
  static auto p = RulesProvider::create();
  return p;
}

std::shared_ptr<VelmoraPolicyManager>& manager() {
  static auto m = VelmoraPolicyManager::create({std::make_shared<FixedPolicy>()}, VelmoraPolicy::builtInDefault());
  return m;
}

void BM_UnguardedRulesCopy(benchmark::State& state) {
  static const Rules rules = makeRules(50);
  for (auto _ : state) {
    Rules copy = rules;
    benchmark::DoNotOptimize(copy);
  }
}

void BM_ProviderCurrentData(benchmark::State& state) {
  for (auto _ : state) {
    Rules copy = provider()->currentData();
    benchmark::DoNotOptimize(copy);
  }
}

void BM_ProviderSnapshot(benchmark::State& state) {
  for (auto _ : state) {
    auto snapshot = provider()->currentDataSnapshot();
    benchmark::DoNotOptimize(snapshot->size());
  }
}

void BM_UnguardedPolicyCopy(benchmark::State& state) {
  static const VelmoraPolicy policy = VelmoraPolicy::builtInDefault();
  for (auto _ : state) {
    VelmoraPolicy copy = policy;
    benchmark::DoNotOptimize(copy);
  }
}

void BM_PolicyManagerCurrentPolicy(benchmark::State& state) {
  for (auto _ : state) {
    VelmoraPolicy policy = manager()->currentPolicy();
    benchmark::DoNotOptimize(policy);
  }
}

}  // namespace

BENCHMARK(BM_UnguardedRulesCopy)->Threads(1)->Threads(4);
BENCHMARK(BM_ProviderCurrentData)->Threads(1)->Threads(4);
BENCHMARK(BM_ProviderSnapshot)->Threads(1)->Threads(4);
BENCHMARK(BM_UnguardedPolicyCopy)->Threads(1)->Threads(4);
BENCHMARK(BM_PolicyManagerCurrentPolicy)->Threads(1)->Threads(4);

BENCHMARK_MAIN();
