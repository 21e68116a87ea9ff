#include "nimbrad/XPCService.h"

#include "platform/Directories.h"
#include "platform/Log.h"
#include "platform/LogThrottle.h"
#include "platform/OSTransaction.h"

namespace nimbra {

using platform::Value;

platform::Value XPCService::notAvailableReply() {
  // Its own key: "XPCErrorDescription" alone means a rejected session, and
  // clients must tell "not entitled" from "not built yet".
  return Value(platform::Dictionary{{"ServiceNotAvailable", Value(true)}});
}

platform::Expected<std::unique_ptr<platform::ServiceListener>, std::string> XPCService::listen(
    XPCServiceDefinition definition, std::shared_ptr<const EntitlementChecker> checker) {
  const auto& log = platform::Logger::defaultLog();
  log.notice("<nimbrad> XPC EventListener: Registering for {} into {}", definition.machServiceName,
             definition.queue->label());

  platform::ServiceConfig config;
  config.name = definition.machServiceName;
  config.socketPath = platform::directories::runtime() + "/" + definition.machServiceName;
  config.mode = definition.socketMode;
  config.dictionaryMessages = definition.dictionaryMessages;
  config.targetQueue = definition.queue;

  auto shared = std::make_shared<const XPCServiceDefinition>(std::move(definition));
  // A user who connects in a loop must not fill the log: the first rejection
  // of each user and executable is told in full, the rest are counted.
  auto rejections =
      platform::LogThrottle::create(log, platform::LogLevel::Error, shared->rejectionLogLine, kRejectionLogWindow);
  auto sessionHandler = [shared, checker, rejections](platform::SessionRequest& request) {
    const auto& peer = request.peer();
    uid_t euid = shared->passesEffectiveUID ? peer.uid : 0;
    bool entitled = false;
    std::vector<EntitlementVerdict> verdicts;
    for (const auto& name : shared->entitlements) {
      // Every name is checked, even after one granted: each check tells its answer.
      verdicts.push_back(checker->check(peer, name));
      if (verdicts.back().granted) entitled = true;
    }
    if (!entitled) {
      if (rejections->admit(fmt::format("{}:{}", peer.uid, peer.executablePath))) {
        for (const auto& verdict : verdicts) verdict.log();
        platform::Logger::defaultLog().error("{} (pid {}, uid {}, executable {})", shared->rejectionLogLine, peer.pid,
                                             peer.uid,
                                             peer.executablePath.empty() ? "unknown" : peer.executablePath);
      }
      request.reject(shared->rejectReason);
      return;
    }
    for (const auto& verdict : verdicts) verdict.log();
    request.accept([shared, euid](const Value& message) {
      platform::OSTransaction transaction(shared->transactionLabel);
      return shared->handler(message, euid);
    });
  };
  return platform::ServiceListener::start(std::move(config), std::move(sessionHandler));
}

}  // namespace nimbra
