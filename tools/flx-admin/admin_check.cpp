// The check across the stores, as fsck: every kind of fault is one function that looks and
// says how it would be repaired; repairs run only when asked, after everything was looked at.
#include "admin_check.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <set>

#include "admin_backup_util.h"
#include "admin_tree.h"
#include "admin_util.h"
#include "common/device_lock.h"
#include "flxhistory.h"
#include "flxhistory_schema.h"
#include "flxspool.h"
#include "kevoroot.h"

namespace flxadmin {
namespace {

struct Ctx {
  Stores stores;
  std::set<int64_t> ids;      // registered devices
  std::set<std::string> sns;  // and their serial numbers
  std::vector<Finding>& out;

  void add(const char* kind, const std::string& object, const std::string& text,
           std::function<bool(std::string&)> fix = nullptr) {
    out.push_back(Finding{kind, object, text, std::move(fix)});
  }
  // A repair that runs one statement with one bound id on database `db`.
  std::function<bool(std::string&)> sql(sqlite3* db, const std::string& text, int64_t id) {
    return [db, text, id](std::string& err) {
      sqlite3_stmt* st = nullptr;
      int rc = sqlite3_prepare_v2(db, text.c_str(), -1, &st, nullptr);
      if (rc == SQLITE_OK) sqlite3_bind_int64(st, 1, id);
      if (rc == SQLITE_OK) rc = sqlite3_step(st);
      sqlite3_finalize(st);
      if (rc != SQLITE_DONE) err = sqlite3_errmsg(db);
      return rc == SQLITE_DONE;
    };
  }
};

std::string col(sqlite3_stmt* st, int i) {
  const unsigned char* t = sqlite3_column_text(st, i);
  return t != nullptr ? reinterpret_cast<const char*>(t) : "";
}

// Per database: SQLite's own integrity and foreign key checks. A foreign key of a session is
// reported as a session of a removed device.
bool checkDatabases(Ctx& c, std::string& err) {
  for (const Stores::Store& s : c.stores.all()) {
    if (s.db == nullptr) continue;
    if (!eachRow(
            s.db, "PRAGMA integrity_check",
            [&](sqlite3_stmt* st) {
              if (col(st, 0) != "ok") c.add("integrity", s.path, col(st, 0));
            },
            err) ||
        !eachRow(
            s.db, "PRAGMA foreign_key_check",
            [&](sqlite3_stmt* st) {
              const std::string table = col(st, 0);
              if (table == "sessions") return;
              const int64_t row = sqlite3_column_int64(st, 1);
              c.add("foreign-key",
                    s.name + std::string(":") + table + " row " + std::to_string(row),
                    "names a missing " + col(st, 2) + " row",
                    c.sql(s.db, "DELETE FROM \"" + table + "\" WHERE rowid = ?", row));
            },
            err))
      return false;
  }
  return true;
}

bool checkSessions(Ctx& c, std::string& err) {
  sqlite3* reg = c.stores.db("registry");
  // The session id is a secret: a session is named by its row and its device only.
  return eachRow(
      reg, "SELECT rowid, sn FROM sessions WHERE sn NOT IN (SELECT sn FROM devices)",
      [&](sqlite3_stmt* st) {
        const int64_t row = sqlite3_column_int64(st, 0);
        c.add("session", "session row " + std::to_string(row),
              "belongs to device '" + col(st, 1) + "', which the registry does not know",
              c.sql(reg, "DELETE FROM sessions WHERE rowid = ?", row));
      },
      err);
}

// Rows of `table` in store `db` whose device (column `idColumn`) the registry does not know,
// one problem per device.
bool orphanRows(Ctx& c, sqlite3* db, const char* store, const char* table, const char* idColumn,
                std::string& err) {
  const std::string t = table, key = idColumn;
  return eachRow(
      db, "SELECT " + key + ", count(*) FROM " + t + " GROUP BY " + key,
      [&](sqlite3_stmt* st) {
        const int64_t id = sqlite3_column_int64(st, 0);
        if (c.ids.count(id) != 0) return;
        c.add(store, t + " of device " + std::to_string(id),
              std::to_string(sqlite3_column_int64(st, 1)) +
                  " row(s) of a device the registry does not know",
              c.sql(db, "DELETE FROM " + t + " WHERE " + key + " = ?", id));
      },
      err);
}

bool checkCache(Ctx& c, std::string& err) {
  sqlite3* cache = c.stores.db("cache");
  if (cache == nullptr) return true;
  for (const char* table : {"vol_info", "dg_info", "hdd_info", "share_info"}) {
    if (!orphanRows(c, cache, "cache", table, "qx_id", err)) return false;
  }
  return eachRow(
      cache, "SELECT rowid, client_sn FROM sample_table",
      [&](sqlite3_stmt* st) {
        if (c.sns.count(col(st, 1)) != 0) return;
        c.add(
            "cache", "sample_table of '" + col(st, 1) + "'",
            "a sample of a device the registry does not know",
            c.sql(cache, "DELETE FROM sample_table WHERE rowid = ?", sqlite3_column_int64(st, 0)));
      },
      err);
}

// Mirror folders, spool folders and lock files of devices the registry does not know.
void checkFolders(Ctx& c, const std::set<std::string>& mirror, const std::set<std::string>& spool,
                  const std::set<std::string>& locks) {
  const struct {
    const char* kind;
    const char* below;
    const std::set<std::string>& names;
  } areas[] = {{"mirror", KEVO_QXINFO_DIR, mirror},
               {"spool", KEVO_SPOOL_DIR, spool},
               {"lock", KEVO_LOCK_DIR, locks}};
  for (const auto& a : areas) {
    for (const std::string& name : a.names) {
      uint64_t id = 0;
      if (parseId(name, id) && c.ids.count(static_cast<int64_t>(id)) != 0) continue;
      const std::string path = rootPath(a.below) + "/" + name;
      c.add(a.kind, path, "belongs to no registered device", [path](std::string& err) {
        if (removeTree(path)) return true;
        err = strerror(errno);
        return false;
      });
    }
  }
}

bool checkHistory(Ctx& c, std::string& err) {
  sqlite3* h = c.stores.db("history");
  if (h == nullptr) return true;
  for (const char* table : {"events", "samples", "summary", "state"}) {
    if (!orphanRows(c, h, "history", table, "device_id", err)) return false;
  }
  return true;
}

// Counts per device of one store's table, by `sql` (device id, count).
bool countsOf(sqlite3* db, const char* sql, std::map<int64_t, int64_t>& out, std::string& err) {
  return eachRow(
      db, sql,
      [&](sqlite3_stmt* st) { out[sqlite3_column_int64(st, 0)] = sqlite3_column_int64(st, 1); },
      err);
}

// Summaries whose counts disagree with the stores; repaired by recounting from them.
bool checkSummaries(Ctx& c, std::string& err) {
  sqlite3* h = c.stores.db("history");
  sqlite3* cache = c.stores.db("cache");
  sqlite3* reg = c.stores.db("registry");
  if (h == nullptr || cache == nullptr) return true;
  std::map<int64_t, int64_t> vols, disks, apps, pkgs;
  if (!countsOf(cache, "SELECT qx_id, count(*) FROM vol_info GROUP BY qx_id", vols, err) ||
      !countsOf(cache, "SELECT qx_id, count(*) FROM hdd_info GROUP BY qx_id", disks, err) ||
      !countsOf(reg, "SELECT qx_id, count(*) FROM apps GROUP BY qx_id", apps, err) ||
      !countsOf(reg, "SELECT qx_id, count(*) FROM pkgs GROUP BY qx_id", pkgs, err))
    return false;
  auto count = [](const std::map<int64_t, int64_t>& m, int64_t id) {
    auto it = m.find(id);
    return it == m.end() ? 0 : it->second;
  };
  return eachRow(
      h, "SELECT device_id, vol_count, disk_count, app_count, pkg_count FROM summary",
      [&](sqlite3_stmt* st) {
        const int64_t id = sqlite3_column_int64(st, 0);
        if (c.ids.count(id) == 0) return;  // a history row of a removed device
        const int64_t want[] = {count(vols, id), count(disks, id), count(apps, id),
                                count(pkgs, id)};
        const char* names[] = {"vol_count", "disk_count", "app_count", "pkg_count"};
        std::string differs, set;
        for (int i = 0; i < 4; ++i) {
          const int64_t have = sqlite3_column_int64(st, i + 1);
          if (have == want[i]) continue;
          differs += std::string(differs.empty() ? "" : ", ") + names[i] + " " +
                     std::to_string(have) + " (the stores hold " + std::to_string(want[i]) + ")";
          set += std::string(set.empty() ? "" : ", ") + names[i] + " = " + std::to_string(want[i]);
        }
        if (differs.empty()) return;
        c.add("summary", "summary of device " + std::to_string(id), differs,
              c.sql(h, "UPDATE summary SET " + set + " WHERE device_id = ?", id));
      },
      err);
}

// Package records whose INFO file is gone from the mirror: the device's next push of its
// packages writes both again, so nothing is repaired here.
bool checkMirrorFiles(Ctx& c, std::string& err) {
  const std::string mirror = rootPath(KEVO_QXINFO_DIR);
  return eachRow(
      c.stores.db("registry"), "SELECT qx_id, pkg_id FROM pkgs",
      [&](sqlite3_stmt* st) {
        const std::string path = mirror + "/" + std::to_string(sqlite3_column_int64(st, 0)) +
                                 "/pkgs/" + col(st, 1) + "/INFO";
        struct stat s;
        if (lstat(path.c_str(), &s) != 0 && errno == ENOENT)
          c.add("mirror-file", path, "named by the registry's package record, missing");
      },
      err);
}

// Modes and owners of the host's own files, as README's "Paths" table gives them: the owner
// is the data folder's.
void checkModes(Ctx& c) {
  const struct {
    const char* below;
    mode_t mode;
  } expected[] = {
      {KEVO_REGISTRY_DB_PATH, 0600}, {KEVO_CACHE_DB_PATH, 0640},     {KEVO_HISTORY_DB_PATH, 0640},
      {KEVO_PUSH_KEY_PATH, 0600},    {KEVO_HISTORY_NOTES_DIR, 0700}, {KEVO_LOCK_DIR, 0700},
      {KEVO_SPOOL_DIR, 0711},        {KEVO_PUSH_KEYS_DIR, 0700},     {KEVO_CA_KEY_PATH, 0600},
      {KEVO_SITE_KEY_PATH, 0600},
  };
  struct stat top;
  if (stat(rootPath("/var/packages/FLX/target").c_str(), &top) != 0) return;
  for (const auto& e : expected) {
    const std::string path = rootPath(e.below);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    const bool modeOk = (st.st_mode & 07777) == e.mode;
    const bool ownerOk = st.st_uid == top.st_uid;
    if (modeOk && ownerOk) continue;
    const mode_t mode = e.mode;
    const uid_t uid = top.st_uid;
    const gid_t gid = st.st_gid;
    c.add("mode", path,
          "mode " + modeText(st.st_mode) + " owner " + std::to_string(st.st_uid) + ", should be " +
              modeText(mode) + " owner " + std::to_string(uid),
          [path, mode, uid, gid](std::string& err) {
            if (lchown(path.c_str(), uid, gid) == 0 && chmod(path.c_str(), mode) == 0) return true;
            err = strerror(errno);
            return false;
          });
  }
}

std::set<std::string> namesIn(const char* below) {
  const std::vector<std::string> v = folderNames(rootPath(below));
  return std::set<std::string>(v.begin(), v.end());
}

}  // namespace

int check(bool repair, CheckReport& report, std::string& err) {
  return guardedOp(err, [&] {
    Ctx c{Stores(), {}, {}, report.findings};
    if (!c.stores.open(false, err)) return 1;
    // The folders are listed before the devices are read: a device added meanwhile has its
    // folders listed only if it is read too.
    const std::set<std::string> mirror = namesIn(KEVO_QXINFO_DIR), spool = namesIn(KEVO_SPOOL_DIR),
                                locks = namesIn(KEVO_LOCK_DIR);
    if (!eachRow(
            c.stores.db("registry"), "SELECT id, sn FROM devices",
            [&](sqlite3_stmt* st) {
              c.ids.insert(sqlite3_column_int64(st, 0));
              c.sns.insert(col(st, 1));
            },
            err))
      return 1;
    if (!checkDatabases(c, err) || !checkSessions(c, err) || !checkCache(c, err) ||
        !checkHistory(c, err) || !checkSummaries(c, err) || !checkMirrorFiles(c, err))
      return 1;
    checkFolders(c, mirror, spool, locks);
    checkModes(c);
    for (const Finding& f : report.findings) ++report.counts[f.kind];
    if (!repair) {
      report.unrepaired = static_cast<int>(report.findings.size());
      return 0;
    }
    for (const Finding& f : report.findings) {
      std::string why;
      if (!f.fix) {
        report.repairs.push_back("left " + f.kind + " " + f.object + ": no safe repair");
        ++report.unrepaired;
      } else if (f.fix(why)) {
        report.repairs.push_back("repaired " + f.kind + " " + f.object);
      } else {
        report.repairs.push_back("failed to repair " + f.kind + " " + f.object + ": " + why);
        ++report.unrepaired;
      }
    }
    return 0;
  });
}

int runCheck(bool repair) {
  CheckReport report;
  std::string err;
  if (check(repair, report, err) != 0) {
    std::cerr << "flx-admin: " << err << std::endl;
    return 1;
  }
  for (const Finding& f : report.findings)
    std::cout << f.kind << ": " << f.object << ": " << f.text << "\n";
  for (const std::string& r : report.repairs) std::cout << r << "\n";
  for (const auto& k : report.counts) std::cout << k.second << " " << k.first << "\n";
  std::cout << report.findings.size() << " finding(s)";
  if (repair) std::cout << ", " << report.unrepaired << " left after repair";
  std::cout << std::endl;
  return report.unrepaired == 0 ? 0 : 1;
}

}  // namespace flxadmin
