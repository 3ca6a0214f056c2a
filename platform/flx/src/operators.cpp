// Operators of the inventory: names and the hashes of their tokens.
#include <time.h>

#include "flx.h"
#include "flx_schema.h"
#include "registry_db.h"

using namespace flxreg;

int KEVOFLXOperatorCreate(const std::string& name, const std::string& tokenHash) {
  return guarded(-1, [&] {
    if (name.empty() || tokenHash.empty()) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db,
            "INSERT INTO " KEVOFLX_TABLE_OPERATORS "(name, token_hash, created) VALUES(?, ?, ?)");
    st.bind(name);
    st.bind(tokenHash);
    st.bind(static_cast<int64_t>(time(nullptr)));
    return st.run() ? 0 : -1;
  });
}

int KEVOFLXOperatorDelete(const std::string& name) {
  return guarded(-1, [&] {
    if (name.empty()) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "DELETE FROM " KEVOFLX_TABLE_OPERATORS " WHERE name = ?");
    st.bind(name);
    return runChange(db, st);
  });
}

int KEVOFLXOperatorList(std::vector<KEVOFLX_OPERATOR>& out) {
  return guarded(-1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db,
            "SELECT o.name, o.created, coalesce(t.expiry, 0), coalesce(t.last_used, 0) "
            "FROM " KEVOFLX_TABLE_OPERATORS " o LEFT JOIN " KEVOFLX_TABLE_OPERATOR_TOKENS
            " t ON t.name = o.name ORDER BY o.name");
    return collectInto(st, out, [&](KEVOFLX_OPERATOR& op) {
      st.read(op.name);
      st.read(op.created);
      st.read(op.expiry);
      st.read(op.last_used);
    });
  });
}
