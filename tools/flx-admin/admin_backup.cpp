// flx-admin backup: one window in which every device lock is held, the three databases'
// snapshots are pinned and the mirror folders and spool are hard-linked aside; the copying
// itself happens after the window, while pushes go on.
#include "admin_backup.h"

#include <errno.h>
#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <sqlite3.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "admin.h"
#include "admin_backup_util.h"
#include "admin_tree.h"
#include "admin_util.h"
#include "common/device_lock.h"
#include "flx.h"
#include "flxhistory_schema.h"
#include "flxspool.h"
#include "kevodb.h"
#include "kevoroot.h"

namespace flxadmin {

const char kManifestName[] = "manifest.json";

namespace {

// How long the backup waits for one device's push to finish before it gives up.
const int kLockWaitMs = 30000;
const char kStageDir[] = "/var/packages/FLX/target/backup.stage";
const char kBackupLock[] = "/var/packages/FLX/target/backup.lock";

double since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Every device lock, held until destroyed.
class DeviceLocks {
 public:
  DeviceLocks() = default;
  ~DeviceLocks() { release(); }
  DeviceLocks(const DeviceLocks&) = delete;
  DeviceLocks& operator=(const DeviceLocks&) = delete;

  // Takes the lock of device `id` (its file made as a push makes it), waiting for a push in
  // progress. False with `err` when it cannot.
  bool take(uint64_t id, std::string& err) {
    if (held_.count(id) != 0) return true;
    if (dir_ < 0) {
      const std::string path = rootPath(KEVO_LOCK_DIR);
      if (KEVOFSMkdirP(path.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, 0711) < 0 ||
          (dir_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
        err = "cannot open the lock folder " + path + ": " + strerror(errno);
        return false;
      }
    }
    const std::string name = std::to_string(id);
    const int fd = openat(dir_, name.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      err = "cannot open the lock of device " + name + ": " + strerror(errno) +
            (errno == EMFILE ? "; raise the open files limit (ulimit -n) above the device count"
                             : "");
      return false;
    }
    held_[id] = fd;
    for (int waited = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; waited += 10) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= kLockWaitMs) {
        err = "device " + name + " stayed locked by a push for " +
              std::to_string(kLockWaitMs / 1000) + " s; try the backup again";
        return false;
      }
      const struct timespec step = {0, 10 * 1000 * 1000};
      nanosleep(&step, nullptr);
    }
    return true;
  }
  bool holds(uint64_t id) const { return held_.count(id) != 0; }
  std::set<uint64_t> ids() const {
    std::set<uint64_t> out;
    for (const auto& h : held_) out.insert(h.first);
    return out;
  }
  // Lets go of one device's lock.
  void release(uint64_t id) {
    auto it = held_.find(id);
    if (it == held_.end()) return;
    close(it->second);
    held_.erase(it);
  }
  void release() {
    for (auto& h : held_) close(h.second);
    held_.clear();
    if (dir_ >= 0) close(dir_);
    dir_ = -1;
  }

 private:
  int dir_ = -1;
  std::map<uint64_t, int> held_;
};

// Lets the process hold one descriptor per device.
void raiseFileLimit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
}

// Device ids named by the lock files and by the registry `db` (in its current snapshot).
bool deviceIds(sqlite3* db, std::set<uint64_t>& ids, std::string& err) {
  for (const std::string& name : folderNames(rootPath(KEVO_LOCK_DIR))) {
    uint64_t id = 0;
    if (parseId(name, id)) ids.insert(id);
  }
  return eachRow(
      db, "SELECT id FROM devices",
      [&](sqlite3_stmt* st) { ids.insert(static_cast<uint64_t>(sqlite3_column_int64(st, 0))); },
      err);
}

// The devices whose pushes the host is running now: each worker's in-flight file names the
// device (by serial number) of the request in hand. A push waiting for its lock is one.
std::set<uint64_t> devicesInFlight(const std::map<std::string, uint64_t>& bySn) {
  std::set<uint64_t> out;
  const std::string run = rootPath("/var/packages/FLX/target/run");
  for (const std::string& host : folderNames(run)) {
    if (host.compare(0, 5, "host.") != 0) continue;
    for (const std::string& name : folderNames(run + "/" + host)) {
      if (name.compare(0, 9, "inflight.") != 0) continue;
      std::ifstream in(run + "/" + host + "/" + name);
      std::string line;
      for (int i = 0; i < 8 && std::getline(in, line) && !line.empty(); ++i) {
        if (line.compare(0, 7, "device ") != 0) continue;
        auto it = bySn.find(line.substr(7));
        if (it != bySn.end()) out.insert(it->second);
      }
    }
  }
  return out;
}

