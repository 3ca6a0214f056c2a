#include "handlers/cache_handler_storage.h"

#include <sqlite3.h>

#include <memory>

#include "common/cache_db.h"
#include "common/flx_log.h"
#include "common/json_util.h"
#include "handlers/cache_handler.h"

static const char kSource[] = "cache_handler_storage";

// The lines that this source's log lines are known by.

namespace {

// A statement text made by sqlite3_mprintf, released with sqlite3_free.
using SqlText = std::unique_ptr<char, decltype(&sqlite3_free)>;

// What differs between the three tables' writers besides the row statement: the stale-row
// removal, collect time (%llu) then device id (%lu).
struct TableWriter {
  const char* purgeFormat;
};

// clang-format off
const TableWriter kVolWriter = {"DELETE FROM vol_info WHERE mtime != %llu AND qx_id == %lu;"};
const TableWriter kDgWriter  = {"DELETE FROM dg_info WHERE mtime != %llu AND qx_id == %lu;"};
const TableWriter kHddWriter = {"DELETE FROM hdd_info WHERE mtime != %llu AND qx_id == %lu;"};
// clang-format on

std::string text(const Json::Value& element, const char* key) {
  return flx::jsonText(flx::jsonMember(element, key));
}

unsigned long long u64(const Json::Value& element, const char* key) {
  return flx::jsonU64(flx::jsonMember(element, key));
}

// One unit of work: the row statement that `formatRow` makes, then (when the row was stored)
// the removal of the device's rows of the table with another mtime.
template <typename FormatRow>
int writeRow(const TableWriter& w, uint64_t qx_id, uint64_t collect_time, FormatRow formatRow) {
  CacheDbUnit unit(kSource, __LINE__, __LINE__);
  {
    SqlText row(formatRow(), sqlite3_free);
    if (unit.exec(row.get(), __LINE__) != 0) return -1;
  }
  SqlText purge(sqlite3_mprintf(w.purgeFormat, static_cast<unsigned long long>(collect_time),
                                static_cast<unsigned long>(qx_id)),
                sqlite3_free);
  return unit.exec(purge.get(), __LINE__);
}

}  // namespace

int updateVolInfo(uint64_t qx_id, const Json::Value& vol, uint64_t collect_time) {
  return writeRow(kVolWriter, qx_id, collect_time, [&] {
    return sqlite3_mprintf(
        "INSERT OR REPLACE INTO vol_info (name, status, raid_type, pool_path, size_total, "
        "size_used, mtime, qx_id) VALUES ('%q', '%q', '%q', '%q', %llu, %llu, %llu, %lu);",
        text(vol, "id").c_str(), text(vol, "status").c_str(), text(vol, "raid_type").c_str(),
        text(vol, "pool_path").c_str(), u64(vol, "size_total"), u64(vol, "size_used"),
        static_cast<unsigned long long>(collect_time), static_cast<unsigned long>(qx_id));
  });
}

int updateDgInfo(uint64_t qx_id, const Json::Value& dg, uint64_t collect_time) {
  return writeRow(kDgWriter, qx_id, collect_time, [&] {
    return sqlite3_mprintf(
        "INSERT OR REPLACE INTO dg_info (name, status, raid_type, size_total, size_used, mtime, "
        "qx_id) VALUES ('%q', '%q', '%q', %llu, %llu, %llu, %lu);",
        text(dg, "id").c_str(), text(dg, "status").c_str(), text(dg, "raid_type").c_str(),
        u64(dg, "size_total"), u64(dg, "size_used"), static_cast<unsigned long long>(collect_time),
        static_cast<unsigned long>(qx_id));
  });
}

int updateHddInfo(uint64_t qx_id, const Json::Value& hdd, uint64_t collect_time) {
  return writeRow(kHddWriter, qx_id, collect_time, [&] {
    // The container type has no key of its own: it repeats the container name.
    const std::string ctnName = text(hdd, "ctn_name");
    return sqlite3_mprintf(
        "INSERT OR REPLACE INTO hdd_info (dev, status, smart_status, model, bus, used_by, name, "
        "disk_type, ctn_name, ctn_type, temp, size_total, mtime, qx_id) VALUES ('%q', '%q', "
        "'%q', '%q', '%q', '%q', '%q', '%q', '%q', '%q', %d, %llu, %llu, %lu);",
        text(hdd, "id").c_str(), text(hdd, "status").c_str(), text(hdd, "smart_status").c_str(),
        text(hdd, "model").c_str(), text(hdd, "bus").c_str(), text(hdd, "used_by").c_str(),
        text(hdd, "name").c_str(), text(hdd, "disk_type").c_str(), ctnName.c_str(), ctnName.c_str(),
        static_cast<int>(flx::jsonI32(flx::jsonMember(hdd, "temp"))), u64(hdd, "size_total"),
        static_cast<unsigned long long>(collect_time), static_cast<unsigned long>(qx_id));
  });
}

namespace {

typedef int (*RowWriter)(uint64_t, const Json::Value&, uint64_t);

// One pushed array and the writer of its table, in the order the arrays are written.
struct ArrayWriter {
  const char* key;
  const char* table;
  RowWriter write;
};

// clang-format off
const ArrayWriter kArrayWriters[] = {
    {"vol", "vol_info", updateVolInfo},
    {"dg",  "dg_info",  updateDgInfo},
    {"hdd", "hdd_info", updateHddInfo},
};
// clang-format on

// Writes every element of `arr` in index order; stops at the first refused or failed row.
int writeArray(const ArrayWriter& w, const Json::Value& arr, const std::string& client_sn,
               uint64_t qx_id, uint64_t collect_time) {
  for (Json::ArrayIndex i = 0; i < arr.size(); ++i) {
    const Json::Value& element = flx::jsonAt(arr, i);
    if (!element.isObject()) {
      FLX_LOG_ERR(__LINE__, "%s:%d Element %u of %s from [%s] is not an object.", i, w.table,
                  flx::logText(client_sn).c_str());
      return -1;
    }
    if (w.write(qx_id, element, collect_time) < 0) return -1;
  }
  return 0;
}

// An object holding "vol", "hdd" and "dg" as arrays, checked in that order.
bool wellFormed(const Json::Value& data) {
  if (!data.isObject()) return false;
  for (const char* key : {"vol", "hdd", "dg"}) {
    if (!flx::jsonHas(data, key) || !flx::jsonMember(data, key).isArray()) return false;
  }
  return true;
}

}  // namespace

int storageCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                       const Json::Value& data) {
  QxBySerial qx;
  if (!qx.lookup(client_sn)) {
    FLX_LOG_ERR(__LINE__, "%s:%d fail to get qx %s", flx::logText(client_sn).c_str());
    return -1;
  }
  const uint64_t qx_id = qx.id();
  if (!wellFormed(data)) {
    FLX_LOG_ERR(__LINE__, "%s:%d Collected data from [%s] is wrong or corrupted.",
                flx::logText(client_sn).c_str());
    return -1;
  }
  for (const ArrayWriter& w : kArrayWriters) {
    const Json::Value& arr = flx::jsonMember(data, w.key);
    if (writeArray(w, arr, client_sn, qx_id, collect_time) < 0) return -1;
  }
  return 0;
}
