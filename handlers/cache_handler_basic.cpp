// Handler of the (basic, basic) item: the device's identity and state in the registry, and
// the mirror of its system configuration file as kevoinfo.conf.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>

#include "common/json_util.h"
#include "common/mirror_fs.h"
#include "common/privilege.h"
#include "flx.h"
#include "flxhandles.h"
#include "handlers/cache_handler.h"
#include "kevocore.h"
#include "kevoroot.h"

static const char kSource[] = "cache_handler_basic";

namespace {

// Source lines that the handler's log lines and privileged sections are known by.
constexpr int kLineHashAlloc = 47;
constexpr int kLineHashSet = 49;
constexpr int kLineQxList = 51;
constexpr int kLineMkdir = 19;
constexpr int kLineMirrorWrite = 22;
constexpr int kLineChmod = 25;

constexpr int kHashCapacity = 1024;
constexpr size_t kPathSize = 4096;
// Longest earlier value of the acting-user variable that is put back.
constexpr size_t kUsernameMax = 4095;
const char kUsernameVar[] = "KEVO_WEBAPI_USERNAME";

// Names the device as the acting web API user while it lives: KEVO_WEBAPI_USERNAME becomes
// "[hostname]"; the earlier value is put back (or the variable removed) on destruction.
class ActingUserScope {
 public:
  explicit ActingUserScope(const std::string& hostname) {
    const char* old = getenv(kUsernameVar);
    if (old != nullptr && old[0] != '\0') {
      hadOld_ = true;
      old_.assign(old, strnlen(old, kUsernameMax));
    }
    std::string value = "[" + hostname + "]";
    setenv(kUsernameVar, value.c_str(), 1);
  }
  ~ActingUserScope() {
    if (hadOld_) {
      setenv(kUsernameVar, old_.c_str(), 1);
    } else {
      unsetenv(kUsernameVar);
    }
  }
  ActingUserScope(const ActingUserScope&) = delete;
  ActingUserScope& operator=(const ActingUserScope&) = delete;

