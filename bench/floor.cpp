// flx-floor: the module against its floor. The floor does the store work a push of the demo
// batch must do (the same statements, one cache database connection per unit, the same
// registry calls and mirror file checks) with none of the module's own work (deciphering,
// JSON, privileged sections, logging). Rounds alternate module and floor in one process and
// print min and median of each and their ratio: the storage item, a 1,000-disk storage item
// and the whole batch. Both databases are held throughout as the host holds its --keep-open
// files: an idle connection each, and the host's policy for every other connection to them
// (--store-sync full: commits wait for the disk; --no-keep-open: nothing held), applied before
// this process opens either, as in the host.
#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>

#include "admin.h"
#include "api/webapi_flx_cache.h"
#include "bench_util.h"
#include "flx.h"
#include "handlers/cache_handler.h"
#include "host.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "webapi.h"

namespace {

const char kSn[] = "FLOOR0000001";
const char kSid[] = "floor-session-0000000001";

using Db = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using Hash = std::unique_ptr<KVSZHASH, decltype(&KVLIBSzHashFree)>;
using List = std::unique_ptr<KVSZLIST, decltype(&KVLIBSzListFree)>;

std::string RootPath(const std::string& below) {
  return KEVORootPrefix() + below;
}

// ---- the floor's pieces: what the design makes every push pay ----

// One statement as the module runs it: foreign keys on, then the statement, one exec.
void Exec(sqlite3* db, const char* sql) {
  const std::string text = std::string("PRAGMA foreign_keys=ON;") + sql;
  char* err = nullptr;
  if (sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    fprintf(stderr, "flx-floor: %s: %s\n", sql, err ? err : "?");
    sqlite3_free(err);
  }
}

Db OpenCache() {
  sqlite3* db = nullptr;
  sqlite3_open(RootPath(KEVO_CACHE_DB_PATH).c_str(), &db);
  return Db(db, sqlite3_close);
}

// A unit of work with its own connection: open, the statements, close.
void Unit(const std::vector<std::string>& statements) {
  Db db = OpenCache();
  for (const std::string& sql : statements) Exec(db.get(), sql.c_str());
}

uint64_t DeviceId() {
  Hash filter(KVLIBSzHashAlloc(1024), KVLIBSzHashFree);
  KVSZHASH* raw = filter.release();
  KVLIBSzHashSetValue(&raw, "sn", kSn);
  filter.reset(raw);
  KEVOFLX_QX* list = nullptr;
  int total = 0;
  KEVOFLXQxList(filter.get(), &list, &total);
  const uint64_t id = list != nullptr ? list->id : 0;
  KEVOFLXQxListFree(&list);
  return id;
}

// The stat that tells an unchanged mirror file; a changed one is rewritten and stamped.
void MirrorFile(const std::string& path, const std::string& bytes, uint64_t mtime) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == bytes.size() &&
      static_cast<uint64_t>(st.st_mtime) == mtime)
    return;
  std::ofstream(path, std::ios::trunc | std::ios::binary) << bytes;
  struct timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string Decode(const Json::Value& file) {
  const std::string text = file["data"].asString();
  std::vector<unsigned char> out(text.size() + 1);
  int n = static_cast<int>(out.size());
  KVLIBBase64Decode(text.c_str(), static_cast<int>(text.size()), out.data(), &n);
  return std::string(reinterpret_cast<char*>(out.data()), n > 0 ? static_cast<size_t>(n) : 0);
}

