// How flx-admin's commands are registered: each file adds its subcommands with the function
// that runs each one; main runs the one parsed, after the parse, so that its audit entry sees
// the stores as they were before it.
#ifndef FLX_TOOLS_ADMIN_COMMANDS_H
#define FLX_TOOLS_ADMIN_COMMANDS_H

#include <CLI/CLI.hpp>
#include <functional>
#include <utility>
#include <vector>

namespace flxadmin {

// A command and what runs it (returns the exit code).
using Commands = std::vector<std::pair<CLI::App*, std::function<int()>>>;

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_COMMANDS_H