 private:
  bool hadOld_ = false;
  std::string old_;
};

// The product version within a version text such as "NAME 6.2.3-321": the whole text when
// it has no space, else what follows the first space up to a "-" that comes after it.
std::string productVersionOf(const std::string& version) {
  size_t space = version.find(' ');
  if (space == std::string::npos) return version;
  size_t dash = version.find('-');
  if (dash == std::string::npos || dash < space) return version.substr(space + 1);
  return version.substr(space + 1, dash - space - 1);
}

// The decimal digits after the first "-" as a 32-bit number; 0 without a "-", without
// digits, or when the number does not fit.
int64_t buildNumberOf(const std::string& version) {
  size_t dash = version.find('-');
  if (dash == std::string::npos) return 0;
  int64_t value = 0;
  for (size_t i = dash + 1; i < version.size() && version[i] >= '0' && version[i] <= '9'; ++i) {
    value = value * 10 + (version[i] - '0');
    if (value > INT32_MAX) return 0;
  }
  return value;
}

// The record's extra information with the pushed network, cluster and version facts;
// members not named here keep their earlier values.
std::string rebuildExtra(const std::string& oldText, const Json::Value& data,
                         const std::string& version) {
  Json::Value extra(Json::objectValue);
  Json::Value parsed;
  if (flx::fromString(oldText, parsed) && parsed.isObject()) extra = parsed;
  extra["ip"] = flx::jsonText(flx::jsonMember(data, "ip"));
  extra["unique"] = flx::jsonText(flx::jsonMember(data, "unique"));
  extra["wol"] = flx::jsonMember(data, "wol");
  if (flx::jsonHas(data, "gluster_id")) {
    extra["gluster_id"] = flx::jsonText(flx::jsonMember(data, "gluster_id"));
  }
  const Json::Value& pushed = flx::jsonMember(data, "product_version");
  extra["product_version"] = pushed.isString() ? flx::jsonText(pushed) : productVersionOf(version);
  return flx::toString(extra);
}

bool anyTrue(const Json::Value& flags) {
  Json::ArrayIndex count = flags.isArray() ? flags.size() : 0;
  for (Json::ArrayIndex i = 0; i < count; ++i) {
    if (flx::jsonBool(flx::jsonAt(flags, i))) return true;
  }
  return false;
}

// Copies the pushed identity and state into the device record (not yet stored).
void applyIdentity(KEVOFLX_QX* rec, const Json::Value& data) {
  rec->model_name = flx::jsonText(flx::jsonMember(data, "model_name"));
  rec->version = flx::jsonText(flx::jsonMember(data, "version"));
  rec->hostname = flx::jsonText(flx::jsonMember(data, "hostname"));
  rec->extra = rebuildExtra(rec->extra, data, rec->version);
  rec->up_time = flx::jsonU64(flx::jsonMember(data, "up_time"));
  rec->build_number = buildNumberOf(rec->version);
  rec->smallfix_number = flx::jsonI64(flx::jsonMember(data, "smallfixnum"));
  if (anyTrue(flx::jsonMember(data, "wol"))) rec->wol = 1;
  KEVOFLXQxItemSetStatus(rec, KEVOFLX_QX_STATUS_ONLINE);
  rec->cluster_role = flx::jsonI64(flx::jsonMember(data, "gluster_role"));
}

// Makes the device's mirror folder and mirrors the pushed configuration file in it as
// kevoinfo.conf. Failures are logged; the registry update stands whatever happens here. Without
// a kevoinfo object only the file step is skipped.
void mirrorConfigFile(uint64_t qxId, const Json::Value& data) {
  char szPath[kPathSize];
  char szFolderPath[kPathSize];
  snprintf(szPath, sizeof(szPath), "%s" KEVO_QXINFO_DIR "/%llu/kevoinfo.conf", KEVORootPrefix(),
           static_cast<unsigned long long>(qxId));
  snprintf(szFolderPath, sizeof(szFolderPath), "%s" KEVO_QXINFO_DIR "/%llu", KEVORootPrefix(),
           static_cast<unsigned long long>(qxId));

  bool failed = false;
  {
    PrivilegedSection section(kSource, kLineMkdir);
    if (!flx::openDirNoFollow(szFolderPath, true).ok()) {
      FLX_SHORT_FAILURE(kLineMkdir,
                        "0 > KEVOFSMkdirP(szFolderPath, NULL, TRUE, UID_ERR, GID_ERR, -1)");
      failed = true;
    }
  }
  if (failed) return;

  const Json::Value& file = flx::jsonMember(data, "kevoinfo");
  if (!file.isObject()) {
    FLX_LOG_ERR(__LINE__, "%s:%d no kevoinfo file in the push of device %llu",
                static_cast<unsigned long long>(qxId));
    return;
  }
  int iTmp = update_file_from_pushed(szPath, file);
  if (0 > iTmp) {
    FLX_LONG_FAILURE(kLineMirrorWrite, "0 > iTmp");
    return;
  }
  if (iTmp == 2) {  // a new file: the writer leaves its mode to us
    PrivilegedSection section(kSource, kLineChmod);
    if (0 > flx::chmodNoFollow(szPath, 0644)) {
      FLX_SHORT_FAILURE(kLineChmod, "0 > chmod(szPath, 0644)");
    }
  }
}

}  // namespace

int basicCacheUpdate(const std::string& client_sn, uint64_t collect_time, const Json::Value& data) {
  (void)collect_time;
  QxList list;  // released after the hash, also when no device matched
  HashPtr hash(KVLIBSzHashAlloc(kHashCapacity));
  if (!hash) {
    FLX_LONG_FAILURE(kLineHashAlloc, "NULL == (pHash = KVLIBSzHashAlloc(BUFSIZ))");
    return -1;
  }
  if (0 > setHashValue(hash, "sn", client_sn.c_str())) {
    FLX_LONG_FAILURE(kLineHashSet, "0 > KVLIBSzHashSetValue(&pHash, \"sn\", client_sn.c_str())");
    return -1;
  }
  int total = 0;
  if (0 > KEVOFLXQxList(hash.get(), list.addr(), &total)) {
    FLX_LONG_FAILURE(kLineQxList, "0 > KEVOFLXQxList(pHash, &list, &total)");
    return -1;
  }
  if (!list || total == 0) return 0;

  KEVOFLX_QX* rec = list.get();
  applyIdentity(rec, data);
  std::optional<ActingUserScope> actingUser;  // until the mirror work is done
  if (!rec->hostname.empty()) actingUser.emplace(rec->hostname);
  KEVOFLXQxSet(rec);
  mirrorConfigFile(rec->id, data);
  return 0;
}
