// Row writers of the storage inventory, and the device lookup that the inventory handlers
// share.
#ifndef FLX_HANDLERS_CACHE_HANDLER_STORAGE_H
#define FLX_HANDLERS_CACHE_HANDLER_STORAGE_H

#include <json/value.h>
#include <stdint.h>

#include <string>

#include "flx.h"
#include "kevocore.h"

// Each writer is one unit of database work: it stores one element as a row with `mtime`
// collect_time and `qx_id` qx_id, then removes the device's rows of that table with another
// `mtime`. 0 when both statements succeeded, -1 otherwise (the removal is skipped after a
// failed row).
int updateVolInfo(uint64_t qx_id, const Json::Value& vol, uint64_t collect_time);
int updateDgInfo(uint64_t qx_id, const Json::Value& dg, uint64_t collect_time);
int updateHddInfo(uint64_t qx_id, const Json::Value& hdd, uint64_t collect_time);

// Finds a device by serial number through a filter hash {"sn"} and the registry's device
// list. Both are held until the object dies and are then released, hash first, on every
// path (also when null), as the registry expects of its callers.
class QxBySerial {
 public:
  QxBySerial() = default;
  ~QxBySerial();
  QxBySerial(const QxBySerial&) = delete;
  QxBySerial& operator=(const QxBySerial&) = delete;

  // True when the hash could be made and the registry lists a device for `sn`. Call once.
  bool lookup(const std::string& sn);
  // The id of the first listed device; only after a successful lookup.
  uint64_t id() const { return list_->id; }

 private:
  KVSZHASH* hash_ = nullptr;
  KEVOFLX_QX* list_ = nullptr;
};

#endif  // FLX_HANDLERS_CACHE_HANDLER_STORAGE_H
