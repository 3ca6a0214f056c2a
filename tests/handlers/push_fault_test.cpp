// The push path against a busy, full or keyless host: what was stored stays, items a busy
// store refused are kept and replayed, and the log says why. Then several processes at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "admin.h"
#include "api/webapi_flx_cache.h"
#include "common/device_lock.h"
#include "handlers/cache_handler.h"
#include "handlers/spool.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

// A storage item of `vols` volumes named v0, v1, ...
Json::Value storage(int vols) {
  Json::Value data = flxtest::parse(R"({"vol":[],"dg":[],"hdd":[]})");
  for (int i = 0; i < vols; ++i) data["vol"][i]["id"] = "v" + std::to_string(i);
  return data;
}

class PushFaultTest : public flxtest::RootTest {
 protected:
  PushFaultTest() : id_(addDevice("SN-F")) {
    EXPECT_EQ(0, updateCache("storage", "storage", "SN-F", 100, storage(3)));
    flxtest::ClearLog();
  }
  std::string vols() { return query("SELECT mtime, count(*) FROM vol_info GROUP BY mtime"); }
  // A storage push of `n` volumes at `t` while another connection holds the cache database.
  void pushLocked(uint64_t t, int n) {
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(cacheDbPath().c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
    EXPECT_EQ(-1, updateCache("storage", "storage", "SN-F", t, storage(n)));
    sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(other);
  }
  // An item pushed while another process holds the device past the wait: it is spooled.
  void pushHeld(const char* group, const char* module, uint64_t t, const Json::Value& data) {
    const int fd = open(path(KEVO_LOCK_DIR "/1").c_str(), O_RDWR);
    ASSERT_EQ(0, flock(fd, LOCK_EX));  // flock is per open file: it holds against the module too
    EXPECT_EQ(-1, updateCache(group, module, "SN-F", t, data));
    close(fd);
  }
  std::string spooled() {
    return path(KEVO_SPOOL_DIR) + "/" + std::to_string(id_) + "/storage.storage.json";
  }
  uint64_t id_;
};

TEST_F(PushFaultTest, ALockedCacheDatabaseKeepsTheItemUntilTheNextPush) {
  pushLocked(200, 5);
  EXPECT_EQ("100|3", vols());
  struct stat st;
  ASSERT_EQ(0, stat(spooled().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_EQ(1, flxtest::LogCount("collected at 200 spooled (database busy)")) << flxtest::LogDump();

  // An older item of another kind goes through and brings the spooled one with it.
  EXPECT_EQ(0, updateCache("storage", "share", "SN-F", 50, flxtest::parse(R"({"share":[]})")));
  EXPECT_EQ("200|5", vols());
  EXPECT_EQ(1, flxtest::LogCount("[storage.storage] of device 1 collected at 200 replayed"));
  EXPECT_NE(0, stat(spooled().c_str(), &st));

  // The device held by another process past the wait: the item is kept, nothing is written.
  const int fd = open(path(KEVO_LOCK_DIR "/1").c_str(), O_RDWR);
  ASSERT_EQ(0, flock(fd, LOCK_EX));  // flock is per open file: it holds against the module too
  EXPECT_EQ(-1, updateCache("storage", "storage", "SN-F", 500, storage(1)));
  close(fd);
  EXPECT_EQ("200|5", vols());
  EXPECT_EQ(1, flxtest::LogCount("device 1 is busy in another process")) << flxtest::LogDump();
  EXPECT_EQ(0, stat(spooled().c_str(), &st));
}

// A removal holds the device's lock while it removes the stores and unlinks the lock file: a
// push that waited for it stores nothing for the removed device, and spools nothing either.
TEST_F(PushFaultTest, APushThatWaitedForARemovalStoresNothing) {
  const std::string lockFile = path(KEVO_LOCK_DIR "/1");
  int fd = open(lockFile.c_str(), O_RDWR);
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  // The removal ends while the push waits: the lock file goes, then its lock.
  flxtest::SetUsleepHook([&](useconds_t) {
    if (fd < 0) return;
    unlink(lockFile.c_str());
    close(fd);
    fd = -1;
  });
  EXPECT_EQ(-1, updateCache("storage", "storage", "SN-F", 500, storage(1)));
  flxtest::SetUsleepHook(nullptr);
  EXPECT_EQ(-1, fd);
  EXPECT_EQ("100|3", vols());
  EXPECT_EQ(1, flxtest::LogCount("device SN-F was removed while its push waited"))
      << flxtest::LogDump();
  struct stat st;
  EXPECT_NE(0, stat(spooled().c_str(), &st));
}

// The lock files are root's alone: a local user who could open one could hold the device's
// pushes with flock. The host's workers (saved id 0) still take them, and init closes a folder
// an older release left open.
TEST_F(PushFaultTest, LockFilesAreClosedToOtherUsers) {
  const std::string dir = path(KEVO_LOCK_DIR);
  EXPECT_EQ(0700u, flxtest::modeOf(dir));
  EXPECT_EQ(0600u, flxtest::modeOf(dir + "/1"));
  chmod(root().c_str(), 0755);  // other users pass through the test's root
  flxtest::AsServerUser(true, [&] {
    EXPECT_EQ(-1, open((dir + "/1").c_str(), O_RDONLY | O_NONBLOCK));
    EXPECT_EQ(EACCES, errno);
  });
  if (IsSkipped()) return;
  flxtest::AsServerUser(false, [] { EXPECT_TRUE(DeviceLock(1, 0).held()); });
  ASSERT_EQ(0, chmod(dir.c_str(), 0711));
  std::string err;
  ASSERT_EQ(0, flxadmin::init(err)) << err;
  EXPECT_EQ(0700u, flxtest::modeOf(dir));
}

// Arrival order decides, as "the last push replaces" does in the stores: a stored later arrival
// drops the spooled item whatever the collect times, and a later arrival that must be spooled
// replaces the spooled one, also with an older collect time.
TEST_F(PushFaultTest, ArrivalOrderDecidesBetweenSpooledAndStoredItems) {
  pushLocked(300, 4);
  ASSERT_EQ(1u, flxspool::list(id_).size());
  ASSERT_EQ(0, updateCache("storage", "storage", "SN-F", 200, storage(2)));
  EXPECT_EQ("200|2", vols()) << "the earlier arrival must not come back over the later one";
  EXPECT_EQ(1, flxtest::LogCount("collected at 300 dropped from the spool")) << flxtest::LogDump();
  EXPECT_TRUE(flxspool::list(id_).empty());

  pushLocked(500, 5);
  pushLocked(450, 6);
  ASSERT_EQ(1u, flxspool::list(id_).size());
  EXPECT_EQ(450u, flxspool::list(id_)[0].collect_time) << flxtest::LogDump();
  EXPECT_EQ(0, flxtest::LogCount("not spooled"));
  EXPECT_EQ(0, updateCache("storage", "share", "SN-F", 1, flxtest::parse(R"({"share":[]})")));
  EXPECT_EQ("450|6", vols());
}

// Only a later arrival replaces or drops a spooled item, the arrival taken before the wait for
// the device. A push that gave up waiting spools its item; the earlier push that held the
// device then replays it over its own rather than drop it, and, meeting a busy store, does not
// replace it. A later item that fails for good after some writes drops the earlier spooled
// one, which would otherwise come back over them.
TEST_F(PushFaultTest, OnlyALaterArrivalReplacesOrDropsASpooledItem) {
  {
    PushScope earlier;
    {
      PushScope later;
      pushHeld("storage", "storage", 500, storage(1));
    }
    EXPECT_EQ(0, updateCache("storage", "storage", "SN-F", 400, storage(2)));
  }
  EXPECT_EQ("500|1", vols()) << flxtest::LogDump();
  EXPECT_EQ(0, flxtest::LogCount("dropped from the spool")) << flxtest::LogDump();
  EXPECT_TRUE(flxspool::list(id_).empty());

  {
    PushScope earlier;
    {
      PushScope later;
      pushHeld("storage", "storage", 600, storage(3));
    }
    pushLocked(550, 4);
  }
  EXPECT_EQ(1, flxtest::LogCount("collected at 550 not spooled (database busy): a later one is"))
      << flxtest::LogDump();
  ASSERT_EQ(1u, flxspool::list(id_).size());
  EXPECT_EQ(600u, flxspool::list(id_)[0].collect_time);
  EXPECT_EQ(0, updateCache("storage", "share", "SN-F", 1, flxtest::parse(R"({"share":[]})")));
  EXPECT_EQ("600|3", vols());

  // A package item spooled, then a later one that removes every package and fails.
  Json::Value packages = flxtest::parse(R"({"qxm_build": 1, "packages": [{"id": "p",
      "version": "1.0", "status": "running"}]})");
  packages["packagelimit"] = flxtest::pushedFile("limit\n");
  packages["packages"][0]["info"] = flxtest::pushedFile("x=1\n");
  pushHeld("basic", "package", 700, packages);
  ASSERT_EQ(1u, flxspool::list(id_).size());
  flxtest::ClearLog();
  EXPECT_EQ(-1, updateCache("basic", "package", "SN-F", 800, flxtest::parse(R"({"packages":[]})")));
  EXPECT_EQ(1,
            flxtest::LogCount("collected at 700 dropped from the spool: a later one was handled"))
      << flxtest::LogDump();
  EXPECT_EQ(0, updateCache("storage", "share", "SN-F", 2, flxtest::parse(R"({"share":[]})")));
  EXPECT_TRUE(flxtest::recordsOf(id_, KEVOFLXPkgList, KEVOFLXPkgListFree).empty());
}

