#include "admin_backup_util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <json/reader.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>

#include "admin_backup.h"
#include "admin_tree.h"
#include "admin_util.h"
#include "flx.h"
#include "flxhistory_schema.h"
#include "flxspool.h"
#include "kevodb.h"
#include "kevohandle.h"
#include "kevoroot.h"

namespace flxadmin {

std::vector<std::string> folderNames(const std::string& path) {
  std::vector<std::string> out;
  kevo::Dir d(opendir(path.c_str()));
  if (!d) return out;
  while (struct dirent* e = readdir(d.get())) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
  }
  return out;
}

bool parseId(const std::string& text, uint64_t& id) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  id = std::stoull(text);
  return true;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool eachRow(sqlite3* db, const std::string& sql, const std::function<void(sqlite3_stmt*)>& row,
             std::string& err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  while (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
    row(st);
    rc = SQLITE_OK;
  }
  if (rc != SQLITE_DONE) err = std::string(sqlite3_errmsg(db)) + " in: " + sql;
  sqlite3_finalize(st);
  return rc == SQLITE_DONE;
}

// --- the stores ---

Stores::~Stores() {
  for (Store& s : stores_) sqlite3_close(s.db);
}

bool Stores::open(bool readOnly, std::string& err) {
  const std::pair<const char*, const char*> files[] = {{"registry", KEVO_REGISTRY_DB_PATH},
                                                       {"cache", KEVO_CACHE_DB_PATH},
                                                       {"history", KEVO_HISTORY_DB_PATH}};
  for (const auto& f : files) {
    Store s{f.first, rootPath(f.second), nullptr};
    struct stat st;
    if (lstat(s.path.c_str(), &st) == 0) {
      const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
      if (sqlite3_open_v2(s.path.c_str(), &s.db, flags, nullptr) != SQLITE_OK) {
        err = "cannot open " + s.path + ": " + sqlite3_errmsg(s.db);
        sqlite3_close(s.db);
        return false;
      }
      sqlite3_busy_timeout(s.db, 60000);
      // A repair deletes as the registry does: what hangs on a row goes with it.
      if (!readOnly) sqlite3_exec(s.db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
    } else if (f.first == files[0].first) {
      err = "there is no registry database at " + s.path + "; run 'flx-admin init' first";
      return false;
    }
    stores_.push_back(s);
  }
  return true;
}

bool Stores::beginSnapshot(std::string& err) {
  for (Store& s : stores_) {
    if (s.db == nullptr) continue;
    // A read transaction starts at its first read: it is pinned here, not at BEGIN.
    if (sqlite3_exec(s.db, "BEGIN; SELECT count(*) FROM sqlite_master;", nullptr, nullptr,
                     nullptr) != SQLITE_OK) {
      err = "cannot read " + s.path + ": " + sqlite3_errmsg(s.db);
      return false;
    }
  }
  return true;
}

void Stores::endSnapshot() {
  for (Store& s : stores_) {
    if (s.db != nullptr && !sqlite3_get_autocommit(s.db))
      sqlite3_exec(s.db, "COMMIT", nullptr, nullptr, nullptr);
  }
}

sqlite3* Stores::db(const char* name) const {
  for (const Store& s : stores_) {
    if (strcmp(s.name, name) == 0) return s.db;
  }
  return nullptr;
}

bool tableCounts(sqlite3* db, Json::Value& rows, std::string& err) {
  std::vector<std::string> tables;
  if (!eachRow(
          db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'",
          [&](sqlite3_stmt* st) {
            tables.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
          },
          err))
    return false;
  for (const std::string& t : tables) {
    if (!eachRow(
            db, "SELECT count(*) FROM \"" + t + "\"",
            [&](sqlite3_stmt* st) { rows[t] = Json::Int64(sqlite3_column_int64(st, 0)); }, err))
      return false;
  }
  return true;
}

bool backupDatabase(sqlite3* src, const std::string& path, const std::string& destDir,
                    std::string& err) {
  const std::string dest = destDir + "/" + baseName(path);
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(dest.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> out(raw, sqlite3_close);
  if (rc == SQLITE_OK) {
    // The source's read transaction stays open: the copy is of its snapshot.
    sqlite3_backup* b = sqlite3_backup_init(raw, "main", src, "main");
    rc = b == nullptr ? sqlite3_errcode(raw) : sqlite3_backup_step(b, -1);
    if (b != nullptr) sqlite3_backup_finish(b);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc != SQLITE_OK) {
    err = "cannot copy " + path + " to " + dest + ": " +
          (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    return false;
  }
  out.reset();
  struct stat st;
  if (stat(path.c_str(), &st) != 0 ||
      (geteuid() == 0 && chown(dest.c_str(), st.st_uid, st.st_gid)) ||
      chmod(dest.c_str(), st.st_mode & 07777) != 0) {
    err = "cannot give " + dest + " the mode and owner of " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

// --- areas ---

const std::vector<Area>& backupAreas() {
  static const std::vector<Area> areas = {
      {"qxinfo", KEVO_QXINFO_DIR, true},
      {"spool", KEVO_SPOOL_DIR, true},
      {"etc", "/var/packages/FLX/target/etc", false},  // the push key and the keys still accepted
      {"ssl", "/etc/ssl/flx", false},                  // the host's certificate and key, when made
      {"etc.defaults", "/etc.defaults", false},        // the host settings
  };
  return areas;
}

const std::vector<Area>& restoreAreas() {
  static const std::vector<Area> areas = [] {
    std::vector<Area> a = {{"db", "/var/packages/FLX/target/db", false}};
    a.insert(a.end(), backupAreas().begin(), backupAreas().end());
    return a;
  }();
  return areas;
}

// --- manifest ---

bool manifestFiles(const std::string& dir, Json::Value& files, std::string& err) {
  std::vector<TreeEntry> entries;
  std::vector<std::string> skipped;
  if (!listTree(dir, true, entries, skipped, err)) return false;
  files = Json::Value(Json::arrayValue);
  for (const TreeEntry& e : entries) {
    if (e.path.empty() || e.path == kManifestName) continue;
    Json::Value f(Json::objectValue);
    f["path"] = e.path;
    f["type"] = e.dir ? "dir" : "file";
    f["mode"] = modeText(e.mode);
    f["uid"] = Json::UInt(e.uid);
    f["gid"] = Json::UInt(e.gid);
    if (!e.dir) {
      f["size"] = Json::UInt64(e.size);
      f["mtime"] = Json::Int64(e.mtime);
      f["sha256"] = e.sha256;
    }
    files.append(f);
  }
  return true;
}

Json::Value backupCounts(const Json::Value& databases, const Json::Value& files) {
  Json::Value counts(Json::objectValue);
  const Json::Value& rows = databases["registry"]["rows"];
  for (const char* table : {"devices", "sessions", "operators"}) counts[table] = rows[table];
  uint64_t mirror = 0, spool = 0, all = 0, bytes = 0;
  for (const Json::Value& f : files) {
    if (f["type"].asString() != "file") continue;
    const std::string path = f["path"].asString();
    mirror += path.compare(0, 7, "qxinfo/") == 0;
    spool += path.compare(0, 6, "spool/") == 0;
    ++all;
    bytes += f["size"].asUInt64();
  }
  counts["mirror_files"] = Json::UInt64(mirror);
  counts["spool_files"] = Json::UInt64(spool);
  counts["files"] = Json::UInt64(all);
  counts["bytes"] = Json::UInt64(bytes);
  return counts;
}

bool readManifest(const std::string& dir, Json::Value& manifest, std::string& err) {
  const std::string path = dir + "/" + kManifestName;
  std::ifstream in(path);
  Json::CharReaderBuilder b;
  std::string why;
  if (!in || !Json::parseFromStream(b, in, &manifest, &why) || !manifest.isObject() ||
      manifest["format"].asInt() != 1 || !manifest["files"].isArray() ||
      !manifest["databases"].isObject()) {
    err = "cannot read the backup's manifest " + path + (why.empty() ? "" : ": " + why) +
          "; give the folder that 'flx-admin backup' wrote";
    return false;
  }
  return true;
}

void checkFiles(const std::string& dir, const Json::Value& manifest,
                std::vector<std::string>& problems) {
  std::vector<TreeEntry> entries;
  std::vector<std::string> skipped;
  std::string err;
  if (!listTree(dir, true, entries, skipped, err)) {
    problems.push_back(err);
    return;
  }
  std::map<std::string, const TreeEntry*> found;
  for (const TreeEntry& e : entries) found[e.path] = &e;
  found.erase("");
  found.erase(kManifestName);
  for (const std::string& s : skipped) problems.push_back("not a file or folder: " + s);
  for (const Json::Value& f : manifest["files"]) {
    const std::string path = f["path"].asString();
    auto it = found.find(path);
    if (it == found.end()) {
      problems.push_back("missing: " + path);
      continue;
    }
    const TreeEntry& e = *it->second;
    found.erase(it);
    if (e.dir != (f["type"].asString() == "dir")) {
      problems.push_back("not a " + f["type"].asString() + ": " + path);
    } else if (!e.dir && e.size != f["size"].asUInt64()) {
      problems.push_back("size differs (" + std::to_string(e.size) + " bytes, the manifest says " +
                         f["size"].asString() + "): " + path);
    } else if (!e.dir && e.sha256 != f["sha256"].asString()) {
      problems.push_back("checksum differs: " + path);
    }
  }
  for (const auto& rest : found) problems.push_back("not in the manifest: " + rest.first);
}

void checkDatabase(const std::string& path, int userVersion, std::vector<std::string>& problems) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(kevo::sqliteFileUri(path, "immutable=1").c_str(), &raw,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  std::string err, result;
  if (rc != SQLITE_OK || !eachRow(
                             raw, "PRAGMA integrity_check",
                             [&](sqlite3_stmt* st) {
                               if (result.empty())
                                 result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
                             },
                             err)) {
    problems.push_back("cannot read the database " + path + ": " + err);
    return;
  }
  if (result != "ok") problems.push_back("integrity check failed (" + result + "): " + path);
  const int v = kevo::sqliteUserVersion(raw);
  if (v != userVersion)
    problems.push_back("schema version " + std::to_string(v) + ", the manifest says " +
                       std::to_string(userVersion) + ": " + path);
}

// --- restore ---

bool schemasNotNewer(const Json::Value& manifest, std::string& err) {
  const std::pair<const char*, int> known[] = {{"registry", KEVOFLXSchemaVersion()},
                                               {"history", flxhistory::kHistorySchemaVersion}};
  for (const auto& k : known) {
    const int v = manifest["databases"][k.first]["user_version"].asInt();
    if (v > k.second) {
      err = std::string("the backup's ") + k.first + " schema is version " + std::to_string(v) +
            ", newer than this program's " + std::to_string(k.second) +
            "; restore it with the release that made it (or a later one)";
      return false;
    }
  }
  return true;
}

long databaseUser(const std::string& path) {
  // Every SQLite connection to a database in WAL mode holds a read lock on this byte of its
  // -shm file while it is open (the "DMS" slot), whatever its process does meanwhile.
  const off_t kDmsByte = 128;
  const int fd = open((path + "-shm").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = kDmsByte;
  probe.l_len = 1;
  const int rc = fcntl(fd, F_GETLK, &probe);
  close(fd);
  if (rc != 0) return -1;
  return probe.l_type == F_UNLCK ? 0 : static_cast<long>(probe.l_pid);
}

bool rootIsIdle(std::string& err) {
  // A running host has a run folder named by its pid (one that died leaves a stale one).
  const std::string run = rootPath("/var/packages/FLX/target/run");
  for (const std::string& name : folderNames(run)) {
    uint64_t pid = 0;
    if (name.compare(0, 5, "host.") != 0 || !parseId(name.substr(5), pid) || pid == 0 ||
        pid > INT32_MAX || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM))
      continue;
    err = "the host runs (process " + std::to_string(pid) + ", " + run + "/" + name +
          "); stop it first (systemctl stop flx-webapi-host flx-history) and restore again";
    return false;
  }
  for (const char* below : {KEVO_REGISTRY_DB_PATH, KEVO_CACHE_DB_PATH, KEVO_HISTORY_DB_PATH}) {
    const std::string path = rootPath(below);
    const long pid = databaseUser(path);
    if (pid == 0) continue;
    err = pid > 0 ? "the database " + path + " is open in process " + std::to_string(pid) +
                        " (the host, the history writer or a tool); stop them first "
                        "(systemctl stop flx-webapi-host flx-history) and restore again"
                  : "cannot tell whether a process has " + path + " open: " + strerror(errno);
    return false;
  }
  return true;
}

bool rootIsEmpty(std::string& err) {
  const std::string registry = rootPath(KEVO_REGISTRY_DB_PATH);
  long devices = 0;
  sqlite3* raw = nullptr;
  struct stat st;
  if (lstat(registry.c_str(), &st) == 0 &&
      sqlite3_open_v2(registry.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    std::string why;
    eachRow(
        raw, "SELECT count(*) FROM devices",
        [&](sqlite3_stmt* s) { devices = static_cast<long>(sqlite3_column_int64(s, 0)); }, why);
  }
  sqlite3_close(raw);
  const size_t folders = folderNames(rootPath(KEVO_QXINFO_DIR)).size();
  if (devices == 0 && folders == 0) return true;
  err = "the root " + std::string(KEVORootPrefix()) + " holds a fleet already (" +
        std::to_string(devices) + " devices, " + std::to_string(folders) +
        " mirror folders); restore into an empty root, or move its databases and mirror "
        "folders aside first";
  return false;
}

bool restoreArea(const std::string& dir, const Area& area, std::string& err) {
  const std::string from = dir + "/" + area.name;
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) return true;
  const std::string dest = rootPath(area.below);
  // "/etc.defaults" has the file system's root as its parent when the root prefix is empty.
  const size_t slash = dest.find_last_of('/');
  const std::string parent = slash == 0 ? "/" : dest.substr(0, slash);
  const std::string tmp = (parent == "/" ? "" : parent) + "/.restore-" + area.name;
  if (KEVOFSMkdirP(parent.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, -1) < 0) {
    err = "cannot create " + parent + ": " + strerror(errno);
    return false;
  }
  removeTree(tmp);
  std::vector<std::string> skipped;
  if (!copyTree(from, tmp, CopyOptions(), nullptr, skipped, err)) return false;
  if (lstat(dest.c_str(), &st) != 0) {
    if (rename(tmp.c_str(), dest.c_str()) == 0) return true;
    err = "cannot move " + tmp + " to " + dest + ": " + strerror(errno);
    return false;
  }
  for (const std::string& name : folderNames(tmp)) {
    // A database's -wal and -shm belong to the file that is replaced.
    for (const char* suffix : {"", "-wal", "-shm"}) removeTree(dest + "/" + name + suffix);
    if (rename((tmp + "/" + name).c_str(), (dest + "/" + name).c_str()) != 0) {
      err = "cannot move " + tmp + "/" + name + " into " + dest + ": " + strerror(errno);
      return false;
    }
  }
  rmdir(tmp.c_str());
  return true;
}

}  // namespace flxadmin
