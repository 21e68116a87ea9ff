#pragma once

// nimbractl's command line, parsed the way getopt_long permutes it: long
// options may come anywhere (before, between or after the command words),
// "--name VALUE" and "--name=VALUE" are the same, "--" ends the options.
// The only short option is -h. Any other word starting with a single "-" is
// a word, not an option: "-" reads standard input, and the defaults command
// takes values such as "-15" and type flags such as "-int".

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Expected.h"

namespace nimbractl {

struct OptionSpec {
  std::string name;  // without the leading "--"
  bool takesValue = false;
};

struct CommandLine {
  std::vector<std::string> words;  // every word that is not an option, in order
  // Options in the order given; a flag has an empty value.
  std::vector<std::pair<std::string, std::string>> options;
  bool help = false;  // -h or --help anywhere

  // Whether the option was given.
  bool has(std::string_view name) const;
  // The value given last, or nullptr.
  const std::string* value(std::string_view name) const;
  // How many times the option was given.
  std::size_t count(std::string_view name) const;
};

// Parses `args` (the words after the program name) against `known`. Fails
// with a message for an unknown option, a value missing after an option that
// takes one, or a value given to a flag.
platform::Expected<CommandLine, std::string> parseCommandLine(const std::vector<std::string>& args,
                                                              std::span<const OptionSpec> known);

}  // namespace nimbractl
