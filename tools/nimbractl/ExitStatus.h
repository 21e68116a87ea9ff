#pragma once

// nimbractl's exit statuses: one table for every command, so that a script
// can tell "the daemon said no" from "the daemon is not there" from "I typed
// it wrong" whatever the command.

#include <string_view>

namespace nimbractl {

// The command did what was asked (the daemon answered success).
constexpr int kSuccess = 0;
// The daemon's handler answered a failure code or refused the request, or a
// local operation failed (a file that cannot be written, a key that does not exist).
constexpr int kFailure = 1;
// The command line, a value or an input file is wrong; nothing was sent.
constexpr int kUsage = 2;
// The daemon is not running, or did not answer in time.
constexpr int kUnreachable = 3;
// Permission denied on the service socket, or the service rejected the
// session (the caller is not entitled).
constexpr int kDenied = 4;

// The table above as printed at the end of every --help.
std::string_view exitStatusHelp();

}  // namespace nimbractl
