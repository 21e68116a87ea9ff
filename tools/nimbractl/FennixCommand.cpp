// nimbractl fennix: installs and clears rollout content in the daemon's Fennix store.

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <optional>
#include <ostream>

#include "platform/FennixStore.h"
#include "tools/nimbractl/CommandTable.h"

namespace nimbractl {
namespace {

const std::string kUsageText =
    "usage: nimbractl fennix install NAMESPACE FACTOR FILE\n"
    "                 [--rollout R --deployment D --factor-pack F |\n"
    "                  --experiment E --deployment D --treatment T]\n"
    "       nimbractl fennix clear NAMESPACE\n"
    "\n"
    "install copies FILE, unchecked, into the namespace's folder of the Fennix store\n"
    "($STATE_DIRECTORY/fennix/NAMESPACE) under a new name, points FACTOR at it and\n"
    "records the deployment: a rollout, an experiment, or without options the\n"
    "namespace's default factors. Every file is replaced atomically; the daemon\n"
    "picks the change up by itself. Prints the installed file's path.\n"
    "clear empties the namespace's folder, so that the daemon keeps its last good\n"
    "asset now and uses its built-in default after a restart.\n"
    "\n"
    "D is a 32-bit integer. Names are letters, digits, '_', '.' and '-'.\n"
    "Example: nimbractl fennix install LANTERN_MOSS_PUMPKIN PUMPKIN_PLIST policy.plist \\\n"
    "           --rollout R1 --deployment 42 --factor-pack FP1\n";

std::optional<std::int32_t> parseDeployment(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

const char* const kDeploymentOptions[] = {"rollout", "experiment", "deployment", "factor-pack", "treatment"};

int install(const CommandLine& line, Context& context) {
  const auto& args = line.words;
  if (args.size() != 4) {
    context.err << kUsageText;
    return kUsage;
  }
  const std::string& ns = args[1];
  const std::string& factor = args[2];
  const std::string& file = args[3];
  std::map<std::string, std::string> options;
  for (const char* name : kDeploymentOptions) {
    if (line.count(name) > 1) return fail(context, kUsage, fmt::format("--{} given twice", name));
    if (const std::string* value = line.value(name)) options["--" + std::string(name)] = *value;
  }

  platform::FennixDeployment deployment;
  bool rollout = options.count("--rollout") || options.count("--factor-pack");
  bool experiment = options.count("--experiment") || options.count("--treatment");
  if (rollout && experiment) return fail(context, kUsage, "a rollout and an experiment exclude each other");
  if (rollout || experiment || options.count("--deployment")) {
    const char* id = rollout ? "--rollout" : "--experiment";
    const char* second = rollout ? "--factor-pack" : "--treatment";
    if (!options.count(id) || !options.count(second) || !options.count("--deployment")) {
      return fail(context, kUsage,
                  fmt::format("{} needs --deployment and {}", rollout || experiment ? id : "a deployment", second));
    }
    auto deploymentId = parseDeployment(options["--deployment"]);
    if (!deploymentId) {
      return fail(context, kUsage, fmt::format("--deployment '{}' is not a 32-bit integer", options["--deployment"]));
    }
    if (rollout) {
      deployment = platform::FennixRolloutIdentifiers{options["--rollout"], *deploymentId, options["--factor-pack"]};
    } else {
      deployment = platform::FennixExperimentIdentifiers{options["--experiment"], *deploymentId, options["--treatment"]};
    }
  }
  if (!platform::FennixStore::isValidName(ns)) return fail(context, kUsage, fmt::format("invalid namespace '{}'", ns));
  if (!platform::FennixStore::isValidName(factor)) {
    return fail(context, kUsage, fmt::format("invalid factor '{}'", factor));
  }

  struct stat st{};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(file.c_str(), R_OK) != 0) {
    return fail(context, kUsage, fmt::format("cannot read {}: not a readable regular file", file));
  }

  platform::FennixStore store(platform::FennixStore::defaultDirectory());
  auto installed = store.install(ns, factor, file, deployment);
  if (!installed) return fail(context, kFailure, installed.error());
  context.out << *installed << "\n";
  return kSuccess;
}

int clear(const CommandLine& line, Context& context) {
  const auto& args = line.words;
  if (args.size() != 2 || !line.options.empty()) {
    context.err << kUsageText;
    return kUsage;
  }
  if (!platform::FennixStore::isValidName(args[1])) {
    return fail(context, kUsage, fmt::format("invalid namespace '{}'", args[1]));
  }
  platform::FennixStore store(platform::FennixStore::defaultDirectory());
  auto cleared = store.clear(args[1]);
  if (!cleared) return fail(context, kFailure, cleared.error());
  return kSuccess;
}

int run(const CommandLine& line, Context& context) {
  const auto& args = line.words;
  if (!args.empty() && args[0] == "install") return install(line, context);
  if (!args.empty() && args[0] == "clear") return clear(line, context);
  context.err << kUsageText;
  return kUsage;
}

std::vector<OptionSpec> fennixOptions() {
  std::vector<OptionSpec> options;
  for (const char* name : kDeploymentOptions) options.push_back({name, true});
  return options;
}

const CommandRegistrar registrar({"fennix", "install or clear rollout content", kUsageText, fennixOptions(), run});

}  // namespace
}  // namespace nimbractl
