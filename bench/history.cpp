// flx-history-bench: the history's figures, each beside a baseline measured in the same run.
//
//   flx-history-bench notes [--calls N]           cost of one note against a stat() and an empty
//   call flx-history-bench year [--devices N] [--days D]
//                                                 a year of daily pushes into a history database:
//                                                 its size and the bytes per device
//   flx-history-bench keepup [--devices N] [--rate R] [--seconds S]
//                                                 flx-history against notes at R a second over a
//                                                 root seeded with the demo batch: notes waiting
//   flx-history-bench idle [--files N] [--rounds R]
//                                                 the writer's idle pass with N small notes
//                                                 files taken in its folder, against none
#include <json/reader.h>
#include <libgen.h>
#include <limits.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "flx.h"
#include "flxhistory.h"
#include "handlers/cache_handler.h"
#include "kevoroot.h"
#include "writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Kinds of the demo batch, as the host notes them.
const flxhistory::Kinds kDemoKinds = {{"basic", "basic"},        {"basic", "info"},
                                      {"storage", "storage"},    {"storage", "share"},
                                      {"basic", "applications"}, {"basic", "package"}};

Json::Value demoBatch() {
  std::ifstream in(FLX_SOURCE_DIR "/examples/demo-batch.json");
  Json::Value batch;
  Json::CharReaderBuilder b;
  std::string errs;
  if (!Json::parseFromStream(b, in, &batch, &errs) || !batch.isArray()) {
    fprintf(stderr, "bench: cannot read examples/demo-batch.json: %s\n", errs.c_str());
    exit(1);
  }
  return batch;
}

void execOrDie(sqlite3* db, const char* sql);

// Registers `n` devices with the demo batch stored for each: the first through the handlers,
// as a push would store it, the others as copies of its rows and mirror folder.
bool seedDemo(int n) {
  const Json::Value batch = demoBatch();
  uint64_t first = 0;
  if (KEVOFLXQxCreate(flxbench::Serial(0), "host-0", &first) != 0) return false;
  for (const Json::Value& item : batch) {
    if (updateCache(item["group_name"].asString(), item["module_name"].asString(),
                    flxbench::Serial(0), item["collect_time"].asUInt64(), item["data"]) != 0)
      return false;
  }
  const std::string root = KEVORootPrefix();
  sqlite3* db = nullptr;
  if (sqlite3_open((root + KEVO_REGISTRY_DB_PATH).c_str(), &db) != SQLITE_OK) return false;
  sqlite3_busy_timeout(db, 5000);
  execOrDie(db, ("ATTACH '" + root + KEVO_CACHE_DB_PATH + "' AS c").c_str());
  const std::string id = std::to_string(first);
  const char* const registry[] = {"apps", "pkgs", "info"};
  const char* const cache[] = {"vol_info", "dg_info", "hdd_info", "share_info"};
  execOrDie(db, ("CREATE TEMP TABLE t_devices AS SELECT * FROM devices WHERE id = " + id).c_str());
  for (const char* t : registry)
    execOrDie(db, (std::string("CREATE TEMP TABLE t_") + t + " AS SELECT * FROM " + t +
                   " WHERE qx_id = " + id)
                      .c_str());
  for (const char* t : cache)
    execOrDie(db, (std::string("CREATE TEMP TABLE t_") + t + " AS SELECT * FROM c." + t +
                   " WHERE qx_id = " + id)
                      .c_str());
  execOrDie(db, "BEGIN");
  for (int i = 1; i < n; ++i) {
    const std::string sn = flxbench::Serial(i);
    execOrDie(db, ("UPDATE t_devices SET id = NULL, sn = '" + sn + "', hostname = 'host-" +
                   std::to_string(i) + "'; INSERT INTO devices SELECT * FROM t_devices")
                      .c_str());
    const std::string qx = std::to_string(sqlite3_last_insert_rowid(db));
    for (const char* t : registry)
      execOrDie(db, (std::string("UPDATE t_") + t + " SET id = NULL, qx_id = " + qx +
                     "; INSERT INTO " + t + " SELECT * FROM t_" + t)
                        .c_str());
    for (const char* t : cache)
      execOrDie(db, (std::string("UPDATE t_") + t + " SET qx_id = " + qx + "; INSERT INTO c." + t +
                     " SELECT * FROM t_" + t)
                        .c_str());
    std::error_code ec;
    std::filesystem::copy(root + KEVO_QXINFO_DIR + "/" + id, root + KEVO_QXINFO_DIR + "/" + qx,
                          std::filesystem::copy_options::recursive, ec);
    if (ec) return false;
  }
  execOrDie(db, "COMMIT");
  sqlite3_close(db);
  return true;
}

