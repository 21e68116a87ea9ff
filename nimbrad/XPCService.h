#pragma once

// The frame shared by the daemon's services: a listener bound to one of the
// daemon's serial queues, a session handler that checks the caller's
// entitlements before accepting, and a message handler that holds an OS
// transaction while the service's handler runs.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nimbrad/EntitlementChecker.h"
#include "platform/Dispatch.h"
#include "platform/Expected.h"
#include "platform/PeerIdentity.h"
#include "platform/ServiceListener.h"
#include "platform/Value.h"

namespace nimbra {

// What tells one service from another at the frame: its name and socket, who
// may connect, how a refusal is told, and the form of its messages.
struct XPCServiceDescription {
  std::string machServiceName;
  // The peer is accepted if it holds any of these; every one is checked.
  std::vector<std::string> entitlements;
  std::string transactionLabel;
  std::string rejectionLogLine;
  std::string rejectReason;
  // Dictionary services refuse any other root in the transport.
  bool dictionaryMessages = true;
  unsigned socketMode = 0666;
};

class XPCService {
 public:
  // Receives a message of an accepted session and the session's peer (its
  // credentials read at accept time, and its executable); returns the reply.
  using Handler = std::function<platform::Value(const platform::Value& message, const platform::PeerIdentity& peer)>;

  // Rejections of one user and executable after the first are counted, and
  // told in one line per window.
  static constexpr std::chrono::seconds kRejectionLogWindow{10};

  // Logs the registration line and starts the listener on the runtime
  // directory's socket for the service; `handler` runs on `queue`, which must
  // be serial. On failure returns why; the caller logs it. The checker must
  // outlive the listener.
  static platform::Expected<std::unique_ptr<platform::ServiceListener>, std::string> listen(
      XPCServiceDescription description, std::shared_ptr<platform::DispatchQueue> queue, Handler handler,
      std::shared_ptr<const EntitlementChecker> checker);

  // The reply of a service whose handler does not exist yet:
  // {"ServiceNotAvailable": true}.
  static platform::Value notAvailableReply();
};

}  // namespace nimbra
