// The operator's view of the host's quarantine: requests that killed two workers in a row.
#ifndef FLX_TOOLS_ADMIN_QUARANTINE_H
#define FLX_TOOLS_ADMIN_QUARANTINE_H

#include <json/value.h>

#include <string>

namespace flxadmin {

// One object per quarantined request: name, time, api, method, device, remote, bytes.
int quarantineList(Json::Value& out, std::string& err);
// Removes the quarantined request `name`, or all of them when `name` is empty.
int quarantineDrop(const std::string& name, int& dropped, std::string& err);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_QUARANTINE_H
