#include "tools/nimbractl/ExitStatus.h"

namespace nimbractl {

std::string_view exitStatusHelp() {
  return "Exit status (the same for every command):\n"
         "  0  success\n"
         "  1  the daemon answered a failure or refused the request, or the\n"
         "     operation failed (a file could not be written, a key does not exist)\n"
         "  2  usage error: the command line, a value or an input file is wrong\n"
         "     (checked before anything is sent)\n"
         "  3  the daemon is not running, or did not answer in time\n"
         "  4  permission denied on the service socket, or the service rejected\n"
         "     the session (not entitled)\n";
}

}  // namespace nimbractl
