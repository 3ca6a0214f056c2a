#include "inventory/manage_api.h"

#include <syslog.h>
#include <time.h>

#include <algorithm>
#include <string>

#include "flxenroll.h"
#include "flxoperators.h"
#include "flxread.h"
#include "flxremove.h"
#include "inventory/inventory_api.h"
#include "kevocore.h"
#include "kevoroot.h"

namespace flxmanage {

namespace {

// Why an action stops: its answer code and the audit trail's result.
struct Stop {
  int code;
  const char* result;
};

// One management call of an admin: the token's operator, the entry the action leaves in the
// audit trail, and the parameters read as text.
class Action {
 public:
  Action(KEVO::APIRequest* req, const char* what) : req_(req) {
    entry_.action = what;
    entry_.address = req->GetRemoteIP();
  }

  // The operator when the token is an admin's; a viewer or metrics token stops here.
  void authorize() {
    if (!flxread::operatorForToken(req_->GetSessionID(), static_cast<int64_t>(time(nullptr)), op_))
      throw Stop{INV_ERR_NO_PERMISSION, nullptr};
    entry_.who = op_.name;
    if (op_.role != "admin") throw Stop{INV_ERR_NO_PERMISSION, "refused"};
  }

  std::string text(const char* name) const {
    if (!req_->HasParam(name)) throw Stop{INV_ERR_NO_PARAM, "bad request"};
    const Json::Value v = req_->GetParam(name, Json::Value());
    if (v.isString() || v.isIntegral()) return v.asString();
    throw Stop{INV_ERR_BAD_PARAM, "bad request"};
  }

  // Device `sn` when it is in the admin's groups; otherwise "not found", as for none.
  std::string device() {
    const std::string sn = text("sn");
    entry_.device = sn;
    std::string err;
    const flxread::Result r = flxread::visible(sn, op_.scope, err);
    if (r == flxread::kNotFound) throw Stop{INV_ERR_NOT_FOUND, "not found"};
    if (r != flxread::kOk) throw Stop{INV_ERR_STORE, "failed"};
    entry_.group = flxread::groupOf(sn);
    return sn;
  }

  // True when the admin acts on group `name` (every group without --group).
  bool mayUseGroup(const std::string& name) const {
    return op_.scope.all ||
           std::find(op_.groups.begin(), op_.groups.end(), name) != op_.groups.end();
  }

  flxops::AuditEntry& entry() { return entry_; }

  // Answers and appends the audit entry (none for a call without a token: the host's check
  // counts those).
  void finish(KEVO::APIResponse* resp, int code, const char* result, const Json::Value& data) {
    if (result != nullptr) {
      entry_.result = result;
      if (flxops::Audit(entry_) != 0)
        syslog(LOG_ERR, "manage: cannot append to the audit trail (%s by %s)",
               entry_.action.c_str(), entry_.who.c_str());
    }
    if (code == 0) {
      resp->SetSuccess(data);
    } else {
      resp->SetError(code, Json::Value());
    }
  }

