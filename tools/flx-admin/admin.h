// The operator's operations behind flx-admin. Each returns 0 on success; on failure it
// returns non-zero and puts a one-line message (what is wrong, what to do) into `err`.
#ifndef FLX_TOOLS_ADMIN_H
#define FLX_TOOLS_ADMIN_H

#include <json/value.h>
#include <stdint.h>

#include <string>

namespace flxadmin {

// Creates below the current root: the folders, the databases (the history's too), the notes
// folder, the push key (mode 0600) and the host settings file with "supplang", each only
// when missing. Running it again changes
// nothing.
int init(std::string& err);

// Registers a device; its id goes to `id`.
int deviceAdd(const std::string& sn, const std::string& hostname, uint64_t& id, std::string& err);
// (Listing and removing devices: admin_device.h.)
// Everything stored for a device (keys: device, applications, packages, info, cache, files).
int deviceShow(const std::string& sn, Json::Value& out, std::string& err);

// Creates a session for device `sn`; an empty `sid` gets a random one. `ttl` 0: no expiry.
int sessionAdd(const std::string& sn, std::string& sid, int64_t ttl, std::string& err);
int sessionRemove(const std::string& sid, std::string& err);

// Adds an operator of the inventory; its new random token goes to `token` (only its hash is
// stored, so this is the one time it can be shown). `ttl` seconds after now it expires (0:
// never).
int operatorAdd(const std::string& name, int64_t ttl, std::string& token, std::string& err);
// One object per operator: name, created, expiry (0: never), last_used (0: never; kept to
// within a minute).
int operatorList(Json::Value& out, std::string& err);
int operatorRemove(const std::string& name, std::string& err);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_H