// The window: every device lock held while each database's read snapshot begins (devices
// registered meanwhile are locked too before the snapshot is kept). Then each device's mirror
// and spool folders are linked into the stage and its lock let go, the devices with a push
// waiting first, so that a push waits about as long as taking the locks, not as long as
// linking every device's files.
bool window(Stores& stores, const std::string& stage, BackupReport& report, std::string& err) {
  const auto start = std::chrono::steady_clock::now();
  DeviceLocks locks;
  std::set<uint64_t> ids;
  if (!deviceIds(stores.db("registry"), ids, err)) return false;
  for (int round = 0;; ++round) {
    for (uint64_t id : ids) {
      if (!locks.take(id, err)) return false;
    }
    if (!stores.beginSnapshot(err)) return false;
    std::set<uint64_t> now;
    if (!deviceIds(stores.db("registry"), now, err)) return false;
    bool all = true;
    for (uint64_t id : now) all = all && locks.holds(id);
    if (all) break;
    if (round == 3) {
      err = "devices keep being added; try the backup again";
      return false;
    }
    stores.endSnapshot();
    ids = now;
  }
  report.windowSeconds = since(start);
  std::map<std::string, uint64_t> bySn;
  if (!eachRow(
          stores.db("registry"), "SELECT sn, id FROM devices",
          [&](sqlite3_stmt* st) {
            bySn[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))] =
                static_cast<uint64_t>(sqlite3_column_int64(st, 1));
          },
          err))
    return false;
  const char* const areas[] = {KEVO_QXINFO_DIR, KEVO_SPOOL_DIR};
  for (const char* area : areas) {
    if (mkdir((stage + "/" + baseName(area)).c_str(), 0700) != 0) {
      err = "cannot create the stage folder: " + std::string(strerror(errno));
      return false;
    }
  }
  CopyOptions link;
  link.link = true;
  std::set<std::string> linked;
  auto linkOne = [&](const std::string& name) {
    for (const char* area : areas) {
      const std::string from = rootPath(area) + "/" + name;
      struct stat st;
      if (lstat(from.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
      if (!copyTree(from, stage + "/" + baseName(area) + "/" + name, link, nullptr, report.skipped,
                    err))
        return false;
    }
    linked.insert(name);
    return true;
  };
  std::set<uint64_t> pending = locks.ids();
  auto scanned = std::chrono::steady_clock::now();
  for (bool first = true; !pending.empty(); first = false) {
    const auto now = std::chrono::steady_clock::now();
    if (first || now - scanned > std::chrono::milliseconds(10)) {
      scanned = now;
      for (uint64_t id : devicesInFlight(bySn)) {
        if (pending.erase(id) == 0) continue;
        if (!linkOne(std::to_string(id))) return false;
        locks.release(id);
      }
      continue;
    }
    const uint64_t id = *pending.begin();
    pending.erase(pending.begin());
    if (!linkOne(std::to_string(id))) return false;
    locks.release(id);
  }
  report.linkSeconds = since(start) - report.windowSeconds;
  // Folders of no registered device: no push writes them.
  for (const char* area : areas) {
    for (const std::string& name : folderNames(rootPath(area))) {
      if (linked.count(name) == 0 && !linkOne(name)) return false;
    }
  }
  return true;
}

// Copies each database from its pinned snapshot into `dir`/db with the original's mode and
// owner, and records its schema version and row counts.
bool copyDatabases(Stores& stores, const std::string& dir, Json::Value& dbs, std::string& err) {
  if (mkdir((dir + "/db").c_str(), 0700) != 0) {
    err = "cannot create " + dir + "/db: " + strerror(errno);
    return false;
  }
  for (const Stores::Store& s : stores.all()) {
    if (s.db == nullptr) continue;
    Json::Value info(Json::objectValue);
    info["file"] = "db/" + baseName(s.path);
    info["user_version"] = kevo::sqliteUserVersion(s.db);
    Json::Value& rows = info["rows"] = Json::Value(Json::objectValue);
    if (!tableCounts(s.db, rows, err) || !backupDatabase(s.db, s.path, dir + "/db", err))
      return false;
    dbs[s.name] = info;
  }
  // The folder as the root has it: the registry's mode keeps other users out anyway.
  struct stat st;
  const std::string db = dir + "/db";
  if (stat(rootPath("/var/packages/FLX/target/db").c_str(), &st) == 0 &&
      ((geteuid() == 0 && chown(db.c_str(), st.st_uid, st.st_gid) != 0) ||
       chmod(db.c_str(), st.st_mode & 07777) != 0)) {
    err = "cannot set the mode of " + db + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool writeManifest(const std::string& dir, const Json::Value& manifest, std::string& err) {
  Json::StreamWriterBuilder w;
  w["indentation"] = " ";
  const std::string text = Json::writeString(w, manifest) + "\n";
  const std::string path = dir + "/" + kManifestName;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            fsync(fd) == 0;
  if (fd >= 0) ok = close(fd) == 0 && ok;
  if (!ok) err = "cannot write " + path + ": " + strerror(errno);
  return ok;
}

// Made empty, mode 0700: a backup holds every session id and the push key.
bool makeBackupDir(const std::string& dir, std::string& err) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    err = "cannot create " + dir + ": " + strerror(errno);
    return false;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !folderNames(dir).empty()) {
    err = dir + " is not an empty folder; give a new or empty folder for the backup";
    return false;
  }
  if (chmod(dir.c_str(), 0700) != 0) {
    err = "cannot set the mode of " + dir + ": " + strerror(errno);
    return false;
  }
  return true;
}

// Holds the backup lock (one backup at a time) and the stage folder, removed on every way out.
class Stage {
 public:
  bool open(std::string& err) {
    const std::string lockPath = rootPath(kBackupLock);
    lock_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock_ < 0 || flock(lock_, LOCK_EX | LOCK_NB) != 0) {
      err = lock_ < 0 ? "cannot open " + lockPath + ": " + strerror(errno)
                      : "another backup is running; wait for it to end";
      return false;
    }
    path_ = rootPath(kStageDir);
    removeTree(path_);  // left by a backup that was killed
    if (mkdir(path_.c_str(), 0700) != 0) {
      err = "cannot create " + path_ + ": " + strerror(errno);
      return false;
    }
    return true;
  }
  ~Stage() {
    if (!path_.empty()) removeTree(path_);
    if (lock_ >= 0) close(lock_);
  }
  const std::string& path() const { return path_; }

 private:
  int lock_ = -1;
  std::string path_;
};

}  // namespace

