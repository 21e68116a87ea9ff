// What a hostile local user can do to session admission, measured on the
// launch event service of an in-process frame (the real transport, peer
// inspector, entitlement registry and checker), with figures for a quiet
// service beside the same figures while one user floods it:
//
//   - time to reject: connect to reading the rejection, for a second
//     unprivileged user that is not the one flooding;
//   - an entitled client's calls (connect, one event, reply): served within
//     a second, and their latency;
//   - the flood's connections, and the log lines written meanwhile.
//
// Needs root (the users are played by forked children that drop to uid 1001
// and 1002).
//
//   bench_admission [--seconds N] [--flooders N]

#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

#include "nimbrad/EntitlementChecker.h"
#include "nimbrad/XPCService.h"
#include "platform/FileDescriptor.h"
#include "platform/Log.h"
#include "platform/PeerInspector.h"
#include "platform/PropertyList.h"
#include "platform/ServiceClient.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kService = "com.corvane.nimbra.velmora";
constexpr uid_t kFlooder = 1001;
constexpr uid_t kProber = 1002;

// Counts lines instead of printing them.
class CountingSink final : public platform::LogSink {
 public:
  void write(const platform::LogRecord&) override { lines.fetch_add(1, std::memory_order_relaxed); }
  std::atomic<long> lines{0};
};

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
  return address;
}

bool becomeUser(uid_t uid) { return ::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 && ::setuid(uid) == 0; }

// Forks a child running `body` as `uid`; body writes its results to `out`.
pid_t forkAs(uid_t uid, int out, const std::function<void(int)>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!becomeUser(uid)) ::_exit(125);
    body(out);
    ::_exit(0);
  }
  return pid;
}

// Connect, read the rejection, close; the times in microseconds, until `end`.
void probeRejections(const sockaddr_un& address, Clock::time_point end, int out) {
  while (Clock::now() < end) {
    auto begin = Clock::now();
    platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      char buffer[256];
      if (::read(fd.get(), buffer, sizeof buffer) > 0) {
        double micros = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
        (void)!::write(out, &micros, sizeof micros);
      }
    }
    fd.reset();
    ::usleep(2000);
  }
}

void flood(const sockaddr_un& address, Clock::time_point end, int out) {
  long connections = 0;
  while (Clock::now() < end) {
    platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) ++connections;
  }
  (void)!::write(out, &connections, sizeof connections);
}