// The rows of a storage item, formatted once: the floor only runs them.
std::vector<std::vector<std::string>> StorageUnits(const Json::Value& d, uint64_t t, uint64_t id) {
  std::vector<std::vector<std::string>> units;
  auto add = [&](char* row, const char* table) {
    char* purge = sqlite3_mprintf("DELETE FROM %s WHERE mtime != %llu AND qx_id == %lu;", table,
                                  (unsigned long long)t, (unsigned long)id);
    units.push_back({row, purge});
    sqlite3_free(row);
    sqlite3_free(purge);
  };
  auto s = [](const Json::Value& v, const char* k) { return v[k].asString(); };
  for (const Json::Value& v : d["vol"]) {
    add(sqlite3_mprintf("INSERT OR REPLACE INTO vol_info (name, status, raid_type, pool_path, "
                        "size_total, size_used, mtime, qx_id) VALUES ('%q', '%q', '%q', '%q', "
                        "%llu, %llu, %llu, %lu);",
                        s(v, "id").c_str(), s(v, "status").c_str(), s(v, "raid_type").c_str(),
                        s(v, "pool_path").c_str(), v["size_total"].asUInt64(),
                        v["size_used"].asUInt64(), (unsigned long long)t, (unsigned long)id),
        "vol_info");
  }
  for (const Json::Value& v : d["dg"]) {
    add(sqlite3_mprintf(
            "INSERT OR REPLACE INTO dg_info (name, status, raid_type, size_total, "
            "size_used, mtime, qx_id) VALUES ('%q', '%q', '%q', %llu, %llu, %llu, %lu);",
            s(v, "id").c_str(), s(v, "status").c_str(), s(v, "raid_type").c_str(),
            v["size_total"].asUInt64(), v["size_used"].asUInt64(), (unsigned long long)t,
            (unsigned long)id),
        "dg_info");
  }
  for (const Json::Value& v : d["hdd"]) {
    add(sqlite3_mprintf(
            "INSERT OR REPLACE INTO hdd_info (dev, status, smart_status, model, bus, used_by, "
            "name, disk_type, ctn_name, ctn_type, temp, size_total, mtime, qx_id) VALUES ('%q', "
            "'%q', '%q', '%q', '%q', '%q', '%q', '%q', '%q', '%q', %d, %llu, %llu, %lu);",
            s(v, "id").c_str(), s(v, "status").c_str(), s(v, "smart_status").c_str(),
            s(v, "model").c_str(), s(v, "bus").c_str(), s(v, "used_by").c_str(),
            s(v, "name").c_str(), s(v, "disk_type").c_str(), s(v, "ctn_name").c_str(),
            s(v, "ctn_name").c_str(), v["temp"].asInt(), v["size_total"].asUInt64(),
            (unsigned long long)t, (unsigned long)id),
        "hdd_info");
  }
  return units;
}

void FloorStorage(const std::vector<std::vector<std::string>>& units) {
  DeviceId();
  for (const auto& unit : units) Unit(unit);
}

// The whole demo batch: every item's store work, in the batch's order.
class FloorBatch {
 public:
  FloorBatch(const Json::Value& batch, uint64_t id)
      : id_(id), mirror_(RootPath(KEVO_QXINFO_DIR) + "/" + std::to_string(id)) {
    for (const Json::Value& item : batch) data_[item["module_name"].asString()] = item;
    storage_ =
        StorageUnits(data_["storage"]["data"], data_["storage"]["collect_time"].asUInt64(), id);
    const Json::Value& share = data_["share"];
    for (const Json::Value& v : share["data"]["share"]) {
      char* row = sqlite3_mprintf(
          "INSERT OR REPLACE INTO share_info (name, description, vol_id, hidden, mtime, qx_id, "
          "display_vol_name) VALUES ('%q', '%q', '%q', %lu, %llu, %lu, '%q');",
          v["name"].asCString(), v["desc"].asCString(), v["vol_id"].asCString(),
          (unsigned long)v["hidden"].asInt(), (unsigned long long)share["collect_time"].asUInt64(),
          (unsigned long)id, v["display_vol_name"].asCString());
      shareRows_.push_back(row);
      sqlite3_free(row);
    }
    char* purge =
        sqlite3_mprintf("DELETE FROM share_info WHERE mtime != %llu AND qx_id == %lu;",
                        (unsigned long long)share["collect_time"].asUInt64(), (unsigned long)id);
    sharePurge_ = purge;
    sqlite3_free(purge);
  }

  void Run() {
    std::string sn;
    KEVOFLXQxCheckWebapiPriviege(kSid, "KEVO.FLX.RPC", sn);
    Basic();
    Info();
    FloorStorage(storage_);
    Share();
    Applications();
    Packages();
  }

 private:
  void Basic() {
    Hash filter = SnFilter();
    KEVOFLX_QX* list = nullptr;
    int total = 0;
    KEVOFLXQxList(filter.get(), &list, &total);
    if (list != nullptr) KEVOFLXQxSet(list);
    KEVOFLXQxListFree(&list);
    KEVOFSMkdirP(mirror_.c_str(), NULL, TRUE, UID_ERR, GID_ERR, -1);
    const Json::Value& f = data_["basic"]["data"]["kevoinfo"];
    MirrorFile(mirror_ + "/kevoinfo.conf", Decode(f), f["mtime"].asUInt64());
  }

