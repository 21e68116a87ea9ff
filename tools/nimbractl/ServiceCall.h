#pragma once

// What the families that talk to the daemon's services share: finding a
// service socket, sending one request, reading input files, printing replies.

#include <optional>
#include <string>

#include "platform/Expected.h"
#include "platform/Value.h"
#include "tools/nimbractl/CommandTable.h"

namespace nimbractl {

// platform::directories::runtime() + "/" + service.
std::string servicePath(const std::string& service);

// A service name that names a file directly in the runtime directory.
bool isValidServiceName(const std::string& service);

// Either a value to encode, or bytes to send as they are.
struct Request {
  std::optional<platform::Value> message;
  std::string rawPayload;
};

// Sends `request` to `service` and reads the reply. On failure (daemon not
// running, rejected session, timeout, broken reply) writes one clear line to
// context.err and returns nullopt.
std::optional<platform::Value> callService(const std::string& service, const Request& request, Context& context);

// The bytes of `path` ("-" reads standard input); at most 16 MiB.
platform::Expected<std::string, std::string> readInput(const std::string& path);
// A property list from `path` ("-" reads standard input).
platform::Expected<platform::Value, std::string> readPropertyList(const std::string& path);

// The value as an XML property list (a null value as an empty line).
std::string toXml(const platform::Value& value);

}  // namespace nimbractl
