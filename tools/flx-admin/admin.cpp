// The operator's operations: setting up a root, devices and sessions.
#include "admin.h"

#include <fcntl.h>
#include <json/reader.h>
#include <sodium.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <errno.h>
#include <string.h>

#include <iostream>
#include <memory>
#include <vector>

#include "admin_enroll.h"
#include "admin_key.h"
#include "admin_util.h"
#include "common/device_lock.h"
#include "flx_schema.h"
#include "flxread.h"
#include "kevodb.h"
#include "kevoroot.h"
#include "writer.h"

namespace flxadmin {

// --- shared helpers ---

int fail(const std::string& err) {
  std::cerr << "flx-admin: " << err << std::endl;
  return 1;
}

std::string timeText(int64_t t) {
  if (t <= 0) return "-";
  const time_t tt = static_cast<time_t>(t);
  struct tm tm;
  char when[32] = "-";
  if (gmtime_r(&tt, &tm) != nullptr) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%SZ", &tm);
  return when;
}

std::string rootPath(const char* below) {
  return std::string(KEVORootPrefix()) + below;
}

std::string registryError(const std::string& what) {
  char code[16];
  snprintf(code, sizeof code, "0x%04X", KVLIBErrGet());
  return what + ": the registry database " + rootPath(KEVO_REGISTRY_DB_PATH) + " failed (error " +
         code + "); run 'flx-admin init' and check that it is writable";
}

bool isPlainToken(const std::string& text, size_t max) {
  if (text.empty() || text.size() > max) return false;
  for (unsigned char c : text) {
    if (c <= ' ' || c >= 0x7f) return false;
  }
  return true;
}

int findDevice(const std::string& sn, KEVOFLX_QX& dev, std::string& err) {
  if (KEVOFLXQxGetBySN(sn.c_str(), &dev) == 0) return 0;
  if (KVLIBErrGet() == KVERR_NOT_FOUND || KVLIBErrGet() == KVERR_INVALID_ARGUMENT) {
    err = "no device with serial number '" + sn + "'; see 'flx-admin device list'";
  } else {
    err = registryError("cannot look up device '" + sn + "'");
  }
  return 1;
}

namespace {

// Folders that init creates below the root.
const char* const kFolders[] = {
    "/var/packages/FLX/target/db",
    KEVO_QXINFO_DIR,
    "/var/packages/FLX/target/etc",
    KEVO_LIB_DIR,
    KEVO_WEBAPI_DIR,
    "/etc.defaults",
    KEVO_TLS_DIR,
};

// Keeps an open descriptor and a temporary file name until the file is in place.
class TempFile {
 public:
  explicit TempFile(const std::string& target) : path_(target + ".tmpXXXXXX") {
    fd_ = mkstemp(&path_[0]);
  }
  ~TempFile() {
    if (fd_ >= 0) close(fd_);
    if (!placed_) unlink(path_.c_str());
  }
  bool ok() const { return fd_ >= 0; }
  // Writes everything with `mode`, flushes it to disk and renames it to `target`.
  bool place(const std::string& content, mode_t mode, const std::string& target) {
    if (fchmod(fd_, mode) != 0) return false;
    size_t done = 0;
    while (done < content.size()) {
      ssize_t n = write(fd_, content.data() + done, content.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    int rc = fsync(fd_) | close(fd_);
    fd_ = -1;
    if (rc != 0 || rename(path_.c_str(), target.c_str()) != 0) return false;
    placed_ = true;
    return true;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool placed_ = false;
};

}  // namespace

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

namespace {

int makeFolders(std::string& err) {
  for (const char* below : kFolders) {
    std::string path = rootPath(below);
    if (KEVOFSMkdirP(path.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, -1) < 0) {
      err = "cannot create the folder " + path + ": " + strerror(errno) +
            "; check the permissions of its parent";
      return 1;
    }
  }
  return 0;
}

// The module's lock folder is root's alone: a local user who could open a device's lock file
// could hold its pushes with flock. Closed where an older release left it open (0711).
int makeLockFolder(std::string& err) {
  const std::string path = rootPath(KEVO_LOCK_DIR);
  struct stat st;
  if (KEVOFSMkdirP(path.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, 0700) < 0 ||
      lstat(path.c_str(), &st) != 0 ||
      ((st.st_mode & 07777) != 0700 && chmod(path.c_str(), 0700) != 0)) {
    err = "cannot create the lock folder " + path + " (mode 0700): " + strerror(errno) +
          "; check the permissions of its parent";
    return 1;
  }
  return 0;
}

// Modes of the stores: the registry holds every session id, so only root reads it; the cache
// database may be read by a reporting group given to it.
const mode_t kRegistryMode = 0600;
const mode_t kCacheDbMode = 0640;

// Creates an empty file with `mode` when missing: SQLite gives the -wal and -shm files of a
// database the database's own mode.
void createWithMode(const std::string& path, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd >= 0) close(fd);
}

// Brings a database and its -wal and -shm files to `mode` (roots made before modes were set).
int fixModes(const std::string& db, mode_t mode, std::string& err) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::string path = db + suffix;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777) == mode) {
      continue;
    }
    if (chmod(path.c_str(), mode) != 0) {
      err = "cannot set the mode of " + path + ": " + strerror(errno) + "; run as its owner";
      return 1;
    }
  }
  return 0;
}

