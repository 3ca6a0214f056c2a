// Enrollment's lists and decisions: the admissions of enrolled devices, their approval or
// rejection, and the sessions with the identity each was issued for.
#include <json/reader.h>

#include <memory>

#include "flx.h"
#include "flx_schema.h"
#include "flxenroll.h"
#include "registry_db.h"

using namespace flxreg;

namespace flxenroll {

namespace {

void readAdmission(Stmt& st, Admission& a) {
  int64_t conflict = 0;
  st.read(a.sn);
  st.read(a.state);
  st.read(a.group);
  st.read(a.fingerprint);
  st.read(a.enrolled);
  st.read(conflict);
  st.read(a.conflictSince);
  st.read(a.foreignSnPushes);
  a.conflict = conflict != 0;
}

const char kAdmissionColumns[] =
    "SELECT sn, state, group_name, fingerprint, enrolled, conflict, conflict_since, "
    "foreign_sn_pushes FROM " KEVOFLX_TABLE_ADMISSIONS;

}  // namespace

int ListAdmissions(const std::string& state, std::vector<Admission>& out) {
  return guarded("list admissions", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, std::string(kAdmissionColumns) + (state.empty() ? "" : " WHERE state = ?") +
                    " ORDER BY sn");
    if (!state.empty()) st.bind(state);
    return collectInto(st, out, [&](Admission& row) { readAdmission(st, row); });
  });
}

int GetAdmission(const std::string& sn, Admission& out) {
  return guarded("read an admission", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, std::string(kAdmissionColumns) + " WHERE sn = ?");
    st.bind(sn);
    const int rc = st.step();
    if (rc == SQLITE_DONE) return 1;
    if (rc != SQLITE_ROW) return -1;
    readAdmission(st, out);
    return 0;
  });
}

int Approve(const std::string& sn) {
  return guarded("approve a device", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "UPDATE " KEVOFLX_TABLE_ADMISSIONS
                " SET state = 'approved', conflict = 0, conflict_since = 0 WHERE sn = ?");
    st.bind(sn);
    return runChange(db, st);
  });
}

int Reject(const std::string& sn) {
  return guarded("reject a device", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Transaction tx(db);
    if (!tx.ok()) return -1;
    Stmt st(db, "UPDATE " KEVOFLX_TABLE_ADMISSIONS " SET state = 'rejected' WHERE sn = ?");
    st.bind(sn);
    if (runChange(db, st) != 0) return -1;
    Stmt drop(db, "DELETE FROM " KEVOFLX_TABLE_SESSIONS " WHERE sn = ?");
    drop.bind(sn);
    if (!drop.run()) return -1;
    return tx.commit() ? 0 : -1;
  });
}

int ListSessions(const std::string& sn, std::vector<SessionInfo>& out) {
  return guarded("list sessions", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, std::string("SELECT s.sn, s.api_class, ifnull(i.fingerprint, ''), "
                            "ifnull(i.identity, ''), coalesce(i.created, t.created, 0), s.expiry "
                            "FROM " KEVOFLX_TABLE_SESSIONS
                            " s LEFT JOIN " KEVOFLX_TABLE_SESSION_IDENTITIES
                            " i ON i.sid = s.sid LEFT JOIN " KEVOFLX_TABLE_SESSION_TIMES
                            " t ON t.sid = s.sid") +
                    (sn.empty() ? "" : " WHERE s.sn = ?") + " ORDER BY s.sn, 5");
    if (!sn.empty()) st.bind(sn);
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return collectInto(st, out, [&](SessionInfo& s) {
      std::string identity;
      st.read(s.sn);
      st.read(s.apiClass);
      st.read(s.fingerprint);
      st.read(identity);
      st.read(s.created);
      st.read(s.expiry);
      Json::Value parsed;
      if (!identity.empty() &&
          reader->parse(identity.data(), identity.data() + identity.size(), &parsed, nullptr) &&
          parsed.isObject() && parsed["hostname"].isString())
        s.hostname = parsed["hostname"].asString();
    });
  });
}

}  // namespace flxenroll
