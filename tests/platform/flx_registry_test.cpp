// The device registry library against a real registry database in a fresh root.
#include <json/value.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <tuple>
#include <vector>

#include "flx.h"
#include "flxhandles.h"
#include "kevoroot.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

HashPtr filter(const char* key, const std::string& value) {
  HashPtr h = makeFilter(key, value);
  EXPECT_TRUE(h);
  return h;
}

class RegistryTest : public flxtest::RootTest {
 protected:
  static std::vector<std::string> appIds(uint64_t qxId) {
    std::vector<std::string> ids;
    for (const auto& a : flxtest::recordsOf(qxId, KEVOFLXAppList, KEVOFLXAppListFree)) {
      ids.push_back(a.app_id);
    }
    return ids;
  }
  static size_t pkgCount(uint64_t qxId) {
    return flxtest::recordsOf(qxId, KEVOFLXPkgList, KEVOFLXPkgListFree).size();
  }

  static KEVOFLX_APP app(uint64_t qxId, const std::string& id) {
    KEVOFLX_APP a;
    a.qx_id = qxId;
    a.app_id = id;
    a.name[0] = id + " name";
    return a;
  }
};

TEST_F(RegistryTest, DevicesAreCreatedListedStoredAndDeleted) {
  uint64_t a = addDevice("SN-A", "alpha");
  addDevice("SN-B");
  uint64_t dup = 0;
  EXPECT_GT(0, KEVOFLXQxCreate("SN-A", "", &dup));
  EXPECT_EQ(KEVOFLX_ERR_EXISTS, KVLIBErrGet());

  // Every field survives a store and a read, also an up time past the signed range.
  KEVOFLX_QX rec;
  ASSERT_EQ(0, KEVOFLXQxGetBySN("SN-A", &rec));
  rec.smallfix_number = -4;
  rec.up_time = UINT64_MAX - 5;
  rec.extra = "{\"ip\":\"10.0.0.1\"}";
  ASSERT_EQ(0, KEVOFLXQxItemSetStatus(&rec, KEVOFLX_QX_STATUS_ONLINE));
  ASSERT_EQ(0, KEVOFLXQxSet(&rec));
  KEVOFLX_QX* list = nullptr;
  int total = -1;
  ASSERT_EQ(0, KEVOFLXQxList(filter("sn", "SN-A").get(), &list, &total));
  ASSERT_EQ(1, total);
  EXPECT_EQ(a, list->id);
  EXPECT_EQ(-4, list->smallfix_number);
  EXPECT_EQ(UINT64_MAX - 5, list->up_time);
  EXPECT_EQ(rec.extra, list->extra);
  EXPECT_EQ(KEVOFLX_QX_STATUS_ONLINE, list->status);
  EXPECT_LE(time(nullptr) - 5, list->last_update);
  KEVOFLXQxListFree(&list);

  // A filter without "sn" lists every device, by id; serial numbers match exactly.
  ASSERT_EQ(0, KEVOFLXQxList(filter("other", "x").get(), &list, &total));
  ASSERT_EQ(2, total);
  EXPECT_EQ("SN-A SN-B", list->sn + " " + list->pNext->sn);
  KEVOFLXQxListFree(&list);
  ASSERT_EQ(0, KEVOFLXQxList(filter("sn", "sn-a").get(), &list, &total));
  EXPECT_EQ(nullptr, list);

  // Deleted ids are not given again: they name mirror folders.
  ASSERT_EQ(0, KEVOFLXQxDelete("SN-B"));
  EXPECT_GT(0, KEVOFLXQxDelete("SN-B"));
  EXPECT_EQ(3u, addDevice("SN-C"));
}

TEST_F(RegistryTest, DeletingADeviceTakesEverythingItOwns) {
  uint64_t keep = addDevice("KEEP");
  uint64_t gone = addDevice("GONE");
  for (uint64_t id : {keep, gone}) {
    KEVOFLX_APP a = app(id, "app");
    KEVOFLX_PKG p;
    p.qx_id = id;
    p.pkg_id = "pkg";
    KEVOFLX_INFO info;
    info.qx_id = id;
    ASSERT_EQ(0, KEVOFLXAppSet(&a) | KEVOFLXPkgSet(&p) | KEVOFLXInfoCreate(&info));
  }
  ASSERT_EQ(0, KEVOFLXQxDelete("GONE"));
  KEVOFLX_INFO info;
  EXPECT_TRUE(appIds(gone).empty() && pkgCount(gone) == 0 && KEVOFLXInfoGet(gone, &info) < 0);
  EXPECT_TRUE(appIds(keep).size() == 1 && pkgCount(keep) == 1 && KEVOFLXInfoGet(keep, &info) == 0);
}

