// Extended information of a device: one record per device, the known members as fields and
// the whole pushed object as JSON text.
#include <json/writer.h>
#include <string.h>
#include <time.h>

#include "flx.h"
#include "flx_schema.h"
#include "records.h"
#include "registry_db.h"

using namespace flxreg;

namespace {

const std::vector<std::string>& infoColumns() {
  static const std::vector<std::string> cols = [] {
    KEVOFLX_INFO rec;
    ColumnNames names;
    visitInfo(rec, names);
    return names.names;
  }();
  return cols;
}

// Member `key` of an object, or null when absent. Never throws on an object.
const Json::Value* member(const Json::Value& obj, const char* key) {
  return obj.find(key, key + strlen(key));
}

std::string textOf(const Json::Value& obj, const char* key) {
  const Json::Value* v = member(obj, key);
  return v != nullptr && v->isString() ? v->asString() : std::string();
}

// Integers only, in the signed 64-bit range (reals with an integral value count).
int64_t numberOf(const Json::Value& obj, const char* key) {
  const Json::Value* v = member(obj, key);
  return v != nullptr && !v->isBool() && v->isInt64() ? v->asInt64() : 0;
}

std::string compactJson(const Json::Value& v) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, v);
}

}  // namespace

int KEVOFLXInfoJsonToStruct(const Json::Value& obj, KEVOFLX_INFO* pInfo) {
  return guarded(-1, [&] {
    if (pInfo == nullptr || !obj.isObject()) return failInvalid();
    const Json::Value* qx = member(obj, "qx_id");
    if (qx == nullptr || qx->isBool() || !qx->isInt64() || qx->asInt64() < 0) {
      return failInvalid();
    }
    KEVOFLX_INFO info = *pInfo;
    info.qx_id = qx->asInt64();
    info.cpu_cores = numberOf(obj, "cpu_cores");
    info.mem_total = numberOf(obj, "mem_total");
    info.cpu_model = textOf(obj, "cpu_model");
    info.cpu_vendor = textOf(obj, "cpu_vendor");
    info.timezone = textOf(obj, "timezone");
    info.time_server = textOf(obj, "time_server");
    info.dns_server = textOf(obj, "dns_server");
    info.gateway = textOf(obj, "gateway");
    info.json = compactJson(obj);
    *pInfo = std::move(info);
    return 0;
  });
}

int KEVOFLXInfoCreate(KEVOFLX_INFO* pInfo) {
  return guarded("store info", -1, [&] {
    if (pInfo == nullptr || pInfo->qx_id <= 0) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    KEVOFLX_INFO info = *pInfo;
    info.mtime = static_cast<int64_t>(time(nullptr));
    Stmt st(db, upsertSql(KEVOFLX_TABLE_INFO, infoColumns(), "qx_id"));
    visitInfo(info, Binder{st});
    if (st.step() != SQLITE_ROW) return -1;
    st.read(info.id);
    if (!st.run()) return -1;
    *pInfo = std::move(info);
    return 0;
  });
}

int KEVOFLXInfoGet(uint64_t qxId, KEVOFLX_INFO* pInfo) {
  return guarded("read info", -1, [&] {
    if (pInfo == nullptr) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, selectSql(KEVOFLX_TABLE_INFO, infoColumns()) + " WHERE qx_id = ?");
    st.bind(qxId);
    int rc = st.step();
    if (rc == SQLITE_DONE) FLXREG_ERR(KVERR_NOT_FOUND);
    if (rc != SQLITE_ROW) return -1;
    st.read(pInfo->id);
    visitInfo(*pInfo, Reader{st});
    return 0;
  });
}
