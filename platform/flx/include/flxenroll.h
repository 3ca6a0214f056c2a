// Enrollment in the device registry: the secrets of join lines, the sessions issued to the
// machines that join or renew, the identity each session was issued for, and each enrolled
// device's admission. The enrollment module, the product's identity check and flx-admin use it;
// nothing here throws.
#ifndef FLX_ENROLL_H
#define FLX_ENROLL_H

#include <stdint.h>

#include <string>
#include <vector>

namespace flxops {
struct AuditEntry;
}

namespace flxenroll {

// Answer codes of KEVO.FLX.Enroll and of the identity check on pushes (0: success).
constexpr int kErrNoPermission = 105;  // renew: the session is unknown, expired or not a device's
constexpr int kErrNoParam = 114;       // a parameter is missing
constexpr int kErrBadParam = 120;      // a parameter has the wrong type or form
constexpr int kErrNotAdmitted = 403;   // the device waits for approval, or was rejected
constexpr int kErrEnrollAgain = 409;   // another machine's identity: enroll with your own
constexpr int kErrTokenBad = 430;      // no such enrollment secret, or the secret is wrong
constexpr int kErrTokenExpired = 431;
constexpr int kErrTokenUsedUp = 432;
constexpr int kErrTokenRevoked = 433;
constexpr int kErrStore = 500;  // the registry could not be read or written

// Lifetime of an enrolled device's sessions unless its secret says otherwise.
constexpr int64_t kDefaultSessionTtl = 30 * 24 * 3600;
// How long a session stays valid after it was renewed, for pushes already on their way.
constexpr int64_t kRenewGraceSeconds = 24 * 3600;
// Longest serial number a machine may claim (a suffix may follow it).
constexpr size_t kMaxSerial = 64;

// An enrollment secret as listed (its secret part is never kept).
struct Secret {
  std::string publicId;
  std::string group;
  int64_t expires = 0;     // seconds since the epoch; 0: never
  int64_t usesLeft = -1;   // -1: unlimited
  bool approve = false;    // devices wait for approval
  int64_t sessionTtl = 0;  // lifetime of the sessions it issues; 0: kDefaultSessionTtl
  int64_t created = 0;
  int64_t revoked = 0;  // when; 0: not revoked
};

// The lowercase hex SHA-256 of `text`.
std::string Sha256Hex(const std::string& text);
// A machine's identity fingerprint: the hex SHA-256 of "machine_id|product_uuid|macs", the MAC
// addresses sorted and joined by commas (the agent computes the same).
std::string Fingerprint(const std::string& machineId, const std::string& productUuid,
                        std::vector<std::string> macs);
// `count` random characters of [a-z0-9].
std::string RandomToken(size_t count);

// Stores a secret whose secret part hashes (Sha256Hex) to `secretHash`. 0, or -1 (error slot
// set; "exists" for a public id in use).
int AddSecret(const Secret& secret, const std::string& secretHash);
int ListSecrets(std::vector<Secret>& out);
// Lengths of a secret's public id and secret part ("ID.SECRET" on the join line).
constexpr size_t kPublicIdLength = 6;
constexpr size_t kSecretLength = 16;
// Creates and stores a new secret with the settings of `secret` (its publicId is filled);
// `token` gets "ID.SECRET", shown once. 0, or -1 (the random source or the registry failed).
int CreateSecret(Secret& secret, std::string& token);
// The pin of the CA certificate at `caPath` for join lines: "sha256:" and the hex SHA-256 of
// its public key (DER SubjectPublicKeyInfo). 0 or -1.
int CaPin(const std::string& caPath, std::string& pin);
// Marks it revoked (it stays listed). -1, "not found" in the error slot, when unknown.
int RevokeSecret(const std::string& publicId);

// The machine that joins or renews.
struct Identity {
  std::string serial;
  std::string hostname;
  std::string fingerprint;  // 64 lowercase hex digits
  std::string json;         // the identity object as sent, kept for the operator
};

// What a join or renewal issued.
struct Issued {
  std::string sn;
  std::string sid;
  int64_t expires = 0;
  bool pending = false;  // the device waits for approval
};

// Checks the secret `publicId`.`secret` and issues a session to the machine, all in one
// transaction: nothing is created when it is refused. The device is the machine's serial; the
// same fingerprint enrolling again gets its device back, another fingerprint with a serial in
// use marks that device's identity conflict and gets the serial with a suffix ("-2", ...).
// A refused secret is told from a read, without the write lock. With `audit`, the entry is
// appended in the same transaction, with the device, its group and the result filled in.
// Returns 0 or an answer code.
int Join(const std::string& publicId, const std::string& secret, const Identity& identity,
         int64_t now, Issued& out, const flxops::AuditEntry* audit = nullptr);
// Joins that queue at once share one registry transaction: after OpenJoinBatch(), each Join
// of this process is a savepoint of it (a refused or failed one is undone alone), and none is
// kept before CloseJoinBatch() commits them all. The registry's write lock is held from the
// first admitted join to the close (refusals alone never take it): a batch is for joins
// already waiting, answered once it is closed. OpenJoinBatch() is false when the registry
// cannot be opened or a batch is open; CloseJoinBatch() is false when nothing of the batch was
// kept.
bool OpenJoinBatch();
bool CloseJoinBatch();
// Issues a new session for the device of the valid session `oldSid`, whose identity must have
// `fingerprint` (none given: not compared); the old one stays valid for kRenewGraceSeconds.
// Returns 0 or an answer code.
int Renew(const std::string& oldSid, const std::string& fingerprint, int64_t now, Issued& out);

// The identity check of a push by session `sid` of device `sn`, whose session check passed:
// kErrNotAdmitted for a device not approved; kErrEnrollAgain (and the device marked) when the
// fingerprint is not the one the session was issued for; a session issued without one takes
// the first fingerprint it pushes. A `clientSn` naming another serial is counted. Returns 0
// or an answer code; a registry failure lets the push through (the module decides then).
int CheckPush(const std::string& sid, const std::string& sn, const std::string& fingerprint,
              const std::string& clientSn, int64_t now);

// A device's admission; devices registered by hand have none until they push a fingerprint.
struct Admission {
  std::string sn;
  std::string state;  // approved, pending, rejected
  std::string group;
  std::string fingerprint;
  int64_t enrolled = 0;
  bool conflict = false;  // identity-conflict
  int64_t conflictSince = 0;
  int64_t foreignSnPushes = 0;  // pushes whose client_sn named another serial
};
// Every admission, or those in `state` (empty: all), ordered by serial.
int ListAdmissions(const std::string& state, std::vector<Admission>& out);
// 0 with `out` filled, 1 when the device has none, -1 on failure.
int GetAdmission(const std::string& sn, Admission& out);
// Approves a pending device, or clears a device's identity conflict. -1 ("not found") when
// the device has no admission.
int Approve(const std::string& sn);
// Rejects a device: its sessions are removed and the same machine cannot join again. -1
// ("not found") when the device has no admission.
int Reject(const std::string& sn);

// A session as the operator sees it: never its id.
struct SessionInfo {
  std::string sn;
  std::string apiClass;
  std::string fingerprint;  // empty: issued without an identity
  std::string hostname;     // from the identity it was issued for
  int64_t created = 0;      // 0: not known (made before enrollment existed)
  int64_t expiry = 0;       // 0: never
};
// The sessions of device `sn` (empty: of all devices), by device and creation.
int ListSessions(const std::string& sn, std::vector<SessionInfo>& out);

}  // namespace flxenroll

#endif  // FLX_ENROLL_H
