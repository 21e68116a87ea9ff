// Cost of inspecting one launch: the main and executable bundle tuples, the
// display name and the translation reason of a process inside an
// application bundle, on real files in a temporary folder, read with the
// rights of an unprivileged user (uid 501) as the daemon reads a user's
// launch; and the look-up of that user's groups, done twice per event.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "nimbrad/PathParsers.h"
#include "nimbrad/VelmoraReason.h"
#include "platform/UserFileReader.h"

namespace {

using nimbra::PathParsers;
using nimbra::PathParsersConfiguration;
using nimbra::VelmoraEntity;

void put32(std::string& out, std::uint32_t v, bool big) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (big ? 24 - 8 * i : 8 * i)) & 0xff));
}

std::string thin(std::uint32_t cputype) {
  std::string out;
  for (std::uint32_t word : {0xfeedfacfu, cputype, 3u, 2u, 0u, 0u, 0u, 0u}) put32(out, word, false);
  out.append(4064, '\0');
  return out;
}

std::string universal() {
  std::string out;
  put32(out, 0xcafebabe, true);
  put32(out, 2, true);
  const std::uint32_t types[] = {0x1000007, 0x100000c};
  for (int i = 0; i < 2; ++i) {
    for (std::uint32_t word : {types[i], 3u, 4096u * (i + 1), 4096u, 12u}) put32(out, word, true);
  }
  out.resize(4096, '\0');
  out += thin(types[0]);
  out += thin(types[1]);
  return out;
}

class Fixture {
 public:
  Fixture() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/nimbra-bench-XXXXXX";
    root_ = ::mkdtemp(pattern.data());
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                            std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                            std::filesystem::perms::others_exec);
    write("Resources/CuratedDisplayNames.plist",
          plist("<key>/usr/libexec/indexing/importer-host</key><string>Indexing Importer Host</string>"
                "<key>/opt/other/tool</key><string>Other Tool</string>"));
    write("Applications/Foo.app/Contents/Info.plist",
          plist("<key>CFBundleExecutable</key><string>Foo</string>"
                "<key>CFBundleIdentifier</key><string>com.example.foo</string>"
                "<key>CFBundleName</key><string>Foo</string>"
                "<key>CFBundleShortVersionString</key><string>2.1</string>"
                "<key>LSMinimumSystemVersion</key><string>11.0</string>"));
    write("Applications/Foo.app/Contents/Resources/en.lproj/InfoPlist.strings",
          "/* Localized names */\n\"CFBundleName\" = \"Foo\";\n\"CFBundleDisplayName\" = \"Foo Studio\";\n");
    write("Applications/Foo.app/Contents/MacOS/Foo", universal());
    write("Applications/Foo.app/Contents/PlugIns/Bar.plugin/Contents/Info.plist",
          plist("<key>CFBundleExecutable</key><string>Bar</string>"));
    write("Applications/Foo.app/Contents/PlugIns/Bar.plugin/Contents/MacOS/Bar", thin(0x1000007));

    config.resourcesDirectory = root_ + "/Resources";
    config.applicationsDirectory = root_ + "/Applications/";
    process = {"Foo", root_ + "/Applications/Foo.app/Contents/MacOS/Foo", "com.example.foo", "TEAM", "Dev", "2.1"};
    target = {"Bar", root_ + "/Applications/Foo.app/Contents/PlugIns/Bar.plugin/Contents/MacOS/Bar", "", "TEAM",
              "Dev", ""};
    responsible = process;
  }
  ~Fixture() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  PathParsersConfiguration config;
  VelmoraEntity process;
  VelmoraEntity target;
  VelmoraEntity responsible;

 private:
  static std::string plist(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n";
  }
  void write(const std::string& relative, const std::string& content) {
    std::filesystem::path full = root_ + "/" + relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary) << content;
  }
  std::string root_;
};

Fixture& fixture() {
  static Fixture instance;
  return instance;
}

// A user who is not the owner of the files: they read through "other". A
// fresh reader per launch, as the daemon makes one per event (a reader
// remembers the directories it has checked).
platform::UserFileReader userFiles() { return platform::UserFileReader(platform::UserIdentity{501, {20, 501}}); }

void BM_PerLaunchInspection(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    const auto files = userFiles();
    auto main = PathParsers::mainBundleTuple(f.process.path);
    auto exec = PathParsers::execBundleTuple(f.target.path, main ? std::optional<std::string_view>(main->bundleName)
                                                                 : std::nullopt);
    auto name = PathParsers::getDisplayNameForPath(f.process.path, files, f.config);
    auto reason = nimbra::reasonForLaunch(f.process, f.responsible, f.target, files);
    benchmark::DoNotOptimize(main);
    benchmark::DoNotOptimize(exec);
    benchmark::DoNotOptimize(name);
    benchmark::DoNotOptimize(reason);
  }
  state.SetLabel("one launch: main + exec tuples, display name, reason");
}
BENCHMARK(BM_PerLaunchInspection)->Unit(benchmark::kMicrosecond);

void BM_BundleTuples(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    auto main = PathParsers::mainBundleTuple(f.process.path);
    benchmark::DoNotOptimize(PathParsers::execBundleTuple(f.target.path, main->bundleName));
  }
}
BENCHMARK(BM_BundleTuples)->Unit(benchmark::kMicrosecond);

void BM_DisplayName(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) benchmark::DoNotOptimize(PathParsers::getDisplayNameForPath(f.process.path, userFiles(), f.config));
}
BENCHMARK(BM_DisplayName)->Unit(benchmark::kMicrosecond);

void BM_CuratedNameLookup(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) benchmark::DoNotOptimize(PathParsers::getCuratedDisplayNameForPath(f.process.path, f.config));
}
BENCHMARK(BM_CuratedNameLookup)->Unit(benchmark::kMicrosecond);

void BM_ReasonForLaunch(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) benchmark::DoNotOptimize(nimbra::reasonForLaunch(f.process, f.responsible, f.target, userFiles()));
}
BENCHMARK(BM_ReasonForLaunch)->Unit(benchmark::kMicrosecond);

void BM_UserIdentityLookup(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(platform::UserIdentity::ofUser(0));
  state.SetLabel("user database: primary group and group list");
}
BENCHMARK(BM_UserIdentityLookup)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
