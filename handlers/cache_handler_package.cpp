// The package cache handler: stale packages removed, the limit file mirrored, then each pushed
// package updated, in that order.
#include <string>

#include "common/flx_log.h"
#include "common/json_util.h"
#include "flxhandles.h"
#include "handlers/cache_handler.h"
#include "handlers/cache_handler_package.h"

static const char kSource[] = "cache_handler_package";

constexpr int kLineGetQx = 584;

namespace {

// "qxm_build" as a signed 32-bit integer (null is 0) and "packages" as an array (null or
// absent: none). False, with one log line, when either cannot be read so.
bool readItemShape(const Json::Value& data, int32_t& build) {
  const Json::Value& qxmBuild = flx::jsonMember(data, "qxm_build");
  bool ok = false;
  build = flx::jsonI32(qxmBuild, &ok);
  if (!ok) {
    FLX_LOG_ERR(__LINE__, "%s:%d bad item: \"qxm_build\" is not a 32-bit integer");
    return false;
  }
  const Json::Value& packages = flx::jsonMember(data, "packages");
  if (!packages.isNull() && !packages.isArray()) {
    FLX_LOG_ERR(__LINE__, "%s:%d bad item: \"packages\" is not an array");
    return false;
  }
  return true;
}

}  // namespace

int packageCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                       const Json::Value& data) {
  (void)collect_time;
  QxBySerial qx;
  if (!qx.lookup(client_sn)) {
    FLX_LOG_ERR(kLineGetQx, "%s:%d fail to get qx %s", flx::logText(client_sn).c_str());
    return -1;
  }
  const uint64_t qxId = qx.id();
  if (removeStalePackages(data, qxId) < 0) return -1;
  if (!flx::jsonHas(data, "qxm_build") || !flx::jsonHas(data, "packagelimit")) return -1;
  int32_t build = 0;
  if (!readItemShape(data, build)) return -1;
  if (writePackageLimitFile(qxId, flx::jsonMember(data, "packagelimit")) < 0) return -1;
  const Json::Value& packages = flx::jsonMember(data, "packages");
  for (Json::ArrayIndex i = 0; i < packages.size(); ++i) {
    if (updatePackageRecord(qxId, flx::jsonAt(packages, i), build) < 0) return -1;
  }
  return 0;
}
