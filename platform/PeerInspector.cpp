#include "platform/PeerInspector.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/Log.h"
#include "platform/LogThrottle.h"
#include "platform/SocketMessages.h"

namespace platform {

namespace {

constexpr std::size_t kMaxPath = 4096;
// Replies of an inspector: one status byte, then the path when identified.
constexpr char kIdentified = 'Y';
constexpr char kUnidentifiable = 'N';
// The helpers keep the request socket at this descriptor and nothing else of
// the daemon's.
constexpr int kHelperSocket = 3;

struct InspectRequest {
  std::int32_t pid;
  std::int32_t hasPidfd;
};

struct SpawnReply {
  std::int32_t error;  // errno of the failed step, 0 when an inspector was made
  std::int32_t pid;
};

const Logger& log() {
  static const Logger logger("com.corvane.nimbrad", "PeerInspector");
  return logger;
}

// Everything below up to the helpers' entry points runs in forked children,
// possibly of a multi-threaded process (tests): system calls only, no heap,
// no locks.

std::size_t formatUnsigned(unsigned long value, char* out) {
  char digits[24];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  return n;
}

// "<prefix><number><suffix>" into `out` (which must be large enough).
void numberedPath(const char* prefix, unsigned long number, const char* suffix, char* out) {
  std::size_t at = std::strlen(prefix);
  std::memcpy(out, prefix, at);
  at += formatUnsigned(number, out + at);
  std::size_t tail = std::strlen(suffix);
  std::memcpy(out + at, suffix, tail + 1);
}

// The pid a pidfd refers to, in our PID namespace; -1 once the process ended.
pid_t pidOfPidfd(int pidfd) {
  char path[64];
  numberedPath("/proc/self/fdinfo/", static_cast<unsigned long>(pidfd), "", path);
  FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  char text[1024];
  ssize_t n;
  do {
    n = ::read(fd.get(), text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  text[n] = '\0';
  const char* at = std::strstr(text, "Pid:");
  if (at == nullptr || (at != text && at[-1] != '\n')) return -1;
  at += 4;
  while (*at == ' ' || *at == '\t') ++at;
  if (*at == '-') return -1;
  long pid = 0;
  for (; *at >= '0' && *at <= '9'; ++at) pid = pid * 10 + (*at - '0');
  return static_cast<pid_t>(pid);
}

bool stillAlive(int pidfd) { return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0; }

// The executable's path into `out`; its length, or 0 when the peer cannot be
// identified.
std::size_t readExecutableInto(int pidfd, pid_t pid, char* out, std::size_t capacity) {
  if (pidfd >= 0) pid = pidOfPidfd(pidfd);
  if (pid <= 0) return 0;
  char link[64];
  numberedPath("/proc/", static_cast<unsigned long>(pid), "/exe", link);
  ssize_t n = ::readlink(link, out, capacity);
  // A full buffer may be a truncated path: treat it as unreadable.
  if (n <= 0 || static_cast<std::size_t>(n) >= capacity) return 0;
  std::string_view path(out, static_cast<std::size_t>(n));
  // The kernel marks an executable that was replaced or removed since the
  // process started; that file is no longer the one the registry names.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() >= kDeleted.size() && path.substr(path.size() - kDeleted.size()) == kDeleted) return 0;
  if (path.front() != '/') return 0;
  // Alive after the read means the number was not reused in between.
  if (pidfd >= 0 && !stillAlive(pidfd)) return 0;
  return static_cast<std::size_t>(n);
}

// Makes the calling child a helper: it dies with `parent`, keeps only
// `socket` (as kHelperSocket) and has /dev/null as its standard streams.
void becomeHelper(int socket, pid_t parent, const char* name) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(0);
  ::prctl(PR_SET_NAME, name);
  if (socket != kHelperSocket) ::dup2(socket, kHelperSocket);
  int devnull = ::open("/dev/null", O_RDWR);
  if (devnull >= 0) {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(devnull, fd);
  }
  ::syscall(SYS_close_range, static_cast<unsigned>(kHelperSocket + 1), ~0u, 0u);
  // The inherited descriptor is close-on-exec from the socketpair; the helper
  // never executes anything, so that does not matter.
}

[[noreturn]] void runInspector() {
  for (;;) {
    InspectRequest request{};
    int pidfd = -1;
    ssize_t n = receiveWithDescriptors(kHelperSocket, &request, sizeof request, &pidfd, 1);
    if (n <= 0) ::_exit(0);  // the daemon is gone or gave up on us
    char reply[1 + kMaxPath];
    std::size_t length = 0;
    const FileDescriptor received(pidfd);
    if (static_cast<std::size_t>(n) == sizeof request && (request.hasPidfd == 0 || received)) {
      length = readExecutableInto(request.hasPidfd ? received.get() : -1, request.pid, reply + 1, kMaxPath);
    }
    reply[0] = length > 0 ? kIdentified : kUnidentifiable;
    sendWithDescriptors(kHelperSocket, reply, 1 + length, nullptr, 0);
  }
}

void sendSpawnReply(SpawnReply reply, int socket, int pidfd) {
  int fds[2] = {socket, pidfd};
  std::size_t count = socket < 0 ? 0 : (pidfd < 0 ? 1 : 2);
  sendWithDescriptors(kHelperSocket, &reply, sizeof reply, fds, count);
}

[[noreturn]] void runSpawner() {
  // Inspectors are reaped by the kernel; the daemon holds pidfds of them.
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  ignore.sa_flags = SA_NOCLDWAIT;
  ::sigaction(SIGCHLD, &ignore, nullptr);
  const pid_t self = ::getpid();
  for (;;) {
    char request = 0;
    ssize_t n = ::recv(kHelperSocket, &request, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ::_exit(0);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
      sendSpawnReply({errno, 0}, -1, -1);
      continue;
    }
    FileDescriptor daemonEnd(pair[0]);
    FileDescriptor inspectorEnd(pair[1]);
    pid_t child = ::fork();
    if (child == 0) {
      becomeHelper(inspectorEnd.get(), self, "nimbrad-peers");
      struct sigaction restore{};
      restore.sa_handler = SIG_DFL;
      ::sigaction(SIGCHLD, &restore, nullptr);
      runInspector();
    }
    int error = errno;
    inspectorEnd.reset();
    if (child < 0) {
      sendSpawnReply({error, 0}, -1, -1);
      continue;
    }
    const FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    sendSpawnReply({0, child}, daemonEnd.get(), pidfd.get());
  }
}

// Waits until `fd` is readable; false after `timeout` or on an error.
bool waitReadable(int fd, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

void killByPidfd(int pidfd) {
  if (pidfd >= 0) ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
}

std::mutex gInstalledMutex;
std::shared_ptr<PeerInspector> gInstalled;  // GUARDED_BY(gInstalledMutex)

}  // namespace

PeerInspector::Answer PeerInspector::readExecutable(int pidfd, pid_t pid) {
  char buffer[kMaxPath];
  std::size_t length = readExecutableInto(pidfd, pid, buffer, sizeof buffer);
  if (length == 0) return {Outcome::unidentifiable, {}};
  return {Outcome::identified, std::string(buffer, length)};
}

Expected<std::unique_ptr<PeerInspector>, std::string> PeerInspector::start(Options options) {
  options.maxInspectors = std::max<std::size_t>(options.maxInspectors, 1);
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    return unexpected(std::string("socketpair: ") + std::strerror(errno));
  }
  FileDescriptor daemonEnd(pair[0]);
  FileDescriptor spawnerEnd(pair[1]);
  pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child < 0) return unexpected(std::string("fork: ") + std::strerror(errno));
  if (child == 0) {
    becomeHelper(spawnerEnd.get(), parent, "nimbrad-spawner");
    runSpawner();
  }
  spawnerEnd.reset();
  FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
  return std::unique_ptr<PeerInspector>(new PeerInspector(options, std::move(daemonEnd), std::move(pidfd), child));
}

PeerInspector::PeerInspector(Options options, FileDescriptor spawner, FileDescriptor spawnerPidfd, pid_t spawnerPid)
    : options_(options),
      spawner_(std::move(spawner)),
      spawnerPidfd_(std::move(spawnerPidfd)),
      spawnerPid_(spawnerPid),
      spawnFailures_(LogThrottle::create(log(), LogLevel::Error, "peer inspection: cannot make an inspector")) {}

PeerInspector::~PeerInspector() {
  {
    std::lock_guard lock(mutex_);
    for (auto& inspector : idle_) killByPidfd(inspector.pidfd.get());
    idle_.clear();
  }
  // Inspectors die with the spawner (their parent), whatever state they are in.
  killByPidfd(spawnerPidfd_.get());
  {
    std::lock_guard lock(spawnerMutex_);
    spawner_.reset();
  }
  ::waitpid(spawnerPid_, nullptr, 0);
}

void PeerInspector::setExhaustionHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  onExhausted_ = std::move(handler);
}

