// Binary property-list codec against libplist on a typical launch event
// message (a dictionary of 20 short strings), both ways, including the
// conversion between libplist's tree and Value that using libplist needs.

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/PropertyList.h"

using namespace platform;

namespace {

Value launchEvent() {
  const char* keys[] = {"ProcessName", "ProcessPath", "ProcessBundleIdentifier", "ProcessBundleVersion",
                        "ProcessTeamIdentifier", "ProcessDeveloperName", "UID", "TargetFilename", "TargetPath",
                        "TargetBundleIdentifier", "TargetBundleVersion", "TargetTeamIdentifier",
                        "TargetDeveloperName", "ResponsibleName", "ResponsiblePath", "ResponsibleBundleIdentifier",
                        "ResponsibleBundleVersion", "ResponsibleTeamIdentifier", "ResponsibleDeveloperName",
                        "EventTimestamp"};
  const char* values[] = {"Example Helper", "/Applications/Example.app/Contents/MacOS/Example Helper",
                          "com.example.helper", "4.2.1", "AB12CD34EF", "Example Corp", "501", "Example Helper",
                          "/Applications/Example.app/Contents/MacOS/Example Helper", "com.example.helper", "4.2.1",
                          "AB12CD34EF", "Example Corp", "Example", "/Applications/Example.app/Contents/MacOS/Example",
                          "com.example.app", "4.2.1", "AB12CD34EF", "<unknown>", "2024-05-01 10:11:12"};
  Dictionary event;
  for (int i = 0; i < 20; ++i) event.emplace(keys[i], values[i]);
  return event;
}

Value fromPlist(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return b != 0;
    }
    case PLIST_UINT: {
      std::uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return static_cast<std::int64_t>(v);
    }
    case PLIST_REAL: {
      double v = 0;
      plist_get_real_val(node, &v);
      return v;
    }
    case PLIST_STRING: {
      std::uint64_t n = 0;
      const char* s = plist_get_string_ptr(node, &n);
      return std::string(s, n);
    }
    case PLIST_ARRAY: {
      Array out;
      for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) out.push_back(fromPlist(plist_array_get_item(node, i)));
      return out;
    }
    case PLIST_DICT: {
      Dictionary out;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &key, &item);
        if (item == nullptr) break;
        out.emplace(key, fromPlist(item));
        free(key);
      }
      free(iter);
      return out;
    }
    default: return {};
  }
}

plist_t toPlist(const Value& value) {
  if (const auto* s = value.asString()) return plist_new_string(s->c_str());
  if (const auto* i = value.asInteger()) return plist_new_uint(static_cast<std::uint64_t>(*i));
  if (const auto* b = value.asBool()) return plist_new_bool(*b);
  if (const auto* r = value.asReal()) return plist_new_real(*r);
  if (const auto* a = value.asArray()) {
    plist_t out = plist_new_array();
    for (const auto& e : *a) plist_array_append_item(out, toPlist(e));
    return out;
  }
  if (const auto* d = value.asDictionary()) {
    plist_t out = plist_new_dict();
    for (const auto& [k, e] : *d) plist_dict_set_item(out, k.c_str(), toPlist(e));
    return out;
  }
  return plist_new_string("");
}

const Value kEvent = launchEvent();
const std::string kBinary = PropertyList::encodeBinary(kEvent);

void DecodeOurs(benchmark::State& state) {
  for (auto _ : state) {
    auto value = PropertyList::decode(kBinary);
    benchmark::DoNotOptimize(value);
  }
}

void DecodeLibplist(benchmark::State& state) {
  for (auto _ : state) {
    plist_t root = nullptr;
    plist_from_bin(kBinary.data(), static_cast<std::uint32_t>(kBinary.size()), &root);
    Value value = fromPlist(root);
    plist_free(root);
    benchmark::DoNotOptimize(value);
  }
}

void EncodeOurs(benchmark::State& state) {
  for (auto _ : state) {
    std::string bytes = PropertyList::encodeBinary(kEvent);
    benchmark::DoNotOptimize(bytes);
  }
}

void EncodeLibplist(benchmark::State& state) {
  for (auto _ : state) {
    plist_t root = toPlist(kEvent);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    std::string bytes(bin, length);
    plist_to_bin_free(bin);
    plist_free(root);
    benchmark::DoNotOptimize(bytes);
  }
}

BENCHMARK(DecodeOurs);
BENCHMARK(DecodeLibplist);
BENCHMARK(EncodeOurs);
BENCHMARK(EncodeLibplist);

// Keeps the console output and remembers CPU ns per iteration for the
// ratios (CPU time: the machine may be shared with other work).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) nanoseconds[run.benchmark_name()] = run.GetAdjustedCPUTime();
  }
  std::map<std::string, double> nanoseconds;
};

}  // namespace

int main(int argc, char** argv) {
  // Both codecs must agree on the message before their speed means anything.
  plist_t check = nullptr;
  plist_from_bin(kBinary.data(), static_cast<std::uint32_t>(kBinary.size()), &check);
  if (check == nullptr || fromPlist(check) != kEvent || *PropertyList::decode(kBinary) != kEvent) {
    std::fprintf(stderr, "codecs disagree on the benchmark message\n");
    return 1;
  }
  plist_free(check);

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto& ns = reporter.nanoseconds;
  std::printf("\nmessage: %zu bytes\n", kBinary.size());
  if (ns.count("DecodeOurs") && ns.count("DecodeLibplist")) {
    std::printf("decode: ours %.0f ns/op, libplist %.0f ns/op, libplist/ours = %.2f\n", ns.at("DecodeOurs"),
                ns.at("DecodeLibplist"), ns.at("DecodeLibplist") / ns.at("DecodeOurs"));
  }
  if (ns.count("EncodeOurs") && ns.count("EncodeLibplist")) {
    std::printf("encode: ours %.0f ns/op, libplist %.0f ns/op, libplist/ours = %.2f\n", ns.at("EncodeOurs"),
                ns.at("EncodeLibplist"), ns.at("EncodeLibplist") / ns.at("EncodeOurs"));
  }
  return 0;
}
