// Row writers of the storage inventory.
#ifndef FLX_HANDLERS_CACHE_HANDLER_STORAGE_H
#define FLX_HANDLERS_CACHE_HANDLER_STORAGE_H

#include <json/value.h>
#include <stdint.h>

#include <string>

#include "flxhandles.h"

// Each writer is one unit of database work: it stores one element as a row with `mtime`
// collect_time and `qx_id` qx_id, then removes the device's rows of that table with another
// `mtime`. 0 when both statements succeeded, -1 otherwise (the removal is skipped after a
// failed row).
int updateVolInfo(uint64_t qx_id, const Json::Value& vol, uint64_t collect_time);
int updateDgInfo(uint64_t qx_id, const Json::Value& dg, uint64_t collect_time);
int updateHddInfo(uint64_t qx_id, const Json::Value& hdd, uint64_t collect_time);

#endif  // FLX_HANDLERS_CACHE_HANDLER_STORAGE_H
