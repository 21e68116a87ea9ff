#include "nimbrad/XPCService.h"

#include "platform/Directories.h"
#include "platform/Log.h"
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
  auto sessionHandler = [shared, checker](platform::SessionRequest& request) {
    const auto& peer = request.peer();
    uid_t euid = shared->passesEffectiveUID ? peer.uid : 0;
    bool entitled = false;
    for (const auto& name : shared->entitlements) {
      // Every name is checked, even after one granted: each check logs its answer.
      if (checker->isEntitled(peer, name)) entitled = true;
    }
    if (!entitled) {
      platform::Logger::defaultLog().error("{}", shared->rejectionLogLine);
      request.reject(shared->rejectReason);
      return;
    }
    request.accept([shared, euid](const Value& message) {
      platform::OSTransaction transaction(shared->transactionLabel);
      return shared->handler(message, euid);
    });
  };
  return platform::ServiceListener::start(std::move(config), std::move(sessionHandler));
}

}  // namespace nimbra
