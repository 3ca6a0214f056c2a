// Enrollment: secrets, joins (alone or in a batch), renewals, the identity check of pushes.
#include "flxenroll.h"

#include <ctype.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "flx.h"
#include "flx_schema.h"
#include "flxoperators.h"
#include "kevoids.h"
#include "kevoroot.h"
#include "registry_db.h"

using namespace flxreg;

namespace flxenroll {

namespace {

const size_t kFingerprintHex = 64;
// Serials taken by other machines get "-2", "-3", ... up to this many.
const int kMaxSuffix = 1000;

// Joins wait for each other here, in the kernel, before they ask for the registry's write lock:
// the one that ends wakes the next at once, where the registry's own wait looks again only
// after its next sleep and leaves the lock idle between joins. Without the file, joins still
// take turns on the registry's lock alone.
const char kJoinTurnLock[] = "/var/packages/FLX/target/db/enroll.lock";

class JoinTurn {
 public:
  JoinTurn() {
    static int fd = -1;
    static pid_t owner = 0;
    if (owner != getpid()) {  // a lock is the open file's: a forked process needs its own
      if (fd >= 0) close(fd);
      kevo::RootIds root;
      fd = open((std::string(KEVORootPrefix()) + kJoinTurnLock).c_str(),
                O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
      owner = getpid();
    }
    if (fd >= 0 && flock(fd, LOCK_EX) == 0) fd_ = fd;
  }
  ~JoinTurn() {
    if (fd_ >= 0) flock(fd_, LOCK_UN);
  }
  JoinTurn(const JoinTurn&) = delete;
  JoinTurn& operator=(const JoinTurn&) = delete;

 private:
  int fd_ = -1;
};

bool validSerial(const std::string& sn) {
  if (sn.empty() || sn.size() > kMaxSerial) return false;
  for (unsigned char c : sn) {
    if (!isalnum(c) && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

bool validFingerprint(const std::string& fp) {
  if (fp.size() != kFingerprintHex) return false;
  for (char c : fp) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Compares two hashes without telling by its time how much of them matched.
bool sameHash(const std::string& a, const std::string& b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string newSid() {
  if (sodium_init() < 0) return std::string();  // idempotent; fails only without randomness
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof bytes);
  char hex[sizeof bytes * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  return hex;
}

bool deviceExists(const Db& db, const std::string& sn, bool& exists) {
  Stmt st(db, "SELECT 1 FROM " KEVOFLX_TABLE_DEVICES " WHERE sn = ?");
  st.bind(sn);
  const int rc = st.step();
  exists = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool createDevice(const Db& db, const std::string& sn, const std::string& hostname, int64_t now) {
  Stmt st(db, "INSERT INTO " KEVOFLX_TABLE_DEVICES
              "(sn, hostname, status, last_update) VALUES(?, ?, ?, ?)");
  st.bind(sn);
  st.bind(hostname);
  st.bind(static_cast<int64_t>(KEVOFLX_QX_STATUS_REGISTERED));
  st.bind(now);
  return st.run();
}

bool markConflict(const Db& db, const std::string& sn, int64_t now) {
  Stmt st(db, "INSERT INTO " KEVOFLX_TABLE_ADMISSIONS
              "(sn, conflict, conflict_since) VALUES(?, 1, ?) ON CONFLICT(sn) DO UPDATE SET "
              "conflict = 1, conflict_since = CASE WHEN conflict = 0 THEN excluded.conflict_since "
              "ELSE conflict_since END");
  st.bind(sn);
  st.bind(now);
  return st.run();
}

// Issues session `out.sid` of `out.sn`, valid for `ttl`, for the identity.
bool issueSession(const Db& db, const std::string& fingerprint, const std::string& identity,
                  int64_t ttl, int64_t now, Issued& out) {
  out.sid = newSid();
  if (out.sid.empty()) return false;
  out.expires = now + ttl;
  Stmt session(
      db, "INSERT INTO " KEVOFLX_TABLE_SESSIONS "(sid, sn, api_class, expiry) VALUES(?, ?, ?, ?)");
  session.bind(out.sid);
  session.bind(out.sn);
  session.bind(std::string(KEVOFLX_DEFAULT_API_CLASS));
  session.bind(out.expires);
  if (!session.run()) return false;
  Stmt bound(db, "INSERT INTO " KEVOFLX_TABLE_SESSION_IDENTITIES
                 "(sid, fingerprint, identity, ttl, created) VALUES(?, ?, ?, ?, ?)");
  bound.bind(out.sid);
  bound.bind(fingerprint);
  bound.bind(identity);
  bound.bind(ttl);
  bound.bind(now);
  return bound.run();
}

// Ends the sessions of `sn` issued for `fingerprint` within the grace period.
bool shortenSessions(const Db& db, const std::string& sn, const std::string& fingerprint,
                     int64_t now) {
  // Correlated, so that each of the device's sessions is looked up by its id: a list subquery
  // would scan every session identity of the fleet on every join.
  Stmt st(db, "UPDATE " KEVOFLX_TABLE_SESSIONS
              " SET expiry = ?1 WHERE sn = ?2 AND (expiry = 0 OR expiry > ?1) AND EXISTS "
              "(SELECT 1 FROM " KEVOFLX_TABLE_SESSION_IDENTITIES
              " i WHERE i.sid = " KEVOFLX_TABLE_SESSIONS ".sid AND i.fingerprint = ?3)");
  st.bind(now + kRenewGraceSeconds);
  st.bind(sn);
  st.bind(fingerprint);
  return st.run();
}

struct SecretRow {
  std::string hash, group;
  int64_t expires = 0, usesLeft = -1, approve = 0, sessionTtl = 0, revoked = 0;
};

// 0 when the secret may enroll a machine, else the code of the refusal.
int checkSecret(const Db& db, const std::string& publicId, const std::string& secret, int64_t now,
                SecretRow& row) {
  Stmt st(db,
          "SELECT secret_hash, group_name, expires, uses_left, approve, session_ttl, revoked "
          "FROM " KEVOFLX_TABLE_ENROLL_SECRETS " WHERE public_id = ?");
  st.bind(publicId);
  const int rc = st.step();
  if (rc == SQLITE_DONE) return kErrTokenBad;
  if (rc != SQLITE_ROW) return kErrStore;
  st.read(row.hash);
  st.read(row.group);
  st.read(row.expires);
  st.read(row.usesLeft);
  st.read(row.approve);
  st.read(row.sessionTtl);
  st.read(row.revoked);
  if (!sameHash(row.hash, Sha256Hex(secret))) return kErrTokenBad;
  if (row.revoked != 0) return kErrTokenRevoked;
  if (row.expires != 0 && row.expires <= now) return kErrTokenExpired;
  if (row.usesLeft == 0) return kErrTokenUsedUp;
  return 0;
}

// The device a machine joins as: its own again (same fingerprint), its serial when free or
// registered by hand without another identity, else the serial with the first free suffix
// (and the serial's device marked). `state` is the admission's when the device had one.
int chooseDevice(const Db& db, const Identity& id, int64_t now, std::string& sn,
                 std::string& state) {
  {
    Stmt mine(db, "SELECT sn, state FROM " KEVOFLX_TABLE_ADMISSIONS
                  " WHERE fingerprint = ? ORDER BY enrolled DESC LIMIT 1");
    mine.bind(id.fingerprint);
    const int rc = mine.step();
    if (rc == SQLITE_ROW) {
      mine.read(sn);
      mine.read(state);
      return 0;
    }
    if (rc != SQLITE_DONE) return kErrStore;
  }
  bool taken = false;
  if (!deviceExists(db, id.serial, taken)) return kErrStore;
  if (taken) {
    // A device registered by hand is claimed only while no session of it belongs to another
    // machine: one made by hand may be pushing from a client without fingerprints.
    Stmt other(
        db, "SELECT 1 FROM " KEVOFLX_TABLE_SESSIONS " s LEFT JOIN " KEVOFLX_TABLE_SESSION_IDENTITIES
            " i ON i.sid = s.sid WHERE s.sn = ?1 AND "
            "ifnull(i.fingerprint, '') <> ?2 UNION ALL SELECT 1 FROM " KEVOFLX_TABLE_ADMISSIONS
            " WHERE sn = ?1 AND fingerprint NOT IN ('', ?2) LIMIT 1");
    other.bind(id.serial);
    other.bind(id.fingerprint);
    const int rc = other.step();
    if (rc == SQLITE_DONE) {
      sn = id.serial;
      return 0;
    }
    if (rc != SQLITE_ROW) return kErrStore;
    if (!markConflict(db, id.serial, now)) return kErrStore;
    for (int n = 2; n <= kMaxSuffix && taken; ++n) {
      sn = id.serial + "-" + std::to_string(n);
      if (!deviceExists(db, sn, taken)) return kErrStore;
    }
    if (taken) return kErrBadParam;
  } else {
    sn = id.serial;
  }
  return createDevice(db, sn, id.hostname, now) ? 0 : kErrStore;
}

// The batch of joins open in this process: its connection, and from its first admitted join
// on, its turn and its transaction (refusals alone never take the write lock).
struct JoinBatch {
  Db db;
  std::optional<JoinTurn> turn;
  std::optional<Transaction> tx;
};
std::unique_ptr<JoinBatch> gBatch;

// The open batch's transaction, begun at its first admitted join; false when it cannot begin
// (the next join tries again).
bool beginBatch() {
  JoinBatch& batch = *gBatch;
  if (batch.tx) return true;
  // Each join's savepoint keeps the pages it changes until it ends: in memory, not a file.
  if (!batch.db.exec("PRAGMA temp_store=MEMORY")) return false;
  batch.turn.emplace();
  batch.tx.emplace(batch.db);
  if (batch.tx->ok()) return true;
  batch.tx.reset();
  batch.turn.reset();
  return false;
}

}  // namespace

bool OpenJoinBatch() {
  return guarded("open a batch of joins", false, [] {
    if (gBatch) return false;
    std::unique_ptr<JoinBatch> batch(new JoinBatch);
    if (!batch->db.ok()) return false;
    gBatch = std::move(batch);
    return true;
  });
}

bool CloseJoinBatch() {
  std::unique_ptr<JoinBatch> batch = std::move(gBatch);
  if (!batch) return false;
  if (!batch->tx) return true;  // refusals only: nothing waits to be kept
  return guarded("commit a batch of joins", false, [&batch] {
    const bool kept = batch->tx->commit();
    batch->tx.reset();
    batch->db.exec("PRAGMA temp_store=DEFAULT");
    return kept;
  });
}

std::string Sha256Hex(const std::string& text) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  char hex[sizeof digest * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

std::string Fingerprint(const std::string& machineId, const std::string& productUuid,
                        std::vector<std::string> macs) {
  std::sort(macs.begin(), macs.end());
  std::string joined;
  for (const std::string& mac : macs) joined += (joined.empty() ? "" : ",") + mac;
  return Sha256Hex(machineId + "|" + productUuid + "|" + joined);
}

std::string RandomToken(size_t count) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string out;
  if (sodium_init() < 0) return out;
  for (size_t i = 0; i < count; ++i) out.push_back(kAlphabet[randombytes_uniform(36)]);
  return out;
}

int AddSecret(const Secret& secret, const std::string& secretHash) {
  return guarded("store an enrollment secret", -1, [&] {
    if (secret.publicId.empty() || secretHash.empty()) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "INSERT INTO " KEVOFLX_TABLE_ENROLL_SECRETS
                "(public_id, secret_hash, group_name, expires, uses_left, approve, session_ttl, "
                "created) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
    st.bind(secret.publicId);
    st.bind(secretHash);
    st.bind(secret.group);
    st.bind(secret.expires);
    st.bind(secret.usesLeft);
    st.bind(static_cast<int64_t>(secret.approve ? 1 : 0));
    st.bind(secret.sessionTtl);
    st.bind(secret.created);
    return st.run() ? 0 : -1;
  });
}

int ListSecrets(std::vector<Secret>& out) {
  return guarded("list enrollment secrets", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db,
            "SELECT public_id, group_name, expires, uses_left, approve, session_ttl, created, "
            "revoked FROM " KEVOFLX_TABLE_ENROLL_SECRETS " ORDER BY created, public_id");
    return collectInto(st, out, [&](Secret& s) {
      int64_t approve = 0;
      st.read(s.publicId);
      st.read(s.group);
      st.read(s.expires);
      st.read(s.usesLeft);
      st.read(approve);
      st.read(s.sessionTtl);
      st.read(s.created);
      st.read(s.revoked);
      s.approve = approve != 0;
    });
  });
}

int RevokeSecret(const std::string& publicId) {
  return guarded("revoke an enrollment secret", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "UPDATE " KEVOFLX_TABLE_ENROLL_SECRETS
                " SET revoked = ? WHERE public_id = ? AND revoked = 0");
    st.bind(static_cast<int64_t>(time(nullptr)));
    st.bind(publicId);
    return runChange(db, st);
  });
}

int Join(const std::string& publicId, const std::string& secret, const Identity& identity,
         int64_t now, Issued& out, const flxops::AuditEntry* audit) {
  return guarded("enroll a device", kErrStore, [&]() -> int {
    if (!validSerial(identity.serial) || !validFingerprint(identity.fingerprint))
      return kErrBadParam;
    Db db;
    if (!db.ok()) return kErrStore;
    SecretRow secretRow;
    // A refused secret neither waits for the write lock nor holds it from the joins that will
    // be admitted; the transaction checks again, where the use count is exact.
    int code = checkSecret(db, publicId, secret, now, secretRow);
    if (code != 0) return code;
    std::optional<JoinTurn> turn;  // a batch holds the turn for all its joins
    if (!gBatch)
      turn.emplace();
    else if (!beginBatch())
      return kErrStore;
    Transaction tx(db);
    if (!tx.ok()) return kErrStore;
    code = checkSecret(db, publicId, secret, now, secretRow);
    if (code != 0) return code;
    std::string state;
    code = chooseDevice(db, identity, now, out.sn, state);
    if (code != 0) return code;
    if (state == "rejected") return kErrNotAdmitted;
    if (state.empty()) {
      state = secretRow.approve != 0 ? "pending" : "approved";
      Stmt admit(db, "INSERT INTO " KEVOFLX_TABLE_ADMISSIONS
                     "(sn, state, group_name, fingerprint, enrolled) VALUES(?, ?, ?, ?, ?) "
                     "ON CONFLICT(sn) DO UPDATE SET state = excluded.state, group_name = "
                     "excluded.group_name, fingerprint = excluded.fingerprint, enrolled = "
                     "excluded.enrolled");
      admit.bind(out.sn);
      admit.bind(state);
      admit.bind(secretRow.group);
      admit.bind(identity.fingerprint);
      admit.bind(now);
      if (!admit.run()) return kErrStore;
      // The secret's group names the device's group; a group removed since leaves it in none.
      Stmt member(db, "INSERT OR REPLACE INTO " KEVOFLX_TABLE_DEVICE_GROUPS
                      "(device_id, group_id) SELECT d.id, g.id FROM " KEVOFLX_TABLE_DEVICES
                      " d, " KEVOFLX_TABLE_GROUPS " g WHERE d.sn = ? AND g.name = ?");
      member.bind(out.sn);
      member.bind(secretRow.group);
      if (!member.run()) return kErrStore;
    }
    out.pending = state == "pending";
    const int64_t ttl = secretRow.sessionTtl > 0 ? secretRow.sessionTtl : kDefaultSessionTtl;
    if (!shortenSessions(db, out.sn, identity.fingerprint, now) ||
        !issueSession(db, identity.fingerprint, identity.json, ttl, now, out))
      return kErrStore;
    Stmt use(db, "UPDATE " KEVOFLX_TABLE_ENROLL_SECRETS
                 " SET uses_left = uses_left - 1 WHERE public_id = ? AND uses_left > 0");
    use.bind(publicId);
    if (!use.run()) return kErrStore;
    if (audit != nullptr) {
      flxops::AuditEntry entry = *audit;
      entry.device = out.sn;
      entry.result = out.pending ? "pending" : "ok";
      if (!deviceGroup(db, out.sn, entry.group) || !appendAudit(db, entry)) return kErrStore;
    }
    return tx.commit() ? 0 : kErrStore;
  });
}

int Renew(const std::string& oldSid, const std::string& fingerprint, int64_t now, Issued& out) {
  return guarded("renew a session", kErrStore, [&]() -> int {
    if (oldSid.size() < KEVOFLX_MIN_SID_LENGTH) return kErrNoPermission;
    if (!fingerprint.empty() && !validFingerprint(fingerprint)) return kErrBadParam;
    Db db;
    if (!db.ok()) return kErrStore;
    Transaction tx(db);
    if (!tx.ok()) return kErrStore;
    std::string bound, identity, state;
    int64_t expiry = 0, ttl = 0;
    {
      Stmt st(db,
              "SELECT s.sn, s.expiry, ifnull(i.fingerprint, ''), ifnull(i.identity, ''), "
              "ifnull(i.ttl, 0), ifnull(a.state, '') FROM " KEVOFLX_TABLE_SESSIONS
              " s JOIN " KEVOFLX_TABLE_DEVICES
              " d ON d.sn = s.sn LEFT JOIN " KEVOFLX_TABLE_SESSION_IDENTITIES
              " i ON i.sid = s.sid LEFT JOIN " KEVOFLX_TABLE_ADMISSIONS
              " a ON a.sn = s.sn WHERE s.sid = ? AND s.api_class = ?");
      st.bind(oldSid);
      st.bind(std::string(KEVOFLX_DEFAULT_API_CLASS));
      const int rc = st.step();
      if (rc == SQLITE_DONE) return kErrNoPermission;
      if (rc != SQLITE_ROW) return kErrStore;
      st.read(out.sn);
      st.read(expiry);
      st.read(bound);
      st.read(identity);
      st.read(ttl);
      st.read(state);
    }
    if (expiry != 0 && expiry <= now) return kErrNoPermission;
    if (state == "rejected") return kErrNotAdmitted;
    if (!fingerprint.empty() && !bound.empty() && fingerprint != bound) {
      if (!markConflict(db, out.sn, now) || !tx.commit()) return kErrStore;
      return kErrEnrollAgain;
    }
    if (bound.empty()) bound = fingerprint;
    out.pending = state == "pending";
    Stmt shorten(db, "UPDATE " KEVOFLX_TABLE_SESSIONS
                     " SET expiry = ?1 WHERE sid = ?2 AND (expiry = 0 OR expiry > ?1)");
    shorten.bind(now + kRenewGraceSeconds);
    shorten.bind(oldSid);
    if (!shorten.run()) return kErrStore;
    if (!issueSession(db, bound, identity, ttl > 0 ? ttl : kDefaultSessionTtl, now, out))
      return kErrStore;
    return tx.commit() ? 0 : kErrStore;
  });
}

int CheckPush(const std::string& sid, const std::string& sn, const std::string& fingerprint,
              const std::string& clientSn, int64_t now) {
  // A registry failure here is the session check's news too; the push goes on to the module.
  return guarded("check a push's identity", 0, [&]() -> int {
    Db db;
    if (!db.ok()) return 0;
    std::string bound, state;
    bool hasBound = false;
    {
      Stmt st(db, "SELECT i.fingerprint, ifnull(a.state, '') FROM " KEVOFLX_TABLE_SESSIONS
                  " s LEFT JOIN " KEVOFLX_TABLE_SESSION_IDENTITIES
                  " i ON i.sid = s.sid LEFT JOIN " KEVOFLX_TABLE_ADMISSIONS
                  " a ON a.sn = s.sn WHERE s.sid = ?");
      st.bind(sid);
      if (st.step() != SQLITE_ROW) return 0;
      st.read(bound);
      st.read(state);
      hasBound = !bound.empty();
    }
    if (state == "pending" || state == "rejected") return kErrNotAdmitted;
    if (!clientSn.empty() && clientSn != sn) {
      Stmt count(db, "INSERT INTO " KEVOFLX_TABLE_ADMISSIONS
                     "(sn, foreign_sn_pushes) VALUES(?, 1) ON CONFLICT(sn) DO UPDATE SET "
                     "foreign_sn_pushes = foreign_sn_pushes + 1");
      count.bind(sn);
      count.run();
    }
    if (fingerprint.empty() || (hasBound && fingerprint == bound)) return 0;
    if (!hasBound) {
      // Only a fingerprint of the agent's form binds a session.
      if (!validFingerprint(fingerprint)) return 0;
      // A session made by hand belongs to the first machine that pushes with it.
      Stmt bind(db, "INSERT OR IGNORE INTO " KEVOFLX_TABLE_SESSION_IDENTITIES
                    "(sid, fingerprint, created) VALUES(?, ?, ?)");
      bind.bind(sid);
      bind.bind(fingerprint);
      bind.bind(now);
      Stmt admit(db, "INSERT INTO " KEVOFLX_TABLE_ADMISSIONS
                     "(sn, fingerprint) VALUES(?, ?) ON CONFLICT(sn) DO UPDATE SET "
                     "fingerprint = excluded.fingerprint WHERE fingerprint = ''");
      admit.bind(sn);
      admit.bind(fingerprint);
      bind.run();
      admit.run();
      return 0;
    }
    markConflict(db, sn, now);
    return kErrEnrollAgain;
  });
}

}  // namespace flxenroll
