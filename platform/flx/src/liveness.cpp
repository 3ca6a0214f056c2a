// Liveness, token expiry, push key use and session times: small rows beside the records.
#include <memory>

#include "flx.h"
#include "flx_schema.h"
#include "registry_db.h"

using namespace flxreg;

namespace {

// Last-use rows move only once a step has passed, so that a busy token or key costs a write
// a minute, not one per call; an UPDATE that matches nothing writes no page.
int touch(const char* what, const char* table, const char* keyColumn, const std::string& key,
          int64_t now) {
  return guarded(what, -1, [&] {
    if (key.empty() || now <= 0) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, std::string("INSERT INTO ") + table + "(" + keyColumn +
                    ", last_used) VALUES(?1, ?2) ON CONFLICT(" + keyColumn +
                    ") DO UPDATE SET last_used = excluded.last_used WHERE last_used <= ?2 - " +
                    std::to_string(KEVOFLX_LAST_USE_STEP) + " OR last_used > ?2");
    st.bind(key);
    st.bind(now);
    return st.run() ? 0 : -1;
  });
}

}  // namespace

int KEVOFLXContactNote(const std::string& sn, int64_t arrival, int64_t collectTime) {
  KEVOFLX_CONTACT contact;
  contact.sn = sn;
  contact.arrival = arrival;
  contact.collect_time = collectTime;
  return KEVOFLXContactNotes({contact});
}

int KEVOFLXContactNotes(const std::vector<KEVOFLX_CONTACT>& contacts) {
  return guarded("record a contact", -1, [&] {
    for (const KEVOFLX_CONTACT& c : contacts)
      if (c.sn.empty() || c.arrival <= 0 || c.collect_time < 0) return failInvalid();
    if (contacts.empty()) return 0;
    Db db;
    if (!db.ok()) return -1;
    // One commit for a batch; a single contact commits by itself, without the two statements.
    std::unique_ptr<Transaction> tx;
    if (contacts.size() > 1) {
      tx.reset(new Transaction(db));
      if (!tx->ok()) return -1;
    }
    for (const KEVOFLX_CONTACT& c : contacts) {
      Stmt st(db, "INSERT INTO " KEVOFLX_TABLE_CONTACTS
                  "(device_id, arrival, collect_time) SELECT id, ?1, ?2 FROM " KEVOFLX_TABLE_DEVICES
                  " WHERE sn = ?3 ON CONFLICT(device_id) DO UPDATE SET arrival = excluded.arrival,"
                  " collect_time = CASE WHEN excluded.collect_time > 0 THEN excluded.collect_time"
                  " ELSE collect_time END");
      st.bind(c.arrival);
      st.bind(c.collect_time);
      st.bind(c.sn);
      if (!st.run()) return -1;
    }
    return !tx || tx->commit() ? 0 : -1;
  });
}

int KEVOFLXOperatorSetExpiry(const std::string& name, int64_t expiry) {
  return guarded("set a token's expiry", -1, [&] {
    if (name.empty() || expiry < 0) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "INSERT INTO " KEVOFLX_TABLE_OPERATOR_TOKENS
                "(name, expiry) SELECT name, ?1 FROM " KEVOFLX_TABLE_OPERATORS
                " WHERE name = ?2 ON CONFLICT(name) DO UPDATE SET expiry = excluded.expiry");
    st.bind(expiry);
    st.bind(name);
    return runChange(db, st);
  });
}

int KEVOFLXOperatorTouch(const std::string& name, int64_t now) {
  return touch("note a token's use", KEVOFLX_TABLE_OPERATOR_TOKENS, "name", name, now);
}

int KEVOFLXKeyUsed(const std::string& keyId, int64_t now) {
  return touch("note a push key's use", KEVOFLX_TABLE_KEY_USE, "key_id", keyId, now);
}

int KEVOFLXKeyUseList(std::vector<std::pair<std::string, int64_t>>& out) {
  return guarded("list the push keys' use", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "SELECT key_id, last_used FROM " KEVOFLX_TABLE_KEY_USE " ORDER BY key_id");
    return collectInto(st, out, [&](std::pair<std::string, int64_t>& use) {
      st.read(use.first);
      st.read(use.second);
    });
  });
}

int KEVOFLXKeyUseForget(const std::string& keyId) {
  return guarded("forget a push key's use", -1, [&] {
    if (keyId.empty()) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "DELETE FROM " KEVOFLX_TABLE_KEY_USE " WHERE key_id = ?");
    st.bind(keyId);
    return st.run() ? 0 : -1;
  });
}

int KEVOFLXSessionList(const std::string& sn, std::vector<KEVOFLX_SESSION>& out) {
  return guarded("list sessions", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(
        db,
        "SELECT s.sn, s.api_class, coalesce(t.created, 0), s.expiry FROM " KEVOFLX_TABLE_SESSIONS
        " s LEFT JOIN " KEVOFLX_TABLE_SESSION_TIMES
        " t ON t.sid = s.sid WHERE ?1 = '' OR s.sn = ?1 ORDER BY s.sn, 3, s.expiry");
    st.bind(sn);
    return collectInto(st, out, [&](KEVOFLX_SESSION& s) {
      st.read(s.sn);
      st.read(s.api_class);
      st.read(s.created);
      st.read(s.expiry);
    });
  });
}
