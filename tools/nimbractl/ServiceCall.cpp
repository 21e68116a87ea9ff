#include "tools/nimbractl/ServiceCall.h"

#include <fmt/format.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "platform/Base64.h"
#include "platform/Directories.h"
#include "platform/JsonValue.h"
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

int unreachableStatus(const std::string& socketPath) {
  // Connecting reports only that it failed; whether the socket refuses this
  // user is what tells "not running" from "not allowed".
  if (::access(socketPath.c_str(), W_OK) != 0 && (errno == EACCES || errno == EPERM)) return kDenied;
  return kUnreachable;
}

platform::Expected<platform::Value, int> callService(const std::string& service, const Request& request,
                                                     Context& context) {
  using Kind = platform::ClientError::Kind;
  auto failWith = [&](int status, const std::string& message) {
    fail(context, status, message);
    return platform::unexpected(status);
  };
  std::string path = servicePath(service);
  auto connected = platform::ServiceClient::connect(path, context.connectTimeout);
  if (!connected) {
    const auto& error = connected.error();
    if (error.kind != Kind::connectFailed) {
      return failWith(error.kind == Kind::timedOut ? kUnreachable : kFailure,
                      fmt::format("cannot reach {}: {}", service, error.message));
    }
    if (unreachableStatus(path) == kDenied) {
      return failWith(kDenied, fmt::format("permission denied on {} (run as root?)", path));
    }
    return failWith(kUnreachable, fmt::format("cannot reach {} ({}); is nimbrad running?", service, error.message));
  }
  auto& client = *connected.value();
  auto sent = request.message ? client.send(*request.message, context.replyTimeout)
                              : client.sendPayload(request.rawPayload, context.replyTimeout);
  // A closed connection may still hold the service's rejection: read it.
  if (!sent && sent.error().kind != Kind::closed) {
    return failWith(sent.error().kind == Kind::timedOut ? kUnreachable : kFailure,
                    fmt::format("cannot send to {}: {}", service, sent.error().message));
  }
  auto reply = client.receive(context.replyTimeout);
  if (!reply) {
    const auto& error = reply.error();
    switch (error.kind) {
      case Kind::timedOut:
        return failWith(kUnreachable,
                        fmt::format("no reply from {} within {} s", service, context.replyTimeout.count() / 1000.0));
      case Kind::closed:
        return failWith(kFailure, fmt::format("{} closed the connection without a reply (it refused the request; "
                                              "see the daemon's log)",
                                              service));
      case Kind::protocol:
        return failWith(kFailure, fmt::format("bad reply from {}: {}", service, error.message));
      default:
        return failWith(kUnreachable, fmt::format("lost the connection to {}: {}", service, error.message));
    }
  }
  return std::move(reply).value();
}

namespace {

// A rejected session answers with exactly this one key and then closes.
const std::string* rejectionReason(const platform::Value& reply) {
  const auto* dict = reply.asDictionary();
  if (dict == nullptr || dict->size() != 1) return nullptr;
  const auto* reason = reply.find("XPCErrorDescription");
  return reason != nullptr ? reason->asString() : nullptr;
}

// The daemon's answer from a service whose handler is not built yet.
constexpr std::string_view kNotAvailableKey = "ServiceNotAvailable";

}  // namespace

int callAndReport(const std::string& service, const Request& request, const ReplyHandling& handling,
                  Context& context) {
  auto reply = callService(service, request, context);
  if (!reply) return reply.error();
  int status = kSuccess;
  std::optional<std::string> problem;
  bool printable = true;
  if (const std::string* reason = rejectionReason(*reply)) {
    status = kDenied;
    problem = fmt::format("{} rejected the session: {}", service, *reason);
    printable = false;
  } else if (reply->find(kNotAvailableKey) != nullptr) {
    status = kFailure;
    problem = fmt::format("{} is not available yet", service);
    printable = false;
  } else if (handling.failure && (problem = handling.failure(*reply))) {
    status = kFailure;
  }
  if (context.json) {
    context.out << jsonReply(*reply, status == kSuccess);
  } else if (printable) {
    context.out << (handling.text ? handling.text(*reply) : readableText(*reply));
  }
  context.out.flush();
  if (problem) fail(context, status, *problem);
  return status;
}

namespace {

bool isScalar(const platform::Value& value) { return !value.asDictionary() && !value.asArray(); }

bool isEmptyContainer(const platform::Value& value) {
  return (value.asDictionary() && value.asDictionary()->empty()) || (value.asArray() && value.asArray()->empty());
}

// One line of text from the daemon: control characters other than tab
// escaped, so that a reply cannot move the cursor or forge lines.
std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
      out += fmt::format("\\x{:02x}", byte);
    } else {
      out += c;
    }
  }
  return out;
}

std::string scalarText(const platform::Value& value) {
  switch (value.type()) {
    case platform::Value::Type::Null:
      return "(none)";
    case platform::Value::Type::Bool:
      return *value.asBool() ? "true" : "false";
    case platform::Value::Type::Integer:
      return std::to_string(*value.asInteger());
    case platform::Value::Type::Real:
      return fmt::format("{}", *value.asReal());
    case platform::Value::Type::String:
      return escaped(*value.asString());
    case platform::Value::Type::Date: {
      auto json = platform::toJson(value);
      return json.is_string() ? json.get<std::string>() : "(invalid date)";
    }
    case platform::Value::Type::Data:
      return value.asData()->empty() ? "(no data)" : platform::base64::encode(*value.asData());
    default:
      return isEmptyContainer(value) ? "(empty)" : "";
  }
}

void appendReadable(const platform::Value& value, std::size_t indent, std::string& out) {
  std::string pad(indent, ' ');
  auto appendEntry = [&](const std::string& label, const platform::Value& item) {
    const std::string* text = item.asString();
    if (text != nullptr && text->find('\n') != std::string::npos) {
      // A text answer of several lines keeps its lines.
      out += pad + label + "\n";
      std::string_view rest(*text);
      while (!rest.empty()) {
        auto end = rest.find('\n');
        out += std::string(indent + 2, ' ') + escaped(rest.substr(0, end)) + "\n";
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
      }
    } else if (isScalar(item) || isEmptyContainer(item)) {
      out += pad + label + " " + scalarText(item) + "\n";
    } else {
      out += pad + label + "\n";
      appendReadable(item, indent + 2, out);
    }
  };
  if (const auto* dict = value.asDictionary()) {
    for (const auto& [key, item] : *dict) appendEntry(escaped(key) + ":", item);
  } else if (const auto* array = value.asArray()) {
    for (const auto& item : *array) appendEntry("-", item);
  } else {
    out += pad + scalarText(value) + "\n";
  }
}

}  // namespace

std::string readableText(const platform::Value& value) {
  if (isEmptyContainer(value)) return "(empty reply)\n";
  std::string out;
  appendReadable(value, 0, out);
  return out;
}

std::string jsonReply(const platform::Value& reply, bool ok) {
  nlohmann::json object = reply.asDictionary() ? platform::toJson(reply) : nlohmann::json::object();
  if (!reply.asDictionary()) object["reply"] = platform::toJson(reply);
  object["ok"] = ok;
  return platform::jsonText(object) + "\n";
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