 private:
  KEVO::APIRequest* req_;
  flxread::Operator op_;
  flxops::AuditEntry entry_;
};

// Runs one action; nothing escapes into the host.
template <class Fn>
void run(KEVO::APIRequest* req, KEVO::APIResponse* resp, const char* what, Fn fn) {
  if (req == nullptr || resp == nullptr) return;
  try {
    Action a(req, what);
    try {
      a.authorize();
      Json::Value data;
      fn(a, data);
      a.finish(resp, 0, "ok", data);
    } catch (const Stop& s) {
      a.finish(resp, s.code, s.result, Json::Value());
    }
  } catch (...) {
    syslog(LOG_ERR, "manage: %s failed", what);
    resp->SetError(INV_ERR_STORE, Json::Value());
  }
}

// A registry call's failure: "not found" means the action does not apply to the device.
void check(int rc) {
  if (rc == 0) return;
  if (KVLIBErrGet() == KVERR_NOT_FOUND) throw Stop{MANAGE_ERR_CONFLICT, "not applicable"};
  throw Stop{INV_ERR_STORE, "failed"};
}

}  // namespace

void Approve(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  run(req, resp, "approve", [](Action& a, Json::Value&) { check(flxenroll::Approve(a.device())); });
}

void Reject(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  run(req, resp, "reject", [](Action& a, Json::Value&) { check(flxenroll::Reject(a.device())); });
}

void Move(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  run(req, resp, "move", [](Action& a, Json::Value&) {
    const std::string sn = a.device();
    const std::string group = a.text("group");
    a.entry().object = group;
    // Out of the admin's groups, or unknown: the same answer.
    if (!a.mayUseGroup(group) || flxops::GroupExists(group) != 1)
      throw Stop{INV_ERR_NOT_FOUND, "not found"};
    check(flxops::SetDeviceGroup(sn, group));
  });
}

void RevokeSessions(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  run(req, resp, "revoke-sessions", [](Action& a, Json::Value& data) {
    int64_t removed = 0;
    check(flxops::RevokeSessions(a.device(), removed));
    data["removed"] = Json::Int64(removed);
  });
}

void Remove(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  run(req, resp, "remove", [](Action& a, Json::Value& data) {
    const std::string sn = a.device();
    // No history hook: the history has one writer, which drops a removed device's rows.
    flxremove::Report report;
    const flxremove::Result r = flxremove::RemoveDevice(sn, flxremove::Options(), report);
    if (r == flxremove::kNotFound) throw Stop{INV_ERR_NOT_FOUND, "not found"};
    if (r != flxremove::kRemoved) {
      // The trail says how far it went; running it again finishes it.
      std::string done, left;
      for (const std::string& s : report.removed) done += (done.empty() ? "" : "; ") + s;
      for (const std::string& s : report.left) left += (left.empty() ? "" : ", ") + s;
      a.entry().object =
          "removed: " + (done.empty() ? "nothing" : done) + " | not removed: " + left;
      syslog(LOG_ERR, "manage: removing device %s stopped: %s", sn.c_str(), report.error.c_str());
      throw Stop{INV_ERR_STORE, "failed"};
    }
    Json::Value& removed = data["removed"] = Json::Value(Json::arrayValue);
    for (const std::string& s : report.removed) removed.append(s);
  });
}

void CreateSecret(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  run(req, resp, "create-secret", [req](Action& a, Json::Value& data) {
    const std::string url = a.text("url");
    const std::string group = req->HasParam("group") ? a.text("group") : std::string();
    a.entry().object = group;
    a.entry().group = group;
    // A scoped admin's devices join one of its groups; anyone's join an existing group.
    if (group.empty() ? !a.mayUseGroup("")
                      : (!a.mayUseGroup(group) || flxops::GroupExists(group) != 1))
      throw Stop{INV_ERR_NOT_FOUND, "not found"};
    if (url.compare(0, 8, "https://") != 0 || url.size() > 256 ||
        url.find_first_of(" \t\n'\"") != std::string::npos)
      throw Stop{INV_ERR_BAD_PARAM, "bad request"};
    const int64_t now = static_cast<int64_t>(time(nullptr));
    flxenroll::Secret secret;
    secret.group = group;
    const int64_t ttl = req->HasParam("ttl") ? req->GetParam("ttl", Json::Value(0)).asInt64() : 0;
    const int64_t uses =
        req->HasParam("uses") ? req->GetParam("uses", Json::Value(0)).asInt64() : 0;
    if (ttl < 0 || ttl > int64_t(10) * 365 * 86400 || uses < 0 || uses > 1000000)
      throw Stop{INV_ERR_BAD_PARAM, "bad request"};
    secret.expires = ttl == 0 ? 0 : now + ttl;
    secret.usesLeft = uses == 0 ? -1 : uses;
    secret.approve =
        req->HasParam("approve") && req->GetParam("approve", Json::Value(false)).asBool();
    secret.created = now;
    std::string pin, token;
    if (flxenroll::CaPin(std::string(KEVORootPrefix()) + KEVO_CA_CERT_PATH, pin) != 0 ||
        flxenroll::CreateSecret(secret, token) != 0)
      throw Stop{INV_ERR_STORE, "failed"};
    a.entry().object = secret.publicId + (group.empty() ? "" : " group=" + group);
    // The secret is in this answer only: the registry keeps its hash, the trail its public id.
    data["id"] = secret.publicId;
    data["line"] = "flx-agent enroll " + url + " --token " + token + " --ca-hash " + pin;
  });
}

void RevokeSecret(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  run(req, resp, "revoke-secret", [](Action& a, Json::Value&) {
    const std::string id = a.text("id");
    a.entry().object = id;
    std::vector<flxenroll::Secret> secrets;
    if (flxenroll::ListSecrets(secrets) != 0) throw Stop{INV_ERR_STORE, "failed"};
    auto it = std::find_if(secrets.begin(), secrets.end(),
                           [&](const flxenroll::Secret& s) { return s.publicId == id; });
    // A scoped admin revokes the secrets of its groups; the others are not there for it.
    if (it == secrets.end() || !a.mayUseGroup(it->group))
      throw Stop{INV_ERR_NOT_FOUND, "not found"};
    a.entry().group = it->group;
    check(flxenroll::RevokeSecret(id));
  });
}

void Audit(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  if (req == nullptr || resp == nullptr) return;
  try {
    flxread::Operator op;
    if (!flxread::operatorForToken(req->GetSessionID(), static_cast<int64_t>(time(nullptr)), op) ||
        op.role != "admin") {
      resp->SetError(INV_ERR_NO_PERMISSION, Json::Value());
      return;
    }
    // An admin of some groups reads the entries of its groups and its own.
    flxops::AuditQuery q;
    q.scoped = !op.scope.all;
    q.groups = op.groups;
    q.limit = 200;
    std::vector<flxops::AuditEntry> list;
    if (flxops::ListAudit(q, list) != 0) {
      resp->SetError(INV_ERR_STORE, Json::Value());
      return;
    }
    Json::Value out(Json::objectValue);
    Json::Value& rows = out["entries"] = Json::Value(Json::arrayValue);
    for (const flxops::AuditEntry& e : list) {
      if (q.scoped && e.group.empty() && e.who != op.name) continue;
      Json::Value row(Json::objectValue);
      row["at"] = Json::Int64(e.at);
      row["who"] = e.who;
      row["action"] = e.action;
      row["object"] = e.object;
      row["device"] = e.device;
      row["group"] = e.group;
      row["address"] = e.address;
      row["result"] = e.result;
      rows.append(row);
    }
    resp->SetSuccess(out);
  } catch (...) {
    resp->SetError(INV_ERR_STORE, Json::Value());
  }
}

}  // namespace flxmanage