std::vector<pid_t> PeerInspector::inspectorPids() const {
  std::lock_guard lock(mutex_);
  return livePids_;
}

void PeerInspector::install(std::shared_ptr<PeerInspector> inspector) {
  std::lock_guard lock(gInstalledMutex);
  gInstalled = std::move(inspector);
}

std::shared_ptr<PeerInspector> PeerInspector::installed() {
  std::lock_guard lock(gInstalledMutex);
  return gInstalled;
}

PeerInspector::Answer PeerInspector::executableOf(int pidfd, pid_t pid) {
  // A failed inspector is replaced; a peer is not refused for our own fault
  // unless the replacements fail too.
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto inspector = acquire();
    if (!inspector) break;
    if (auto answer = ask(*inspector, pidfd, pid)) {
      release(std::move(*inspector));
      return *answer;
    }
    discard(std::move(*inspector), "stopped answering");
  }
  std::function<void()> handler;
  bool exhausted = false;
  {
    std::lock_guard lock(mutex_);
    if (spawnerGone_ && live_ == 0 && !exhaustionReported_) {
      exhaustionReported_ = true;
      exhausted = true;
      handler = onExhausted_;
    }
  }
  if (exhausted) {
    log().fault("peer inspection: no inspector is left and the spawner is gone; no peer can be identified any more");
    if (handler) handler();
  }
  return {Outcome::unavailable, {}};
}

