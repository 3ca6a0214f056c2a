#include "handlers/cache_handler_share.h"

#include <sqlite3.h>

#include <memory>

#include "common/cache_db.h"
#include "common/flx_log.h"
#include "common/json_util.h"
#include "handlers/cache_handler.h"
#include "handlers/cache_handler_storage.h"

static const char kSource[] = "cache_handler_share";

namespace {

// A statement text made by sqlite3_mprintf, released with sqlite3_free.
using SqlText = std::unique_ptr<char, decltype(&sqlite3_free)>;

std::string text(const Json::Value& element, const char* key) {
  return flx::jsonText(flx::jsonMember(element, key));
}

}  // namespace

int updateShareInfo(uint64_t qx_id, const Json::Value& share, uint64_t collect_time) {
  CacheDbUnit unit(kSource, __LINE__, __LINE__);
  const Json::Value& volName = flx::jsonMember(share, "display_vol_name");
  const std::string displayVolName = volName.isString() ? flx::jsonText(volName) : std::string();
  const int32_t hidden = flx::jsonI32(flx::jsonMember(share, "hidden"));  // true is 1
  const std::string volId = text(share, "vol_id");
  const std::string desc = text(share, "desc");
  const std::string name = text(share, "name");
  SqlText row(sqlite3_mprintf("INSERT OR REPLACE INTO share_info (name, description, vol_id, "
                              "hidden, mtime, qx_id, display_vol_name) VALUES ('%q', '%q', "
                              "'%q', %lu, %llu, %lu, '%q');",
                              name.c_str(), desc.c_str(), volId.c_str(),
                              static_cast<unsigned long>(static_cast<uint32_t>(hidden)),
                              static_cast<unsigned long long>(collect_time),
                              static_cast<unsigned long>(qx_id), displayVolName.c_str()),
              sqlite3_free);
  return unit.exec(row.get(), __LINE__);
}

namespace {

// Writes every folder of `shares` in index order; stops at the first refused or failed row.
int writeShares(const Json::Value& shares, const std::string& client_sn, uint64_t qx_id,
                uint64_t collect_time) {
  // A text or a number has no elements: such a list is empty.
  const Json::ArrayIndex n = shares.isArray() ? shares.size() : 0;
  for (Json::ArrayIndex i = 0; i < n; ++i) {
    const Json::Value& element = flx::jsonAt(shares, i);
    if (!element.isObject()) {
      FLX_LOG_ERR(__LINE__, "%s:%d Element %u of share_info from [%s] is not an object.", i,
                  flx::logText(client_sn).c_str());
      return -1;
    }
    if (updateShareInfo(qx_id, element, collect_time) < 0) return -1;
  }
  return 0;
}

}  // namespace

int shareCacheUpdate(const std::string& client_sn, uint64_t collect_time, const Json::Value& data) {
  // The lookup outlives the connection: on the way out the connection closes first, then
  // the hash and the list are released. The connection is opened before the lookup.
  QxBySerial qx;
  CacheDbUnit unit(kSource, __LINE__, __LINE__);
  if (!qx.lookup(client_sn)) {
    FLX_LOG_ERR(__LINE__, "%s:%d fail to get qx %s", flx::logText(client_sn).c_str());
    return -1;
  }
  const uint64_t qx_id = qx.id();
  const Json::Value& shares = flx::jsonMember(data, "share");
  if (!flx::jsonHas(data, "share") || shares.isObject()) {
    FLX_LOG_ERR(__LINE__, "%s:%d Collected data from [%s] is wrong or corrupted.",
                flx::logText(client_sn).c_str());
    return -1;
  }
  if (writeShares(shares, client_sn, qx_id, collect_time) < 0) return -1;
  SqlText purge(sqlite3_mprintf("DELETE FROM share_info WHERE mtime != %llu AND qx_id == %lu;",
                                static_cast<unsigned long long>(collect_time),
                                static_cast<unsigned long>(qx_id)),
                sqlite3_free);
  return unit.exec(purge.get(), __LINE__);
}
