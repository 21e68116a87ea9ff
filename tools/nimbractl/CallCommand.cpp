// nimbractl call: sends any property list to any service and prints the reply.

#include <fmt/format.h>

#include <ostream>

#include "tools/nimbractl/CommandTable.h"
#include "tools/nimbractl/ServiceCall.h"

namespace nimbractl {
namespace {

const std::string kUsageText =
    "usage: nimbractl call [--json] SERVICE FILE\n"
    "\n"
    "Sends the property list in FILE ('-' reads standard input; binary or XML)\n"
    "as one request to the service SERVICE (a socket in the runtime directory,\n"
    "e.g. com.corvane.nimbra.database) and prints the reply as an XML property\n"
    "list, or with --json as JSON.\n"
    "\n"
    "Any reply counts as success but a rejected session (status 4) and the\n"
    "answer of a service that is not available yet (status 1).\n";

int run(const CommandLine& line, Context& context) {
  if (line.words.size() != 2) {
    context.err << kUsageText;
    return kUsage;
  }
  const std::string& service = line.words[0];
  if (!isValidServiceName(service)) return fail(context, kUsage, fmt::format("'{}' is not a service name", service));
  auto message = readPropertyList(line.words[1]);
  if (!message) return fail(context, kUsage, message.error());
  Request request;
  request.message = std::move(message).value();
  // Property list in, property list out: XML keeps every type as it came.
  return callAndReport(service, request, {.text = toXml}, context);
}

const CommandRegistrar registrar(
    {"call", "send a property list to a service and print the reply", kUsageText, {kJsonOption}, run});

}  // namespace
}  // namespace nimbractl