TEST_F(PushFaultTest, AMissingKeyFailsThePushOnceInTheLog) {
  ASSERT_EQ(0, remove(path(KEVO_PUSH_KEY_PATH).c_str()));
  Json::Value params = flxtest::parse(
      R"({"items":[{"group_name":"storage","module_name":"storage","collect_time":9,
          "data":["AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA","AAAA"]}]})");
  KEVO::APIRequest req("KEVO.FLX.RPC.ClientInfo", 1, "push", params, addSession("SN-F"),
                       "192.0.2.1");
  KEVO::APIResponse resp;
  set_v1(&req, &resp);
  EXPECT_EQ(400, resp.GetError());
  EXPECT_EQ(1, flxtest::LogCount("] is unusable: No such file or directory")) << flxtest::LogDump();
  EXPECT_EQ("100|3", vols());
}

// Needs root to mount a small file system for the databases.
TEST_F(PushFaultTest, AFullDiskForTheDatabasesKeepsTheItem) {
  const std::string db = path("/var/packages/FLX/target/db");
  if (geteuid() != 0 || mount("tmpfs", db.c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs (needs root): full-disk case not run";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{db};
  std::string err;
  ASSERT_EQ(0, flxadmin::init(err)) << err;  // fresh databases on the small file system
  addDevice("SN-F");
  EXPECT_EQ(0, updateCache("storage", "storage", "SN-F", 100, storage(3)));
  writeFile(db + "/filler", std::string(4 << 20, 'x'));  // fills it; the replay then has 4 MiB
  flxtest::ClearLog();
  EXPECT_EQ(-1, updateCache("storage", "storage", "SN-F", 200, storage(200)));
  EXPECT_EQ(1, flxtest::LogCount("spooled (disk full)")) << flxtest::LogDump();
  ASSERT_EQ(0, remove((db + "/filler").c_str()));
  EXPECT_EQ(0, updateCache("storage", "share", "SN-F", 300, flxtest::parse(R"({"share":[]})")));
  EXPECT_EQ("200|200", vols()) << "replayed once there was room again";
}

// Forked pushers, each on its own connections, push for many devices and all for device 0 at
// once; afterwards every device holds exactly the rows of the push that ran last.
TEST_F(PushFaultTest, ConcurrentPushersLeaveEachDeviceItsLastPush) {
  const int kDevices = 4, kPushers = 4, kRounds = 4;
  for (int d = 0; d < kDevices; ++d) addDevice("SN-C" + std::to_string(d));
  flxtest::SetUsleepHook([](useconds_t) {  // waits must let the others on
    struct timespec ts = {0, 10000000};
    nanosleep(&ts, nullptr);
  });
  pid_t pids[kPushers];
  for (int p = 0; p < kPushers; ++p) {
    pids[p] = fork();
    ASSERT_LE(0, pids[p]);
    if (pids[p] != 0) continue;
    for (int r = 0; r < kRounds; ++r) {
      for (int d = 0; d < kDevices; ++d) {
        int dev = (d + p) % kDevices;
        uint64_t t = 1000 + r * 100 + p * 10 + dev;  // its volume count is t % 7 + 10
        // A push that outwaits the retries lands in the spool; the rows stay consistent.
        updateCache("storage", "storage", "SN-C" + std::to_string(dev), t,
                    storage(static_cast<int>(t % 7 + 10)));
      }
    }
    _exit(0);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int d = 0; d < kDevices; ++d) {
    const uint64_t qx = d + 2;
    std::string rows =
        query("SELECT mtime, count(*) FROM vol_info WHERE qx_id = " + std::to_string(qx) +
              " GROUP BY mtime");
    ASSERT_EQ(std::string::npos, rows.find('\n')) << "rows of two pushes: " << rows;
    const uint64_t t = std::stoull(rows.substr(0, rows.find('|')));
    EXPECT_EQ(std::to_string(t) + "|" + std::to_string(t % 7 + 10), rows) << "device " << qx;
  }
}

}  // namespace
