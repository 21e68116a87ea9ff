#include "tools/nimbractl/CommandLine.h"

#include <fmt/format.h>

#include <algorithm>

namespace nimbractl {

bool CommandLine::has(std::string_view name) const { return count(name) > 0; }

const std::string* CommandLine::value(std::string_view name) const {
  for (auto it = options.rbegin(); it != options.rend(); ++it) {
    if (it->first == name) return &it->second;
  }
  return nullptr;
}

std::size_t CommandLine::count(std::string_view name) const {
  return static_cast<std::size_t>(
      std::count_if(options.begin(), options.end(), [&](const auto& option) { return option.first == name; }));
}

platform::Expected<CommandLine, std::string> parseCommandLine(const std::vector<std::string>& args,
                                                              std::span<const OptionSpec> known) {
  CommandLine line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--") {
      line.words.insert(line.words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (word == "-h" || word == "--help") {
      line.help = true;
      continue;
    }
    if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
      line.words.push_back(word);
      continue;
    }
    auto equals = word.find('=');
    std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    auto spec = std::find_if(known.begin(), known.end(), [&](const OptionSpec& s) { return s.name == name; });
    if (spec == known.end()) return platform::unexpected(fmt::format("unknown option '--{}'", name));
    std::string value;
    if (spec->takesValue) {
      if (equals != std::string::npos) {
        value = word.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return platform::unexpected(fmt::format("--{} needs a value", name));
      }
    } else if (equals != std::string::npos) {
      return platform::unexpected(fmt::format("--{} takes no value", name));
    }
    line.options.emplace_back(std::move(name), std::move(value));
  }
  return line;
}

}  // namespace nimbractl
