// The fleet's enrollment on the operator's side: the secrets of join lines, devices waiting
// for approval, the sessions issued, and the host's CA and site certificate. Each operation
// returns 0, or non-zero with a one-line message in `err`.
#ifndef FLX_TOOLS_ADMIN_ENROLL_H
#define FLX_TOOLS_ADMIN_ENROLL_H

#include <json/value.h>
#include <stdint.h>

#include <string>

namespace flxadmin {

struct EnrollOptions {
  std::string group;
  int64_t ttl = 24 * 3600;  // seconds the secret may be used; 0: no expiry
  int64_t uses = 0;         // 0: unlimited
  bool approve = false;     // devices wait in the pending list
  int64_t sessionTtl = 0;   // lifetime of the devices' sessions; 0: 30 days
  std::string url;          // the host as devices reach it; empty: https://<this host's FQDN>
};
// Creates a secret and fills `line` with the command to run on devices:
// "flx-agent enroll URL --token ID.SECRET --ca-hash sha256:HEX".
int enrollAdd(const EnrollOptions& options, std::string& line, std::string& err);
// One object per secret: id, group, expires, uses_left, approve, session_ttl, created, state.
int enrollList(Json::Value& out, std::string& err);
// Revokes a secret by its public id (the part before the dot).
int enrollRemove(const std::string& id, std::string& err);

// Devices waiting for approval: sn, hostname, group, enrolled.
int devicePending(Json::Value& out, std::string& err);
// Lets a pending device push, or clears a device's identity-conflict mark.
int deviceApprove(const std::string& sn, std::string& err);
// Refuses a device: its sessions go, and the same machine cannot enroll again.
int deviceReject(const std::string& sn, std::string& err);
// The admission of each device by serial (state, conflict, ...), for `device list`.
int deviceAdmissions(Json::Value& out, std::string& err);

// One object per session of `sn` (empty: all): sn, api_class, fingerprint, hostname,
// created, expiry. Never the session id.
int sessionList(const std::string& sn, Json::Value& out, std::string& err);

// Makes the CA and the site's certificate (names: the host's FQDN, its host name, localhost
// and every address of its interfaces) below the root, each only where missing.
int certInit(std::string& err);
// The CA's hash as "sha256:HEX" (SHA-256 of its SubjectPublicKeyInfo) into `hash`, and the
// certificates' paths, names and expiry into `out`.
int certShow(std::string& hash, Json::Value& out, std::string& err);
// The host's FQDN (the host name when it has no other).
std::string hostFqdn();

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_ENROLL_H
