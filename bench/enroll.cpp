// Enrollment under load, each figure beside a baseline of the same run:
//
//   flx-enroll-bench join [--agents 1000]     machines joining at once (baseline: a refused secret)
//   flx-enroll-bench clones [--pairs 100]     clone pairs: pushes until detected, then apart
//   flx-enroll-bench latency [--rate 100] [--seconds 10] [--rounds 5] [--devices 100]
//                            [--without-arrival]
//                                             push latency with the identity check and without
//                                             (and without the arrival record either)
//
// Each run makes a temporary root and starts the host built beside this program with its
// private front (`--listen`); the latency run starts a second host without the identity check
// (FLX_IDENTITY_CHECK=off, honoured by test builds only) and paces both at the same rate; the
// join run ends on a second host whose workers run each join alone (FLX_JOIN_BATCH=off).
#include <arpa/inet.h>
#include <errno.h>
#include <httplib.h>
#include <json/reader.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "admin.h"
#include "admin_enroll.h"
#include "bench_util.h"
#include "flxenroll.h"
#include "flxoperators.h"
#include "host.h"
#include "push.h"

namespace {

using Clock = std::chrono::steady_clock;
const char kForm[] = "application/x-www-form-urlencoded";

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Stats {
  double p50 = 0, p90 = 0, p99 = 0, max = 0;
};
Stats Summarise(std::vector<double> ms) {
  Stats s;
  if (ms.empty()) return s;
  std::sort(ms.begin(), ms.end());
  const auto at = [&ms](double q) { return ms[std::min(ms.size() - 1, size_t(q * ms.size()))]; };
  s.p50 = at(0.5);
  s.p90 = at(0.9);
  s.p99 = at(0.99);
  s.max = ms.back();
  return s;
}
void Print(const char* what, const Stats& s) {
  printf("%-34s p50 %7.2f  p90 %7.2f  p99 %7.2f  max %7.2f ms\n", what, s.p50, s.p90, s.p99, s.max);
}

std::string Registry(const flxbench::TempRoot& root, const std::string& sql) {
  std::string out = flxbench::Output(
      {"/usr/bin/sqlite3", root.Path("/var/packages/FLX/target/db/flx_registry.sqlite"), sql});
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// A machine's identity for the join: serial and fingerprint inputs of bench machine `i`.
std::string Identity(const std::string& serial, int i, const std::string& mac) {
  Json::Value id;
  id["serial"] = serial;
  id["hostname"] = "bench-" + std::to_string(i);
  id["machine_id"] = "machine-" + std::to_string(i);
  id["product_uuid"] = "";
  id["macs"].append(mac);
  return flxpush::Compact(id);
}
std::string FingerprintOf(int i, const std::string& mac) {
  return flxenroll::Fingerprint("machine-" + std::to_string(i), "", {mac});
}

// One join; its answer code (0: success, -1: no answer) and data.
int Join(httplib::Client& client, const std::string& token, const std::string& identity,
         Json::Value* data = nullptr) {
  const auto r = client.Post("/webapi/entry.cgi",
                             flxpush::FormEncode({{"api", "KEVO.FLX.Enroll"},
                                                  {"version", "1"},
                                                  {"method", "join"},
                                                  {"token", token},
                                                  {"identity", identity}}),
                             kForm);
  if (!r) return -1;
  if (r->status != 200) return -r->status;  // nginx's own answer: -502, -429, ...
  const int code = flxpush::AnswerCode(r->body);
  if (code == 0 && data != nullptr) {
    Json::Value answer;
    std::istringstream in(r->body);
    in >> answer;
    *data = answer["data"];
  }
  return code;
}

std::string Token(const std::string& url) {
  flxadmin::EnrollOptions o;
  o.url = url;
  o.ttl = 3600;
  std::string line, err;
  if (flxadmin::enrollAdd(o, line, err) != 0) return std::string();
  const size_t at = line.find("--token ") + 8;
  return line.substr(at, line.find(' ', at) - at);
}

// One request of many sent at once: a connection of its own, written whole, read to its end.
struct Shot {
  int fd = -1;
  std::string out, in;
  size_t sent = 0;
  Clock::time_point start, end;
};

// Posts each body to `path` at `port` on its own connection, all at once, from one thread: the
// machines that join are elsewhere in a fleet, so the bench's own share of the two cores is
// kept to a few system calls a join. Each request's time; `answers` gets each body.
std::vector<double> PostAtOnce(int port, const std::string& path,
                               const std::vector<std::string>& bodies,
                               std::vector<std::string>& answers, double& wallMs) {
  const size_t n = bodies.size();
  std::vector<Shot> shots(n);
  for (size_t i = 0; i < n; ++i)
    shots[i].out = "POST " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                   "Content-Type: " + kForm +
                   "\r\nContent-Length: " + std::to_string(bodies[i].size()) + "\r\n\r\n" +
                   bodies[i];
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto released = Clock::now();
  size_t open = 0;
  for (size_t i = 0; i < n; ++i) {
    Shot& s = shots[i];
    s.start = Clock::now();
    s.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.fd < 0) continue;
    if (connect(s.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
        errno != EINPROGRESS) {
      close(s.fd);
      s.fd = -1;
      continue;
    }
    epoll_event e{};
    e.events = EPOLLOUT | EPOLLIN;
    e.data.u64 = i;
    epoll_ctl(ep, EPOLL_CTL_ADD, s.fd, &e);
    ++open;
  }
  std::vector<epoll_event> ready(256);
  char buf[16384];
  while (open > 0) {
    const int got = epoll_wait(ep, ready.data(), static_cast<int>(ready.size()), 60000);
    if (got <= 0) break;
    for (int k = 0; k < got; ++k) {
      Shot& s = shots[ready[k].data.u64];
      if (s.fd < 0) continue;
      bool done = (ready[k].events & (EPOLLERR)) != 0;
      if (!done && s.sent < s.out.size() && (ready[k].events & EPOLLOUT)) {
        const ssize_t w = send(s.fd, s.out.data() + s.sent, s.out.size() - s.sent, MSG_NOSIGNAL);
        if (w > 0) s.sent += static_cast<size_t>(w);
        if (s.sent == s.out.size()) {
          epoll_event e{};
          e.events = EPOLLIN;
          e.data.u64 = ready[k].data.u64;
          epoll_ctl(ep, EPOLL_CTL_MOD, s.fd, &e);
        }
      }
      if (!done && (ready[k].events & (EPOLLIN | EPOLLHUP))) {
        ssize_t r;
        while ((r = read(s.fd, buf, sizeof buf)) > 0) s.in.append(buf, static_cast<size_t>(r));
        done = r == 0 || (r < 0 && errno != EAGAIN);
      }
      if (done) {
        s.end = Clock::now();
        close(s.fd);
        s.fd = -1;
        --open;
      }
    }
  }
  close(ep);
  std::vector<double> ms(n, 0);
  answers.assign(n, std::string());
  Clock::time_point last = released;
  for (size_t i = 0; i < n; ++i) {
    if (shots[i].fd >= 0) close(shots[i].fd);  // never answered
    ms[i] = Ms(shots[i].end - shots[i].start);
    last = std::max(last, shots[i].end);
    answers[i] = std::move(shots[i].in);
  }
  wallMs = Ms(last - released);
  return ms;
}

// The answer code of an HTTP answer to a join: 0, the method's error, or minus the status
// (nginx's own answer: -502, -429, ...); -1 with none.
int JoinCode(const std::string& http) {
  if (http.compare(0, 9, "HTTP/1.1 ") != 0) return -1;
  const int status = atoi(http.c_str() + 9);
  const size_t body = http.find("\r\n\r\n");
  if (status != 200 || body == std::string::npos) return -status;
  return flxpush::AnswerCode(http.substr(body + 4));
}

// `n` joins released at once, each on its own connection; their times and codes.
std::vector<double> JoinAtOnce(const std::string& url, const std::string& token, int n,
                               const std::string& serialPrefix, std::vector<int>& codes,
                               double& wallMs, const std::function<void()>& atRelease,
                               const std::string& path = "/webapi/entry.cgi") {
  std::vector<std::string> bodies;
  for (int i = 0; i < n; ++i)
    bodies.push_back(
        flxpush::FormEncode({{"api", "KEVO.FLX.Enroll"},
                             {"version", "1"},
                             {"method", "join"},
                             {"token", token},
                             {"identity", Identity(serialPrefix + std::to_string(i), i,
                                                   "52:54:00:00:" + std::to_string(i % 100))}}));
  const int port = atoi(url.substr(url.rfind(':') + 1).c_str());
  std::vector<std::string> answers;
  atRelease();
  const std::vector<double> ms = PostAtOnce(port, path, bodies, answers, wallMs);
  codes.clear();
  for (const std::string& a : answers) codes.push_back(JoinCode(a));
  return ms;
}

// `flx-admin init` in `root`, then a host on it; `url` gets its address.
bool StartOn(const flxbench::TempRoot& root, flxbench::Host& host, std::string& url) {
  return root.Init(FLX_ADMIN_BIN) &&
         host.Start({FLX_HOST_BIN, "--listen", "127.0.0.1:0", "--log-level", "notice"},
                    root.dir() + "/host.log", url);
}

int RunJoin(int agents) {
  flxbench::TempRoot root("/tmp/flx-enroll-bench");
  flxbench::Host host;
  std::string url;
  if (!StartOn(root, host, url)) return 1;
  // The registry held with the host's policy before this process opens it, so that the joins
  // run here commit as in the host's workers.
  webapihost::IdleConnections held;
  held.Open(root.Path("/var/packages/FLX/target/db/flx_registry.sqlite"),
            webapihost::StorePolicy());
  const std::string token = Token(url);
  std::vector<int> codes;
  // Baseline: the same number of joins refused at once for a wrong secret (no transaction).
  const std::string bad = token.substr(0, token.find('.') + 1) + "0000000000000000";
  // CPU from the release of a phase's joins to its last answer: the host's tree (supervisor,
  // workers, its nginx), this client, and the machine's idle and total time (/proc/stat, in ticks).
  struct Cpu {
    double host, client, idle, total;
  };
  const auto cpuNow = [&host]() {
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    std::ifstream stat("/proc/stat");
    std::string cpu;
    double v[8] = {0}, total = 0;
    stat >> cpu;
    for (double& x : v) stat >> x, total += x;
    return Cpu{flxbench::TreeCpuMs(host.pid()), ms(self.ru_utime) + ms(self.ru_stime), v[3] + v[4],
               total};
  };
  double floorWall = 0, refusedWall = 0, joinedWall = 0;
  Cpu f0{}, r0{}, j0{};
  // The floor: the same requests answered by the front alone (its redirect of "/"), no worker.
  const Stats floor = Summarise(JoinAtOnce(
      url, bad, agents, "FLOOR", codes, floorWall, [&] { f0 = cpuNow(); }, "/"));
  const Cpu f1 = cpuNow();
  const int floorOk = int(std::count(codes.begin(), codes.end(), -302));
  const Stats refused = Summarise(
      JoinAtOnce(url, bad, agents, "REFUSED", codes, refusedWall, [&] { r0 = cpuNow(); }));
  const Cpu r1 = cpuNow();
  const int refusedOk = int(std::count(codes.begin(), codes.end(), flxenroll::kErrTokenBad));
  const Stats joined =
      Summarise(JoinAtOnce(url, token, agents, "SN", codes, joinedWall, [&] { j0 = cpuNow(); }));
  const Cpu j1 = cpuNow();
  const int ok = int(std::count(codes.begin(), codes.end(), 0));
  std::map<int, int> answers;
  for (int code : codes) ++answers[code];
  for (const auto& a : answers) printf("  answer %d: %d\n", a.first, a.second);
  printf("%d machines joining at once through the private front (load %s)\n", agents,
         flxbench::LoadAverage().c_str());
  Print("the front alone (floor)", floor);
  Print("refused secret (baseline)", refused);
  Print("join", joined);
  // All at once, the last answer comes when the host has worked through the queue: the p99 is
  // about the number of joins over the throughput.
  printf(
      "throughput: the front alone %.0f/s (all answered in %.0f ms), refused %.0f joins/s (%.0f "
      "ms), joined %.0f joins/s (%.0f ms)\n",
      agents * 1000.0 / floorWall, floorWall, agents * 1000.0 / refusedWall, refusedWall,
      agents * 1000.0 / joinedWall, joinedWall);
  // Whatever else the machine runs, the CPU a join takes bounds the throughput: on N cores,
  // N / (CPU a join) joins a second at best.
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  for (const auto& phase : {std::make_pair("the front alone", std::make_pair(f0, f1)),
                            std::make_pair("refused", std::make_pair(r0, r1)),
                            std::make_pair("joined", std::make_pair(j0, j1))}) {
    const double hostMs = (phase.second.second.host - phase.second.first.host) / agents;
    const double clientMs = (phase.second.second.client - phase.second.first.client) / agents;
    const double ceiling = cores * 1000.0 / (hostMs + clientMs);
    const double idle = 100.0 * (phase.second.second.idle - phase.second.first.idle) /
                        (phase.second.second.total - phase.second.first.total);
    printf(
        "CPU a join, %s: host %.2f ms (workers, supervisor, nginx), client %.2f ms; on %ld cores "
        "at most %.0f joins/s, so %d at once need at "
        "least %.0f ms; the machine was idle %.0f %% of the phase\n",
        phase.first, hostMs, clientMs, cores, ceiling, agents, agents * 1000.0 / ceiling, idle);
  }
  printf(
      "joined %d of %d (refused as expected: %d; the front's redirects: %d); distinct devices "
      "%s; sessions %s; p99 ratio join/refused %.2f\n",
      ok, agents, refusedOk, floorOk,
      Registry(root, "SELECT count(DISTINCT sn) FROM devices").c_str(),
      Registry(root, "SELECT count(*) FROM sessions").c_str(), joined.p99 / refused.p99);
  // The store's share: the same joins in this process, one after another, with their audit
  // entry, on the same registry (FLX_ROOT names it); the rest of a join's time is the front,
  // the FastCGI hop, the worker and the waits.
  const std::string publicId = token.substr(0, token.find('.'));
  const std::string secret = token.substr(token.find('.') + 1);
  flxops::AuditEntry audit;
  audit.action = "enroll";
  audit.object = publicId;
  audit.address = "127.0.0.1";
  // Alone, then in batches of 32 (one transaction each), as a worker runs the joins that queue.
  for (const int batch : {1, 32}) {
    const auto inStart = Clock::now();
    int inOk = 0;
    for (int i = 0; i < agents; ++i) {
      if (batch > 1 && i % batch == 0) flxenroll::OpenJoinBatch();
      flxenroll::Identity id;
      id.serial = "INPROC" + std::to_string(batch) + "-" + std::to_string(i);
      id.hostname = "inproc-" + std::to_string(i);
      id.fingerprint = FingerprintOf(100000 * batch + i, "52:54:00:00:00:01");
      id.json = Identity(id.serial, 100000 * batch + i, "52:54:00:00:00:01");
      flxenroll::Issued issued;
      audit.who = id.serial;
      inOk += flxenroll::Join(publicId, secret, id, time(nullptr), issued, &audit) == 0;
      if (batch > 1 && (i % batch == batch - 1 || i == agents - 1)) flxenroll::CloseJoinBatch();
    }
    printf("the join in this process, %s: %.1f us each (%d of %d joined)\n",
           batch == 1 ? "one after another" : "in batches of 32",
           Ms(Clock::now() - inStart) * 1000.0 / agents, inOk, agents);
  }
  std::string locked =
      flxbench::Output({"/usr/bin/grep", "-c", "-i", "locked\\|busy", root.dir() + "/host.log"});
  while (!locked.empty() && locked.back() == '\n') locked.pop_back();
  printf("log lines about locks: %s\n", locked.empty() ? "0" : locked.c_str());
  // The same joins on a host whose workers run each alone (FLX_JOIN_BATCH=off, honoured by test
  // builds only): what the batches save, in this run.
  flxbench::TempRoot aloneRoot("/tmp/flx-enroll-bench");
  flxbench::Host aloneHost;
  std::string aloneUrl;
  setenv("FLX_JOIN_BATCH", "off", 1);
  const bool started = StartOn(aloneRoot, aloneHost, aloneUrl);
  unsetenv("FLX_JOIN_BATCH");
  if (!started) return 1;
  double aloneWall = 0;
  const Stats alone =
      Summarise(JoinAtOnce(aloneUrl, Token(aloneUrl), agents, "SN", codes, aloneWall, [] {}));
  Print("join, each alone (no batches)", alone);
  printf("joined %d; all answered in %.0f ms; p99 ratio batched/alone %.2f\n",
         int(std::count(codes.begin(), codes.end(), 0)), aloneWall, joined.p99 / alone.p99);
  return ok == agents ? 0 : 1;
}

// Pushes one basic item for session `sid` with `fingerprint`; the answer code.
int PushOne(const std::string& url, const std::string& sid, const std::string& fingerprint,
            const Json::Value& batch, const std::string& keyFile) {
  flxpush::PushOptions o;
  o.url = url;
  o.sid = sid;
  o.fingerprint = fingerprint;
  o.keyFile = keyFile;
  std::ostringstream out, err;
  int code = -1;
  flxpush::PushBatch(o, batch, out, err, "bench", &code);
  return code;
}

Json::Value BasicItem() {
  Json::Value batch;
  std::ifstream in(std::string(FLX_SOURCE_DIR) + "/examples/demo-batch.json");
  in >> batch;
  Json::Value out(Json::arrayValue);
  for (const Json::Value& item : batch) {
    if (item["module_name"].asString() == "basic") out.append(item);
  }
  return out;
}

int RunClones(int pairs) {
  flxbench::TempRoot root("/tmp/flx-enroll-bench");
  flxbench::Host host;
  std::string url;
  if (!StartOn(root, host, url)) return 1;
  const std::string token = Token(url);
  const std::string key = root.Path("/var/packages/FLX/target/etc/push.key");
  const Json::Value batch = BasicItem();
  httplib::Client client(url);
  int detectedWithin2 = 0, apart = 0;
  std::vector<double> detectMs;
  for (int i = 0; i < pairs; ++i) {
    const std::string serial = "CLONE" + std::to_string(i);
    const std::string macA = "52:54:00:aa:00:01", macB = "52:54:00:bb:00:02";
    Json::Value original, clone;
    if (Join(client, token, Identity(serial, i, macA), &original) != 0) return 1;
    const std::string sid = original["sid"].asString();
    PushOne(url, sid, FingerprintOf(i, macA), batch, key);
    // The clone: same machine id, the session file copied, another network card.
    int pushes = 0, code = 0;
    const auto start = Clock::now();
    while (pushes < 5 && code != flxenroll::kErrEnrollAgain)
      code = PushOne(url, sid, FingerprintOf(i, macB), batch, key), ++pushes;
    detectMs.push_back(Ms(Clock::now() - start));
    if (code == flxenroll::kErrEnrollAgain && pushes <= 2) ++detectedWithin2;
    if (Join(client, token, Identity(serial, i, macB), &clone) != 0) continue;
    if (clone["sn"].asString() != serial &&
        PushOne(url, clone["sid"].asString(), FingerprintOf(i, macB), batch, key) == 0 &&
        PushOne(url, sid, FingerprintOf(i, macA), batch, key) == 0)
      ++apart;
  }
  printf(
      "%d clone pairs: detected within two pushes %d, each its own device after enrolling "
      "again %d, devices %s, marked identity-conflict %s\n",
      pairs, detectedWithin2, apart, Registry(root, "SELECT count(*) FROM devices").c_str(),
      Registry(root, "SELECT count(*) FROM device_admissions WHERE conflict = 1").c_str());
  Print("clone's pushes until told (ms)", Summarise(detectMs));
  return detectedWithin2 == pairs && apart == pairs ? 0 : 1;
}

// Pushes at `rate` a second for `seconds` round the sessions; each push's time.
std::vector<double> Paced(const std::string& url, const std::vector<std::string>& sids,
                          const std::vector<std::string>& fps, const std::string& key, double rate,
                          int seconds) {
  const Json::Value batch = BasicItem();
  std::vector<double> ms;
  const auto start = Clock::now();
  const int total = int(rate * seconds);
  for (int i = 0; i < total; ++i) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t(i * 1e6 / rate)));
    const auto t = Clock::now();
    PushOne(url, sids[i % sids.size()], fps[i % fps.size()], batch, key);
    ms.push_back(Ms(Clock::now() - t));
  }
  return ms;
}

