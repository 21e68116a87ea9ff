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
    XPCServiceDescription description, std::shared_ptr<platform::DispatchQueue> queue, Handler handler,
    std::shared_ptr<const EntitlementChecker> checker) {
  const auto& log = platform::Logger::defaultLog();
  log.notice("<nimbrad> XPC EventListener: Registering for {} into {}", description.machServiceName, queue->label());

  platform::ServiceConfig config;
  config.name = description.machServiceName;
  config.socketPath = platform::directories::runtime() + "/" + description.machServiceName;
  config.mode = description.socketMode;
  config.dictionaryMessages = description.dictionaryMessages;
  config.targetQueue = std::move(queue);

  auto shared = std::make_shared<const XPCServiceDescription>(std::move(description));
  auto sharedHandler = std::make_shared<const Handler>(std::move(handler));
  // A user who connects in a loop must not fill the log: the first rejection
  // of each user and executable is told in full, the rest are counted.
  auto rejections =
      platform::LogThrottle::create(log, platform::LogLevel::Error, shared->rejectionLogLine, kRejectionLogWindow);
  auto sessionHandler = [shared, sharedHandler, checker, rejections](platform::SessionRequest& request) {
    const auto& peer = request.peer();
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
    request.accept([shared, sharedHandler, peer](const Value& message) {
      platform::OSTransaction transaction(shared->transactionLabel);
      return (*sharedHandler)(message, peer);
    });
  };
  return platform::ServiceListener::start(std::move(config), std::move(sessionHandler));
}

}  // namespace nimbra
