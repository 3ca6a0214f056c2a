#include "fleet_gen.h"

#include <sqlite3.h>
#include <stdio.h>

#include <algorithm>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "flx_schema.h"
#include "kevoroot.h"
#include "platform/flxhistory/include/flxhistory_schema.h"

namespace fleetgen {
namespace {

const int kCatalogPackages = 3000, kCatalogApps = 60;
const long kDevicesPerTransaction = 2000;
const int kHistoryDays = 365;

// A fixed hash of (a, b): the fleet is the same at every run.
uint64_t mix(uint64_t a, uint64_t b = 0) {
  uint64_t z = a * 0x9E3779B97F4A7C15ull + b * 0xBF58476D1CE4E5B9ull + 0x94D049BB133111EBull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
// In [lo, hi], skewed towards lo by squaring: few devices are large.
long skewed(uint64_t h, long lo, long hi) {
  const double u = static_cast<double>(h % 1000000) / 1e6;
  return lo + static_cast<long>(u * u * static_cast<double>(hi - lo + 1));
}

struct Db {
  sqlite3* db = nullptr;
  std::string* err;
  Db(const std::string& path, std::string& e) : err(&e) {
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) e = "cannot open " + path;
  }
  ~Db() { sqlite3_close(db); }
  bool exec(const std::string& sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) == SQLITE_OK) return true;
    *err = sql.substr(0, 60) + ": " + (msg ? msg : "?");
    sqlite3_free(msg);
    return false;
  }
};

// A prepared INSERT, bound by position and run once per row.
class Insert {
 public:
  Insert(Db& db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db.db, sql, -1, &st_, nullptr) != SQLITE_OK) *db.err = sql;
  }
  ~Insert() { sqlite3_finalize(st_); }
  Insert& i(int64_t v) {
    sqlite3_bind_int64(st_, ++n_, v);
    return *this;
  }
  Insert& t(const std::string& v) {
    sqlite3_bind_text(st_, ++n_, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Insert& d(double v) {
    sqlite3_bind_double(st_, ++n_, v);
    return *this;
  }
  Insert& null() {
    sqlite3_bind_null(st_, ++n_);
    return *this;
  }
  bool run() {
    n_ = 0;
    const bool ok = st_ != nullptr && sqlite3_step(st_) == SQLITE_DONE;
    sqlite3_reset(st_);
    if (!ok) *db_.err = sqlite3_errmsg(db_.db);
    return ok;
  }

 private:
  Db& db_;
  sqlite3_stmt* st_ = nullptr;
  int n_ = 0;
};

struct Software {
  std::string id, name;
  std::vector<std::string> versions;  // oldest first
};

const char* const kSyllables[] = {"lib", "gnu",  "py",   "perl", "ssl",   "core", "net",  "data",
                                  "fs",  "font", "sys",  "auth", "db",    "http", "mail", "zip",
                                  "x11", "qt",   "gtk",  "dbus", "cups",  "img",  "snd",  "vid",
                                  "tls", "xml",  "json", "yaml", "boost", "icu"};

std::vector<Software> catalog(int n, const char* kind) {
  std::vector<Software> out;
  const int syllables = sizeof kSyllables / sizeof kSyllables[0];
  for (int i = 0; i < n; ++i) {
    Software s;
    const uint64_t h = mix(i, kind[0]);
    s.id = std::string(kSyllables[i % syllables]) + kSyllables[(i / syllables) % syllables] +
           (i >= syllables * syllables ? std::to_string(i / (syllables * syllables)) : "");
    if (kind[0] == 'a') s.id = "App" + s.id;
    s.name = s.id;
    s.name[0] = static_cast<char>(toupper(s.name[0]));
    const int count = 1 + static_cast<int>(h % 4);
    const int major = static_cast<int>(h / 7 % 6), minor = static_cast<int>(h / 11 % 30);
    for (int v = 0; v < count; ++v) {
      const std::string upstream =
          std::to_string(major) + "." + std::to_string(minor + v) + "." + std::to_string(v * 3);
      std::string version = kind[0] == 'a' ? upstream : upstream + "-" + std::to_string(1 + v);
      if (v == 0 && h % 5 == 0)
        version = std::to_string(major) + "." + std::to_string(minor + 1) + "~rc1" +
                  (kind[0] == 'a' ? "" : "-1");
      if (h % 17 == 0) version = "1:" + version;
      s.versions.push_back(version);
    }
    out.push_back(std::move(s));
  }
  return out;
}

// The version device `dev` runs: mostly the newest.
const std::string& versionOn(const Software& s, long dev, int salt) {
  const uint64_t h = mix(dev, salt) % 100;
  const size_t n = s.versions.size();
  const size_t back = h < 65 ? 0 : h < 85 ? 1 : h < 95 ? 2 : 3;
  return s.versions[n - 1 - std::min(back, n - 1)];
}

// What device `dev` has of a catalog: the most popular three quarters of `k`, the rest from a
// window of the others that depends on the device; in id order, as the registry keeps them.
std::vector<int> installed(long dev, const std::vector<int>& rank, long k) {
  const long n = static_cast<long>(rank.size()), common = k * 3 / 4, rare = n - n / 3;
  std::vector<int> picked;
  for (long i = 0; i < common; ++i) picked.push_back(static_cast<int>(i));
  const long from = static_cast<long>(mix(dev, 77) % static_cast<uint64_t>(rare));
  for (long i = 0; i < k - common; ++i)
    picked.push_back(static_cast<int>(n / 3 + (from + i) % rare));
  std::sort(picked.begin(), picked.end(), [&](int a, int b) { return rank[a] < rank[b]; });
  picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
  return picked;
}

std::vector<int> idRank(const std::vector<Software>& cat) {
  std::vector<int> order(cat.size()), rank(cat.size());
  for (size_t i = 0; i < cat.size(); ++i) order[i] = static_cast<int>(i);
  std::sort(order.begin(), order.end(), [&](int a, int b) { return cat[a].id < cat[b].id; });
  for (size_t i = 0; i < order.size(); ++i) rank[order[i]] = static_cast<int>(i);
  return rank;
}

}  // namespace

