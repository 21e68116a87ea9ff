// nimbractl event send: builds a launch event and sends it to the launch
// event service, or sends a file unchanged for testing the daemon's checks.

#include <fmt/format.h>
#include <unistd.h>

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
    "usage: nimbractl event send [--file PLIST] [--raw] [OPTIONS]\n"
    "\n"
    "Sends one launch event to " + std::string(kService) + " and prints the reply.\n"
    "\n"
    "  --file PLIST     start from the dictionary in PLIST ('-' reads standard input);\n"
    "                   options given as well replace its values\n"
    "  --raw            send the bytes of --file unchanged, valid or not\n"
    "\n"
    "One option per key (each takes a value):\n"
    "  --process-name --process-path --process-bundle-identifier --process-bundle-version\n"
    "  --process-team-identifier --process-developer-name\n"
    "  --target-filename --target-path --target-bundle-identifier --target-bundle-version\n"
    "  --target-team-identifier --target-developer-name\n"
    "  --responsible-name --responsible-path --responsible-bundle-identifier\n"
    "  --responsible-bundle-version --responsible-team-identifier --responsible-developer-name\n"
    "  --uid N          user of the process (default: the caller's user id)\n"
    "  --timestamp T    \"yyyy-MM-dd HH:mm:ss\" (default: the current local time)\n"
    "\n"
    "A process path is required (option or file). Keys left unspecified default to:\n"
    "the target and responsible paths to the process path, each name to the last\n"
    "component of its path, identifiers, versions and developer names to \"<unknown>\".\n"
    "\n"
    "Exit status: 0 when the daemon accepted the event (\"result\" 0), 1 when it\n"
    "refused it or could not be reached, 2 for a bad command line or input file.\n";

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

int send(const std::vector<std::string>& args, Context& context) {
  std::optional<std::string> file;
  bool raw = false;
  platform::Dictionary options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--raw") {
      raw = true;
      continue;
    }
    auto needsValue = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (word == "--file") {
      const std::string* value = needsValue();
      if (!value) return fail(context, kUsage, "--file needs a path");
      file = *value;
      continue;
    }
    const EventKey* key = nullptr;
    for (const auto& k : kKeys) {
      if (word == k.option) key = &k;
    }
    if (key == nullptr) return fail(context, kUsage, fmt::format("unknown option '{}' (see nimbractl event --help)", word));
    const std::string* value = needsValue();
    if (!value) return fail(context, kUsage, fmt::format("{} needs a value", word));
    options[key->key] = *value;
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
    request.message = platform::Value(std::move(event));
  }

  auto reply = callService(kService, request, context);
  if (!reply) return kFailure;
  context.out << toXml(*reply);
  const platform::Value* result = reply->find("result");
  if (result == nullptr || result->asInteger() == nullptr) {
    return fail(context, kFailure, "the reply holds no \"result\"");
  }
  if (*result->asInteger() != 0) {
    return fail(context, kFailure, fmt::format("the daemon refused the event (result {})", *result->asInteger()));
  }
  return kSuccess;
}

int run(const std::vector<std::string>& args, Context& context) {
  if (args.empty()) {
    context.err << kUsageText;
    return kUsage;
  }
  if (args.front() == "send") {
    std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const auto& word : rest) {
      if (isHelp(word)) {
        context.out << kUsageText;
        return kSuccess;
      }
    }
    return send(rest, context);
  }
  return fail(context, kUsage, fmt::format("unknown event command '{}' (try: send)", args.front()));
}

const CommandRegistrar registrar({"event", "send a launch event", kUsageText, run});

}  // namespace
}  // namespace nimbractl
