#include "tests/support/DaemonHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "platform/Directories.h"
#include "platform/PropertyList.h"

namespace nimbra::test {

using platform::Dictionary;
using platform::Value;

namespace {

std::vector<char*> toArgv(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::optional<int> decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return std::nullopt;
}

std::string stripPriority(const std::string& line) {
  if (line.size() >= 3 && line[0] == '<' && line[2] == '>' && line[1] >= '0' && line[1] <= '7') {
    return line.substr(3);
  }
  return line;
}

}  // namespace

Dictionary allEntitlements() {
  Dictionary out;
  for (const char* name :
       {"com.corvane.private.nimbra.velmora", "com.corvane.private.nimbra.database",
        "com.corvane.private.nimbra.processreporter.access", "com.corvane.nimbra.processreporter.access",
        "com.corvane.private.nimbra.daemon.unsupported-apps", "com.corvane.private.nimbra.deprecationwarning",
        "com.corvane.private.nimbra.unsupportedapplicationlist"}) {
    out.emplace(name, Value(true));
  }
  return out;
}

DaemonHarness::DaemonHarness() {
  for (const char* dir : {"config/entitlements.d", "state", "runtime", "cache"}) root_.makeDirectory(dir);
  grantDriver(allEntitlements());
  grant("nimbractl", NIMBRACTL_BINARY, allEntitlements());
  // Debug lines are what most tests wait for.
  writeDefaults("com.corvane.nimbrad", Dictionary{{"logLevel", Value("debug")}});
}

DaemonHarness::~DaemonHarness() {
  kill();
  if (logReader_.joinable()) logReader_.join();
}

void DaemonHarness::writeDefaults(const std::string& domain, const Dictionary& values) const {
  auto written = platform::PropertyList::writeFileAtomically(configurationDirectory() + "/" + domain + ".plist",
                                                            Value(values));
  if (!written) throw std::runtime_error("cannot write defaults: " + written.error().message);
}

void DaemonHarness::grant(const std::string& entry, const std::string& executable, const Dictionary& entitlements,
                          std::optional<std::vector<int>> users) const {
  Dictionary dict{{"Executable", Value(executable)}, {"Entitlements", Value(entitlements)}};
  if (users) {
    platform::Array list;
    for (int uid : *users) list.emplace_back(uid);
    dict.emplace("Users", Value(std::move(list)));
  }
  auto written = platform::PropertyList::writeFileAtomically(
      configurationDirectory() + "/entitlements.d/" + entry + ".plist", Value(std::move(dict)));
  if (!written) throw std::runtime_error("cannot write entitlement entry: " + written.error().message);
}

void DaemonHarness::revoke(const std::string& entry) const {
  std::filesystem::remove(configurationDirectory() + "/entitlements.d/" + entry + ".plist");
}

void DaemonHarness::grantDriver(const Dictionary& entitlements) const {
  grant("driver", platform::directories::executablePath(), entitlements);
}

std::vector<std::string> DaemonHarness::environment() const {
  std::vector<std::string> env = {
      "CONFIGURATION_DIRECTORY=" + configurationDirectory(),
      "STATE_DIRECTORY=" + stateDirectory(),
      "RUNTIME_DIRECTORY=" + runtimeDirectory(),
      "CACHE_DIRECTORY=" + cacheDirectory(),
      "PATH=/usr/bin:/bin",
      "TZ=UTC",
  };
  for (const char* passthrough : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = getenv(passthrough)) env.push_back(std::string(passthrough) + "=" + value);
  }
  for (const auto& [name, value] : extraEnvironment_) env.push_back(name + "=" + value);
  return env;
}

std::string DaemonHarness::nimbractlPath() { return NIMBRACTL_BINARY; }

ProcessResult DaemonHarness::runToExit(const std::vector<std::pair<std::string, int>>& sockets,
                                       std::chrono::milliseconds timeout) const {
  std::map<std::string, std::string> variables;
  for (const auto& entry : environment()) {
    auto eq = entry.find('=');
    variables[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  return runActivated({NIMBRAD_BINARY}, sockets, variables, timeout);
}

pid_t DaemonHarness::spawn(bool intermediateParent, platform::FileDescriptor& log) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  platform::FileDescriptor reading(fds[0]);
  platform::FileDescriptor writing(fds[1]);
  std::vector<std::string> args = {NIMBRAD_BINARY};
  std::vector<std::string> env = environment();
  auto argv = toArgv(args);
  auto envp = toArgv(env);
  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    dup2(fds[1], STDERR_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    if (intermediateParent) {
      pid_t grandchild = fork();
      if (grandchild == 0) {
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
      }
      int status = 0;
      if (grandchild < 0 || waitpid(grandchild, &status, 0) < 0) _exit(126);
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  log = std::move(reading);
  return child;
}

void DaemonHarness::readLog(platform::FileDescriptor log) {
  const int fd = log.get();
  std::string pending;
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    std::vector<std::string> complete;
    std::vector<int> priorities;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, newline);
      std::string stripped = stripPriority(line);
      priorities.push_back(stripped.size() == line.size() ? -1 : line[1] - '0');
      complete.push_back(std::move(stripped));
      pending.erase(0, newline + 1);
    }
    if (!complete.empty()) {
      std::lock_guard lock(mutex_);
      for (auto& line : complete) lines_.push_back(std::move(line));
      priorities_.insert(priorities_.end(), priorities.begin(), priorities.end());
      changed_.notify_all();
    }
  }
}

