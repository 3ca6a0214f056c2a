// Dead-letter spool: items that a handler could not store for a transient reason (a busy
// database, a full disk, an I/O error) are kept per device and replayed later, unless an item
// of the same kind for that device has been stored since. One file per device and item kind
// ("<group>.<module>.json", mode 0600): every item replaces its kind's whole state, so only
// the newest one matters.
#ifndef FLX_HANDLERS_SPOOL_H
#define FLX_HANDLERS_SPOOL_H

#include <json/value.h>
#include <stdint.h>

#include <string>
#include <vector>

// Folder of the spool, below the root; one folder per device id below it.
#define KEVO_SPOOL_DIR "/var/packages/FLX/target/spool"

// Bounds of what the spool keeps.
const uint64_t kSpoolItemMaxBytes = 16u << 20;
const uint64_t kSpoolTotalMaxBytes = 256u << 20;

// One spooled item as listed.
struct SpoolEntry {
  uint64_t id = 0;
  std::string kind;  // "<group>.<module>"
  std::string path;
  uint64_t bytes = 0;
  uint64_t collect_time = 0;
};

// Keeps the item of device `id`; `why` names the transient condition (KVFAULT_*). 0 when
// kept (or a newer one of its kind already is), -1 (logged) when it could not be.
int spoolKeep(uint64_t id, const std::string& sn, const char* group, const char* module,
              uint64_t collect_time, const Json::Value& data, int why);
// An item of (group, module) at `collect_time` was stored: a spooled one of that kind that is
// not newer is dropped, since replaying it would undo the newer state.
void spoolSupersede(uint64_t id, const char* group, const char* module, uint64_t collect_time);
// Replays the spooled items of device `id` through their handlers; the caller holds the
// device's lock. An item whose replay failed for a transient reason waits a minute before it
// is tried again, unless `now`. Returns the number replayed; stops at the first transient
// failure.
int spoolReplay(uint64_t id, bool now = false);
// True when device `id` has a spool folder (cheap: one stat, no privileges).
bool spoolHas(uint64_t id);

// The spooled items, of every device or of one (`id` non-zero).
std::vector<SpoolEntry> spoolList(uint64_t id = 0);
// Removes one spooled item. 0 on success.
int spoolDrop(const SpoolEntry& entry);

#endif  // FLX_HANDLERS_SPOOL_H
