// The fleet's software: packages and applications by name with their versions, and the
// devices of one of them with the version each runs.
#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "flx_schema.h"
#include "flxhistory_schema.h"
#include "read_db.h"

namespace flxread {
namespace {

const std::map<std::string, std::string>& versionOps() {
  static const std::map<std::string, std::string> ops = {
      {"lt", "< 0"}, {"le", "<= 0"}, {"eq", "= 0"}, {"ne", "<> 0"}, {"ge", ">= 0"}, {"gt", "> 0"},
  };
  return ops;
}

// Where each kind lives in the registry.
struct Kind {
  const char* name;
  const char* table;
  const char* idColumn;
  const char* nameColumn;
};
const Kind kPackage = {flxhistory::kKindPackage, KEVOFLX_TABLE_PKGS, "pkg_id", "display_name"};
const Kind kApplication = {flxhistory::kKindApplication, KEVOFLX_TABLE_APPS, "app_id", "name_enu"};

const Kind& kindNamed(const std::string& name) {
  return name == kApplication.name ? kApplication : kPackage;
}

// True when the history keeps the fleet's software counts (its writer maintains them);
// without them they are counted from the registry, which is fine for small fleets only.
bool hasSoftwareTable(ReadDb& db, bool& has) {
  Query q(db, "SELECT 1 FROM h.sqlite_master WHERE type = 'table' AND name = 'software'");
  const int rc = q.step();
  has = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

// The rows (kind, id, version, name, devices) of the fleet's software: the history's counts
// for a reader of the whole fleet, else counted from the registry's records of the devices in
// `scope`.
std::string softwareSource(bool table, const Scope& scope) {
  if (table && scope.all) return "h.software";
  std::string sql = "(";
  for (const Kind* k : {&kPackage, &kApplication}) {
    if (k != &kPackage) sql += " UNION ALL ";
    sql += std::string("SELECT '") + k->name + "' AS kind, " + k->idColumn +
           " AS id, version, max(" + k->nameColumn + ") AS name, count(*) AS devices FROM " +
           k->table + " WHERE " + scopeSql(scope, "qx_id") + " GROUP BY " + k->idColumn +
           ", version";
  }
  return sql + ")";
}

using Versions = std::vector<std::pair<std::string, int64_t>>;

// The versions of one package or application with their device counts, newest first.
bool versionsOf(ReadDb& db, bool table, const Kind& kind, const std::string& id, const Scope& scope,
                Versions& out) {
  out.clear();
  Query q(db, table && scope.all
                  ? std::string("SELECT version, devices FROM h.software WHERE kind = ?1 AND "
                                "id = ?2 AND devices > 0")
                  : std::string("SELECT version, count(*) FROM ") + kind.table + " WHERE " +
                        kind.idColumn + " = ?2 AND " + scopeSql(scope, "qx_id") +
                        " GROUP BY version");
  q.bind(std::string(kind.name)).bind(id);
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) out.emplace_back(q.text(0), q.i64(1));
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return compareVersions(a.first, b.first) > 0; });
  return rc == SQLITE_DONE;
}

// One item of the software list from its versions.
Json::Value item(const std::string& kind, const std::string& id, const std::string& name,
                 const Versions& versions) {
  Json::Value it(Json::objectValue);
  it["id"] = id;
  it["name"] = name.empty() ? id : name;
  it["kind"] = kind;
  Json::Value& list = it["versions"] = Json::Value(Json::arrayValue);
  int64_t devices = 0;
  for (const auto& v : versions) {
    Json::Value one(Json::objectValue);
    one["version"] = v.first;
    one["devices"] = Json::Int64(v.second);
    list.append(one);
    devices += v.second;
  }
  // Equal versions ("1.0" and "1.00") all count as the newest.
  int64_t newest = 0;
  for (const auto& v : versions)
    if (compareVersions(v.first, versions.front().first) == 0) newest += v.second;
  it["newest"] = versions.empty() ? Json::Value() : Json::Value(versions.front().first);
  it["devices"] = Json::Int64(devices);
  it["behind"] = Json::Int64(devices - newest);
  return it;
}

