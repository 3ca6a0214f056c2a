#include <sqlite3.h>

#include "common/cache_db.h"
#include "common/json_util.h"
#include "handlers/cache_handler.h"

static const char kSource[] = "cache_handler_sample";

// The lines that this source's unit of work is known by.

int sampleCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                      const Json::Value& data) {
  (void)collect_time;
  CacheDbUnit unit(kSource, __LINE__, __LINE__);
  // A missing or non-text "data" is stored as NULL (%Q of a null pointer).
  const Json::Value& value = flx::jsonMember(data, "data");
  const std::string sample = flx::jsonText(value);
  // The statement is cut at 1,023 characters; a cut inside its end makes it fail below.
  char sql[1024] = {0};
  sqlite3_snprintf(sizeof(sql), sql,
                   "INSERT OR REPLACE INTO sample_table (client_sn, sample_data) VALUES (%Q, %Q);",
                   client_sn.c_str(), value.isString() ? sample.c_str() : nullptr);
  return unit.exec(sql, __LINE__);
}
