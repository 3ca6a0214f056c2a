#include "product.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "flx.h"
#include "flxenroll.h"
#include "flxhistory.h"
#include "flxoperators.h"
#include "flxread.h"
#include "kevocore.h"
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
// The modules' own answer to a session they do not accept, which clients already know.
const int kNoPermission = 105;
const char kEnrollApi[] = "KEVO.FLX.Enroll";
const char kManageApi[] = "KEVO.FLX.Manage";
// The socket of the shipped nginx site (deploy/nginx/flx-webapi.conf) and systemd unit.
const char kFastcgiSocket[] = "/run/flx-webapi-host/fastcgi.sock";

// When this process last wrote each token's or key's last use: a write a minute at most.
std::map<std::string, int64_t> gTokenUse, gKeyUse;
const size_t kMaxRemembered = 4096;

void NoteUse(std::map<std::string, int64_t>& written, const std::string& name,
             int (*store)(const std::string&, int64_t)) {
  const int64_t now = flxread::clockNow();
  auto it = written.find(name);
  if (it != written.end() && now >= it->second && now - it->second < KEVOFLX_LAST_USE_STEP) return;
  if (written.size() >= kMaxRemembered) written.clear();
  // A failed write is logged by the registry and tried again on the next use.
  if (store(name, now) == 0) written[name] = now;
}

// What an answered push leaves to write once its answer has left: its contact, the key that
// deciphered it and its history note.
struct Kept {
  KEVOFLX_CONTACT contact;
  std::string keyId;
  flxhistory::Kinds kinds;
};
// Kept back only while requests queue, and then at most this many and this long: a worker
// killed between answer and write loses at most these arrivals (at low load, none).
const size_t kMaxKept = 32;
const int64_t kMaxKeptSeconds = 1;
std::vector<Kept> gKept;
int64_t gKeptSince = 0;  // the oldest kept arrival

// The newest collect time among the push's items (0: none readable).
int64_t NewestCollectTime(const Json::Value& items) {
  int64_t newest = 0;
  for (const Json::Value& item : items) {
    const Json::Value& t = item.isObject() ? item["collect_time"] : Json::Value::nullSingleton();
    if (t.isUInt64() && t.asUInt64() <= static_cast<uint64_t>(INT64_MAX))
      newest = std::max(newest, static_cast<int64_t>(t.asUInt64()));
  }
  return newest;
}

}  // namespace

bool CheckSession(const webapihost::SessionQuery& query, std::string& who) {
  // A machine enrolls with a secret, or renews with its old session: the module checks either
  // itself. POST only, so that neither travels in a URL.
  if (query.api == kEnrollApi) return query.requestMethod == "POST";
  if (query.sid.empty()) return false;
  // Its answers are operators' data: never in a URL that a proxy or a history may keep.
  if ((query.api == kInventoryApi || query.api == kManageApi) && query.requestMethod != "POST")
    return false;
  if (KEVOFLXQxCheckWebapiPriviege(query.sid, query.apiClass, who)) return true;
  if (flxread::operatorForToken(query.sid, who)) {
    NoteUse(gTokenUse, who, KEVOFLXOperatorTouch);
    return true;
  }
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

int SessionRefusal(const webapihost::SessionQuery& query) {
  // The push module checks and logs its own refusal; every other module trusts the check.
  return query.api == kPushApi ? 0 : kNoPermission;
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
  // The device's liveness: this answered push's arrival, by the host's clock alone, written
  // once the answer has left (AfterAnswer).
  Kept kept;
  kept.keyId = KVLIBCryptLastKeyId();
  if (!kept.keyId.empty()) CountKeyUse(kept.keyId);
  kept.contact.arrival = flxread::clockNow();
  if (who.empty() || kept.contact.arrival <= 0) return;  // no device to note it for
  kept.contact.sn = who;
  kept.contact.collect_time = NewestCollectTime(*items);
  kinds.erase(std::remove(kinds.begin(), kinds.end(), flxhistory::Kinds::value_type()),
              kinds.end());
  kept.kinds.swap(kinds);
  if (gKept.empty()) gKeptSince = kept.contact.arrival;
  gKept.push_back(std::move(kept));
}

void AfterAnswer(bool waiting) {
  if (gKept.empty()) return;
  const int64_t now = flxread::clockNow();
  if (waiting && gKept.size() < kMaxKept && now >= gKeptSince && now - gKeptSince < kMaxKeptSeconds)
    return;
  std::vector<Kept> batch;
  batch.swap(gKept);
  std::vector<KEVOFLX_CONTACT> contacts;
  contacts.reserve(batch.size());
  for (const Kept& k : batch) contacts.push_back(k.contact);
  // One commit for the batch; a failure is logged by the registry, and the device's next
  // push records its contact again.
  KEVOFLXContactNotes(contacts);
  for (Kept& k : batch) {
    if (!k.keyId.empty()) NoteUse(gKeyUse, k.keyId, KEVOFLXKeyUsed);
    // The history reads the device's state itself; the note only says whom to read, and a
    // failure is logged by notePush.
    flxhistory::notePush(k.contact.sn, k.kinds, k.contact.arrival);
  }
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
  options.hooks.refusal = SessionRefusal;
  options.hooks.admit = AdmitCall;
#ifdef FLX_TESTING
  // Benchmarks measure the identity check against a host without it, in the same run.
  const char* check = getenv("FLX_IDENTITY_CHECK");
  if (check != nullptr && strcmp(check, "off") == 0) options.hooks.admit = nullptr;
#endif
  options.hooks.after = AfterCall;
  options.hooks.afterAnswer = AfterAnswer;
  // A join spends a use of its secret and issues a session: run again, answered to no one, it
  // would leave a session that no machine holds. The machine retries on its own.
  options.hooks.runAgain = [](const webapihost::Call& call) { return call.api != kEnrollApi; };
  // Machines joining at once share a registry transaction: a join's cost is mostly its commit.
  options.hooks.batch.together = [](const webapihost::Call& call) {
    return call.api == kEnrollApi && call.method == "join";
  };
  options.hooks.batch.open = flxenroll::OpenJoinBatch;
  options.hooks.batch.close = flxenroll::CloseJoinBatch;
  options.hooks.batch.failed = flxenroll::kErrStore;
#ifdef FLX_TESTING
  // Benchmarks measure the batches against workers that run each join alone, in the same run.
  const char* batch = getenv("FLX_JOIN_BATCH");
  if (batch != nullptr && strcmp(batch, "off") == 0) options.hooks.batch = {};
#endif
  // Per-device series name every device: a token that reads only some groups may not scrape.
  options.hooks.metricsToken = [](const std::string& token) {
    flxread::Operator op;
    return flxread::operatorForToken(token, flxread::clockNow(), op) &&
           (op.role == "metrics" || op.scope.all);
  };
  options.hooks.metrics = ProductMetrics;
  if (options.timedMethod.empty()) options.timedMethod = "push";
  DescribeMetrics();
}

}  // namespace flxproduct
