// Devices as the operator sees them: the list with states in words, the sessions (never their
// ids), and removing a device with everything stored for it.
#ifndef FLX_TOOLS_ADMIN_DEVICE_H
#define FLX_TOOLS_ADMIN_DEVICE_H

#include <json/value.h>

#include <string>
#include <vector>

#include "admin_commands.h"

namespace flxadmin {

// The registry's status of a device as a word ("unknown", "registered", "online").
std::string statusWord(int status);

// One object per device, by id: id, sn, hostname, status (a word), state ("reporting" or
// "stale"), enrollment ("registered", "approved", "pending", "rejected", with
// ",identity-conflict" where marked), last_contact and last_collect (seconds, null when
// none), push_interval.
int deviceStates(Json::Value& out, std::string& err);

// Removes device `sn` and everything stored for it, its history through the history's writer
// (see flxremove.h). `removed` gets one line per store emptied. Non-zero with `err` when the
// device is unknown or a store failed; `err` then names the stores not reached and says to run
// the removal again, which finishes it.
int decommission(const std::string& sn, std::vector<std::string>& removed, std::string& err);

// Registers "device list" and "device remove" below `device`; their runners go to `commands`.
void addDeviceCommands(CLI::App& device, Commands& commands);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_DEVICE_H
