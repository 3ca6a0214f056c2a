// Which devices a reader sees: the one predicate of every read view.
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "flx_schema.h"
#include "read_db.h"

namespace flxread {

namespace {

// Every device's group (index: device id; 0: none), as of a generation of device_groups in one
// registry file read through one connection. One per process (a reader's connection is too);
// rebuilt when the generation moves or the connection was opened anew (another root, a
// restored file).
struct Membership {
  sqlite3* db = nullptr;
  std::string file;
  int64_t generation = -1;
  std::vector<int64_t> groupOf;
};
Membership gMembership;

// Runs `sql` on the connection and calls `row` for each row; false on failure.
template <class Row>
bool each(sqlite3* db, const char* sql, Row row) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) return false;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) row(st);
  sqlite3_finalize(st);
  return rc == SQLITE_DONE;
}

bool refresh(sqlite3* db) {
  int64_t generation = -1;
  if (!each(db, "SELECT n FROM " KEVOFLX_TABLE_GROUP_GENERATION,
            [&](sqlite3_stmt* st) { generation = sqlite3_column_int64(st, 0); }) ||
      generation < 0)
    return false;
  const char* file = sqlite3_db_filename(db, "main");
  const std::string name = file != nullptr ? file : "";
  if (generation == gMembership.generation && db == gMembership.db && name == gMembership.file)
    return true;
  std::vector<int64_t> groupOf;
  if (!each(db, "SELECT device_id, group_id FROM " KEVOFLX_TABLE_DEVICE_GROUPS,
            [&](sqlite3_stmt* st) {
              const int64_t id = sqlite3_column_int64(st, 0);
              if (id <= 0 || id > (int64_t(1) << 31)) return;
              if (static_cast<size_t>(id) >= groupOf.size()) groupOf.resize(id + 1, 0);
              groupOf[id] = sqlite3_column_int64(st, 1);
            }))
    return false;
  gMembership.groupOf.swap(groupOf);
  gMembership.generation = generation;
  gMembership.db = db;
  gMembership.file = name;
  return true;
}

// The devices of the groups listed in `key` ("3,5"): in[id] != 0.
using Visible = std::vector<char>;

void freeVisible(void* p) {
  delete static_cast<Visible*>(p);
}

}  // namespace

// flx_in_scope(device_id, 'ID,ID,...'): 1 when the device is in one of the groups. The set of
// visible devices is made once per statement (kept with the constant argument), from the
// membership held in memory until device_groups changes: a test per row costs an index.
void sqlInScope(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* visible = static_cast<Visible*>(sqlite3_get_auxdata(ctx, 1));
  if (visible == nullptr) {
    const unsigned char* key = sqlite3_value_text(argv[1]);
    if (key == nullptr || !refresh(sqlite3_context_db_handle(ctx))) {
      sqlite3_result_error(ctx, "cannot read the devices' groups", -1);
      return;
    }
    std::vector<int64_t> groups;
    int64_t n = 0;
    bool digits = false;
    for (const unsigned char* p = key;; ++p) {
      if (*p >= '0' && *p <= '9') {
        n = n * 10 + (*p - '0');
        digits = true;
      } else {
        if (digits) groups.push_back(n);
        n = 0;
        digits = false;
        if (*p == '\0') break;
      }
    }
    auto made = std::make_unique<Visible>(gMembership.groupOf.size(), 0);
    for (size_t id = 0; id < gMembership.groupOf.size(); ++id)
      (*made)[id] =
          std::find(groups.begin(), groups.end(), gMembership.groupOf[id]) != groups.end();
    visible = made.get();
    sqlite3_set_auxdata(ctx, 1, made.release(), freeVisible);
    // SQLite may have dropped it at once (no room): read it back.
    visible = static_cast<Visible*>(sqlite3_get_auxdata(ctx, 1));
    if (visible == nullptr) {
      sqlite3_result_error_nomem(ctx);
      return;
    }
  }
  const int64_t id = sqlite3_value_int64(argv[0]);
  sqlite3_result_int(ctx, id > 0 && static_cast<size_t>(id) < visible->size() &&
                              (*visible)[static_cast<size_t>(id)] != 0);
}

std::string scopeSql(const Scope& scope, const char* deviceId) {
  if (scope.all) return "1";
  if (scope.groups.empty()) return "0";
  // Ids are integers from the registry, never text from a request; each scope is one
  // prepared statement.
  std::string key;
  for (size_t i = 0; i < scope.groups.size(); ++i)
    key += (i == 0 ? "" : ",") + std::to_string(scope.groups[i]);
  return std::string("flx_in_scope(") + deviceId + ", '" + key + "')";
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
