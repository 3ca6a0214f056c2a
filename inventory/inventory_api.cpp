#include "inventory/inventory_api.h"

#include <syslog.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "flxenroll.h"
#include "flxoperators.h"
#include "flxread.h"
#include "inventory/export.h"
#include "inventory/manage_api.h"
#include "kevocore.h"

namespace {

const char kSource[] = "inventory_api";

#define INV_LOG(fmt, ...) syslog(LOG_ERR, "%s:%d " fmt, kSource, __LINE__, __VA_ARGS__)

// A parameter that cannot be used: the answer code, and why (for the log).
struct BadParam {
  int code;
  std::string why;
};

class Params {
 public:
  Params(KEVO::APIRequest* req, const flxread::Operator& op) : req_(req), op_(op) {}

  const flxread::Operator& op() const { return op_; }
  KEVO::APIRequest* request() const { return req_; }

  // The devices this call sees: the operator's, narrowed to the `group` parameter if given.
  flxread::Scope scope() const {
    flxread::Scope s = op_.scope;
    std::string err;
    if (flxread::narrowToGroup(s, text("group", false), err) != flxread::kOk)
      throw std::runtime_error(err);
    return s;
  }

  // Device `sn` when the operator sees it; otherwise the answer is "not found", as for a
  // device that does not exist, and a read of another group's device goes to the audit trail.
  std::string device(const char* name = "sn") const {
    const std::string sn = text(name, true);
    std::string err;
    const flxread::Result r = flxread::visible(sn, op_.scope, err);
    if (r == flxread::kOk) return sn;
    if (r != flxread::kNotFound) throw std::runtime_error(err);
    if (!op_.scope.all && flxread::visible(sn, flxread::Scope(), err) == flxread::kOk) {
      flxops::AuditEntry e;
      e.who = op_.name;
      e.action = "read-refused";
      e.object = req_->GetAPIMethod();
      e.device = sn;
      e.group = flxread::groupOf(sn);
      e.address = req_->GetRemoteIP();
      e.result = "refused";
      flxops::AuditRefusal(e, 0);
    }
    throw BadParam{INV_ERR_NOT_FOUND, "no such device in the operator's groups"};
  }

  bool has(const char* name) const { return req_->HasParam(name); }

  // Text parameters: strings, and numbers or booleans as the text they were sent as (a
  // serial number of digits or a version such as 2.10 arrives as a JSON number).
  std::string text(const char* name, bool required, const char* fallback = "") const {
    if (!req_->HasParam(name)) {
      if (required) throw BadParam{INV_ERR_NO_PARAM, std::string("missing ") + name};
      return fallback;
    }
    const Json::Value v = req_->GetParam(name, Json::Value());
    std::string sent;
    if (v.isNumeric() && req_->GetNumberText(name, sent)) return sent;
    if (v.isString() || v.isBool()) return v.asString();
    throw BadParam{INV_ERR_BAD_PARAM, std::string(name) + " is not a text"};
  }

  int64_t integer(const char* name, int64_t fallback, int64_t min, int64_t max) const {
    if (!req_->HasParam(name)) return fallback;
    const Json::Value v = req_->GetParam(name, Json::Value());
    if (!v.isIntegral() || !v.isInt64())
      throw BadParam{INV_ERR_BAD_PARAM, std::string(name) + " is not an integer"};
    const int64_t n = v.asInt64();
    if (n < min || n > max) throw BadParam{INV_ERR_BAD_PARAM, std::string(name) + " out of range"};
    return n;
  }

  double number(const char* name, double fallback) const {
    if (!req_->HasParam(name)) return fallback;
    const Json::Value v = req_->GetParam(name, Json::Value());
    if (!v.isNumeric() || !std::isfinite(v.asDouble()))
      throw BadParam{INV_ERR_BAD_PARAM, std::string(name) + " is not a number"};
    return v.asDouble();
  }

  bool flag(const char* name) const {
    if (!req_->HasParam(name)) return false;
    const Json::Value v = req_->GetParam(name, Json::Value());
    if (v.isBool() || v.isIntegral()) return v.asBool();
    throw BadParam{INV_ERR_BAD_PARAM, std::string(name) + " is not a boolean"};
  }

  flxread::Page page() const {
    flxread::Page p;
    p.limit = integer("limit", p.limit, 0, flxread::kMaxPage);
    p.offset = integer("offset", 0, 0, INT64_MAX);
    return p;
  }

