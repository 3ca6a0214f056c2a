// Removing a device leaves nothing of it anywhere below the root, touches nothing of the
// others, and never follows a link out of the store; the operator's lists show words.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "admin.h"
#include "admin_device.h"
#include "api/webapi_flx_cache.h"
#include "flx.h"
#include "flxhistory.h"
#include "flxremove.h"
#include "flxspool.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "push.h"
#include "support/root_fixture.h"
#include "support/util.h"
#include "writer.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out, err;
};

class DecommissionTest : public flxtest::RootTest {
 protected:
  // Pushes the demo fleet's batch (every kind) for `sn` and records its history.
  void PushDemo(const std::string& sn, const std::string& sid) {
    std::ifstream file(std::string(FLX_SOURCE_DIR) + "/examples/demo-batch.json");
    const Json::Value batch = flxtest::parse(std::string(std::istreambuf_iterator<char>(file), {}));
    unsigned char key[32];
    ASSERT_EQ(0, KVLIBCryptReadKeyFile(path(KEVO_PUSH_KEY_PATH).c_str(), key));
    Json::Value params(Json::objectValue);
    std::string err;
    ASSERT_TRUE(flxpush::BuildItems(batch, key, 4096, false, params["items"], err)) << err;
    params["client_sn"] = sn;
    KEVO::APIRequest req("KEVO.FLX.RPC.ClientInfo", 1, "push", params, sid, "192.0.2.7");
    KEVO::APIResponse resp;
    set_v1(&req, &resp);
    ASSERT_TRUE(resp.IsSuccess());
    ASSERT_EQ(0, KEVOFLXContactNote(sn, 1800000000, 1700000000));
    flxhistory::Writer writer;
    ASSERT_GE(writer.record(sn, {{"storage", "storage"}}, 1800000000, err), 0) << err;
  }

  // flx-admin with `args` (a shell's words), its exit status and outputs.
  Outcome Admin(const std::string& args, const std::string& env = "") {
    const std::string out = root() + "/out.txt", err = root() + "/err.txt";
    const int raw = system(
        (env + " '" + FLX_ADMIN_BIN + "' " + args + " >'" + out + "' 2>'" + err + "' </dev/null")
            .c_str());
    Outcome r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(out);
    r.err = readFile(err);
    return r;
  }

  // Every path below the root that names device `id` as a folder or file of its own.
  std::vector<std::string> PathsOf(uint64_t id) {
    std::vector<std::string> found;
    const std::string name = std::to_string(id);
    for (const auto& e : fs::recursive_directory_iterator(root())) {
      if (e.path().filename() == name) found.push_back(e.path().string());
    }
    return found;
  }

  // "table=rows" for each table that holds rows of the device, in every store.
  std::string RowsOf(uint64_t id, const std::string& sn) {
    const std::string i = std::to_string(id), q = "'" + sn + "'";
    const std::string reg = path(KEVO_REGISTRY_DB_PATH), hist = flxhistory::historyDbPath();
    const std::vector<std::pair<std::string, std::string>> counts = {
        {"vol_info", "qx_id = " + i},
        {"dg_info", "qx_id = " + i},
        {"hdd_info", "qx_id = " + i},
        {"share_info", "qx_id = " + i},
        {"devices", "sn = " + q},
        {"sessions", "sn = " + q},
        {"apps", "qx_id = " + i},
        {"pkgs", "qx_id = " + i},
        {"info", "qx_id = " + i},
        {"device_contacts", "device_id = " + i},
        {"events", "device_id = " + i},
        {"samples", "device_id = " + i},
        {"summary", "device_id = " + i},
        {"state", "device_id = " + i},
        {"session_times", "sid NOT IN (SELECT sid FROM sessions)"}};
    std::string rows;
    for (const auto& [table, where] : counts) {
      const bool cache = table.find("_info") != std::string::npos;
      const bool history = where.compare(0, 9, "device_id") == 0 && table != "device_contacts";
      const std::string n =
          query("SELECT count(*) FROM " + table + " WHERE " + where, cache     ? ""
                                                                     : history ? hist
                                                                               : reg);
      if (n != "0") rows += table + "=" + n + " ";
    }
    return rows;
  }
};