// The folder of this program, where flx-admin and flx-history are built too.
std::string binDir(const char* argv0) {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return argv0;
  buf[n] = 0;
  return std::string(dirname(buf));
}

__attribute__((noinline)) int emptyCall(int x) {
  asm volatile("" : : "r"(x) : "memory");
  return x;
}

int notes(const std::string& binDir, long calls) {
  flxbench::TempRoot root("/tmp/flx-history-bench");
  std::string err;
  if (!root.Init(binDir + "/flx-admin")) return 1;
  const std::string dir = flxhistory::notesDir();
  const flxhistory::Kinds kinds = {{"storage", "storage"}};
  double tNote = 1e9, tStat = 1e9, tEmpty = 1e9;
  // Three rounds, interleaved; the best of each, since the machine is shared.
  for (int round = 0; round < 3; ++round) {
    auto t = Clock::now();
    for (long i = 0; i < calls; ++i) emptyCall(static_cast<int>(i));
    tEmpty = std::min(tEmpty, seconds(t) / calls);
    struct stat st;
    t = Clock::now();
    for (long i = 0; i < calls; ++i) stat(dir.c_str(), &st);
    tStat = std::min(tStat, seconds(t) / calls);
    t = Clock::now();
    for (long i = 0; i < calls; ++i) {
      if (flxhistory::notePush("SN-BENCH-000001", kinds, 1733400000 + i) != 0) return 1;
    }
    tNote = std::min(tNote, seconds(t) / calls);
  }
  printf("note of a push: %.2f us   stat(): %.2f us (note/stat %.1fx)   empty call: %.4f us\n",
         tNote * 1e6, tStat * 1e6, tNote / tStat, tEmpty * 1e6);
  printf("target: well under 1 ms: %s\n", tNote < 1e-4 ? "met" : "NOT MET");
  return 0;
}

// One statement prepared once, run per row.
struct Stmt {
  sqlite3_stmt* st = nullptr;
  Stmt(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
      fprintf(stderr, "bench: %s: %s\n", sql, sqlite3_errmsg(db));
      exit(1);
    }
  }
  ~Stmt() { sqlite3_finalize(st); }
  void run() {
    if (sqlite3_step(st) != SQLITE_DONE) {
      fprintf(stderr, "bench: %s\n", sqlite3_errmsg(sqlite3_db_handle(st)));
      exit(1);
    }
    sqlite3_reset(st);
  }
};

void execOrDie(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    fprintf(stderr, "bench: %s: %s\n", sql, sqlite3_errmsg(db));
    exit(1);
  }
}

