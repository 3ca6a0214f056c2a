// End to end: the host itself under faults, limits and hostile requests.
#include "integration/host_fixture.h"

namespace {

using flxtest::Child;
using flxtest::kSn;
using flxtest::kStartMs;
using flxtest::kStopMs;
using flxtest::PushIntegrationTest;

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
  const auto first = std::chrono::steady_clock::now();
  auto scrape = client.Get("/metrics");
  const auto oneScrape = std::chrono::steady_clock::now() - first;
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
  // Served once the two workers have made the four scrapes, not when the readers give up
  // (nginx's 30 s send timeout). The bound follows this machine's pace, as the first scrape
  // measured it, and stays below that timeout.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_GT(Call("pid"), 0);
  const auto bound = std::min<std::chrono::steady_clock::duration>(
      4 * oneScrape + std::chrono::seconds(2), std::chrono::seconds(25));
  EXPECT_LT(std::chrono::steady_clock::now() - start, bound)
      << "one scrape: " << std::chrono::duration<double>(oneScrape).count() << " s";
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

}  // namespace
