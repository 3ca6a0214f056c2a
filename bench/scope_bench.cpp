// Cost of an operator's scope on the device list: the same lists unscoped and scoped, in
// alternate rounds of one process, on a fleet of DEVICES in 10 groups. The scoped reader sees
// every group (the same rows, so the difference is the check alone), then one group.
//
//   scope_bench [DEVICES] [ROUNDS]     default 10000 devices, 300 rounds
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "admin.h"
#include "bench_util.h"
#include "flxread.h"
#include "kevoroot.h"

namespace {

const int kGroups = 10;

void exec(sqlite3* db, const std::string& sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
    fprintf(stderr, "bench: %s: %s\n", sql.c_str(), msg);
    abort();
  }
}

// Devices SN100000... with a volume each, spread over the groups g0..g9 in turn.
void fill(long n) {
  sqlite3* reg = nullptr;
  if (sqlite3_open((std::string(KEVORootPrefix()) + KEVO_REGISTRY_DB_PATH).c_str(), &reg) !=
      SQLITE_OK)
    abort();
  exec(reg, "BEGIN");
  exec(reg, "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < " +
                std::to_string(n) +
                ") INSERT INTO devices(sn, hostname, model_name) SELECT 'SN' || (100000 + i), "
                "'host-' || i, 'M' || (i % 7) FROM n");
  for (int g = 0; g < kGroups; ++g)
    exec(reg, "INSERT INTO fleet_groups(name) VALUES('g" + std::to_string(g) + "')");
  exec(reg,
       "INSERT INTO device_groups(device_id, group_id) SELECT d.id, g.id FROM devices d JOIN "
       "fleet_groups g ON g.name = 'g' || (d.id % 10)");
  exec(reg, "COMMIT");
  sqlite3_close(reg);
  sqlite3* cache = nullptr;
  if (sqlite3_open((std::string(KEVORootPrefix()) + KEVO_CACHE_DB_PATH).c_str(), &cache) !=
      SQLITE_OK)
    abort();
  exec(cache,
       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
           std::to_string(n) +
           ") INSERT INTO vol_info(name, size_total, size_used, mtime, qx_id) SELECT 'v1', 100, "
           "i % 100, 1000, i FROM n");
  sqlite3_close(cache);
}

double ms(const std::function<bool()>& fn) {
  const auto start = std::chrono::steady_clock::now();
  if (!fn()) abort();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const long devices = argc > 1 ? atol(argv[1]) : 10000;
  const int rounds = argc > 2 ? atoi(argv[2]) : 300;
  flxbench::TempRoot root("/tmp/scope_bench");  // removed at the end
  std::string err;
  if (flxadmin::init(err) != 0) {
    fprintf(stderr, "bench: %s\n", err.c_str());
    return 1;
  }
  fill(devices);
  flxread::Scope everyGroup;
  everyGroup.all = false;
  for (int g = 1; g <= kGroups; ++g) everyGroup.groups.push_back(g);
  flxread::Scope oneGroup;
  oneGroup.all = false;
  oneGroup.groups.push_back(4);
  printf("%ld devices in %d groups, %d rounds; unscoped and scoped alternate\n", devices, kGroups,
         rounds);
  Json::Value out;
  struct Case {
    const char* what;
    const char* sort;
    const char* filter;
    int64_t offset;
  };
  const Case cases[] = {{"list by sn, page 100", "sn", "", 0},
                        {"list by sn, offset 5000", "sn", "", 5000},
                        {"list by host name, filter \"host-9\"", "hostname", "host-9", 0},
                        {"list by fullest volume", "vol_max_use", "", 0}};
  for (const Case& c : cases) {
    auto list = [&](const flxread::Scope& scope, long expectedTotal) {
      return [&, expectedTotal] {
        flxread::ListQuery q;
        q.sort = c.sort;
        q.filter = c.filter;
        q.page.limit = 100;
        q.page.offset = c.offset;
        q.scope = scope;
        return flxread::deviceList(q, out, err) == flxread::kOk &&
               (expectedTotal < 0 || out["total"].asInt64() == expectedTotal);
      };
    };
    std::vector<double> base, scoped, one;
    for (int i = 0; i < rounds; ++i) {
      base.push_back(ms(list(flxread::Scope(), -1)));
      scoped.push_back(ms(list(everyGroup, -1)));
      one.push_back(ms(list(oneGroup, -1)));
    }
    const double b = median(base), s = median(scoped), o = median(one);
    printf("%-36s unscoped p50 %6.2f ms  all 10 groups %6.2f ms (%+5.1f %%)  one group %6.2f ms\n",
           c.what, b, s, (s / b - 1) * 100, o);
  }
  return 0;
}
