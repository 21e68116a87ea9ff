#pragma once

// The client of the rollout framework (Fennix): per namespace, the level of a
// factor (which names the current file), the identifiers of an active rollout
// or experiment, and update handlers that run when a namespace changes.
//
// `FennixClient` is the interface the asset manager uses, so that tests can
// put a fake behind it; `openFileStore` gives the Linux realisation over a
// FennixStore directory, with inotify on the namespace folders driving the
// update handlers. All operations may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Dispatch.h"
#include "platform/Expected.h"
#include "platform/FennixStore.h"

namespace platform {

struct FennixUpdateToken {
  std::uint64_t id = 0;
  bool operator==(const FennixUpdateToken&) const = default;
  explicit operator bool() const { return id != 0; }
};

class FennixClient {
 public:
  // Receives the name of the namespace that changed.
  using UpdateHandler = std::function<void(const std::string& namespaceName)>;

  virtual ~FennixClient() = default;

  // Rereads what the lookups below answer from.
  virtual void refresh() = 0;

  // The level of `factor` in `namespaceName` as of the last refresh; nullopt
  // when the namespace has no such factor.
  virtual std::optional<FennixLevel> levelForFactor(std::string_view factor, std::string_view namespaceName) const = 0;
  // The active rollout or experiment of the namespace as of the last refresh; nullopt when none.
  virtual std::optional<FennixRolloutIdentifiers> rolloutIdentifiers(std::string_view namespaceName) const = 0;
  virtual std::optional<FennixExperimentIdentifiers> experimentIdentifiers(std::string_view namespaceName) const = 0;

  // Runs `handler` on `queue` after each change of the namespace. Several
  // changes in a short time (an install is several file operations) give one
  // call. Returns a token for removeUpdateHandler.
  virtual FennixUpdateToken addUpdateHandler(std::string namespaceName, std::shared_ptr<DispatchQueue> queue,
                                             UpdateHandler handler) = 0;
  // After this returns no new call of the handler is started; one already
  // submitted to its queue may still run.
  virtual void removeUpdateHandler(FennixUpdateToken token) = 0;

  // The client over the store at `directory`, which is created (mode 0755) if
  // missing. Fails, with the reason, when the directory can neither be
  // created nor opened. If inotify is unavailable the client still answers
  // lookups; update handlers then never run (logged at error level).
  static Expected<std::unique_ptr<FennixClient>, std::string> openFileStore(const std::string& directory);
};

}  // namespace platform