  void Info() {
    Db unit = OpenCache();
    KEVOFLX_QX qx;
    KEVOFLXQxGetBySN(kSn, &qx);
    Json::Value copy = data_["info"]["data"];
    copy["qx_id"] = Json::Value(static_cast<Json::Int64>(qx.id));
    KEVOFLX_INFO info;
    KEVOFLXInfoJsonToStruct(copy, &info);
    KEVOFLXInfoCreate(&info);
  }

  void Share() {
    Db unit = OpenCache();
    DeviceId();
    for (const std::string& row : shareRows_) Unit({row});
    Exec(unit.get(), sharePurge_.c_str());
  }

  void Applications() {
    DeviceId();
    for (const Json::Value& app : data_["applications"]["data"]["applications"]) {
      const std::string folder = mirror_ + "/apps/" + app["id"].asString();
      for (const char* key : {"icon", "icon_256"}) {
        const std::string path = folder + "/" + key + ".png";
        struct stat st;
        if (stat(path.c_str(), &st) == 0 &&
            st.st_mtime == app[std::string(key) + "_mtime"].asInt64())
          continue;
        KEVOFSMkdirP(folder.c_str(), NULL, TRUE, UID_ERR, GID_ERR, -1);
        Json::Value file;
        file["data"] = app[key];
        MirrorFile(path, Decode(file), app[std::string(key) + "_mtime"].asUInt64());
      }
      KEVOFLX_APP rec;
      rec.app_id = app["id"].asString();
      rec.qx_id = id_;
      rec.name[0] = app["name"].isObject() ? app["name"]["enu"].asString() : "";
      rec.version = app["version"].asString();
      rec.protocol = app["protocol"].asString();
      rec.url = app["url"].asString();
      rec.window_param = app["windowParam"].asString();
      rec.extra = app["extra"].toStyledString();
      KEVOFLXAppSet(&rec);
    }
    Hash filter = QxIdFilter();
    KEVOFLX_APP* list = nullptr;
    int total = 0;
    KEVOFLXAppList(filter.get(), &list, &total);
    KEVOFLXAppListFree(&list);
  }

  void Packages() {
    DeviceId();
    {
      Hash filter = QxIdFilter();
      KEVOFLX_PKG* list = nullptr;
      int total = 0;
      KEVOFLXPkgList(filter.get(), &list, &total);
      KEVOFLXPkgListFree(&list);
    }
    const Json::Value& d = data_["package"]["data"];
    const std::string pkgs = mirror_ + "/pkgs";
    KEVOFSMkdirP(pkgs.c_str(), NULL, TRUE, UID_ERR, GID_ERR, -1);
    MirrorFile(pkgs + "/kevopackageslimit.conf", Decode(d["packagelimit"]),
               d["packagelimit"]["mtime"].asUInt64());
    for (const Json::Value& pkg : d["packages"]) {
      const std::string id = pkg["id"].asString();
      const std::string folder = pkgs + "/" + id;
      KEVOFSMkdirP(folder.c_str(), NULL, TRUE, UID_ERR, GID_ERR, -1);
      MirrorFile(folder + "/INFO", Decode(pkg["info"]), pkg["info"]["mtime"].asUInt64());
      KEVOFSMkdirP((folder + "/conf").c_str(), NULL, TRUE, UID_ERR, GID_ERR, -1);
      for (const std::string& name : pkg["conf"].getMemberNames())
        MirrorFile(folder + "/conf/" + name, Decode(pkg["conf"][name]),
                   pkg["conf"][name]["mtime"].asUInt64());
      KEVOFLX_PKG rec;
      if (KEVOFLXPkgGetBy(id_, id.c_str(), &rec) < 0) KEVOFLXPkgClear(&rec);
      rec.qx_id = id_;
      rec.pkg_id = id;
      rec.version = pkg["version"].asString();
      ReadInfo(folder + "/INFO", rec);
      for (const char* rules : {"/conf/PKG_DEPS", "/conf/PKG_CONX"}) ReadRules(folder + rules);
      KEVOFLXPkgSet(&rec);
    }
  }

  // The INFO keys and the host's language list, read back as the record needs them.
  static void ReadInfo(const std::string& path, KEVOFLX_PKG& rec) {
    char langs[256] = {0};
    KVLIBFileGetKeyValue(RootPath(KEVO_HOST_CONF_PATH).c_str(), "supplang", langs, sizeof langs, 0);
    List keys(KVLIBSzListAlloc(512), KVLIBSzListFree);
    KVSZLIST* rawKeys = keys.release();
    for (const char* k :
         {"report_url", "install_dep_packages", "install_conflict_packages", "startable",
          "displayname", "silent_install", "silent_upgrade", "silent_uninstall"})
      KVLIBSzListPush(&rawKeys, k);
    keys.reset(rawKeys);
    Hash values(KVLIBSzHashAlloc(512), KVLIBSzHashFree);
    KVSZHASH* raw = values.release();
    KVLIBFileGetKeys(path.c_str(), keys.get(), &raw, "=");
    values.reset(raw);
    if (const char* name = KVLIBSzHashGetValue(values.get(), "displayname"))
      rec.display_name = name;
  }

