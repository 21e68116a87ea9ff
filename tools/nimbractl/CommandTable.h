#pragma once

// nimbractl's command families. Each family lives in its own file and adds
// itself to the table with a static CommandRegistrar, so a new family is one
// new file and main() never changes.

#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "tools/nimbractl/CommandLine.h"
#include "tools/nimbractl/ExitStatus.h"

namespace nimbractl {

struct Context {
  std::ostream& out;
  std::ostream& err;
  std::chrono::milliseconds connectTimeout{10'000};
  std::chrono::milliseconds replyTimeout{30'000};
  // --json: replies are printed as one JSON object (see ReplyOutput.h).
  bool json = false;
};

// The option that families printing a daemon's reply declare.
inline const OptionSpec kJsonOption{"json", false};

struct CommandFamily {
  std::string name;     // first word on the command line, e.g. "event"
  std::string summary;  // one line for the overall help
  std::string usage;    // the family's --help text, without the exit statuses
  // Options of the family besides the global ones; an option name means the
  // same (flag or value) in every family that has it.
  std::vector<OptionSpec> options;
  // Runs the family. `line.words` are the words after the family's name;
  // `line.options` holds only options of the family. Returns the exit status.
  std::function<int(const CommandLine& line, Context& context)> run;
};

class CommandTable {
 public:
  static CommandTable& shared();
  void add(CommandFamily family);
  // nullptr when no family has that name.
  const CommandFamily* find(std::string_view name) const;
  // All families, sorted by name.
  std::vector<const CommandFamily*> families() const;

 private:
  std::vector<CommandFamily> families_;
};

struct CommandRegistrar {
  explicit CommandRegistrar(CommandFamily family) { CommandTable::shared().add(std::move(family)); }
};

// "nimbractl: <message>" on the error stream; returns `status`.
int fail(Context& context, int status, std::string_view message);

}  // namespace nimbractl