Result listSoftware(const SoftwareQuery& q, const Page& page, Json::Value& out, std::string& err,
                    const Scope& scope) {
  if (!q.kind.empty() && q.kind != kPackage.name && q.kind != kApplication.name) {
    err = "unknown kind of software '" + q.kind + "'";
    return kBadArgument;
  }
  ReadDb db;
  bool table = false;
  if (!db.ok() || !hasSoftwareTable(db, table)) return storeFailed(db, err);
  const std::string where =
      " WHERE (?1 = '' OR kind = ?1) AND (?2 = '' OR name LIKE ?3 ESCAPE '\\' OR id LIKE ?3 "
      "ESCAPE '\\')";
  const std::string source = softwareSource(table, scope);
  const std::string items =
      "SELECT kind, id, max(name) AS name, " FLXREAD_TOTAL_SQL " FROM " + source + where +
      " GROUP BY kind, id ORDER BY lower(CASE WHEN max(name) = '' THEN id ELSE max(name) END), "
      "id, kind LIMIT ?4 OFFSET ?5";
  const std::string count =
      "SELECT count(*) FROM (SELECT 1 FROM " + source + where + " GROUP BY kind, id)";
  const std::string pattern = likePattern(q.name);
  auto bind = [&](Query& s) { s.bind(q.kind).bind(q.name).bind(pattern); };
  // Each item gets its versions as it is read: an export streams them.
  Versions versions;
  bool ok = true;
  RowSink withVersions = [&](Json::Value& row) {
    const std::string kind = row["kind"].asString(), id = row["id"].asString();
    ok = versionsOf(db, table, kindNamed(kind), id, scope, versions);
    if (!ok) return false;
    row = item(kind, id, row["name"].asString(), versions);
    return page.sink == nullptr || (*page.sink)(row);
  };
  if (page.sink != nullptr) {
    Page whole = page;
    whole.sink = &withVersions;
    const Result r = pagedRows(db, count, items, whole, "items", bind, out, err);
    return r == kOk && !ok ? storeFailed(db, err) : r;
  }
  Result r = pagedRows(db, count, items, page, "items", bind, out, err);
  if (r != kOk) return r;
  for (Json::Value& row : out["items"])
    if (!withVersions(row)) return storeFailed(db, err);
  return kOk;
}

Result devicesWith(const Kind& kind, const std::string& id, const std::string& op,
                   const std::string& version, const Page& page, Json::Value& out, std::string& err,
                   const Scope& scope) {
  std::string where = std::string("x.") + kind.idColumn + " = ?1 AND " + scopeSql(scope, "d.id");
  if (!op.empty()) {
    auto found = versionOps().find(op);
    if (found == versionOps().end()) {
      err = "unknown version comparison '" + op + "'";
      return kBadArgument;
    }
    where += " AND flx_vercmp(x.version, ?2) " + found->second;
  }
  ReadDb db;
  bool table = false;
  Versions versions;
  if (!db.ok() || !hasSoftwareTable(db, table) || !versionsOf(db, table, kind, id, scope, versions))
    return storeFailed(db, err);
  const std::string newest = versions.empty() ? std::string() : versions.front().first;
  const std::string extra =
      &kind == &kPackage ? ", x.pkg_id, x.status" : ", x.app_id, x.name_enu AS name";
  auto join = [&](const std::string& cols) {
    return "SELECT " + cols + " FROM " + kind.table +
           " x JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = x.qx_id WHERE " + where;
  };
  auto behind = [&](Json::Value& row) {
    row["behind"] = !newest.empty() && compareVersions(row["version"].asString(), newest) < 0;
  };
  RowSink marked;
  Page p = page;
  if (page.sink != nullptr) {
    marked = [&](Json::Value& row) {
      behind(row);
      return (*page.sink)(row);
    };
    p.sink = &marked;
  }
  Result r = pagedRows(
      db, join("count(*)"),
      join(FLXREAD_TOTAL_SQL ", d.id AS qx_id, d.sn, d.hostname, d.model_name, x.version" + extra) +
          " ORDER BY d.sn LIMIT ?3 OFFSET ?4",
      p, "devices", [&](Query& s) { s.bind(id).bind(version); }, out, err);
  if (r != kOk || page.sink != nullptr) return r;
  for (Json::Value& row : out["devices"]) behind(row);
  out["newest"] = newest.empty() ? Json::Value() : Json::Value(newest);
  return kOk;
}

}  // namespace

bool isVersionOp(const std::string& op) {
  return versionOps().count(op) != 0;
}

Result software(const SoftwareQuery& q, const Page& page, Json::Value& out, std::string& err,
                const Scope& scope) {
  return guarded(err, [&] { return listSoftware(q, page, out, err, scope); });
}

Result devicesWithPackage(const std::string& pkgId, const std::string& op,
                          const std::string& version, const Page& page, Json::Value& out,
                          std::string& err, const Scope& scope) {
  return guarded(err,
                 [&] { return devicesWith(kPackage, pkgId, op, version, page, out, err, scope); });
}

Result devicesWithApp(const std::string& appId, const std::string& op, const std::string& version,
                      const Page& page, Json::Value& out, std::string& err, const Scope& scope) {
  return guarded(
      err, [&] { return devicesWith(kApplication, appId, op, version, page, out, err, scope); });
}

}  // namespace flxread
