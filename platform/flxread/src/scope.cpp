// Which devices a reader sees: the one predicate of every read view.
#include <algorithm>

#include "flx_schema.h"
#include "read_db.h"

namespace flxread {

// "1,5,9": the scope's group ids as integer literals. They come from the registry, never from a
// request, so that they may be written into the statement.
std::string scopeGroupIds(const Scope& scope) {
  std::string ids;
  for (size_t i = 0; i < scope.groups.size(); ++i)
    ids += (i == 0 ? "" : ",") + std::to_string(scope.groups[i]);
  return ids;
}

// A lookup of the device's membership row by its key: a page read in index order checks its
// own rows only, and a device without a group has no row, so only an all-devices scope sees it.
std::string scopeSql(const Scope& scope, const char* deviceId) {
  if (scope.all) return "1";
  if (scope.groups.empty()) return "0";
  return std::string("EXISTS (SELECT 1 FROM " KEVOFLX_TABLE_DEVICE_GROUPS
                     " sg WHERE sg.device_id = ") +
         deviceId + " AND sg.group_id IN (" + scopeGroupIds(scope) + "))";
}

std::string scopeJoinSql(const Scope& scope, const char* deviceId) {
  if (scope.all) return "";
  if (scope.groups.empty()) return " CROSS JOIN (SELECT 1 WHERE 0)";
  // A join, not a subquery per row: half the cost of a row on a long scan.
  return std::string(" CROSS JOIN " KEVOFLX_TABLE_DEVICE_GROUPS " sg ON sg.device_id = ") +
         deviceId + " AND sg.group_id IN (" + scopeGroupIds(scope) + ")";
}

std::string scopeCoversSql(const Scope& scope) {
  // Membership rows go with their device, one each: as many as devices means none is without.
  return "SELECT (SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES
         ") = (SELECT count(*) FROM " KEVOFLX_TABLE_DEVICE_GROUPS
         ") AND NOT EXISTS (SELECT 1 FROM " KEVOFLX_TABLE_GROUPS " g WHERE g.id NOT IN (" +
         scopeGroupIds(scope) +
         ") AND EXISTS (SELECT 1 FROM " KEVOFLX_TABLE_DEVICE_GROUPS " m WHERE m.group_id = g.id))";
}

std::string scopeCountSql(const Scope& scope) {
  if (scope.all) return "SELECT count(*) FROM " KEVOFLX_TABLE_DEVICES;
  if (scope.groups.empty()) return "SELECT 0";
  // Membership rows go with their device (a foreign key with cascade): counted from the
  // group index alone.
  return "SELECT count(*) FROM " KEVOFLX_TABLE_DEVICE_GROUPS " WHERE group_id IN (" +
         scopeGroupIds(scope) + ")";
}

Result narrowToGroup(Scope& scope, const std::string& name, std::string& err) {
  return guarded(err, [&] {
    if (name.empty()) return kOk;
    ReadDb db;
    Query q(db, "SELECT id FROM " KEVOFLX_TABLE_GROUPS " WHERE name = ?");
    q.bind(name);
    const int rc = q.step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return storeFailed(db, err);
    const int64_t id = rc == SQLITE_ROW ? q.i64(0) : 0;
    const bool seen = id > 0 && (scope.all || std::find(scope.groups.begin(), scope.groups.end(),
                                                        id) != scope.groups.end());
    scope.all = false;
    scope.groups.clear();
    if (seen) scope.groups.push_back(id);
    return kOk;
  });
}

Result visible(const std::string& sn, const Scope& scope, std::string& err) {
  return guarded(err, [&] {
    ReadDb db;
    Query q(db, "SELECT 1 FROM " KEVOFLX_TABLE_DEVICES " d WHERE d.sn = ? AND " + scopeSql(scope));
    q.bind(sn);
    const int rc = q.step();
    if (rc == SQLITE_ROW) return kOk;
    if (rc == SQLITE_DONE) return kNotFound;
    return storeFailed(db, err);
  });
}

std::string groupOf(const std::string& sn) {
  std::string err, name;
  guarded(err, [&] {
    ReadDb db;
    Query q(db, "SELECT g.name FROM " KEVOFLX_TABLE_DEVICES " d JOIN " KEVOFLX_TABLE_DEVICE_GROUPS
                " m ON m.device_id = d.id JOIN " KEVOFLX_TABLE_GROUPS
                " g ON g.id = m.group_id WHERE d.sn = ?");
    q.bind(sn);
    if (q.step() == SQLITE_ROW) name = q.text(0);
    return kOk;
  });
  return name;
}

}  // namespace flxread