int backup(const std::string& dir, BackupReport& report, std::string& err) {
  return guardedOp(err, [&] {
    const auto start = std::chrono::steady_clock::now();
    Stores stores;
    Stage stage;
    if (!makeBackupDir(dir, err) || !stores.open(false, err) || !stage.open(err)) return 1;
    raiseFileLimit();
    if (!window(stores, stage.path(), report, err)) return 1;

    Json::Value manifest(Json::objectValue);
    manifest["format"] = 1;
    manifest["created"] = Json::Int64(time(nullptr));
    manifest["root"] = KEVORootPrefix();
    Json::Value& dbs = manifest["databases"] = Json::Value(Json::objectValue);
    if (!copyDatabases(stores, dir, dbs, err)) return 1;
    stores.endSnapshot();
    CopyOptions plain;
    for (const Area& a : backupAreas()) {
      const std::string from = a.staged ? stage.path() + "/" + a.name : rootPath(a.below);
      struct stat st;
      if (lstat(from.c_str(), &st) != 0) continue;
      if (!copyTree(from, dir + "/" + a.name, plain, nullptr, report.skipped, err)) return 1;
    }
    Json::Value files;
    if (!manifestFiles(dir, files, err)) return 1;
    manifest["counts"] = backupCounts(dbs, files);
    manifest["files"] = files;
    for (const std::string& s : report.skipped) manifest["skipped"].append(s);
    if (!writeManifest(dir, manifest, err)) return 1;
    report.counts = manifest["counts"];
    report.seconds = since(start);
    return 0;
  });
}

int verifyBackup(const std::string& dir, std::vector<std::string>& problems, std::string& err) {
  return guardedOp(err, [&] {
    Json::Value manifest;
    if (!readManifest(dir, manifest, err)) return 1;
    checkFiles(dir, manifest, problems);
    for (const std::string& name : manifest["databases"].getMemberNames()) {
      const Json::Value& db = manifest["databases"][name];
      checkDatabase(dir + "/" + db["file"].asString(), db["user_version"].asInt(), problems);
    }
    return problems.empty() ? 0 : 1;
  });
}

int restore(const std::string& dir, std::string& err) {
  return guardedOp(err, [&] {
    std::vector<std::string> problems;
    if (verifyBackup(dir, problems, err) != 0) {
      if (err.empty()) {
        err = "the backup in " + dir + " does not verify (" + problems.front() +
              "); run 'flx-admin backup --verify " + dir + "' for every problem";
      }
      return 1;
    }
    Json::Value manifest;
    if (!readManifest(dir, manifest, err) || !schemasNotNewer(manifest, err) || !rootIsIdle(err) ||
        !rootIsEmpty(err))
      return 1;
    for (const Area& a : restoreAreas()) {
      if (!restoreArea(dir, a, err)) return 1;
    }
    // A backup from an older release gets this release's schema now.
    return init(err);
  });
}

}  // namespace flxadmin
