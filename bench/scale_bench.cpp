// Every read and write of the host at 10,000 and at 100,000 devices, in one run: each figure at
// the smaller fleet beside the larger one, with the ratio and the target it must meet. A push
// is measured against a 100-device root instead. The roots are generated once (straight into
// the stores, bench/fleet_gen.cpp) and kept under DIR for later runs.
//
//   scale_bench [DIR] [ROUNDS] [LARGE]    default .flx/scale (of the current folder), 40 rounds
//                                         and a larger fleet of 100,000
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/reader.h>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "admin.h"
#include "api/webapi_flx_cache.h"
#include "fleet_gen.h"
#include "flx.h"
#include "flxread.h"
#include "host.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "platform/flxhistory/include/flxhistory_schema.h"
#include "product.h"
#include "push.h"
#include "writer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Root {
  long devices;
  std::string dir, root, token, sid;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::string s;
  std::getline(in, s);
  return s;
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream(path) << text << "\n";
  chmod(path.c_str(), 0600);
}

void use(const Root& r) {
  setenv("FLX_ROOT", r.root.c_str(), 1);
}

// The root of `devices` under `base`, generated when it is not complete yet.
Root prepare(const std::string& base, long devices) {
  Root r;
  r.devices = devices;
  r.dir = base + "/" + std::to_string(devices);
  r.root = r.dir + "/root";
  use(r);
  if (access((r.dir + "/complete").c_str(), F_OK) != 0) {
    if (system(("rm -rf '" + r.dir + "' && mkdir -p '" + r.root + "'").c_str()) != 0) abort();
    std::string err;
    fleetgen::Shape shape;
    const auto start = Clock::now();
    if (flxadmin::init(err) != 0 || !fleetgen::generate(devices, time(nullptr), shape, err)) {
      fprintf(stderr, "bench: generating %ld devices: %s\n", devices, err.c_str());
      exit(1);
    }
    r.token = flxread::newToken();
    std::string sid;
    if (KEVOFLXOperatorCreate("bench", flxread::tokenHash(r.token)) != 0 ||
        flxadmin::sessionAdd(fleetgen::serial(2), sid, 0, err) != 0) {
      fprintf(stderr, "bench: sessions: %s\n", err.c_str());
      exit(1);
    }
    spit(r.dir + "/token", r.token);
    spit(r.dir + "/sid", sid);
    spit(r.dir + "/complete", "");
    printf(
        "generated %ld devices in %.0f s: %ld volumes, %ld disks, %ld applications, %ld "
        "packages, %ld events, %ld volume samples\n",
        devices, std::chrono::duration<double>(Clock::now() - start).count(), shape.volumes,
        shape.disks, shape.apps, shape.packages, shape.events, shape.samples);
  }
  // The fleet reported just now: its summaries' last reports moved to the present, as the
  // history writer would have them for a fleet that pushes.
  sqlite3* h = nullptr;
  if (sqlite3_open((r.root + KEVO_HISTORY_DB_PATH).c_str(), &h) != SQLITE_OK ||
      sqlite3_exec(
          h,
          (std::string(flxhistory::kSchemaSql) + "UPDATE summary SET last_seen = last_seen + (" +
           std::to_string(time(nullptr)) + " - (SELECT max(last_seen) FROM summary))")
              .c_str(),
          nullptr, nullptr, nullptr) != SQLITE_OK)
    fprintf(stderr, "bench: cannot move the last reports: %s\n", sqlite3_errmsg(h));
  sqlite3_close(h);
  // Likewise each device's last contact, pushing every 5 minutes, every 20th silent for an hour
  // (a root generated before contacts were kept gets them on its first run).
  sqlite3* reg = nullptr;
  const std::string now = std::to_string(time(nullptr));
  if (sqlite3_open((r.root + KEVO_REGISTRY_DB_PATH).c_str(), &reg) != SQLITE_OK ||
      sqlite3_exec(reg,
                   ("INSERT OR IGNORE INTO device_contacts(device_id, arrival) SELECT id, " + now +
                    " - CASE WHEN id % 20 = 0 THEN 3600 ELSE id * 37 % 300 END FROM devices;"
                    "UPDATE device_contacts SET arrival = arrival + (" +
                    now + " - (SELECT max(arrival) FROM device_contacts))")
                       .c_str(),
                   nullptr, nullptr, nullptr) != SQLITE_OK)
    fprintf(stderr, "bench: cannot move the last contacts: %s\n", sqlite3_errmsg(reg));
  sqlite3_close(reg);
  r.token = slurp(r.dir + "/token");
  r.sid = slurp(r.dir + "/sid");
  return r;
}

struct Figures {
  double p50 = 0, p99 = 0;
};

