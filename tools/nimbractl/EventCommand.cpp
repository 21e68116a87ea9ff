// nimbractl event send: builds a launch event and sends it to the launch
// event service, or sends a file unchanged for testing the daemon's checks.

#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <ostream>

#include "tools/nimbractl/CommandTable.h"
#include "tools/nimbractl/ServiceCall.h"

namespace nimbractl {
namespace {

constexpr const char* kService = "com.corvane.nimbra.velmora";
constexpr const char* kUnknown = "<unknown>";

struct EventKey {
  const char* key;
  const char* option;
};

// The twenty keys of a launch event, in the order the daemon reads them.
constexpr EventKey kKeys[] = {
    {"ProcessName", "--process-name"},
    {"ProcessPath", "--process-path"},
    {"ProcessBundleIdentifier", "--process-bundle-identifier"},
    {"ProcessBundleVersion", "--process-bundle-version"},
    {"ProcessTeamIdentifier", "--process-team-identifier"},
    {"ProcessDeveloperName", "--process-developer-name"},
    {"TargetFilename", "--target-filename"},
    {"TargetPath", "--target-path"},
    {"TargetBundleIdentifier", "--target-bundle-identifier"},
    {"TargetBundleVersion", "--target-bundle-version"},
    {"TargetTeamIdentifier", "--target-team-identifier"},
    {"TargetDeveloperName", "--target-developer-name"},
    {"ResponsibleName", "--responsible-name"},
    {"ResponsiblePath", "--responsible-path"},
    {"ResponsibleBundleIdentifier", "--responsible-bundle-identifier"},
    {"ResponsibleBundleVersion", "--responsible-bundle-version"},
    {"ResponsibleTeamIdentifier", "--responsible-team-identifier"},
    {"ResponsibleDeveloperName", "--responsible-developer-name"},
    {"EventTimestamp", "--timestamp"},
    {"UID", "--uid"},
};

const std::string kUsageText =
    "usage: nimbractl event send [--file PLIST] [--raw] [--json] [OPTIONS]\n"
    "\n"
    "Sends one launch event to " + std::string(kService) + " and prints the reply.\n"
    "\n"
    "  --file PLIST     start from the dictionary in PLIST ('-' reads standard input);\n"
    "                   options given as well replace its values\n"
    "  --raw            send the bytes of --file unchanged, valid or not\n"
    "  --json           print the reply as JSON\n"
    "\n"
    "One option per key (each takes a value):\n"
    "  --process-name --process-path --process-bundle-identifier --process-bundle-version\n"
    "  --process-team-identifier --process-developer-name\n"
    "  --target-filename --target-path --target-bundle-identifier --target-bundle-version\n"
    "  --target-team-identifier --target-developer-name\n"
    "  --responsible-name --responsible-path --responsible-bundle-identifier\n"
    "  --responsible-bundle-version --responsible-team-identifier --responsible-developer-name\n"
    "  --uid N          user of the process, 0 to 4294967295 (default: the caller's)\n"
    "  --timestamp T    local time \"yyyy-MM-dd HH:mm:ss\" (default: now)\n"
    "\n"
    "A process path is required (option or file). Keys left unspecified default to:\n"
    "the target and responsible paths to the process path, each name to the last\n"
    "component of its path, identifiers, versions and developer names to \"<unknown>\".\n"
    "The user and the time are checked before sending (from a file too).\n"
    "\n"
    "The event succeeds when the daemon answers \"result\" 0: it was valid, whether\n"
    "it was then recorded or filtered out. \"result\" 1 (invalid) is status 1.\n";

std::string lastComponent(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string localTimestamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// Fills in every key the caller left out, deriving names from paths.
void completeEvent(platform::Dictionary& event) {
  auto text = [&](const char* key) -> const std::string* {
    auto it = event.find(key);
    return it == event.end() ? nullptr : it->second.asString();
  };
  auto setDefault = [&](const char* key, std::string value) {
    if (event.find(key) == event.end()) event.emplace(key, std::move(value));
  };
  std::string processPath = text("ProcessPath") ? *text("ProcessPath") : kUnknown;
  setDefault("TargetPath", processPath);
  setDefault("ResponsiblePath", processPath);
  setDefault("ProcessName", lastComponent(processPath));
  setDefault("TargetFilename", lastComponent(text("TargetPath") ? *text("TargetPath") : processPath));
  setDefault("ResponsibleName", lastComponent(text("ResponsiblePath") ? *text("ResponsiblePath") : processPath));
  setDefault("UID", std::to_string(::getuid()));
  setDefault("EventTimestamp", localTimestamp());
  for (const auto& k : kKeys) setDefault(k.key, kUnknown);
}

bool isUserID(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value <= UINT32_MAX;
}

// "yyyy-MM-dd HH:mm:ss" naming a real day and time of day.
bool isTimestamp(const std::string& text) {
  static constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
  if (text.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  auto number = [&](std::size_t at, std::size_t length) { return std::stoi(text.substr(at, length)); };
  std::chrono::year_month_day day{std::chrono::year(number(0, 4)), std::chrono::month(unsigned(number(5, 2))),
                                  std::chrono::day(unsigned(number(8, 2)))};
  return day.ok() && number(11, 2) < 24 && number(14, 2) < 60 && number(17, 2) < 60;
}

// The checks the daemon would make later (or not at all, for the time): a
// wrong value is the caller's mistake, reported before anything is sent.
std::optional<std::string> invalidValue(const platform::Dictionary& event) {
  struct Check {
    const char* key;
    const char* option;
    bool (*valid)(const std::string&);
    const char* expected;
  };
  static constexpr Check kChecks[] = {
      {"UID", "--uid", isUserID, "a user id (decimal digits, 0 to 4294967295)"},
      {"EventTimestamp", "--timestamp", isTimestamp, "a time \"yyyy-MM-dd HH:mm:ss\""},
  };
  for (const auto& check : kChecks) {
    auto it = event.find(check.key);
    const std::string* text = it == event.end() ? nullptr : it->second.asString();
    if (text == nullptr) return fmt::format("{} ({}) is not a string", check.key, check.option);
    if (!check.valid(*text)) return fmt::format("{} '{}' is not {}", check.option, *text, check.expected);
  }
  return std::nullopt;
}

int send(const CommandLine& line, Context& context) {
  if (line.words.size() != 1) return fail(context, kUsage, "event send takes options only (see nimbractl event --help)");
  const std::string* file = line.value("file");
  bool raw = line.has("raw");
  platform::Dictionary options;
  for (const auto& [name, value] : line.options) {
    for (const auto& k : kKeys) {
      if (name == k.option + 2) options[k.key] = value;
    }
  }

  Request request;
  if (raw) {
    if (!file) return fail(context, kUsage, "--raw sends a file: give it with --file");
    if (!options.empty()) return fail(context, kUsage, "--raw sends the file unchanged; options cannot be added");
    auto bytes = readInput(*file);
    if (!bytes) return fail(context, kUsage, bytes.error());
    request.rawPayload = std::move(bytes).value();
  } else {
    platform::Dictionary event;
    if (file) {
      auto value = readPropertyList(*file);
      if (!value) return fail(context, kUsage, value.error());
      auto* dict = value->asDictionary();
      if (dict == nullptr) return fail(context, kUsage, fmt::format("{} does not hold a dictionary", *file));
      event = std::move(*dict);
    }
    for (auto& [key, value] : options) event[key] = std::move(value);
    auto path = event.find("ProcessPath");
    if (path == event.end()) return fail(context, kUsage, "a launch event needs --process-path (or a file with ProcessPath)");
    completeEvent(event);
    if (auto problem = invalidValue(event)) return fail(context, kUsage, *problem);
    request.message = platform::Value(std::move(event));
  }

  ReplyHandling handling;
  handling.failure = [](const platform::Value& reply) -> std::optional<std::string> {
    const platform::Value* result = reply.find("result");
    if (result == nullptr || result->asInteger() == nullptr) return "the reply holds no \"result\"";
    if (*result->asInteger() != 0) return fmt::format("the daemon refused the event (result {})", *result->asInteger());
    return std::nullopt;
  };
  return callAndReport(kService, request, handling, context);
}

int run(const CommandLine& line, Context& context) {
  if (line.words.empty()) {
    context.err << kUsageText;
    return kUsage;
  }
  if (line.words.front() == "send") return send(line, context);
  return fail(context, kUsage, fmt::format("unknown event command '{}' (try: send)", line.words.front()));
}

std::vector<OptionSpec> eventOptions() {
  std::vector<OptionSpec> options = {{"file", true}, {"raw", false}, kJsonOption};
  for (const auto& k : kKeys) options.push_back({k.option + 2, true});
  return options;
}

const CommandRegistrar registrar({"event", "send a launch event", kUsageText, eventOptions(), run});

}  // namespace
}  // namespace nimbractl