  // A rule file, read once with all its sections.
  static void ReadRules(const std::string& path) {
    if (access(path.c_str(), F_OK) != 0) return;
    KVLIBFileEachSection(
        path.c_str(), [](const char*, const KVSZHASH*, void*) { return 0; }, nullptr);
  }

  static Hash SnFilter() {
    Hash filter(KVLIBSzHashAlloc(1024), KVLIBSzHashFree);
    KVSZHASH* raw = filter.release();
    KVLIBSzHashSetValue(&raw, "sn", kSn);
    filter.reset(raw);
    return filter;
  }
  Hash QxIdFilter() const {
    Hash filter(KVLIBSzHashAlloc(1024), KVLIBSzHashFree);
    KVSZHASH* raw = filter.release();
    KVLIBSzHashSetValue(&raw, "qx_id", std::to_string(id_).c_str());
    filter.reset(raw);
    return filter;
  }

  uint64_t id_;
  std::string mirror_;
  std::map<std::string, Json::Value> data_;
  std::vector<std::vector<std::string>> storage_;
  std::vector<std::string> shareRows_;
  std::string sharePurge_;
};

// ---- the module ----

// The batch's items with each payload enciphered, as set_v1 receives them.
Json::Value EncipheredItems(const Json::Value& batch) {
  unsigned char key[32];
  KVLIBCryptReadKeyFile(RootPath(KEVO_PUSH_KEY_PATH).c_str(), key);
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  Json::Value items(Json::arrayValue);
  for (Json::Value item : batch) {
    const std::string plain = Json::writeString(w, item["data"]);
    std::string chunk(static_cast<size_t>(KVLIBCryptSzChunkSize(static_cast<int>(plain.size()))),
                      '\0');
    KVLIBCryptSzEncryptWithKey(key, plain.data(), static_cast<int>(plain.size()), &chunk[0],
                               static_cast<int>(chunk.size()));
    item["data"] = Json::Value(Json::arrayValue);
    item["data"].append(std::string(chunk.c_str()));
    items.append(item);
  }
  return items;
}

// A storage item of `disks` disks (and one volume and disk group).
Json::Value BigStorage(int disks) {
  Json::Value d;
  d["vol"][0]["id"] = "vol1";
  d["dg"][0]["id"] = "dg1";
  d["hdd"] = Json::Value(Json::arrayValue);
  for (int i = 0; i < disks; ++i) {
    Json::Value h;
    h["id"] = "sd" + std::to_string(i);
    for (const char* k :
         {"status", "smart_status", "model", "bus", "used_by", "name", "disk_type", "ctn_name"})
      h[k] = std::string(k) + "-value";
    h["temp"] = 35;
    h["size_total"] = Json::UInt64(4000787030016ULL);
    d["hdd"].append(h);
  }
  return d;
}

