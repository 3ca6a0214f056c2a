// Removing a device from every store, step by step, saying what went and what did not.
#include "flxremove.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "flx.h"
#include "flxoperators.h"
#include "flxspool.h"  // KEVO_SPOOL_DIR only: the spool's code stays with its own library
#include "kevocore.h"
#include "kevohandle.h"
#include "kevoids.h"
#include "kevoroot.h"

namespace flxremove {

namespace {

using kevo::Fd;

const int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string rootPath(const char* below) {
  return std::string(KEVORootPrefix()) + below;
}

// Removes everything below the open folder `dir` of file system `dev`, never following a link
// (a link is removed as a link) nor entering another file system mounted there; counts the
// files removed. False with errno set at the first failure.
bool emptyFolder(int dir, dev_t dev, long& files) {
  const int listFd = dup(dir);
  if (listFd < 0) return false;
  kevo::Dir list(fdopendir(listFd));
  if (!list) {
    close(listFd);
    return false;
  }
  std::vector<std::string> names;
  while (const dirent* e = readdir(list.get())) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
      if (st.st_dev != dev) {
        errno = EXDEV;
        return false;
      }
      // A folder swapped for a link since the stat fails to open (O_NOFOLLOW): never entered.
      Fd sub(openat(dir, name.c_str(), kDirFlags));
      if (sub.get() < 0 || !emptyFolder(sub.get(), dev, files)) return false;
      if (unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0) return false;
    } else {
      if (unlinkat(dir, name.c_str(), 0) != 0) return false;
      ++files;
    }
  }
  return true;
}

// Removes the folder `leaf` of store folder `parentPath` with everything in it, with root's
// ids. `files` gets the number of its files, -1 when there was none. False with `err`.
bool removeTree(const std::string& parentPath, const std::string& leaf, long& files,
                std::string& err) {
  kevo::RootIds ids;
  files = -1;
  Fd parent(open(parentPath.c_str(), kDirFlags));
  if (parent.get() < 0 && errno == ENOENT) return true;
  Fd dir(parent.get() < 0 ? -1 : openat(parent.get(), leaf.c_str(), kDirFlags));
  if (dir.get() < 0 && errno == ENOENT) return true;
  files = 0;
  struct stat top;
  if (dir.get() < 0 || fstat(dir.get(), &top) != 0 || !emptyFolder(dir.get(), top.st_dev, files) ||
      unlinkat(parent.get(), leaf.c_str(), AT_REMOVEDIR) != 0) {
    err = "cannot remove " + parentPath + "/" + leaf + ": " + strerror(errno);
    return false;
  }
  return true;
}

// Deletes the device's cache rows in one transaction, with root's ids (SQLite opens the
// journal files at the first statement); the number removed, -1 with `err`.
int64_t removeCacheRows(int64_t id, const std::string& sn, std::string& err) {
  kevo::RootIds ids;
  const std::string path = rootPath(KEVO_CACHE_DB_PATH);
  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  if (rc == SQLITE_OK) rc = sqlite3_busy_timeout(raw, 60000);
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  int64_t removed = 0;
  const char* const sqls[] = {
      "DELETE FROM vol_info WHERE qx_id = ?1", "DELETE FROM dg_info WHERE qx_id = ?1",
      "DELETE FROM hdd_info WHERE qx_id = ?1", "DELETE FROM share_info WHERE qx_id = ?1",
      "DELETE FROM sample_table WHERE client_sn = ?2"};
  for (const char* sql : sqls) {
    if (rc != SQLITE_OK) break;
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v2(raw, sql, -1, &st, nullptr);
    if (rc == SQLITE_OK) {
      sqlite3_bind_int64(st, 1, id);
      sqlite3_bind_text(st, 2, sn.c_str(), -1, SQLITE_TRANSIENT);
      rc = sqlite3_step(st) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(raw);
      removed += sqlite3_changes(raw);
    }
    sqlite3_finalize(st);
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    err = "cannot remove the cache rows from " + path + ": " +
          (raw != nullptr ? sqlite3_errmsg(raw) : "out of memory");
    return -1;
  }
  return removed;
}

