#include "enroll/enroll_api.h"

#include <ctype.h>
#include <json/writer.h>
#include <sodium.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "flxenroll.h"
#include "flxoperators.h"
#include "kevocore.h"
#include "kevoids.h"
#include "kevoroot.h"

namespace {

const char kSource[] = "enroll_api";

#define ENROLL_LOG(level, fmt, ...) syslog(level, "%s:%d " fmt, kSource, __LINE__, __VA_ARGS__)

// Bounds of what a machine may say about itself.
const size_t kMaxToken = 64;
const size_t kMaxText = 255;
const size_t kMaxMacs = 64;
const size_t kMaxCaBytes = 64 * 1024;

// A parameter that cannot be used: the answer code, and why (for the log).
struct Refusal {
  int code;
  std::string why;
};

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

// A text member of the identity: a string of at most `max` bytes without control characters.
std::string Text(const Json::Value& obj, const char* name, size_t max) {
  const Json::Value& v = obj[name];
  if (v.isNull()) return std::string();
  if (!v.isString() || v.asString().size() > max)
    throw Refusal{flxenroll::kErrBadParam,
                  std::string("identity.") + name + " is not a short text"};
  const std::string text = v.asString();
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f)
      throw Refusal{flxenroll::kErrBadParam,
                    std::string("identity.") + name + " has control bytes"};
  }
  return text;
}

// The identity parameter, checked and reduced to what is kept: serial, hostname, machine_id,
// product_uuid, macs; the fingerprint computed here, never taken from the machine.
flxenroll::Identity ReadIdentity(KEVO::APIRequest* req) {
  if (!req->HasParam("identity")) throw Refusal{flxenroll::kErrNoParam, "no identity"};
  const Json::Value in = req->GetParam("identity", Json::Value());
  if (!in.isObject()) throw Refusal{flxenroll::kErrBadParam, "identity is not an object"};
  Json::Value kept(Json::objectValue);
  flxenroll::Identity id;
  id.serial = Text(in, "serial", flxenroll::kMaxSerial);
  id.hostname = Text(in, "hostname", kMaxText);
  const std::string machineId = Text(in, "machine_id", kMaxText);
  const std::string productUuid = Text(in, "product_uuid", kMaxText);
  const Json::Value& macsIn = in["macs"];
  if (!macsIn.isNull() && (!macsIn.isArray() || macsIn.size() > kMaxMacs))
    throw Refusal{flxenroll::kErrBadParam, "identity.macs is not a short list"};
  std::vector<std::string> macs;
  Json::Value macsKept(Json::arrayValue);
  for (const Json::Value& mac : macsIn) {
    if (!mac.isString() || mac.asString().size() > 64)
      throw Refusal{flxenroll::kErrBadParam, "identity.macs holds something else than addresses"};
    macs.push_back(mac.asString());
    macsKept.append(mac);
  }
  if (id.serial.empty() || machineId.empty())
    throw Refusal{flxenroll::kErrBadParam, "identity without serial or machine_id"};
  id.fingerprint = flxenroll::Fingerprint(machineId, productUuid, macs);
  kept["serial"] = id.serial;
  kept["hostname"] = id.hostname;
  kept["machine_id"] = machineId;
  kept["product_uuid"] = productUuid;
  kept["macs"] = macsKept;
  id.json = Compact(kept);
  return id;
}

// The push key the fleet uses now, as 64 hex digits. Read with root's ids: the file is root's
// alone. Every answer that hands the key out reads it here.
std::string CurrentPushKey() {
  char hex[65];
  int rc;
  {
    kevo::RootIds root;
    rc = KVLIBCryptCurrentKeyHex(hex, sizeof hex);
  }
  if (rc != 0)
    throw Refusal{flxenroll::kErrStore,
                  std::string("cannot read the push key ") + KVLIBCryptKeyPath()};
  const std::string text = hex;
  sodium_memzero(hex, sizeof hex);
  return text;
}

// The CA certificate, read again only when its file changed: a fleet enrolling at once asks
// for it a thousand times.
std::string CaCertificate() {
  static std::string cached;
  static struct stat seen {};
  const std::string path = std::string(KEVORootPrefix()) + KEVO_CA_CERT_PATH;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) st = {};
  if (!cached.empty() && st.st_ino == seen.st_ino && st.st_dev == seen.st_dev &&
      st.st_size == seen.st_size && st.st_mtim.tv_sec == seen.st_mtim.tv_sec &&
      st.st_mtim.tv_nsec == seen.st_mtim.tv_nsec)
    return cached;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  const std::string pem = text.str();
  if (pem.empty() || pem.size() > kMaxCaBytes || pem.find("-----BEGIN CERTIFICATE-----") != 0) {
    cached.clear();
    throw Refusal{flxenroll::kErrStore,
                  "no CA certificate at " + path + ": run flx-admin init on the host"};
  }
  cached = pem;
  seen = st;
  return pem;
}

// What every answer that admits a machine hands out. Read before anything is created: a host
// that cannot answer them creates nothing.
struct Handout {
  std::string key = CurrentPushKey();
  std::string ca = CaCertificate();
  ~Handout() { sodium_memzero(&key[0], key.size()); }
};

