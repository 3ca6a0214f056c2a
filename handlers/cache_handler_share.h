// Row writer of the share inventory.
#ifndef FLX_HANDLERS_CACHE_HANDLER_SHARE_H
#define FLX_HANDLERS_CACHE_HANDLER_SHARE_H

#include <json/value.h>
#include <stdint.h>

// One unit of database work: stores one shared folder as a `share_info` row with `mtime`
// collect_time and `qx_id` qx_id. 0 when the row statement succeeded, -1 otherwise.
int updateShareInfo(uint64_t qx_id, const Json::Value& share, uint64_t collect_time);

#endif  // FLX_HANDLERS_CACHE_HANDLER_SHARE_H
