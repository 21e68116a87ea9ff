#pragma once

// Resolves the executables of peer processes for a sandboxed daemon.
//
// Landlock denies a sandboxed process ptrace-mode access to processes outside
// its domain, and reading /proc/<pid>/exe is such an access: after entering
// the sandbox the daemon could identify no peer at all, and a process it
// forks later inherits the sandbox. So a spawner process is forked before the
// sandbox is entered; it makes inspector processes on request, and those do
// the reading. An inspector that dies or stops answering is killed and
// replaced from the spawner. Requests carry a pidfd of the peer
// (SO_PEERPIDFD) so that the answer is known to belong to that very process
// and not to a later one that reused its number.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Expected.h"
#include "platform/FileDescriptor.h"

namespace platform {

class LogThrottle;

class PeerInspector {
 public:
  enum class Outcome {
    identified,      // `executable` holds the peer's executable
    unidentifiable,  // the peer ended, or its executable was deleted or replaced
    unavailable,     // no inspector could answer (the helpers are gone or stalled)
  };
  struct Answer {
    Outcome outcome = Outcome::unavailable;
    std::string executable;  // absolute path, set when identified
  };
  struct Options {
    // Inspectors working at once; a request finding all busy waits for one.
    std::size_t maxInspectors = 4;
    // An inspector (or the spawner) that takes longer is abandoned and killed.
    std::chrono::milliseconds replyTimeout{2000};
  };

  // Forks the spawner. Call while the process has one thread and before the
  // sandbox is entered. The helpers end when this process does, or when the
  // PeerInspector is destroyed. On failure returns why.
  static Expected<std::unique_ptr<PeerInspector>, std::string> start(Options options);
  static Expected<std::unique_ptr<PeerInspector>, std::string> start() { return start(Options{}); }

  PeerInspector(const PeerInspector&) = delete;
  PeerInspector& operator=(const PeerInspector&) = delete;
  // Kills the spawner and every inspector, and reaps the spawner.
  ~PeerInspector();

  // The executable of the process `pidfd` (or, with pidfd < 0, `pid`) refers
  // to. Thread-safe; no lock is held while an inspector works, so requests
  // proceed side by side. A failed inspector is replaced and the request
  // tried again; `unavailable` only when none could answer. When the spawner
  // is gone and no inspector is left, logs at fault level and calls the
  // exhaustion handler (once, on the calling thread).
  Answer executableOf(int pidfd, pid_t pid);

  // What to do when nothing is left to identify peers with; the daemon exits.
  void setExhaustionHandler(std::function<void()> handler);

  // For tests: the spawner's process id and those of the live inspectors.
  pid_t spawnerPid() const { return spawnerPid_; }
  std::vector<pid_t> inspectorPids() const;

  // The instance PeerIdentity uses; none means peers are read in-process
  // (only for processes that never enter the sandbox: tests and tools).
  static void install(std::shared_ptr<PeerInspector> inspector);
  static std::shared_ptr<PeerInspector> installed();

  // What an inspector does for one request, also used in-process where no
  // inspector is installed: reads /proc/<pid>/exe, rejecting "(deleted)" and
  // relative results, and checks afterwards that `pidfd` still names a live
  // process. Never `unavailable`.
  static Answer readExecutable(int pidfd, pid_t pid);

 private:
  struct Inspector {
    FileDescriptor socket;
    FileDescriptor pidfd;  // kills it without hitting a reused number
    pid_t pid = 0;
  };

  PeerInspector(Options options, FileDescriptor spawner, FileDescriptor spawnerPidfd, pid_t spawnerPid);

  // An idle inspector, or a new one from the spawner; nullopt when none is
  // left or the spawner could not make one.
  std::optional<Inspector> acquire();
  void release(Inspector inspector);
  // Kills an inspector that failed and forgets it.
  void discard(Inspector inspector, const char* why);
  std::optional<Inspector> spawn();
  void spawnerFailed(const char* why);
  std::optional<Answer> ask(const Inspector& inspector, int pidfd, pid_t pid) const;

  const Options options_;

  std::mutex spawnerMutex_;  // one request to the spawner at a time
  FileDescriptor spawner_;   // GUARDED_BY(spawnerMutex_)
  FileDescriptor spawnerPidfd_;
  const pid_t spawnerPid_;
  std::shared_ptr<LogThrottle> spawnFailures_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Inspector> idle_;        // GUARDED_BY(mutex_)
  std::vector<pid_t> livePids_;        // GUARDED_BY(mutex_)
  std::size_t live_ = 0;               // idle, busy or being made; GUARDED_BY(mutex_)
  bool spawnerGone_ = false;           // GUARDED_BY(mutex_)
  bool exhaustionReported_ = false;    // GUARDED_BY(mutex_)
  std::function<void()> onExhausted_;  // GUARDED_BY(mutex_)
};

}  // namespace platform
