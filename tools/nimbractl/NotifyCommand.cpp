// nimbractl notify: posts a named notification to the daemon's notify center.

#include <fmt/format.h>

#include <ostream>

#include "platform/DarwinNotifyCenter.h"
#include "tools/nimbractl/CommandTable.h"

namespace nimbractl {
namespace {

const std::string kUsageText =
    "usage: nimbractl notify NAME\n"
    "\n"
    "Posts the notification NAME (e.g. com.corvane.nimbra.policy.changed) to the\n"
    "daemon's notify socket, as a change of configuration would.\n"
    "\n"
    "Exit status: 0 when the notification was delivered to the socket, 1 when no\n"
    "daemon listens, 2 for a bad command line.\n";

int run(const std::vector<std::string>& args, Context& context) {
  if (args.size() != 1 || args[0].empty()) {
    context.err << kUsageText;
    return kUsage;
  }
  auto posted = platform::DarwinNotifyCenter::postTo(platform::DarwinNotifyCenter::defaultSocketPath(), args[0]);
  if (!posted) return fail(context, kFailure, fmt::format("cannot post {}: {}", args[0], posted.error()));
  return kSuccess;
}

const CommandRegistrar registrar({"notify", "post a notification to the daemon", kUsageText, run});

}  // namespace
}  // namespace nimbractl
