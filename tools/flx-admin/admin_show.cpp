// `device show` and the operators of the inventory.
#include "admin.h"
#include "admin_util.h"
#include "flxread.h"

namespace flxadmin {

// The same reader serves the inventory's device page: one view of a device, not two.
int deviceShow(const std::string& sn, Json::Value& out, std::string& err) {
  return flxread::deviceShow(sn, out, err) == flxread::kOk ? 0 : 1;
}

int operatorAdd(const std::string& name, int64_t ttl, std::string& token, std::string& err) {
  return guardedOp(err, [&] {
    const int64_t now = flxread::clockNow();
    if (ttl < 0 || ttl > INT64_MAX - now) {
      err = "invalid TTL " + std::to_string(ttl) + ": give 0 (no expiry) or a number of seconds";
      return 1;
    }
    if (!isPlainToken(name, 64)) {
      err = "invalid operator name '" + name + "': use 1 to 64 printable characters, no spaces";
      return 1;
    }
    token = flxread::newToken();
    if (token.empty()) {
      err = "cannot start the random generator (libsodium); check the installation";
      return 1;
    }
    if (KEVOFLXOperatorCreate(name, flxread::tokenHash(token)) == 0) {
      if (ttl == 0 || KEVOFLXOperatorSetExpiry(name, now + ttl) == 0) return 0;
      // A token meant to expire must not live on without its expiry.
      KEVOFLXOperatorDelete(name);
      token.clear();
      err = registryError("cannot set the expiry of operator '" + name + "'");
      return 1;
    }
    token.clear();
    if (KVLIBErrGet() == KEVOFLX_ERR_EXISTS) {
      err = "operator '" + name + "' already exists; remove it first to issue a new token";
    } else {
      err = registryError("cannot add operator '" + name + "'");
    }
    return 1;
  });
}

int operatorList(Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    std::vector<KEVOFLX_OPERATOR> ops;
    if (KEVOFLXOperatorList(ops) != 0) {
      err = registryError("cannot list the operators");
      return 1;
    }
    out = Json::Value(Json::arrayValue);
    for (const KEVOFLX_OPERATOR& op : ops) {
      Json::Value o(Json::objectValue);
      o["name"] = op.name;
      o["created"] = Json::Int64(op.created);
      o["expiry"] = Json::Int64(op.expiry);
      o["last_used"] = Json::Int64(op.last_used);
      out.append(o);
    }
    return 0;
  });
}

int operatorRemove(const std::string& name, std::string& err) {
  return guardedOp(err, [&] {
    if (KEVOFLXOperatorDelete(name) == 0) return 0;
    if (KVLIBErrGet() == KVERR_NOT_FOUND || KVLIBErrGet() == KVERR_INVALID_ARGUMENT) {
      err = "no operator '" + name + "'; see 'flx-admin operator list'";
    } else {
      err = registryError("cannot remove operator '" + name + "'");
    }
    return 1;
  });
}

}  // namespace flxadmin
