// End to end: pushes of the real client and agent stored through the real host.
#include "integration/host_fixture.h"

namespace {

using flxtest::Child;
using flxtest::kAgentPushMs;
using flxtest::kPushMs;
using flxtest::kSn;
using flxtest::kStopMs;
using flxtest::PushIntegrationTest;

// As on a production host: ordinary real and effective ids, saved ids 0. The root-only push
// key and stores are reached through the raised sections; the module lies in a folder that only
// root may enter, so it must be loaded before the ids are dropped.
TEST_F(PushIntegrationTest, HostWithDroppedIdsDeciphersAndStores) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_EQ(0, chmod(root().c_str(), 0755));
  ASSERT_EQ(0, mkdir(path("/private").c_str(), 0700));
  module_ = path("/private/KEVO.FLX.RPC.so");
  writeFile(module_, readFile(FLX_MODULE_PATH));
  const uint64_t id = addDevice(kSn);
  const std::string sid = addSession(kSn);
  // A process whose ids changed is not dumpable, and the leak checker of sanitizer builds
  // cannot attach to it at exit.
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  StartHost({"--module", FLX_INVENTORY_PATH, "--drop-privileges", "nobody"});
  unsetenv("ASAN_OPTIONS");
  const PushResult r = Push({"--sid", sid, demoBatch()});
  EXPECT_EQ(0, r.exit) << r.output << "host log:\n" << readFile(hostLog());
  // The in-flight files hold sessions: root's alone, never the dropped user's.
  struct stat st;
  ASSERT_EQ(0, stat((RunDir() + "/inflight").c_str(), &st));
  EXPECT_EQ(0u, st.st_uid);
  EXPECT_EQ(0700u, st.st_mode & 07777);
  EXPECT_FALSE(readFile(mirrorDir(id) + "/kevoinfo.conf").empty());
  EXPECT_EQ("2", query("SELECT count(*) FROM vol_info"));

  // The inventory, in the same workers, reads the root-only stores for an operator.
  const std::string token = flxread::newToken();
  ASSERT_EQ(0, KEVOFLXOperatorCreate("ops", flxread::tokenHash(token)));
  httplib::Client client(url_);
  auto list =
      client.Post("/webapi/entry.cgi", "api=KEVO.FLX.Inventory&version=1&method=list&_sid=" + token,
                  "application/x-www-form-urlencoded");
  ASSERT_TRUE(list);
  EXPECT_NE(std::string::npos, list->body.find(std::string("\"sn\":\"") + kSn + "\""))
      << list->body << "\nhost log:\n"
      << readFile(hostLog());

  // As an admin, it removes the device there: root's rows, folders and lock file go.
  flxops::Access admin;
  admin.name = "ops", admin.role = "admin";
  ASSERT_EQ(0, flxops::SetAccess(admin));
  auto removed = client.Post(
      "/webapi/entry.cgi",
      std::string("api=KEVO.FLX.Manage&version=1&method=remove&sn=") + kSn + "&_sid=" + token,
      "application/x-www-form-urlencoded");
  ASSERT_TRUE(removed);
  EXPECT_EQ(0u, removed->body.find(R"({"success":true)")) << removed->body << "\nhost log:\n"
                                                          << readFile(hostLog());
  EXPECT_NE(0, access(mirrorDir(id).c_str(), F_OK));
  EXPECT_NE(0, access(path(KEVO_LOCK_DIR "/" + std::to_string(id)).c_str(), F_OK));
  EXPECT_EQ("0", query("SELECT count(*) FROM vol_info"));
  EXPECT_EQ("0", query("SELECT count(*) FROM devices", path(KEVO_REGISTRY_DB_PATH)));
}

// Error answers reach the operator as printed and as exit status 1.
TEST_F(PushIntegrationTest, RefusedSessionAndForeignChunkExit1) {
  addDevice(kSn);
  const std::string sid = addSession(kSn);
  StartHost();
  PushResult r = Push({"--sid", "no-such-session", demoBatch()});
  EXPECT_EQ(1, r.exit) << r.output;
  EXPECT_NE(std::string::npos, r.output.find(R"({"success":false,"error":{"code":105}})"))
      << r.output;

  // With --raw the data goes as given: no chunk at all parses to nothing and is only logged;
  // base64 that is no chunk of ours does not decipher. Tampered chunks are the cipher's tests.
  const std::string item = R"([{"group_name":"storage","module_name":"share","collect_time":1,)";
  r = Push({"--sid", sid, "--raw", writeFile(path("/empty.json"), item + R"("data":[]}])")});
  EXPECT_EQ(0, r.exit) << r.output;
  r = Push({"--sid", sid, "--raw",
            writeFile(path("/foreign.json"), item + R"("data":["bm90IGEgY2h1bms="]}])")});
  EXPECT_EQ(1, r.exit) << r.output;
  EXPECT_NE(std::string::npos, r.output.find(R"({"success":false,"error":{"code":400}})"))
      << r.output;
}

