// The audit trail: appended to by every action, pruned only past its retention (the table's
// triggers refuse anything else).
#include <time.h>

#include "flx_schema.h"
#include "flxoperators.h"
#include "registry_db.h"

using namespace flxreg;

namespace {

const char kInsertSql[] = "INSERT INTO " KEVOFLX_TABLE_AUDIT
                          "(at, who, action, object, device, group_name, address, result) "
                          "VALUES(?, ?, ?, ?, ?, ?, ?, ?)";

}  // namespace

bool flxreg::appendAudit(const Db& db, const flxops::AuditEntry& e) {
  Stmt st(db, kInsertSql);
  st.bind(e.at != 0 ? e.at : static_cast<int64_t>(time(nullptr)));
  st.bind(e.who);
  st.bind(e.action);
  st.bind(e.object);
  st.bind(e.device);
  st.bind(e.group);
  st.bind(e.address);
  st.bind(e.result);
  return st.run();
}

namespace flxops {

int Audit(const AuditEntry& e) {
  return guarded("append to the audit trail", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    return appendAudit(db, e) ? 0 : -1;
  });
}

int AuditRefusal(const AuditEntry& e, int64_t windowSeconds) {
  return guarded("record a refusal", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Transaction tx(db);
    if (!tx.ok()) return -1;
    Stmt count(db, "INSERT INTO " KEVOFLX_TABLE_AUDIT_COUNTERS
                   "(kind, count) VALUES(?, 1) ON CONFLICT(kind) DO UPDATE SET count = count + 1");
    count.bind(e.action);
    if (!count.run()) return -1;
    const int64_t at = e.at != 0 ? e.at : static_cast<int64_t>(time(nullptr));
    Stmt recent(db, "SELECT 1 FROM " KEVOFLX_TABLE_AUDIT
                    " WHERE at > ? AND action = ? AND address = ? LIMIT 1");
    recent.bind(at - windowSeconds);
    recent.bind(e.action);
    recent.bind(e.address);
    const int rc = recent.step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return -1;
    if (rc == SQLITE_DONE) {
      AuditEntry entry = e;
      entry.at = at;
      if (!appendAudit(db, entry)) return -1;
    }
    return tx.commit() ? 0 : -1;
  });
}

int ListAudit(const AuditQuery& q, std::vector<AuditEntry>& out) {
  return guarded("read the audit trail", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    std::string sql =
        "SELECT id, at, who, action, object, device, group_name, address, result "
        "FROM " KEVOFLX_TABLE_AUDIT
        " WHERE at >= ? AND (? = '' OR who = ?) AND (? = '' OR device = ?)";
    if (q.scoped) {
      sql += " AND group_name IN (''";
      for (size_t i = 0; i < q.groups.size(); ++i) sql += ", ?";
      sql += ")";
    }
    sql += " ORDER BY id DESC LIMIT ?";
    Stmt st(db, sql);
    st.bind(q.since);
    st.bind(q.who);
    st.bind(q.who);
    st.bind(q.device);
    st.bind(q.device);
    if (q.scoped)
      for (const std::string& g : q.groups) st.bind(g);
    st.bind(q.limit);
    return collectInto(st, out, [&](AuditEntry& e) {
      st.read(e.id);
      st.read(e.at);
      st.read(e.who);
      st.read(e.action);
      st.read(e.object);
      st.read(e.device);
      st.read(e.group);
      st.read(e.address);
      st.read(e.result);
    });
  });
}

int PruneAudit(int64_t retentionDays, int64_t& removed) {
  return guarded("prune the audit trail", -1, [&] {
    if (retentionDays < 1 || retentionDays > 36500) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Transaction tx(db);
    if (!tx.ok()) return -1;
    Stmt policy(db, "UPDATE " KEVOFLX_TABLE_AUDIT_POLICY " SET retention_days = ?");
    policy.bind(retentionDays);
    if (!policy.run()) return -1;
    Stmt prune(db, "DELETE FROM " KEVOFLX_TABLE_AUDIT
                   " WHERE at < CAST(strftime('%s', 'now') AS INTEGER) - 86400 * ?");
    prune.bind(retentionDays);
    if (!prune.run()) return -1;
    removed = sqlite3_changes(db.handle());
    return tx.commit() ? 0 : -1;
  });
}

int AuditCounts(std::vector<std::pair<std::string, int64_t>>& out) {
  return guarded("read the refusal counts", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "SELECT kind, count FROM " KEVOFLX_TABLE_AUDIT_COUNTERS " ORDER BY kind");
    return collectInto(st, out, [&](std::pair<std::string, int64_t>& p) {
      st.read(p.first);
      st.read(p.second);
    });
  });
}

}  // namespace flxops
