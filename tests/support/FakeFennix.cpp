#include "tests/support/FakeFennix.h"

#include <vector>

namespace nimbra::test {

class FakeFennixClient final : public platform::FennixClient {
 public:
  explicit FakeFennixClient(std::shared_ptr<FakeFennix> state) : state_(std::move(state)) {}

  void refresh() override {
    std::lock_guard lock(state_->mutex_);
    state_->published_ = state_->edited_;
    ++state_->refreshes_;
  }

  std::optional<platform::FennixLevel> levelForFactor(std::string_view factor,
                                                      std::string_view ns) const override {
    std::lock_guard lock(state_->mutex_);
    auto it = state_->published_.find(ns);
    if (it == state_->published_.end()) return std::nullopt;
    auto level = it->second.levels.find(factor);
    if (level == it->second.levels.end()) return std::nullopt;
    return level->second;
  }

  std::optional<platform::FennixRolloutIdentifiers> rolloutIdentifiers(std::string_view ns) const override {
    std::lock_guard lock(state_->mutex_);
    auto it = state_->published_.find(ns);
    return it == state_->published_.end() ? std::nullopt : it->second.rollout;
  }

  std::optional<platform::FennixExperimentIdentifiers> experimentIdentifiers(std::string_view ns) const override {
    std::lock_guard lock(state_->mutex_);
    auto it = state_->published_.find(ns);
    return it == state_->published_.end() ? std::nullopt : it->second.experiment;
  }

  platform::FennixUpdateToken addUpdateHandler(std::string ns, std::shared_ptr<platform::DispatchQueue> queue,
                                               UpdateHandler handler) override {
    std::lock_guard lock(state_->mutex_);
    platform::FennixUpdateToken token{state_->nextToken_++};
    state_->handlers_.emplace(token.id, FakeFennix::Handler{std::move(ns), std::move(queue), std::move(handler)});
    return token;
  }

  void removeUpdateHandler(platform::FennixUpdateToken token) override {
    std::lock_guard lock(state_->mutex_);
    state_->handlers_.erase(token.id);
  }

 private:
  std::shared_ptr<FakeFennix> state_;
};

void FakeFennix::setLevel(const std::string& ns, const std::string& factor, std::optional<platform::FennixLevel> level) {
  std::lock_guard lock(mutex_);
  if (level) {
    edited_[ns].levels[factor] = *level;
  } else {
    edited_[ns].levels.erase(factor);
  }
}

void FakeFennix::setFile(const std::string& ns, const std::string& factor, const std::string& path) {
  setLevel(ns, factor, platform::FennixLevel{platform::FennixFileValue{path}});
}

void FakeFennix::setRollout(const std::string& ns, std::optional<platform::FennixRolloutIdentifiers> rollout) {
  std::lock_guard lock(mutex_);
  edited_[ns].rollout = std::move(rollout);
}

void FakeFennix::setExperiment(const std::string& ns,
                               std::optional<platform::FennixExperimentIdentifiers> experiment) {
  std::lock_guard lock(mutex_);
  edited_[ns].experiment = std::move(experiment);
}

void FakeFennix::triggerUpdate(const std::string& ns) {
  std::vector<Handler> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, handler] : handlers_) {
      if (handler.ns == ns) targets.push_back(handler);
    }
  }
  for (auto& target : targets) {
    target.queue->async([handler = target.handler, ns] { handler(ns); });
  }
}

std::size_t FakeFennix::refreshCount() const {
  std::lock_guard lock(mutex_);
  return refreshes_;
}

std::size_t FakeFennix::handlerCount() const {
  std::lock_guard lock(mutex_);
  return handlers_.size();
}

std::unique_ptr<platform::FennixClient> FakeFennix::makeClient() {
  return std::make_unique<FakeFennixClient>(shared_from_this());
}

}  // namespace nimbra::test
