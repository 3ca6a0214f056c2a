// Operating the host's stores: schema migrations, backup / verify / restore, and the check.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "admin.h"
#include "admin_backup.h"
#include "admin_check.h"
#include "admin_device.h"
#include "common/device_lock.h"
#include "flx.h"
#include "flxhistory.h"
#include "flxspool.h"
#include "kevodb.h"
#include "kevoroot.h"
#include "platform/flx/src/records.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "writer.h"

namespace {

using flxtest::RootTest;

class OperateTest : public RootTest {
 protected:
  std::string registry() const { return path(KEVO_REGISTRY_DB_PATH); }
  std::string scratch(const std::string& name) const { return path("/scratch-" + name); }

  // Every device's `device show`, by serial number.
  static std::map<std::string, std::string> showAll() {
    std::map<std::string, std::string> out;
    Json::Value list;
    std::string err;
    EXPECT_EQ(0, flxadmin::deviceStates(list, err)) << err;
    for (const Json::Value& d : list) {
      Json::Value show;
      EXPECT_EQ(0, flxadmin::deviceShow(d["sn"].asString(), show, err)) << err;
      out[d["sn"].asString()] = show.toStyledString();
    }
    return out;
  }

  // Points the process at another root (a fresh FLX_ROOT), closing the registry's connection.
  static void useRoot(const std::string& dir) {
    mkdir(dir.c_str(), 0755);
    setenv("FLX_ROOT", dir.c_str(), 1);
  }

  // A fleet of `n` devices, each with a session, a volume row and a mirror file.
  void fleet(int n) {
    for (int i = 0; i < n; ++i) {
      const std::string sn = "SN" + std::to_string(i);
      const uint64_t id = addDevice(sn, "h0");
      addSession(sn);
      query("INSERT INTO vol_info(name, size_used, qx_id) VALUES('vol1', 0, " + std::to_string(id) +
            ")");
      writeFile(mirrorDir(id) + "/seq", "0");
    }
  }
};

// --- schema steps ---

TEST_F(OperateTest, InitMigratesEachEarlierRegistryAndOperationsRefuseAnOldOne) {
  // Registries as earlier releases left them: an empty file, version 1 (before operators),
  // and a database from before versions were kept.
  const struct {
    const char* name;
    std::function<void(sqlite3*)> make;
  } cases[] = {
      {"empty", [](sqlite3*) {}},
      {"version 1",
       [](sqlite3* db) {
         std::vector<kevo::SchemaStep> steps = flxreg::schemaSteps();
         steps.resize(1);
         int from = 0;
         std::string err;
         ASSERT_TRUE(kevo::sqliteMigrate(db, steps, from, err)) << err;
         ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "INSERT INTO devices(sn) VALUES('OLD')", nullptr,
                                           nullptr, nullptr));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((registry() + suffix).c_str());
    {
      sqlite3* db = nullptr;
      ASSERT_EQ(SQLITE_OK, sqlite3_open(registry().c_str(), &db));
      c.make(db);
      sqlite3_close(db);
    }
    flxtest::ClearLog();
    uint64_t id = 0;
    EXPECT_GT(0, KEVOFLXQxCreate("NEW", "", &id)) << "an operation never migrates";
    EXPECT_EQ(1, flxtest::LogCount("run 'flx-admin init' to migrate it")) << flxtest::LogDump();
    std::string err;
    ASSERT_EQ(0, flxadmin::init(err)) << err;
    EXPECT_EQ(std::to_string(KEVOFLXSchemaVersion()), query("PRAGMA user_version", registry()));
    EXPECT_EQ(0, KEVOFLXQxCreate("NEW", "", &id));
    EXPECT_EQ("0", query("SELECT count(*) FROM operators", registry()));
  }
  EXPECT_EQ("NEW\nOLD", query("SELECT sn FROM devices ORDER BY sn", registry()));
  // The version each library names is its last step's (a step added without the bump is not).
  EXPECT_EQ(KEVOFLXSchemaVersion(), flxreg::schemaSteps().back().version);
  EXPECT_EQ(flxhistory::kHistorySchemaVersion, flxhistory::historySteps().back().version);
}

TEST_F(OperateTest, AFailingStepLeavesTheLastWholeOneAndADoneStepIsOnlyCounted) {
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(":memory:", &db));
  const std::vector<kevo::SchemaStep> steps = {
      {1, "CREATE TABLE a(x)", nullptr},
      {2, "CREATE TABLE b(x)", "SELECT 1 FROM sqlite_master WHERE name = 'a'"},
      {3, "CREATE TABLE c(x); INSERT INTO missing VALUES(1)", nullptr},
  };
  int from = -1;
  std::string err;
  EXPECT_FALSE(kevo::sqliteMigrate(db, steps, from, err));
  EXPECT_NE(std::string::npos, err.find("step 3")) << err;
  EXPECT_EQ(0, from);
  EXPECT_EQ(2, kevo::sqliteUserVersion(db));
  std::string tables;
  sqlite3_exec(
      db, "SELECT group_concat(name) FROM sqlite_master",
      [](void* out, int, char** v, char**) {
        *static_cast<std::string*>(out) = v[0] != nullptr ? v[0] : "";
        return 0;
      },
      &tables, nullptr);
  EXPECT_EQ("a", tables) << "step 2 was already there, step 3 rolled back";
  sqlite3_close(db);
}

