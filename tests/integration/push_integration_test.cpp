// End to end: the real host with the module on a loopback port, pushed to by the real client.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "admin.h"
#include "admin_quarantine.h"
#include "agent.h"
#include "flx.h"
#include "flxoperators.h"
#include "flxread.h"
#include "host.h"
#include "kevoroot.h"
#include "push.h"
#include "support/process.h"
#include "support/root_fixture.h"

namespace {

using flxtest::Child;

const int kStartMs = 15000;
const int kPushMs = 60000;
const int kAgentPushMs = 300000;
const int kStopMs = 15000;
const char kSn[] = "2150PDN004711";

class PushIntegrationTest : public flxtest::RootTest {
 protected:
  ~PushIntegrationTest() override {
    if (!host_.Running()) return;
    host_.Signal(SIGTERM);
    EXPECT_EQ(0, host_.Wait(kStopMs)) << "host log:\n" << readFile(hostLog());
  }

  std::string hostLog() const { return path("/host.log"); }

  // Starts the host on an ephemeral loopback port; url_ names it.
  void StartHost(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {FLX_HOST_BIN,   "--listen", "127.0.0.1:0",
                                     "--log-stderr", "--module", module_};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(host_.Start(args, hostLog()));
    std::string line;
    ASSERT_TRUE(host_.ReadLine(line, kStartMs)) << "host log:\n" << readFile(hostLog());
    ASSERT_EQ(0u, line.find("listening on 127.0.0.1:")) << line;
    url_ = "http://" + line.substr(std::string("listening on ").size());
  }

  struct PushResult {
    int exit;
    std::string output;
  };
  PushResult Push(const std::vector<std::string>& args, int ms = kPushMs) {
    std::vector<std::string> argv = {FLX_PUSH_BIN, "--url", url_};
    argv.insert(argv.end(), args.begin(), args.end());
    Child push;
    if (!push.Start(argv, "")) return {-1, "cannot start flx-push"};
    std::string output = push.ReadAll(ms);
    return {push.Wait(kStopMs), output};
  }

  std::string demoBatch() const {
    return std::string(FLX_SOURCE_DIR) + "/examples/demo-batch.json";
  }

