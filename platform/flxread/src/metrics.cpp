// The fleet for /metrics: a connection of its own, so that its short lock wait never changes
// the shared read connection's, and the history attached only when its file exists.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "flx_schema.h"
#include "flxhistory_schema.h"
#include "flxread_metrics.h"
#include "kevodb.h"
#include "kevoids.h"
#include "kevoroot.h"
#include "read_db.h"

namespace flxread {

namespace {

using Db = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;
using Stmt = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

std::string Text(sqlite3_stmt* st, int col) {
  const unsigned char* t = sqlite3_column_text(st, col);
  return t != nullptr ? std::string(reinterpret_cast<const char*>(t),
                                    static_cast<size_t>(sqlite3_column_bytes(st, col)))
                      : std::string();
}

// Runs `sql`, calling `row` for each result row; false (with `err`) on any failure.
template <class Row>
bool Each(sqlite3* db, const std::string& sql, Row row, std::string& err) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    err = sqlite3_errmsg(db);
    return false;
  }
  Stmt st(raw, sqlite3_finalize);
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) row(raw);
  if (rc != SQLITE_DONE) err = sqlite3_errmsg(db);
  return rc == SQLITE_DONE;
}

// Runs `sql` (one parameter) once for each of `ids`, calling `row` for each result row.
template <class Row>
bool EachOf(sqlite3* db, const std::string& sql, const std::unordered_set<int64_t>& ids, Row row,
            std::string& err) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    err = sqlite3_errmsg(db);
    return false;
  }
  Stmt st(raw, sqlite3_finalize);
  std::vector<int64_t> sorted(ids.begin(), ids.end());
  std::sort(sorted.begin(), sorted.end());
  for (int64_t id : sorted) {
    sqlite3_bind_int64(raw, 1, id);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) row(raw);
    sqlite3_reset(raw);
    if (rc != SQLITE_DONE) {
      err = sqlite3_errmsg(db);
      return false;
    }
  }
  return true;
}

bool Exec(sqlite3* db, const std::string& sql, std::string& err) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  err = sqlite3_errmsg(db);
  return false;
}

bool Attach(sqlite3* db, const std::string& path, const char* as, std::string& err) {
  if (kevo::sqliteAttach(db, path, as) == SQLITE_OK) return true;
  err = "cannot attach " + path + ": " + sqlite3_errmsg(db);
  return false;
}

