#pragma once

// Changes in folders, from inotify, delivered on the event loop. One watcher
// is one inotify instance; it holds any number of folder watches, each with
// its own handler. The rollout store, the games libraries and the
// entitlement registry all watch their folders through it.
//
// Handlers of one watcher run one at a time, in the kernel's order, on a
// thread of the dispatch pool (or on a thread that calls drain()). A handler
// may add and remove watches; it must not call drain().

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Expected.h"

namespace platform {

class DirectoryWatcher {
 public:
  struct Event {
    std::uint32_t mask = 0;  // IN_* bits
    std::string name;        // the entry of the folder; empty for the folder itself

    // Events were lost (the kernel's queue overflowed): every handler of the
    // watcher receives this, with no name, and must assume anything changed.
    bool overflowed() const;
    // The watch is gone (IN_IGNORED: the folder was removed, or the watch was).
    bool watchEnded() const;
    // The folder itself was removed or moved away.
    bool folderLeft() const;
  };
  using Handler = std::function<void(const Event&)>;

  struct Watch {
    int descriptor = -1;
    bool operator==(const Watch&) const = default;
  };

  // A watcher with no watches yet. Fails with errno when the kernel gives no
  // inotify instance (the limit per user, or no inotify at all).
  static Expected<std::unique_ptr<DirectoryWatcher>, int> create();

  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;
  // Stops the watcher: when it returns, no handler is running (unless it is
  // destroyed by one of its own handlers) and none will run again.
  ~DirectoryWatcher();

  // Watches `folder` for the IN_* events of `mask` (IN_ONLYDIR is added) and
  // sends them to `handler`. A folder watched already keeps its watch and
  // gets the new mask and handler. Fails with errno (ENOENT, ENOTDIR, the
  // watch limit...). Any thread.
  Expected<Watch, int> add(const std::string& folder, std::uint32_t mask, Handler handler);
  // Ends the watch; no event of it reaches its handler after this returns
  // (one being delivered on another thread may finish). Any thread.
  void remove(Watch watch);

  // Delivers, on the calling thread, every event the kernel has queued so
  // far, so that a caller that must see every change made before it asked
  // need not wait for the event loop. Waits only for a delivery under way on
  // another thread, never for the kernel.
  void drain();

  struct State;

 private:
  explicit DirectoryWatcher(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace platform
