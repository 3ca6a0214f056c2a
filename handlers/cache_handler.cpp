#include "handlers/cache_handler.h"

static const char kSource[] = "cache_handler";

// One aligned row per item kind: group, module, handler. Never written at run time.
// clang-format off
const CACHE_HANDLER_ENTRY g_table[7] = {
    {"basic",   "basic",        basicCacheUpdate},
    {"basic",   "package",      packageCacheUpdate},
    {"basic",   "applications", appCacheUpdate},
    {"basic",   "info",         infoCacheUpdate},
    {"storage", "share",        shareCacheUpdate},
    {"storage", "storage",      storageCacheUpdate},
    {nullptr,   nullptr,        nullptr},
};
// clang-format on
static_assert(sizeof(g_table) == 168, "the server reads g_table as 7 rows of 24 bytes");

int updateCache(const std::string& group_name, const std::string& module_name,
                const std::string& client_sn, uint64_t collect_time, const Json::Value& data) {
  (void)kSource;
  (void)group_name;
  (void)module_name;
  (void)client_sn;
  (void)collect_time;
  (void)data;
  return 0;  // placeholder until dispatch lands
}

int update_file_from_base64(const char* path, const char* base64_text, uint64_t size,
                            uint64_t mtime) {
  (void)path;
  (void)base64_text;
  (void)size;
  (void)mtime;
  return -1;  // placeholder until the writer lands
}
