// Speed of the inventory's reads on a large fleet: the device list (a page of 100, several
// sort keys and a filter) and the fleet queries, against a floor query in the same process
// (a fresh connection reading every disk row once). Then the history is planted (a summary
// row per device, two years of events, samples of the volumes about to fill) and the list
// is measured again by every column, read from the summary rows where it was computed
// before, with a device's timeline, the fleet's last day and the volumes filling.
//
//   inventory_bench [DEVICES] [ROUNDS]     default 10000 devices, 200 rounds
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
#include "platform/flxhistory/include/flxhistory_schema.h"

namespace {

const int kVolumes = 8, kDisks = 24, kApps = 30, kPackages = 60;

struct Db {
  sqlite3* db = nullptr;
  explicit Db(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) abort();
  }
  ~Db() { sqlite3_close(db); }
  void exec(const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
      fprintf(stderr, "bench: %s: %s\n", sql, msg);
      abort();
    }
  }
};

// Runs `sql` once per row with `bind(statement, row)`.
void fill(Db& db, const char* sql, long rows,
          const std::function<void(sqlite3_stmt*, long)>& bind) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db.db, sql, -1, &st, nullptr) != SQLITE_OK) abort();
  for (long r = 0; r < rows; ++r) {
    bind(st, r);
    if (sqlite3_step(st) != SQLITE_DONE) abort();
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
}

void text(sqlite3_stmt* st, int i, const std::string& v) {
  sqlite3_bind_text(st, i, v.c_str(), -1, SQLITE_TRANSIENT);
}

// A fleet of `n` devices; every 50th has a failing disk, every 40th a full volume and every
// 30th stopped reporting a day ago.
void fillRoot(long n, int64_t now) {
  const std::string root = KEVORootPrefix();
  Db reg(root + KEVO_REGISTRY_DB_PATH);
  reg.exec("BEGIN");
  fill(reg,
       "INSERT INTO devices(sn, hostname, model_name, version, status, up_time) "
       "VALUES(?, ?, ?, ?, 2, ?)",
       n, [](sqlite3_stmt* st, long r) {
         text(st, 1, "SN" + std::to_string(100000 + r));
         text(st, 2, "host-" + std::to_string(r));
         text(st, 3, r % 3 ? "KV-4120" : "KV-8240");
         text(st, 4, "QXM 5.1." + std::to_string(r % 7));
         sqlite3_bind_int64(st, 5, r * 17);
       });
  fill(reg, "INSERT INTO apps(qx_id, app_id, name_enu, version) VALUES(?, ?, ?, '1.0')", n * kApps,
       [](sqlite3_stmt* st, long r) {
         sqlite3_bind_int64(st, 1, r / kApps + 1);
         text(st, 2, "App" + std::to_string(r % kApps));
         text(st, 3, "Application " + std::to_string(r % kApps));
       });
  fill(reg, "INSERT INTO pkgs(qx_id, pkg_id, display_name, version) VALUES(?, ?, ?, ?)",
       n * kPackages, [](sqlite3_stmt* st, long r) {
         sqlite3_bind_int64(st, 1, r / kPackages + 1);
         text(st, 2, "Pkg" + std::to_string(r % kPackages));
         text(st, 3, "Package " + std::to_string(r % kPackages));
         text(st, 4, "2." + std::to_string((r / kPackages) % 12) + ".0");
       });
  reg.exec("COMMIT");
  Db cache(root + KEVO_CACHE_DB_PATH);
  cache.exec("BEGIN");
  auto mtime = [now](long dev) { return dev % 30 == 0 ? now - 86400 : now - dev % 600; };
  fill(cache,
       "INSERT INTO vol_info(name, status, size_total, size_used, mtime, qx_id) "
       "VALUES(?, 'ready', 1000, ?, ?, ?)",
       n * kVolumes, [&](sqlite3_stmt* st, long r) {
         const long dev = r / kVolumes;
         text(st, 1, "vol" + std::to_string(r % kVolumes));
         sqlite3_bind_int64(st, 2, dev % 40 == 0 && r % kVolumes == 0 ? 970 : (r * 37) % 800);
         sqlite3_bind_int64(st, 3, mtime(dev));
         sqlite3_bind_int64(st, 4, dev + 1);
       });
  fill(cache,
       "INSERT INTO hdd_info(dev, status, smart_status, model, temp, size_total, mtime, qx_id) "
       "VALUES(?, ?, 'normal', 'HDX', ?, 4000, ?, ?)",
       n * kDisks, [&](sqlite3_stmt* st, long r) {
         const long dev = r / kDisks;
         text(st, 1, "sd" + std::to_string(r % kDisks));
         text(st, 2, dev % 50 == 0 && r % kDisks == 3 ? "warning" : "good");
         sqlite3_bind_int64(st, 3, 28 + (r * 7) % 30);
         sqlite3_bind_int64(st, 4, mtime(dev));
         sqlite3_bind_int64(st, 5, dev + 1);
       });
  cache.exec("COMMIT");
}

