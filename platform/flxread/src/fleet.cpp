// The device list with a summary per device, and the fleet-wide queries.
#include <json/reader.h>
#include <time.h>

#include <map>
#include <memory>

#include "flx_schema.h"
#include "read_db.h"

namespace flxread {
namespace {

// Per-device summary columns: the history's summary row `s` holds them (the columns are named
// as the keys); for a device it has not summarised yet they are computed from the stores, with
// the SQL here over the device row `d`.
struct SummaryColumn {
  const char* name;
  const char* sql;
};
// clang-format off
const SummaryColumn kSummary[] = {
    {"vol_count",     "(SELECT count(*) FROM c.vol_info WHERE qx_id = d.id)"},
    {"vol_max_use",   "(SELECT max(CASE WHEN size_total > 0 THEN round(size_used * 100.0 / size_total, 1) END)"
                      " FROM c.vol_info WHERE qx_id = d.id)"},
    {"vol_max_name",  "(SELECT name FROM c.vol_info WHERE qx_id = d.id AND size_total > 0"
                      " ORDER BY size_used * 1.0 / size_total DESC LIMIT 1)"},
    {"disk_count",    "(SELECT count(*) FROM c.hdd_info WHERE qx_id = d.id)"},
    {"disk_failing",  nullptr},  // filled in by failingCountSql()
    {"disk_max_temp", "(SELECT max(temp) FROM c.hdd_info WHERE qx_id = d.id)"},
    {"app_count",     "(SELECT count(*) FROM " KEVOFLX_TABLE_APPS " WHERE qx_id = d.id)"},
    {"pkg_count",     "(SELECT count(*) FROM " KEVOFLX_TABLE_PKGS " WHERE qx_id = d.id)"},
    {"fill_days",     "NULL"},  // needs the samples: none before the first summary
    {"marks",         "'[]'"},
};
// Device columns of every listed device.
const char kDeviceColumns[] =
    "d.id, d.sn, d.hostname, d.model_name, d.version, d.build_number, d.status, d.up_time,"
    " d.cluster_role";
// clang-format on

std::string failingCountSql() {
  return std::string("(SELECT count(*) FROM c.hdd_info h WHERE h.qx_id = d.id AND ") +
         failingDiskSql("h") + ")";
}

// The summary row's column, or the computed one where the device has no row yet: the
// computation runs only for those devices.
std::string summarySql(const std::string& name, const std::string& computed) {
  return "(CASE WHEN s.device_id IS NULL THEN " + computed + " ELSE s." + name + " END)";
}

std::string summarySql(const SummaryColumn& c) {
  return summarySql(c.name, c.sql != nullptr ? c.sql : failingCountSql());
}

// The device's summary row and last contact, if any, joined to the device row `d`.
const char* const kSummaryJoin = kLivenessJoin;

// Sort keys of the device list and their SQL.
const std::map<std::string, std::string>& sortKeys() {
  static const std::map<std::string, std::string> keys = [] {
    std::map<std::string, std::string> k = {
        {"id", "d.id"},
        {"sn", "d.sn"},
        {"hostname", "flx_natural(d.hostname)"},
        {"model_name", "d.model_name"},
        {"version", "d.version"},
        {"build_number", "d.build_number"},
        {"status", "d.status"},
        {"up_time", "d.up_time"},
        {"cluster_role", "d.cluster_role"},
        {"last_contact", "coalesce(ct.arrival, 0)"},
    };
    for (const SummaryColumn& c : kSummary)
      if (std::string(c.name) != "marks") k[c.name] = summarySql(c);
    return k;
  }();
  return keys;
}

// The filter: a text found in the serial number, host name or model, letters in any case.
// (?2, the text as a LIKE pattern, is bound to every list statement but read by none.)
const char kFilterSql[] = "(?1 = '' OR flx_match(?1, d.sn, d.hostname, d.model_name))";

// The name of the device's group, or null.
const char kGroupSql[] =
    "(SELECT g.name FROM " KEVOFLX_TABLE_DEVICE_GROUPS " m JOIN " KEVOFLX_TABLE_GROUPS
    " g ON g.id = m.group_id WHERE m.device_id = d.id)";

// How each device came in: its admission, read with the page's rows (a device added by hand
// has none: "registered").
const char kEnrollmentJoin[] = " LEFT JOIN " KEVOFLX_TABLE_ADMISSIONS " a ON a.sn = d.sn";
const char kEnrollmentColumns[] =
    ", coalesce(a.state, 'registered') AS enr_state, coalesce(a.group_name, '') AS enr_group,"
    " coalesce(a.conflict, 0) AS enr_conflict, coalesce(a.conflict_since, 0) AS enr_since,"
    " coalesce(a.foreign_sn_pushes, 0) AS enr_foreign";

// The marks' JSON text as an array; anything else as none.
Json::Value marksArray(const std::string& text) {
  Json::Value marks;
  std::string errs;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  if (!reader->parse(text.data(), text.data() + text.size(), &marks, &errs) || !marks.isArray())
    return Json::Value(Json::arrayValue);
  return marks;
}

// Moves the summary columns of a flat device row into "summary" and its admission's into
// "enrollment".
Json::Value nestSummary(Json::Value row) {
  Json::Value summary(Json::objectValue);
  for (const SummaryColumn& c : kSummary) {
    summary[c.name] = row[c.name];
    row.removeMember(c.name);
  }
  summary["marks"] = marksArray(summary["marks"].asString());
  row["summary"] = summary;
  Json::Value enrollment(Json::objectValue);
  enrollment["state"] = row["enr_state"];
  enrollment["group"] = row["enr_group"];
  enrollment["identity"] = row["enr_conflict"].asInt64() != 0 ? "identity-conflict" : "ok";
  enrollment["conflict_since"] = row["enr_since"];
  enrollment["foreign_sn_pushes"] = row["enr_foreign"];
  for (const char* k : {"enr_state", "enr_group", "enr_conflict", "enr_since", "enr_foreign"})
    row.removeMember(k);
  row["enrollment"] = enrollment;
  row["stale"] = row["stale"].asBool();
  return row;
}

// The device columns with the liveness and the summary, for the rows of `from`.
std::string deviceRowSql() {
  std::string sql = std::string("SELECT ") + kDeviceColumns + ", " + kGroupSql + " AS \"group\", " +
                    kLivenessColumns;
  for (const SummaryColumn& c : kSummary) sql += ", " + summarySql(c) + " AS " + c.name;
  return sql + kEnrollmentColumns;
}

// The page's rows whole, from the CTE `page` (id, k) in the order `order`.
std::string pageRowsSql(const std::string& order) {
  return deviceRowSql() + " FROM page CROSS JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = page.id" +
         kSummaryJoin + kEnrollmentJoin + " ORDER BY " + order;
}

const char* const kMarks[] = {"failing", "full", "hot", "filling"};

// The devices the filter leaves, counted by mark. Stale is the one definition (isStale) at
// `now`. With a filter this is one pass over the devices it leaves (and the list's total).
// Without (or `fromIndexes`, once every device has its summary row), each mark comes from its
// partial index of the summary rows, and the stale devices are those without a contact plus
// those whose last one is older than any device may be silent and still be alive: in a fleet
// that pushes, the few that are stale. The total is then an index's count without a filter,
// one pass over the devices with.
Result countMarks(ReadDb& db, const std::string& pattern, const ListQuery& q, int64_t now,
                  Json::Value& counts, std::string& err, bool fromIndexes = false,
                  bool everyContacted = false) {
  std::string sql;
  const bool indexed = q.filter.empty() || fromIndexes;
  if (indexed) {
    // With a filter, each of these reads joins the device row of each summary row or contact
    // it counts, and the total with the devices without a contact is one pass over the devices.
    const bool filtered = !q.filter.empty();
    auto device = [filtered](const char* id) {
      return filtered ? std::string(" CROSS JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = ") + id
                      : std::string();
    };
    const std::string filter = filtered ? std::string(" AND ") + kFilterSql : std::string();
    // The scope's devices with a contact: from the contacts or from the scope's members,
    // whichever are likely fewer (both whole-table counts cost next to nothing).
    const std::string contacts =
        q.scope.all ? std::string("SELECT count(*) FROM " KEVOFLX_TABLE_CONTACTS)
                    : "SELECT CASE WHEN (SELECT count(*) FROM " KEVOFLX_TABLE_CONTACTS
                      ") * 2 < (SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES
                      ") THEN (SELECT count(*) FROM " KEVOFLX_TABLE_CONTACTS " ct WHERE " +
                          scopeSql(q.scope, "ct.device_id") +
                          ") ELSE (SELECT count(*) FROM " KEVOFLX_TABLE_CONTACTS " ct" +
                          scopeJoinSql(q.scope, "ct.device_id") + ") END";
    // Without a filter `silent` holds the devices with a contact (subtracted below: in SQL the
    // total would be counted twice); with one, those without are looked for only if any are.
    const std::string devices =
        !filtered ? "(SELECT (" + scopeCountSql(q.scope) + ") AS n, (" + contacts + ") AS silent)"
        : everyContacted
            ? std::string("(SELECT count(*) AS n, 0 AS silent FROM " KEVOFLX_TABLE_DEVICES " d") +
                  scopeJoinSql(q.scope) + " WHERE " + kFilterSql + ")"
            : std::string(
                  "(SELECT count(*) AS n, coalesce(sum(ct.device_id IS NULL), 0) AS "
                  "silent FROM " KEVOFLX_TABLE_DEVICES " d") +
                  scopeJoinSql(q.scope) +
                  " LEFT JOIN " KEVOFLX_TABLE_CONTACTS " ct ON ct.device_id = d.id WHERE " +
                  kFilterSql + ")";
    sql = "SELECT f.n";
    for (const char* m : kMarks)
      sql += std::string(", (SELECT count(*) FROM h.summary s") + device("s.device_id") +
             " WHERE marks LIKE '%\"" + m + "\"%' AND " + scopeSql(q.scope, "s.device_id") +
             filter + ")";
    // A device is stale after kStaleIntervals of its interval: one silent for longer than that
    // of the longest interval in the fleet is stale, one silent for less than that of the
    // shortest is not (the agent's counts for those not learnt yet; both read from the
    // summary's index of intervals). Only the contacts between the two are looked at.
    const std::string agent = std::to_string(kAgentIntervalSeconds);
    const std::string intervals = " FROM h.summary WHERE push_interval > 0), " + agent + "))";
    const std::string longest = "max(1, ?3 - " + std::to_string(kStaleIntervals) + " * max(" +
                                agent + ", coalesce((SELECT max(push_interval)" + intervals + ")";
    const std::string shortest = "max(1, ?3 - " + std::to_string(kStaleIntervals) + " * min(" +
                                 agent + ", coalesce((SELECT min(push_interval)" + intervals + ")";
    sql += ", f.silent, (SELECT count(*) FROM " KEVOFLX_TABLE_CONTACTS " ct" +
           device("ct.device_id") + " WHERE ct.arrival < " + longest + " AND " +
           scopeSql(q.scope, "ct.device_id") + filter +
           "), (SELECT count(*) FROM " KEVOFLX_TABLE_CONTACTS " ct" + device("ct.device_id") +
           " LEFT JOIN h.summary s ON s.device_id = ct.device_id WHERE ct.arrival >= " + longest +
           " AND ct.arrival < " + shortest +
           " AND flx_stale_at(ct.arrival, s.push_interval, ?3) AND " +
           scopeSql(q.scope, "ct.device_id") + filter + ") FROM " + devices + " f";
  } else {
    const std::string marks = summarySql("marks", "'[]'");
    sql = "SELECT count(*)";
    for (const char* m : kMarks) sql += ", coalesce(sum(" + marks + " LIKE '%\"" + m + "\"%'), 0)";
    sql +=
        ", coalesce(sum(flx_stale_at(ct.arrival, s.push_interval, ?3)), 0) "
        "FROM " KEVOFLX_TABLE_DEVICES " d" +
        std::string(kSummaryJoin) + " WHERE " + kFilterSql + " AND " + scopeSql(q.scope);
  }
  Query c(db, sql);
  c.bind(q.filter).bind(pattern).bind(now);
  if (c.step() != SQLITE_ROW) return storeFailed(db, err);
  counts = Json::Value(Json::objectValue);
  counts["devices"] = Json::Int64(c.i64(0));
  for (size_t i = 0; i < sizeof kMarks / sizeof kMarks[0]; ++i)
    counts[kMarks[i]] = Json::Int64(c.i64(static_cast<int>(i) + 1));
  // From the indexes: the devices without a contact, and those with an old one.
  const int64_t silent = q.filter.empty() ? c.i64(0) - c.i64(5) : c.i64(5);
  counts["stale"] = Json::Int64(indexed ? silent + c.i64(6) + c.i64(7) : c.i64(5));
  return kOk;
}

// A filtered page: one pass over the devices the filter leaves gives the page, its total and
// the counts (a statement of their own would read every device again). Each row carries the
// counts: they are read from the first and removed; an empty page counts apart.
Result filteredPage(ReadDb& db, const ListQuery& q, const std::string& key, const char* dir,
                    int64_t now, Json::Value& out, std::string& err) {
  const std::string pattern = likePattern(q.filter);
  std::string counts = "count(*) AS " FLXREAD_TOTAL_COLUMN;
  for (const char* m : kMarks)
    counts += std::string(", coalesce(sum(marks <> '[]' AND marks LIKE '%\"") + m +
              "\"%'), 0) AS n_" + m;  // most devices have no mark
  counts += ", coalesce(sum(stale), 0) AS n_stale";
  const std::string rowsSql =
      "WITH m AS MATERIALIZED (SELECT d.id AS id, d.sn AS sn, " + key + " AS k, " +
      summarySql("marks", "'[]'") +
      " AS marks, flx_stale_at(ct.arrival, s.push_interval, ?3) AS stale "
      "FROM " KEVOFLX_TABLE_DEVICES " d" +
      scopeJoinSql(q.scope) + kSummaryJoin + " WHERE " + kFilterSql +
      "), n AS MATERIALIZED (SELECT " + counts +
      " FROM m), page AS (SELECT id, k FROM m ORDER BY k" + dir + ", sn" + dir +
      " LIMIT ?4 OFFSET ?5) " + deviceRowSql() + ", n.*" +
      " FROM page CROSS JOIN n CROSS JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = page.id" +
      kSummaryJoin + kEnrollmentJoin + " ORDER BY page.k" + dir + ", d.sn" + dir;
  Result r = pagedRows(
      db,
      std::string("SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES " d WHERE ") + kFilterSql +
          " AND " + scopeSql(q.scope),
      rowsSql, q.page, "devices", [&](Query& s) { s.bind(q.filter).bind(pattern).bind(now); }, out,
      err);
  if (r != kOk) return r;
  Json::Value& rows = out["devices"];
  if (rows.empty()) return countMarks(db, pattern, q, now, out["counts"], err);
  Json::Value& c = out["counts"] = Json::Value(Json::objectValue);
  c["devices"] = out["total"];
  for (const char* m : {"failing", "full", "hot", "filling", "stale"})
    c[m] = rows[0][std::string("n_") + m];
  for (Json::Value& row : rows) {
    for (const char* m : {"failing", "full", "hot", "filling", "stale"})
      row.removeMember(std::string("n_") + m);
    row = nestSummary(row);
  }
  return kOk;
}

Result listOn(ReadDb& db, const ListQuery& q, int64_t now, Json::Value& out, std::string& err) {
  auto key = sortKeys().find(q.sort);
  if (key == sortKeys().end()) {
    err = "unknown sort key '" + q.sort + "'";
    return kBadArgument;
  }
  const char* dir = q.descending ? " DESC" : " ASC";
  // The page is chosen first, so that the summary rows are read for its rows only (and for
  // every device only when the list is sorted by one of them).
  const bool bySummary = key->second.compare(0, 12, "(CASE WHEN s") == 0;
  // Only the rows the key reads are joined to every device: a summary row each would cost the
  // sort by last contact more than the sort itself.
  const std::string keyJoin =
      bySummary ? std::string(kSummaryJoin)
      : key->second.find("ct.") != std::string::npos
          ? std::string(" LEFT JOIN " KEVOFLX_TABLE_CONTACTS " ct ON ct.device_id = d.id")
          : std::string();
  const std::string pattern = likePattern(q.filter);
  // Once every device has its summary row, a summary column's page is read from its index in
  // order (ties by device id), each row tested against the filter, stopping at the page: the
  // cost of a page stays that of the rows up to it however large the fleet. Otherwise every
  // device the filter leaves is sorted.
  bool summaryIndex = false, everyContacted = false;
  if (bySummary && q.page.sink == nullptr && db.ok()) {
    // Contacts go with their device, one each: as many as devices means every one has one
    // (counted only where the filtered counts would look for those without).
    Query all(
        db,
        std::string("SELECT n <= (SELECT count(*) FROM h.summary), ") +
            (q.filter.empty() ? "0" : "n <= (SELECT count(*) FROM " KEVOFLX_TABLE_CONTACTS ")") +
            " FROM (SELECT count(*) AS n FROM " KEVOFLX_TABLE_DEVICES ")");
    if (all.step() != SQLITE_ROW) return storeFailed(db, err);
    summaryIndex = all.i64(0) != 0;
    everyContacted = all.i64(1) != 0;
  }
  if (!q.filter.empty() && !summaryIndex && q.page.sink == nullptr && db.ok())
    return filteredPage(db, q, key->second, dir, now, out, err);
  // The counts first: they give the page's total, so that the page's own query stops at the
  // page where an index hands out its rows in order. An export needs neither.
  Json::Value counts;
  if (q.page.sink == nullptr && db.ok()) {
    const Result r = countMarks(db, pattern, q, now, counts, err, summaryIndex, everyContacted);
    if (r != kOk) return r;
  }
  const int64_t total = q.page.sink == nullptr ? counts["devices"].asInt64() : -1;
  if (summaryIndex) {
    const std::string rowsSql =
        "WITH page AS (SELECT s.device_id AS id, s." + q.sort + " AS k FROM h.summary s" +
        " CROSS JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = s.device_id" + scopeJoinSql(q.scope) +
        " WHERE " + kFilterSql + " ORDER BY s." + q.sort + dir + ", s.device_id" + dir +
        " LIMIT ?3 OFFSET ?4) " + pageRowsSql(std::string("page.k") + dir + ", page.id" + dir);
    Result r = pagedRows(
        db, "", rowsSql, q.page, "devices", [&](Query& s) { s.bind(q.filter).bind(pattern); }, out,
        err, total);
    if (r != kOk) return r;
    for (Json::Value& row : out["devices"]) row = nestSummary(row);
    out["counts"] = counts;
    return kOk;
  }
  // Sorted by a device column with an index of its own (see the registry's list indexes), the
  // page is read in the index's order and the scan stops at its end, filter or not.
  const std::string rowsSql = "WITH page AS (SELECT d.id AS id, " + key->second +
                              " AS k FROM " KEVOFLX_TABLE_DEVICES " d" + scopeJoinSql(q.scope) +
                              keyJoin + " WHERE " + kFilterSql + " ORDER BY k" + dir + ", d.sn" +
                              dir + ", d.id" + dir + " LIMIT ?3 OFFSET ?4) " +
                              pageRowsSql("page.k" + std::string(dir) + ", d.sn" + dir);
  // An export gets each row as the page would show it.
  RowSink nested;
  Page page = q.page;
  if (page.sink != nullptr) {
    nested = [&q](Json::Value& row) {
      row = nestSummary(std::move(row));
      return (*q.page.sink)(row);
    };
    page.sink = &nested;
  }
  Result r = pagedRows(
      db, "", rowsSql, page, "devices", [&](Query& s) { s.bind(q.filter).bind(pattern); }, out, err,
      total);
  if (r != kOk || page.sink != nullptr) return r;
  for (Json::Value& row : out["devices"]) row = nestSummary(row);
  out["counts"] = counts;
  return kOk;
}

// Devices joined with rows of `table` alias `x`, `cols` from both, filtered by `where`.
std::string deviceJoin(const std::string& cols, const std::string& table, const std::string& where,
                       const Scope& scope) {
  return "SELECT " + cols + " FROM " + table +
         " x JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = x.qx_id WHERE " + where + " AND " +
         scopeSql(scope);
}

#define FLXREAD_DEVICE_REF "d.id AS qx_id, d.sn, d.hostname, d.model_name"
const char kDeviceRef[] = FLXREAD_TOTAL_SQL ", " FLXREAD_DEVICE_REF;

}  // namespace

bool isSortKey(const std::string& key) {
  return sortKeys().count(key) != 0;
}

// The registry's version as this connection sees it: it moves with every commit of another.
bool dataVersion(ReadDb& db, int64_t& version) {
  Query v(db, "PRAGMA main.data_version");
  if (v.step() != SQLITE_ROW) return false;
  version = v.i64(0);
  return true;
}

// A reader whose groups hold every device of the fleet (each in a group, no group with members
// left out) is listed as an all-devices one: the scope then costs no row a look-up. The check
// and the list must see one state of the registry: a page is read again with the scope when
// the registry changed meanwhile, an export (which cannot be read again) in one transaction.
Result list(const ListQuery& q, int64_t now, Json::Value& out, std::string& err) {
  ReadDb db;
  if (q.scope.all || q.scope.groups.empty() || !db.ok()) return listOn(db, q, now, out, err);
  // Ended however the call ends (the connection outlives it).
  struct Snapshot {
    sqlite3* raw = nullptr;
    ~Snapshot() {
      if (raw != nullptr) sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
    }
  } snapshot;
  if (q.page.sink != nullptr) {
    if (sqlite3_exec(db.handle(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
      return listOn(db, q, now, out, err);
    snapshot.raw = db.handle();
  }
  int64_t before = 0, after = 0;
  if (snapshot.raw == nullptr && !dataVersion(db, before)) return storeFailed(db, err);
  ListQuery wide = q;
  {
    Query covers(db, scopeCoversSql(q.scope));
    if (covers.step() != SQLITE_ROW) return storeFailed(db, err);
    wide.scope.all = covers.i64(0) != 0;
  }
  if (!wide.scope.all) return listOn(db, q, now, out, err);
  const Result r = listOn(db, wide, now, out, err);
  if (r != kOk || snapshot.raw != nullptr) return r;
  if (!dataVersion(db, after)) return storeFailed(db, err);
  return before == after ? r : listOn(db, q, now, out, err);
}

Result deviceList(const ListQuery& q, Json::Value& out, std::string& err) {
  return guarded(err, [&] { return list(q, q.now != 0 ? q.now : time(nullptr), out, err); });
}

Result volumesOver(double minUsePercent, const Page& page, Json::Value& out, std::string& err,
                   const Scope& scope) {
  return guarded(err, [&] {
    const std::string use = "round(x.size_used * 100.0 / x.size_total, 1)";
    const std::string where = "x.size_total > 0 AND x.size_used * 100.0 / x.size_total >= ?1";
    ReadDb db;
    return pagedRows(
        db, deviceJoin("count(*)", "c.vol_info", where, scope),
        deviceJoin(std::string(kDeviceRef) +
                       ", x.name, x.status, x.raid_type, x.size_total, x.size_used, x.mtime, " +
                       use + " AS use",
                   "c.vol_info", where, scope) +
            " ORDER BY x.size_used * 1.0 / x.size_total DESC, d.sn, x.name LIMIT ?2 OFFSET ?3",
        page, "volumes", [&](Query& s) { s.bind(minUsePercent); }, out, err);
  });
}

Result disksWhere(const DiskQuery& q, const Page& page, Json::Value& out, std::string& err) {
  return guarded(err, [&] {
    // The failing term is written out, not switched by a parameter, so that the partial
    // index of failing disks serves it.
    std::string fixed = "1";
    if (!q.status.empty()) fixed += " AND x.status = ?1";
    if (!q.smartStatus.empty()) fixed += " AND x.smart_status = ?2";
    if (q.hasMinTemp) fixed += " AND x.temp >= ?3";
    if (q.failingOnly) fixed += " AND " + failingDiskSql("x");
    // Hottest first. Failing disks are few: their partial index finds them and they are
    // sorted. Otherwise the page is read straight from the temperature index, in its order
    // (the unary + keeps the planner off that index when it would read every disk).
    const std::string order = q.failingOnly ? " ORDER BY +x.temp DESC, x.rowid DESC"
                                            : " ORDER BY x.temp DESC, x.rowid DESC";
    ReadDb db;
    return pagedRows(
        db, deviceJoin("count(*)", "c.hdd_info", fixed, q.scope),
        deviceJoin(FLXREAD_DEVICE_REF
                   ", x.dev, x.name, x.model, x.status, x.smart_status, x.temp, x.size_total,"
                   " x.used_by, x.mtime",
                   "c.hdd_info", fixed, q.scope) +
            order + " LIMIT ?4 OFFSET ?5",
        page, "disks", [&](Query& s) { s.bind(q.status).bind(q.smartStatus).bind(q.minTemp); }, out,
        err);
  });
}

Result staleDevices(int64_t seconds, int64_t now, const Page& page, Json::Value& out,
                    std::string& err, const Scope& scope) {
  return guarded(err, [&] {
    if (seconds < 0) {
      err = "negative age";
      return kBadArgument;
    }
    // With no age given, the stale devices: the one definition, at `now`.
    const std::string where = (seconds == 0 ? " WHERE flx_stale_at(ct.arrival, s.push_interval, ?1)"
                                            : " WHERE coalesce(ct.arrival, 0) < ?1") +
                              std::string(" AND ") + scopeSql(scope);
    const std::string from =
        std::string(" FROM " KEVOFLX_TABLE_DEVICES " d") + kSummaryJoin + where;
    ReadDb db;
    return pagedRows(
        db, "SELECT count(*)" + from,
        std::string("SELECT ") + kDeviceRef + ", " + kLivenessColumns + from +
            " ORDER BY coalesce(ct.arrival, 0), d.sn LIMIT ?2 OFFSET ?3",
        page, "devices", [&](Query& s) { s.bind(seconds == 0 ? now : now - seconds); }, out, err);
  });
}

}  // namespace flxread
