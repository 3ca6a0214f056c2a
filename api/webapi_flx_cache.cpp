#include "api/webapi_flx_cache.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <exception>
#include <memory>
#include <string>

#include "common/flx_log.h"
#include "common/json_util.h"
#include "flx.h"
#include "handlers/cache_handler.h"
#include "kevocore.h"

static const char kSource[] = "webapi_flx_cache";

// Source lines that the log lines of this file are known by.
static const int kLineNoRequest = 17;
static const int kLineChunkFailed = 44;
static const int kLineNullArgs = 71;
static const int kLineNoParams = 78;
static const int kLineNoPermission = 84;
static const int kLineNoItems = 92;
static const int kLineItemsNotArray = 98;
static const int kLineItemFailed = 105;

// The one API, version and method that this module serves, then the all-zero terminator.
// clang-format off
const WEBAPI_ENTRY gTable[2] = {
    {"KEVO.FLX.RPC.ClientInfo", 1, "push",  set_v1},
    {nullptr,                   0, nullptr, nullptr},
};
// clang-format on
static_assert(sizeof(gTable) == 64, "the server reads gTable as 2 entries of 32 bytes");

const WEBAPI_ENTRY* GetAPITable(void) {
  return gTable;
}

Json::Value KEVOCacheInfoHttpReqToJson(KEVO::APIRequest* req) {
  if (req == nullptr) {
    FLX_LOG_ERR(kLineNoRequest, "%s:%d Invaild Argument (%s)=[%d]\n", "__null != req", 0);
    KVLIBErrSetEx(KVERR_INVALID_ARGUMENT, kSource, kLineNoRequest);
    return Json::Value();
  }
  Json::Value params(Json::objectValue);
  if (req->HasParam("client_sn")) params["client_sn"] = req->GetParam("client_sn", Json::Value());
  if (req->HasParam("items")) params["items"] = req->GetParam("items", Json::Value());
  return params;
}

namespace {

struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};

// Why `item` cannot be read as a push item, or nullptr when it can.
const char* malformedReason(const Json::Value& item) {
  if (!item.isObject()) return "not an object";
  if (!flx::jsonMember(item, "group_name").isString()) return "group_name is not a string";
  if (!flx::jsonMember(item, "module_name").isString()) return "module_name is not a string";
  const Json::Value& data = flx::jsonMember(item, "data");
  if (!data.isArray()) return "data is not an array";
  for (const Json::Value& chunk : data) {
    if (!chunk.isString()) return "a data chunk is not a string";
  }
  // Read as the JSON library converts it: null is 0 and a fraction is cut; only what it
  // refuses (text, a negative or too large number, an object) makes the item unusable.
  bool timeOk = false;
  flx::jsonU64(flx::jsonMember(item, "collect_time"), &timeOk);
  if (!timeOk) return "collect_time is not a non-negative number";
  return nullptr;
}

const char* chunkText(const Json::Value& chunk) {
  const char* text = chunk.asCString();
  return text != nullptr ? text : "";
}

// Deciphers one chunk and appends its plain text (the bytes before the first NUL).
bool decipherChunk(const char* chunk, std::string& joined) {
  const size_t length = strlen(chunk);
  if (length > static_cast<size_t>(INT_MAX)) return false;
  // The buffer is as long as the chunk; an empty chunk gets a byte of its own with size 0.
  std::unique_ptr<char, FreeDeleter> buffer(static_cast<char*>(calloc(length > 0 ? length : 1, 1)));
  if (!buffer) {
    KVLIBErrSetEx(KVERR_OUT_OF_MEMORY, kSource, kLineChunkFailed);
    return false;
  }
  if (KVLIBCryptSzDecrypt(chunk, buffer.get(), static_cast<int>(length)) == nullptr) return false;
  const void* nul = memchr(buffer.get(), 0, length);
  joined.append(buffer.get(),
                nul != nullptr ? static_cast<const char*>(nul) - buffer.get() : length);
  return true;
}

// Deciphers the chunks of `data` in order into one text. False (logged) at the first chunk
// that does not decipher; the chunks after it are not touched.
bool decipherItem(const Json::Value& data, std::string& joined) {
  size_t total = 0;  // plain text is never longer than its chunk: one reservation suffices
  for (const Json::Value& chunk : data) total += strlen(chunkText(chunk));
  joined.clear();
  joined.reserve(total);
  for (const Json::Value& chunk : data) {
    if (!decipherChunk(chunkText(chunk), joined)) {
      FLX_LOG_ERR(kLineChunkFailed, "%s:%d fail to decrypt");
      return false;
    }
  }
  return true;
}

