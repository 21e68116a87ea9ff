#pragma once

// What the families that talk to the daemon's services share: finding a
// service socket, sending one request, judging and printing the reply, and
// reading input files.

#include <functional>
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

// After connecting or posting to `socketPath` failed: kDenied when the
// socket refuses this user, else kUnreachable (nothing listens there).
int unreachableStatus(const std::string& socketPath);

// Sends `request` to `service` and reads the reply frame, whatever it holds.
// On failure writes one clear line to context.err and returns the exit
// status: kUnreachable when nothing listens or no reply came in time, kDenied
// when the socket refuses the caller, kFailure when the service closed the
// connection without a reply (it refused the request) or sent a broken reply.
platform::Expected<platform::Value, int> callService(const std::string& service, const Request& request,
                                                     Context& context);

// How a command reads its service's reply.
struct ReplyHandling {
  // nullopt when the reply reports success, else why not (one line). Unset:
  // every reply that is not a refusal is a success.
  std::function<std::optional<std::string>(const platform::Value& reply)> failure;
  // The reply as printed without --json. Unset: readableText.
  std::function<std::string(const platform::Value& reply)> text;
};

// Sends the request, prints the reply (as text, or as JSON with --json) and
// returns the exit status of the one table (ExitStatus.h): a rejected session
// is kDenied, a service that is not available yet or a reply `handling`
// judges a failure is kFailure. Every command that prints a reply goes
// through here.
int callAndReport(const std::string& service, const Request& request, const ReplyHandling& handling,
                  Context& context);

// The reply in readable text: "key: value" lines, nested values indented,
// dates in ISO 8601, data in base64, control characters escaped.
std::string readableText(const platform::Value& value);

// The reply as one JSON object and a newline: a dictionary's keys as sent,
// any other root under "reply", and "ok" (the exit status's verdict, which
// replaces a key of that name in the reply).
std::string jsonReply(const platform::Value& reply, bool ok);

// The bytes of `path` ("-" reads standard input); at most 16 MiB.
platform::Expected<std::string, std::string> readInput(const std::string& path);
// A property list from `path` ("-" reads standard input).
platform::Expected<platform::Value, std::string> readPropertyList(const std::string& path);

// The value as an XML property list (a null value as an empty line).
std::string toXml(const platform::Value& value);

}  // namespace nimbractl
