// The history database's whole-fleet entry points: the sweep of removed devices, the rebuild
// of every baseline (moving a corrupt database aside first) and init.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <memory>
#include <set>
#include <vector>

#include "flx.h"
#include "flxread.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "statement.h"
#include "writer.h"
#include "writer_internal.h"

namespace flxhistory {
using namespace detail;

namespace {

struct QxListFree {
  void operator()(KEVOFLX_QX* p) const { KEVOFLXQxListFree(&p); }
};

// Every registered device (id, serial number); false when the registry cannot be read.
bool registered(std::vector<std::pair<int64_t, std::string>>& out, std::string& err) {
  KEVOFLX_QX* raw = nullptr;
  int total = 0;
  const int rc = KEVOFLXQxList(nullptr, &raw, &total);
  std::unique_ptr<KEVOFLX_QX, QxListFree> list(raw);
  if (rc < 0) {
    err = "cannot list the registry's devices (error " + std::to_string(KVLIBErrGet()) +
          "); run 'flx-admin init'";
    return false;
  }
  for (const KEVOFLX_QX* d = list.get(); d != nullptr; d = d->pNext)
    out.emplace_back(static_cast<int64_t>(d->id), d->sn);
  return true;
}

}  // namespace

int Writer::sweepRemoved(std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    std::vector<std::pair<int64_t, std::string>> devices;
    if (!registered(devices, err) || !open(err)) return -1;
    std::set<int64_t> known;
    for (const auto& d : devices) known.insert(d.first);
    std::vector<int64_t> gone;
    {
      Stmt q(db_, "SELECT device_id FROM state UNION SELECT device_id FROM summary");
      int rc;
      while ((rc = q.step()) == SQLITE_ROW) {
        const int64_t id = sqlite3_column_int64(q.get(), 0);
        if (known.count(id) == 0) gone.push_back(id);
      }
      if (rc != SQLITE_DONE) {
        dbError("listing recorded devices", err);
        return -1;
      }
    }
    for (int64_t id : gone) {
      // Events in bounded batches, each its own transaction, so that a long history never
      // holds the database for long; the state goes last, so an interrupted sweep resumes.
      for (;;) {
        Stmt del(
            db_,
            "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE device_id = ? LIMIT ?)");
        del.bind(1, id).bind(2, static_cast<int64_t>(options_.pruneBatch));
        if (!del.run()) {
          dbError("removing a removed device's events", err);
          return -1;
        }
        if (sqlite3_changes(db_) < static_cast<int>(options_.pruneBatch)) break;
      }
      if (!exec("BEGIN IMMEDIATE", err) || !forget(id, err) || !exec("COMMIT", err)) return -1;
    }
    return static_cast<int>(gone.size());
  });
}

int Writer::rebuildAll(std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    std::vector<std::pair<int64_t, std::string>> devices;
    if (!registered(devices, err) || !open(err)) return -1;
    const int64_t now = static_cast<int64_t>(time(nullptr));
    int count = 0;
    const size_t kPerTransaction = 200;
    for (size_t i = 0; i < devices.size(); i += kPerTransaction) {
      if (!exec("BEGIN IMMEDIATE", err)) return -1;
      for (size_t j = i; j < devices.size() && j < i + kPerTransaction; ++j) {
        std::string why;
        const Outcome o = device(devices[j].second, Kinds(), {now}, true, why);
        if (o == kDbFailed) {
          err = why;
          return -1;
        }
        if (o == kReadFailed) {
          exec("ROLLBACK", why);
          err = why;
          return -1;
        }
        if (o == kDone) ++count;
      }
      if (!exec("COMMIT", err)) return -1;
    }
    if (sweepRemoved(err) < 0) return -1;
    return count;
  });
}

namespace {

// True when the database at `path` opens and passes a quick integrity check.
bool healthy(const std::string& path) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  if (rc != SQLITE_OK) return false;
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  sqlite3_stmt* st = nullptr;
  bool ok = sqlite3_prepare_v2(raw, "PRAGMA quick_check", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW &&
            strcmp(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok") == 0;
  sqlite3_finalize(st);
  return ok;
}

}  // namespace

int rebuildHistory(std::string& movedTo, int& devices, std::string& err) {
  return flxread::guardedCall(err, 1, [&] {
    movedTo.clear();
    devices = 0;
    const std::string path = historyDbPath();
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !healthy(path)) {
      const std::string aside = path + ".corrupt-" + std::to_string(time(nullptr));
      for (const char* suffix : {"-wal", "-shm", ""}) {
        const std::string from = path + suffix;
        if (lstat(from.c_str(), &st) == 0 && rename(from.c_str(), (aside + suffix).c_str()) != 0) {
          err = "cannot move the corrupt history database " + from + " aside: " + strerror(errno) +
                "; check that its folder is writable";
          return 1;
        }
      }
      movedTo = aside;
    }
    int from = 0;
    if (migrateHistory(from, err) != 0) return 1;
    Writer w;
    const int n = w.rebuildAll(err);
    if (n < 0) return 1;
    devices = n;
    return 0;
  });
}

int initHistory(std::string& err) {
  return flxread::guardedCall(err, 1, [&] {
    const std::string dir = notesDir();
    struct stat st;
    if (KEVOFSMkdirP(dir.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, kNotesDirMode) < 0 ||
        lstat(dir.c_str(), &st) != 0 ||
        ((st.st_mode & 07777) != kNotesDirMode && chmod(dir.c_str(), kNotesDirMode) != 0)) {
      err = "cannot create the notes folder " + dir + " (mode 0700): " + strerror(errno) +
            "; check the permissions of its parent";
      return 1;
    }
    const std::string path = historyDbPath();
    if (lstat(path.c_str(), &st) == 0 && (st.st_mode & 07777) != kHistoryDbMode)
      chmod(path.c_str(), kHistoryDbMode);
    int from = 0;
    return migrateHistory(from, err);
  });
}

}  // namespace flxhistory
