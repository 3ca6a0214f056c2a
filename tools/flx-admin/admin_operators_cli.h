// The command lines of groups, operators and the audit trail (group, device group, operator,
// audit), and the audit entry of every command run.
#ifndef FLX_TOOLS_ADMIN_OPERATORS_CLI_H
#define FLX_TOOLS_ADMIN_OPERATORS_CLI_H

#include "admin_commands.h"

namespace flxadmin {

// Adds `group add|list|remove`, `device group`, `operator add|list|remove` and `audit`; their
// runners go to `commands`.
void addOperatorCommands(CLI::App& app, CLI::App& device, Commands& commands);

// The group of the device that the command parsed in `app` names (empty: none), read before
// the command runs: a removed device has none afterwards.
std::string commandDeviceGroup(const CLI::App& app);

// Appends the audit entry of the command parsed in `app`, run by root with exit code `rc`:
// the command's words, its device and objects; never a session id. The device's group is its
// group after the command, else `groupBefore`. Reading commands leave none.
void auditCommand(const CLI::App& app, int rc, const std::string& groupBefore);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_OPERATORS_CLI_H