TEST_F(PushIntegrationTest, TransportAndUsageErrorsExit2) {
  url_ = "http://127.0.0.1:1";  // nothing listens there
  PushResult r = Push({"--sid", "s", demoBatch()});
  EXPECT_EQ(2, r.exit) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("cannot reach")) << r.output;
  r = Push({"--sid", "s", "--key", path("/missing.key"), demoBatch()});
  EXPECT_EQ(2, r.exit) << r.output;
  r = Push({demoBatch()});  // no --sid
  EXPECT_EQ(2, r.exit) << r.output;
}

// Relies on every cache handler being in place: the stores after pushing the demo batch.
TEST_F(PushIntegrationTest, DemoBatchIsStoredEndToEnd) {
  const uint64_t id = addDevice(kSn);
  const std::string sid = addSession(kSn);
  StartHost();
  // Small chunks split payloads inside UTF-8 sequences and escapes; the host joins them.
  const PushResult r =
      Push({"--sid", sid, "--client-sn", "ANOTHER-SN", "--chunk-size", "7", demoBatch()});
  ASSERT_EQ(0, r.exit) << r.output;
  EXPECT_NE(std::string::npos, r.output.find(R"({"success":true})")) << r.output;

  Json::Value shown;
  std::string err;
  ASSERT_EQ(0, flxadmin::deviceShow(kSn, shown, err)) << err;
  EXPECT_EQ("KV-4120", shown["device"]["model_name"].asString());
  EXPECT_EQ(3u, shown["cache"]["share_info"].size());
  EXPECT_EQ(2u, shown["cache"]["vol_info"].size());
  EXPECT_EQ(1u, shown["cache"]["dg_info"].size());
  EXPECT_EQ(4u, shown["cache"]["hdd_info"].size());
  EXPECT_EQ(2u, shown["applications"].size());
  EXPECT_EQ("ARM", shown["info"][0]["cpu_vendor"].asString());
  EXPECT_EQ(2u, shown["packages"].size());
  EXPECT_FALSE(readFile(mirrorDir(id) + "/kevoinfo.conf").empty());
  EXPECT_EQ(0, readFile(mirrorDir(id) + "/apps/MediaHub/icon.png").find("\x89PNG"));
  EXPECT_FALSE(readFile(mirrorDir(id) + "/pkgs/kevopackageslimit.conf").empty());
  struct stat st;
  EXPECT_EQ(0, stat((cacheDbPath() + "-wal").c_str(), &st)) << "a worker holds the database";

  // The arrival is written once the answer has left: the operator's view has it a moment later.
  int64_t contact = 0;
  for (int i = 0; i < 200 && contact == 0; ++i) {
    Json::Value show;
    if (flxread::deviceShow(kSn, show, err) == flxread::kOk)
      contact = show["liveness"]["last_contact"].asInt64();
    if (contact == 0) usleep(10000);
  }
  EXPECT_GT(contact, 0) << "the push's arrival";
}

// One worker at a time, replaced after every second request, with pushes queued behind it:
// each worker keeps the arrivals of pushes answered while others wait, and writes them on its
// way out. Every push that was answered has its arrival.
TEST_F(PushIntegrationTest, EveryAnsweredPushHasItsArrivalAcrossWorkerEnds) {
  const int kPushes = 12;
  std::vector<std::string> sids;
  for (int i = 0; i < kPushes; ++i) {
    addDevice("SN-END-" + std::to_string(i));
    sids.push_back(addSession("SN-END-" + std::to_string(i)));
  }
  StartHost({"--workers", "1", "--max-workers", "1", "--max-requests", "2"});
  std::vector<std::unique_ptr<Child>> pushes;
  for (int i = 0; i < kPushes; ++i) {
    pushes.emplace_back(new Child);
    ASSERT_TRUE(
        pushes.back()->Start({FLX_PUSH_BIN, "--url", url_, "--sid", sids[i], demoBatch()}, ""));
  }
  int answered = 0;
  for (int i = 0; i < kPushes; ++i) {
    const std::string output = pushes[i]->ReadAll(kPushMs);
    if (pushes[i]->Wait(kStopMs) != 0 || output.find(R"({"success":true})") == std::string::npos)
      continue;
    ++answered;
    // Written a moment after its answer, at the latest when its worker ends.
    int64_t contact = 0;
    for (int tries = 0; tries < 200 && contact == 0; ++tries) {
      Json::Value show;
      std::string err;
      if (flxread::deviceShow("SN-END-" + std::to_string(i), show, err) == flxread::kOk)
        contact = show["liveness"]["last_contact"].asInt64();
      if (contact == 0) usleep(10000);
    }
    EXPECT_GT(contact, 0) << "push " << i << " answered";
  }
  EXPECT_EQ(kPushes, answered) << readFile(hostLog());
}