  // A raw connection to the host, for requests that no well-behaved client sends.
  int Connect() {
    const int fd = flxtest::LoopbackConnect(std::stoi(url_.substr(url_.rfind(':') + 1)));
    EXPECT_LE(0, fd);
    return fd;
  }
  // Sends `request`, then `trickle` every 300 ms, until an answer starts; its status line.
  static std::string Status(int fd, const std::string& request, const std::string& trickle = "") {
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got;
    for (int i = 0; i < 10 && got.find("\r\n\r\n") == std::string::npos; ++i) {
      if (!trickle.empty()) send(fd, trickle.data(), trickle.size(), MSG_NOSIGNAL);
      pollfd p{fd, POLLIN, 0};
      char buf[4096];
      const ssize_t n = poll(&p, 1, 300) > 0 ? recv(fd, buf, sizeof buf, 0) : 0;
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got.substr(0, got.find("\r\n"));
  }
  // A connection from another loopback address, which nginx limits as any client.
  int ConnectFrom(const char* address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(url_.substr(url_.rfind(':') + 1))));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    return fd;
  }
  // A method of the crash module, with an operator's session as the cookie (or none): its
  // answer's data, or minus the HTTP status.
  int Call(const char* method, bool session = true) {
    return webapihost::ParamValue(CallText(method, session))["data"].asInt();
  }
  std::string CallText(const char* method, bool session = true) {
    if (session && token_.empty()) {
      token_ = flxread::newToken();
      EXPECT_EQ(0, KEVOFLXOperatorCreate("ops", flxread::tokenHash(token_)));
    }
    httplib::Client client(url_);
    client.set_read_timeout(30, 0);
    httplib::Headers headers;
    if (session) headers.emplace("Cookie", "id=" + token_);
    auto r = client.Get(std::string("/webapi/entry.cgi?api=T.Crash&version=1&method=") + method,
                        headers);
    return !r                 ? R"({"data":-1})"
           : r->status != 200 ? R"({"data":-)" + std::to_string(r->status) + "}"
                              : r->body;
  }
  // The value of one series of the host's /metrics, or -1 when it is not there.
  double Metric(const std::string& series) {
    httplib::Client client(url_);
    auto r = client.Get("/metrics");
    if (!r || r->status != 200) return -2;
    const size_t at = r->body.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::atof(r->body.c_str() + at + series.size() + 2);
  }
  static std::string Post(const std::string& body) {
    return "POST /webapi/entry.cgi HTTP/1.1\r\nHost: h\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }

  // This host start's run folder.
  std::string RunDir() {
    const std::string base = path(webapihost::kRunDir);
    for (const std::string& name : flxagent::ListDir(base)) {
      if (name.compare(0, 5, "host.") == 0) return base + "/" + name;
    }
    return "";
  }

  Child host_;
  std::string url_;
  std::string module_ = FLX_MODULE_PATH;
  std::string token_;
};

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

// A host that cannot start says why in one line, exits 1 and leaves no process or run folder.
TEST_F(PushIntegrationTest, HostStartFailuresAreOneLine) {
  const int busy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ASSERT_EQ(0, bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, listen(busy, 1));
  socklen_t len = sizeof a;
  getsockname(busy, reinterpret_cast<sockaddr*>(&a), &len);
  const struct {
    std::vector<std::string> args;
    std::string said;
  } cases[] = {
      {{"--listen", "127.0.0.1:" + std::to_string(ntohs(a.sin_port))},
       "cannot listen on 127.0.0.1:"},
      {{"--listen", "127.0.0.1:0", "--module", "/nonexistent.so"}, "cannot load module"},
      {{"--fastcgi", "192.0.2.1:9000"}, "give a socket path or a loopback HOST:PORT"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {FLX_HOST_BIN};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Child host;
    ASSERT_TRUE(host.Start(args, ""));
    const std::string out = host.ReadAll(kStartMs);
    EXPECT_EQ(1, host.Wait(kStopMs)) << out;
    EXPECT_NE(std::string::npos, out.find("flx-webapi-host: ")) << out;
    EXPECT_NE(std::string::npos, out.find(c.said)) << out;
    EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n')) << out;
  }
  close(busy);
  EXPECT_TRUE(flxagent::ListDir(path(webapihost::kRunDir)).empty());
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

// What nginx refuses before the host, and the bounds the host keeps itself, each with its status.
TEST_F(PushIntegrationTest, LimitsRefuseWithTheirStatus) {
  addDevice(kSn);
  const std::string push = "api=KEVO.FLX.RPC.ClientInfo&version=1&method=push&_sid=";
  const std::string sid = addSession(kSn);
  const std::string deep = "&items=" + std::string(40, '[') + std::string(40, ']');
  std::string many = "&items=[0";
  for (int i = 0; i < 30000; ++i) many += ",0";
  StartHost({"--workers", "1"});
  std::string flood = "POST /webapi/entry.cgi HTTP/1.1\r\nHost: h\r\n";
  for (int i = 0; i < 2000; ++i)
    flood += "X-Flood-" + std::to_string(i) + ": " + std::string(100, 'x') + "\r\n";
  const std::string post = "POST /webapi/entry.cgi HTTP/1.1\r\nHost: h\r\n";
  const struct {
    std::string request, status, logged;
  } cases[] = {
      {post + "Content-Length: 5000000\r\n\r\n", "413", ""},
      {flood, "400", ""},
      {post + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "400", ""},
      {post + "Content-Length: 3\r\nContent-Length: 4\r\n\r\na=1", "400", ""},
      {post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "400",
       ""},
      {Post(push + sid + deep), "400", "refused 400 from 127.0.0.1: a parameter nests"},
      {Post(push + sid + many + "]"), "413", "refused 413 from 127.0.0.1: the parameters"},
      {Post(push + sid + std::string(300, '&')), "413", "refused 413 from 127.0.0.1: more than"},
      // An unknown session gets nothing parsed: the module refuses it, not the parser.
      {Post(push + "guess1" + deep), "200", "No permission to update info"},
  };
  for (const auto& c : cases) {
    const int fd = Connect();
    EXPECT_EQ("HTTP/1.1 " + c.status, Status(fd, c.request).substr(0, 12))
        << c.request.substr(0, 200);
    close(fd);
    EXPECT_NE(std::string::npos, readFile(hostLog()).find(c.logged)) << readFile(hostLog());
  }
  for (const char* cause : {"too_deep", "too_many_values", "too_many_fields", "session"})
    EXPECT_EQ(1, Metric(std::string("flx_requests_refused_total{cause=\"") + cause + "\"}"))
        << cause;
  // A flood of guessed sessions from one address meets nginx's rate limit (127.0.0.1 is exempt
  // for local tools; any other address is not).
  int limited = 0;
  for (int i = 0; i < 80; ++i) {
    const int fd = ConnectFrom("127.0.0.2");
    limited += Status(fd, Post(push + "guess" + std::to_string(i))).substr(0, 12) == "HTTP/1.1 429";
    close(fd);
  }
  EXPECT_GE(limited, 20);
}

// A worker that dies with a request in flight is replaced, and its replacement runs the request
// once more; a request that kills two workers goes to quarantine. SIGTERM stops the host after
// the answers in flight; SIGHUP replaces every worker without refusing a request.
TEST_F(PushIntegrationTest, WorkersAreReplacedRerunQuarantinedAndReloaded) {
  module_ = FLX_CRASH_MODULE_PATH;
  StartHost({"--workers", "1"});
  const int first = Call("pid");
  ASSERT_GT(first, 0);
  EXPECT_EQ(1, Call("threads"));
  EXPECT_EQ(-502, Call("crash"));
  const int second = Call("pid");  // waits in the socket's queue for the new worker
  EXPECT_GT(second, 0);
  EXPECT_NE(first, second);
  std::string log = readFile(hostLog());
  EXPECT_NE(std::string::npos, log.find("worker " + std::to_string(first) + " killed by signal 9"));
  EXPECT_NE(std::string::npos, log.find("died with a request in flight (api=T.Crash method=crash"))
      << log;
  EXPECT_NE(std::string::npos, log.find("quarantined ")) << log;
  Json::Value listed;
  std::string err;
  ASSERT_EQ(0, flxadmin::quarantineList(listed, err)) << err;
  ASSERT_EQ(1u, listed.size());
  EXPECT_EQ("T.Crash", listed[0]["api"].asString());
  EXPECT_EQ("crash", listed[0]["method"].asString());
  const auto kept = webapihost::ListQuarantine();
  ASSERT_EQ(1u, kept.size());
  EXPECT_EQ(std::string::npos,
            readFile(path(webapihost::kQuarantineDir) + "/" + kept[0].name).find(token_))
      << "the session outlives its request";
  int dropped = 0;
  ASSERT_EQ(0, flxadmin::quarantineDrop("", dropped, err)) << err;
  EXPECT_EQ(1, dropped);
  // The supervisor's counts and the dead workers' own: both workers that ran "crash" died.
  EXPECT_EQ(2, Metric("flx_worker_restarts_total{reason=\"signal\"}"));
  EXPECT_EQ(2, Metric("flx_requests_total{api=\"T.Crash\",method=\"pid\",result=\"ok\"}"));

  host_.Signal(SIGHUP);
  int last = second;
  for (int i = 0; i < 30; ++i) {
    last = Call("pid");
    EXPECT_GT(last, 0) << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(second, last) << "the old worker still serves after SIGHUP";
  EXPECT_NE(std::string::npos, readFile(hostLog()).find("SIGHUP: modules reloaded"));

  std::thread inFlight([&] { EXPECT_GT(Call("slow"), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  host_.Signal(SIGTERM);
  inFlight.join();
  EXPECT_EQ(0, host_.Wait(kStopMs));
  EXPECT_NE(0, kill(last, 0));
}

// A request past --request-timeout costs its worker, named in the log; while the only worker
// waits, an extra one serves the others.
TEST_F(PushIntegrationTest, OverdueRequestsAreKilledAndBusyWorkersGetHelp) {
  module_ = FLX_CRASH_MODULE_PATH;
  StartHost({"--workers", "1", "--request-timeout", "2", "--slow-ms", "400"});
  const int first = Call("pid");
  std::thread hung([&] { EXPECT_EQ(-502, Call("hang")); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  const int helper = Call("pid");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_NE(first, helper);
  EXPECT_GT(Call("slow"), 0);
  hung.join();
  const std::string log = readFile(hostLog());
  EXPECT_NE(std::string::npos, log.find("all 1 workers busy: started extra worker")) << log;
  EXPECT_NE(std::string::npos,
            log.find("request api=T.Crash method=hang device=ops ran past 2 s; killing the worker"))
      << log;
  EXPECT_NE(std::string::npos, log.find("slow request api=T.Crash method=slow")) << log;
  // The killed worker's answer may reach the client before the supervisor has reaped it.
  double restarts = 0;
  for (int i = 0; i < 50 && restarts == 0; ++i) {
    restarts = Metric("flx_worker_restarts_total{reason=\"timeout\"}");
    if (restarts == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(1, restarts);
}

// A call whose session the product refuses never reaches a module that trusts the check: no
// worker dies for it, nothing runs again or is quarantined. An operator's token in a GET gets
// nothing from the inventory, which answers POST only.
TEST_F(PushIntegrationTest, RefusedSessionsReachNoModuleAndRunNoMore) {
  module_ = FLX_CRASH_MODULE_PATH;
  StartHost({"--workers", "1", "--module", FLX_INVENTORY_PATH});
  const int worker = Call("pid");
  ASSERT_GT(worker, 0);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(R"({"success":false,"error":{"code":105}})", CallText("crash", false));
  EXPECT_EQ(worker, Call("pid"));
  EXPECT_EQ(0, Metric("flx_worker_restarts_total{reason=\"signal\"}"));
  EXPECT_TRUE(webapihost::ListQuarantine().empty());

  httplib::Client client(url_);
  const std::string list = "/webapi/entry.cgi?api=KEVO.FLX.Inventory&version=1&method=list";
  auto get = client.Get(list, {{"Cookie", "id=" + token_}});
  ASSERT_TRUE(get);
  EXPECT_EQ(R"({"success":false,"error":{"code":105}})", get->body);
  auto post = client.Post("/webapi/entry.cgi",
                          "api=KEVO.FLX.Inventory&version=1&method=list&_sid=" + token_,
                          "application/x-www-form-urlencoded");
  ASSERT_TRUE(post);
  EXPECT_EQ(0u, post->body.find(R"({"success":true)")) << post->body;
}

// Folders of hosts that died go at start, the host's own at its end; an in-flight file runs
// again only when the worker that wrote it in this host start died with it.
TEST_F(PushIntegrationTest, OnlyThisStartsDeadWorkersRequestsRunAgain) {
  module_ = FLX_CRASH_MODULE_PATH;
  webapihost::InFlight stale;
  stale.api = "T.Crash";
  stale.method = "crash";
  stale.raw.query = "api=T.Crash&version=1&method=crash";
  const std::string base = path(webapihost::kRunDir);
  ASSERT_TRUE(webapihost::WriteInFlight(writeFile(base + "/host.999999999/inflight.0", ""), stale));
  StartHost({"--workers", "1", "--request-timeout", "2"});
  const std::string run = RunDir();
  ASSERT_EQ(1u, flxagent::ListDir(base).size()) << run;
  const int worker = Call("pid");
  ASSERT_GT(worker, 0);
  // Planted beside the worker's own, as an earlier start (the same pid again) would have left
  // them, and long since written.
  stale.hostStart = "host.1.2.3";
  auto plant = [&] {
    for (const std::string& at : {run + "/inflight.0", run + "/inflight/0"}) {
      ASSERT_TRUE(webapihost::WriteInFlight(at, stale));
      const timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
      ASSERT_EQ(0, utimensat(AT_FDCWD, at.c_str(), old, 0));
    }
  };
  plant();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(worker, Call("pid")) << "a stale file made the worker look overdue";
  plant();
  ASSERT_EQ(0, kill(worker, SIGKILL));
  const int next = Call("pid");
  EXPECT_GT(next, 0);
  EXPECT_NE(worker, next);
  const std::string log = readFile(hostLog());
  EXPECT_NE(std::string::npos, log.find("dropped an in-flight file that worker " +
                                        std::to_string(worker) + " did not write"))
      << log;
  EXPECT_EQ(std::string::npos, log.find("running it once more")) << log;
  EXPECT_TRUE(webapihost::ListQuarantine().empty());
  host_.Signal(SIGTERM);
  EXPECT_EQ(0, host_.Wait(kStopMs));
  EXPECT_TRUE(flxagent::ListDir(base).empty());
}

// The private nginx never outlives its host, even one killed outright, and its error log is
// not for other users.
TEST_F(PushIntegrationTest, PrivateFrontDiesWithItsHost) {
  module_ = FLX_CRASH_MODULE_PATH;
  StartHost({"--workers", "1"});
  ASSERT_GT(Call("pid"), 0);
  const std::string front = RunDir() + "/front";
  struct stat st;
  ASSERT_EQ(0, stat((front + "/error.log").c_str(), &st));
  EXPECT_EQ(0u, st.st_mode & 07) << std::oct << st.st_mode;
  const pid_t nginx = std::stoi(readFile(front + "/nginx.pid"));
  ASSERT_EQ(0, kill(nginx, 0));
  host_.Signal(SIGKILL);
  host_.Wait(kStopMs);
  // Gone, or a zombie that nothing reaps in a container without an init.
  auto alive = [](pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    return !stat.empty() && stat.find(") Z ") == std::string::npos;
  };
  for (int i = 0; i < 50 && alive(nginx); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(alive(nginx));
  const int port = std::stoi(url_.substr(url_.rfind(':') + 1));
  int fd = -1;
  for (int i = 0; i < 50 && (fd = flxtest::LoopbackConnect(port)) >= 0; ++i) {
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_LT(fd, 0) << "something still listens on the host's port";
}

// No session id or token in a URL reaches nginx's error log: refused before anything logs the
// request line, however the name is spelt; the other names still reach the log.
TEST_F(PushIntegrationTest, SessionIdsInUrlsAreRefusedBeforeAnyLog) {
  StartHost();
  const std::string get = " HTTP/1.1\r\nHost: h\r\n\r\n";
  const struct {
    std::string request, status;
  } cases[] = {
      {"GET /webapi/entry.cgi?api=A&_sid=SECRET1" + get, "400"},
      {"GET /missing.png?x=1&%5Fsid=SECRET2" + get, "400"},
      {"POST /webapi/entry.cgi?_SID=SECRET3 HTTP/1.1\r\nHost: h\r\nContent-Length: "
       "99999999\r\n\r\n",
       "400"},
      {"GET /missing.png?_sidx=1&sid=2" + get, "404"},  // logged: the log is read below
  };
  for (const auto& c : cases) {
    const int fd = Connect();
    EXPECT_EQ("HTTP/1.1 " + c.status, Status(fd, c.request).substr(0, 12)) << c.request;
    close(fd);
  }
  const std::string log = readFile(RunDir() + "/front/error.log");
  EXPECT_NE(std::string::npos, log.find("_sidx=1")) << log;
  EXPECT_EQ(std::string::npos, log.find("SECRET")) << log;
  httplib::Client client(url_);
  auto r = client.Get("/webapi/entry.cgi?_sid=x");
  ASSERT_TRUE(r);
  EXPECT_NE(std::string::npos, r->body.find("belongs in the POST body or the cookie")) << r->body;
}

// A large fleet's scrape counts as busy; nginx buffers it, so clients that never read hold no
// worker; the worker's memory goes back to what it was before.
TEST_F(PushIntegrationTest, LargeScrapesHoldNoWorkerNorItsMemory) {
  module_ = FLX_CRASH_MODULE_PATH;
  const uint64_t id = addDevice(kSn);
  query(
      // Full volumes, which a scrape shows by default; enough of them that making it takes
      // well over the 0.3 s after which a busy worker gets help.
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 250000) "
      "INSERT INTO vol_info (name, status, size_total, size_used, qx_id) "
      "SELECT 'volume-' || i, 'normal', 1000000000000, 950000000000, " +
      std::to_string(id) + " FROM n");
  StartHost({"--workers", "1", "--max-workers", "2"});
  const int worker = Call("pid");
  ASSERT_GT(worker, 0);
  auto rssKiB = [worker] {
    const std::string status = readFile("/proc/" + std::to_string(worker) + "/status");
    const size_t at = status.find("RssAnon:");
    return at == std::string::npos ? -1L : std::atol(status.c_str() + at + 8);
  };
  [[maybe_unused]] const long before = rssKiB();  // unread where ASan keeps freed memory
  httplib::Client client(url_);
  client.set_read_timeout(30, 0);
  auto scrape = client.Get("/metrics");
  ASSERT_TRUE(scrape);
  ASSERT_GT(scrape->body.size(), size_t(8) << 20);
  // A second or so here: a scrape is busy like any request, and help comes.
  EXPECT_NE(std::string::npos, readFile(hostLog()).find("all 1 workers busy: started extra"))
      << Metric("flx_scrape_duration_seconds") << " s";
#ifndef __SANITIZE_ADDRESS__  // whose allocator keeps freed memory in quarantine
  EXPECT_LT(rssKiB(), before + 2048) << "KiB before: " << before;
#endif

  std::vector<int> readers;
  for (int i = 0; i < 4; ++i) {
    readers.push_back(Connect());
    const std::string get = "GET /metrics HTTP/1.1\r\nHost: h\r\n\r\n";
    send(readers.back(), get.data(), get.size(), MSG_NOSIGNAL);
  }
  // Served once the workers have made the scrapes (seconds), not when the readers give up
  // (nginx's 30 s send timeout).
  const auto start = std::chrono::steady_clock::now();
  EXPECT_GT(Call("pid"), 0);
#ifdef __SANITIZE_ADDRESS__
  const auto bound = std::chrono::seconds(18);
#else
  const auto bound = std::chrono::seconds(6);
#endif
  EXPECT_LT(std::chrono::steady_clock::now() - start, bound);
  for (int fd : readers) close(fd);
}

// The WAL file outlives the module's short connections only while a worker holds one open, as
// it does by default (DemoBatchIsStoredEndToEnd finds it).
TEST_F(PushIntegrationTest, NoKeepOpenLeavesNoWalFile) {
  addDevice(kSn);
  const std::string sid = addSession(kSn);
  StartHost({"--workers", "1", "--no-keep-open"});
  ASSERT_EQ(0, Push({"--sid", sid, demoBatch()}).exit);
  struct stat st;
  EXPECT_NE(0, stat((cacheDbPath() + "-wal").c_str(), &st));
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
