// Operator tokens: made from the system's random source, stored and compared as hashes.
#include <sodium.h>

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

bool operatorForToken(const std::string& token, std::string& name) {
  try {
    // An empty or absurdly long token is nobody's; do not even hash it.
    if (token.empty() || token.size() > 256) return false;
    ReadDb db;
    Query q(db, "SELECT o.name FROM " KEVOFLX_TABLE_OPERATORS
                " o LEFT JOIN " KEVOFLX_TABLE_OPERATOR_TOKENS
                " t ON t.name = o.name WHERE o.token_hash = ? AND (coalesce(t.expiry, 0) = 0 OR "
                "t.expiry > ?)");
    q.bind(tokenHash(token)).bind(clockNow());
    if (q.step() != SQLITE_ROW) return false;
    name = q.text(0);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace flxread
