// One device whole: the registry's records, its cache rows and its mirror files.
#include <json/reader.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "flx.h"
#include "flx_schema.h"
#include "kevoroot.h"
#include "read_db.h"

namespace flxread {
namespace {

namespace fs = std::filesystem;

// Cache tables shown, each filtered by the device id.
const char* const kCacheTables[] = {"vol_info", "dg_info", "hdd_info", "share_info"};

// Parses `text` as a JSON object. False (out untouched) for anything else; never throws.
bool parseObject(const std::string& text, Json::Value& out) {
  try {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, nullptr)) return false;
    if (!value.isObject()) return false;
    out.swap(value);
    return true;
  } catch (...) {
    return false;
  }
}

// Copies the listed columns of a registry row, in order.
void copy(const Json::Value& row, std::initializer_list<const char*> keys, Json::Value& o) {
  for (const char* key : keys) o[key] = row[key];
}

// Non-empty names of `row`'s columns `<prefix><code>`, keyed by code.
Json::Value names(const Json::Value& row, const char* prefix, const char* const* codes, int n) {
  Json::Value out(Json::objectValue);
  for (int i = 0; i < n; ++i) {
    const Json::Value& v = row[std::string(prefix) + codes[i]];
    if (v.isString() && !v.asString().empty()) out[codes[i]] = v;
  }
  return out;
}

Json::Value deviceJson(const Json::Value& row) {
  Json::Value o(Json::objectValue);
  copy(row,
       {"id", "sn", "model_name", "version", "build_number", "smallfix_number", "hostname", "wol",
        "up_time", "cluster_role", "status"},
       o);
  Json::Value extra(Json::objectValue);
  parseObject(row["extra"].asString(), extra);
  o["extra"] = extra;
  return o;
}

Json::Value appJson(const Json::Value& row) {
  Json::Value o(Json::objectValue);
  o["app_id"] = row["app_id"];
  o["names"] = names(row, "name_", kKevoFlxAppLocales, KEVOFLX_APP_LOCALE_COUNT);
  copy(row, {"version", "icon_mtime", "protocol", "port", "url", "window_param", "is_package"}, o);
  Json::Value extra;  // null unless a stored object
  parseObject(row["extra"].asString(), extra);
  o["extra"] = extra;
  return o;
}

Json::Value pkgJson(const Json::Value& row) {
  Json::Value o(Json::objectValue);
  copy(row, {"pkg_id", "display_name"}, o);
  o["display_names"] = names(row, "display_name_", kKevoFlxPkgLangs, KEVOFLX_PKG_LANG_COUNT);
  copy(row,
       {"version", "version_bound_text", "version_bound_number", "version_bound_stamp", "status",
        "report", "dependencies", "conflicts", "startable", "silent_install", "silent_upgrade",
        "silent_uninstall"},
       o);
  return o;
}

// The stored info object; its fields when the stored text is not an object.
Json::Value infoJson(const Json::Value& row) {
  Json::Value obj(Json::objectValue);
  if (!parseObject(row["json"].asString(), obj)) {
    copy(row,
         {"qx_id", "cpu_model", "cpu_vendor", "cpu_cores", "mem_total", "timezone", "time_server",
          "dns_server", "gateway"},
         obj);
  }
  return obj;
}

// Every row of `sql` (one parameter: the device id) through `shape`.
template <class Shape>
bool listOf(ReadDb& db, const std::string& sql, int64_t id, Shape shape, Json::Value& out) {
  Query q(db, sql);
  q.bind(id);
  out = Json::Value(Json::arrayValue);
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) out.append(shape(q.row()));
  return rc == SQLITE_DONE;
}

struct FileEntry {
  std::string path;
  struct stat st;
};

// Every regular file below the mirror folder (symbolic links are not followed), by path.
Result filesJson(int64_t qxId, Json::Value& out, std::string& err) {
  fs::path dir = std::string(KEVORootPrefix()) + KEVO_QXINFO_DIR + "/" + std::to_string(qxId);
  out = Json::Value(Json::arrayValue);
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(dir, ec))) return kOk;
  std::vector<FileEntry> files;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    FileEntry f;
    if (lstat(it->path().c_str(), &f.st) != 0 || !S_ISREG(f.st.st_mode)) continue;
    f.path = it->path().lexically_relative(dir).string();
    files.push_back(f);
  }
  if (ec) {
    err = "cannot list the mirror folder " + dir.string() + ": " + ec.message();
    return kStoreFailed;
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
  return kOk;
}

Result show(const std::string& sn, Json::Value& out, std::string& err) {
  ReadDb db;
  Query dev(db, "SELECT * FROM " KEVOFLX_TABLE_DEVICES " WHERE sn = ?");
  dev.bind(sn);
  const int rc = dev.step();
  if (rc == SQLITE_DONE) {
    err = "no device with serial number '" + sn + "'; see 'flx-admin device list'";
    return kNotFound;
  }
  if (rc != SQLITE_ROW) return storeFailed(db, err);
  Json::Value result(Json::objectValue);
  result["device"] = deviceJson(dev.row());
  const int64_t id = dev.i64(0);
  auto same = [](const Json::Value& row) { return row; };
  bool ok = listOf(db, "SELECT * FROM " KEVOFLX_TABLE_APPS " WHERE qx_id = ? ORDER BY id", id,
                   appJson, result["applications"]) &&
            listOf(db, "SELECT * FROM " KEVOFLX_TABLE_PKGS " WHERE qx_id = ? ORDER BY id", id,
                   pkgJson, result["packages"]) &&
            listOf(db, "SELECT * FROM " KEVOFLX_TABLE_INFO " WHERE qx_id = ? ORDER BY id", id,
                   infoJson, result["info"]);
  Json::Value& cache = result["cache"] = Json::Value(Json::objectValue);
  for (const char* table : kCacheTables) {
    if (!ok) break;
    ok = listOf(db, std::string("SELECT * FROM c.") + table + " WHERE qx_id = ? ORDER BY rowid", id,
                same, cache[table]);
  }
  if (ok) {
    Query live(db, std::string("SELECT ") + kLivenessColumns + " FROM " KEVOFLX_TABLE_DEVICES " d" +
                       kLivenessJoin + " WHERE d.id = ?");
    live.bind(id);
    ok = live.step() == SQLITE_ROW;
    if (ok) {
      Json::Value& l = result["liveness"] = live.row();
      l["stale"] = l["stale"].asBool();
    }
  }
  if (!ok) return storeFailed(db, err);
  Result r = filesJson(id, result["files"], err);
  if (r != kOk) return r;
  out.swap(result);
  return kOk;
}

}  // namespace

Result deviceShow(const std::string& sn, Json::Value& out, std::string& err) {
  return guarded(err, [&] { return show(sn, out, err); });
}

}  // namespace flxread
