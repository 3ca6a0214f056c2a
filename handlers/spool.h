// Dead-letter spool: items that a handler could not store for a transient reason (a busy
// database, a full disk, an I/O error) are kept per device and replayed later. Arrival order
// rules, as the stores' own "the last push replaces": a spooled item is replaced by a later
// item of its kind that must be spooled, and dropped once a later item of its kind is handled,
// whatever the collect times; an earlier one never replaces or drops it. The files themselves
// are the spool library's (flxspool.h); reading, replacing and dropping them is serialised by a
// lock on the spool folder, also against pushes that gave up waiting for the device.
#ifndef FLX_HANDLERS_SPOOL_H
#define FLX_HANDLERS_SPOOL_H

#include <json/value.h>
#include <stdint.h>

#include <string>

#include "flxspool.h"

// Bounds of what the spool keeps.
const uint64_t kSpoolItemMaxBytes = 16u << 20;
const uint64_t kSpoolTotalMaxBytes = 256u << 20;

// When an item arrived: its push's arrival (real time, nanoseconds), then its place in the
// push. Taken before any wait for the device, and kept with a spooled item.
struct Arrival {
  uint64_t ns = 0;
  uint32_t seq = 0;
};
// Whether `a` arrived after `b`.
inline bool arrivedAfter(const Arrival& a, const Arrival& b) {
  return a.ns != b.ns ? a.ns > b.ns : a.seq > b.seq;
}

// Keeps the item of device `id`, which arrived at `arrival`, in place of a spooled one of its
// kind that arrived before it; where a later one is spooled, this one is dropped (logged).
// `why` names the transient condition (KVFAULT_*). 0 when kept or dropped, -1 (logged) when
// it could not be kept.
int spoolKeep(uint64_t id, const std::string& sn, const char* group, const char* module,
              uint64_t collect_time, const Json::Value& data, int why, const Arrival& arrival);
// An item of (group, module) that arrived at `arrival` was handled without a passing fault:
// stored (`stored`), or failed for good, maybe after some of its writes. A spooled one of its
// kind that arrived before it is dropped, since replaying it would undo the later state; one
// that arrived after it stays, to be replayed.
void spoolSupersede(uint64_t id, const char* group, const char* module, const Arrival& arrival,
                    bool stored);
// Replays the spooled items of device `id` through their handlers; the caller holds the
// device's lock. An item whose replay failed for a transient reason waits a minute before it
// is tried again, unless `now`. Returns the number replayed; stops at the first transient
// failure.
int spoolReplay(uint64_t id, bool now = false);

#endif  // FLX_HANDLERS_SPOOL_H
