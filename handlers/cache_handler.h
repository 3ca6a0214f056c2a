// The cache handlers of pushed items, the table that routes items to them, and the writer
// that mirrors a pushed base64 file.
#ifndef FLX_HANDLERS_CACHE_HANDLER_H
#define FLX_HANDLERS_CACHE_HANDLER_H

#include <json/value.h>
#include <stdint.h>

#include <string>

#include "common/flx_log.h"

// A cache handler: (device serial number, collect time, payload) -> negative on failure.
typedef int (*CACHE_HANDLER)(const std::string& client_sn, uint64_t collect_time,
                             const Json::Value& data);

// One row of the handler table; 24 bytes on 64-bit.
struct CACHE_HANDLER_ENTRY {
  const char* szGroup;
  const char* szModule;
  CACHE_HANDLER handler;
};

// Six rows and the all-null terminator.
FLX_EXPORT extern const CACHE_HANDLER_ENTRY g_table[7];

// Calls the handler registered for (group, module). 0 when handled or ignored (no row);
// -1 when the payload is not an object or the handler failed.
FLX_EXPORT int updateCache(const std::string& group_name, const std::string& module_name,
                           const std::string& client_sn, uint64_t collect_time,
                           const Json::Value& data);

// The row of (group, module): module compared first, both exactly; null when none.
const CACHE_HANDLER_ENTRY* findHandler(const std::string& group, const std::string& module);
// Calls the row's handler; an exception it throws is its failure (-1, logged).
int callHandler(const CACHE_HANDLER_ENTRY& row, const std::string& client_sn, uint64_t collect_time,
                const Json::Value& data);

// One push's items: while it lives, the device of the first item is looked up once and its id
// kept for the items that follow on this thread. Made when the push arrives, it gives its
// items their arrival order: its time, then their order in the push.
class PushScope {
 public:
  PushScope();
  ~PushScope();
  PushScope(const PushScope&) = delete;
  PushScope& operator=(const PushScope&) = delete;

  std::string sn;
  uint64_t id = 0;
  bool known = false;
  uint64_t arrivalNs = 0;
  uint32_t nextItem = 0;

 private:
  PushScope* outer_;
};

// Mirrors a pushed file at `path`: 0 when it already had `size` and `mtime`, 1 when
// rewritten, 2 when created, -1 on failure.
FLX_EXPORT int update_file_from_base64(const char* path, const char* base64_text, uint64_t size,
                                       uint64_t mtime);

// update_file_from_base64 with the "data", "size" and "mtime" members of pushed file `file`;
// "data" is read as text (absent or null: empty; numbers and booleans: their text). After the
// unchanged check, an object or array fails as text that does not decode, the file untouched.
int update_file_from_pushed(const char* path, const Json::Value& file);

FLX_EXPORT int basicCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                                const Json::Value& data);
FLX_EXPORT int packageCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                                  const Json::Value& data);
FLX_EXPORT int appCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                              const Json::Value& data);
FLX_EXPORT int infoCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                               const Json::Value& data);
FLX_EXPORT int shareCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                                const Json::Value& data);
FLX_EXPORT int storageCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                                  const Json::Value& data);
// Stores a sample text per serial number; no row of g_table reaches it.
FLX_EXPORT int sampleCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                                 const Json::Value& data);

#endif  // FLX_HANDLERS_CACHE_HANDLER_H