// --- backup, verify, restore ---

// Writes as a push does, under the device's lock: the registry's host name, the cache's
// volume row and the mirror file all carry the same number.
void pushLoop(int devices, int rounds, int started) {
  sqlite3* cache = nullptr;
  sqlite3_open((std::string(KEVORootPrefix()) + KEVO_CACHE_DB_PATH).c_str(), &cache);
  sqlite3_busy_timeout(cache, 10000);
  for (int r = 1; r <= rounds; ++r) {
    for (int i = 0; i < devices; ++i) {
      KEVOFLX_QX dev;
      const std::string sn = "SN" + std::to_string(i);
      if (KEVOFLXQxGetBySN(sn.c_str(), &dev) != 0) _exit(2);
      // The fake usleep of the tests does not wait: a lock held by the backup is waited for here.
      std::unique_ptr<DeviceLock> lock;
      for (;;) {
        lock.reset(new DeviceLock(dev.id, 0));
        if (lock->held()) break;
        const struct timespec step = {0, 1000 * 1000};
        nanosleep(&step, nullptr);
      }
      dev.hostname = "h" + std::to_string(r);
      const std::string id = std::to_string(dev.id), seq = std::to_string(r);
      if (KEVOFLXQxSet(&dev) != 0 ||
          sqlite3_exec(cache,
                       ("UPDATE vol_info SET size_used = " + seq + " WHERE qx_id = " + id).c_str(),
                       nullptr, nullptr, nullptr) != SQLITE_OK)
        _exit(3);
      const std::string file = std::string(KEVORootPrefix()) + KEVO_QXINFO_DIR + "/" + id + "/seq";
      const std::string tmp = file + ".tmp";
      std::ofstream(tmp) << seq;
      if (rename(tmp.c_str(), file.c_str()) != 0) _exit(4);
    }
    if (r == 1) (void)!write(started, "x", 1);
  }
  sqlite3_close(cache);
  _exit(0);
}

TEST_F(OperateTest, BackupWhilePushingRestoresAConsistentFleet) {
  const int kDevices = 10;
  fleet(kDevices);
  int started[2];
  ASSERT_EQ(0, pipe(started));
  const pid_t pusher = fork();
  ASSERT_LE(0, pusher);
  if (pusher == 0) pushLoop(kDevices, 20, started[1]);
  char c;
  ASSERT_EQ(1, read(started[0], &c, 1));
  close(started[0]);
  close(started[1]);
  const std::string dir = scratch("backup1");
  flxadmin::BackupReport report;
  std::string err;
  ASSERT_EQ(0, flxadmin::backup(dir, report, err)) << err;
  int status = 0;
  waitpid(pusher, &status, 0);
  ASSERT_EQ(0, status) << "the pushes went on through the backup";
  EXPECT_EQ("h20", query("SELECT hostname FROM devices WHERE sn = 'SN0'", registry()));
  EXPECT_EQ(kDevices, report.counts["devices"].asInt());

  std::vector<std::string> problems;
  EXPECT_EQ(0, flxadmin::verifyBackup(dir, problems, err)) << err;
  // A quiet backup of the end state too: restored, it shows every device as the root does.
  const std::string quiet = scratch("backup2");
  ASSERT_EQ(0, flxadmin::backup(quiet, report, err)) << err;
  const auto before = showAll();

  useRoot(scratch("restored1"));
  ASSERT_EQ(0, flxadmin::restore(dir, err)) << err;
  // Each device as one push left it: host name, volume row and mirror file agree.
  for (int i = 0; i < kDevices; ++i) {
    Json::Value show;
    ASSERT_EQ(0, flxadmin::deviceShow("SN" + std::to_string(i), show, err)) << err;
    const std::string seq = show["device"]["hostname"].asString().substr(1);
    EXPECT_EQ(seq, show["cache"]["vol_info"][0]["size_used"].asString()) << i;
    EXPECT_EQ(seq, readFile(std::string(KEVORootPrefix()) + KEVO_QXINFO_DIR + "/" +
                            show["device"]["id"].asString() + "/seq"))
        << i;
  }
  useRoot(scratch("restored2"));
  ASSERT_EQ(0, flxadmin::restore(quiet, err)) << err;
  EXPECT_EQ(before, showAll());
  EXPECT_EQ(readFile(path(KEVO_PUSH_KEY_PATH)),
            readFile(std::string(KEVORootPrefix()) + KEVO_PUSH_KEY_PATH));
}