// The device's lock file, held from the wait for a push in flight until the file is gone.
class DeviceLock {
 public:
  // Opens the lock folder and file with root's ids; none there: no push ever took it.
  explicit DeviceLock(const std::string& idText) : name_(idText) {
    kevo::RootIds ids;
    dir_.reset(open(rootPath(KEVO_LOCK_DIR).c_str(), kDirFlags));
    if (dir_.get() >= 0)
      file_.reset(
          openat(dir_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    error_ = file_.get() < 0 && errno != ENOENT ? errno : 0;
  }
  bool exists() const { return file_.get() >= 0; }
  // Waits at most `ms` for the lock. 0 when it is held (or there is none), EWOULDBLOCK when a
  // push still holds it, else the errno of the failed open.
  int take(int ms) {
    if (file_.get() < 0) return error_;
    for (int waited = 0; flock(file_.get(), LOCK_EX | LOCK_NB) != 0; waited += kStepMs) {
      if (errno != EWOULDBLOCK && errno != EINTR) return errno;
      if (waited >= ms) return EWOULDBLOCK;
      usleep(kStepMs * 1000);
    }
    return 0;
  }
  // Unlinks the file while holding its lock. False with errno set.
  bool remove() {
    kevo::RootIds ids;
    return unlinkat(dir_.get(), name_.c_str(), 0) == 0 || errno == ENOENT;
  }

 private:
  static const int kStepMs = 20;
  std::string name_;
  Fd dir_;
  Fd file_;
  int error_ = 0;
};

// The steps of a removal, in their order, and their names in a report.
enum Step { kSessions, kCacheRows, kMirror, kSpool, kHistory, kLockFile, kRecord, kStepCount };
const char* const kStepNames[kStepCount] = {"sessions", "cache rows", "mirror folder",  "spool",
                                            "history",  "lock file",  "registry record"};

// Runs the steps in order: once one fails, the others are only listed as not done.
class Steps {
 public:
  explicit Steps(Report& report) : report_(report) {}

  // Runs `fn(line, err)` unless an earlier step failed; a line it leaves goes to `removed`.
  template <class Fn>
  void run(Step step, Fn fn) {
    std::string line, err;
    if (!report_.error.empty() || !fn(line, err)) {
      if (report_.error.empty())
        report_.error = err.empty() ? std::string(kStepNames[step]) + " failed" : err;
      report_.left.push_back(kStepNames[step]);
      return;
    }
    if (!line.empty()) report_.removed.push_back(line);
  }
  // Stops before the next step: it and the ones after are left.
  void fail(const std::string& err) { report_.error = err; }
  // Stops before any step, all of them left.
  void stop(const std::string& err) {
    report_.error = err;
    report_.left.assign(kStepNames, kStepNames + kStepCount);
  }
  bool failed() const { return !report_.error.empty(); }

 private:
  Report& report_;
};

std::string registryFailure(const std::string& what) {
  return what + ": the registry failed (error " + std::to_string(KVLIBErrGet()) + ")";
}

Result removeDevice(const std::string& sn, const Options& options, Report& report) {
  Steps steps(report);
  KEVOFLX_QX dev;
  if (KEVOFLXQxGetBySN(sn.c_str(), &dev) != 0) {
    if (KVLIBErrGet() == KVERR_NOT_FOUND || KVLIBErrGet() == KVERR_INVALID_ARGUMENT) {
      report.error = "no device with serial number '" + sn + "'";
      return kNotFound;
    }
    steps.stop(registryFailure("cannot look up device '" + sn + "'"));
    return kFailed;
  }
  const int64_t id = static_cast<int64_t>(dev.id);
  const std::string idText = std::to_string(id);
  steps.run(kSessions, [&](std::string& line, std::string& err) {
    int64_t n = 0;
    if (flxops::RevokeSessions(sn, n) != 0) {
      err = registryFailure("cannot remove the sessions of device '" + sn + "'");
      return false;
    }
    line = "sessions: " + std::to_string(n);
    return true;
  });
  // A push let in before finishes its item first; the lock is held until its file goes.
  DeviceLock lock(idText);
  const int locked = steps.failed() ? 0 : lock.take(options.lockWaitMs);
  if (locked == EWOULDBLOCK)
    steps.fail("device '" + sn + "' is busy: a push holds its lock; run the removal again");
  else if (locked != 0)
    steps.fail("cannot open the lock file of device " + idText + ": " + strerror(locked));
  steps.run(kCacheRows, [&](std::string& line, std::string& err) {
    const int64_t rows = removeCacheRows(id, sn, err);
    line = "cache: " + std::to_string(rows) + " row(s)";
    return rows >= 0;
  });
  const auto tree = [&](const char* what, const char* dir, const char* unit) {
    return [&, what, dir, unit](std::string& line, std::string& err) {
      long files = 0;
      if (!removeTree(rootPath(dir), idText, files, err)) return false;
      line = std::string(what) + ": " +
             (files < 0 ? std::string("none") : std::to_string(files) + " " + unit);
      return true;
    };
  };
  steps.run(kMirror, tree("mirror folder", KEVO_QXINFO_DIR, "file(s)"));
  steps.run(kSpool, tree("spool", KEVO_SPOOL_DIR, "item(s)"));
  steps.run(kHistory, [&](std::string& line, std::string& err) {
    if (!options.forgetHistory) {
      line = "history: left to the history writer, which drops it at its next sweep";
      return true;
    }
    const int64_t rows = options.forgetHistory(id, err);
    line = "history: " + std::to_string(rows) + " row(s)";
    return rows >= 0;
  });
  steps.run(kLockFile, [&](std::string& line, std::string& err) {
    if (!lock.exists()) return true;
    if (!lock.remove()) {
      err = "cannot remove the lock file of device " + idText + ": " + strerror(errno);
      return false;
    }
    line = "lock file";
    return true;
  });
  steps.run(kRecord, [&](std::string& line, std::string& err) {
    if (KEVOFLXQxDelete(sn) != 0) {
      err = registryFailure("cannot remove device '" + sn + "'");
      return false;
    }
    line = "registry: device " + sn + " (id " + idText +
           ") with its applications, packages, information, group and last contact";
    return true;
  });
  return steps.failed() ? kFailed : kRemoved;
}

}  // namespace

Result RemoveDevice(const std::string& sn, const Options& options, Report& report) noexcept {
  try {
    return removeDevice(sn, options, report);
  } catch (const std::bad_alloc&) {
    report.error = "out of memory";
  } catch (...) {
    report.error = "unexpected failure";
  }
  return kFailed;
}

}  // namespace flxremove
