// Read-only views of what the devices pushed: one device whole, the device list with a
// summary per device, fleet-wide queries, the history of changes and daily samples, and the
// operators' tokens.
//
// Calls share one query-only connection per process to the registry database with the cache
// database and the history attached, opened once with root's ids; nothing here writes or
// throws. A missing history database reads as an empty history. Calls
// return kOk, or another Result with a one-line reason in `err`.
#ifndef FLXREAD_H
#define FLXREAD_H

#include <json/value.h>
#include <stdint.h>

#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace flxread {

// Runs `fn`; an exception becomes `failure` with its message in `err`, so nothing leaves a
// library call or a command by throwing.
template <class R, class Fn>
R guardedCall(std::string& err, R failure, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const std::exception& e) {
    try {
      err = std::string("internal error: ") + e.what();
    } catch (...) {
    }
  } catch (...) {
    try {
      err = "internal error";
    } catch (...) {
    }
  }
  return failure;
}

enum Result {
  kOk = 0,
  kNotFound = 1,     // no such device, application or icon
  kBadArgument = 2,  // an argument out of range (the caller checked types)
  kStoreFailed = 3,  // a database could not be opened or read
};

// Largest page any list answers with; larger limits are refused, not cut.
constexpr int64_t kMaxPage = 500;

// Takes the rows of a whole list one at a time, in the list's order, instead of a page (an
// export); false stops the list.
using RowSink = std::function<bool(Json::Value& row)>;

struct Page {
  int64_t limit = 50;
  int64_t offset = 0;
  // When set, every row goes to the sink (limit and offset are ignored) and `out` gets only
  // what is not a row; memory stays that of one row.
  const RowSink* sink = nullptr;
};

// The devices a reader sees: all of them, or those of some groups (ids of the registry's
// groups; none: no device). Every read view applies it through scopeSql, the one predicate, so
// that a device out of scope is answered exactly as a missing one.
struct Scope {
  bool all = true;
  std::vector<int64_t> groups;
};
// The SQL condition that the device whose id is the expression `deviceId` is in `scope`: "1"
// for all (it costs nothing), "0" for no group.
std::string scopeSql(const Scope& scope, const char* deviceId = "d.id");
// Narrows `scope` to group `name` (the `group` filter of the lists); an unknown group leaves
// no device.
Result narrowToGroup(Scope& scope, const std::string& name, std::string& err);
// kOk when device `sn` exists and is in `scope`; kNotFound otherwise, either way alike.
Result visible(const std::string& sn, const Scope& scope, std::string& err);
// The group of device `sn` ("" for none or an unknown device).
std::string groupOf(const std::string& sn);

// The device list: sort key (see kSortKeys in fleet.cpp), text filter on serial number,
// host name and model (case-insensitive substring), and a page.
struct ListQuery {
  std::string sort = "sn";
  bool descending = false;
  std::string filter;
  Page page;
  int64_t now = 0;  // for the stale count; 0: the clock
  Scope scope;
};

// True when `key` names a sortable column of the device list.
bool isSortKey(const std::string& key);

// Seconds without a report after which the list counts a device as stale.
constexpr int64_t kStaleSeconds = 3600;

// {"total", "offset", "limit", "devices": [...]} with the device fields and per device
// "summary": vol_count, vol_max_use (percent, null without volumes), vol_max_name,
// disk_count, disk_failing, disk_max_temp, app_count, pkg_count, fill_days, marks (array);
// and the device's liveness: "last_contact" (arrival of its last answered push, null when
// none), "last_collect" (the newest collect time that push carried, null when none),
// "push_interval" (the interval stale is measured in), "stale" (bool, at clockNow()) and
// "enrollment" (state, group, identity, conflict_since, foreign_sn_pushes). The
// summary and the sorts by it come from the history's summary rows; for a device without one yet
// they are computed from the stores (fill_days null).
// Host names sort naturally ("store-12" before "store-100"). "counts" holds, for the devices
// the filter leaves, "devices" and one count per mark: failing, full, hot, filling (the
// summary's marks) and stale (isStale at q.now).
Result deviceList(const ListQuery& q, Json::Value& out, std::string& err);

// Everything stored for device `sn`: keys device, applications, packages, info, cache, files.
Result deviceShow(const std::string& sn, Json::Value& out, std::string& err);

// Volumes whose use is at least `minUsePercent`, fullest first.
Result volumesOver(double minUsePercent, const Page& page, Json::Value& out, std::string& err,
                   const Scope& scope = Scope());

// Disks matching every given condition: status and SMART status (exact, empty: any),
// `failing` (status or SMART status not normal), temperature at least `minTemp`.
struct DiskQuery {
  std::string status;
  std::string smartStatus;
  bool failingOnly = false;
  bool hasMinTemp = false;
  int64_t minTemp = 0;
  Scope scope;
};
Result disksWhere(const DiskQuery& q, const Page& page, Json::Value& out, std::string& err);

// Devices that have package `pkgId`; with `op` (lt, le, eq, ne, ge, gt) only those whose
// installed version compares so with `version` (compareVersions). Each row has sn, hostname,
// version and behind (true when the fleet has a newer version of the package); the answer
// also has "newest".
bool isVersionOp(const std::string& op);
Result devicesWithPackage(const std::string& pkgId, const std::string& op,
                          const std::string& version, const Page& page, Json::Value& out,
                          std::string& err, const Scope& scope = Scope());
// The same for application `appId`.
Result devicesWithApp(const std::string& appId, const std::string& op, const std::string& version,
                      const Page& page, Json::Value& out, std::string& err,
                      const Scope& scope = Scope());

