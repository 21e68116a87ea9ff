// Throughput of the whole launch-event intake over the service socket: several
// clients pipeline realistic events (bundles that exist on disk, the game
// filter on with a warm cache) into service 1 of an in-process daemon, and the
// run ends when every event is recorded. Printed beside two baselines from the
// same run: the raw Unix-socket echo of the same frames, and the store's own
// write rate (getRID + updateEntry on prepared entries). Afterwards the stored
// launch counts and last launch dates are checked: nothing lost or reordered
// within a user.
//
// Also the service with validation only (decode and validate, no recording),
// and, with --flood, resident memory against the in-memory database's size
// after a flood of distinct identities.
//
//   bench_intake [--events N] [--clients N] [--flood N[,N...]]

#include <malloc.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/support/RawEchoServer.h"
#include "nimbrad/DateFormatter.h"
#include "nimbrad/Nimbrad.h"
#include "nimbrad/PathParsers.h"
#include "nimbrad/ProcessDataEntry.h"
#include "nimbrad/VelmoraReason.h"
#include "platform/Directories.h"
#include "platform/LudexLibrary.h"
#include "platform/PropertyList.h"
#include "platform/ServiceClient.h"

using namespace nimbra;
using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr int kApps = 40;
constexpr int kWindow = 64;
constexpr double kBaseTime = 1764583200;  // 2025-12-01 10:00:00 UTC

std::string root;

std::string appPath(int i) { return root + "/Applications/App" + std::to_string(i) + ".app"; }
std::string bundleID(int i) { return "com.example.app" + std::to_string(i); }

void write(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Application bundles with an information dictionary and a thin x86_64 executable.
void makeBundles() {
  std::string machO(32, '\0');
  const unsigned char header[] = {0xcf, 0xfa, 0xed, 0xfe, 0x07, 0x00, 0x00, 0x01};
  std::memcpy(machO.data(), header, sizeof header);
  for (int i = 0; i < kApps; ++i) {
    std::string name = "App" + std::to_string(i);
    Dictionary info{{"CFBundleIdentifier", Value(bundleID(i))},
                    {"CFBundleName", Value(name)},
                    {"CFBundleShortVersionString", Value("1.0")},
                    {"CFBundleExecutable", Value(name)}};
    std::filesystem::create_directories(appPath(i) + "/Contents/MacOS");
    (void)platform::PropertyList::writeFileAtomically(appPath(i) + "/Contents/Info.plist", Value(info));
    write(appPath(i) + "/Contents/MacOS/" + name, machO);
    write(appPath(i) + "/Contents/Resources/en.lproj/InfoPlist.strings", "\"CFBundleName\" = \"" + name + "\";\n");
  }
}

VelmoraEventData event(int app, uid_t uid, double time, const std::string& version = "1.0") {
  VelmoraEventData e;
  std::string name = "App" + std::to_string(app);
  e.processName = e.targetFilename = e.responsibleName = name;
  e.processPath = e.targetPath = e.responsiblePath = appPath(app) + "/Contents/MacOS/" + name;
  e.processBundleID = e.targetBundleID = e.responsibleBundleID = bundleID(app);
  e.processBundleVersion = e.targetBundleVersion = e.responsibleBundleVersion = version;
  e.processTeamID = e.targetTeamID = e.responsibleTeamID = "EXAMPLE123";
  e.processDeveloperName = e.targetDeveloperName = e.responsibleDeveloperName = "Example Developer";
  e.uid = uid;
  e.eventTimestamp = DateFormatter::format(platform::Date{time});
  return e;
}

// Sends `frames` over one connection with a window of kWindow outstanding requests.
bool pump(const std::string& socket, const std::vector<std::string>& payloads) {
  auto connected = platform::ServiceClient::connect(socket, 5s);
  if (!connected) return false;
  auto& client = *connected.value();
  std::size_t sent = 0, received = 0;
  while (received < payloads.size()) {
    while (sent < payloads.size() && sent - received < kWindow) {
      if (!client.sendPayload(payloads[sent++], 10s)) return false;
    }
    if (!client.receive(30s)) return false;
    ++received;
  }
  return true;
}

// Runs one pump per client in parallel; returns events per second.
double run(const std::string& socket, const std::vector<std::vector<std::string>>& perClient,
           const std::function<void()>& afterReplies = {}) {
  std::atomic<bool> ok{true};
  std::size_t total = 0;
  for (const auto& c : perClient) total += c.size();
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (const auto& payloads : perClient) {
    threads.emplace_back([&, &payloads = payloads] {
      if (!pump(socket, payloads)) ok = false;
    });
  }
  for (auto& t : threads) t.join();
  if (afterReplies) afterReplies();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ok) std::cerr << "a client failed on " << socket << "\n";
  return static_cast<double>(total) / seconds;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE) / 1024;
}

