#pragma once

// The frame shared by the daemon's services: a listener bound to one of the
// daemon's serial queues, a session handler that checks the caller's
// entitlements before accepting, and a message handler that holds an OS
// transaction while the service's handler runs.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nimbrad/EntitlementChecker.h"
#include "platform/Dispatch.h"
#include "platform/Expected.h"
#include "platform/ServiceListener.h"
#include "platform/Value.h"

namespace nimbra {

struct XPCServiceDefinition {
  std::string machServiceName;
  // The peer is accepted if it holds any of these; every one is checked.
  std::vector<std::string> entitlements;
  std::shared_ptr<platform::DispatchQueue> queue;
  // Dictionary services refuse any other root in the transport.
  bool dictionaryMessages = true;
  // Services that act on behalf of the caller receive its effective user id.
  bool passesEffectiveUID = false;
  std::string transactionLabel;
  std::string rejectionLogLine;
  std::string rejectReason;
  unsigned socketMode = 0666;
  // Runs on `queue`; returns the reply. `euid` is the caller's effective user
  // id when passesEffectiveUID, else 0.
  std::function<platform::Value(const platform::Value& message, uid_t euid)> handler;
};

class XPCService {
 public:
  // Rejections of one user and executable after the first are counted, and
  // told in one line per window.
  static constexpr std::chrono::seconds kRejectionLogWindow{10};

  // Logs the registration line and starts the listener on the runtime
  // directory's socket for the service. On failure returns why; the caller
  // logs it. The checker must outlive the listener.
  static platform::Expected<std::unique_ptr<platform::ServiceListener>, std::string> listen(
      XPCServiceDefinition definition, std::shared_ptr<const EntitlementChecker> checker);

  // The reply of a service whose handler does not exist yet:
  // {"ServiceNotAvailable": true}.
  static platform::Value notAvailableReply();
};

}  // namespace nimbra