void Answer(const flxenroll::Issued& issued, const Handout& handout, KEVO::APIResponse* resp) {
  Json::Value data(Json::objectValue);
  data["sn"] = issued.sn;
  data["sid"] = issued.sid;
  data["key"] = handout.key;
  data["ca"] = handout.ca;
  data["expires"] = static_cast<Json::Int64>(issued.expires);
  if (issued.pending) data["pending"] = true;
  resp->SetSuccess(data);
}

void Join(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  if (!req->HasParam("token")) throw Refusal{flxenroll::kErrNoParam, "no token"};
  const Json::Value token = req->GetParam("token", Json::Value());
  const std::string text = token.isString() ? token.asString() : std::string();
  const size_t dot = text.find('.');
  if (text.size() > kMaxToken || dot == std::string::npos || dot == 0)
    throw Refusal{flxenroll::kErrTokenBad, "a token that is not ID.SECRET"};
  const std::string publicId = text.substr(0, dot);
  for (unsigned char c : publicId) {
    if (!isalnum(c)) throw Refusal{flxenroll::kErrTokenBad, "a token id that is not [a-z0-9]"};
  }
  const flxenroll::Identity identity = ReadIdentity(req);
  const Handout handout;
  // The trail names the secret by its public id only; an enrollment's entry is written in its
  // own transaction. Refusals are rate-limited like failed token checks: a machine retrying a
  // bad line leaves a trace, not a flood.
  flxops::AuditEntry entry;
  entry.who = identity.serial;
  entry.action = "enroll";
  entry.object = publicId;
  entry.address = req->GetRemoteIP();
  flxenroll::Issued issued;
  const int code = flxenroll::Join(publicId, text.substr(dot + 1), identity,
                                   static_cast<int64_t>(time(nullptr)), issued, &entry);
  if (code != 0) {
    ENROLL_LOG(LOG_WARNING, "Enrollment refused with %d: secret %s, serial %s, from %s", code,
               publicId.c_str(), identity.serial.c_str(), req->GetRemoteIP().c_str());
    entry.result = "refused " + std::to_string(code);
    flxops::AuditRefusal(entry, 60);
    resp->SetError(code, Json::Value());
    return;
  }
  ENROLL_LOG(LOG_NOTICE, "Enrolled %s as device %s%s with secret %s from %s",
             identity.serial.c_str(), issued.sn.c_str(), issued.pending ? " (pending)" : "",
             publicId.c_str(), req->GetRemoteIP().c_str());
  Answer(issued, handout, resp);
}

void Renew(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  std::string fingerprint;
  if (req->HasParam("fingerprint")) {
    const Json::Value v = req->GetParam("fingerprint", Json::Value());
    if (!v.isString()) throw Refusal{flxenroll::kErrBadParam, "fingerprint is not a text"};
    fingerprint = v.asString();
  }
  const Handout handout;
  flxenroll::Issued issued;
  const int code = flxenroll::Renew(req->GetSessionID(), fingerprint,
                                    static_cast<int64_t>(time(nullptr)), issued);
  if (code != 0) {
    ENROLL_LOG(LOG_WARNING, "Renewal refused with %d for device %s from %s", code,
               issued.sn.empty() ? "-" : issued.sn.c_str(), req->GetRemoteIP().c_str());
    resp->SetError(code, Json::Value());
    return;
  }
  ENROLL_LOG(LOG_INFO, "Renewed the session of device %s", issued.sn.c_str());
  Answer(issued, handout, resp);
}

typedef void (*Method)(KEVO::APIRequest*, KEVO::APIResponse*);

// Runs one method; refusals and anything unexpected become error answers, nothing escapes.
void Serve(KEVO::APIRequest* req, KEVO::APIResponse* resp, Method method) {
  if (req == nullptr || resp == nullptr) return;
  try {
    method(req, resp);
  } catch (const Refusal& e) {
    ENROLL_LOG(e.code == flxenroll::kErrStore ? LOG_ERR : LOG_WARNING, "%s refused with %d: %s",
               req->GetAPIMethod().c_str(), e.code, e.why.c_str());
    resp->SetError(e.code, Json::Value());
  } catch (const std::exception& e) {
    ENROLL_LOG(LOG_ERR, "%s failed: %s", req->GetAPIMethod().c_str(), e.what());
    resp->SetError(flxenroll::kErrStore, Json::Value());
  } catch (...) {
    ENROLL_LOG(LOG_ERR, "%s failed: %s", req->GetAPIMethod().c_str(), "unknown exception");
    resp->SetError(flxenroll::kErrStore, Json::Value());
  }
}

#define ENROLL_METHOD(fn) \
  [](KEVO::APIRequest* req, KEVO::APIResponse* resp) { Serve(req, resp, fn); }

}  // namespace

// clang-format off
extern "C" const WEBAPI_ENTRY gEnrollTable[] = {
    {"KEVO.FLX.Enroll", 1, "join",  ENROLL_METHOD(Join)},   // a machine joins with a secret
    {"KEVO.FLX.Enroll", 1, "renew", ENROLL_METHOD(Renew)},  // a device renews its session
    {nullptr,           0, nullptr, nullptr},
};
// clang-format on

extern "C" const WEBAPI_ENTRY* GetAPITable(void) {
  return gEnrollTable;
}