TEST_F(OperateTest, ATamperedBackupDoesNotVerifyNorRestore) {
  fleet(2);
  const struct {
    const char* name;
    std::function<void(const std::string&)> tamper;
    const char* problem;
  } cases[] = {
      {"a changed byte",
       [](const std::string& d) {
         std::fstream f(d + "/qxinfo/1/seq", std::ios::in | std::ios::out);
         f << "9";
       },
       "checksum differs: qxinfo/1/seq"},
      {"a missing file", [](const std::string& d) { unlink((d + "/etc/push.key").c_str()); },
       "missing: etc/push.key"},
      {"an added file", [](const std::string& d) { writeFile(d + "/qxinfo/1/extra", "x"); },
       "not in the manifest: qxinfo/1/extra"},
      {"a cut database",
       [](const std::string& d) { (void)!truncate((d + "/db/flx_registry.sqlite").c_str(), 4096); },
       "size differs"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratch("tampered" + std::to_string(n++));
    flxadmin::BackupReport report;
    std::string err;
    ASSERT_EQ(0, flxadmin::backup(dir, report, err)) << err;
    c.tamper(dir);
    std::vector<std::string> problems;
    EXPECT_EQ(1, flxadmin::verifyBackup(dir, problems, err));
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(std::string::npos, problems.front().find(c.problem)) << problems.front();
    const std::string here = root();
    useRoot(scratch("into" + std::to_string(n)));
    EXPECT_EQ(1, flxadmin::restore(dir, err));
    EXPECT_NE(std::string::npos, err.find("does not verify")) << err;
    setenv("FLX_ROOT", here.c_str(), 1);
  }
}

TEST_F(OperateTest, RestoreRefusesARunningHostANewerSchemaAndAFullRoot) {
  fleet(1);
  std::string err;
  flxadmin::BackupReport report;
  const std::string dir = scratch("plain");
  ASSERT_EQ(0, flxadmin::backup(dir, report, err)) << err;
  EXPECT_EQ(1, flxadmin::restore(dir, err)) << "the root holds a fleet";
  EXPECT_NE(std::string::npos, err.find("holds a fleet already")) << err;

  // A process with the stores open, as the host's workers hold them.
  useRoot(scratch("busy"));
  ASSERT_EQ(0, flxadmin::init(err)) << err;
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t host = fork();
  if (host == 0) {
    sqlite3* db = nullptr;
    sqlite3_open((std::string(KEVORootPrefix()) + KEVO_REGISTRY_DB_PATH).c_str(), &db);
    sqlite3_exec(db, "SELECT count(*) FROM devices", nullptr, nullptr, nullptr);
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  EXPECT_EQ(1, flxadmin::restore(dir, err));
  EXPECT_NE(std::string::npos, err.find("is open in process " + std::to_string(host))) << err;
  // The host's run folder names it too, even while no worker has a store open.
  const std::string run =
      std::string(KEVORootPrefix()) + "/var/packages/FLX/target/run/host." + std::to_string(host);
  writeFile(run + "/inflight.0", "");
  EXPECT_EQ(1, flxadmin::restore(dir, err));
  EXPECT_NE(std::string::npos, err.find("the host runs (process " + std::to_string(host))) << err;
  kill(host, SIGKILL);
  waitpid(host, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  // Its run folder stays behind, stale: no longer a running host.
  EXPECT_EQ(0, flxadmin::restore(dir, err)) << err;

  // A backup made by a later release.
  query("PRAGMA user_version = 99", std::string(KEVORootPrefix()) + KEVO_REGISTRY_DB_PATH);
  const std::string newer = scratch("newer");
  ASSERT_EQ(0, flxadmin::backup(newer, report, err)) << err;
  useRoot(scratch("old-release"));
  EXPECT_EQ(1, flxadmin::restore(newer, err));
  EXPECT_NE(std::string::npos, err.find("schema is version 99, newer than")) << err;
}

// --- check ---

TEST_F(OperateTest, CheckFindsOnePlantedFaultOfEachKindAndRepairsTheSafeOnes) {
  fleet(2);
  const uint64_t gone = addDevice("GONE");
  writeFile(mirrorDir(gone) + "/seq", "0");
  std::string err;
  ASSERT_EQ(0, flxadmin::init(err)) << err;
  const std::string history = path(KEVO_HISTORY_DB_PATH), reg = registry();
  query("INSERT INTO summary(device_id, vol_count) VALUES(1, 1), (2, 7)", history);
  // Removed behind the registry's back (its connections keep foreign keys on; this one not).
  query("DELETE FROM devices WHERE sn = 'GONE'", reg);
  const auto before = showAll();
  const std::string goneId = std::to_string(gone);
  for (const auto& [dir, mode] : {std::pair<const char*, mode_t>{KEVO_SPOOL_DIR, 0711},
                                  std::pair<const char*, mode_t>{KEVO_LOCK_DIR, 0700}}) {
    mkdir(path(dir).c_str(), mode);
    chmod(path(dir).c_str(), mode);
  }
  const struct {
    const char* kind;
    std::function<void()> plant;
    bool repaired;
  } faults[] = {
      {"session",
       [&] {
         query(
             "INSERT INTO sessions(sid, sn, api_class) VALUES('s-of-a-gone-device-0', 'GONE', 'X')",
             reg);
       },
       true},
      {"foreign-key",
       [&] { query("INSERT INTO apps(qx_id, app_id) VALUES(" + goneId + ", 'a')", reg); }, true},
      {"cache", [&] { query("INSERT INTO hdd_info(dev, qx_id) VALUES('sda', " + goneId + ")"); },
       true},
      {"mirror", [] {}, true},  // the removed device's folder
      {"spool",
       [&] { writeFile(path(std::string(KEVO_SPOOL_DIR) + "/" + goneId + "/a.b.json"), "{}"); },
       true},
      {"lock", [&] { writeFile(path(std::string(KEVO_LOCK_DIR) + "/" + goneId), ""); }, true},
      {"history",
       [&] {
         query(
             "INSERT INTO events(device_id, kind, object, change, collect_time, arrival_time) "
             "VALUES(" +
                 goneId + ", 'device', '', 'added', 1, 1)",
             history);
       },
       true},
      {"summary", [] {}, true},  // device 2's vol_count 7 against its one volume
      {"mirror-file", [&] { query("INSERT INTO pkgs(qx_id, pkg_id) VALUES(2, 'NoInfo')", reg); },
       false},
      {"mode", [&] { chmod(path(KEVO_PUSH_KEY_PATH).c_str(), 0644); }, true},
  };
  for (const auto& f : faults) f.plant();
  flxadmin::CheckReport report;
  ASSERT_EQ(0, flxadmin::check(false, report, err)) << err;
  std::map<std::string, int> want;
  for (const auto& f : faults) want[f.kind] = 1;
  EXPECT_EQ(want, report.counts);

  flxadmin::CheckReport repair;
  ASSERT_EQ(0, flxadmin::check(true, repair, err)) << err;
  EXPECT_EQ(1, repair.unrepaired);
  flxadmin::CheckReport after;
  ASSERT_EQ(0, flxadmin::check(false, after, err)) << err;
  EXPECT_EQ((std::map<std::string, int>{{"mirror-file", 1}}), after.counts);
  query("DELETE FROM pkgs WHERE pkg_id = 'NoInfo'", reg);
  EXPECT_EQ(before, showAll()) << "nothing else changed";
  EXPECT_EQ("1", query("SELECT vol_count FROM summary WHERE device_id = 2", history));
}

}  // namespace