std::string binary(const VelmoraEventData& e) { return platform::PropertyList::encodeBinary(e.toMessage()); }

}  // namespace

int main(int argc, char** argv) {
  int events = 20000, clients = 4;
  std::vector<long> flood;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--events") events = std::atoi(argv[i + 1]);
    if (flag == "--clients") clients = std::atoi(argv[i + 1]);
    if (flag == "--flood") {
      std::istringstream list(argv[i + 1]);
      for (std::string part; std::getline(list, part, ',');) flood.push_back(std::stol(part));
    }
  }
  platform::logging::setThreshold(platform::LogLevel::Error);

  std::string pattern = (std::filesystem::temp_directory_path() / "nimbra-intake-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  // The events' users read the bundles through "other", as the daemon reads them.
  std::filesystem::permissions(pattern, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  root = pattern;
  for (const char* dir : {"config/entitlements.d", "state", "runtime", "cache"}) {
    std::filesystem::create_directories(root + "/" + dir);
  }
  setenv("CONFIGURATION_DIRECTORY", (root + "/config").c_str(), 1);
  setenv("STATE_DIRECTORY", (root + "/state").c_str(), 1);
  setenv("RUNTIME_DIRECTORY", (root + "/runtime").c_str(), 1);
  setenv("CACHE_DIRECTORY", (root + "/cache").c_str(), 1);
  Dictionary entry{{"Executable", Value(platform::directories::executablePath())},
                   {"Entitlements", Value(Dictionary{{"com.corvane.private.nimbra.velmora", Value(true)},
                                                     {"com.corvane.private.nimbra.bench", Value(true)}})}};
  (void)platform::PropertyList::writeFileAtomically(root + "/config/entitlements.d/bench.plist", Value(entry));
  makeBundles();
  for (int c = 0; c < clients; ++c) {
    for (int i = 0; i < kApps; ++i) (void)platform::ludex::setApp(root + "/state/ludex", 501 + c, bundleID(i), false);
  }

  auto environment = Nimbrad::defaultEnvironment();
  environment.databaseDirectory = root + "/db";
  auto daemon = Nimbrad::create(environment);
  daemon->processListDataStore()->loadDatabase();
  daemon->registerVelmoraEventListener();
  std::string velmora = platform::directories::runtime() + "/com.corvane.nimbra.velmora";

  // Service 1 with validation only.
  XPCServiceDescription validate;
  validate.machServiceName = "com.corvane.nimbra.bench.validate";
  validate.entitlements = {"com.corvane.private.nimbra.bench"};
  validate.transactionLabel = "com.corvane.nimbrad.bench";
  auto validator = XPCService::listen(
      validate, platform::DispatchQueue::makeSerial("com.corvane.nimbra.bench.validate"),
      [](const Value& message, const platform::PeerIdentity&) {
        return Value(Dictionary{{"result", Value(VelmoraEventData::fromMessage(message) ? 0 : 1)}});
      },
      std::make_shared<EntitlementChecker>(std::make_shared<platform::EntitlementRegistry>()));
  std::string validateSocket = platform::directories::runtime() + "/com.corvane.nimbra.bench.validate";
  nimbra::bench::RawEchoServer echo(root + "/raw-echo");

  // Warm the games cache and the identities: one event per user and app.
  std::vector<std::vector<std::string>> warm(static_cast<std::size_t>(clients));
  for (int c = 0; c < clients; ++c) {
    for (int i = 0; i < kApps; ++i) warm[c].push_back(binary(event(i, 501 + c, kBaseTime)));
  }
  run(velmora, warm, [&] { daemon->waitForPendingWrites(); });

  // The measured load: each client is one user launching the apps in turn,
  // one second apart.
  std::vector<std::vector<std::string>> load(static_cast<std::size_t>(clients));
  std::map<std::pair<uid_t, int>, std::pair<int, double>> expected;  // launches and last date
  for (int c = 0; c < clients; ++c) {
    for (int i = 0; i < kApps; ++i) expected[{501 + c, i}] = {1, kBaseTime};
    for (int n = 0; n < events / clients; ++n) {
      int app = n % kApps;
      double time = kBaseTime + 1 + n;
      load[c].push_back(binary(event(app, 501 + c, time)));
      auto& [count, last] = expected[{501 + c, app}];
      ++count;
      last = time;
    }
  }

  double echoRate = run(root + "/raw-echo", load);
  double validateRate = run(validateSocket, load);
  double cpuBefore = cpuSeconds();
  auto wallBefore = std::chrono::steady_clock::now();
  double intakeRate = run(velmora, load, [&] { daemon->waitForPendingWrites(); });
  double intakeCpu = cpuSeconds() - cpuBefore;
  double intakeWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();

  // Store baseline: the same writes on prepared entries, straight into a store.
  ProcessListDataStore raw(root + "/db-raw");
  raw.loadDatabase();
  std::vector<ProcessDataEntry> entries;
  for (int n = 0; n < events; ++n) {
    auto e = event(n % kApps, 501 + n % clients, kBaseTime + n);
    entries.push_back(ProcessDataEntry::fromEvent(e, e.eventTimestamp, VelmoraReason(), PathParsers::bundleRoot(e.processPath)));
  }
  auto storeStart = std::chrono::steady_clock::now();
  for (const auto& entry : entries) {
    std::int64_t rid = raw.getRID(entry);
    (void)raw.updateEntry(entry, rid < 0 ? 0 : rid, rid < 0);
  }
  double storeRate = events / std::chrono::duration<double>(std::chrono::steady_clock::now() - storeStart).count();

  // Where the time of one event goes, called directly on this thread.
  {
    auto sample = event(3, 501, kBaseTime + 1e6);
    auto time = [&](const char* what, int n, const std::function<void()>& f) {
      auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < n; ++i) f();
      double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / n;
      std::cout << "  per event: " << what << " " << us << " us\n";
    };
    VelmoraEntity entity{sample.processName, sample.processPath, sample.processBundleID, sample.processTeamID,
                         sample.processDeveloperName, sample.processBundleVersion};
    const platform::UserFileReader files(platform::UserIdentity::ofUser(sample.uid));
    std::cout << "stages\n";
    time("UserIdentity::ofUser", 2000, [&] { (void)platform::UserIdentity::ofUser(sample.uid); });
    time("getDisplayNameForPath", 2000, [&] { (void)PathParsers::getDisplayNameForPath(sample.processPath, files); });
    time("reasonForLaunch", 2000, [&] { (void)reasonForLaunch(entity, entity, entity, files); });
    time("LaunchBundle::containing", 2000, [&] { (void)LaunchBundle::containing(sample.processPath, files); });
    time("productKey", 2000, [&] {
      (void)ProductMappingProviding::productKey(daemon->productMappingProvider().get(), sample,
                                                LaunchBundle::containing(sample.processPath, files), files);
    });
    time("ProcessDataEntry::fromEvent", 2000, [&] {
      (void)ProcessDataEntry::fromEvent(sample, sample.eventTimestamp, VelmoraReason(), "/x");
    });
    time("processEvent", 2000, [&] { daemon->processEvent(sample); });
    time("handleVelmoraEvent", 2000, [&] { daemon->handleVelmoraEvent(sample.toMessage()); });
    daemon->waitForPendingWrites();
  }

  load.clear();
  load.shrink_to_fit();
  warm.clear();
  entries.clear();
  entries.shrink_to_fit();

  // Nothing lost, nothing reordered within a user.
  std::size_t mismatches = 0;
  auto store = daemon->processListDataStore();
  for (const auto& [key, value] : expected) {
    std::string where = " FROM velmora_process_list_table WHERE process_uid = " + std::to_string(key.first) +
                        " AND process_bundle_id = '" + bundleID(key.second) + "'";
    if (key.second == 3 && key.first == 501) continue;  // also used by the stage timings
    auto count = store->executeFetchSingleIntQuery(nullptr, "SELECT number_of_times_launched" + where);
    auto last = store->executeFetchSingleIntQuery(nullptr, "SELECT previously_launched_date" + where);
    if (count != value.first || last != static_cast<std::int64_t>(value.second)) ++mismatches;
  }

  double slower = std::min(echoRate, storeRate);
  std::cout << "events per second, " << clients << " clients, window " << kWindow << ", " << events << " events\n"
            << "  raw echo of the same frames     " << static_cast<long>(echoRate) << "\n"
            << "  store writes (getRID+update)    " << static_cast<long>(storeRate) << "\n"
            << "  service 1, validation only      " << static_cast<long>(validateRate) << "  (ratio to echo "
            << validateRate / echoRate << ")\n"
            << "  service 1, whole intake         " << static_cast<long>(intakeRate) << "  (ratio to slower baseline "
            << intakeRate / slower << ")\n"
            << "  whole intake CPU: " << intakeCpu * 1e6 / events << " us per event (clients included), "
            << intakeCpu / intakeWall << " cores busy\n"
            << "  identities checked: " << expected.size() << ", mismatched counts or dates: " << mismatches << "\n";

  // Flood of distinct identities: each event a new bundle version. The
  // clients build their events as they go, so that the resident size is the
  // daemon's and not a backlog of prepared messages.
  long sentSoFar = 0;
  for (long target : flood) {
    std::vector<std::thread> senders;
    for (int c = 0; c < clients; ++c) {
      senders.emplace_back([&, c, from = sentSoFar] {
        auto connected = platform::ServiceClient::connect(velmora, 5s);
        if (!connected) return;
        auto& client = *connected.value();
        long sent = 0, received = 0, total = 0;
        for (long n = from + c; n < target; n += clients) ++total;
        long n = from + c;
        while (received < total) {
          while (sent < total && sent - received < kWindow) {
            auto e = event(static_cast<int>(n % kApps), 501 + static_cast<uid_t>(c), kBaseTime + static_cast<double>(n),
                           "2." + std::to_string(n));
            if (!client.sendPayload(binary(e), 10s)) return;
            n += clients;
            ++sent;
          }
          if (!client.receive(30s)) return;
          ++received;
        }
      });
    }
    for (auto& t : senders) t.join();
    daemon->waitForPendingWrites();
    sentSoFar = target;
    malloc_trim(0);  // count live memory, not freed blocks the allocator keeps
    long pages = store->executeFetchSingleIntQuery(nullptr, "PRAGMA page_count");
    long pageSize = store->executeFetchSingleIntQuery(nullptr, "PRAGMA page_size");
    long rss = residentKiB();
    long sqliteHeap = static_cast<long>(sqlite3_memory_used() / 1024);
    struct mallinfo2 heap = mallinfo2();
    long inUse = static_cast<long>((heap.uordblks + heap.hblkhd) / 1024);
    std::cout << "after " << target << " distinct events: resident " << rss / 1024 << " MiB, database "
              << pages * pageSize / 1024 / 1024 << " MiB (SQLite heap " << sqliteHeap / 1024
              << " MiB), resident beyond the SQLite heap " << (rss - sqliteHeap) / 1024
              << " MiB, heap in use beyond SQLite " << (inUse - sqliteHeap) / 1024 << " MiB" << std::endl;
  }
  std::filesystem::remove_all(root);
  return mismatches == 0 ? 0 : 1;
}
