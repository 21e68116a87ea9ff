// nimbractl defaults: reads and edits user defaults domains, the property-list
// files of the configuration directory, atomically.

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "platform/Directories.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "tools/nimbractl/CommandTable.h"
#include "tools/nimbractl/ServiceCall.h"

namespace nimbractl {
namespace {

const std::string kUsageText =
    "usage: nimbractl defaults read DOMAIN [KEY]\n"
    "       nimbractl defaults write DOMAIN KEY [-int|-bool|-string|-float] VALUE\n"
    "       nimbractl defaults delete DOMAIN [KEY]\n"
    "\n"
    "DOMAIN is the file DOMAIN.plist in the configuration directory, e.g.\n"
    "com.corvane.nimbrad or com.corvane.nimbra.policy. Writes replace the file\n"
    "atomically; the daemon reads it afresh on its next read.\n"
    "\n"
    "  read DOMAIN         print the whole domain as an XML property list\n"
    "  read DOMAIN KEY     print one value (strings and numbers as text, booleans\n"
    "                      as 1 or 0, arrays and dictionaries as XML)\n"
    "  write ...           set KEY; the type flag decides the type of VALUE:\n"
    "                        -int     a decimal 64-bit integer\n"
    "                        -bool    true, false, YES, NO, 1 or 0 (any case)\n"
    "                        -float   a decimal number\n"
    "                        -string  VALUE as it is\n"
    "                      without a flag, a decimal integer is stored as an\n"
    "                      integer, true/false/YES/NO as a boolean, anything else\n"
    "                      as a string\n"
    "  delete DOMAIN KEY   remove KEY\n"
    "  delete DOMAIN       remove the whole domain file\n";

bool isValidDomain(const std::string& domain) {
  return !domain.empty() && domain.front() != '.' && domain.find('/') == std::string::npos &&
         domain.find('\0') == std::string::npos;
}

std::optional<std::int64_t> parseInteger(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (*begin == '+') ++begin;
  std::int64_t value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end) return std::nullopt;
  return value;
}

std::optional<bool> parseBoolean(const std::string& text, bool acceptDigits) {
  std::string lower;
  for (char c : text) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (lower == "true" || lower == "yes" || (acceptDigits && lower == "1")) return true;
  if (lower == "false" || lower == "no" || (acceptDigits && lower == "0")) return false;
  return std::nullopt;
}

std::optional<double> parseReal(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value)) return std::nullopt;
  return value;
}

// The value to store for VALUE under an optional type flag.
platform::Expected<platform::Value, std::string> typedValue(const std::string& flag, const std::string& text) {
  if (flag == "-int" || flag == "-integer") {
    if (auto v = parseInteger(text)) return platform::Value(static_cast<long long>(*v));
    return platform::unexpected(fmt::format("'{}' is not a decimal 64-bit integer", text));
  }
  if (flag == "-bool" || flag == "-boolean") {
    if (auto v = parseBoolean(text, true)) return platform::Value(*v);
    return platform::unexpected(fmt::format("'{}' is not a boolean (true, false, YES, NO, 1, 0)", text));
  }
  if (flag == "-float") {
    if (auto v = parseReal(text)) return platform::Value(*v);
    return platform::unexpected(fmt::format("'{}' is not a number", text));
  }
  if (flag == "-string") return platform::Value(text);
  if (!flag.empty()) return platform::unexpected(fmt::format("unknown type flag '{}'", flag));
  if (auto v = parseInteger(text)) return platform::Value(static_cast<long long>(*v));
  if (text == "true" || text == "YES") return platform::Value(true);
  if (text == "false" || text == "NO") return platform::Value(false);
  return platform::Value(text);
}

std::string plainText(const platform::Value& value) {
  if (const auto* s = value.asString()) return *s + "\n";
  if (const auto* i = value.asInteger()) return std::to_string(*i) + "\n";
  if (const auto* b = value.asBool()) return *b ? "1\n" : "0\n";
  if (const auto* r = value.asReal()) return fmt::format("{}\n", *r);
  return toXml(value);
}