Figures times(int rounds, const std::function<bool()>& fn) {
  std::vector<double> ms;
  fn();  // the first call opens connections and prepares statements
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    if (!fn()) {
      fprintf(stderr, "bench: a call failed\n");
      exit(1);
    }
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

// One line: the call measured on each root in turn, p50 and p99 side by side, and the target
// on the larger root's p99.
void line(const char* what, const Root& small, const Root& large, int rounds, double limitMs,
          const std::function<bool()>& fn) {
  use(small);
  const Figures a = times(rounds, fn);
  use(large);
  const Figures b = times(rounds, fn);
  printf("%-42s %8.2f %8.2f | %8.2f %8.2f | x%5.2f  %s (p99 < %.0f ms)\n", what, a.p50, a.p99,
         b.p50, b.p99, b.p99 / a.p99, b.p99 < limitMs ? "ok  " : "SLOW", limitMs);
}

long rssKiB() {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> value;
      return value;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string base = argc > 1 ? argv[1] : ".flx/scale";
  const int rounds = argc > 2 ? atoi(argv[2]) : 40;
  // One process generates at a time; the others wait for it and use its roots.
  mkdir(base.c_str(), 0755);
  const int lock = open((base + "/.lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return 1;
  const Root tiny = prepare(base, 100), small = prepare(base, 10000),
             large = prepare(base, argc > 3 ? atol(argv[3]) : 100000);
  flock(lock, LOCK_UN);
  printf("%-42s %17s | %17s | %6s\n", "", "10,000: p50  p99", "100,000: p50  p99", "ratio");
  Json::Value out;
  std::string err;

  // A /metrics scrape's product part, as a worker writes it (SCALE_METRICS_ONLY: that alone).
  auto scrapes = [&] {
    for (const Root* r : {&small, &large}) {
      use(*r);
      size_t bytes = 0;
      const Figures f = times(3, [&] {
        std::string text;
        bytes = 0;
        flxproduct::ProductMetrics(text, [&](std::string& piece) {
          bytes += piece.size();
          piece.clear();
        });
        bytes += text.size();
        return true;
      });
      printf("/metrics at %ld devices: p50 %.0f ms, %.2f MB  %s\n", r->devices, f.p50,
             static_cast<double>(bytes) / 1e6,
             f.p99 < 1000 && bytes < 10000000 ? "ok" : "SLOW/BIG");
    }
  };
  if (getenv("SCALE_METRICS_ONLY") != nullptr) {
    scrapes();
    return 0;
  }
  // SCALE_LIST_ONLY: the list's lines alone (a quick look after a change to the list).
  const bool listOnly = getenv("SCALE_LIST_ONLY") != nullptr;
  // A push of the demo batch by device 2, against 100 devices then 100,000.
  Json::Value batch;
  {
    std::ifstream in(std::string(FLX_SOURCE_DIR) + "/examples/demo-batch.json");
    Json::CharReaderBuilder b;
    if (!Json::parseFromStream(b, in, &batch, &err)) return 1;
  }
  const Root* pushRoot = &tiny;
  auto push = [&] {
    unsigned char key[32];
    KVLIBCryptReadKeyFile(KVLIBCryptKeyPath(), key);
    Json::Value params(Json::objectValue);
    if (!flxpush::BuildItems(batch, key, 4096, false, params["items"], err)) return false;
    KEVO::APIRequest req("KEVO.FLX.RPC.ClientInfo", 1, "push", params, pushRoot->sid, "127.0.0.1");
    KEVO::APIResponse resp;
    set_v1(&req, &resp);
    return resp.IsSuccess();
  };
  // Alternate blocks, so that both roots meet the same load on a shared machine.
  std::vector<double> few, many;
  for (int block = 0; block < (listOnly ? 0 : 4); ++block) {
    for (const Root* r : {&tiny, &large}) {
      pushRoot = r;
      use(*r);
      const Figures f = times(rounds / 2, push);
      (r == &tiny ? few : many).push_back(f.p99);
    }
  }
  const double fewP99 = listOnly ? 1 : *std::max_element(few.begin(), few.end());
  const double manyP99 = listOnly ? 1 : *std::max_element(many.begin(), many.end());
  if (!listOnly)
    printf("%-42s 100 devices p99 %.2f ms | 100,000 p99 %.2f ms | x%5.2f  %s (within 10 %%)\n",
           "push of the demo batch", fewP99, manyP99, manyP99 / fewP99,
           manyP99 <= fewP99 * 1.1 ? "ok  " : "SLOW");

  const Root* current = &small;
  webapihost::SessionQuery q;
  q.api = "KEVO.FLX.RPC.ClientInfo", q.apiClass = "KEVO.FLX.RPC", q.method = "push";
  q.requestMethod = "POST";
  auto check = [&](bool device) {
    return [&, device] {
      std::string who;
      q.sid = device ? current->sid : current->token;
      bool ok = true;
      for (int i = 0; i < 100; ++i) ok = ok && flxproduct::CheckSession(q, who);
      return ok;
    };
  };
  auto both = [&](const char* what, double limit, const std::function<bool()>& fn) {
    current = &small;
    use(small);
    const Figures a = times(rounds, fn);
    current = &large;
    use(large);
    const Figures b = times(rounds, fn);
    printf("%-42s %8.2f %8.2f | %8.2f %8.2f | x%5.2f  %s (p99 < %.0f ms)\n", what, a.p50, a.p99,
           b.p50, b.p99, b.p99 / a.p99, b.p99 < limit ? "ok  " : "SLOW", limit);
  };
  both("session check of a device, 100 calls", 50, check(true));
  q.api = "KEVO.FLX.Inventory", q.apiClass = "KEVO.FLX";
  both("session check of an operator, 100 calls", 50, check(false));

  auto list = [&](const char* sort, bool desc, const char* filter) {
    return [&, sort, desc, filter] {
      flxread::ListQuery lq;
      lq.sort = sort, lq.descending = desc, lq.filter = filter;
      lq.page.limit = 100;
      return flxread::deviceList(lq, out, err) == flxread::kOk && out["devices"].size() > 0;
    };
  };
  for (const char* key : {"sn", "hostname", "model_name", "version", "status", "up_time",
                          "last_contact", "vol_count", "vol_max_use", "disk_count", "disk_failing",
                          "disk_max_temp", "app_count", "pkg_count", "fill_days"}) {
    for (bool desc : {false, true}) {
      const std::string what = std::string("list by ") + key + (desc ? " desc" : "");
      line(what.c_str(), small, large, rounds, 50, list(key, desc, ""));
    }
  }
  line("list filtered \"store-9\" by host name", small, large, rounds, 50,
       list("hostname", false, "store-9"));
  line("list filtered \"KV-8240\" by fullest volume", small, large, rounds, 50,
       list("vol_max_use", true, "KV-8240"));
  line("device page: get of a 1,000-package device", small, large, rounds, 50, [&] {
    return flxread::deviceShow(fleetgen::serial(1), out, err) == flxread::kOk &&
           out["packages"].size() == fleetgen::kLargestDevicePackages;
  });
  flxread::Page page;
  line("software, first page", small, large, rounds, 200, [&] {
    return flxread::software({}, page, out, err) == flxread::kOk && out["total"].asInt() > 0;
  });
  line("software named \"lib\"", small, large, rounds, 200, [&] {
    return flxread::software({"lib", ""}, page, out, err) == flxread::kOk;
  });
  line("devices of a package older than its newest", small, large, rounds, 200, [&] {
    return flxread::devicesWithPackage("libgnu", "lt", "9", page, out, err) == flxread::kOk;
  });

  if (listOnly) return 0;
  // The whole device list as CSV, through the module as the host serves it.
  webapihost::ApiRegistry registry;
  if (!registry.LoadModule(FLX_INVENTORY_PATH, err)) return 1;
  webapihost::Dispatcher dispatcher(registry);
  for (const Root* r : {&small, &large}) {
    use(*r);
    webapihost::RawRequest raw;
    raw.query = "api=KEVO.FLX.Inventory&version=1&method=list&format=csv&_sid=" + r->token;
    webapihost::Dispatcher::Outcome outcome;
    const long before = rssKiB();
    long most = before;
    size_t bytes = 0, lines = 0;
    const auto start = Clock::now();
    dispatcher.Handle(raw, nullptr, nullptr, &outcome);
    const bool ok =
        outcome.download.producer && outcome.download.producer([&](const char* data, size_t n) {
          bytes += n;
          lines += static_cast<size_t>(std::count(data, data + n, '\n'));
          most = std::max(most, rssKiB());
          return true;
        });
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    printf(
        "CSV export of %ld devices: %s %.2f s, %zu lines, %.1f MB, RSS %ld -> peak %ld KiB  %s\n",
        r->devices, ok ? "" : "FAILED", s, lines, static_cast<double>(bytes) / 1e6, before, most,
        s < 10 ? "ok (< 10 s)" : "SLOW");
  }

  // The history writer: a note of every kind for 50 devices already recorded.
  const flxhistory::Kinds kinds = {{"basic", "basic"},        {"basic", "info"},
                                   {"basic", "applications"}, {"basic", "package"},
                                   {"storage", "storage"},    {"storage", "share"}};
  for (const Root* r : {&small, &large}) {
    use(*r);
    flxhistory::Writer writer;
    const int64_t now = time(nullptr);
    for (long i = 10; i < 60; ++i)
      if (writer.record(fleetgen::serial(i), kinds, now, err) < 0) return 1;
    const auto start = Clock::now();
    for (long i = 10; i < 60; ++i)
      if (writer.record(fleetgen::serial(i), kinds, now + 300, err) < 0) return 1;
    printf("flx-history, one note of every kind at %ld devices: %.2f ms\n", r->devices,
           std::chrono::duration<double, std::milli>(Clock::now() - start).count() / 50);
  }

  scrapes();
  return 0;
}
