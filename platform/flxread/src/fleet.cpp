// The device list with a summary per device, and the fleet-wide queries.
#include <ctype.h>
#include <json/reader.h>

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

// The device's summary row, if any, joined to the device row `d`.
const char kSummaryJoin[] = " LEFT JOIN h.summary s ON s.device_id = d.id";

// Sort keys of the device list and their SQL.
const std::map<std::string, std::string>& sortKeys() {
  static const std::map<std::string, std::string> keys = [] {
    std::map<std::string, std::string> k = {
        {"id", "d.id"},
        {"sn", "d.sn"},
        {"hostname", "d.hostname"},
        {"model_name", "d.model_name"},
        {"version", "d.version"},
        {"build_number", "d.build_number"},
        {"status", "d.status"},
        {"up_time", "d.up_time"},
        {"cluster_role", "d.cluster_role"},
        {"last_seen", summarySql("last_seen", kLastSeenSql)},
    };
    for (const SummaryColumn& c : kSummary)
      if (std::string(c.name) != "marks") k[c.name] = summarySql(c);
    return k;
  }();
  return keys;
}

// "%text%" for LIKE, with the wildcards of the text escaped by '\'.
std::string likePattern(const std::string& text) {
  std::string out = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out + "%";
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

// The device columns with last_seen and the summary, for the rows of `from`.
std::string deviceRowSql() {
  std::string sql = std::string("SELECT ") + kDeviceColumns + ", " + kGroupSql + " AS \"group\", " +
                    summarySql("last_seen", kLastSeenSql) + " AS last_seen";
  for (const SummaryColumn& c : kSummary) sql += ", " + summarySql(c) + " AS " + c.name;
  return sql;
}

Result list(const ListQuery& q, Json::Value& out, std::string& err) {
  auto key = sortKeys().find(q.sort);
  if (key == sortKeys().end()) {
    err = "unknown sort key '" + q.sort + "'";
    return kBadArgument;
  }
  const char* dir = q.descending ? " DESC" : " ASC";
  // The page is chosen first, so that the summary rows are read for its rows only (and for
  // every device only when the list is sorted by one of them).
  const bool bySummary = key->second.compare(0, 2, "d.") != 0;
  const std::string rowsSql =
      "WITH page AS (SELECT d.id AS id, " + key->second +
      " AS k, " FLXREAD_TOTAL_SQL " FROM " KEVOFLX_TABLE_DEVICES " d" +
      (bySummary ? kSummaryJoin : "") + " WHERE " + kFilterSql + " AND " + scopeSql(q.scope) +
      " ORDER BY k" + dir + ", d.sn, d.id LIMIT ?3 OFFSET ?4) " + deviceRowSql() +
      ", page." FLXREAD_TOTAL_COLUMN " FROM page CROSS JOIN " KEVOFLX_TABLE_DEVICES
      " d ON d.id = page.id" +
      kSummaryJoin + " ORDER BY page.k" + dir + ", d.sn, d.id";
  const std::string countSql =
      std::string("SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES " d WHERE ") + kFilterSql +
      " AND " + scopeSql(q.scope);
  ReadDb db;
  const std::string pattern = likePattern(q.filter);
  Result r = pagedRows(
      db, countSql, rowsSql, q.page, "devices", [&](Query& s) { s.bind(q.filter).bind(pattern); },
      out, err);
  if (r != kOk) return r;
  for (Json::Value& row : out["devices"]) row = nestSummary(row);
  return kOk;
}

const std::map<std::string, std::string>& versionOps() {
  static const std::map<std::string, std::string> ops = {
      {"lt", "< 0"}, {"le", "<= 0"}, {"eq", "= 0"}, {"ne", "<> 0"}, {"ge", ">= 0"}, {"gt", "> 0"},
  };
  return ops;
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

bool isVersionOp(const std::string& op) {
  return versionOps().count(op) != 0;
}

int compareVersions(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    // Separators between parts do not count.
    while (i < a.size() && !isalnum(static_cast<unsigned char>(a[i]))) ++i;
    while (j < b.size() && !isalnum(static_cast<unsigned char>(b[j]))) ++j;
    if (i >= a.size() || j >= b.size()) return i < a.size() ? 1 : (j < b.size() ? -1 : 0);
    const bool numA = isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool numB = isdigit(static_cast<unsigned char>(b[j])) != 0;
    size_t ei = i, ej = j;
    while (ei < a.size() && isalnum(static_cast<unsigned char>(a[ei])) &&
           (isdigit(static_cast<unsigned char>(a[ei])) != 0) == numA)
      ++ei;
    while (ej < b.size() && isalnum(static_cast<unsigned char>(b[ej])) &&
           (isdigit(static_cast<unsigned char>(b[ej])) != 0) == numB)
      ++ej;
    std::string pa = a.substr(i, ei - i), pb = b.substr(j, ej - j);
    if (numA && numB) {
      // Numbers compare by value: drop leading zeros, then the longer is larger.
      pa.erase(0, std::min(pa.find_first_not_of('0'), pa.size()));
      pb.erase(0, std::min(pb.find_first_not_of('0'), pb.size()));
      if (pa.size() != pb.size()) return pa.size() < pb.size() ? -1 : 1;
    } else if (numA != numB) {
      return numA ? 1 : -1;  // "1.0.1" is newer than "1.0.beta"
    }
    if (pa != pb) return pa < pb ? -1 : 1;
    i = ei;
    j = ej;
  }
  return 0;
}

Result deviceList(const ListQuery& q, Json::Value& out, std::string& err) {
  return guarded(err, [&] { return list(q, out, err); });
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

Result devicesWithPackage(const std::string& pkgId, const std::string& op,
                          const std::string& version, const Page& page, Json::Value& out,
                          std::string& err, const Scope& scope) {
  return guarded(err, [&] {
    std::string where = "x.pkg_id = ?1";
    if (!op.empty()) {
      auto found = versionOps().find(op);
      if (found == versionOps().end()) {
        err = "unknown version comparison '" + op + "'";
        return kBadArgument;
      }
      where += " AND flx_vercmp(x.version, ?2) " + found->second;
    }
    ReadDb db;
    return pagedRows(
        db, deviceJoin("count(*)", KEVOFLX_TABLE_PKGS, where, scope),
        deviceJoin(std::string(kDeviceRef) + ", x.pkg_id, x.version, x.status", KEVOFLX_TABLE_PKGS,
                   where, scope) +
            " ORDER BY d.sn LIMIT ?3 OFFSET ?4",
        page, "devices", [&](Query& s) { s.bind(pkgId).bind(version); }, out, err);
  });
}

Result devicesWithApp(const std::string& appId, const Page& page, Json::Value& out,
                      std::string& err, const Scope& scope) {
  return guarded(err, [&] {
    const std::string where = "x.app_id = ?1";
    ReadDb db;
    return pagedRows(
        db, deviceJoin("count(*)", KEVOFLX_TABLE_APPS, where, scope),
        deviceJoin(std::string(kDeviceRef) + ", x.app_id, x.version, x.name_enu AS name",
                   KEVOFLX_TABLE_APPS, where, scope) +
            " ORDER BY d.sn LIMIT ?2 OFFSET ?3",
        page, "devices", [&](Query& s) { s.bind(appId); }, out, err);
  });
}

Result staleDevices(int64_t seconds, int64_t now, const Page& page, Json::Value& out,
                    std::string& err, const Scope& scope) {
  return guarded(err, [&] {
    if (seconds < 0) {
      err = "negative age";
      return kBadArgument;
    }
    const std::string seen = std::string("(SELECT d.id AS id, ") + kLastSeenSql +
                             " AS last_seen FROM " KEVOFLX_TABLE_DEVICES " d WHERE " +
                             scopeSql(scope) + ") s";
    const std::string where = " WHERE s.last_seen < ?1";
    ReadDb db;
    return pagedRows(
        db, "SELECT count(*) FROM " + seen + where,
        std::string("SELECT ") + kDeviceRef + ", s.last_seen FROM " + seen +
            " JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = s.id" + where +
            " ORDER BY s.last_seen, d.sn LIMIT ?2 OFFSET ?3",
        page, "devices", [&](Query& s) { s.bind(now - seconds); }, out, err);
  });
}

}  // namespace flxread
