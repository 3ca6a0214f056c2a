#include "handlers/cache_handler.h"

static const char kSource[] = "cache_handler_storage";

int storageCacheUpdate(const std::string& client_sn, uint64_t collect_time, const Json::Value& data) {
  (void)kSource;
  (void)client_sn;
  (void)collect_time;
  (void)data;
  return 0;  // placeholder until the handler lands
}
