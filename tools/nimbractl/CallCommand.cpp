// nimbractl call: sends any property list to any service and prints the reply.

#include <fmt/format.h>

#include <ostream>

#include "tools/nimbractl/CommandTable.h"
#include "tools/nimbractl/ServiceCall.h"

namespace nimbractl {
namespace {

const std::string kUsageText =
    "usage: nimbractl call SERVICE FILE\n"
    "\n"
    "Sends the property list in FILE ('-' reads standard input; binary or XML)\n"
    "as one request to the service SERVICE (a socket in the runtime directory,\n"
    "e.g. com.corvane.nimbra.database) and prints the reply as XML.\n"
    "\n"
    "Exit status: 0 when a reply came back, 1 when the service could not be\n"
    "reached, rejected the session or did not answer, 2 for a bad command line\n"
    "or input file.\n";

int run(const std::vector<std::string>& args, Context& context) {
  if (args.size() != 2) {
    context.err << kUsageText;
    return kUsage;
  }
  const std::string& service = args[0];
  if (!isValidServiceName(service)) return fail(context, kUsage, fmt::format("'{}' is not a service name", service));
  auto message = readPropertyList(args[1]);
  if (!message) return fail(context, kUsage, message.error());
  Request request;
  request.message = std::move(message).value();
  auto reply = callService(service, request, context);
  if (!reply) return kFailure;
  context.out << toXml(*reply);
  return kSuccess;
}

const CommandRegistrar registrar({"call", "send a property list to a service and print the reply", kUsageText, run});

}  // namespace
}  // namespace nimbractl
