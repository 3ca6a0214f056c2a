// The command lines of enrollment (enroll, device pending|approve|reject, session list, cert):
// flx-admin's main registers them and runs the one parsed.
#ifndef FLX_TOOLS_ADMIN_ENROLL_CLI_H
#define FLX_TOOLS_ADMIN_ENROLL_CLI_H

#include "admin_commands.h"

namespace flxadmin {

// Adds `enroll add|list|remove` and `cert show` to `app`, `pending|approve|reject` to `device`
// and `list` to `session`; their runners go to `commands`.
void addEnrollCommands(CLI::App& app, CLI::App& device, CLI::App& session, Commands& commands);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_ENROLL_CLI_H