TEST_F(RegistryTest, ApplicationSetCreatesOrReplacesKeepingTheRegistryId) {
  uint64_t qx = addDevice("SN-1");
  uint64_t other = addDevice("SN-2");
  KEVOFLX_APP a = app(qx, "photo");
  a.extra = "{\"k\":1}";
  ASSERT_EQ(0, KEVOFLXAppSet(&a));
  KEVOFLX_APP b = app(qx, "photo");  // as the handler does: a new record, registry id 0
  b.name[4] = "Fotos";
  KEVOFLX_APP c = app(qx, "Photo");  // ids are case-sensitive
  KEVOFLX_APP d = app(other, "photo");
  ASSERT_EQ(0, KEVOFLXAppSet(&b) | KEVOFLXAppSet(&c) | KEVOFLXAppSet(&d));
  EXPECT_EQ(a.id, b.id);

  EXPECT_EQ((std::vector<std::string>{"photo", "Photo"}), appIds(qx));
  const KEVOFLX_APP stored = flxtest::recordsOf(qx, KEVOFLXAppList, KEVOFLXAppListFree)[0];
  EXPECT_EQ(a.id, stored.id);
  EXPECT_EQ("Fotos|", stored.name[4] + "|" + stored.extra) << "replaced as a whole";
  ASSERT_EQ(0, KEVOFLXAppDelete(stored.id));
  EXPECT_EQ((std::vector<std::string>{"Photo"}), appIds(qx));
  KEVOFLX_APP orphan = app(4242, "x");
  EXPECT_GT(0, KEVOFLXAppSet(&orphan));
  EXPECT_EQ(KVERR_NOT_FOUND, KVLIBErrGet());
}

TEST_F(RegistryTest, PackagesReplaceInPlace) {
  uint64_t qx = addDevice("SN-1");
  KEVOFLX_PKG p;
  p.pkg_id = "Tool";
  p.qx_id = qx;
  p.display_names[3] = "Werkzeug";
  p.version_bound_stamp = UINT64_MAX;
  ASSERT_EQ(0, KEVOFLXPkgSet(&p));
  uint64_t id = p.id;
  p.version = "1.1-11";
  ASSERT_EQ(0, KEVOFLXPkgSet(&p));
  EXPECT_EQ(id, p.id);

  KEVOFLX_PKG got;
  ASSERT_EQ(0, KEVOFLXPkgGetBy(qx, "Tool", &got));
  EXPECT_EQ("Werkzeug|1.1-11", got.display_names[3] + "|" + got.version);
  EXPECT_EQ(UINT64_MAX, got.version_bound_stamp);
  EXPECT_GT(0, KEVOFLXPkgGetBy(qx, "tool", &got));
  ASSERT_EQ(0, KEVOFLXPkgDelete(id));
  EXPECT_GT(0, KEVOFLXPkgDelete(id));
  EXPECT_EQ(0u, pkgCount(qx));
}

TEST_F(RegistryTest, SessionsCheckExpiryApiClassAndDevice) {
  addDevice("SN-1");
  time_t now = time(nullptr);
  const std::string forever = "session-forever-01", expired = "session-expired-001",
                    admin = "session-admin-00001";
  ASSERT_EQ(0, KEVOFLXSessionCreate(forever, "SN-1", "", 0));
  ASSERT_EQ(0, KEVOFLXSessionCreate(expired, "SN-1", "", now));
  ASSERT_EQ(0, KEVOFLXSessionCreate(admin, "SN-1", "KEVO.ADMIN", 0));
  EXPECT_GT(0, KEVOFLXSessionCreate(forever, "SN-1", "", 0));
  EXPECT_EQ(KEVOFLX_ERR_EXISTS, KVLIBErrGet());
  EXPECT_GT(0, KEVOFLXSessionCreate("session-nodevice-1", "SN-9", "", 0));
  EXPECT_EQ(KVERR_NOT_FOUND, KVLIBErrGet());

  const char* push = KEVOFLX_DEFAULT_API_CLASS;
  const std::tuple<std::string, const char*, bool> cases[] = {
      {forever, push, true},
      {expired, push, false},
      {admin, push, false},
      {admin, "KEVO.ADMIN", true},
      {forever, "kevo.flx.rpc", false},
      {"SESSION-FOREVER-01", push, false},
  };
  for (const auto& [sid, apiClass, allowed] : cases) {
    std::string sn = "untouched";
    EXPECT_EQ(allowed, KEVOFLXQxCheckWebapiPriviege(sid, apiClass, sn)) << sid;
    EXPECT_EQ(allowed ? "SN-1" : "untouched", sn) << sid;
  }

  // A session follows its device's serial number; removed sessions are refused.
  KEVOFLX_QX rec;
  ASSERT_EQ(0, KEVOFLXQxGetBySN("SN-1", &rec));
  rec.sn = "SN-1b";
  ASSERT_EQ(0, KEVOFLXQxSet(&rec));
  std::string sn;
  EXPECT_TRUE(KEVOFLXQxCheckWebapiPriviege(forever, KEVOFLX_DEFAULT_API_CLASS, sn));
  EXPECT_EQ("SN-1b", sn);
  ASSERT_EQ(0, KEVOFLXSessionDelete(forever));
  EXPECT_FALSE(KEVOFLXQxCheckWebapiPriviege(forever, KEVOFLX_DEFAULT_API_CLASS, sn));
}