std::optional<PeerInspector::Inspector> PeerInspector::acquire() {
  std::unique_lock lock(mutex_);
  bool spawnFailed = false;
  for (;;) {
    if (!idle_.empty()) {
      Inspector inspector = std::move(idle_.back());
      idle_.pop_back();
      return inspector;
    }
    if (!spawnFailed && !spawnerGone_ && live_ < options_.maxInspectors) {
      ++live_;
      lock.unlock();
      auto made = spawn();
      lock.lock();
      if (made) {
        livePids_.push_back(made->pid);
        return made;
      }
      --live_;
      changed_.notify_all();
      // The inspectors there are can still answer: wait for one of them.
      spawnFailed = true;
      continue;
    }
    if (live_ == 0) return std::nullopt;
    // Every inspector is busy; each answers or is abandoned within the timeout.
    changed_.wait(lock);
  }
}

void PeerInspector::release(Inspector inspector) {
  std::lock_guard lock(mutex_);
  idle_.push_back(std::move(inspector));
  changed_.notify_one();
}

void PeerInspector::discard(Inspector inspector, const char* why) {
  // Closing the socket alone would leave a stalled inspector behind.
  killByPidfd(inspector.pidfd.get());
  log().error("peer inspector {} {}; replacing it", inspector.pid, why);
  std::lock_guard lock(mutex_);
  --live_;
  livePids_.erase(std::remove(livePids_.begin(), livePids_.end(), inspector.pid), livePids_.end());
  changed_.notify_all();
}

void PeerInspector::spawnerFailed(const char* why) {
  // REQUIRES: spawnerMutex_ held.
  log().error("peer inspection: the spawner {}; no further inspector can be made", why);
  killByPidfd(spawnerPidfd_.get());
  spawner_.reset();
  std::lock_guard lock(mutex_);
  spawnerGone_ = true;
  changed_.notify_all();
}

std::optional<PeerInspector::Inspector> PeerInspector::spawn() {
  std::lock_guard lock(spawnerMutex_);
  if (!spawner_) return std::nullopt;
  const char request = 'N';
  if (::send(spawner_.get(), &request, 1, MSG_NOSIGNAL) != 1) {
    spawnerFailed("is gone");
    return std::nullopt;
  }
  if (!waitReadable(spawner_.get(), options_.replyTimeout)) {
    spawnerFailed("did not answer");
    return std::nullopt;
  }
  SpawnReply reply{};
  int fds[2];
  ssize_t n = receiveWithDescriptors(spawner_.get(), &reply, sizeof reply, fds, 2);
  Inspector inspector;
  inspector.socket.reset(fds[0]);
  inspector.pidfd.reset(fds[1]);
  if (n != static_cast<ssize_t>(sizeof reply)) {
    spawnerFailed(n == 0 ? "is gone" : "sent a malformed reply");
    return std::nullopt;
  }
  if (reply.error != 0 || !inspector.socket) {
    // A user who runs the system out of processes makes this fail for every
    // peer: told once per window.
    if (spawnFailures_->admit("spawn")) {
      log().error("peer inspection: cannot make an inspector: {}",
                  std::strerror(reply.error != 0 ? reply.error : EPROTO));
    }
    return std::nullopt;
  }
  inspector.pid = reply.pid;
  return inspector;
}

std::optional<PeerInspector::Answer> PeerInspector::ask(const Inspector& inspector, int pidfd, pid_t pid) const {
  InspectRequest request{static_cast<std::int32_t>(pid), pidfd >= 0 ? 1 : 0};
  ssize_t sent = sendWithDescriptors(inspector.socket.get(), &request, sizeof request, &pidfd, pidfd >= 0 ? 1 : 0);
  if (sent != static_cast<ssize_t>(sizeof request)) return std::nullopt;
  if (!waitReadable(inspector.socket.get(), options_.replyTimeout)) return std::nullopt;
  char reply[1 + kMaxPath + 1];
  ssize_t n;
  do {
    n = ::recv(inspector.socket.get(), reply, sizeof reply, 0);
  } while (n < 0 && errno == EINTR);
  // An empty read is the end of the stream: every reply has a status byte.
  if (n <= 0 || static_cast<std::size_t>(n) > 1 + kMaxPath) return std::nullopt;
  if (reply[0] == kUnidentifiable && n == 1) return Answer{Outcome::unidentifiable, {}};
  if (reply[0] == kIdentified && n > 1 && reply[1] == '/') {
    return Answer{Outcome::identified, std::string(reply + 1, static_cast<std::size_t>(n - 1))};
  }
  return std::nullopt;
}

}  // namespace platform