 private:
  KEVO::APIRequest* req_;
  const flxread::Operator& op_;
};

void answer(KEVO::APIResponse* resp, flxread::Result r, const std::string& err,
            const Json::Value& data) {
  switch (r) {
    case flxread::kOk:
      resp->SetSuccess(data);
      return;
    case flxread::kNotFound:
      resp->SetError(INV_ERR_NOT_FOUND, Json::Value());
      return;
    case flxread::kBadArgument:
      INV_LOG("Bad parameter: %s", err.c_str());
      resp->SetError(INV_ERR_BAD_PARAM, Json::Value());
      return;
    default:
      INV_LOG("Reading the stores failed: %s", err.c_str());
      resp->SetError(INV_ERR_STORE, Json::Value());
  }
}

// How a device came in and whether another machine claims its identity: its admission, or
// "registered" for a device added by hand that never pushed a fingerprint.
Json::Value enrollmentOf(const std::string& sn) {
  Json::Value out(Json::objectValue);
  flxenroll::Admission a;
  const int rc = flxenroll::GetAdmission(sn, a);
  out["state"] = rc == 0 ? a.state : "registered";
  out["group"] = a.group;
  out["identity"] = a.conflict ? "identity-conflict" : "ok";
  out["conflict_since"] = static_cast<Json::Int64>(a.conflictSince);
  out["foreign_sn_pushes"] = static_cast<Json::Int64>(a.foreignSnPushes);
  return out;
}

// A list answered as a page, or whole as a download with format=csv or format=json. The
// download is written after the method returns: `run` holds copies of the parameters.
void listAnswer(const Params& p, KEVO::APIResponse* resp, const char* name, inventory::Lister run) {
  const std::string format = p.text("format", false);
  if (format.empty()) {
    const flxread::Page page = p.page();
    Json::Value out;
    std::string err;
    answer(resp, run(page, out, err), err, out);
    return;
  }
  if (format != "csv" && format != "json")
    throw BadParam{INV_ERR_BAD_PARAM, "format is not csv/json"};
  resp->SetDownload(inventory::exportList(format == "csv", name, std::move(run)));
}

void list(const Params& p, KEVO::APIResponse* resp) {
  flxread::ListQuery q;
  q.sort = p.text("sort", false, "sn");
  if (!flxread::isSortKey(q.sort)) throw BadParam{INV_ERR_BAD_PARAM, "unknown sort key"};
  const std::string order = p.text("order", false, "asc");
  if (order != "asc" && order != "desc") throw BadParam{INV_ERR_BAD_PARAM, "order is not asc/desc"};
  q.descending = order == "desc";
  q.filter = p.text("filter", false);
  q.scope = p.scope();
  listAnswer(p, resp, "devices",
             [q](const flxread::Page& page, Json::Value& out, std::string& err) {
               flxread::ListQuery paged = q;
               paged.page = page;
               return flxread::deviceList(paged, out, err);
             });
}

void get(const Params& p, KEVO::APIResponse* resp) {
  Json::Value out;
  std::string err;
  const std::string sn = p.device();
  const flxread::Result r = flxread::deviceShow(sn, out, err);
  if (r == flxread::kOk) {
    out["enrollment"] = enrollmentOf(sn);
    out["group"] = flxread::groupOf(sn);
  }
  answer(resp, r, err, out);
}

void volumes(const Params& p, KEVO::APIResponse* resp) {
  const double minUse = p.number("min_use", 90.0);
  const flxread::Scope scope = p.scope();
  listAnswer(p, resp, "volumes",
             [minUse, scope](const flxread::Page& page, Json::Value& out, std::string& err) {
               return flxread::volumesOver(minUse, page, out, err, scope);
             });
}

void disks(const Params& p, KEVO::APIResponse* resp) {
  flxread::DiskQuery q;
  q.status = p.text("status", false);
  q.smartStatus = p.text("smart_status", false);
  q.failingOnly = p.flag("failing");
  q.hasMinTemp = p.has("min_temp");
  q.minTemp = p.integer("min_temp", 0, INT32_MIN, INT32_MAX);
  q.scope = p.scope();
  listAnswer(p, resp, "disks", [q](const flxread::Page& page, Json::Value& out, std::string& err) {
    return flxread::disksWhere(q, page, out, err);
  });
}

// The devices of one package or application, by the version each runs. "version" is the
// framework's own field (the API version), hence "pkg_version" and "app_version" here.
void devicesOf(const Params& p, KEVO::APIResponse* resp, bool package) {
  const std::string id = p.text("id", true);
  const std::string op = p.text("op", false);
  if (!op.empty() && !flxread::isVersionOp(op))
    throw BadParam{INV_ERR_BAD_PARAM, "op is not one of lt, le, eq, ne, ge, gt"};
  const char* versionName = package ? "pkg_version" : "app_version";
  const std::string version = p.text(versionName, !op.empty());
  const flxread::Scope scope = p.scope();
  listAnswer(p, resp, package ? "package" : "application",
             [=](const flxread::Page& page, Json::Value& out, std::string& err) {
               return package ? flxread::devicesWithPackage(id, op, version, page, out, err, scope)
                              : flxread::devicesWithApp(id, op, version, page, out, err, scope);
             });
}

void package(const Params& p, KEVO::APIResponse* resp) {
  devicesOf(p, resp, true);
}

void application(const Params& p, KEVO::APIResponse* resp) {
  devicesOf(p, resp, false);
}

void software(const Params& p, KEVO::APIResponse* resp) {
  flxread::SoftwareQuery q;
  q.name = p.text("name", false);
  q.kind = p.text("kind", false);
  if (!q.kind.empty() && q.kind != "package" && q.kind != "application")
    throw BadParam{INV_ERR_BAD_PARAM, "kind is not package/application"};
  const flxread::Scope scope = p.scope();
  listAnswer(p, resp, "software",
             [q, scope](const flxread::Page& page, Json::Value& out, std::string& err) {
               return flxread::software(q, page, out, err, scope);
             });
}

void whoami(const Params& p, KEVO::APIResponse* resp) {
  Json::Value out(Json::objectValue);
  out["name"] = p.op().name;
  out["role"] = p.op().role;
  Json::Value groups(Json::arrayValue);
  for (const std::string& g : p.op().groups) groups.append(g);
  out["groups"] = groups;
  resp->SetSuccess(out);
}

void stale(const Params& p, KEVO::APIResponse* resp) {
  // No age given: the stale devices, three of their push intervals without a contact.
  const int64_t seconds = p.integer("seconds", 0, 0, INT64_MAX / 2);
  const flxread::Page page = p.page();
  Json::Value out;
  std::string err;
  answer(resp, flxread::staleDevices(seconds, flxread::clockNow(), page, out, err, p.scope()), err,
         out);
}

const int64_t kDaySeconds = 86400;

// A time range [from, to) in seconds; `defaultSpan` before `to` when `from` is not given.
std::pair<int64_t, int64_t> timeRange(const Params& p, int64_t defaultTo, int64_t defaultSpan) {
  const int64_t to = p.integer("to", defaultTo, 0, INT64_MAX);
  const int64_t from = p.integer("from", std::max<int64_t>(0, to - defaultSpan), 0, INT64_MAX);
  if (from > to) throw BadParam{INV_ERR_BAD_PARAM, "from is after to"};
  return {from, to};
}

void history(const Params& p, KEVO::APIResponse* resp) {
  flxread::HistoryQuery q;
  q.sn = p.has("sn") ? p.device() : std::string();
  q.scope = p.scope();
  q.kind = p.text("kind", false);
  if (!q.kind.empty() && !flxread::isHistoryKind(q.kind))
    throw BadParam{INV_ERR_BAD_PARAM, "unknown kind"};
  std::tie(q.from, q.to) = timeRange(p, INT64_MAX, INT64_MAX);
  listAnswer(p, resp, "history",
             [q](const flxread::Page& page, Json::Value& out, std::string& err) {
               return flxread::history(q, page, out, err);
             });
}

void series(const Params& p, KEVO::APIResponse* resp) {
  const std::string sn = p.device();
  const std::string kind = p.text("kind", true);
  if (kind != "volume" && kind != "disk")
    throw BadParam{INV_ERR_BAD_PARAM, "kind is not volume/disk"};
  const std::string object = p.text("object", false);
  const int64_t now = static_cast<int64_t>(time(nullptr));
  // 90 days by default: three trend windows, enough to see a volume's course.
  const auto range = timeRange(p, now, 90 * kDaySeconds);
  if (range.second - range.first > flxread::kMaxSeriesDays * kDaySeconds)
    throw BadParam{INV_ERR_BAD_PARAM, "range longer than the samples are kept"};
  Json::Value out;
  std::string err;
  answer(resp,
         flxread::series(sn, kind, object, range.first / kDaySeconds, range.second / kDaySeconds,
                         now / kDaySeconds, out, err),
         err, out);
}

void filling(const Params& p, KEVO::APIResponse* resp) {
  const double days = p.number("days", 30.0);
  if (days < 0 || days > 3650) throw BadParam{INV_ERR_BAD_PARAM, "days out of range"};
  const int64_t today = static_cast<int64_t>(time(nullptr)) / kDaySeconds;
  const flxread::Scope scope = p.scope();
  listAnswer(p, resp, "filling",
             [days, today, scope](const flxread::Page& page, Json::Value& out, std::string& err) {
               return flxread::volumesFilling(days, today, page, out, err, scope);
             });
}

void icon(const Params& p, KEVO::APIResponse* resp) {
  const std::string sn = p.device();
  const std::string appId = p.text("app_id", true);
  const std::string key = p.text("key", false);
  std::string png;
  int64_t mtime = 0;
  std::string err;
  flxread::Result r = flxread::appIcon(sn, appId, key, png, mtime, err);
  Json::Value out(Json::objectValue);
  if (r == flxread::kOk) {
    std::vector<char> text(png.size() / 3 * 4 + 8);
    if (KVLIBBase64Encode(reinterpret_cast<const unsigned char*>(png.data()),
                          static_cast<int>(png.size()), text.data(),
                          static_cast<int>(text.size())) <= 0 &&
        !png.empty()) {
      err = "cannot encode the icon";
      r = flxread::kStoreFailed;
    }
    out["mime"] = "image/png";
    out["mtime"] = Json::Int64(mtime);
    out["data"] = text.data();
  }
  answer(resp, r, err, out);
}

typedef void (*Method)(const Params&, KEVO::APIResponse*);

// Runs one method for an operator: checks the session, turns bad parameters and anything
// unexpected into error answers; nothing escapes into the server.
void serve(KEVO::APIRequest* req, KEVO::APIResponse* resp, Method method) {
  if (req == nullptr || resp == nullptr) return;
  try {
    flxread::Operator op;
    // A metrics token scrapes /metrics and reads nothing here.
    if (!flxread::operatorForToken(req->GetSessionID(), flxread::clockNow(), op) ||
        (op.role != "viewer" && op.role != "admin")) {
      INV_LOG("No permission to read the inventory. ip=[%s]", req->GetRemoteIP().c_str());
      resp->SetError(INV_ERR_NO_PERMISSION, Json::Value());
      return;
    }
    method(Params(req, op), resp);
  } catch (const BadParam& e) {
    INV_LOG("Bad request parameters. %s (method %s)", e.why.c_str(), req->GetAPIMethod().c_str());
    resp->SetError(e.code, Json::Value());
  } catch (const std::exception& e) {
    INV_LOG("Inventory request failed: %s", e.what());
    resp->SetError(INV_ERR_STORE, Json::Value());
  } catch (...) {
    INV_LOG("Inventory request failed: %s", "unknown exception");
    resp->SetError(INV_ERR_STORE, Json::Value());
  }
}

#define INV_METHOD(fn) [](KEVO::APIRequest* req, KEVO::APIResponse* resp) { serve(req, resp, fn); }

}  // namespace

