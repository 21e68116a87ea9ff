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

namespace nimbractl {

// Exit statuses.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;  // the operation failed (daemon not running, rejected, timed out, ...)
constexpr int kUsage = 2;    // the command line or an input file is wrong

struct Context {
  std::ostream& out;
  std::ostream& err;
  std::chrono::milliseconds connectTimeout{10'000};
  std::chrono::milliseconds replyTimeout{30'000};
};

struct CommandFamily {
  std::string name;     // first word on the command line, e.g. "event"
  std::string summary;  // one line for the overall help
  std::string usage;    // the family's --help text
  // Runs the family with the words after its name; returns the exit status.
  std::function<int(const std::vector<std::string>& args, Context& context)> run;
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

// True for "-h" and "--help".
bool isHelp(std::string_view word);

// "nimbractl: <message>" on the error stream; returns `status`.
int fail(Context& context, int status, std::string_view message);

}  // namespace nimbractl
