// Dead-letter spool: items that a handler could not store for a transient reason (a busy
// database, a full disk, an I/O error) are kept per device and replayed later. Arrival order
// rules, as the stores' own "the last push replaces": a spooled item is replaced by any later
// item of its kind that must be spooled, and dropped once a later item of its kind is stored,
// whatever the collect times. The files themselves are the spool library's (flxspool.h).
#ifndef FLX_HANDLERS_SPOOL_H
#define FLX_HANDLERS_SPOOL_H

#include <json/value.h>
#include <stdint.h>

#include <string>

#include "flxspool.h"

// Bounds of what the spool keeps.
const uint64_t kSpoolItemMaxBytes = 16u << 20;
const uint64_t kSpoolTotalMaxBytes = 256u << 20;

// Keeps the item of device `id` in place of any spooled one of its kind; `why` names the
// transient condition (KVFAULT_*). 0 when kept, -1 (logged) when it could not be.
int spoolKeep(uint64_t id, const std::string& sn, const char* group, const char* module,
              uint64_t collect_time, const Json::Value& data, int why);
// An item of (group, module) arrived after the spooled one of its kind and was stored: the
// spooled one is dropped, since replaying it would undo the later state.
void spoolSupersede(uint64_t id, const char* group, const char* module);
// Replays the spooled items of device `id` through their handlers; the caller holds the
// device's lock. An item whose replay failed for a transient reason waits a minute before it
// is tried again, unless `now`. Returns the number replayed; stops at the first transient
// failure.
int spoolReplay(uint64_t id, bool now = false);

#endif  // FLX_HANDLERS_SPOOL_H