std::string serial(long i) {
  char buf[32];
  snprintf(buf, sizeof buf, "Q%09ld", 210000000 + i);
  return buf;
}

std::string hostname(long i) {
  return "store-" + std::to_string(i + 1);
}

bool generate(long devices, int64_t now, Shape& shape, std::string& err) {
  shape = Shape();
  shape.devices = devices;
  const std::string root = KEVORootPrefix();
  Db reg(root + KEVO_REGISTRY_DB_PATH, err), cache(root + KEVO_CACHE_DB_PATH, err),
      hist(root + KEVO_HISTORY_DB_PATH, err);
  if (!err.empty()) return false;
  for (Db* db : {&reg, &cache, &hist})
    if (!db->exec("PRAGMA synchronous=OFF; PRAGMA cache_size=-200000")) return false;
  // The fleet indexes are made once the rows are in: one sort instead of random inserts.
  if (!reg.exec("DROP INDEX IF EXISTS " KEVOFLX_INDEX_PKGS_BY_ID
                "; DROP INDEX IF EXISTS " KEVOFLX_INDEX_APPS_BY_ID) ||
      !hist.exec(flxhistory::kSchemaSql) || !hist.exec(flxhistory::kSoftwareSql))
    return false;
  const std::vector<Software> pkgs = catalog(kCatalogPackages, "package");
  const std::vector<Software> apps = catalog(kCatalogApps, "application");
  const std::vector<int> pkgRank = idRank(pkgs), appRank = idRank(apps);
  std::map<std::tuple<int, int, std::string>, int64_t> counts;  // kind, index, version

  Insert dev(reg,
             "INSERT INTO devices(sn, hostname, model_name, version, build_number, status, "
             "up_time, cluster_role) VALUES(?, ?, ?, ?, ?, 2, ?, 0)");
  Insert app(reg, "INSERT INTO apps(qx_id, app_id, name_enu, version) VALUES(?, ?, ?, ?)");
  Insert pkg(
      reg, "INSERT INTO pkgs(qx_id, pkg_id, display_name, version, status) VALUES(?, ?, ?, ?, ?)");
  Insert vol(cache,
             "INSERT INTO vol_info(name, status, raid_type, size_total, size_used, mtime, qx_id) "
             "VALUES(?, 'ready', 'raid5', ?, ?, ?, ?)");
  Insert disk(cache,
              "INSERT INTO hdd_info(dev, status, smart_status, model, temp, size_total, used_by, "
              "mtime, qx_id) VALUES(?, ?, ?, ?, ?, ?, 'vol1', ?, ?)");
  Insert sum(hist,
             "INSERT INTO summary(device_id, last_seen, vol_count, vol_max_use, vol_max_name, "
             "disk_count, disk_failing, disk_max_temp, app_count, pkg_count, fill_days, marks, "
             "push_interval) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 300)");
  Insert ev(hist,
            "INSERT INTO events(device_id, kind, object, change, field, old_value, new_value, "
            "collect_time, arrival_time) VALUES(?, ?, ?, 'changed', ?, ?, ?, ?, ?)");
  Insert smp(hist,
             "INSERT INTO samples(device_id, kind, object, day, used_last, used_max, total_last, "
             "total_max) VALUES(?, 'volume', ?, ?, ?, ?, ?, ?)");
  if (!err.empty()) return false;
  const char* const models[] = {"KV-4120", "KV-8240", "KV-1610", "KV-12400"};
  const char* const diskModels[] = {"HDX-4000", "HDX-8000", "SSX-960", "HDX-16000"};
  const int64_t today = now / 86400;

  for (long i = 0; i < devices; ++i) {
    if (i % kDevicesPerTransaction == 0) {
      if (i > 0 && !(reg.exec("COMMIT") && cache.exec("COMMIT") && hist.exec("COMMIT")))
        return false;
      if (!(reg.exec("BEGIN") && cache.exec("BEGIN") && hist.exec("BEGIN"))) return false;
    }
    const int64_t id = i + 1;
    const uint64_t h = mix(i, 1);
    // Every 50th device stopped reporting a day ago; the others within their interval.
    const int64_t seen = i % 50 == 7 ? now - 86400 - 60 : now - static_cast<int64_t>(h % 300);
    dev.t(serial(i)).t(hostname(i)).t(models[h % 4]).t("QXM 5." + std::to_string(h % 3) + ".1");
    if (!dev.i(static_cast<int64_t>(20000 + h % 900)).i(static_cast<int64_t>(h % 9000000)).run())
      return false;

    const long nApps = 2 + static_cast<long>(mix(i, 2) % 19);
    for (int a : installed(i, appRank, nApps)) {
      const std::string& v = versionOn(apps[a], i, 3 + a);
      ++counts[{1, a, v}];
      if (!app.i(id).t(apps[a].id).t(apps[a].name).t(v).run()) return false;
    }
    const long nPkgs =
        i == 1 ? kLargestDevicePackages : skewed(mix(i, 4), 20, kLargestDevicePackages);
    for (int p : installed(i, pkgRank, nPkgs)) {
      const std::string& v = versionOn(pkgs[p], i, 5 + p);
      ++counts[{0, p, v}];
      if (!pkg.i(id).t(pkgs[p].id).t(pkgs[p].name).t(v).t(p % 7 ? "running" : "stopped").run())
        return false;
    }
    shape.apps += nApps;
    shape.packages += nPkgs;

    const int nVols = 2 + static_cast<int>(mix(i, 6) % 7);
    double maxUse = -1;
    std::string maxName;
    for (int v = 0; v < nVols; ++v) {
      const int64_t total = int64_t(1) << (40 + static_cast<int>(mix(i, 7 + v) % 4));
      // About 3 % of devices have a volume over 90 %.
      const double use = (v == 0 && mix(i, 8) % 33 == 0) ? 0.95 : (mix(i, 9 + v) % 80) / 100.0;
      const int64_t used = static_cast<int64_t>(use * static_cast<double>(total));
      const std::string name = "vol" + std::to_string(v + 1);
      if (use * 100 > maxUse) maxUse = use * 100, maxName = name;
      if (!vol.t(name).i(total).i(used).i(seen).i(id).run()) return false;
      // A year of daily samples for every tenth device, growing towards today.
      if (i % 10 == 0) {
        for (int day = 0; day < kHistoryDays; ++day) {
          const int64_t u = used - (kHistoryDays - 1 - day) * (used / 2000);
          if (!smp.i(id)
                   .t(name)
                   .i(today - kHistoryDays + 1 + day)
                   .i(u)
                   .i(u)
                   .i(total)
                   .i(total)
                   .run())
            return false;
          ++shape.samples;
        }
      }
    }
    shape.volumes += nVols;

    const int nDisks = 4 + static_cast<int>(mix(i, 20) % 21);
    int failing = 0;
    int64_t maxTemp = -1;
    for (int k = 0; k < nDisks; ++k) {
      const bool bad = k == 2 && mix(i, 21) % 100 == 0;  // about 1 % of devices
      const bool noSensor = mix(i, 22 + k) % 20 == 0;
      const int64_t temp = mix(i, 23) % 40 == 0 && k == 0 ? 58 : 28 + mix(i, 24 + k) % 20;
      disk.t("sd" + std::string(1, static_cast<char>('a' + k))).t(bad ? "warning" : "good");
      disk.t(bad ? "abnormal" : "normal").t(diskModels[mix(i, 25) % 4]);
      if (noSensor) {
        disk.null();
      } else {
        disk.i(temp);
        maxTemp = std::max(maxTemp, temp);
      }
      if (!disk.i(int64_t(4) << 40).i(seen).i(id).run()) return false;
      failing += bad ? 1 : 0;
    }
    shape.disks += nDisks;

    // The history for a tenth: a year of events (package updates, disk changes).
    if (i % 10 == 0) {
      for (int e = 0; e < 120; ++e) {
        const int64_t at = now - static_cast<int64_t>(mix(i, 100 + e) % (kHistoryDays * 86400));
        const bool isPkg = e % 4 != 0;
        ev.i(id).t(isPkg ? "package" : "disk").t(isPkg ? pkgs[e % 50].id : "sdb");
        ev.t(isPkg ? "version" : "status").t(isPkg ? "1.0-1" : "good").t(isPkg ? "1.1-1" : "good");
        if (!ev.i(at - 5).i(at).run()) return false;
        ++shape.events;
      }
    }

    const bool filling = i % 10 == 0 && mix(i, 30) % 8 == 0;
    std::string marks;
    if (failing > 0) marks += ",\"failing\"";
    if (maxUse >= 90) marks += ",\"full\"";
    if (maxTemp >= 55) marks += ",\"hot\"";
    if (filling) marks += ",\"filling\"";
    marks = "[" + (marks.empty() ? marks : marks.substr(1)) + "]";
    sum.i(id).i(seen).i(nVols).d(static_cast<int64_t>(maxUse * 10 + 0.5) / 10.0).t(maxName);
    sum.i(nDisks).i(failing);
    if (maxTemp < 0) {
      sum.null();
    } else {
      sum.i(maxTemp);
    }
    sum.i(nApps).i(nPkgs);
    if (filling) {
      sum.d(static_cast<double>(mix(i, 31) % 30));
    } else {
      sum.null();
    }
    if (!sum.t(marks).run()) return false;
  }
  if (!(reg.exec("COMMIT") && cache.exec("COMMIT") && hist.exec("COMMIT"))) return false;

  Insert sw(hist, "INSERT INTO software(kind, id, version, name, devices) VALUES(?, ?, ?, ?, ?)");
  if (!hist.exec("BEGIN")) return false;
  for (const auto& c : counts) {
    const Software& s =
        std::get<0>(c.first) == 0 ? pkgs[std::get<1>(c.first)] : apps[std::get<1>(c.first)];
    if (!sw.t(std::get<0>(c.first) == 0 ? "package" : "application")
             .t(s.id)
             .t(std::get<2>(c.first))
             .t(s.name)
             .i(c.second)
             .run())
      return false;
  }
  return hist.exec("COMMIT") &&
         reg.exec("CREATE INDEX IF NOT EXISTS " KEVOFLX_INDEX_PKGS_BY_ID " ON " KEVOFLX_TABLE_PKGS
                  "(pkg_id, qx_id, version, status); CREATE INDEX IF NOT "
                  "EXISTS " KEVOFLX_INDEX_APPS_BY_ID " ON " KEVOFLX_TABLE_APPS
                  "(app_id, qx_id, version, name_enu)");
}

}  // namespace fleetgen