int RunLatency(double rate, int seconds, int rounds, int devices, bool withoutArrival) {
  struct Side {
    std::unique_ptr<flxbench::TempRoot> root;
    flxbench::Host host;
    std::string url;
    std::vector<std::string> sids, fps;
    std::vector<double> ms;
  } sides[2];
  for (int s = 0; s < 2; ++s) {
    Side& side = sides[s];
    side.root.reset(new flxbench::TempRoot("/tmp/flx-enroll-bench"));
    // The baseline is the push path before the identity check and the arrival record.
    if (s == 1) {
      setenv("FLX_IDENTITY_CHECK", "off", 1);
      if (withoutArrival) setenv("LD_PRELOAD", FLX_NOCONTACT_SHIM, 1);
    }
    const bool ok = StartOn(*side.root, side.host, side.url);
    unsetenv("FLX_IDENTITY_CHECK");
    unsetenv("LD_PRELOAD");
    if (!ok) return 1;
    const std::string token = Token(side.url);
    httplib::Client client(side.url);
    for (int i = 0; i < devices; ++i) {
      Json::Value data;
      const std::string mac = "52:54:00:00:00:01";
      if (Join(client, token, Identity("LAT" + std::to_string(i), i, mac), &data) != 0) return 1;
      side.sids.push_back(data["sid"].asString());
      side.fps.push_back(FingerprintOf(i, mac));
    }
  }
  // Both at once, so that the machine's other load falls on both alike; in rounds, whose
  // ratios are summarised by their minimum and median (a shared machine's noise comes in bursts).
  std::vector<double> p50s, p90s;
  for (int round = 0; round < rounds; ++round) {
    std::vector<double> ms[2];
    const auto run = [&](int s) {
      ms[s] = Paced(sides[s].url, sides[s].sids, sides[s].fps,
                    sides[s].root->Path("/var/packages/FLX/target/etc/push.key"), rate, seconds);
    };
    // Each side takes the other thread every other round.
    std::thread other(run, round % 2);
    run(1 - round % 2);
    other.join();
    const Stats on = Summarise(ms[0]), off = Summarise(ms[1]);
    p50s.push_back(on.p50 / off.p50);
    p90s.push_back(on.p90 / off.p90);
    for (int s = 0; s < 2; ++s) sides[s].ms.insert(sides[s].ms.end(), ms[s].begin(), ms[s].end());
  }
  const Stats on = Summarise(sides[0].ms), off = Summarise(sides[1].ms);
  printf("%d rounds of %d s: %d pushes at %.0f/s to each of two hosts (load %s)\n", rounds, seconds,
         int(sides[0].ms.size()), rate, flxbench::LoadAverage().c_str());
  Print(withoutArrival ? "without the check and arrival record" : "without the identity check",
        off);
  Print(withoutArrival ? "with the check and arrival record" : "with the identity check", on);
  std::sort(p50s.begin(), p50s.end());
  std::sort(p90s.begin(), p90s.end());
  printf("ratio with/without, all pushes: p50 %.3f, p90 %.3f, p99 %.3f\n", on.p50 / off.p50,
         on.p90 / off.p90, on.p99 / off.p99);
  printf("ratio with/without by round: p50 min %.3f median %.3f; p90 min %.3f median %.3f\n",
         p50s.front(), p50s[p50s.size() / 2], p90s.front(), p90s[p90s.size() / 2]);
  // The check itself, in this process on the last root (FLX_ROOT names it): below the noise
  // of a shared machine's push latency, so it is also given as a share of a push.
  const int calls = 5000;
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i)
    flxenroll::CheckPush(sides[1].sids[i % sides[1].sids.size()],
                         "LAT" + std::to_string(i % devices), sides[1].fps[i % sides[1].fps.size()],
                         "", time(nullptr));
  const double us = Ms(Clock::now() - start) * 1000.0 / calls;
  printf("the identity check alone: %.1f us a push, %.2f %% of the p50 push without it\n", us,
         us / 10.0 / off.p50);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Enrollment benchmarks; each prints its figures beside a baseline of the run"};
  app.require_subcommand(1);
  int agents = 1000, pairs = 100, seconds = 10, rounds = 5, devices = 100;
  double rate = 100;
  CLI::App* join = app.add_subcommand("join", "machines joining at once");
  join->add_option("--agents", agents)->capture_default_str()->check(CLI::Range(1, 5000));
  CLI::App* clones = app.add_subcommand("clones", "clone pairs detected and set apart");
  clones->add_option("--pairs", pairs)->capture_default_str()->check(CLI::Range(1, 10000));
  CLI::App* latency = app.add_subcommand("latency", "push latency with and without the check");
  latency->add_option("--rate", rate)->capture_default_str()->check(CLI::Range(1.0, 1000.0));
  latency->add_option("--seconds", seconds, "of each round")
      ->capture_default_str()
      ->check(CLI::Range(1, 600));
  latency->add_option("--rounds", rounds)->capture_default_str()->check(CLI::Range(1, 100));
  latency->add_option("--devices", devices)->capture_default_str()->check(CLI::Range(1, 10000));
  bool withoutArrival = false;
  latency->add_flag("--without-arrival", withoutArrival,
                    "the baseline host records no arrival either (nocontact.so)");
  CLI11_PARSE(app, argc, argv);
  if (join->parsed()) return RunJoin(agents);
  if (clones->parsed()) return RunClones(pairs);
  return RunLatency(rate, seconds, rounds, devices, withoutArrival);
}