long long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// A year of daily pushes of `devices` devices shaped like the demo batch (2 volumes, 4 disks,
// 2 applications, 2 packages): each day every volume's and disk's sample, the summary and
// the recorded state rewritten, and about one event per device and week (a package updated,
// a disk's status or a share changed), written with the writer's statements in one
// transaction a day.
int year(const std::string& binDir, int devices, int days) {
  flxbench::TempRoot root("/tmp/flx-history-year");
  std::string err;
  if (!root.Init(binDir + "/flx-admin") || !seedDemo(1)) {
    fprintf(stderr, "bench: cannot set up the root: %s\n", err.c_str());
    return 1;
  }
  // The demo device's state and summary as the writer records them: the rows to copy.
  {
    flxhistory::Writer w;
    if (w.record(flxbench::Serial(0), kDemoKinds, 1733400000, err) != 1) {
      fprintf(stderr, "bench: %s\n", err.c_str());
      return 1;
    }
  }
  const std::string path = flxhistory::historyDbPath();
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return 1;
  execOrDie(db, "PRAGMA synchronous=OFF; PRAGMA cache_size=-1500000;");
  std::string state;
  {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT state FROM state", -1, &st, nullptr);
    if (sqlite3_step(st) == SQLITE_ROW)
      state = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
  }
  execOrDie(db, "DELETE FROM state; DELETE FROM summary; DELETE FROM samples; DELETE FROM events;");
  printf("state of a demo device: %zu bytes\n", state.size());

  Stmt sample(db,
              "INSERT INTO samples(device_id, kind, object, day, used_last, used_max, total_last,"
              " total_max, temp_max) VALUES (?1, ?2, ?3, ?4, ?5, ?5, ?6, ?6, ?7)"
              " ON CONFLICT(device_id, kind, object, day) DO UPDATE SET"
              " used_last = excluded.used_last, used_max = max(used_max, excluded.used_max),"
              " total_last = excluded.total_last, total_max = max(total_max, excluded.total_max),"
              " temp_max = max(temp_max, excluded.temp_max)");
  Stmt summary(db,
               "INSERT OR REPLACE INTO summary(device_id, last_seen, vol_count, vol_max_use,"
               " vol_max_name, disk_count, disk_failing, disk_max_temp, app_count, pkg_count,"
               " fill_days, marks) VALUES (?1, ?2, 2, ?3, 'vol1', 4, 0, ?4, 2, 2, ?5, '[]')");
  Stmt stateRow(db, "INSERT OR REPLACE INTO state(device_id, state, updated) VALUES (?, ?, ?)");
  Stmt event(db,
             "INSERT INTO events(device_id, kind, object, change, field, old_value, new_value,"
             " collect_time, arrival_time) VALUES (?, ?, ?, 'changed', ?, ?, ?, ?, ?)");
  const int64_t day0 = 1733400000 / 86400 - days;
  const char* const volumes[] = {"vol1", "vol2"};
  const char* const disks[] = {"sda", "sdb", "sdc", "sdd"};
  std::mt19937 rng(42);
  long long events = 0, samples = 0;
  const auto start = Clock::now();
  for (int d = 0; d < days; ++d) {
    execOrDie(db, "BEGIN");
    const int64_t day = day0 + d;
    for (int dev = 1; dev <= devices; ++dev) {
      const int64_t t = day * 86400 + (dev * 7) % 86400;
      for (int v = 0; v < 2; ++v) {
        const int64_t total = 8000000000000LL;
        const int64_t used =
            1000000000000LL + (dev % 97) * 10000000000LL * d / 10 + rng() % 1000000;
        sqlite3_bind_int64(sample.st, 1, dev);
        sqlite3_bind_text(sample.st, 2, "volume", -1, SQLITE_STATIC);
        sqlite3_bind_text(sample.st, 3, volumes[v], -1, SQLITE_STATIC);
        sqlite3_bind_int64(sample.st, 4, day);
        sqlite3_bind_int64(sample.st, 5, used);
        sqlite3_bind_int64(sample.st, 6, total);
        sqlite3_bind_null(sample.st, 7);
        sample.run();
      }
      for (const char* disk : disks) {
        sqlite3_bind_int64(sample.st, 1, dev);
        sqlite3_bind_text(sample.st, 2, "disk", -1, SQLITE_STATIC);
        sqlite3_bind_text(sample.st, 3, disk, -1, SQLITE_STATIC);
        sqlite3_bind_int64(sample.st, 4, day);
        sqlite3_bind_null(sample.st, 5);
        sqlite3_bind_null(sample.st, 6);
        sqlite3_bind_int64(sample.st, 7, 30 + rng() % 20);
        sample.run();
      }
      samples += 6;
      if ((dev + d) % 7 == 0) {
        const bool pkg = rng() % 2 == 0;
        sqlite3_bind_int64(event.st, 1, dev);
        sqlite3_bind_text(event.st, 2, pkg ? "package" : "disk", -1, SQLITE_STATIC);
        sqlite3_bind_text(event.st, 3, pkg ? "MediaServer" : disks[rng() % 4], -1,
                          SQLITE_TRANSIENT);
        sqlite3_bind_text(event.st, 4, pkg ? "version" : "status", -1, SQLITE_STATIC);
        const std::string from = pkg ? "2.1." + std::to_string(d) : "good";
        const std::string to = pkg ? "2.1." + std::to_string(d + 1) : "warning";
        sqlite3_bind_text(event.st, 5, from.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(event.st, 6, to.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(event.st, 7, t);
        sqlite3_bind_int64(event.st, 8, t + 2);
        event.run();
        ++events;
      }
      sqlite3_bind_int64(summary.st, 1, dev);
      sqlite3_bind_int64(summary.st, 2, t);
      sqlite3_bind_double(summary.st, 3, 12.5 + (dev % 80));
      sqlite3_bind_int64(summary.st, 4, 49);
      sqlite3_bind_double(summary.st, 5, 100 + dev % 300);
      summary.run();
      sqlite3_bind_int64(stateRow.st, 1, dev);
      sqlite3_bind_text(stateRow.st, 2, state.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int64(stateRow.st, 3, t);
      stateRow.run();
    }
    execOrDie(db, "COMMIT");
    if ((d + 1) % 30 == 0 || d + 1 == days)
      printf("day %3d: %lld samples, %lld events, %.0f s\n", d + 1, samples, events,
             seconds(start));
  }
  execOrDie(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  sqlite3_close(db);
  const long long bytes = fileSize(path) + fileSize(path + "-wal");
  printf(
      "history of %d devices over %d days: %.1f MB (%.0f bytes a device; target under 2 GB: %s)\n",
      devices, days, bytes / 1e6, static_cast<double>(bytes) / devices,
      bytes < 2000000000LL ? "met" : "NOT MET");
  return 0;
}

// CPU seconds (user and system) that process `pid` used so far.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoull(f);
    if (i == 15) stime = std::stoull(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int keepup(const std::string& binDir, int devices, int rate, int secs) {
  flxbench::TempRoot root("/tmp/flx-history-keepup");
  if (!root.Init(binDir + "/flx-admin")) return 1;
  auto t = Clock::now();
  if (!seedDemo(devices)) {
    fprintf(stderr, "bench: seeding the demo batch failed\n");
    return 1;
  }
  printf("seeded %d devices with the demo batch in %.1f s\n", devices, seconds(t));
  flxbench::Child history;
  const std::string log = root.dir() + "/history.log";
  if (!history.Spawn({binDir + "/flx-history", "--log-stderr"}, log, 0)) return 1;

  // First notes: every device's baseline.
  t = Clock::now();
  for (int i = 0; i < devices; ++i)
    flxhistory::notePush(flxbench::Serial(i), kDemoKinds, time(nullptr));
  while (flxhistory::notesWaiting() > 0) usleep(10000);
  printf("baselines of %d devices: %.1f s (%.0f devices/s)\n", devices, seconds(t),
         devices / seconds(t));

  // Then `rate` notes a second, each after its device's volume grew (the storage rows change
  // as a push would change them, so every note also writes samples).
  sqlite3* cache = nullptr;
  sqlite3_open((root.dir() + KEVO_CACHE_DB_PATH).c_str(), &cache);
  sqlite3_busy_timeout(cache, 5000);
  execOrDie(cache, "PRAGMA synchronous=NORMAL");  // as the host commits
  // vol_info lives in the cache; the device id comes from the registry.
  sqlite3_stmt* grow = nullptr;
  execOrDie(cache, ("ATTACH '" + root.dir() + KEVO_REGISTRY_DB_PATH + "' AS r").c_str());
  sqlite3_prepare_v2(cache,
                     "UPDATE vol_info SET size_used = size_used + 1000000, mtime = ?2 WHERE qx_id ="
                     " (SELECT id FROM r.devices WHERE sn = ?1)",
                     -1, &grow, nullptr);
  std::mt19937 rng(7);
  std::vector<long> waiting;
  long maxWaiting = 0;
  long written = 0;
  const double cpuStart = cpuSeconds(history.pid());
  const auto start = Clock::now();
  const auto period = std::chrono::nanoseconds(1000000000LL / rate);
  auto next = start;
  int lastSecond = 0;
  while (seconds(start) < secs) {
    const std::string sn = flxbench::Serial(static_cast<int>(rng() % devices));
    const int64_t now = time(nullptr);
    sqlite3_bind_text(grow, 1, sn.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(grow, 2, now);
    sqlite3_step(grow);
    sqlite3_reset(grow);
    if (flxhistory::notePush(sn, kDemoKinds, now) == 0) ++written;
    next += period;
    std::this_thread::sleep_until(next);
    const int second = static_cast<int>(seconds(start));
    if (second != lastSecond) {
      lastSecond = second;
      const long w = flxhistory::notesWaiting();
      waiting.push_back(w);
      maxWaiting = std::max(maxWaiting, w);
    }
  }
  sqlite3_finalize(grow);
  sqlite3_close(cache);
  const double elapsed = seconds(start);
  const double cpu = cpuSeconds(history.pid()) - cpuStart;
  std::ostringstream series;
  for (size_t i = 0; i < waiting.size(); i += 5) series << (i ? " " : "") << waiting[i];
  const long last = flxhistory::notesWaiting();
  // Growth: the slope of the notes waiting over the run (least squares, notes a second),
  // leaving out the first 5 s while the writer meets the first batches.
  double mx = 0, my = 0, sxy = 0, sxx = 0;
  size_t from = std::min<size_t>(5, waiting.size()), count = waiting.size() - from;
  for (size_t i = from; i < waiting.size(); ++i) mx += i, my += waiting[i];
  mx /= std::max<size_t>(1, count);
  my /= std::max<size_t>(1, count);
  for (size_t i = from; i < waiting.size(); ++i) {
    sxy += (i - mx) * (waiting[i] - my);
    sxx += (i - mx) * (i - mx);
  }
  const double slope = sxx > 0 ? sxy / sxx : 0;
  printf("%ld notes in %.1f s (%.0f/s) over %d devices; notes waiting every 5 s: %s\n", written,
         elapsed, written / elapsed, devices, series.str().c_str());
  printf(
      "waiting: max %ld, mean %.0f, at the end %ld; growth %.2f notes/s (%.1f %% of the rate): "
      "%s\n",
      maxWaiting, my, last, slope, 100 * slope / rate,
      slope < 0.01 * rate ? "keeps up" : "FALLS BEHIND");
  // The machine is shared: what the writer needs of one core tells its capacity apart from
  // the others' load.
  printf("flx-history used %.1f CPU s in %.1f s (%.0f %% of one core, %.2f ms a note); load: %s\n",
         cpu, elapsed, 100 * cpu / elapsed, 1000 * cpu / std::max(1L, written - last),
         flxbench::LoadAverage().c_str());
  return 0;
}

// Milliseconds of one idle pass of the writer (a step that finds nothing new), median of
// `rounds`.
double idlePassMs(flxhistory::Writer& w, int rounds) {
  std::vector<double> ms;
  std::string err;
  for (int i = 0; i < rounds; ++i) {
    const auto t = Clock::now();
    if (w.step(err) != 0) fprintf(stderr, "bench: an idle pass took notes: %s\n", err.c_str());
    ms.push_back(1000 * seconds(t));
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

// The share of a core flx-history's idle loop takes with passes of `passMs`: the fixed 200 ms
// wait, and the wait that grows with the pass (20 times it, up to 5 s).
void idleShare(const char* what, double passMs) {
  const double grown = std::min(5000.0, std::max(200.0, 20 * passMs));
  printf(
      "%s: idle pass %.2f ms; share of a core with a fixed 200 ms wait %.2f %%, with the "
      "grown wait (%.0f ms) %.2f %%\n",
      what, passMs, 100 * passMs / (passMs + 200), grown, 100 * passMs / (passMs + grown));
}

int idle(const std::string& binDir, int files, int rounds) {
  flxbench::TempRoot root("/tmp/flx-history-idle");
  if (!root.Init(binDir + "/flx-admin") || !seedDemo(1)) return 1;
  flxhistory::Writer w;
  std::string err;
  flxhistory::notePush(flxbench::Serial(0), kDemoKinds, time(nullptr));
  while (w.step(err) > 0) {
  }
  const std::string db = flxhistory::historyDbPath();
  const long long dbBefore = fileSize(db) + fileSize(db + "-wal");
  const double baseline = idlePassMs(w, rounds);

  // Files as a writer makes them, one note each, all taken before the idle passes.
  const std::string dir = flxhistory::notesDir();
  for (int i = 0; i < files; ++i) {
    std::ofstream(dir + "/1-" + std::to_string(i))
        << time(nullptr) << " " << flxbench::Serial(0) << " storage.storage\n";
  }
  const auto t = Clock::now();
  int n;
  while ((n = w.step(err)) > 0) {
  }
  const double taken = seconds(t);
  const double loaded = idlePassMs(w, rounds);
  const long long dbAfter = fileSize(db) + fileSize(db + "-wal");
  idleShare("no notes files", baseline);
  idleShare((std::to_string(files) + " taken notes files").c_str(), loaded);
  printf(
      "idle pass ratio %.1f; taking the %d files: %.1f s; history database %lld -> %lld "
      "bytes; load: %s\n",
      loaded / std::max(0.001, baseline), files, taken, dbBefore, dbAfter,
      flxbench::LoadAverage().c_str());
  return n < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  CLI::App app{"Figures of the history: note cost, a year's size, the writer's throughput",
               "flx-history-bench"};
  app.require_subcommand(1);
  long calls = 20000;
  int devices = 10000, days = 365, rate = 300, secs = 60, keepDevices = 1000;
  CLI::App* n = app.add_subcommand("notes", "Cost of one note of a push");
  n->add_option("--calls", calls, "Notes per round");
  CLI::App* y = app.add_subcommand("year", "A year of daily pushes into a history database");
  y->add_option("--devices", devices, "Devices");
  y->add_option("--days", days, "Days");
  CLI::App* k = app.add_subcommand("keepup", "flx-history against notes at a fixed rate");
  k->add_option("--devices", keepDevices, "Devices seeded with the demo batch");
  k->add_option("--rate", rate, "Notes a second");
  k->add_option("--seconds", secs, "Length of the run");
  int files = 20000, idleRounds = 20;
  CLI::App* i = app.add_subcommand("idle", "The writer's idle pass with many notes files");
  i->add_option("--files", files, "Small notes files planted and taken");
  i->add_option("--rounds", idleRounds, "Idle passes timed");
  CLI11_PARSE(app, argc, argv);
  if (i->parsed()) return idle(binDir(argv[0]), files, idleRounds);
  if (n->parsed()) return notes(binDir(argv[0]), calls);
  if (y->parsed()) return year(binDir(argv[0]), devices, days);
  return keepup(binDir(argv[0]), keepDevices, rate, secs);
}
