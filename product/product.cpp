#include "product.h"

#include <string.h>
#include <time.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "flx.h"
#include "flxenroll.h"
#include "flxhistory.h"
#include "flxoperators.h"
#include "flxread.h"
#include "kevoroot.h"

#ifndef FLX_DEFAULT_MODULE
#define FLX_DEFAULT_MODULE ""
#define FLX_DEFAULT_INVENTORY ""
#define FLX_DEFAULT_ENROLL ""
#endif

namespace flxproduct {

namespace {

const char kPushApi[] = "KEVO.FLX.RPC.ClientInfo";
const char kInventoryApi[] = "KEVO.FLX.Inventory";
const char kEnrollApi[] = "KEVO.FLX.Enroll";
const char kManageApi[] = "KEVO.FLX.Manage";
// The socket of the shipped nginx site (deploy/nginx/flx-webapi.conf) and systemd unit.
const char kFastcgiSocket[] = "/run/flx-webapi-host/fastcgi.sock";

}  // namespace

bool CheckSession(const webapihost::SessionQuery& query, std::string& who) {
  // A machine enrolls with a secret, or renews with its old session: the module checks either
  // itself. POST only, so that neither travels in a URL.
  if (query.api == kEnrollApi) return query.requestMethod == "POST";
  if (query.sid.empty()) return false;
  // Its answers are operators' data: never in a URL that a proxy or a history may keep.
  if ((query.api == kInventoryApi || query.api == kManageApi) && query.requestMethod != "POST")
    return false;
  if (KEVOFLXQxCheckWebapiPriviege(query.sid, query.apiClass, who) ||
      flxread::operatorForToken(query.sid, who))
    return true;
  if (query.api == kInventoryApi || query.api == kManageApi) {
    // Guessing tokens leaves one line a minute per address, and a count in the metrics.
    flxops::AuditEntry e;
    e.who = "-";
    e.action = "token-refused";
    e.object = query.api + "." + query.method;
    e.address = query.remoteIp;
    e.result = "refused";
    flxops::AuditRefusal(e, 60);
  }
  return false;
}

int AdmitCall(const webapihost::Call& call, const std::string& who) {
  if (call.api != kPushApi || call.method != "push" || who.empty()) return 0;
  const auto text = [&call](const char* name) {
    const Json::Value* v = call.params.find(name, name + strlen(name));
    // A serial of digits arrives as a JSON number.
    return v != nullptr && (v->isString() || v->isIntegral()) ? v->asString() : std::string();
  };
  return flxenroll::CheckPush(call.sid, who, text("fingerprint"), text("client_sn"),
                              static_cast<int64_t>(time(nullptr)));
}

void AfterCall(const webapihost::Call& call, const std::string& who,
               const KEVO::APIResponse& response) {
  if (call.api != kPushApi || call.method != "push") return;
  static const char kItems[] = "items";
  const Json::Value* items = call.params.find(kItems, kItems + sizeof kItems - 1);
  if (items == nullptr || !items->isArray()) return;
  // (group, module) of each item; two empty names where they are not text.
  flxhistory::Kinds kinds;
  for (const Json::Value& item : *items) {
    const Json::Value& group = item.isObject() ? item["group_name"] : Json::Value::nullSingleton();
    const Json::Value& module =
        item.isObject() ? item["module_name"] : Json::Value::nullSingleton();
    if (group.isString() && module.isString()) {
      kinds.emplace_back(group.asString(), module.asString());
    } else {
      kinds.emplace_back();
    }
  }
  CountItems(kinds, response);
  if (!response.IsSuccess()) return;
  kinds.erase(std::remove(kinds.begin(), kinds.end(), flxhistory::Kinds::value_type()),
              kinds.end());
  // The history reads the device's state itself; the note only says whom to read, and a
  // failure is logged by notePush and never fails the answered push.
  flxhistory::notePush(who, kinds, static_cast<int64_t>(time(nullptr)));
}

std::vector<std::string> DefaultModules() {
  // Test builds serve the modules where they were built; an installed host the installed ones.
  if (FLX_DEFAULT_MODULE[0] != '\0')
    return {FLX_DEFAULT_MODULE, FLX_DEFAULT_INVENTORY, FLX_DEFAULT_ENROLL};
  const std::string dir = std::string(KEVORootPrefix()) + KEVO_WEBAPI_DIR;
  return {dir + "/KEVO.FLX.RPC.so", dir + "/KEVO.FLX.Inventory.so", dir + "/KEVO.FLX.Enroll.so"};
}

void ApplyDefaults(webapihost::HostOptions& options, bool keepOpen) {
  if (options.modules.empty()) options.modules = DefaultModules();
  const std::string root = KEVORootPrefix();
  if (keepOpen && options.keepOpen.empty())
    options.keepOpen = {root + KEVO_CACHE_DB_PATH, root + KEVO_REGISTRY_DB_PATH};
  if (options.listen.empty() && options.fastcgi.empty()) options.fastcgi = root + kFastcgiSocket;
  options.hooks.check = CheckSession;
  options.hooks.admit = AdmitCall;
  options.hooks.after = AfterCall;
  // Per-device series name every device: a token that reads only some groups may not scrape.
  options.hooks.metricsToken = [](const std::string& token) {
    flxread::Operator op;
    return flxread::operatorForToken(token, static_cast<int64_t>(time(nullptr)), op) &&
           (op.role == "metrics" || op.scope.all);
  };
  options.hooks.metrics = ProductMetrics;
  if (options.timedMethod.empty()) options.timedMethod = "push";
  DescribeMetrics();
}

}  // namespace flxproduct