bool DaemonHarness::start(std::chrono::milliseconds timeout) {
  // A restart on the same directories: the previous daemon must be gone.
  kill();
  if (logReader_.joinable()) logReader_.join();
  {
    std::lock_guard lock(mutex_);
    lines_.clear();
    priorities_.clear();
  }
  platform::FileDescriptor log;
  pid_ = spawn(false, log);
  exitStatus_.reset();
  logReader_ = std::thread([this, log = std::move(log)]() mutable { readLog(std::move(log)); });
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (count("<nimbrad> Registered signal handlers for graceful shutdown") > 0) return true;
    if (!running()) return false;
    waitForLine("<nimbrad> Registered signal handlers for graceful shutdown", std::chrono::milliseconds(50));
  }
  return false;
}

std::optional<int> DaemonHarness::runWithIntermediateParent(std::chrono::milliseconds timeout) {
  platform::FileDescriptor log;
  pid_ = spawn(true, log);
  exitStatus_.reset();
  logReader_ = std::thread([this, log = std::move(log)]() mutable { readLog(std::move(log)); });
  auto status = waitForExit(timeout);
  if (logReader_.joinable()) logReader_.join();
  return status;
}

bool DaemonHarness::running() const {
  if (pid_ <= 0 || exitStatus_) return false;
  siginfo_t info{};
  // Peek without reaping, so that waitForExit still sees the status.
  if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

void DaemonHarness::signal(int signal) const {
  if (pid_ > 0) ::kill(pid_, signal);
}

std::optional<int> DaemonHarness::waitForExit(std::chrono::milliseconds timeout) {
  if (exitStatus_) return exitStatus_;
  if (pid_ <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitStatus_ = decodeStatus(status);
      // The log pipe closes once the daemon is gone; let the reader drain it.
      if (logReader_.joinable()) logReader_.join();
      return exitStatus_;
    }
    if (done < 0) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void DaemonHarness::kill() {
  if (pid_ > 0 && !exitStatus_) {
    ::kill(pid_, SIGKILL);
    waitForExit(std::chrono::seconds(10));
  }
}

std::vector<std::string> DaemonHarness::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::size_t DaemonHarness::count(const std::string& needle) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& line : lines_) n += line.find(needle) != std::string::npos ? 1 : 0;
  return n;
}

bool DaemonHarness::waitForCount(const std::string& needle, std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    std::size_t found = 0;
    for (const auto& line : lines_) found += line.find(needle) != std::string::npos ? 1 : 0;
    return found >= n;
  });
}

bool DaemonHarness::waitForLine(const std::string& needle, std::chrono::milliseconds timeout) const {
  return waitForCount(needle, 1, timeout);
}

std::size_t DaemonHarness::countAtPriority(const std::string& needle, int priority) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    n += priorities_[i] == priority && lines_[i].find(needle) != std::string::npos ? 1 : 0;
  }
  return n;
}

std::string DaemonHarness::logText() const {
  std::string text;
  for (const auto& line : lines()) text += line + "\n";
  return text;
}

std::unique_ptr<platform::ServiceClient> DaemonHarness::connect(const std::string& service) const {
  auto client = platform::ServiceClient::connect(socketPath(service), std::chrono::seconds(5));
  if (!client) return nullptr;
  return std::move(client).value();
}

std::optional<Value> DaemonHarness::call(const std::string& service, const Value& message,
                                         std::chrono::milliseconds timeout) const {
  auto client = connect(service);
  if (!client) return std::nullopt;
  auto reply = client->call(message, timeout);
  if (!reply) return std::nullopt;
  return std::move(reply).value();
}

CommandResult DaemonHarness::ctl(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) const {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  platform::FileDescriptor outRead(out[0]), outWrite(out[1]);
  if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  platform::FileDescriptor errRead(err[0]), errWrite(err[1]);
  std::vector<std::string> args = {NIMBRACTL_BINARY};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env = environment();
  auto argv = toArgv(args);
  auto envp = toArgv(env);
  pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  outWrite.reset();
  errWrite.reset();
  CommandResult result;
  platform::FileDescriptor* readers[2] = {&outRead, &errRead};
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(child, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        readers[i]->reset();
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  // A child still writing must not block on a full pipe while we wait for it.
  outRead.reset();
  errRead.reset();
  int status = 0;
  waitpid(child, &status, 0);
  result.exitStatus = decodeStatus(status).value_or(-1);
  return result;
}

}  // namespace nimbra::test