// The fleet's software: every package and application, by name. `name` filters by a
// case-insensitive substring of the name or id, `kind` by "package" or "application" (empty:
// both).
struct SoftwareQuery {
  std::string name;
  std::string kind;
};
// {"total", "offset", "limit", "items": [{id, name, kind, versions: [{version, devices}]
// newest first, newest, devices, behind (devices on a version older than newest)}]}, sorted
// by name. Read from the history's software table when it has one, else from the registry.
Result software(const SoftwareQuery& q, const Page& page, Json::Value& out, std::string& err,
                const Scope& scope = Scope());
// Devices whose last contact is older than `seconds` before `now` (or that never pushed);
// `seconds` 0: the stale devices (see isStale) at `now`.
Result staleDevices(int64_t seconds, int64_t now, const Page& page, Json::Value& out,
                    std::string& err, const Scope& scope = Scope());

// --- history ---

// Change events, newest first (by arrival, then id): of device `sn` (empty: the whole fleet),
// of one kind (empty: any; else one of the history's kinds), arriving in [from, to).
struct HistoryQuery {
  std::string sn;
  std::string kind;
  int64_t from = 0;
  int64_t to = INT64_MAX;
  Scope scope;  // of the fleet's events; one device's is checked with visible()
};
// True when `kind` names a kind of object of the history.
bool isHistoryKind(const std::string& kind);
// {"total", "offset", "limit", "events": [{id, sn, hostname, kind, object, change, field,
// old_value, new_value, collect_time, arrival_time}]}; kNotFound for an unknown device.
Result history(const HistoryQuery& q, const Page& page, Json::Value& out, std::string& err);

// Days over which a volume's trend is fitted: the last kTrendDays of samples.
constexpr int64_t kTrendDays = 30;
// Longest range of days one series answers: the default retention with room to spare.
constexpr int64_t kMaxSeriesDays = 1000;

// The daily samples of device `sn`'s volumes or disks (`kind` "volume" or "disk"), of one
// object (empty: each), on the UTC days [fromDay, toDay]: {"sn", "kind", "series": [{"object",
// "points": [{day, used_last, used_max, total_last, total_max, temp_max}], and for volumes
// "trend"}]}. A volume's trend is the least-squares line through the last kTrendDays days of
// its last use: {from_day, to_day, from_used, to_used, per_day (bytes), total, fill_day,
// fill_days} where fill_day is the day the line reaches the size and fill_days that day less
// `today`, both null when the volume does not grow. null trend: fewer than two samples.
Result series(const std::string& sn, const std::string& kind, const std::string& object,
              int64_t fromDay, int64_t toDay, int64_t today, Json::Value& out, std::string& err);

// Volumes that fill within `days` of `today`, soonest first: {"total", "offset", "limit",
// "volumes": [{qx_id, sn, hostname, model_name, name, used, total, per_day, fill_day,
// fill_days}]}. The devices are those whose summary's fill_days is at most `days`; each of
// their present volumes is fitted from its samples of the last kTrendDays days up to `today`.
Result volumesFilling(double days, int64_t today, const Page& page, Json::Value& out,
                      std::string& err, const Scope& scope = Scope());

// An application icon of device `sn` from its mirror folder: `key` names the icon file
// without ".png" (empty: the first one). `png` receives the file's bytes.
Result appIcon(const std::string& sn, const std::string& appId, const std::string& key,
               std::string& png, int64_t& mtime, std::string& err);

// Compares two version texts as Debian does (epoch, upstream, revision; "~" sorts before
// everything, "2.10" after "2.9"): -1, 0 or 1.
int compareVersions(const std::string& a, const std::string& b);

// The cache database's indexes that these reads rely on: (name, CREATE INDEX statement).
std::vector<std::pair<std::string, std::string>> cacheIndexes();

// --- liveness ---
// A device is alive while its answered pushes keep arriving: its last contact is the arrival
// of the last one (never a time the device sent), and it is stale after kStaleIntervals of
// its push interval without one. Every reader (list, stale query, metrics, flx-admin) asks
// isStale; nothing else decides.

// The interval of the shipped agent (its unit's --interval), for a device whose own interval
// the history has not learnt yet.
constexpr int64_t kAgentIntervalSeconds = 300;
constexpr int64_t kStaleIntervals = 3;
// The interval stale is measured in: the learnt one, else the agent's.
int64_t livenessInterval(int64_t learntInterval);
// True when `lastContact` (0: never) is more than kStaleIntervals intervals before `now`.
bool isStale(int64_t lastContact, int64_t learntInterval, int64_t now);
// Seconds since the epoch. Test builds read FLX_NOW from the environment when it is set, so
// that tests move a simulated clock through the host and the tools alike.
int64_t clockNow();

// --- operator tokens ---
// The stored form of a token (hex of a 256-bit hash).
std::string tokenHash(const std::string& token);
// A new random token of 256 bits from the system's random source, as hex; empty on failure.
std::string newToken();
// True when `token` belongs to an operator whose token has not expired at clockNow(); the
// operator's name goes to `name`.
bool operatorForToken(const std::string& token, std::string& name);
// An operator as its token lets it act: role "viewer", "admin" or "metrics", and the devices
// it sees. Operators made before roles existed are viewers of everything.
struct Operator {
  std::string name;
  std::string role;
  Scope scope;
  std::vector<std::string> groups;  // the names of scope.groups
  int64_t expires = 0;
};
// True when `token` belongs to an operator whose token has not expired at `now`.
bool operatorForToken(const std::string& token, int64_t now, Operator& op);

}  // namespace flxread

#endif  // FLXREAD_H