bool fileExists(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

// Reading a broken domain would print an empty one, which looks like a
// domain without keys: say what is wrong instead.
std::optional<std::string> unreadableDomain(const std::string& path) {
  if (!fileExists(path)) return std::nullopt;
  auto root = platform::PropertyList::readFile(path);
  if (!root) return fmt::format("{} is not a property list ({}); fix or delete it first", path, root.error().message);
  if (root->asDictionary() == nullptr) return fmt::format("{} does not hold a dictionary; fix or delete it first", path);
  return std::nullopt;
}

int read(const std::vector<std::string>& args, Context& context) {
  if (args.empty() || args.size() > 2) return fail(context, kUsage, "usage: nimbractl defaults read DOMAIN [KEY]");
  platform::UserDefaults defaults(platform::directories::configuration(), args[0]);
  if (!fileExists(defaults.path())) return fail(context, kFailure, fmt::format("domain {} does not exist", args[0]));
  if (auto problem = unreadableDomain(defaults.path())) return fail(context, kFailure, *problem);
  if (args.size() == 1) {
    context.out << toXml(platform::Value(defaults.dictionaryRepresentation()));
    return kSuccess;
  }
  auto value = defaults.object(args[1]);
  if (!value) return fail(context, kFailure, fmt::format("the key {} does not exist in domain {}", args[1], args[0]));
  context.out << plainText(*value);
  return kSuccess;
}

int write(const std::vector<std::string>& args, Context& context) {
  if (args.size() != 3 && args.size() != 4) {
    return fail(context, kUsage, "usage: nimbractl defaults write DOMAIN KEY [-int|-bool|-string|-float] VALUE");
  }
  std::string flag = args.size() == 4 ? args[2] : std::string();
  auto value = typedValue(flag, args.back());
  if (!value) return fail(context, kUsage, value.error());
  platform::UserDefaults defaults(platform::directories::configuration(), args[0]);
  auto written = defaults.set(args[1], *value);
  if (!written) return fail(context, kFailure, written.error());
  return kSuccess;
}

int remove(const std::vector<std::string>& args, Context& context) {
  if (args.empty() || args.size() > 2) return fail(context, kUsage, "usage: nimbractl defaults delete DOMAIN [KEY]");
  platform::UserDefaults defaults(platform::directories::configuration(), args[0]);
  if (!fileExists(defaults.path())) return fail(context, kFailure, fmt::format("domain {} does not exist", args[0]));
  if (args.size() == 1) {
    if (::unlink(defaults.path().c_str()) != 0) {
      return fail(context, kFailure, fmt::format("cannot remove {}: {}", defaults.path(), std::strerror(errno)));
    }
    return kSuccess;
  }
  if (auto problem = unreadableDomain(defaults.path())) return fail(context, kFailure, *problem);
  if (!defaults.object(args[1])) {
    return fail(context, kFailure, fmt::format("the key {} does not exist in domain {}", args[1], args[0]));
  }
  auto removed = defaults.remove(args[1]);
  if (!removed) return fail(context, kFailure, removed.error());
  return kSuccess;
}

int run(const CommandLine& line, Context& context) {
  const std::vector<std::string>& args = line.words;
  if (args.size() < 2) {
    context.err << kUsageText;
    return kUsage;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (!isValidDomain(rest[0])) return fail(context, kUsage, fmt::format("'{}' is not a domain name", rest[0]));
  if (args[0] == "read") return read(rest, context);
  if (args[0] == "write") return write(rest, context);
  if (args[0] == "delete") return remove(rest, context);
  return fail(context, kUsage, fmt::format("unknown defaults command '{}' (try: read, write, delete)", args[0]));
}

const CommandRegistrar registrar({"defaults", "read and edit user defaults domains", kUsageText, {}, run});

}  // namespace
}  // namespace nimbractl