// A session id can be guessed when it is short: the registry itself refuses one under 16
// characters, when it is created and when a stored one (written by other means) is checked.
TEST_F(RegistryTest, ShortSessionIdsAreRefusedAtCreationAndAtTheCheck) {
  addDevice("SN-1");
  ASSERT_EQ(0, KEVOFLXSessionCreate("sixteen-chars-ok", "SN-1", "", 0));
  EXPECT_GT(0, KEVOFLXSessionCreate("fifteen-chars-x", "SN-1", "", 0));
  EXPECT_EQ(KVERR_INVALID_ARGUMENT, KVLIBErrGet());
  // Planted past the check at creation.
  query(
      "INSERT INTO sessions(sid, sn, api_class, expiry) VALUES"
      " ('x', 'SN-1', 'KEVO.FLX.RPC', 0), ('fifteen-chars-x', 'SN-1', 'KEVO.FLX.RPC', 0)",
      path(KEVO_REGISTRY_DB_PATH));
  for (const char* sid : {"x", "fifteen-chars-x", ""}) {
    std::string sn = "untouched";
    EXPECT_FALSE(KEVOFLXQxCheckWebapiPriviege(sid, KEVOFLX_DEFAULT_API_CLASS, sn)) << sid;
    EXPECT_EQ("untouched", sn) << sid;
  }
  std::string sn;
  EXPECT_TRUE(KEVOFLXQxCheckWebapiPriviege("sixteen-chars-ok", KEVOFLX_DEFAULT_API_CLASS, sn));
}

TEST_F(RegistryTest, InfoFromJsonKeepsTheObjectAndReadsKnownMembers) {
  uint64_t qx = addDevice("SN-1");
  // A timezone of the wrong type is left empty.
  Json::Value obj = flxtest::parse(R"({"cpu_model": "Atom C3538", "mem_total": 8589934592,
                                       "timezone": 5, "vendor_extra": {"nested": true}})");
  obj["qx_id"] = Json::Int64(qx);
  KEVOFLX_INFO info;
  ASSERT_EQ(0, KEVOFLXInfoJsonToStruct(obj, &info));
  EXPECT_EQ("Atom C3538||8589934592",
            info.cpu_model + "|" + info.timezone + "|" + std::to_string(info.mem_total));
  EXPECT_NE(std::string::npos, info.json.find("\"vendor_extra\":{\"nested\":true}"));
  EXPECT_EQ(std::string::npos, info.json.find('\n'));

  ASSERT_EQ(0, KEVOFLXInfoCreate(&info));
  int64_t id = info.id;
  obj["cpu_model"] = "Ryzen";
  ASSERT_EQ(0, KEVOFLXInfoJsonToStruct(obj, &info));
  ASSERT_EQ(0, KEVOFLXInfoCreate(&info));
  EXPECT_EQ(id, info.id);
  KEVOFLX_INFO got;
  ASSERT_EQ(0, KEVOFLXInfoGet(qx, &got));
  EXPECT_EQ("Ryzen", got.cpu_model);
  EXPECT_EQ(info.json, got.json);

  // Refused: not an object, no qx_id, a qx_id that is not an integer, an unknown device.
  for (Json::Value q : {Json::Value("1"), Json::Value(true), Json::Value(-3), Json::Value(1.5)}) {
    obj["qx_id"] = q;
    EXPECT_GT(0, KEVOFLXInfoJsonToStruct(obj, &got)) << q.toStyledString();
  }
  obj.removeMember("qx_id");
  EXPECT_GT(0, KEVOFLXInfoJsonToStruct(obj, &got));
  EXPECT_GT(0, KEVOFLXInfoJsonToStruct(Json::Value(1), &got));
  got.qx_id = 777;
  EXPECT_GT(0, KEVOFLXInfoCreate(&got));
}

