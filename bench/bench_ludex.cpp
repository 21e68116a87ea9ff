// Per-launch cost of the game classification and launch analytics pieces:
// the game filter on a warm cache and on a miss answered by a games library
// file, the enrichment analysis of bundles on disk (cached, and the uncached
// read it saves), and the analytics sink's write rate.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <latch>
#include <string>

#include "nimbrad/EventEnrichment.h"
#include "nimbrad/LudexClient.h"
#include "nimbrad/LudexFilter.h"
#include "platform/AnalyticsSink.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/LudexLibrary.h"
#include "platform/PropertyList.h"

namespace {

using namespace nimbra;

// The daemon's log lines are part of the cost but not of this code: they go
// nowhere here.
class DiscardSink final : public platform::LogSink {
 public:
  void write(const platform::LogRecord&) override {}
};

// Built entry by entry: g++ 12 warns falsely on initializer lists of values here.
platform::Dictionary dictionary(std::initializer_list<std::pair<const char*, std::string>> strings) {
  platform::Dictionary out;
  for (const auto& [key, value] : strings) out.emplace(key, platform::Value(value));
  return out;
}

struct Fixture {
  std::string dir;
  std::shared_ptr<LudexClient> client;
  VelmoraEventData cachedEvent;
  VelmoraEventData untrackedEvent;

  Fixture() {
    platform::logging::setSink(std::make_shared<DiscardSink>());
    std::string pattern = std::filesystem::temp_directory_path().string() + "/nimbra-bench-XXXXXX";
    dir = ::mkdtemp(pattern.data());
    // A library of 2000 applications, a tenth of them games.
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>";
    for (int i = 0; i < 2000; ++i) {
      xml += fmt::format("<dict><key>bundleID</key><string>com.bench.app{}</string><key>isGame</key><{}/></dict>", i,
                         i % 10 == 0 ? "true" : "false");
    }
    xml += "</array></plist>\n";
    std::filesystem::create_directories(dir + "/ludex");
    std::ofstream(dir + "/ludex/501.plist") << xml;
    client = std::make_shared<LudexClient>(std::make_shared<platform::LudexFileLibraryFactory>(dir + "/ludex"));
    while (!client->isCacheInitialized()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::filesystem::create_directories(dir + "/Tool.app/Contents/MacOS");
    (void)platform::PropertyList::writeFileAtomically(
        dir + "/Tool.app/Contents/Info.plist",
        platform::Value(dictionary({{"CFBundleIdentifier", "com.bench.tool"},
                                    {"CFBundleShortVersionString", "1.0"},
                                    {"CFBundleExecutable", "Tool"},
                                    {"CFBundleName", "Tool"}})));
    cachedEvent.processName = "App1";
    cachedEvent.processPath = cachedEvent.targetPath = dir + "/Tool.app/Contents/MacOS/Tool";
    cachedEvent.processBundleID = "com.bench.app1";
    cachedEvent.responsibleBundleID = "com.bench.app2";
    cachedEvent.responsiblePath = "/Applications/Host.app/Contents/MacOS/Host";
    cachedEvent.uid = 501;
    untrackedEvent = cachedEvent;
    untrackedEvent.responsibleBundleID = untrackedEvent.processBundleID = "com.bench.untracked";
  }
  ~Fixture() { std::filesystem::remove_all(dir); }

  static Fixture& shared() {
    static Fixture fixture;
    return fixture;
  }
};

void BM_FilterWarmCache(benchmark::State& state) {
  auto& f = Fixture::shared();
  LudexFilter filter(f.client, nullptr, true);
  benchmark::IterationCount kept = 0;
  for (auto _ : state) {
    filter.filter(f.cachedEvent, [&](VelmoraEventData) { ++kept; });
  }
  if (kept != state.iterations()) state.SkipWithError("an event was not kept");
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("process and responsible answered from the cache");
}
BENCHMARK(BM_FilterWarmCache)->Unit(benchmark::kMicrosecond);

void BM_FilterMissAnsweredByLibraryFile(benchmark::State& state) {
  auto& f = Fixture::shared();
  LudexFilter filter(f.client, nullptr, true);
  for (auto _ : state) {
    std::promise<void> done;
    filter.filter(f.untrackedEvent, [&](VelmoraEventData) { done.set_value(); });
    done.get_future().wait();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("untracked bundle: one library query, round trip");
}
BENCHMARK(BM_FilterMissAnsweredByLibraryFile)->Unit(benchmark::kMicrosecond);

void BM_EnrichmentFromCachedBundles(benchmark::State& state) {
  auto& f = Fixture::shared();
  VelmoraEventData event = f.cachedEvent;
  event.processBundleID = event.processTeamID = "<unknown>";
  event.responsibleTeamID = event.targetTeamID = "<unknown>";
  auto factory = defaultVelmoraCoordinatorFactory();
  const platform::UserFileReader files(platform::UserIdentity::root());
  for (auto _ : state) benchmark::DoNotOptimize(enrichUnknownValues(event, factory, files));
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("three paths, bundles checked against the disk");
}
BENCHMARK(BM_EnrichmentFromCachedBundles)->Unit(benchmark::kMicrosecond);

void BM_BundleReadUncached(benchmark::State& state) {
  auto& f = Fixture::shared();
  const platform::UserFileReader files(platform::UserIdentity::root());
  for (auto _ : state) benchmark::DoNotOptimize(platform::Bundle::open(f.dir + "/Tool.app", files));
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("one Info.plist read and decoded (what the cache saves)");
}
BENCHMARK(BM_BundleReadUncached)->Unit(benchmark::kMicrosecond);

void BM_AnalyticsSinkWrite(benchmark::State& state) {
  auto& f = Fixture::shared();
  std::filesystem::remove_all(f.dir + "/analytics");
  platform::JsonLinesAnalyticsSink sink({.directory = f.dir + "/analytics"});
  constexpr int kBatch = 1000;  // below the backlog bound: nothing is refused
  std::size_t refused = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      bool taken = sink.sendEventLazy("com.corvane.nimbra.velmora-fallback-descriptor", [] {
        return dictionary({{"Reason", "x86 Only"},
                           {"Timestamp", "2026-01-01 12:00:00"},
                           {"ProcessBundleIdentifier", "com.bench.tool"},
                           {"ProcessBundleVersion", "1.0"},
                           {"ProcessName", "Tool"}});
      });
      refused += taken ? 0 : 1;
    }
    // Each batch counts until it is on disk.
    if (!sink.flush(std::chrono::seconds(60))) state.SkipWithError("flush timed out");
  }
  if (refused > 0) state.SkipWithError("events were refused");
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.SetLabel("fallback-descriptor events taken and written (rotating at 8 MiB)");
}
BENCHMARK(BM_AnalyticsSinkWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
