// The write cost of the device list's sort indexes: a push of the demo batch (its basic item
// rewrites the device row, a new up time each time) and the device row's update alone, on
// fleets of DEVICES that differ only in those indexes: none, the registry's own, and two per
// column (one per sort direction). Alternate blocks in one process; p50 and p99 with the ratio
// to the fleet without them.
//
//   list_index_bench [DEVICES] [ROUNDS]     default 100000 devices, 200 rounds
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>

#include <json/reader.h>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "admin.h"
#include "api/webapi_flx_cache.h"
#include "bench_util.h"
#include "flx.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "push.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kSortColumns[] = {"model_name", "version",      "up_time",
                                    "status",     "build_number", "cluster_role"};

struct Variant {
  const char* name;
  std::string dir, sid;
  std::vector<double> push, update;
  std::shared_ptr<flxbench::TempRoot> root;  // removed at the end
};

void exec(sqlite3* db, const std::string& sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
    fprintf(stderr, "bench: %s: %s\n", sql.c_str(), msg);
    exit(1);
  }
}

// A root of `devices` devices (device 1 with a session) whose list indexes are those of
// `variant`: "none", "shipped" (as the registry makes them) or "two per column".
bool make(Variant& v, long devices) {
  v.root = std::make_shared<flxbench::TempRoot>("/tmp/list_index_bench");
  v.dir = v.root->dir();
  std::string err;
  if (flxadmin::init(err) != 0) return false;
  sqlite3* reg = nullptr;
  if (sqlite3_open((v.dir + KEVO_REGISTRY_DB_PATH).c_str(), &reg) != SQLITE_OK) return false;
  exec(reg, "BEGIN");
  exec(reg, "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < " +
                std::to_string(devices) +
                ") INSERT INTO devices(sn, hostname, model_name, version, build_number, status,"
                " up_time, cluster_role, last_update) SELECT 'SN' || (100000 + i), 'host-' || i,"
                " 'KV-' || (4000 + i % 40), 'QXM 5.' || (i % 3) || '.0-' || (2500 + i % 90),"
                " 2500 + i % 90, 3, i * 7919 % 3000000, i % 3, 0 FROM n");
  if (std::string(v.name) != "shipped") {
    std::vector<std::string> names;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(reg,
                       "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = "
                       "'devices' AND name LIKE 'devices\\_%' ESCAPE '\\'",
                       -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW)
      names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    for (const std::string& n : names) exec(reg, "DROP INDEX " + n);
    if (std::string(v.name) == "two per column")
      for (const char* c : kSortColumns)
        exec(reg, std::string("CREATE INDEX devices_") + c + " ON devices(" + c +
                      ", sn); CREATE INDEX devices_" + c + "_desc ON devices(" + c + " DESC, sn)");
  }
  exec(reg, "COMMIT");
  sqlite3_close(reg);
  return flxadmin::sessionAdd("SN100000", v.sid, 0, err) == 0;
}

double ms(const std::function<bool()>& fn) {
  const auto start = Clock::now();
  if (!fn()) {
    fprintf(stderr, "bench: a call failed\n");
    exit(1);
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double pct(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const long devices = argc > 1 ? atol(argv[1]) : 100000;
  const int rounds = argc > 2 ? atoi(argv[2]) : 200;
  Json::Value batch;
  std::string err;
  {
    std::ifstream in(std::string(FLX_SOURCE_DIR) + "/examples/demo-batch.json");
    Json::CharReaderBuilder b;
    if (!Json::parseFromStream(b, in, &batch, &err)) return 1;
  }
  std::vector<Variant> variants = {{"none", "", "", {}, {}, nullptr},
                                   {"shipped", "", "", {}, {}, nullptr},
                                   {"two per column", "", "", {}, {}, nullptr}};
  for (Variant& v : variants)
    if (!make(v, devices)) {
      fprintf(stderr, "bench: making the %s root failed\n", v.name);
      return 1;
    }
  uint64_t upTime = 1209600;
  const int blocks = 8;
  for (int block = 0; block <= blocks; ++block) {  // block 0 warms each root up, uncounted
    for (Variant& v : variants) {
      setenv("FLX_ROOT", v.dir.c_str(), 1);
      unsigned char key[32];
      KVLIBCryptReadKeyFile(KVLIBCryptKeyPath(), key);
      std::vector<double> push, update;
      for (int i = 0; i < rounds / blocks; ++i) {
        batch[0]["data"]["up_time"] = Json::UInt64(upTime += 300);
        push.push_back(ms([&] {
          Json::Value params(Json::objectValue);
          if (!flxpush::BuildItems(batch, key, 4096, false, params["items"], err)) return false;
          KEVO::APIRequest req("KEVO.FLX.RPC.ClientInfo", 1, "push", params, v.sid, "127.0.0.1");
          KEVO::APIResponse resp;
          set_v1(&req, &resp);
          return resp.IsSuccess();
        }));
        KEVOFLX_QX rec;
        if (KEVOFLXQxGetBySN("SN100050", &rec) != 0) return 1;
        rec.up_time = upTime;
        rec.status = static_cast<int>(upTime / 300 % 2) + KEVOFLX_QX_STATUS_REGISTERED;
        update.push_back(ms([&] { return KEVOFLXQxSet(&rec) == 0; }));
      }
      if (block == 0) continue;
      v.push.insert(v.push.end(), push.begin(), push.end());
      v.update.insert(v.update.end(), update.begin(), update.end());
    }
  }
  const Variant& base = variants[0];
  printf("%ld devices, %zu pushes each    push p50   p99  ratio | row update p50   p99  ratio\n",
         devices, base.push.size());
  for (const Variant& v : variants)
    printf("  list indexes: %-14s %8.2f %6.2f x%4.2f | %14.3f %5.3f x%4.2f\n", v.name,
           pct(v.push, 0.5), pct(v.push, 0.99), pct(v.push, 0.5) / pct(base.push, 0.5),
           pct(v.update, 0.5), pct(v.update, 0.99), pct(v.update, 0.5) / pct(base.update, 0.5));
  return 0;
}
