#pragma once

// A games library for tests: holds a list in memory, answers on its own queue
// after an optional delay, or holds the answers back until released (a
// library that never answers, or answers late).

#include <barrier>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/LudexLibrary.h"

namespace nimbra::test {

class FakeLudexLibrary final : public platform::LXGameLibrary {
 public:
  enum class Mode { Immediate, Delayed, Held };

  FakeLudexLibrary();
  explicit FakeLudexLibrary(platform::LXGameLibraryApps apps);
  FakeLudexLibrary(const FakeLudexLibrary&) = delete;
  FakeLudexLibrary& operator=(const FakeLudexLibrary&) = delete;

  void setApps(platform::LXGameLibraryApps apps);
  // fetchInstalledGames answers nullopt (an unreadable library).
  void setInstalledGamesUnavailable(bool unavailable);
  // Immediate: answers on the library's queue at once. Delayed: after `delay`.
  // Held: keeps the answers until releaseHeld().
  void setMode(Mode mode, std::chrono::milliseconds delay = {});

  // Delivers every held answer now, on the library's queue.
  void releaseHeld();
  std::size_t heldCount() const;

  // Calls every registered change handler with `apps`, on the library's queue.
  void fireChange(platform::LXGameLibraryApps apps);

  std::size_t fetchAppsCalls() const;
  std::size_t fetchInstalledGamesCalls() const;
  std::size_t handlerCount() const;

  void registerInstalledGamesDidChangeHandler(AppsHandler handler) override;
  void fetchInstalledGames(FetchCompletion completion) override;
  void fetchApps(std::vector<std::string> bundleIDs, AppsHandler completion) override;

 private:
  void deliver(std::function<void()> answer);

  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::makeSerial("test.ludex.fake");
  mutable std::mutex mutex_;
  platform::LXGameLibraryApps apps_;             // GUARDED_BY(mutex_)
  bool unavailable_ = false;                     // GUARDED_BY(mutex_)
  Mode mode_ = Mode::Immediate;                  // GUARDED_BY(mutex_)
  std::chrono::milliseconds delay_{};            // GUARDED_BY(mutex_)
  std::vector<std::function<void()>> held_;      // GUARDED_BY(mutex_)
  std::vector<AppsHandler> handlers_;            // GUARDED_BY(mutex_)
  std::size_t fetchAppsCalls_ = 0;               // GUARDED_BY(mutex_)
  std::size_t fetchInstalledGamesCalls_ = 0;     // GUARDED_BY(mutex_)
};

// Hands out a prepared library per user (a fresh empty one otherwise) and
// counts the calls. With a rendezvous of N, each call waits until N calls
// are inside at once, to make concurrent set-ups overlap for sure.
class FakeLudexLibraryFactory final : public platform::LXGameLibraryFactory {
 public:
  void setLibrary(uid_t uid, std::shared_ptr<FakeLudexLibrary> library);
  void setRendezvous(std::ptrdiff_t threads);

  std::shared_ptr<platform::LXGameLibrary> libraryForUserIdentifier(uid_t uid) override;

  std::size_t calls(uid_t uid) const;
  // The libraries handed out for `uid`, in order.
  std::vector<std::shared_ptr<FakeLudexLibrary>> created(uid_t uid) const;

 private:
  mutable std::mutex mutex_;
  std::map<uid_t, std::shared_ptr<FakeLudexLibrary>> prepared_;                 // GUARDED_BY(mutex_)
  std::map<uid_t, std::vector<std::shared_ptr<FakeLudexLibrary>>> created_;   // GUARDED_BY(mutex_)
  std::shared_ptr<std::barrier<>> rendezvous_;                                 // GUARDED_BY(mutex_)
};

}  // namespace nimbra::test
