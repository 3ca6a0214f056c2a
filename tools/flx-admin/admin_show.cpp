// `device show`: everything stored for one device, as one JSON object.
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "admin.h"
#include "admin_util.h"
#include "kevoroot.h"

namespace flxadmin {
namespace {

namespace fs = std::filesystem;

// Cache tables shown, each filtered by the device id.
const char* const kCacheTables[] = {"vol_info", "dg_info", "hdd_info", "share_info"};

Json::Value deviceJson(const KEVOFLX_QX& d) {
  Json::Value o(Json::objectValue);
  o["id"] = Json::UInt64(d.id);
  o["sn"] = d.sn;
  o["model_name"] = d.model_name;
  o["version"] = d.version;
  o["build_number"] = Json::Int64(d.build_number);
  o["smallfix_number"] = Json::Int64(d.smallfix_number);
  o["hostname"] = d.hostname;
  o["wol"] = Json::Int64(d.wol);
  o["up_time"] = Json::UInt64(d.up_time);
  o["cluster_role"] = Json::Int64(d.cluster_role);
  o["status"] = d.status;
  Json::Value extra(Json::objectValue);
  parseObject(d.extra, extra);
  o["extra"] = extra;
  return o;
}

Json::Value appJson(const KEVOFLX_APP& a) {
  Json::Value o(Json::objectValue);
  o["app_id"] = a.app_id;
  Json::Value names(Json::objectValue);
  for (int i = 0; i < KEVOFLX_APP_LOCALE_COUNT; ++i) {
    if (!a.name[i].empty()) names[kKevoFlxAppLocales[i]] = a.name[i];
  }
  o["names"] = names;
  o["version"] = a.version;
  o["icon_mtime"] = Json::Int64(a.icon_mtime);
  o["protocol"] = a.protocol;
  o["port"] = a.port;
  o["url"] = a.url;
  o["window_param"] = a.window_param;
  o["is_package"] = a.is_package;
  Json::Value extra;  // null unless a stored object
  parseObject(a.extra, extra);
  o["extra"] = extra;
  return o;
}

Json::Value pkgJson(const KEVOFLX_PKG& p) {
  Json::Value o(Json::objectValue);
  o["pkg_id"] = p.pkg_id;
  o["display_name"] = p.display_name;
  Json::Value names(Json::objectValue);
  for (int i = 0; i < KEVOFLX_PKG_LANG_COUNT; ++i) {
    if (!p.display_names[i].empty()) names[kKevoFlxPkgLangs[i]] = p.display_names[i];
  }
  o["display_names"] = names;
  o["version"] = p.version;
  o["version_bound_text"] = p.version_bound_text;
  o["version_bound_number"] = p.version_bound_number;
  o["version_bound_stamp"] = Json::UInt64(p.version_bound_stamp);
  o["status"] = p.status;
  o["report"] = p.report;
  o["dependencies"] = p.dependencies;
  o["conflicts"] = p.conflicts;
  o["startable"] = p.startable;
  o["silent_install"] = p.silent_install;
  o["silent_upgrade"] = p.silent_upgrade;
  o["silent_uninstall"] = p.silent_uninstall;
  return o;
}

int appsJson(uint64_t qxId, Json::Value& out, std::string& err) {
  HashPtr filter = makeFilter("qx_id", std::to_string(qxId));
  KEVOFLX_APP* raw = nullptr;
  int total = 0;
  int rc = filter ? KEVOFLXAppList(filter.get(), &raw, &total) : -1;
  std::unique_ptr<KEVOFLX_APP, AppListFree> list(raw);
  if (rc < 0) {
    err = registryError("cannot list the applications");
    return 1;
  }
  out = Json::Value(Json::arrayValue);
  for (KEVOFLX_APP* a = list.get(); a != nullptr; a = KEVOFLXAppNext(a)) out.append(appJson(*a));
  return 0;
}

int pkgsJson(uint64_t qxId, Json::Value& out, std::string& err) {
  HashPtr filter = makeFilter("qx_id", std::to_string(qxId));
  KEVOFLX_PKG* raw = nullptr;
  int total = 0;
  int rc = filter ? KEVOFLXPkgList(filter.get(), &raw, &total) : -1;
  std::unique_ptr<KEVOFLX_PKG, PkgListFree> list(raw);
  if (rc < 0) {
    err = registryError("cannot list the packages");
    return 1;
  }
  out = Json::Value(Json::arrayValue);
  for (const KEVOFLX_PKG* p = list.get(); p != nullptr; p = p->pNext) out.append(pkgJson(*p));
  return 0;
}

// The stored info object; its fields when the stored text is not an object.
int infoJson(uint64_t qxId, Json::Value& out, std::string& err) {
  out = Json::Value(Json::arrayValue);
  KEVOFLX_INFO info;
  if (KEVOFLXInfoGet(qxId, &info) < 0) {
    if (KVLIBErrGet() == KVERR_NOT_FOUND) return 0;
    err = registryError("cannot read the device's info");
    return 1;
  }
  Json::Value obj(Json::objectValue);
  if (!parseObject(info.json, obj)) {
    obj["qx_id"] = Json::Int64(info.qx_id);
    obj["cpu_model"] = info.cpu_model;
    obj["cpu_vendor"] = info.cpu_vendor;
    obj["cpu_cores"] = Json::Int64(info.cpu_cores);
    obj["mem_total"] = Json::Int64(info.mem_total);
    obj["timezone"] = info.timezone;
    obj["time_server"] = info.time_server;
    obj["dns_server"] = info.dns_server;
    obj["gateway"] = info.gateway;
  }
  out.append(obj);
  return 0;
}

Json::Value columnValue(sqlite3_stmt* st, int c) {
  switch (sqlite3_column_type(st, c)) {
    case SQLITE_INTEGER:
      return Json::Int64(sqlite3_column_int64(st, c));
    case SQLITE_FLOAT:
      return sqlite3_column_double(st, c);
    case SQLITE_NULL:
      return Json::Value();
    default: {
      const unsigned char* t = sqlite3_column_text(st, c);
      int n = sqlite3_column_bytes(st, c);
      return t != nullptr ? Json::Value(reinterpret_cast<const char*>(t),
                                        reinterpret_cast<const char*>(t) + n)
                          : Json::Value("");
    }
  }
}

// The device's rows of one cache table, as objects keyed by column.
bool tableRows(sqlite3* db, const char* table, uint64_t qxId, Json::Value& out) {
  std::string sql = std::string("SELECT * FROM ") + table + " WHERE qx_id = ? ORDER BY rowid";
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) return false;
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> st(raw, sqlite3_finalize);
  sqlite3_bind_int64(raw, 1, static_cast<sqlite3_int64>(qxId));
  out = Json::Value(Json::arrayValue);
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    Json::Value row(Json::objectValue);
    for (int c = 0; c < sqlite3_column_count(raw); ++c) {
      row[sqlite3_column_name(raw, c)] = columnValue(raw, c);
    }
    out.append(row);
  }
  return rc == SQLITE_DONE;
}