const int kEventsPerDevice = 100, kHistoryDays = 730;

// The history as its writer would leave it: summaries computed from the stores; events over
// two years, plus a fleet-wide package update in the last day (two events a device); and two
// years of samples of every volume of the devices with a full volume, which grow by 1 % a day
// in the last 60 days.
void fillHistory(long n, int64_t now) {
  const std::string root = KEVORootPrefix();
  Db h(root + KEVO_HISTORY_DB_PATH);
  h.exec(flxhistory::kSchemaSql);
  h.exec(("ATTACH '" + root + KEVO_REGISTRY_DB_PATH + "' AS r").c_str());
  h.exec(("ATTACH '" + root + KEVO_CACHE_DB_PATH + "' AS c").c_str());
  h.exec("BEGIN");
  h.exec(
      "INSERT INTO summary(device_id, last_seen, vol_count, vol_max_use, vol_max_name, disk_count,"
      " disk_failing, disk_max_temp, app_count, pkg_count, fill_days)"
      " SELECT d.id, (SELECT max(mtime) FROM c.vol_info WHERE qx_id = d.id),"
      " (SELECT count(*) FROM c.vol_info WHERE qx_id = d.id),"
      " (SELECT max(round(size_used * 100.0 / size_total, 1)) FROM c.vol_info WHERE qx_id = d.id),"
      " 'vol0', (SELECT count(*) FROM c.hdd_info WHERE qx_id = d.id),"
      " (SELECT count(*) FROM c.hdd_info WHERE qx_id = d.id AND status <> 'good'),"
      " (SELECT max(temp) FROM c.hdd_info WHERE qx_id = d.id),"
      " (SELECT count(*) FROM r.apps WHERE qx_id = d.id),"
      " (SELECT count(*) FROM r.pkgs WHERE qx_id = d.id),"
      " CASE WHEN d.id % 40 = 1 THEN 3 END FROM r.devices d");
  const int64_t span = int64_t(kHistoryDays) * 86400;
  fill(h,
       "INSERT INTO events(device_id, kind, object, change, field, old_value, new_value,"
       " collect_time, arrival_time) VALUES(?, ?, ?, 'changed', 'version', '1.0', '1.1', ?, ?)",
       n * kEventsPerDevice, [&](sqlite3_stmt* st, long r) {
         const int64_t at = now - 86400 - (r * 7919) % span;
         sqlite3_bind_int64(st, 1, r / kEventsPerDevice + 1);
         text(st, 2, r % 3 ? "package" : "disk");
         text(st, 3, "Pkg" + std::to_string(r % kPackages));
         sqlite3_bind_int64(st, 4, at - 5);
         sqlite3_bind_int64(st, 5, at);
       });
  fill(h,
       "INSERT INTO events(device_id, kind, object, change, field, old_value, new_value,"
       " collect_time, arrival_time) VALUES(?, 'package', ?, 'changed', 'version', '2.0', '2.1',"
       " ?, ?)",
       n * 2, [&](sqlite3_stmt* st, long r) {
         sqlite3_bind_int64(st, 1, r / 2 + 1);
         text(st, 2, "Pkg" + std::to_string(r % 2));
         sqlite3_bind_int64(st, 3, now - 3600 - r);
         sqlite3_bind_int64(st, 4, now - 3600 - r);
       });
  const int64_t today = now / 86400;
  fill(h,
       "INSERT INTO samples(device_id, kind, object, day, used_last, used_max, total_last,"
       " total_max) VALUES(?, 'volume', ?, ?, ?, ?, 1000, 1000)",
       (n / 40) * kVolumes * kHistoryDays, [&](sqlite3_stmt* st, long r) {
         const long day = r % kHistoryDays, vol = (r / kHistoryDays) % kVolumes;
         const long dev = r / kHistoryDays / kVolumes * 40;
         const long used = 370 + std::max(0L, day - (kHistoryDays - 60)) * 10;
         sqlite3_bind_int64(st, 1, dev + 1);
         text(st, 2, "vol" + std::to_string(vol));
         sqlite3_bind_int64(st, 3, today - (kHistoryDays - 1) + day);
         sqlite3_bind_int64(st, 4, used);
         sqlite3_bind_int64(st, 5, used);
       });
  h.exec("COMMIT");
}

