// nimbractl games: edits the installed-games library of a user, the file the
// daemon watches. Each edit replaces the file atomically, so the daemon sees
// exactly one change and never a half-written library.

#include <fmt/format.h>

#include <charconv>
#include <optional>
#include <ostream>

#include "platform/LudexLibrary.h"
#include "tools/nimbractl/CommandTable.h"

namespace nimbractl {
namespace {

const std::string kUsageText =
    "usage: nimbractl games set UID BUNDLEID game|notgame\n"
    "       nimbractl games clear UID\n"
    "\n"
    "Edits the games library of user UID in $STATE_DIRECTORY/ludex/UID.plist:\n"
    "  set    marks BUNDLEID as a game or not a game (adding it when absent)\n"
    "  clear  removes every application from the library\n"
    "\n"
    "Only users 501 to 4294967293 have a games library. The daemon follows the\n"
    "change at once; a bundle it already knows as a game stays a game in its\n"
    "cache until it restarts.\n";

// A user that has a games library: decimal digits only, 501 to 4294967293.
std::optional<uid_t> parseUser(const std::string& text) {
  std::uint64_t value = 0;
  if (text.empty() || text.size() > 10) return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < 501 || value > 4294967293u) return std::nullopt;
  return static_cast<uid_t>(value);
}

int usage(Context& context, std::string_view message) {
  context.err << kUsageText;
  return fail(context, kUsage, message);
}

int run(const CommandLine& line, Context& context) {
  const std::vector<std::string>& args = line.words;
  if (args.empty()) return usage(context, "games needs 'set' or 'clear'");
  const std::string& action = args[0];
  if (action != "set" && action != "clear") return usage(context, fmt::format("unknown games action '{}'", action));
  std::size_t expected = action == "set" ? 4 : 2;
  if (args.size() != expected) return usage(context, fmt::format("wrong number of arguments for games {}", action));
  auto uid = parseUser(args[1]);
  if (!uid) return usage(context, fmt::format("'{}' is not a user with a games library (501 to 4294967293)", args[1]));

  const std::string folder = platform::ludex::defaultFolder();
  if (action == "clear") {
    auto cleared = platform::ludex::clearLibrary(folder, *uid);
    if (!cleared) return fail(context, kFailure, cleared.error().message);
    context.out << fmt::format("cleared {}\n", platform::ludex::libraryPath(folder, *uid));
    return kSuccess;
  }

  const std::string& bundleID = args[2];
  if (bundleID.empty()) return usage(context, "the bundle identifier is empty");
  bool isGame;
  if (args[3] == "game") {
    isGame = true;
  } else if (args[3] == "notgame") {
    isGame = false;
  } else {
    return usage(context, fmt::format("'{}' is neither 'game' nor 'notgame'", args[3]));
  }
  auto written = platform::ludex::setApp(folder, *uid, bundleID, isGame);
  if (!written) return fail(context, kFailure, written.error().message);
  context.out << fmt::format("{} is {} for user {}\n", bundleID, isGame ? "a game" : "not a game", *uid);
  return kSuccess;
}

const CommandRegistrar registrar({"games", "edit a user's installed-games library", kUsageText, {}, run});

}  // namespace
}  // namespace nimbractl