template <typename T>
std::vector<T> readAll(int fd) {
  std::vector<T> values;
  T value;
  while (::read(fd, &value, sizeof value) == sizeof value) values.push_back(value);
  return values;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

struct Figures {
  long floodConnections = 0;
  int calls = 0;
  int served = 0;
  std::vector<double> callMillis;
  std::vector<double> rejectMicros;
  long logLines = 0;
};

Figures run(const std::string& socketPath, std::chrono::seconds duration, int flooders, CountingSink& sink) {
  Figures figures;
  auto address = addressOf(socketPath);
  auto end = Clock::now() + duration;
  long linesBefore = sink.lines.load();
  int floodPipe[2], probePipe[2];
  if (::pipe(floodPipe) != 0 || ::pipe(probePipe) != 0) std::exit(1);
  platform::FileDescriptor floodRead(floodPipe[0]), floodWrite(floodPipe[1]);
  platform::FileDescriptor probeRead(probePipe[0]), probeWrite(probePipe[1]);
  std::vector<pid_t> children;
  for (int i = 0; i < flooders; ++i) {
    children.push_back(forkAs(kFlooder, floodWrite.get(), [&](int out) { flood(address, end, out); }));
  }
  children.push_back(forkAs(kProber, probeWrite.get(), [&](int out) { probeRejections(address, end, out); }));
  floodWrite.reset();
  probeWrite.reset();

  Value event(Dictionary{{"ProcessName", "Example"}});
  while (Clock::now() < end) {
    ++figures.calls;
    auto begin = Clock::now();
    auto client = platform::ServiceClient::connect(socketPath, 1s);
    bool ok = client && static_cast<bool>((*client)->call(event, 1s));
    auto took = Clock::now() - begin;
    figures.callMillis.push_back(std::chrono::duration<double, std::milli>(took).count());
    if (ok && took <= 1s) ++figures.served;
    std::this_thread::sleep_for(5ms);
  }
  for (pid_t child : children) ::waitpid(child, nullptr, 0);
  for (long n : readAll<long>(floodRead.get())) figures.floodConnections += n;
  figures.rejectMicros = readAll<double>(probeRead.get());
  floodRead.reset();
  probeRead.reset();
  // The window's summary lines belong to the run.
  std::this_thread::sleep_for(nimbra::XPCService::kRejectionLogWindow + 1s);
  figures.logLines = sink.lines.load() - linesBefore;
  return figures;
}

void print(const char* label, const Figures& f) {
  std::cout << label << ": flood " << f.floodConnections << " connections; entitled calls served within 1 s "
            << f.served << " of " << f.calls << " (" << (f.calls ? 100.0 * f.served / f.calls : 0.0)
            << " %), median " << percentile(f.callMillis, 0.5) << " ms, p99 " << percentile(f.callMillis, 0.99)
            << " ms; time to reject another user: median " << percentile(f.rejectMicros, 0.5) << " us, p99 "
            << percentile(f.rejectMicros, 0.99) << " us (" << f.rejectMicros.size() << " probes); log lines "
            << f.logLines << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 4;
  int flooders = 4;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--flooders") == 0) flooders = std::atoi(argv[i + 1]);
  }
  if (::geteuid() != 0) {
    std::cerr << "bench_admission plays other users and needs root\n";
    return 1;
  }
  // Before any thread exists, as in the daemon.
  auto inspector = platform::PeerInspector::start();
  if (!inspector) {
    std::cerr << inspector.error() << "\n";
    return 1;
  }
  platform::PeerInspector::install(std::move(inspector).value());

  std::string pattern = (std::filesystem::temp_directory_path() / "nimbra-admission-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const std::string directory = pattern;
  ::chmod(directory.c_str(), 0755);
  std::filesystem::create_directories(directory + "/entitlements.d");
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  // The bench binary is entitled for root only: its forked users are not.
  auto written = platform::PropertyList::writeFileAtomically(
      directory + "/entitlements.d/bench.plist",
      Value(Dictionary{{"Executable", std::string(self)},
                       {"Entitlements", Dictionary{{"com.corvane.private.nimbra.velmora", true}}},
                       {"Users", platform::Array{Value(0)}}}));
  if (!written) return 1;
  ::setenv("RUNTIME_DIRECTORY", directory.c_str(), 1);

  auto sink = std::make_shared<CountingSink>();
  platform::logging::setSink(sink);
  auto checker = std::make_shared<nimbra::EntitlementChecker>(
      std::make_shared<platform::EntitlementRegistry>(directory + "/entitlements.d"));
  nimbra::XPCServiceDescription service;
  service.machServiceName = kService;
  service.entitlements = {"com.corvane.private.nimbra.velmora"};
  service.transactionLabel = "com.corvane.nimbrad.handleVelmoraEvent";
  service.rejectionLogLine = "<nimbrad> XPC VelmoraEvent: sender not entitled";
  service.rejectReason = "Not entitled to send Velmora events";
  auto listener = nimbra::XPCService::listen(
      std::move(service), platform::DispatchQueue::makeSerial("com.corvane.nimbra.velmoraEvent"),
      [](const Value&, const platform::PeerIdentity&) { return Value(Dictionary{{"result", Value(0)}}); }, checker);
  if (!listener) {
    std::cerr << listener.error() << "\n";
    return 1;
  }
  const std::string socketPath = directory + "/" + kService;

  auto quiet = run(socketPath, std::chrono::seconds(seconds), 0, *sink);
  auto flooded = run(socketPath, std::chrono::seconds(seconds), flooders, *sink);
  print("quiet  ", quiet);
  print("flooded", flooded);
  std::cout << "ratios flooded/quiet: entitled call median " << percentile(flooded.callMillis, 0.5) /
                                                                     std::max(percentile(quiet.callMillis, 0.5), 1e-9)
            << ", time to reject median "
            << percentile(flooded.rejectMicros, 0.5) / std::max(percentile(quiet.rejectMicros, 0.5), 1e-9) << "\n";
  listener->reset();
  std::filesystem::remove_all(directory);
  return 0;
}