TEST_F(DecommissionTest, RemovingADeviceLeavesNothingAndSparesTheOthers) {
  const uint64_t gone = addDevice("SN-GONE"), kept = addDevice("SN-KEPT");
  const std::string goneSid = addSession("SN-GONE"), keptSid = addSession("SN-KEPT");
  addSession("SN-GONE");
  PushDemo("SN-GONE", goneSid);
  PushDemo("SN-KEPT", keptSid);
  // A spooled item, and a link in the mirror folder that points out of the store.
  writeFile(flxspool::itemPath(gone, "basic.basic"), "{}");
  const std::string outside = root() + "/outside/precious";
  writeFile(outside, "keep me");
  ASSERT_EQ(0, symlink((root() + "/outside").c_str(), (mirrorDir(gone) + "/escape").c_str()));
  ASSERT_FALSE(PathsOf(gone).empty());
  const std::string keptBefore = RowsOf(kept, "SN-KEPT");
  EXPECT_EQ(
      "vol_info=2 dg_info=1 hdd_info=4 share_info=3 devices=1 sessions=2 apps=2 pkgs=2 info=1 "
      "device_contacts=1 samples=6 summary=1 state=1 ",
      RowsOf(gone, "SN-GONE"))
      << "the device had rows in every store";

  Outcome refused = Admin("device remove SN-GONE");
  EXPECT_EQ(1, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("add --yes")) << refused.err;
  EXPECT_EQ("", refused.out);

  Outcome r = Admin("device remove SN-GONE --yes");
  ASSERT_EQ(0, r.status) << r.err;
  for (const char* says : {"registry: device SN-GONE", "sessions: 2", "cache:", "mirror folder",
                           "spool: 1 item(s)", "history:", "lock file"})
    EXPECT_NE(std::string::npos, r.out.find(says)) << says << " in " << r.out;

  EXPECT_EQ(std::vector<std::string>(), PathsOf(gone));
  EXPECT_EQ("", RowsOf(gone, "SN-GONE"));
  EXPECT_EQ("keep me", readFile(outside)) << "the link was removed, not followed";
  EXPECT_EQ(keptBefore, RowsOf(kept, "SN-KEPT"));

  std::vector<std::string> removed;
  std::string err;
  EXPECT_NE(0, flxadmin::decommission("SN-GONE", removed, err));
  EXPECT_NE(std::string::npos, err.find("no device")) << err;
}

