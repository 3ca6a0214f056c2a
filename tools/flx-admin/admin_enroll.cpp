// Enrollment secrets, approvals and sessions on the operator's side.
#include "admin_enroll.h"

#include <time.h>

#include <vector>

#include "admin_util.h"
#include "flxenroll.h"
#include "flxoperators.h"

namespace flxadmin {

namespace {

// The public id is looked up, the secret compared: kubeadm's 6 and 16 characters.
const int64_t kMaxSeconds = int64_t(100) * 365 * 24 * 3600;

std::string secretState(const flxenroll::Secret& s, int64_t now) {
  if (s.revoked != 0) return "revoked";
  if (s.expires != 0 && s.expires <= now) return "expired";
  if (s.usesLeft == 0) return "used-up";
  return "valid";
}

int adminResult(int rc, const std::string& sn, const char* what, std::string& err) {
  if (rc == 0) return 0;
  if (KVLIBErrGet() == KVERR_NOT_FOUND) {
    err = "device '" + sn + "' did not enroll (no admission to " + what +
          "); see 'flx-admin device list'";
  } else {
    err = registryError(std::string("cannot ") + what + " device '" + sn + "'");
  }
  return 1;
}

}  // namespace

int enrollAdd(const EnrollOptions& o, std::string& line, std::string& err) {
  return guardedOp(err, [&] {
    if (o.ttl < 0 || o.ttl > kMaxSeconds || o.uses < 0 || o.sessionTtl < 0 ||
        o.sessionTtl > kMaxSeconds) {
      err = "--ttl, --uses and --session-ttl take 0 or a positive number (seconds, uses)";
      return 1;
    }
    if (!o.group.empty()) {
      // A typo would put every device of the line in a group nobody reads: groups are made
      // first, with 'group add'.
      const int known = flxops::GroupExists(o.group);
      if (known < 0) {
        err = registryError("cannot read the groups");
        return 1;
      }
      if (known == 0) {
        err = "no group '" + o.group + "'; create it first with 'flx-admin group add " + o.group +
              "'";
        return 1;
      }
    }
    std::string hash;
    Json::Value certs;
    if (certShow(hash, certs, err) != 0) return 1;
    const int64_t now = static_cast<int64_t>(time(nullptr));
    flxenroll::Secret secret;
    secret.group = o.group;
    secret.expires = o.ttl == 0 ? 0 : now + o.ttl;
    secret.usesLeft = o.uses == 0 ? -1 : o.uses;
    secret.approve = o.approve;
    secret.sessionTtl = o.sessionTtl;
    secret.created = now;
    std::string token;
    if (flxenroll::CreateSecret(secret, token) != 0) {
      err = registryError("cannot make the enrollment secret (random source or registry)");
      return 1;
    }
    const std::string url = o.url.empty() ? "https://" + hostFqdn() : o.url;
    line = "flx-agent enroll " + url + " --token " + token + " --ca-hash " + hash;
    return 0;
  });
}

int enrollList(Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    std::vector<flxenroll::Secret> list;
    if (flxenroll::ListSecrets(list) != 0) {
      err = registryError("cannot list the enrollment secrets");
      return 1;
    }
    const int64_t now = static_cast<int64_t>(time(nullptr));
    out = Json::Value(Json::arrayValue);
    for (const flxenroll::Secret& s : list) {
      Json::Value item(Json::objectValue);
      item["id"] = s.publicId;
      item["group"] = s.group;
      item["expires"] = Json::Int64(s.expires);
      item["uses_left"] = Json::Int64(s.usesLeft);
      item["approve"] = s.approve;
      item["session_ttl"] =
          Json::Int64(s.sessionTtl > 0 ? s.sessionTtl : flxenroll::kDefaultSessionTtl);
      item["created"] = Json::Int64(s.created);
      item["state"] = secretState(s, now);
      out.append(item);
    }
    return 0;
  });
}

int enrollRemove(const std::string& id, std::string& err) {
  return guardedOp(err, [&] {
    if (flxenroll::RevokeSecret(id) == 0) return 0;
    if (KVLIBErrGet() == KVERR_NOT_FOUND) {
      err = "no valid enrollment secret '" + id + "'; see 'flx-admin enroll list'";
    } else {
      err = registryError("cannot revoke the enrollment secret '" + id + "'");
    }
    return 1;
  });
}

int devicePending(Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    std::vector<flxenroll::Admission> list;
    if (flxenroll::ListAdmissions("pending", list) != 0) {
      err = registryError("cannot list the pending devices");
      return 1;
    }
    out = Json::Value(Json::arrayValue);
    for (const flxenroll::Admission& a : list) {
      KEVOFLX_QX dev;
      Json::Value item(Json::objectValue);
      item["sn"] = a.sn;
      item["hostname"] = KEVOFLXQxGetBySN(a.sn.c_str(), &dev) == 0 ? dev.hostname : "";
      item["group"] = a.group;
      item["enrolled"] = Json::Int64(a.enrolled);
      out.append(item);
    }
    return 0;
  });
}

int deviceApprove(const std::string& sn, std::string& err) {
  return guardedOp(err, [&] { return adminResult(flxenroll::Approve(sn), sn, "approve", err); });
}

int deviceReject(const std::string& sn, std::string& err) {
  return guardedOp(err, [&] { return adminResult(flxenroll::Reject(sn), sn, "reject", err); });
}

int deviceAdmissions(Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    std::vector<flxenroll::Admission> list;
    if (flxenroll::ListAdmissions("", list) != 0) {
      err = registryError("cannot list the devices' admissions");
      return 1;
    }
    out = Json::Value(Json::objectValue);
    for (const flxenroll::Admission& a : list) {
      Json::Value item(Json::objectValue);
      item["state"] = a.state;
      item["group"] = a.group;
      item["identity_conflict"] = a.conflict;
      item["conflict_since"] = Json::Int64(a.conflictSince);
      item["foreign_sn_pushes"] = Json::Int64(a.foreignSnPushes);
      out[a.sn] = item;
    }
    return 0;
  });
}

int sessionList(const std::string& sn, Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    KEVOFLX_QX dev;
    if (!sn.empty() && findDevice(sn, dev, err) != 0) return 1;
    std::vector<flxenroll::SessionInfo> list;
    if (flxenroll::ListSessions(sn, list) != 0) {
      err = registryError("cannot list the sessions");
      return 1;
    }
    out = Json::Value(Json::arrayValue);
    for (const flxenroll::SessionInfo& s : list) {
      Json::Value item(Json::objectValue);
      item["sn"] = s.sn;
      item["api_class"] = s.apiClass;
      item["fingerprint"] = s.fingerprint;
      item["hostname"] = s.hostname;
      item["created"] = Json::Int64(s.created);
      item["expiry"] = Json::Int64(s.expiry);
      out.append(item);
    }
    return 0;
  });
}

}  // namespace flxadmin
