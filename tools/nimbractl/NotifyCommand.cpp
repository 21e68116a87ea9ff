// nimbractl notify: posts a named notification to the daemon's notify center.

#include <fmt/format.h>

#include <ostream>

#include "platform/DarwinNotifyCenter.h"
#include "tools/nimbractl/CommandTable.h"
#include "tools/nimbractl/ServiceCall.h"

namespace nimbractl {
namespace {

const std::string kUsageText =
    "usage: nimbractl notify NAME\n"
    "\n"
    "Posts the notification NAME (e.g. com.corvane.nimbra.policy.changed) to the\n"
    "daemon's notify socket, as a change of configuration would.\n";

int run(const CommandLine& line, Context& context) {
  const std::vector<std::string>& args = line.words;
  if (args.size() != 1 || args[0].empty()) {
    context.err << kUsageText;
    return kUsage;
  }
  if (args[0].size() > 512) return fail(context, kUsage, "a notification name has at most 512 bytes");
  const std::string socket = platform::DarwinNotifyCenter::defaultSocketPath();
  auto posted = platform::DarwinNotifyCenter::postTo(socket, args[0]);
  if (!posted) return fail(context, unreachableStatus(socket), fmt::format("cannot post {}: {}", args[0], posted.error()));
  return kSuccess;
}

const CommandRegistrar registrar({"notify", "post a notification to the daemon", kUsageText, {}, run});

}  // namespace
}  // namespace nimbractl
