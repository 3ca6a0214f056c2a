#include "admin_quarantine.h"

#include "host.h"

namespace flxadmin {

int quarantineList(Json::Value& out, std::string&) {
  out = Json::Value(Json::arrayValue);
  for (const webapihost::Quarantined& q : webapihost::ListQuarantine()) {
    Json::Value e;
    e["name"] = q.name;
    e["time"] = static_cast<Json::Int64>(q.when);
    e["api"] = q.request.api;
    e["method"] = q.request.method;
    e["device"] = q.request.device;
    e["remote"] = q.request.raw.remoteIp;
    e["bytes"] = static_cast<Json::UInt64>(q.request.raw.query.size() + q.request.raw.body.size());
    out.append(e);
  }
  return 0;
}

int quarantineDrop(const std::string& name, int& dropped, std::string& err) {
  dropped = webapihost::DropQuarantine(name);
  if (dropped >= 0) return 0;
  dropped = 0;
  err = "no quarantined request named '" + name + "'; see 'flx-admin quarantine list'";
  return -1;
}

}  // namespace flxadmin