// clang-format off
extern "C" const WEBAPI_ENTRY gInventoryTable[] = {
    {"KEVO.FLX.Inventory", 1, "list",        INV_METHOD(list)},         // device list with summaries
    {"KEVO.FLX.Inventory", 1, "get",         INV_METHOD(get)},          // one device whole
    {"KEVO.FLX.Inventory", 1, "volumes",     INV_METHOD(volumes)},      // volumes over a use threshold
    {"KEVO.FLX.Inventory", 1, "disks",       INV_METHOD(disks)},        // disks by status, SMART, temperature
    {"KEVO.FLX.Inventory", 1, "package",     INV_METHOD(package)},      // devices with a package (version)
    {"KEVO.FLX.Inventory", 1, "application", INV_METHOD(application)},  // devices with an application
    {"KEVO.FLX.Inventory", 1, "stale",       INV_METHOD(stale)},        // devices not reporting
    {"KEVO.FLX.Inventory", 1, "icon",        INV_METHOD(icon)},         // an application icon
    {"KEVO.FLX.Inventory", 1, "history",     INV_METHOD(history)},      // change events, newest first
    {"KEVO.FLX.Inventory", 1, "series",      INV_METHOD(series)},       // daily samples of volumes or disks
    {"KEVO.FLX.Inventory", 1, "filling",     INV_METHOD(filling)},      // volumes full within N days
    {"KEVO.FLX.Inventory", 1, "software",    INV_METHOD(software)},     // the fleet's packages and applications
    {"KEVO.FLX.Inventory", 1, "whoami",      INV_METHOD(whoami)},       // the operator's name
    {"KEVO.FLX.Manage",    1, "approve",     flxmanage::Approve},       // let a pending device push
    {"KEVO.FLX.Manage",    1, "reject",      flxmanage::Reject},        // refuse a device
    {"KEVO.FLX.Manage",    1, "move",        flxmanage::Move},          // put a device in a group
    {"KEVO.FLX.Manage",    1, "revoke_sessions", flxmanage::RevokeSessions},  // end a device's sessions
    {"KEVO.FLX.Manage",    1, "remove",      flxmanage::Remove},        // a device, from every store
    {"KEVO.FLX.Manage",    1, "create_secret", flxmanage::CreateSecret},  // a join line, shown once
    {"KEVO.FLX.Manage",    1, "revoke_secret", flxmanage::RevokeSecret},  // revoke an enrollment secret
    {"KEVO.FLX.Manage",    1, "audit",       flxmanage::Audit},         // the audit trail of the admin's groups
    {nullptr,              0, nullptr,       nullptr},
};
// clang-format on

extern "C" const WEBAPI_ENTRY* GetAPITable(void) {
  return gInventoryTable;
}
