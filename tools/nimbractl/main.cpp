// nimbractl: administration client of nimbrad.

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/nimbractl/CommandTable.h"

namespace {

void printOverview(std::ostream& out) {
  out << "usage: nimbractl [--timeout SECONDS] COMMAND [ARGS...]\n\n"
         "Commands:\n";
  for (const auto* family : nimbractl::CommandTable::shared().families()) {
    out << "  " << family->name << std::string(family->name.size() < 10 ? 10 - family->name.size() : 1, ' ')
        << family->summary << "\n";
  }
  out << "\n  --timeout SECONDS  how long to wait for a reply (default 30)\n"
         "\nRun 'nimbractl COMMAND --help' for the options of a command.\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  nimbractl::Context context{std::cout, std::cerr};
  std::size_t next = 0;
  if (next < args.size() && args[next] == "--timeout") {
    if (next + 1 >= args.size()) return nimbractl::fail(context, nimbractl::kUsage, "--timeout needs a number of seconds");
    char* end = nullptr;
    double seconds = std::strtod(args[next + 1].c_str(), &end);
    if (end == args[next + 1].c_str() || *end != '\0' || !(seconds > 0) || seconds > 86400) {
      return nimbractl::fail(context, nimbractl::kUsage, "--timeout needs a positive number of seconds");
    }
    context.replyTimeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    next += 2;
  }
  if (next >= args.size() || nimbractl::isHelp(args[next]) || args[next] == "help") {
    printOverview(next >= args.size() ? std::cerr : std::cout);
    return next >= args.size() ? nimbractl::kUsage : nimbractl::kSuccess;
  }
  const auto* family = nimbractl::CommandTable::shared().find(args[next]);
  if (family == nullptr) {
    printOverview(std::cerr);
    return nimbractl::fail(context, nimbractl::kUsage, "unknown command '" + args[next] + "'");
  }
  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(next) + 1, args.end());
  if (!rest.empty() && nimbractl::isHelp(rest.front())) {
    std::cout << family->usage;
    return nimbractl::kSuccess;
  }
  return family->run(rest, context);
}
