#include "tests/support/FakeLudexLibrary.h"

#include <algorithm>

namespace nimbra::test {

using platform::LXGameLibraryApp;
using platform::LXGameLibraryApps;

FakeLudexLibrary::FakeLudexLibrary() = default;
FakeLudexLibrary::FakeLudexLibrary(LXGameLibraryApps apps) : apps_(std::move(apps)) {}

void FakeLudexLibrary::setApps(LXGameLibraryApps apps) {
  std::lock_guard lock(mutex_);
  apps_ = std::move(apps);
}

void FakeLudexLibrary::setInstalledGamesUnavailable(bool unavailable) {
  std::lock_guard lock(mutex_);
  unavailable_ = unavailable;
}

void FakeLudexLibrary::setMode(Mode mode, std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  mode_ = mode;
  delay_ = delay;
}

void FakeLudexLibrary::deliver(std::function<void()> answer) {
  std::unique_lock lock(mutex_);
  switch (mode_) {
    case Mode::Immediate:
      lock.unlock();
      queue_->async(std::move(answer));
      return;
    case Mode::Delayed: {
      auto delay = delay_;
      lock.unlock();
      queue_->asyncAfter(delay, std::move(answer));
      return;
    }
    case Mode::Held:
      held_.push_back(std::move(answer));
      return;
  }
}

void FakeLudexLibrary::releaseHeld() {
  std::vector<std::function<void()>> held;
  {
    std::lock_guard lock(mutex_);
    held.swap(held_);
  }
  for (auto& answer : held) queue_->async(std::move(answer));
}

std::size_t FakeLudexLibrary::heldCount() const {
  std::lock_guard lock(mutex_);
  return held_.size();
}

void FakeLudexLibrary::fireChange(LXGameLibraryApps apps) {
  std::vector<AppsHandler> handlers;
  {
    std::lock_guard lock(mutex_);
    handlers = handlers_;
  }
  queue_->async([handlers = std::move(handlers), apps = std::move(apps)] {
    for (const auto& handler : handlers) handler(apps);
  });
}

std::size_t FakeLudexLibrary::fetchAppsCalls() const {
  std::lock_guard lock(mutex_);
  return fetchAppsCalls_;
}

std::size_t FakeLudexLibrary::fetchInstalledGamesCalls() const {
  std::lock_guard lock(mutex_);
  return fetchInstalledGamesCalls_;
}

std::size_t FakeLudexLibrary::handlerCount() const {
  std::lock_guard lock(mutex_);
  return handlers_.size();
}

void FakeLudexLibrary::registerInstalledGamesDidChangeHandler(AppsHandler handler) {
  std::lock_guard lock(mutex_);
  handlers_.push_back(std::move(handler));
}

void FakeLudexLibrary::fetchInstalledGames(FetchCompletion completion) {
  std::optional<LXGameLibraryApps> answer;
  {
    std::lock_guard lock(mutex_);
    ++fetchInstalledGamesCalls_;
    if (!unavailable_) answer = apps_;
  }
  deliver([completion = std::move(completion), answer = std::move(answer)] { completion(answer); });
}

void FakeLudexLibrary::fetchApps(std::vector<std::string> bundleIDs, AppsHandler completion) {
  LXGameLibraryApps matches;
  {
    std::lock_guard lock(mutex_);
    ++fetchAppsCalls_;
    for (const auto& id : bundleIDs) {
      auto it = std::find_if(apps_.begin(), apps_.end(), [&](const LXGameLibraryApp& app) { return app.bundleID == id; });
      if (it != apps_.end()) matches.push_back(*it);
    }
  }
  deliver([completion = std::move(completion), matches = std::move(matches)] { completion(matches); });
}

void FakeLudexLibraryFactory::setLibrary(uid_t uid, std::shared_ptr<FakeLudexLibrary> library) {
  std::lock_guard lock(mutex_);
  prepared_[uid] = std::move(library);
}

void FakeLudexLibraryFactory::setRendezvous(std::ptrdiff_t threads) {
  std::lock_guard lock(mutex_);
  rendezvous_ = threads > 1 ? std::make_shared<std::barrier<>>(threads) : nullptr;
}

std::shared_ptr<platform::LXGameLibrary> FakeLudexLibraryFactory::libraryForUserIdentifier(uid_t uid) {
  std::shared_ptr<std::barrier<>> rendezvous;
  std::shared_ptr<FakeLudexLibrary> library;
  {
    std::lock_guard lock(mutex_);
    rendezvous = rendezvous_;
    auto it = prepared_.find(uid);
    // A prepared library is handed out once; later calls get fresh ones, as
    // the platform returns a new object per call.
    if (it != prepared_.end()) {
      library = std::move(it->second);
      prepared_.erase(it);
    } else {
      library = std::make_shared<FakeLudexLibrary>();
    }
    created_[uid].push_back(library);
  }
  if (rendezvous) rendezvous->arrive_and_wait();
  return library;
}

std::size_t FakeLudexLibraryFactory::calls(uid_t uid) const {
  std::lock_guard lock(mutex_);
  auto it = created_.find(uid);
  return it == created_.end() ? 0 : it->second.size();
}

std::vector<std::shared_ptr<FakeLudexLibrary>> FakeLudexLibraryFactory::created(uid_t uid) const {
  std::lock_guard lock(mutex_);
  auto it = created_.find(uid);
  return it == created_.end() ? std::vector<std::shared_ptr<FakeLudexLibrary>>{} : it->second;
}

}  // namespace nimbra::test