double Ms(const std::function<void()>& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

struct Pair {
  const char* name;
  std::function<void()> module;
  std::function<void()> floor;
  std::function<bool()> check;  // the module's last call succeeded
  std::vector<double> m, f;
};

void Report(Pair& p) {
  std::sort(p.m.begin(), p.m.end());
  std::sort(p.f.begin(), p.f.end());
  const double mm = p.m[p.m.size() / 2], fm = p.f[p.f.size() / 2];
  printf(
      "%-22s module min %8.2f med %8.2f ms | floor min %8.2f med %8.2f ms | ratio min %.2f med "
      "%.2f\n",
      p.name, p.m.front(), mm, p.f.front(), fm, p.m.front() / p.f.front(), mm / fm);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  bool noKeepOpen = false;
  int disks = 1000;
  std::string batchFile = FLX_SOURCE_DIR "/examples/demo-batch.json";
  CLI::App app{"The module against the floor of its store work, in one process"};
  app.add_option("--rounds", rounds, "rounds of each measure")->capture_default_str();
  app.add_option("--disks", disks, "disks of the large storage item")->capture_default_str();
  app.add_option("--batch", batchFile, "the batch")->capture_default_str();
  app.add_flag("--no-keep-open", noKeepOpen, "hold no idle connections to the databases");
  std::string sync = "normal";
  app.add_option("--store-sync", sync, "commits to the held databases: normal or full")
      ->capture_default_str()
      ->check(CLI::IsMember({"normal", "full"}));
  CLI11_PARSE(app, argc, argv);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  flxbench::TempRoot root("/tmp/flx-floor");
  std::string err, sid = kSid;
  uint64_t id = 0;
  // The set-up runs in a child, as flx-admin does beside the host: the registry library's one
  // connection of this process must open after the store settings below apply, or both sides
  // would pay full commits on the registry.
  const pid_t setup = fork();
  if (setup == 0) {
    const bool ok = flxadmin::init(err) == 0 && flxadmin::deviceAdd(kSn, "", id, err) == 0 &&
                    flxadmin::sessionAdd(kSn, sid, 0, err) == 0;
    if (!ok) fprintf(stderr, "flx-floor: set-up failed: %s\n", err.c_str());
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  if (setup < 0 || waitpid(setup, &status, 0) != setup || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return 1;
  }
  webapihost::IdleConnections idle;
  webapihost::StorePolicy policy;
  policy.relaxSync = sync == "normal";
  webapihost::KeepFreedMemory();
  if (!noKeepOpen) {
    idle.Open(RootPath(KEVO_CACHE_DB_PATH), policy);
    idle.Open(RootPath(KEVO_REGISTRY_DB_PATH), policy);
  }
  KEVOFLX_QX device;
  if (KEVOFLXQxGetBySN(kSn, &device) != 0) {
    fprintf(stderr, "flx-floor: the device %s is not registered\n", kSn);
    return 1;
  }
  id = device.id;
  std::ifstream in(batchFile);
  Json::Value batch;
  Json::CharReaderBuilder reader;
  if (!Json::parseFromStream(reader, in, &batch, &err)) {
    fprintf(stderr, "flx-floor: %s: %s\n", batchFile.c_str(), err.c_str());
    return 1;
  }
  Json::Value storage;
  for (const Json::Value& item : batch)
    if (item["module_name"] == "storage") storage = item;
  const uint64_t t = storage["collect_time"].asUInt64();
  const auto storageUnits = StorageUnits(storage["data"], t, id);
  const Json::Value big = BigStorage(disks);
  const auto bigUnits = StorageUnits(big, t, id);
  FloorBatch floorBatch(batch, id);
  Json::Value params;
  params["client_sn"] = kSn;
  params["items"] = EncipheredItems(batch);
  KEVO::APIRequest request("KEVO.FLX.RPC.ClientInfo", 1, "push", params, sid, "127.0.0.1");

  int rc = 0;
  KEVO::APIResponse response;
  const auto ok = [&] { return rc == 0; };
  std::vector<Pair> pairs = {
      {"storage item",
       [&] { rc = storageCacheUpdate(kSn, t, storage["data"]); },
       [&] { FloorStorage(storageUnits); },
       ok,
       {},
       {}},
      {"whole batch",
       [&] {
         response = KEVO::APIResponse();
         set_v1(&request, &response);
       },
       [&] { floorBatch.Run(); },
       [&] { return response.IsSuccess(); },
       {},
       {}},
      {"1,000-disk item",
       [&] { rc = storageCacheUpdate(kSn, t, big); },
       [&] { FloorStorage(bigUnits); },
       ok,
       {},
       {}},
  };
  pairs[2].name = disks == 1000 ? "1,000-disk item" : "large storage item";
  printf("flx-floor: %d rounds, %s, load average %s\n", rounds,
         noKeepOpen         ? "no idle connections"
         : sync == "normal" ? "both databases held as the host does (synchronous=NORMAL)"
                            : "both databases held as the host does (--store-sync full)",
         flxbench::LoadAverage().c_str());
  for (Pair& p : pairs) {
    p.module();  // warm: files, rows and pages in place
    p.floor();
    if (!p.check()) {
      fprintf(stderr, "flx-floor: the module failed the %s; see the system log\n", p.name);
      return 1;
    }
    const int n = &p == &pairs[2] ? std::max(3, rounds / 3) : rounds;
    for (int i = 0; i < n; ++i) {  // who goes first alternates, so neither pays for the other
      if (i % 2 == 0) p.m.push_back(Ms(p.module));
      p.f.push_back(Ms(p.floor));
      if (i % 2 == 1) p.m.push_back(Ms(p.module));
    }
    Report(p);
  }
  printf("load average after %s\n", flxbench::LoadAverage().c_str());
  return 0;
}
