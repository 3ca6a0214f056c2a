// What the history writer's files share: the state as recorded, its diff, the trend and
// interval arithmetic, and the constants they agree on.
#ifndef FLX_HISTORY_WRITER_INTERNAL_H
#define FLX_HISTORY_WRITER_INTERNAL_H

#include <json/value.h>
#include <sqlite3.h>
#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "flxhistory_schema.h"
#include "software_counts.h"

namespace flxhistory {
namespace detail {

const int kBusyTimeoutMs = 2000;
// Like the cache database: a reporting group may be given read access.
const mode_t kHistoryDbMode = 0640;
const int64_t kDay = 86400;
// Gaps between a device's notes under kBurstSeconds are one push's several items or its
// retries, not a new push.
const int64_t kBurstSeconds = 10;

typedef std::map<std::string, std::string> Fields;
typedef std::map<std::string, Fields> Objects;  // by object name

// What is compared per kind: where deviceShow has the rows, the key and the fields watched.
struct KindSpec {
  const char* kind;
  const char* source;  // "group.module" of the push that carries it
  const char* table;   // cache table, or a top-level key of deviceShow's object
  const char* key;
  std::vector<const char*> fields;
};
inline const KindSpec kKinds[] = {
    {kKindVolume, "storage.storage", "vol_info", "name", {"status", "raid_type", "size_total"}},
    {kKindDiskGroup, "storage.storage", "dg_info", "name", {"status", "raid_type", "size_total"}},
    {kKindDisk, "storage.storage", "hdd_info", "dev", {"status", "smart_status", "used_by"}},
    {kKindShare, "storage.share", "share_info", "name", {}},
    {kKindApplication, "basic.applications", "applications", "app_id", {"version"}},
    {kKindPackage, "basic.package", "packages", "pkg_id", {"version", "status"}},
};

std::string text(const Json::Value& v);
int64_t integer(const Json::Value& v);
// The read views' rule for a failing disk (status or SMART status not a normal word).
bool failing(const std::string& status, const std::string& smart);

// A device's state as deviceShow reports it, reduced to what the history watches.
struct Current {
  int64_t id = 0;
  std::string sn;
  Fields device;
  std::map<std::string, Objects> objects;  // by kind
  SoftwareOf names;                        // of packages and applications, by id
  int64_t storageTime = 0, shareTime = 0, mirrorTime = 0;
  int apps = 0, pkgs = 0;
};

Current current(const Json::Value& show);

// The recorded state: what was watched at the last note, which kinds have a baseline, and
// the collect time of the storage rows last sampled.
struct Recorded {
  bool exists = false;
  std::string sn;
  Fields device;
  std::map<std::string, Objects> objects;
  std::set<std::string> baselined;
  int64_t storageTime = -1;
  int64_t arrival = 0;  // of the last push the interval was measured to; 0 when none
};

std::string stateText(const Recorded& r);
// The versions of the packages and applications among recorded objects.
SoftwareOf versionsOf(const std::map<std::string, Objects>& objects);
// A recorded state that cannot be read (not written by this writer) counts as none: the
// device gets a new baseline instead of stopping every batch.
bool readState(const std::string& textIn, Recorded& r);

struct Event {
  std::string kind, object, change, field, oldValue, newValue;
  int64_t collect;
};

void diffFields(const std::string& kind, const std::string& object, const Fields& before,
                const Fields& after, int64_t collect, std::vector<Event>& out);
void diffObjects(const std::string& kind, const Objects& before, const Objects& after,
                 int64_t collect, std::vector<Event>& out);

// Days until the volume fills, from the linear trend of its daily use; negative when it
// does not grow (or there are fewer than two days).
// `trend` is the writer's prepared trend query; `ok` false when it failed.
double fillDays(sqlite3_stmt* trend, int64_t deviceId, const std::string& volume, bool& ok);
// The interval after a push `gap` seconds after the last one; `interval` 0 is none yet.
int64_t learnInterval(int64_t interval, int64_t gap);
// A note's arrival is only as good as whoever wrote it: none is taken as later than a minute
// from now (events in the future are never pruned) nor as more than a day before the newest
// arrival recorded (`newest`, 0 when none), so that no gap it makes teaches a week's interval.
std::vector<int64_t> boundedArrivals(std::vector<int64_t> arrivals, int64_t newest);

}  // namespace detail
}  // namespace flxhistory

#endif  // FLX_HISTORY_WRITER_INTERNAL_H
