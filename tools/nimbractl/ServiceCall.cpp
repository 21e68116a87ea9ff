#include "tools/nimbractl/ServiceCall.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "platform/Directories.h"
#include "platform/PropertyList.h"
#include "platform/ServiceClient.h"

namespace nimbractl {

namespace {
constexpr std::size_t kMaxInputBytes = 16 * 1024 * 1024;
}  // namespace

std::string servicePath(const std::string& service) { return platform::directories::runtime() + "/" + service; }

bool isValidServiceName(const std::string& service) {
  return !service.empty() && service != "." && service != ".." && service.find('/') == std::string::npos &&
         service.find('\0') == std::string::npos;
}

std::optional<platform::Value> callService(const std::string& service, const Request& request, Context& context) {
  using Kind = platform::ClientError::Kind;
  std::string path = servicePath(service);
  auto connected = platform::ServiceClient::connect(path, context.connectTimeout);
  if (!connected) {
    const auto& error = connected.error();
    if (error.kind == Kind::connectFailed) {
      fail(context, kFailure, fmt::format("cannot reach {} ({}); is nimbrad running?", service, error.message));
    } else {
      fail(context, kFailure, fmt::format("cannot reach {}: {}", service, error.message));
    }
    return std::nullopt;
  }
  auto& client = *connected.value();
  auto sent = request.message ? client.send(*request.message, context.replyTimeout)
                              : client.sendPayload(request.rawPayload, context.replyTimeout);
  // A closed connection may still hold the service's rejection: read it.
  if (!sent && sent.error().kind != Kind::closed) {
    fail(context, kFailure, fmt::format("cannot send to {}: {}", service, sent.error().message));
    return std::nullopt;
  }
  auto reply = client.receive(context.replyTimeout);
  if (!reply) {
    const auto& error = reply.error();
    if (error.kind == Kind::timedOut) {
      fail(context, kFailure,
           fmt::format("no reply from {} within {} s", service, context.replyTimeout.count() / 1000.0));
    } else if (error.kind == Kind::closed) {
      fail(context, kFailure,
           fmt::format("{} closed the connection without a reply (the request may be malformed; see the daemon's log)",
                       service));
    } else {
      fail(context, kFailure, fmt::format("bad reply from {}: {}", service, error.message));
    }
    return std::nullopt;
  }
  // A rejected session answers with exactly this one key and then closes.
  if (const auto* dict = reply->asDictionary(); dict != nullptr && dict->size() == 1) {
    if (const auto* reason = reply->find("XPCErrorDescription"); reason != nullptr && reason->asString() != nullptr) {
      fail(context, kFailure, fmt::format("{} rejected the session: {}", service, *reason->asString()));
      return std::nullopt;
    }
  }
  return std::move(reply).value();
}

platform::Expected<std::string, std::string> readInput(const std::string& path) {
  std::string bytes;
  if (path == "-") {
    char buffer[64 * 1024];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
      bytes.append(buffer, n);
      if (bytes.size() > kMaxInputBytes) return platform::unexpected(std::string("standard input is larger than 16 MiB"));
    }
    if (std::ferror(stdin)) return platform::unexpected(std::string("cannot read standard input"));
    return bytes;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return platform::unexpected(fmt::format("cannot open {}: {}", path, std::strerror(errno)));
  char buffer[64 * 1024];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > kMaxInputBytes) return platform::unexpected(fmt::format("{} is larger than 16 MiB", path));
  }
  if (in.bad()) return platform::unexpected(fmt::format("cannot read {}", path));
  return bytes;
}

platform::Expected<platform::Value, std::string> readPropertyList(const std::string& path) {
  auto bytes = readInput(path);
  if (!bytes) return platform::unexpected(std::move(bytes).error());
  auto value = platform::PropertyList::decode(*bytes);
  if (!value) {
    return platform::unexpected(fmt::format("{} is not a property list: {}", path == "-" ? "standard input" : path,
                                            value.error().message));
  }
  return std::move(value).value();
}

std::string toXml(const platform::Value& value) {
  auto xml = platform::PropertyList::encodeXml(value);
  return xml ? *xml : std::string("\n");
}

}  // namespace nimbractl