// This machine's own facts, collected by the agent, pushed, and read back by the operator.
TEST_F(PushIntegrationTest, AgentBatchOfThisMachineIsStored) {
  const std::string sn = "agent-test-machine";
  addDevice(sn);
  const std::string sid = addSession(sn);
  StartHost();
  Child agent;
  ASSERT_TRUE(agent.Start({FLX_AGENT_BIN, "--dry-run"}, path("/agent.err")));
  const std::string batch = agent.ReadAll(kPushMs);
  ASSERT_EQ(0, agent.Wait(kStopMs)) << readFile(path("/agent.err"));
  // Every installed package costs the host a record and a file: allow for a slow build.
  const PushResult pushed =
      Push({"--sid", sid, writeFile(path("/batch.json"), batch)}, kAgentPushMs);
  ASSERT_EQ(0, pushed.exit) << pushed.output;

  Json::Value shown;
  std::string err;
  ASSERT_EQ(0, flxadmin::deviceShow(sn, shown, err)) << err;
  char hostname[256] = "";
  gethostname(hostname, sizeof hostname - 1);
  EXPECT_EQ(hostname, shown["device"]["hostname"].asString());
  EXPECT_GT(shown["device"]["build_number"].asInt64(), 0);
  const Json::Value* rootVolume = nullptr;
  for (const Json::Value& v : shown["cache"]["vol_info"]) {
    if (v["name"].asString() == "/") rootVolume = &v;
  }
  struct statvfs fs;
  ASSERT_EQ(0, statvfs("/", &fs));
  if (rootVolume != nullptr) {  // not on an overlay or in memory (a container)
    // Within 1% of what the file system says now.
    const double total = static_cast<double>(fs.f_blocks) * fs.f_frsize;
    EXPECT_NEAR(total, (*rootVolume)["size_total"].asDouble(), total / 100);
    EXPECT_LE((*rootVolume)["size_used"].asUInt64(), (*rootVolume)["size_total"].asUInt64());
  }
  bool realDisk = false;
  for (const std::string& d : flxagent::ListDir("/sys/block")) {
    realDisk = realDisk || d.rfind("vd", 0) == 0 || d.rfind("sd", 0) == 0 ||
               d.rfind("nvme", 0) == 0 || d.rfind("xvd", 0) == 0;
  }
  if (realDisk) {
    EXPECT_GE(shown["cache"]["hdd_info"].size(), 1u);
  }

  EXPECT_GT(shown["packages"].size(), 0u) << "dpkg's packages";

  // The agent pushes by itself as well.
  Child once;
  ASSERT_TRUE(once.Start(
      {FLX_AGENT_BIN, "--once", "--only", "basic,share", "--url", url_, "--sid", sid}, ""));
  const std::string output = once.ReadAll(kPushMs);
  EXPECT_EQ(0, once.Wait(kStopMs)) << output;
}

// The client's pieces, without a host.
TEST(PushClient, UrlsAndForms) {
  const struct {
    const char* url;
    bool ok;
    const char* origin;
    const char* path;
  } urls[] = {
      {"http://127.0.0.1:5000", true, "http://127.0.0.1:5000", "/webapi/entry.cgi"},
      {"HTTPS://h:1/x/entry.cgi", true, "https://h:1", "/x/entry.cgi"},
      {"127.0.0.1:5000", true, "http://127.0.0.1:5000", "/webapi/entry.cgi"},
      {"ftp://h", false, "", ""},
  };
  for (const auto& u : urls) {
    std::string origin, path, err;
    EXPECT_EQ(u.ok, flxpush::SplitUrl(u.url, origin, path, err)) << u.url;
    if (u.ok) {
      EXPECT_EQ(u.origin, origin);
      EXPECT_EQ(u.path, path);
    }
  }
  // Whatever the client encodes, the host decodes to the same fields.
  const std::string odd = "a b&c=d+e%f\xc3\xa9\n\"{}\"";
  std::map<std::string, std::string> fields;
  ASSERT_TRUE(webapihost::DecodeForm(flxpush::FormEncode({{"k", odd}, {"k2", ""}}), fields));
  EXPECT_EQ(odd, fields["k"]);
  EXPECT_EQ("", fields["k2"]);

  const auto pieces = flxpush::CutText("abcdefg", 3);
  EXPECT_EQ((std::vector<std::string>{"abc", "def", "g"}), pieces);
  EXPECT_TRUE(flxpush::CutText("", 3).empty());
}

}  // namespace