// Creates the registry or brings its schema up to date: the one place that migrates it.
int makeRegistry(std::string& err) {
  const std::string path = rootPath(KEVO_REGISTRY_DB_PATH);
  if (fixModes(path, kRegistryMode, err) != 0) return 1;
  int from = 0;
  std::string why;
  if (KEVOFLXSchemaMigrate(&from, why) == 0) return 0;
  err = why + "; check that the folder is writable and that no other tool holds the database";
  return 1;
}

const char kCacheSchema[] =
    "BEGIN;"
    "CREATE TABLE IF NOT EXISTS vol_info (name TEXT, status TEXT, raid_type TEXT,"
    " pool_path TEXT, size_total INTEGER, size_used INTEGER, mtime INTEGER, qx_id INTEGER,"
    " UNIQUE(qx_id, name));"
    "CREATE TABLE IF NOT EXISTS dg_info (name TEXT, status TEXT, raid_type TEXT,"
    " size_total INTEGER, size_used INTEGER, mtime INTEGER, qx_id INTEGER,"
    " UNIQUE(qx_id, name));"
    "CREATE TABLE IF NOT EXISTS hdd_info (dev TEXT, status TEXT, smart_status TEXT,"
    " model TEXT, bus TEXT, used_by TEXT, name TEXT, disk_type TEXT, ctn_name TEXT,"
    " ctn_type TEXT, temp INTEGER, size_total INTEGER, mtime INTEGER, qx_id INTEGER,"
    " UNIQUE(qx_id, dev));"
    "CREATE TABLE IF NOT EXISTS share_info (name TEXT, description TEXT, vol_id TEXT,"
    " hidden INTEGER, mtime INTEGER, qx_id INTEGER, display_vol_name TEXT,"
    " UNIQUE(qx_id, name));"
    "CREATE TABLE IF NOT EXISTS sample_table (client_sn TEXT UNIQUE, sample_data TEXT);";

// A complete database is left alone; "IF NOT EXISTS" completes a partial one.
int makeCacheDb(std::string& err) {
  std::string path = rootPath(KEVO_CACHE_DB_PATH);
  if (fixModes(path, kCacheDbMode, err) != 0) return 1;
  // The inventory's indexes come with the tables: a root made before them gets them too.
  std::vector<std::string> names = {"vol_info", "dg_info", "hdd_info", "share_info",
                                    "sample_table"};
  std::string script = kCacheSchema;
  for (const auto& index : flxread::cacheIndexes()) {
    names.push_back(index.first);
    script += index.second + ";";
  }
  script += "COMMIT;";
  std::vector<const char*> objects;
  for (const std::string& name : names) objects.push_back(name.c_str());
  if (kevo::sqliteHasObjects(path, objects)) return 0;
  createWithMode(path, kCacheDbMode);
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  if (rc == SQLITE_OK) rc = sqlite3_busy_timeout(raw, 5000);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(raw, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, script.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    err = "cannot create the cache database " + path + ": " +
          (raw != nullptr ? sqlite3_errmsg(raw) : "out of memory") +
          "; check that its folder is writable";
    return 1;
  }
  return 0;
}

// 64 hex digits of a fresh random key, mode 0600.
int makePushKey(std::string& err) {
  std::string path = rootPath(KEVO_PUSH_KEY_PATH);
  if (exists(path)) return fixModes(path, 0600, err);
  std::string content;
  if (!randomKeyText(content)) {
    err = "cannot start the random generator (libsodium); check the installation";
    return 1;
  }
  int rc = writeNewFile(path, content, 0600, err);
  sodium_memzero(&content[0], content.size());
  return rc;
}

