#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/FennixClient.h"

namespace nimbra::test {

// A Fennix stand-in. Tests edit its state; like the real client, a client
// made from it answers from the state as of its last refresh(). Thread-safe.
class FakeFennix : public std::enable_shared_from_this<FakeFennix> {
 public:
  static std::shared_ptr<FakeFennix> make() { return std::make_shared<FakeFennix>(); }

  void setLevel(const std::string& ns, const std::string& factor, std::optional<platform::FennixLevel> level);
  // A level whose file value names `path`.
  void setFile(const std::string& ns, const std::string& factor, const std::string& path);
  void setRollout(const std::string& ns, std::optional<platform::FennixRolloutIdentifiers> rollout);
  void setExperiment(const std::string& ns, std::optional<platform::FennixExperimentIdentifiers> experiment);

  // Runs every update handler registered for `ns` on its queue.
  void triggerUpdate(const std::string& ns);

  std::size_t refreshCount() const;
  std::size_t handlerCount() const;

  // A client over this state; the state outlives it.
  std::unique_ptr<platform::FennixClient> makeClient();

 private:
  friend class FakeFennixClient;
  struct Namespace {
    std::map<std::string, platform::FennixLevel, std::less<>> levels;
    std::optional<platform::FennixRolloutIdentifiers> rollout;
    std::optional<platform::FennixExperimentIdentifiers> experiment;
  };
  struct Handler {
    std::string ns;
    std::shared_ptr<platform::DispatchQueue> queue;
    platform::FennixClient::UpdateHandler handler;
  };

  mutable std::mutex mutex_;
  std::map<std::string, Namespace, std::less<>> edited_;     // GUARDED_BY(mutex_)
  std::map<std::string, Namespace, std::less<>> published_;  // GUARDED_BY(mutex_)
  std::map<std::uint64_t, Handler> handlers_;                // GUARDED_BY(mutex_)
  std::uint64_t nextToken_ = 1;                              // GUARDED_BY(mutex_)
  std::size_t refreshes_ = 0;                                // GUARDED_BY(mutex_)
};

}  // namespace nimbra::test
