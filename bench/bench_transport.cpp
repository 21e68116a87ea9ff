// Round trips per second of a small dictionary request over a service socket
// against an echo handler, beside a plain Unix-socket echo server that sends
// every frame back unchanged. Both are driven by the same client, so the
// ratio is what the service transport costs over moving the bytes.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/RawEchoServer.h"
#include "platform/Log.h"
#include "platform/ServiceClient.h"
#include "platform/ServiceListener.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

// A launch-event-sized request: a handful of short strings and a number.
Value request() {
  return Dictionary{{"ProcessName", "Example"},
                    {"ProcessPath", "/opt/example/bin/example"},
                    {"ProcessBundleIdentifier", "com.example.app"},
                    {"ProcessBundleVersion", "1.2.3"},
                    {"UID", "501"},
                    {"EventTimestamp", "2024-05-01 12:00:00"},
                    {"sequence", 42}};
}

struct Servers {
  std::string directory;
  std::string servicePath;
  std::string rawPath;
  std::unique_ptr<ServiceListener> listener;
  std::unique_ptr<nimbra::bench::RawEchoServer> raw;

  Servers() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nimbra-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::exit(1);
    directory = pattern;
    servicePath = directory + "/com.corvane.bench.echo";
    rawPath = directory + "/raw-echo";
    ServiceConfig config;
    config.name = "com.corvane.bench.echo";
    config.socketPath = servicePath;
    config.targetQueue = DispatchQueue::makeSerial("com.corvane.bench.echo");
    auto started = ServiceListener::start(config, [](SessionRequest& session) {
      session.accept([](const Value& message) { return message; });
    });
    if (!started) {
      std::cerr << started.error() << "\n";
      std::exit(1);
    }
    listener = std::move(started).value();
    raw = std::make_unique<nimbra::bench::RawEchoServer>(rawPath);
  }
};

Servers& servers() {
  static Servers* s = new Servers();
  return *s;
}

// range(0): 0 = service, 1 = raw echo; range(1): requests sent before the
// replies are read.
void BM_RoundTrips(benchmark::State& state) {
  const bool raw = state.range(0) == 1;
  const auto window = static_cast<int>(state.range(1));
  auto connected = ServiceClient::connect(raw ? servers().rawPath : servers().servicePath, 5s);
  if (!connected) {
    state.SkipWithError(connected.error().message.c_str());
    return;
  }
  auto& client = *connected.value();
  const Value message = request();
  for (auto _ : state) {
    for (int i = 0; i < window; ++i) {
      if (!client.send(message, 5s)) {
        state.SkipWithError("send failed");
        return;
      }
    }
    for (int i = 0; i < window; ++i) {
      auto reply = client.receive(5s);
      if (!reply) {
        state.SkipWithError(reply.error().message.c_str());
        return;
      }
      benchmark::DoNotOptimize(reply);
    }
  }
  state.SetItemsProcessed(state.iterations() * window);
  state.SetLabel(raw ? "raw echo" : "service");
}

void arguments(benchmark::internal::Benchmark* b) {
  for (int window : {1, 64}) {
    for (int raw : {0, 1}) b->Args({raw, window});
  }
  b->ArgNames({"raw", "window"})->UseRealTime()->MinTime(0.3);
}

BENCHMARK(BM_RoundTrips)->Apply(arguments)->Threads(1);
BENCHMARK(BM_RoundTrips)->Apply(arguments)->Threads(4);

// Collects the rates so that main() can print the ratios after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      // Single runs when they are reported, else the medians.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      auto rate = run.counters.find("items_per_second");
      if (rate == run.counters.end()) continue;
      // "BM_RoundTrips/raw:1/window:64/real_time/threads:4" -> key without the raw argument.
      std::string name = run.run_name.str();
      bool isRaw = name.find("raw:1") != std::string::npos;
      std::string key = name;
      auto at = key.find(isRaw ? "raw:1/" : "raw:0/");
      if (at != std::string::npos) key.erase(at, 6);
      // The best of the repetitions: other load on the machine only ever
      // slows a run down, and it hits both sides at random.
      double& best = (isRaw ? rawRates : serviceRates)[key];
      best = std::max(best, rate->second.value);
    }
  }

  std::map<std::string, double> serviceRates;
  std::map<std::string, double> rawRates;
};

}  // namespace

int main(int argc, char** argv) {
  logging::setThreshold(LogLevel::Error);
  // Repeated, interleaved runs so that service and baseline see the same
  // conditions; flags given on the command line come later and win.
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, {repetitions.data(), interleave.data()});
  int count = static_cast<int>(args.size());
  argv = args.data();
  argc = count;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  servers();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::cout << "\nround trips per second, best of the repetitions (service / raw echo = ratio)\n";
  for (const auto& [key, service] : reporter.serviceRates) {
    auto raw = reporter.rawRates.find(key);
    if (raw == reporter.rawRates.end() || raw->second <= 0) continue;
    std::cout << "  " << key << ": " << static_cast<long long>(service) << " / "
              << static_cast<long long>(raw->second) << " = " << service / raw->second << "\n";
  }
  benchmark::Shutdown();
  std::filesystem::remove_all(servers().directory);
  return 0;
}
