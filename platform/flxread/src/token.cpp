// Operator tokens: made from the system's random source, stored and compared as hashes.
#include <sodium.h>
#include <stdint.h>
#include <time.h>

#include "flx_schema.h"
#include "read_db.h"

namespace flxread {

std::string tokenHash(const std::string& token) {
  unsigned char hash[crypto_generichash_BYTES];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(token.data()),
                     token.size(), nullptr, 0);
  char hex[2 * sizeof hash + 1];
  return sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
}

std::string newToken() {
  if (sodium_init() < 0) return std::string();
  unsigned char bytes[32];
  char hex[2 * sizeof bytes + 1];
  randombytes_buf(bytes, sizeof bytes);
  std::string token = sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  sodium_memzero(bytes, sizeof bytes);
  sodium_memzero(hex, sizeof hex);
  return token;
}

bool operatorForToken(const std::string& token, int64_t now, Operator& op) {
  try {
    // An empty or absurdly long token is nobody's; do not even hash it.
    if (token.empty() || token.size() > 256) return false;
    ReadDb db;
    // No access row: an operator from before roles, a viewer of everything. A token expires at
    // the earlier of its token's expiry and its access's.
    Query q(db,
            "SELECT o.name, coalesce(a.role, 'viewer'), coalesce(a.scoped, 0),"
            " min(coalesce(nullif(a.expires, 0), 9223372036854775807),"
            " coalesce(nullif(t.expiry, 0), 9223372036854775807)) FROM " KEVOFLX_TABLE_OPERATORS
            " o LEFT JOIN " KEVOFLX_TABLE_OPERATOR_ACCESS
            " a ON a.name = o.name LEFT JOIN " KEVOFLX_TABLE_OPERATOR_TOKENS
            " t ON t.name = o.name WHERE o.token_hash = ?");
    q.bind(tokenHash(token));
    if (q.step() != SQLITE_ROW) return false;
    Operator found;
    found.name = q.text(0);
    found.role = q.text(1);
    found.scope.all = q.i64(2) == 0;
    found.expires = q.i64(3) == INT64_MAX ? 0 : q.i64(3);
    if (found.expires != 0 && found.expires <= now) return false;
    if (!found.scope.all) {
      Query g(db, "SELECT g.id, g.name FROM " KEVOFLX_TABLE_OPERATOR_GROUPS
                  " og JOIN " KEVOFLX_TABLE_GROUPS
                  " g ON g.id = og.group_id WHERE og.name = ?"
                  " ORDER BY g.id");
      g.bind(found.name);
      int rc;
      while ((rc = g.step()) == SQLITE_ROW) {
        found.scope.groups.push_back(g.i64(0));
        found.groups.push_back(g.text(1));
      }
      if (rc != SQLITE_DONE) return false;
    }
    op = found;
    return true;
  } catch (...) {
    return false;
  }
}

bool operatorForToken(const std::string& token, std::string& name) {
  Operator op;
  if (!operatorForToken(token, clockNow(), op)) return false;
  name = op.name;
  return true;
}

}  // namespace flxread
