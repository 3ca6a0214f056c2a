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

const char kFilterSql[] =
    "(?1 = '' OR d.sn LIKE ?2 ESCAPE '\\' OR d.hostname LIKE ?2 ESCAPE '\\'"
    " OR d.model_name LIKE ?2 ESCAPE '\\')";

// The name of the device's group, or null.
const char kGroupSql[] =
    "(SELECT g.name FROM " KEVOFLX_TABLE_DEVICE_GROUPS " m JOIN " KEVOFLX_TABLE_GROUPS
    " g ON g.id = m.group_id WHERE m.device_id = d.id)";

// The marks' JSON text as an array; anything else as none.
Json::Value marksArray(const std::string& text) {
  Json::Value marks;
  std::string errs;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  if (!reader->parse(text.data(), text.data() + text.size(), &marks, &errs) || !marks.isArray())
    return Json::Value(Json::arrayValue);
  return marks;
}

// Moves the summary columns of a flat device row into "summary".
Json::Value nestSummary(Json::Value row) {
  Json::Value summary(Json::objectValue);
  for (const SummaryColumn& c : kSummary) {
    summary[c.name] = row[c.name];
    row.removeMember(c.name);
  }
  summary["marks"] = marksArray(summary["marks"].asString());
  row["summary"] = summary;
  return row;
}

// The device columns with the liveness and the summary, for the rows of `from`.
std::string deviceRowSql() {
  std::string sql = std::string("SELECT ") + kDeviceColumns + ", " + kGroupSql + " AS \"group\", " +
                    kLivenessColumns;
  for (const SummaryColumn& c : kSummary) sql += ", " + summarySql(c) + " AS " + c.name;
  return sql;
}

const char* const kMarks[] = {"failing", "full", "hot", "filling"};

// The devices the filter leaves, counted by mark. Without a filter each mark is counted from
// its partial index of the summary rows. Stale is the one definition (isStale) at `now`.
Result countMarks(ReadDb& db, const std::string& pattern, const ListQuery& q, int64_t now,
                  Json::Value& counts, std::string& err) {
  std::string sql;
  if (q.filter.empty() && q.scope.all) {
    sql = "SELECT (SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES ")";
    for (const char* m : kMarks)
      sql += std::string(", (SELECT count(*) FROM h.summary WHERE marks LIKE '%\"") + m + "\"%')";
    sql += std::string(", (SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES " d") + kLivenessJoin +
           " WHERE flx_stale_at(ct.arrival, s.push_interval, ?3))";
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
  counts["stale"] = Json::Int64(c.i64(5));
  return kOk;
}

Result list(const ListQuery& q, int64_t now, Json::Value& out, std::string& err) {
  auto key = sortKeys().find(q.sort);
  if (key == sortKeys().end()) {
    err = "unknown sort key '" + q.sort + "'";
    return kBadArgument;
  }
  const char* dir = q.descending ? " DESC" : " ASC";
  // The page is chosen first, so that the summary rows are read for its rows only (and for
  // every device only when the list is sorted by one of them).
  const bool bySummary = key->second.compare(0, 12, "(CASE WHEN s") == 0;
  const bool joined = bySummary || key->second.find("ct.") != std::string::npos;
  ReadDb db;
  // Without a filter, and once every device has its summary row, a summary column's page is
  // read from its index in order (ties by device id), stopping at the page: the cost of a
  // page stays that of its rows however large the fleet. Otherwise every device is sorted.
  // A reader of some groups only never takes the whole fleet's paths: the scope filters.
  const bool whole = q.filter.empty() && q.scope.all;
  if (bySummary && whole && q.page.sink == nullptr && db.ok()) {
    Query all(db, "SELECT (SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES
                  ") <= (SELECT count(*) FROM h.summary)");
    if (all.step() != SQLITE_ROW) return storeFailed(db, err);
    if (all.i64(0) != 0) {
      const std::string rowsSql =
          "WITH page AS (SELECT s.device_id AS id, s." + q.sort + " AS k FROM h.summary s" +
          " CROSS JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = s.device_id ORDER BY s." + q.sort +
          dir + ", s.device_id" + dir + " LIMIT ?3 OFFSET ?4) " + deviceRowSql() +
          " FROM page CROSS JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = page.id" + kSummaryJoin +
          " ORDER BY page.k" + dir + ", page.id" + dir;
      Result r = pagedRows(
          db, "SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES, rowsSql, q.page, "devices",
          [](Query& s) { s.bind(std::string()).bind(std::string()); }, out, err);
      if (r != kOk) return r;
      for (Json::Value& row : out["devices"]) row = nestSummary(row);
      return countMarks(db, "", q, now, out["counts"], err);
    }
  }
  // Without a filter the total is counted apart (from an index): the window count would
  // read every device, where an index in the sort's order stops at the page.
  const std::string rowsSql =
      "WITH page AS (SELECT d.id AS id, " + key->second + " AS k" +
      (whole ? "" : ", " FLXREAD_TOTAL_SQL) + " FROM " KEVOFLX_TABLE_DEVICES " d" +
      (joined ? kSummaryJoin : "") + " WHERE " + kFilterSql + " AND " + scopeSql(q.scope) +
      " ORDER BY k" + dir + ", d.sn, d.id LIMIT ?3 OFFSET ?4) " + deviceRowSql() +
      (whole ? "" : ", page." FLXREAD_TOTAL_COLUMN) +
      " FROM page CROSS JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = page.id" + kSummaryJoin +
      " ORDER BY page.k" + dir + ", d.sn, d.id";
  const std::string countSql =
      whole ? std::string("SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES)  // binds nothing
            : std::string("SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES " d WHERE ") + kFilterSql +
                  " AND " + scopeSql(q.scope);
  const std::string pattern = likePattern(q.filter);
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
      db, countSql, rowsSql, page, "devices", [&](Query& s) { s.bind(q.filter).bind(pattern); },
      out, err);
  if (r != kOk || page.sink != nullptr) return r;
  for (Json::Value& row : out["devices"]) {
    row = nestSummary(row);
    row["stale"] = row["stale"].asBool();
  }
  return countMarks(db, pattern, q, now, out["counts"], err);
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