int makeHostSettings(std::string& err) {
  std::string path = rootPath(KEVO_HOST_CONF_PATH);
  if (exists(path)) return 0;
  std::string langs;
  for (const char* code : kKevoFlxAppLocales) {
    if (!langs.empty()) langs += ",";
    langs += code;
  }
  return writeNewFile(path, "supplang=\"" + langs + "\"\n", 0644, err);
}

// A random session id: 16 random bytes as 32 hex digits.
bool randomSid(std::string& sid) {
  if (sodium_init() < 0) return false;
  unsigned char bytes[16];
  char hex[2 * sizeof bytes + 1];
  randombytes_buf(bytes, sizeof bytes);
  sid = sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  return true;
}

}  // namespace

int writeNewFile(const std::string& path, const std::string& content, mode_t mode,
                 std::string& err) {
  TempFile tmp(path);
  if (!tmp.ok() || !tmp.place(content, mode, path)) {
    err = "cannot write " + path + ": " + strerror(errno) + "; check that its folder is writable";
    return 1;
  }
  return 0;
}

int init(std::string& err) {
  return guardedOp(err, [&] {
    if (makeFolders(err) != 0 || makeLockFolder(err) != 0 || makeRegistry(err) != 0 ||
        makeCacheDb(err) != 0 || makePushKey(err) != 0 || makeHostSettings(err) != 0 ||
        flxhistory::initHistory(err) != 0 || certInit(err) != 0) {
      return 1;
    }
    return 0;
  });
}

int deviceAdd(const std::string& sn, const std::string& hostname, uint64_t& id, std::string& err) {
  return guardedOp(err, [&] {
    if (!isPlainToken(sn, 128)) {
      err = "invalid serial number '" + sn + "': use 1 to 128 printable characters, no spaces";
      return 1;
    }
    if (!hostname.empty() && !isPlainToken(hostname, 255)) {
      err = "invalid host name '" + hostname + "': use up to 255 printable characters, no spaces";
      return 1;
    }
    if (KEVOFLXQxCreate(sn, hostname, &id) == 0) return 0;
    if (KVLIBErrGet() == KEVOFLX_ERR_EXISTS) {
      err = "a device with serial number '" + sn + "' already exists; see 'flx-admin device list'";
    } else {
      err = registryError("cannot add device '" + sn + "'");
    }
    return 1;
  });
}

int sessionAdd(const std::string& sn, std::string& sid, int64_t ttl, std::string& err) {
  return guardedOp(err, [&] {
    if (ttl < 0 || ttl > INT64_MAX - static_cast<int64_t>(time(nullptr))) {
      err = "invalid TTL " + std::to_string(ttl) + ": give 0 (no expiry) or a number of seconds";
      return 1;
    }
    // The registry refuses a short id too; here the operator learns what to type instead.
    if (!sid.empty() && (sid.size() < KEVOFLX_MIN_SID_LENGTH || !isPlainToken(sid, 128))) {
      err = "invalid session id '" + sid +
            "': use 16 to 128 printable characters, no spaces (or leave --sid out for a "
            "random one)";
      return 1;
    }
    KEVOFLX_QX dev;
    if (findDevice(sn, dev, err) != 0) return 1;
    if (sid.empty() && !randomSid(sid)) {
      err = "cannot start the random generator (libsodium); give a session id with --sid";
      return 1;
    }
    int64_t expiry = ttl == 0 ? 0 : static_cast<int64_t>(time(nullptr)) + ttl;
    if (KEVOFLXSessionCreate(sid, sn, KEVOFLX_DEFAULT_API_CLASS, expiry) == 0) return 0;
    if (KVLIBErrGet() == KEVOFLX_ERR_EXISTS) {
      err = "session '" + sid + "' already exists; choose another --sid or remove it first";
    } else {
      err = registryError("cannot add a session for '" + sn + "'");
    }
    return 1;
  });
}

int sessionRemove(const std::string& sid, std::string& err) {
  return guardedOp(err, [&] {
    if (KEVOFLXSessionDelete(sid) == 0) return 0;
    if (KVLIBErrGet() == KVERR_NOT_FOUND || KVLIBErrGet() == KVERR_INVALID_ARGUMENT) {
      err = "no session '" + sid + "'; nothing removed";
    } else {
      err = registryError("cannot remove session '" + sid + "'");
    }
    return 1;
  });
}

}  // namespace flxadmin
