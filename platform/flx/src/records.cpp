#include "records.h"

#include "flx_schema.h"

namespace flxreg {
namespace {

// Column definitions from a record's fields: texts and numbers are never NULL.
struct ColumnDefs {
  std::string out;
  void operator()(const std::string& name, const std::string&) {
    out += ", " + name + " TEXT NOT NULL DEFAULT ''";
  }
  template <class T>
  void operator()(const std::string& name, const T&) {
    out += ", " + name + " INTEGER NOT NULL DEFAULT 0";
  }
};

template <class Rec, class Visit>
std::string table(const char* name, Visit visit, const char* constraints) {
  Rec rec;
  ColumnDefs defs;
  visit(rec, defs);
  return std::string("CREATE TABLE IF NOT EXISTS ") + name +
         " (id INTEGER PRIMARY KEY AUTOINCREMENT" + defs.out + ", " + constraints + ");";
}

// Ids are never reused (AUTOINCREMENT): a device id names a mirror folder that outlives the
// device's registry entry.
const char kDeviceKeys[] = "UNIQUE(sn)";
const char kAppKeys[] =
    "UNIQUE(qx_id, app_id), FOREIGN KEY(qx_id) REFERENCES " KEVOFLX_TABLE_DEVICES
    "(id) ON DELETE CASCADE";
const char kPkgKeys[] =
    "UNIQUE(qx_id, pkg_id), FOREIGN KEY(qx_id) REFERENCES " KEVOFLX_TABLE_DEVICES
    "(id) ON DELETE CASCADE";
const char kInfoKeys[] =
    "UNIQUE(qx_id), FOREIGN KEY(qx_id) REFERENCES " KEVOFLX_TABLE_DEVICES "(id) ON DELETE CASCADE";
const char kSessionsSql[] = "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_SESSIONS
                            " ("
                            "sid TEXT PRIMARY KEY NOT NULL, "
                            "sn TEXT NOT NULL REFERENCES " KEVOFLX_TABLE_DEVICES
                            "(sn) ON DELETE CASCADE ON UPDATE CASCADE, "
                            "api_class TEXT NOT NULL, "
                            "expiry INTEGER NOT NULL DEFAULT 0);"
                            "CREATE INDEX IF NOT EXISTS " KEVOFLX_INDEX_SESSIONS_BY_SN
                            " ON " KEVOFLX_TABLE_SESSIONS "(sn);";
// Operators read the inventory with a token of their own; only its hash is kept.
const char kOperatorsSql[] = "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_OPERATORS
                             " ("
                             "name TEXT PRIMARY KEY NOT NULL, "
                             "token_hash TEXT NOT NULL UNIQUE, "
                             "created INTEGER NOT NULL DEFAULT 0);";
// Fleet queries look packages and applications up by id across devices; the indexes carry
// what those answers show, so the records themselves are not read.
const char kFleetIndexesSql[] =
    "CREATE INDEX IF NOT EXISTS " KEVOFLX_INDEX_PKGS_BY_ID " ON " KEVOFLX_TABLE_PKGS
    "(pkg_id, qx_id, version, status);"
    "CREATE INDEX IF NOT EXISTS " KEVOFLX_INDEX_APPS_BY_ID " ON " KEVOFLX_TABLE_APPS
    "(app_id, qx_id, version, name_enu);";

// Enrollment's tables. Secrets keep only the hash of their secret part; a revoked one stays, so
// that it is refused as revoked. Sessions' identities and admissions go with their session or
// device. A group is a name for now.
const char kEnrollSchemaSql[] =
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_ENROLL_SECRETS
    " ("
    "public_id TEXT PRIMARY KEY NOT NULL, "
    "secret_hash TEXT NOT NULL, "
    "group_name TEXT NOT NULL DEFAULT '', "
    "expires INTEGER NOT NULL DEFAULT 0, "
    "uses_left INTEGER NOT NULL DEFAULT -1, "
    "approve INTEGER NOT NULL DEFAULT 0, "
    "session_ttl INTEGER NOT NULL DEFAULT 0, "
    "created INTEGER NOT NULL DEFAULT 0, "
    "revoked INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_SESSION_IDENTITIES
    " ("
    "sid TEXT PRIMARY KEY NOT NULL REFERENCES " KEVOFLX_TABLE_SESSIONS
    "(sid) ON DELETE CASCADE, "
    "fingerprint TEXT NOT NULL, "
    "identity TEXT NOT NULL DEFAULT '', "
    "ttl INTEGER NOT NULL DEFAULT 0, "
    "created INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_ADMISSIONS
    " ("
    "sn TEXT PRIMARY KEY NOT NULL REFERENCES " KEVOFLX_TABLE_DEVICES
    "(sn) ON DELETE CASCADE ON UPDATE CASCADE, "
    "state TEXT NOT NULL DEFAULT 'approved' CHECK(state IN ('approved', 'pending', 'rejected')), "
    "group_name TEXT NOT NULL DEFAULT '', "
    "fingerprint TEXT NOT NULL DEFAULT '', "
    "enrolled INTEGER NOT NULL DEFAULT 0, "
    "conflict INTEGER NOT NULL DEFAULT 0, "
    "conflict_since INTEGER NOT NULL DEFAULT 0, "
    "foreign_sn_pushes INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS " KEVOFLX_INDEX_ADMISSIONS_BY_FINGERPRINT
    " ON " KEVOFLX_TABLE_ADMISSIONS "(fingerprint);";

// Liveness, token expiry and push key use: tables of their own beside the records, so that
// the push path writes one small row. A device's contact row goes with the device.
const char kLivenessSchemaSql[] =
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_CONTACTS
    " ("
    "device_id INTEGER PRIMARY KEY NOT NULL REFERENCES " KEVOFLX_TABLE_DEVICES
    "(id) ON DELETE CASCADE, "
    "arrival INTEGER NOT NULL, "
    "collect_time INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS " KEVOFLX_INDEX_CONTACTS_BY_ARRIVAL " ON " KEVOFLX_TABLE_CONTACTS
    "(arrival);"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_OPERATOR_TOKENS
    " ("
    "name TEXT PRIMARY KEY NOT NULL REFERENCES " KEVOFLX_TABLE_OPERATORS
    "(name) ON DELETE CASCADE, "
    "expiry INTEGER NOT NULL DEFAULT 0, "
    "last_used INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_KEY_USE
    " ("
    "key_id TEXT PRIMARY KEY NOT NULL, "
    "last_used INTEGER NOT NULL DEFAULT 0);"
    // When each session was made, whoever made it: the trigger sees every insert.
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_SESSION_TIMES
    " ("
    "sid TEXT PRIMARY KEY NOT NULL REFERENCES " KEVOFLX_TABLE_SESSIONS
    "(sid) ON DELETE CASCADE ON UPDATE CASCADE, "
    "created INTEGER NOT NULL);"
    "CREATE TRIGGER IF NOT EXISTS " KEVOFLX_TRIGGER_SESSION_CREATED
    " AFTER INSERT ON " KEVOFLX_TABLE_SESSIONS
    " BEGIN INSERT OR REPLACE INTO " KEVOFLX_TABLE_SESSION_TIMES
    "(sid, created) VALUES (new.sid, CAST(strftime('%s', 'now') AS INTEGER)); END;";

// Groups, operators' roles and scopes, and the audit trail. A device is in at most one group
// (its row here); an operator without an access row is a viewer of everything, which is what
// tokens made before roles existed become. `scoped` = 0 reads every group, so that removing
// a scoped operator's last group leaves it seeing nothing rather than everything. The audit
// trail refuses UPDATE always and DELETE of rows younger than the retention.
const char kOperatorsSchemaSql[] =
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_GROUPS
    " (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL UNIQUE, "
    "created INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_DEVICE_GROUPS
    " (device_id INTEGER PRIMARY KEY NOT NULL REFERENCES " KEVOFLX_TABLE_DEVICES
    "(id) ON DELETE CASCADE, "
    "group_id INTEGER NOT NULL REFERENCES " KEVOFLX_TABLE_GROUPS
    "(id));"
    "CREATE INDEX IF NOT EXISTS " KEVOFLX_INDEX_DEVICE_GROUPS_BY_GROUP
    " ON " KEVOFLX_TABLE_DEVICE_GROUPS
    "(group_id, device_id);"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_GROUP_GENERATION
    " (one INTEGER PRIMARY KEY CHECK(one = 1), n INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO " KEVOFLX_TABLE_GROUP_GENERATION
    " VALUES(1, 0);"
    "CREATE TRIGGER IF NOT EXISTS device_groups_ins AFTER INSERT ON " KEVOFLX_TABLE_DEVICE_GROUPS
    " BEGIN UPDATE " KEVOFLX_TABLE_GROUP_GENERATION
    " SET n = n + 1; END;"
    "CREATE TRIGGER IF NOT EXISTS device_groups_upd AFTER UPDATE ON " KEVOFLX_TABLE_DEVICE_GROUPS
    " BEGIN UPDATE " KEVOFLX_TABLE_GROUP_GENERATION
    " SET n = n + 1; END;"
    "CREATE TRIGGER IF NOT EXISTS device_groups_del AFTER DELETE ON " KEVOFLX_TABLE_DEVICE_GROUPS
    " BEGIN UPDATE " KEVOFLX_TABLE_GROUP_GENERATION
    " SET n = n + 1; END;"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_OPERATOR_ACCESS
    " (name TEXT PRIMARY KEY NOT NULL REFERENCES " KEVOFLX_TABLE_OPERATORS
    "(name) ON DELETE CASCADE, "
    "role TEXT NOT NULL CHECK(role IN ('viewer', 'admin', 'metrics')), "
    "scoped INTEGER NOT NULL DEFAULT 0, "
    "expires INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_OPERATOR_GROUPS
    " (name TEXT NOT NULL REFERENCES " KEVOFLX_TABLE_OPERATORS
    "(name) ON DELETE CASCADE, "
    "group_id INTEGER NOT NULL REFERENCES " KEVOFLX_TABLE_GROUPS
    "(id) ON DELETE CASCADE, "
    "PRIMARY KEY(name, group_id));"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_AUDIT
    " (id INTEGER PRIMARY KEY AUTOINCREMENT, at INTEGER NOT NULL, who TEXT NOT NULL, "
    "action TEXT NOT NULL, object TEXT NOT NULL DEFAULT '', device TEXT NOT NULL DEFAULT '', "
    "group_name TEXT NOT NULL DEFAULT '', address TEXT NOT NULL DEFAULT '', "
    "result TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS " KEVOFLX_INDEX_AUDIT_BY_TIME " ON " KEVOFLX_TABLE_AUDIT
    "(at);"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_AUDIT_POLICY
    " (one INTEGER PRIMARY KEY CHECK(one = 1), retention_days INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO " KEVOFLX_TABLE_AUDIT_POLICY
    " VALUES(1, 365);"
    "CREATE TABLE IF NOT EXISTS " KEVOFLX_TABLE_AUDIT_COUNTERS
    " (kind TEXT PRIMARY KEY NOT NULL, count INTEGER NOT NULL DEFAULT 0);"
    "CREATE TRIGGER IF NOT EXISTS audit_no_update BEFORE UPDATE ON " KEVOFLX_TABLE_AUDIT
    " BEGIN SELECT RAISE(ABORT, 'the audit trail is append-only'); END;"
    "CREATE TRIGGER IF NOT EXISTS audit_prune_only BEFORE DELETE ON " KEVOFLX_TABLE_AUDIT
    " WHEN old.at >= CAST(strftime('%s', 'now') AS INTEGER) - 86400 * (SELECT retention_days "
    "FROM " KEVOFLX_TABLE_AUDIT_POLICY
    ") BEGIN SELECT RAISE(ABORT, 'the audit trail is append-only'); END;";

// The device list sorted by a device column reads its page from an index in that order and
// stops at the page. Equal values are ordered by serial number, descending in a descending
// sort: one index serves both directions, and a push that rewrites the row updates one each.
const char kListIndexesSql[] =
    "CREATE INDEX IF NOT EXISTS devices_model_name ON " KEVOFLX_TABLE_DEVICES
    "(model_name, sn);"
    "CREATE INDEX IF NOT EXISTS devices_version ON " KEVOFLX_TABLE_DEVICES
    "(version, sn);"
    "CREATE INDEX IF NOT EXISTS devices_build_number ON " KEVOFLX_TABLE_DEVICES
    "(build_number, sn);"
    "CREATE INDEX IF NOT EXISTS devices_status ON " KEVOFLX_TABLE_DEVICES
    "(status, sn);"
    "CREATE INDEX IF NOT EXISTS devices_up_time ON " KEVOFLX_TABLE_DEVICES
    "(up_time, sn);"
    "CREATE INDEX IF NOT EXISTS devices_cluster_role ON " KEVOFLX_TABLE_DEVICES
    "(cluster_role, sn);";

}  // namespace

// The registry's schema, one numbered step per change: a database has had every step up to
// its user_version. A change of the schema is a new step at the end, never an edit of one
// that shipped; kSchemaVersion names the last.
std::vector<kevo::SchemaStep> schemaSteps() {
  auto dev = [](auto& r, auto& v) { visitDevice(r, v); };
  auto app = [](auto& r, auto& v) { visitApp(r, v); };
  auto pkg = [](auto& r, auto& v) { visitPkg(r, v); };
  auto info = [](auto& r, auto& v) { visitInfo(r, v); };
  return {
      {1,
       table<KEVOFLX_QX>(KEVOFLX_TABLE_DEVICES, dev, kDeviceKeys) + kSessionsSql +
           table<KEVOFLX_APP>(KEVOFLX_TABLE_APPS, app, kAppKeys) +
           table<KEVOFLX_PKG>(KEVOFLX_TABLE_PKGS, pkg, kPkgKeys) +
           table<KEVOFLX_INFO>(KEVOFLX_TABLE_INFO, info, kInfoKeys),
       nullptr},
      {2, std::string(kOperatorsSql) + kFleetIndexesSql, nullptr},
      {3, kEnrollSchemaSql, nullptr},
      {4, kLivenessSchemaSql, nullptr},
      {5, kOperatorsSchemaSql, nullptr},
      {6, kListIndexesSql, nullptr},
  };
}

}  // namespace flxreg
