// The operator's view of the dead-letter spool: items a busy store could not take.
#ifndef FLX_TOOLS_ADMIN_SPOOL_H
#define FLX_TOOLS_ADMIN_SPOOL_H

#include <json/value.h>
#include <stdint.h>

#include <string>

namespace flxadmin {

// One object per spooled item (device id, kind, collect_time, bytes, path), of every device
// or of `id` (non-zero).
int spoolList(uint64_t id, Json::Value& out, std::string& err);
// The installed push module: <root>/var/packages/FLX/target/webapi/KEVO.FLX.RPC.so.
std::string defaultModulePath();
// Replays the spooled items (of `id`, or of every device) through the push module at
// `modulePath`, loaded as the host loads it: each item goes to its updateCache, which takes the
// device's lock; `replayed` counts those stored. An item refused for good is dropped.
int spoolReplay(uint64_t id, const std::string& modulePath, int& replayed, std::string& err);
// Removes the spooled items of device `id` (only those of `kind` "<group>.<module>" when not
// empty); `dropped` counts them.
int spoolDrop(uint64_t id, const std::string& kind, int& dropped, std::string& err);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_SPOOL_H
