// Cost of posting: the in-process center (synchronous, on the policy and
// provider change paths) and the Darwin notify center (socket round trip to
// an observer on its queue).
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include <unistd.h>
#include <cstdlib>

#include "platform/DarwinNotifyCenter.h"
#include "platform/NotificationCenter.h"

using namespace platform;

namespace {

int subject = 0;

// A center holding `state.range(0)` observers of other names and one of the
// posted name, as the daemon's providers and policy manager register.
void BM_NotificationCenterPost(benchmark::State& state) {
  NotificationCenter center;
  for (int i = 0; i < state.range(0); ++i) {
    center.addObserver("com.corvane.nimbra.other." + std::to_string(i), nullptr, [](const Notification&) {});
  }
  std::size_t calls = 0;
  center.addObserver("com.corvane.nimbra.posted", &subject, [&](const Notification&) { ++calls; });
  const std::string name = "com.corvane.nimbra.posted";
  for (auto _ : state) {
    center.post(name, &subject, {{"newData", 1}});
  }
  benchmark::DoNotOptimize(calls);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NotificationCenterPost)->Arg(0)->Arg(10)->Arg(100);

// One datagram per iteration, waited for until its observer ran.
void BM_DarwinNotifyRoundTrip(benchmark::State& state) {
  char dir[] = "/tmp/notify-bench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) {
    state.SkipWithError("cannot create a directory");
    return;
  }
  auto& center = DarwinNotifyCenter::shared();
  const std::string path = std::string(dir) + "/notify";
  if (!center.start(path)) {
    state.SkipWithError("cannot start the notify center");
    return;
  }
  std::mutex mutex;
  std::condition_variable arrived;
  std::size_t seen = 0;
  auto token = center.addObserver("com.corvane.nimbra.bench", [&] {
    std::lock_guard lock(mutex);
    ++seen;
    arrived.notify_one();
  });
  std::size_t sent = 0;
  for (auto _ : state) {
    if (!DarwinNotifyCenter::postTo(path, "com.corvane.nimbra.bench")) {
      state.SkipWithError("postTo failed");
      break;
    }
    ++sent;
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return seen == sent; });
  }
  center.removeObserver(token);
  center.stop();
  ::rmdir(dir);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DarwinNotifyRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