struct Figures {
  double p50, p99, max;
};

double elapsedMs(const std::function<bool()>& fn) {
  auto start = std::chrono::steady_clock::now();
  if (!fn()) {
    fprintf(stderr, "bench: a query failed\n");
    abort();
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

Figures figures(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.back()};
}

// Rounds of `fn` alternating with rounds of the floor, so that both meet the same load.
void measure(int rounds, const std::function<bool()>& floorFn, const std::function<bool()>& fn,
             Figures& floor, Figures& measured) {
  std::vector<double> a, b;
  for (int i = 0; i < rounds; ++i) {
    a.push_back(elapsedMs(floorFn));
    b.push_back(elapsedMs(fn));
  }
  floor = figures(a);
  measured = figures(b);
}

// The floor: a fresh connection with the cache attached that reads every disk row once, the
// least a fleet-wide question over the disks could cost.
bool floorQuery() {
  Db reg(std::string(KEVORootPrefix()) + KEVO_REGISTRY_DB_PATH);
  reg.exec(("ATTACH '" + std::string(KEVORootPrefix()) + KEVO_CACHE_DB_PATH + "' AS c").c_str());
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(reg.db, "SELECT count(*), max(temp) FROM c.hdd_info", -1, &st, nullptr);
  const bool ok = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int64(st, 0) > 0;
  sqlite3_finalize(st);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is measured
  const long devices = argc > 1 ? atol(argv[1]) : 10000;
  const int rounds = argc > 2 ? atoi(argv[2]) : 200;
  const flxbench::TempRoot root("/tmp/inventory_bench");  // FLX_BENCH_KEEP_ROOT keeps it
  std::string err;
  if (flxadmin::init(err) != 0) {
    fprintf(stderr, "bench: %s\n", err.c_str());
    return 1;
  }
  const int64_t now = time(nullptr);
  auto t0 = std::chrono::steady_clock::now();
  fillRoot(devices, now);
  printf("filled %ld devices (%d volumes, %d disks, %d applications, %d packages each) in %.1f s\n",
         devices, kVolumes, kDisks, kApps, kPackages,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());

  printf("floor: a fresh connection reading every disk row once, measured alongside each line\n");
  // The machine is shared: the ratio to the floor, measured in alternate rounds, is the
  // steadier figure.
  auto report = [&](const char* what, double limit, const std::function<bool()>& fn) {
    Figures base, f;
    measure(rounds, floorQuery, fn, base, f);
    printf(
        "%-38s p50 %7.2f ms  p99 %7.2f ms  floor p50 %6.2f ms  p50/floor %5.2fx  %s (p99 < "
        "%.0f ms)\n",
        what, f.p50, f.p99, base.p50, f.p50 / base.p50, f.p99 < limit ? "ok" : "SLOW", limit);
  };
  Json::Value out;
  auto list = [&](const char* sort, bool desc, const char* filter, int64_t offset) {
    return [&, sort, desc, filter, offset] {
      flxread::ListQuery q;
      q.sort = sort;
      q.descending = desc;
      q.filter = filter;
      q.page.limit = 100;
      q.page.offset = offset;
      return flxread::deviceList(q, out, err) == flxread::kOk && out["devices"].size() > 0;
    };
  };
  flxread::Page page;
  page.limit = 100;
  report("list by sn, page 100", 100, list("sn", false, "", 0));
  report("list by sn, page at offset 9000", 100, list("sn", false, "", devices > 9100 ? 9000 : 0));
  report("list by host name, filter \"host-9\"", 100, list("hostname", false, "host-9", 0));
  report("list by last contact", 100, list("last_contact", false, "", 0));
  report("list by fullest volume, descending", 100, list("vol_max_use", true, "", 0));
  report("list by failing disks, descending", 100, list("disk_failing", true, "", 0));
  report("list by package count", 100, list("pkg_count", false, "", 0));
  report("volumes over 90 %", 200,
         [&] { return flxread::volumesOver(90, page, out, err) == flxread::kOk; });
  report("failing disks", 200, [&] {
    flxread::DiskQuery q;
    q.failingOnly = true;
    return flxread::disksWhere(q, page, out, err) == flxread::kOk;
  });
  report("disks at 55 C or more", 200, [&] {
    flxread::DiskQuery q;
    q.hasMinTemp = true;
    q.minTemp = 55;
    return flxread::disksWhere(q, page, out, err) == flxread::kOk;
  });
  report("devices with Pkg7 below 2.5", 200, [&] {
    return flxread::devicesWithPackage("Pkg7", "lt", "2.5", page, out, err) == flxread::kOk;
  });
  report("devices with App12", 200,
         [&] { return flxread::devicesWithApp("App12", "", "", page, out, err) == flxread::kOk; });
  report("devices silent for an hour", 200,
         [&] { return flxread::staleDevices(3600, now, page, out, err) == flxread::kOk; });

  t0 = std::chrono::steady_clock::now();
  fillHistory(devices, now);
  printf("history: %ld summary rows, %ld events, samples of %ld devices' volumes in %.1f s\n",
         devices, devices * (kEventsPerDevice + 2), devices / 40,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  // The lines above computed the summaries: they are this list's baseline.
  for (const char* key :
       {"sn", "hostname", "model_name", "version", "build_number", "status", "up_time",
        "cluster_role", "last_contact", "vol_count", "vol_max_use", "vol_max_name", "disk_count",
        "disk_failing", "disk_max_temp", "app_count", "pkg_count", "fill_days"}) {
    for (bool desc : {false, true}) {
      const std::string what = std::string("summary list by ") + key + (desc ? " desc" : "");
      report(what.c_str(), 50, list(key, desc, "", 0));
    }
  }
  report("summary list by fullest volume, half way", 50,
         list("vol_max_use", true, "", devices / 2));
  flxread::HistoryQuery one;
  one.sn = "SN" + std::to_string(100000 + devices / 2);
  report("a device's timeline, page 100", 50,
         [&] { return flxread::history(one, page, out, err) == flxread::kOk; });
  flxread::HistoryQuery disks = one;
  disks.kind = "disk";
  report("a device's disk events, page 100", 50,
         [&] { return flxread::history(disks, page, out, err) == flxread::kOk; });
  flxread::HistoryQuery day;
  day.from = now - 86400;
  report("the fleet's last day, page 100", 100, [&] {
    return flxread::history(day, page, out, err) == flxread::kOk && out["total"].asInt() > 0;
  });
  report("volumes full within 30 days", 100, [&] {
    return flxread::volumesFilling(30, now / 86400, page, out, err) == flxread::kOk &&
           out["total"].asInt() > 0;
  });
  if (getenv("FLX_BENCH_KEEP_ROOT") != nullptr) printf("root kept: %s\n", root.dir().c_str());
  return 0;
}
