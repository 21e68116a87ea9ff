// nimbractl: administration client of nimbrad.

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/nimbractl/CommandTable.h"

namespace {

using nimbractl::CommandFamily;
using nimbractl::OptionSpec;

const std::vector<OptionSpec> kGlobalOptions = {{"timeout", true}, {"version", false}};

void printOverview(std::ostream& out) {
  out << "usage: nimbractl [OPTIONS] COMMAND [ARGS...]\n\n"
         "Commands:\n";
  for (const auto* family : nimbractl::CommandTable::shared().families()) {
    out << "  " << family->name << std::string(family->name.size() < 10 ? 10 - family->name.size() : 1, ' ')
        << family->summary << "\n";
  }
  out << "\nOptions (in any position):\n"
         "  --timeout SECONDS  how long to wait for a reply (default 30)\n"
         "  --json             print the daemon's reply as one JSON object (commands\n"
         "                     that print a reply): its keys as sent, dates in ISO 8601,\n"
         "                     data in base64, and \"ok\": true or false\n"
         "  -h, --help         show this help, or a command's with COMMAND\n"
         "  --version          show the version\n"
         "\nRun 'nimbractl COMMAND --help' for the options of a command.\n\n"
      << nimbractl::exitStatusHelp();
}

// Every option any family knows, so that options may come before the command
// word. A name that meant a flag in one family and took a value in another
// would make the command line ambiguous: that is a bug in nimbractl.
std::vector<OptionSpec> allOptions() {
  std::vector<OptionSpec> all = kGlobalOptions;
  for (const auto* family : nimbractl::CommandTable::shared().families()) {
    for (const auto& option : family->options) {
      bool seen = false;
      for (const auto& known : all) {
        if (known.name != option.name) continue;
        seen = true;
        if (known.takesValue != option.takesValue) {
          std::cerr << "nimbractl: internal error: --" << option.name << " is declared with and without a value\n";
          std::abort();
        }
      }
      if (!seen) all.push_back(option);
    }
  }
  return all;
}

bool isFamilyOption(const CommandFamily& family, const std::string& name) {
  for (const auto& option : family.options) {
    if (option.name == name) return true;
  }
  for (const auto& option : kGlobalOptions) {
    if (option.name == name) return true;
  }
  return false;
}

int usageError(nimbractl::Context& context, const std::string& message) {
  nimbractl::fail(context, nimbractl::kUsage, message);
  context.err << "Run 'nimbractl --help' for usage.\n";
  return nimbractl::kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  nimbractl::Context context{std::cout, std::cerr};
  auto parsed = nimbractl::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), allOptions());
  if (!parsed) return usageError(context, parsed.error());
  nimbractl::CommandLine line = std::move(parsed).value();

  if (line.has("version")) {
    std::cout << "nimbractl " << NIMBRA_VERSION << "\n";
    return nimbractl::kSuccess;
  }
  // "nimbractl help [COMMAND]" is "nimbractl [COMMAND] --help".
  if (!line.words.empty() && line.words.front() == "help") {
    line.help = true;
    line.words.erase(line.words.begin());
  }
  if (line.words.empty()) {
    printOverview(line.help ? std::cout : std::cerr);
    return line.help ? nimbractl::kSuccess : nimbractl::kUsage;
  }
  const auto* family = nimbractl::CommandTable::shared().find(line.words.front());
  if (family == nullptr) return usageError(context, "unknown command '" + line.words.front() + "'");
  if (line.help) {
    std::cout << family->usage << "\n" << nimbractl::exitStatusHelp();
    return nimbractl::kSuccess;
  }
  for (const auto& [name, value] : line.options) {
    if (!isFamilyOption(*family, name)) {
      return usageError(context, "the command '" + family->name + "' has no option --" + name);
    }
  }
  if (const std::string* timeout = line.value("timeout")) {
    char* end = nullptr;
    double seconds = std::strtod(timeout->c_str(), &end);
    if (end == timeout->c_str() || *end != '\0' || !(seconds > 0) || seconds > 86400) {
      return usageError(context, "--timeout needs a positive number of seconds (at most 86400)");
    }
    context.replyTimeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  }
  context.json = line.has("json");
  std::erase_if(line.options, [](const auto& option) {
    return std::any_of(kGlobalOptions.begin(), kGlobalOptions.end(),
                       [&](const OptionSpec& global) { return global.name == option.first; });
  });
  line.words.erase(line.words.begin());
  return family->run(line, context);
}
