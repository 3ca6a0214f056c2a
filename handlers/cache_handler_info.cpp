#include <stdint.h>

#include "common/cache_db.h"
#include "common/flx_log.h"
#include "common/privilege.h"
#include "flx.h"
#include "handlers/cache_handler.h"

static const char kSource[] = "cache_handler_info";

// The lines that this source's log lines and unit of work are known by.
static const int kLineOpen = 12;
static const int kLineEmptySn = 15;
static const int kLineEmptyData = 16;
static const int kLineNoQx = 19;
static const int kLineToStruct = 25;
static const int kLineCreate = 30;
static const int kLineClose = 37;

namespace {

// Ties the payload to the device's id and hands it to the registry. 0 or -1.
int storeInfo(const std::string& client_sn, const Json::Value& data) {
  Json::Value copy = data;
  if (client_sn.empty()) {
    FLX_LONG_FAILURE(kLineEmptySn, "client_sn.empty()");
    return -1;
  }
  if (data.empty()) {
    FLX_LONG_FAILURE(kLineEmptyData, "data.empty()");
    return -1;
  }
  KEVOFLX_QX qx;
  qx.id = UINT64_MAX;  // -1 until the registry fills it
  if (KEVOFLXQxGetBySN(client_sn.c_str(), &qx) < 0) {
    FLX_LOG_ERR(kLineNoQx, "%s:%d cannot get qx_id by %s", flx::logText(client_sn).c_str());
    return -1;
  }
  KEVOFLX_INFO info;
  // Only an object can carry "qx_id"; anything else cannot become an info record.
  bool converted = copy.isObject();
  if (converted) {
    copy["qx_id"] = Json::Value(static_cast<Json::Int64>(qx.id));
    converted = KEVOFLXInfoJsonToStruct(copy, &info) >= 0;
  }
  if (!converted) {
    FLX_LOG_ERR(kLineToStruct, "%s:%d KEVOFLXInfoJsonToStruct failed");
    return -1;
  }
  if (KEVOFLXInfoCreate(&info) < 0) {
    FLX_LOG_ERR(kLineCreate, "%s:%d KEVOFLXInfoSet failed");
    return -1;
  }
  return 0;
}

}  // namespace

int infoCacheUpdate(const std::string& client_sn, uint64_t collect_time, const Json::Value& data) {
  (void)collect_time;
  // No statement runs, but the handler is a unit of work: open first, close on every way out.
  CacheDbUnit unit(kSource, kLineOpen, kLineClose);
  return storeInfo(client_sn, data);
}
