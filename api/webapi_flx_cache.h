// The module's entry: the API table that the server loads and the push method.
#ifndef FLX_API_WEBAPI_FLX_CACHE_H
#define FLX_API_WEBAPI_FLX_CACHE_H

#include <json/value.h>

#include "common/flx_log.h"
#include "webapi.h"

// The API table: one entry and the all-zero terminator (64 bytes).
extern "C" FLX_EXPORT const WEBAPI_ENTRY gTable[2];
// The address of gTable's first entry; the same on every call.
extern "C" FLX_EXPORT const WEBAPI_ENTRY* GetAPITable(void);

// Copies the parameters client_sn and items into an object; null when `req` is null.
FLX_EXPORT Json::Value KEVOCacheInfoHttpReqToJson(KEVO::APIRequest* req);
// KEVO.FLX.RPC.ClientInfo v1 push.
FLX_EXPORT void set_v1(KEVO::APIRequest* req, KEVO::APIResponse* resp);

#endif  // FLX_API_WEBAPI_FLX_CACHE_H