TEST_F(RegistryTest, BadFiltersAndAMissingRegistryFailCleanly) {
  KEVOFLX_QX* qx = nullptr;
  KEVOFLX_PKG* pkgs = nullptr;
  int total = 5;
  for (const char* text : {"abc", "-1", "18446744073709551616"}) {
    EXPECT_GT(0, KEVOFLXPkgList(filter("qx_id", text).get(), &pkgs, &total)) << text;
    EXPECT_EQ(nullptr, pkgs);
  }
  // A root without the registry's folder: a database failure, no crash.
  setenv("FLX_ROOT", path("/nowhere").c_str(), 1);
  EXPECT_GT(0, KEVOFLXQxList(nullptr, &qx, &total));
  EXPECT_EQ(KEVOFLX_ERR_DATABASE, KVLIBErrGet());
  std::string sn;
  EXPECT_FALSE(KEVOFLXQxCheckWebapiPriviege("session-0000000001", KEVOFLX_DEFAULT_API_CLASS, sn));
  setenv("FLX_ROOT", root().c_str(), 1);
}

// The host runs with dropped ids and saved root ids. The connection is opened once with root's
// ids, which come back as they were; the process may then lose its saved root for good.
TEST_F(RegistryTest, OpensOnceWithRootIdsAndChangesNoIdsAfterwards) {
  flxtest::AsServerUser(false, [] {
    uint64_t id = 0;
    EXPECT_EQ(0, KEVOFLXQxCreate("DROPPED", "", &id));
    uid_t r, e, s;
    gid_t gr, ge, gs;
    ASSERT_EQ(0, getresuid(&r, &e, &s) | getresgid(&gr, &ge, &gs));
    EXPECT_EQ((std::vector<unsigned>{1024, 1024, 0, 100, 100, 0}),
              (std::vector<unsigned>{r, e, s, gr, ge, gs}));
    ASSERT_EQ(0, setresuid(1024, 1024, 1024));
    EXPECT_EQ(0, KEVOFLXQxCreate("LATER", "", &id));
  });
  if (IsSkipped()) return;
  KEVOFLX_QX rec;
  EXPECT_EQ(0, KEVOFLXQxGetBySN("LATER", &rec));
  struct stat st;
  ASSERT_EQ(0, stat(path(KEVO_REGISTRY_DB_PATH).c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

// A lock held longer than the waits, and a file that is not a database, fail with a line that
// says why; a short lock is waited out, and a replaced file is picked up.
TEST_F(RegistryTest, FailuresSayWhyAndTheConnectionRecovers) {
  addDevice("SN1");
  const std::string db = path(KEVO_REGISTRY_DB_PATH);
  sqlite3* other = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(db.c_str(), &other));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
  EXPECT_GT(0, KEVOFLXSessionCreate("session-while-locked", "SN1", "", 0));
  EXPECT_EQ(1, flxtest::LogCount("registry: cannot create session: database is locked"))
      << flxtest::LogDump();
  unsigned long long waited = 0;
  for (useconds_t us : flxtest::UsleepCalls()) waited += us;
  EXPECT_NEAR(60.0, waited / 1e6, 0.2) << "a minute of waits, as long as the cache database's";

  flxtest::ClearUsleeps();
  flxtest::SetUsleepHook([&](useconds_t) {
    if (flxtest::UsleepCalls().size() == 3)
      sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
  });
  EXPECT_EQ(0, KEVOFLXSessionCreate("session-after-lock", "SN1", "", 0));
  std::string sn;
  EXPECT_TRUE(KEVOFLXQxCheckWebapiPriviege("session-after-lock", KEVOFLX_DEFAULT_API_CLASS, sn));
  flxtest::SetUsleepHook(nullptr);
  ASSERT_EQ(SQLITE_OK,
            sqlite3_exec(other, "PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr));
  sqlite3_close(other);

  flxtest::ClearLog();
  ASSERT_EQ(0, rename(db.c_str(), (db + ".good").c_str()));
  writeFile(db, std::string(4096, 'x'));
  KEVOFLX_APP a = app(1, "x");
  EXPECT_GT(0, KEVOFLXAppSet(&a));
  EXPECT_EQ(1, flxtest::LogCount("registry: cannot store application: file is not a database"))
      << flxtest::LogDump();
  ASSERT_EQ(0, rename((db + ".good").c_str(), db.c_str()));
  EXPECT_EQ(0, KEVOFLXAppSet(&a));
  KEVOFLX_QX rec;
  EXPECT_EQ(0, KEVOFLXQxGetBySN("SN1", &rec)) << "what was stored before is intact";
}

}  // namespace