// A removal stopped by a fault keeps the device (without its sessions, so nothing new comes
// in), says what it removed and what not, and the same removal run again finishes it.
TEST_F(DecommissionTest, AStoppedRemovalSaysWhatIsLeftAndRunningItAgainFinishesIt) {
  std::string err;
  flxhistory::Writer writer;
  const auto forget = [&writer](int64_t id, std::string& why) {
    return writer.forgetDevice(id, why);
  };
  int heldLock = -1;
  const struct {
    const char* fault;
    std::function<void(uint64_t id, flxremove::Options&)> make, clear;
    const char* firstLeft;
    size_t removedBefore;  // lines of the steps done before the fault
  } cases[] = {
      {"a push holds the lock",
       [&](uint64_t id, flxremove::Options& o) {
         heldLock = open(path(KEVO_LOCK_DIR "/" + std::to_string(id)).c_str(), O_RDONLY);
         ASSERT_EQ(0, flock(heldLock, LOCK_EX));
         o.lockWaitMs = 100;
       },
       [&](uint64_t, flxremove::Options&) { close(heldLock); }, "cache rows", 1},
      {"the cache refuses the delete",
       [&](uint64_t, flxremove::Options&) {
         query(
             "CREATE TRIGGER held BEFORE DELETE ON hdd_info BEGIN SELECT RAISE(ABORT, 'held'); "
             "END");
       },
       [&](uint64_t, flxremove::Options&) { query("DROP TRIGGER held"); }, "cache rows", 1},
      {"the history fails",
       [&](uint64_t, flxremove::Options& o) {
         o.forgetHistory = [](int64_t, std::string& why) {
           why = "history held";
           return int64_t(-1);
         };
       },
       [&](uint64_t, flxremove::Options& o) { o.forgetHistory = forget; }, "history", 4},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string sn = "SN-HALF-" + std::to_string(++n);
    const uint64_t id = addDevice(sn);
    const std::string sid = addSession(sn);
    PushDemo(sn, sid);
    flxremove::Options options;
    options.forgetHistory = forget;
    c.make(id, options);
    flxremove::Report first;
    ASSERT_EQ(flxremove::kFailed, flxremove::RemoveDevice(sn, options, first)) << c.fault;
    EXPECT_NE("", first.error) << c.fault;
    ASSERT_EQ(c.removedBefore, first.removed.size()) << c.fault;
    EXPECT_EQ("sessions: 1", first.removed[0]) << c.fault;
    ASSERT_FALSE(first.left.empty()) << c.fault;
    EXPECT_EQ(c.firstLeft, first.left.front()) << c.fault;
    EXPECT_EQ("registry record", first.left.back()) << c.fault;
    std::string pushedBy;
    EXPECT_FALSE(KEVOFLXQxCheckWebapiPriviege(sid, "KEVO.FLX.RPC", pushedBy)) << c.fault;
    EXPECT_NE(std::string::npos, RowsOf(id, sn).find("devices=1")) << c.fault;

    c.clear(id, options);
    flxremove::Report second;
    ASSERT_EQ(flxremove::kRemoved, flxremove::RemoveDevice(sn, options, second))
        << c.fault << ": " << second.error;
    EXPECT_TRUE(second.left.empty()) << c.fault;
    EXPECT_EQ(std::vector<std::string>(), PathsOf(id)) << c.fault;
    EXPECT_EQ("", RowsOf(id, sn)) << c.fault;
  }
}

// In a host worker (the service user's ids, saved root ids) the removal reaches root's stores
// through the guard and gives the ids back; the history is left to its writer's sweep. With no
// way back to root it removes nothing and lists every store as not removed.
TEST_F(DecommissionTest, AHostWorkerRemovesThroughTheGuardAndGivesTheIdsBack) {
  const uint64_t id = addDevice("SN-W");
  PushDemo("SN-W", addSession("SN-W"));
  flxtest::AsServerUser(true, [] {
    flxremove::Report report;
    EXPECT_EQ(flxremove::kFailed, flxremove::RemoveDevice("SN-W", {}, report));
    EXPECT_TRUE(report.removed.empty());
    EXPECT_EQ(7u, report.left.size());
  });
  ASSERT_FALSE(PathsOf(id).empty());
  flxtest::AsServerUser(false, [] {
    flxremove::Report report;
    EXPECT_EQ(flxremove::kRemoved, flxremove::RemoveDevice("SN-W", {}, report)) << report.error;
    uid_t r, e, s;
    ASSERT_EQ(0, getresuid(&r, &e, &s));
    EXPECT_EQ(1024u, e) << "the effective id is the service user's again";
  });
  if (HasFatalFailure() || IsSkipped()) return;
  EXPECT_EQ(std::vector<std::string>(), PathsOf(id));
  EXPECT_EQ("samples=6 summary=1 state=1 ", RowsOf(id, "SN-W"));
  std::string err;
  flxhistory::Writer writer;
  EXPECT_EQ(1, writer.sweepRemoved(err)) << err;
  EXPECT_EQ("", RowsOf(id, "SN-W"));
}

TEST_F(DecommissionTest, ListsShowWordsAndNeverASessionId) {
  addDevice("SN-1", "nas-1");
  const std::string sid = addSession("SN-1");
  ASSERT_EQ(0, KEVOFLXContactNote("SN-1", 1800000000, 0));
  Outcome r = Admin("device list", "FLX_NOW=1800000100");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("registered reporting 2027-01-15 08:00:00Z")) << r.out;
  r = Admin("device list", "FLX_NOW=1800000901");
  EXPECT_NE(std::string::npos, r.out.find(" stale ")) << r.out;
  r = Admin("session list --sn SN-1");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("SN-1")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("never")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find(sid)) << r.out;
  r = Admin("session list --sn NOPE");
  EXPECT_EQ(1, r.status);
}

}  // namespace