// Deciphers, parses and dispatches item `index`. False only when a chunk failed to decipher;
// a malformed item is logged and skipped, a handler's result is not the caller's concern.
bool pushItem(Json::ArrayIndex index, const Json::Value& item, const std::string& sn,
              Json::Value& wrapper) {
  if (const char* reason = malformedReason(item)) {
    FLX_LOG_ERR(__LINE__, "%s:%d Item %u is malformed, skipped: %s", index, reason);
    return true;
  }
  std::string joined;
  if (!decipherItem(flx::jsonMember(item, "data"), joined)) {
    FLX_LOG_ERR(kLineItemFailed, "%s:%d Failed to decrypt %s",
                flx::logText(flx::toString(item)).c_str());
    return false;
  }
  Json::Value parsed;
  if (flx::fromString(joined, parsed)) {
    wrapper["data"].swap(parsed);
  } else {
    wrapper["data"] = Json::Value(joined);
  }
  updateCache(flx::jsonText(flx::jsonMember(item, "group_name")),
              flx::jsonText(flx::jsonMember(item, "module_name")), sn,
              flx::jsonU64(flx::jsonMember(item, "collect_time")), wrapper["data"]);
  return true;
}

// Holds the push key for one push: its file is looked at once, not once per chunk.
class KeyPin {
 public:
  KeyPin() { KVLIBCryptKeyPin(); }
  ~KeyPin() { KVLIBCryptKeyUnpin(); }
  KeyPin(const KeyPin&) = delete;
  KeyPin& operator=(const KeyPin&) = delete;
};

// Asks the registry whether the session may push; `sn` receives its device's serial number.
bool mayPush(KEVO::APIRequest* req, std::string& sn) {
  const std::string apiClass = req->GetAPIClass();
  const std::string sid = req->GetSessionID();
  if (KEVOFLXQxCheckWebapiPriviege(sid, apiClass, sn)) return true;
  const std::string ip = req->GetRemoteIP();
  FLX_LOG_ERR(kLineNoPermission, "%s:%d No permission to update info. ip=[%s]", ip.c_str());
  return false;
}

void push(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  PushScope scope;  // the items' arrival order, and the device looked up once for all items
  const Json::Value params = KEVOCacheInfoHttpReqToJson(req);
  if (params.isNull()) {
    FLX_LOG_ERR(kLineNoParams, "%s:%d Bad request parameters. No client_sn and items.");
    resp->SetError(400, Json::Value());
    return;
  }
  std::string sn;
  if (!mayPush(req, sn)) {
    resp->SetError(105, Json::Value());
    return;
  }
  if (!flx::jsonHas(params, "items")) {
    FLX_LOG_ERR(kLineNoItems, "%s:%d Bad request parameters. No items. %s",
                flx::logText(flx::toString(params)).c_str());
    resp->SetError(400, Json::Value());
    return;
  }
  const Json::Value& items = flx::jsonMember(params, "items");
  if (!items.isArray()) {
    FLX_LOG_ERR(kLineItemsNotArray, "%s:%d Bad request parameters. items is not array. %s",
                flx::logText(flx::toString(params)).c_str());
    resp->SetError(400, Json::Value());
    return;
  }
  bool success = true;
  KeyPin pin;
  Json::Value wrapper(Json::objectValue);
  for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
    if (!pushItem(i, items[i], sn, wrapper)) {
      resp->SetError(400, Json::Value());
      success = false;
    }
  }
  if (success) resp->SetSuccess(Json::Value());
}

}  // namespace

void set_v1(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  if (req == nullptr || resp == nullptr) {
    FLX_LOG_ERR(kLineNullArgs, "%s:%d req=%p or resp=%p is NULL", static_cast<void*>(req),
                static_cast<void*>(resp));
    return;
  }
  // Last resort: nothing may reach the server, which calls us through a C table.
  try {
    push(req, resp);
  } catch (const std::exception& e) {
    FLX_LOG_ERR(__LINE__, "%s:%d Push stopped by an unexpected failure: %s", e.what());
    resp->SetError(400, Json::Value());
  } catch (...) {
    FLX_LOG_ERR(__LINE__, "%s:%d Push stopped by an unexpected failure");
    resp->SetError(400, Json::Value());
  }
}
