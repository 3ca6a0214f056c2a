// The commands that operate the host's stores as a whole: backup (and its verification),
// restore and check. Registered on flx-admin's command line by one call.
#ifndef FLX_TOOLS_CMD_OPERATE_H
#define FLX_TOOLS_CMD_OPERATE_H

#include "admin_commands.h"

namespace flxadmin {

// Adds `backup [--verify]`, `restore` and `check [--repair]` to `app`; their runners go to
// `commands`.
void addOperateCommands(CLI::App& app, Commands& commands);

}  // namespace flxadmin

#endif  // FLX_TOOLS_CMD_OPERATE_H