Result Read(int lockWaitMs, Fleet& out, std::string& err, const WantedDevice& wanted,
            int64_t notableCelsius) {
  const std::string root = KEVORootPrefix();
  const std::string history = root + KEVO_HISTORY_DB_PATH;
  sqlite3* raw = nullptr;
  {
    // The registry is root's alone; the connection stays usable once the ids are back.
    kevo::RootIds ids;
    const int rc = sqlite3_open_v2((root + KEVO_REGISTRY_DB_PATH).c_str(), &raw,
                                   SQLITE_OPEN_READWRITE, nullptr);
    Db db(raw, sqlite3_close_v2);
    if (rc != SQLITE_OK) {
      err = std::string("cannot open the registry: ") + sqlite3_errmsg(raw);
      return kStoreFailed;
    }
    sqlite3_busy_timeout(raw, lockWaitMs);
    // A missing history is not created by ATTACH: it is checked for first.
    out.history = access(history.c_str(), F_OK) == 0;
    if (!Exec(raw, "PRAGMA query_only=ON", err) ||
        !Attach(raw, root + KEVO_CACHE_DB_PATH, "c", err) ||
        (out.history && !Attach(raw, history, "h", err)) || !Exec(raw, "BEGIN", err))
      return kStoreFailed;
    db.release();
  }
  Db db(raw, sqlite3_close_v2);
  // One read transaction: the devices, volumes and disks of one moment. A history the writer
  // has not opened since its upgrade lacks push_interval: read as unknown then.
  bool hasInterval = false;
  bool ok = !out.history ||
            Each(
                raw, "SELECT 1 FROM pragma_table_info('summary', 'h') WHERE name = 'push_interval'",
                [&](sqlite3_stmt*) { hasInterval = true; }, err);
  const std::string summary =
      out.history
          ? std::string("s.device_id IS NOT NULL, coalesce(ct.arrival, 0), s.disk_failing, ") +
                (hasInterval ? "coalesce(s.push_interval, 0)" : "0") + ", coalesce(s.marks, '[]')"
          : "0, coalesce(ct.arrival, 0), 0, 0, '[]'";
  const std::string join =
      std::string(out.history ? " LEFT JOIN h.summary s ON s.device_id = d.id" : "") +
      " LEFT JOIN " KEVOFLX_TABLE_CONTACTS " ct ON ct.device_id = d.id";
  ok = ok &&
       Each(
           raw,
           "SELECT d.id, d.sn, d.hostname, " + summary +
               ", coalesce(g.name, '') FROM " KEVOFLX_TABLE_DEVICES " d" + join +
               " LEFT JOIN " KEVOFLX_TABLE_DEVICE_GROUPS
               " m ON m.device_id = d.id LEFT JOIN " KEVOFLX_TABLE_GROUPS " g ON g.id = m.group_id",
           [&](sqlite3_stmt* st) {
             FleetDevice d;
             d.id = sqlite3_column_int64(st, 0);
             d.sn = Text(st, 1);
             d.hostname = Text(st, 2);
             d.hasSummary = sqlite3_column_int(st, 3) != 0;
             d.lastContact = sqlite3_column_int64(st, 4);
             d.disksFailing = sqlite3_column_int64(st, 5);
             d.pushInterval = sqlite3_column_int64(st, 6);
             d.marks = Text(st, 7);
             d.group = Text(st, 8);
             out.devices.push_back(std::move(d));
           },
           err);
  // The writer makes its table of taken notes when it first runs.
  bool taken = false;
  ok =
      ok && (!out.history ||
             Each(
                 raw, "SELECT 1 FROM h.sqlite_master WHERE type = 'table' AND name = 'notes_taken'",
                 [&](sqlite3_stmt*) { taken = true; }, err));
  ok = ok && (!taken || Each(
                            raw, "SELECT file, offset FROM h.notes_taken",
                            [&](sqlite3_stmt* st) {
                              out.notesTaken[Text(st, 0)] =
                                  static_cast<uint64_t>(sqlite3_column_int64(st, 1));
                            },
                            err));
  const char* const kBands[] = {"<50%",    "50-80%", "80-90%", "90-95%",
                                "95-100%", ">100%",  "unknown"};
  int64_t bands[7] = {};
  // The fleet-wide numbers: every volume read from the index of their use and counted into
  // its band here (a GROUP BY would sort every volume), the failing disks from their partial
  // index.
  ok = ok && Each(
                 raw,
                 "SELECT size_total IS NULL OR size_total <= 0, size_used * 100.0 / size_total,"
                 " size_used <= size_total FROM c.vol_info",
                 [&](sqlite3_stmt* st) {
                   const bool known = sqlite3_column_int(st, 0) == 0;
                   const bool use = sqlite3_column_type(st, 1) != SQLITE_NULL;
                   const double percent = sqlite3_column_double(st, 1);
                   const int band = !known                           ? 6
                                    : use && percent < 50            ? 0
                                    : use && percent < 80            ? 1
                                    : use && percent < 90            ? 2
                                    : use && percent < 95            ? 3
                                    : sqlite3_column_int(st, 2) != 0 ? 4
                                                                     : 5;
                   ++bands[band];
                 },
                 err);
  for (int i = 0; i < 7; ++i)
    if (bands[i] > 0) out.volumesByUse[kBands[i]] = bands[i];
  ok = ok && Each(
                 raw,
                 "SELECT coalesce(model, ''), count(*) FROM c.hdd_info WHERE " +
                     failingDiskSql("") + " GROUP BY 1 ORDER BY 2 DESC, 1",
                 [&](sqlite3_stmt* st) {
                   const std::string model = out.failingByModel.size() < kMaxFailingModels
                                                 ? Text(st, 0)
                                                 : std::string("other");
                   out.failingByModel[model] += sqlite3_column_int64(st, 1);
                 },
                 err);
  std::unordered_set<int64_t> chosen;
  for (const FleetDevice& d : out.devices)
    if (!wanted || wanted(d)) chosen.insert(d.id);
  // Few devices chosen: their rows by their keys; most of them: one pass over all rows.
  const bool byDevice = chosen.size() * 4 < out.devices.size();
  const std::string volumeSql =
      "SELECT qx_id, name, size_used, size_total, lower(coalesce(status, '')) IN ('', "
      "'ready', 'normal', 'good') FROM c.vol_info";
  const std::string diskSql = "SELECT qx_id, dev, temp, model, " + failingDiskSql("") +
                              ", lower(coalesce(smart_status, '')) IN ('', 'normal', 'good', "
                              "'ok') FROM c.hdd_info";
  auto volume = [&](sqlite3_stmt* st) {
    if (chosen.count(sqlite3_column_int64(st, 0)) == 0) return;
    FleetVolume v;
    v.device = sqlite3_column_int64(st, 0);
    v.name = Text(st, 1);
    v.used = sqlite3_column_int64(st, 2);
    v.total = sqlite3_column_int64(st, 3);
    v.normal = sqlite3_column_int(st, 4) != 0;
    out.volumes.push_back(std::move(v));
  };
  auto disk = [&](sqlite3_stmt* st) {
    if (chosen.count(sqlite3_column_int64(st, 0)) == 0) return;
    FleetDisk k;
    k.device = sqlite3_column_int64(st, 0);
    k.dev = Text(st, 1);
    k.hasTemp = sqlite3_column_type(st, 2) != SQLITE_NULL;
    k.temp = sqlite3_column_int64(st, 2);
    k.model = Text(st, 3);
    k.failing = sqlite3_column_int(st, 4) != 0;
    k.smartOk = sqlite3_column_int(st, 5) != 0;
    out.disks.push_back(std::move(k));
  };
  if (byDevice) {
    ok = ok && EachOf(raw, volumeSql + " WHERE qx_id = ?", chosen, volume, err);
  } else {
    ok = ok && Each(raw, volumeSql, volume, err);
  }
  if (notableCelsius > 0) {
    // Failing disks from their partial index, the hot ones from the temperature index: few
    // of the fleet's disks, in the devices' order as the other reads give them.
    ok = ok && Each(raw, diskSql + " WHERE " + failingDiskSql(""), disk, err) &&
         Each(raw,
              diskSql + " WHERE temp >= " + std::to_string(notableCelsius) + " AND coalesce(" +
                  failingDiskSql("") + ", 0) = 0",
              disk, err);
    std::stable_sort(out.disks.begin(), out.disks.end(),
                     [](const FleetDisk& a, const FleetDisk& b) { return a.device < b.device; });
  } else if (byDevice) {
    ok = ok && EachOf(raw, diskSql + " WHERE qx_id = ?", chosen, disk, err);
  } else {
    ok = ok && Each(raw, diskSql, disk, err);
  }
  sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
  return ok ? kOk : kStoreFailed;
}

}  // namespace

Result fleetSnapshot(int lockWaitMs, Fleet& out, std::string& err, const WantedDevice& wanted,
                     int64_t notableCelsius) {
  out = Fleet();
  const Result r = guarded(err, [&] { return Read(lockWaitMs, out, err, wanted, notableCelsius); });
  if (r != kOk) out = Fleet();
  return r;
}

}  // namespace flxread