int cacheJson(uint64_t qxId, Json::Value& out, std::string& err) {
  std::string path = rootPath(KEVO_CACHE_DB_PATH);
  sqlite3* raw = nullptr;
  // Opened for writing but only queried: a read-only connection would leave the WAL files
  // behind when it closes.
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  if (rc == SQLITE_OK) sqlite3_busy_timeout(raw, 5000);
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, "PRAGMA query_only=ON;", nullptr, nullptr, nullptr);
  out = Json::Value(Json::objectValue);
  for (const char* table : kCacheTables) {
    if (rc != SQLITE_OK || !tableRows(raw, table, qxId, out[table])) {
      err = "cannot read table " + std::string(table) + " of the cache database " + path + ": " +
            (raw != nullptr ? sqlite3_errmsg(raw) : "out of memory") + "; run 'flx-admin init'";
      return 1;
    }
  }
  return 0;
}

struct FileEntry {
  std::string path;
  struct stat st;
};

// Every regular file below the mirror folder (symbolic links are not followed), by path.
int filesJson(uint64_t qxId, Json::Value& out, std::string& err) {
  fs::path dir = rootPath(KEVO_QXINFO_DIR) + "/" + std::to_string(qxId);
  out = Json::Value(Json::arrayValue);
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(dir, ec))) return 0;
  std::vector<FileEntry> files;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    FileEntry f;
    if (lstat(it->path().c_str(), &f.st) != 0 || !S_ISREG(f.st.st_mode)) continue;
    f.path = it->path().lexically_relative(dir).string();
    files.push_back(f);
  }
  if (ec) {
    err = "cannot list the mirror folder " + dir.string() + ": " + ec.message();
    return 1;
  }
  std::sort(files.begin(), files.end(),
            [](const FileEntry& a, const FileEntry& b) { return a.path < b.path; });
  for (const FileEntry& f : files) {
    char mode[16];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(f.st.st_mode & 07777));
    Json::Value o(Json::objectValue);
    o["path"] = f.path;
    o["size"] = Json::Int64(f.st.st_size);
    o["mtime"] = Json::Int64(f.st.st_mtime);
    o["mode"] = mode;
    out.append(o);
  }
  return 0;
}

}  // namespace

int deviceShow(const std::string& sn, Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    KEVOFLX_QX dev;
    if (findDevice(sn, dev, err) != 0) return 1;
    Json::Value result(Json::objectValue);
    result["device"] = deviceJson(dev);
    if (appsJson(dev.id, result["applications"], err) != 0 ||
        pkgsJson(dev.id, result["packages"], err) != 0 ||
        infoJson(dev.id, result["info"], err) != 0 ||
        cacheJson(dev.id, result["cache"], err) != 0 ||
        filesJson(dev.id, result["files"], err) != 0) {
      return 1;
    }
    out.swap(result);
    return 0;
  });
}

}  // namespace flxadmin
