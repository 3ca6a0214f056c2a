// The host program: the FastCGI workers, their supervisor, and the private nginx front.
#include "host.h"

#include <arpa/inet.h>
#include <fcgiapp.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

#include "kevocore.h"
#include "kevoids.h"
#include "kevoroot.h"

namespace webapihost {

namespace {

using Clock = std::chrono::steady_clock;

const char kProgram[] = "flx-webapi-host";
const char kNginx[] = "/usr/sbin/nginx";
// Worker exit codes that are not failures: replaced after its requests, or an idle extra.
const int kExitRecycled = 0;
const int kExitIdle = 3;
// An extra worker with nothing to do for this long exits.
const auto kExtraIdle = std::chrono::seconds(10);
// Every worker busy with one request for this long: an extra one starts.
const auto kBusyFor = std::chrono::milliseconds(300);
// The supervisor's tick: deadlines, busy workers, replacements.
const int kTickMs = 100;

bool gLogToStderr = false;
volatile sig_atomic_t gStop = 0;

// A start-up failure: one line on stderr, and in the log.
void Fail(const std::string& message) {
  if (!gLogToStderr) std::cerr << kProgram << ": " << message << std::endl;
  syslog(LOG_ERR, "%s", message.c_str());
}

std::string Oneline(const std::string& text) {
  std::string out = text.substr(0, 80);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x21 || c == 0x7f) c = '?';
  }
  return out.empty() ? std::string("-") : out;
}

std::string Describe(const InFlight& r) {
  return "api=" + Oneline(r.api) + " method=" + Oneline(r.method) + " device=" + Oneline(r.device);
}

// --- sockets ---

// A listening socket on HOST:PORT (port 0: any free one, written back), or -1 with `err`.
int ListenTcp(const std::string& host, int& port, std::string& err) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    err = "cannot resolve " + host;
    return -1;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, freeaddrinfo);
  const int fd = socket(found->ai_family, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 511) != 0) {
    err = std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                       : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  return fd;
}

int ListenUnix(const std::string& path, uid_t uid, gid_t gid, std::string& err) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) {
    err = "socket path too long: " + path;
    return -1;
  }
  std::strcpy(a.sun_path, path.c_str());
  unlink(path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 511) != 0 ||
      chown(path.c_str(), uid, gid) != 0 || chmod(path.c_str(), 0660) != 0) {
    err = path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

bool IsLoopback(const std::string& host) {
  in_addr v4;
  return host == "::1" || host == "localhost" ||
         (inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127);
}

// --- the worker ---

struct WorkerSetup {
  int listenFd;
  const ApiRegistry* registry;
  const HostOptions* options;
  std::string inFlight;  // this worker's in-flight file
  std::string rerun;     // a request a dead worker left, to run once more first; or empty
  bool extra;
  pid_t parent;
};

void OnStop(int) {
  gStop = 1;
  FCGX_ShutdownPending();
}

// Holds the store files (opened as root: the databases are root's; a connection stays usable
// once the ids are back).
void HoldStore(IdleConnections& idle, const HostOptions& options) {
  KeepFreedMemory();
  kevo::RootIds root;
  for (const std::string& path : options.keepOpen) idle.Open(path, options.store);
}

std::string Param(FCGX_Request& req, const char* name) {
  const char* value = FCGX_GetParam(name, req.envp);
  return value != nullptr ? value : "";
}

// The families the host counts itself; the product describes its own in ApplyDefaults.
void DescribeHostMetrics(const HostOptions& options) {
  using metrics::Type;
  metrics::Describe("flx_requests_total", Type::kCounter,
                    "Requests answered, by api, method and result (ok, or the error code).");
  metrics::Describe("flx_requests_refused_total", Type::kCounter,
                    "Requests refused before or instead of their method, by cause.");
  if (!options.timedMethod.empty())
    metrics::Describe("flx_" + options.timedMethod + "_duration_seconds", Type::kHistogram,
                      "Time to answer one " + options.timedMethod + " call, in seconds.");
  metrics::Describe("flx_worker_restarts_total", Type::kCounter,
                    "Workers that died and were replaced, by reason (signal, exit, timeout).");
  metrics::Describe("flx_worker_recycles_total", Type::kCounter,
                    "Workers replaced after serving their share of requests.");
  metrics::Describe("flx_workers", Type::kGauge, "Worker processes running.");
  metrics::Describe("flx_scrape_duration_seconds", Type::kGauge,
                    "Time the previous scrape of /metrics took, in seconds.");
  // Counters start at 0, so that increase() sees their first step.
  for (const char* reason : {"signal", "exit", "timeout"})
    metrics::Add("flx_worker_restarts_total", metrics::Label("reason", reason), 0);
  metrics::Add("flx_worker_recycles_total", "", 0);
}

// /metrics: for loopback clients, or with an operator's token as a bearer token.
void ServeMetrics(FCGX_Request& req, const WorkerSetup& setup) {
  const auto start = Clock::now();
  const std::string remote = Param(req, "REMOTE_ADDR");
  const std::string auth = Param(req, "HTTP_AUTHORIZATION");
  const std::string bearer = "Bearer ";
  const HostOptions& options = *setup.options;
  // The addresses the site exempts from its limits: a client bound to another 127.x address
  // (or behind a proxy that sets one) needs the token like any other.
  bool allowed = remote == "127.0.0.1" || remote == "::1" || remote == "::ffff:127.0.0.1";
  if (!allowed && auth.compare(0, bearer.size(), bearer) == 0 && options.hooks.metricsToken)
    allowed = options.hooks.metricsToken(auth.substr(bearer.size()));
  std::string head, text;
  const MetricsFlush flush = [&req](std::string& out) {
    FCGX_PutStr(out.data(), static_cast<int>(out.size()), req.out);
    out.clear();
  };
  if (!allowed) {
    syslog(LOG_WARNING, "refused /metrics to %s: not loopback and no operator token",
           Oneline(remote).c_str());
    metrics::Add("flx_requests_refused_total", metrics::Label("cause", "metrics_access"));
    head = "Status: 403 Forbidden\r\nContent-Type: text/plain\r\n\r\n";
    text = "/metrics answers loopback clients, or an operator token as a bearer token\n";
  } else {
    head =
        "Status: 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
        "Cache-Control: no-store\r\n\r\n";
    text = head + metrics::Render();
    head.clear();
    if (options.hooks.metrics) {
      try {
        options.hooks.metrics(text, flush);
      } catch (const std::exception& e) {
        syslog(LOG_ERR, "the product's metrics failed: %s", e.what());
      } catch (...) {
        syslog(LOG_ERR, "the product's metrics failed");
      }
    }
  }
  FCGX_PutStr(head.data(), static_cast<int>(head.size()), req.out);
  FCGX_PutStr(text.data(), static_cast<int>(text.size()), req.out);
  FCGX_Finish_r(&req);
  if (allowed)
    metrics::Set("flx_scrape_duration_seconds", "",
                 std::chrono::duration<double>(Clock::now() - start).count());
}

// Calls whose api and method no loaded table has are counted under "unknown": the names are
// the client's, and would make a series each.
void CountRequest(const Dispatcher::Outcome& o, double seconds, const HostOptions& options) {
  const bool known = !o.api.empty();
  const std::string api = metrics::Label("api", known ? o.api : "unknown");
  const std::string method = metrics::Label("method", known ? o.method : "unknown");
  metrics::Add("flx_requests_total",
               api + "," + method + "," +
                   metrics::Label("result", o.code == 0 ? "ok" : std::to_string(o.code)));
  if (!o.refused.empty())
    metrics::Add("flx_requests_refused_total", metrics::Label("cause", o.refused));
  if (known && o.method == options.timedMethod)
    metrics::Observe("flx_" + options.timedMethod + "_duration_seconds", api, seconds);
}

// A download's head, then its body as the method's producer writes it. The status is sent
// before the first piece: a producer that fails part way can only end the body early.
void WriteDownload(FCGX_Request& req, const KEVO::Download& download) {
  std::string name;
  for (char c : download.fileName)  // a plain file name: no quote, separator or control
    if (isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') name += c;
  const std::string head = "Status: 200 OK\r\nContent-Type: " + Oneline(download.contentType) +
                           "\r\nContent-Disposition: attachment; filename=\"" +
                           (name.empty() ? "download" : name) +
                           "\"\r\nCache-Control: no-store\r\n\r\n";
  FCGX_PutStr(head.data(), static_cast<int>(head.size()), req.out);
  bool complete = false;
  try {
    complete = download.producer([&req](const char* data, size_t size) {
      return FCGX_PutStr(data, static_cast<int>(size), req.out) >= 0;
    });
  } catch (const std::exception& e) {
    syslog(LOG_ERR, "a download failed: %s", e.what());
  } catch (...) {
    syslog(LOG_ERR, "a download failed");
  }
  if (!complete) syslog(LOG_WARNING, "a download %s ended early", Oneline(name).c_str());
}

// Reads, runs and answers one request. The in-flight file exists while the module runs.
void ServeOne(FCGX_Request& req, Dispatcher& dispatcher, const WorkerSetup& setup) {
  if (Param(req, "SCRIPT_NAME") == "/metrics") return ServeMetrics(req, setup);
  const auto start = Clock::now();
  RawRequest raw;
  raw.query = Param(req, "QUERY_STRING");
  raw.contentType = Param(req, "CONTENT_TYPE");
  raw.cookie = Param(req, "HTTP_COOKIE");
  raw.remoteIp = Param(req, "REMOTE_ADDR");
  raw.requestMethod = Param(req, "REQUEST_METHOD");
  const unsigned long long length =
      std::strtoull(Param(req, "CONTENT_LENGTH").c_str(), nullptr, 10);
  std::string text;
  int status = 413;
  InFlight running;
  bool written = false;
  Dispatcher::Outcome outcome;
  if (length > setup.options->maxBody) {
    outcome.code = WEBAPI_ERR_REFUSED;
    outcome.refused = "body_too_large";
    syslog(LOG_WARNING, "refused 413 from %s: body over %zu bytes", Oneline(raw.remoteIp).c_str(),
           setup.options->maxBody);
    text = "{\"success\":false,\"error\":{\"code\":" + std::to_string(WEBAPI_ERR_REFUSED) + "}}";
  } else {
    raw.body.resize(length);
    const int got = length > 0 ? FCGX_GetStr(&raw.body[0], static_cast<int>(length), req.in) : 0;
    raw.body.resize(got > 0 ? static_cast<size_t>(got) : 0);
    text = AnswerText(dispatcher.Handle(
        raw, &status,
        [&](const Call& call, const std::string& who) {
          running.api = call.api;
          running.method = call.method;
          running.device = who;
          running.raw = raw;
          written = WriteInFlight(setup.inFlight, running);
        },
        &outcome));
  }
  const char* reason = status == 200   ? " OK"
                       : status == 400 ? " Bad Request"
                       : status == 413 ? " Payload Too Large"
                                       : "";
  const std::string head = "Status: " + std::to_string(status) + reason +
                           "\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n\r\n";
  // Counted before the answer leaves: a client that has its answer finds it counted.
  const auto took = Clock::now() - start;
  CountRequest(outcome, std::chrono::duration<double>(took).count(), *setup.options);
  if (outcome.download.producer) {
    WriteDownload(req, outcome.download);
  } else {
    FCGX_PutStr(head.data(), static_cast<int>(head.size()), req.out);
    FCGX_PutStr(text.data(), static_cast<int>(text.size()), req.out);
  }
  FCGX_Finish_r(&req);
  if (written) unlink(setup.inFlight.c_str());
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  if (setup.options->slowMs > 0 && ms >= setup.options->slowMs)
    syslog(LOG_WARNING, "slow request %s duration=%lldms", Describe(running).c_str(), ms);
}

// The request that a dead worker left: run once more, answered to no one (its client was told
// of the failure); a push is idempotent, so the device's rows end as one whole push left them.
void RunAgain(Dispatcher& dispatcher, const WorkerSetup& setup) {
  InFlight again;
  if (setup.rerun.empty() || !ReadInFlight(setup.rerun, again)) return;
  again.attempt = 2;
  const bool written = WriteInFlight(setup.inFlight, again);
  unlink(setup.rerun.c_str());
  if (!written) return;
  int status = 0;
  const Json::Value answer = dispatcher.Handle(again.raw, &status);
  unlink(setup.inFlight.c_str());
  syslog(LOG_NOTICE, "ran again the request a worker died with: %s success=%s",
         Describe(again).c_str(), answer["success"].asBool() ? "true" : "false");
}

int RunWorker(const WorkerSetup& setup) {
  struct sigaction action {};
  action.sa_handler = OnStop;  // no SA_RESTART: a wait for a request ends at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_UNBLOCK, &all, nullptr);

  IdleConnections idle;
  HoldStore(idle, *setup.options);
  Dispatcher dispatcher(*setup.registry, setup.options->hooks);
  RunAgain(dispatcher, setup);
  if (FCGX_Init() != 0) return 1;
  FCGX_Request req;
  FCGX_InitRequest(&req, setup.listenFd, FCGI_FAIL_ACCEPT_ON_INTR);
  // Workers started together are not all replaced together.
  const int limit = setup.options->maxRequests +
                    static_cast<int>(getpid() % 997) * setup.options->maxRequests / 4 / 997;
  int served = 0;
  auto idleSince = Clock::now();
  while (!gStop) {
    pollfd p{setup.listenFd, POLLIN, 0};
    const int ready = poll(&p, 1, 1000);
    if (getppid() != setup.parent) break;
    if (ready <= 0) {
      if (setup.extra && Clock::now() - idleSince > kExtraIdle) return kExitIdle;
      continue;
    }
    // Another worker may have taken it: the socket does not block, the wait starts over.
    if (FCGX_Accept_r(&req) < 0) continue;
    ServeOne(req, dispatcher, setup);
    idleSince = Clock::now();
    if (++served >= limit) return kExitRecycled;
  }
  return 0;
}

// --- the supervisor ---

struct Worker {
  int slot;
  Clock::time_point start;
  bool extra;
  bool retiring = false;  // asked to stop: replaced, or the host stops
  bool killed = false;    // past the request timeout
};

struct Host {
  explicit Host(const HostOptions& o) : options(o), registry(std::make_unique<ApiRegistry>()) {}
  const HostOptions& options;
  std::unique_ptr<ApiRegistry> registry;
  int fcgiFd = -1;
  int httpFd = -1;  // the private front's listening socket
  std::string runDir, frontDir, fastcgiAddress, listenText;
  uid_t uid = 0;  // the workers' and the front's user
  gid_t gid = 0;
  std::string frontUser;  // nginx's worker user, when the host stays root
  gid_t frontGid = 0;     // its group: may use the private socket and run folder
  int workers = 1;
  int maxWorkers = 1;
  std::map<pid_t, Worker> live;
  pid_t front = -1;
  Clock::time_point retryAt = Clock::now();
};

std::string InFlightPath(const Host& h, int slot) {
  return h.runDir + "/inflight." + std::to_string(slot);
}

bool LoadModules(ApiRegistry& registry, const HostOptions& options) {
  kevo::RootIds root;  // modules may lie in folders that the unprivileged user cannot enter
  for (const std::string& path : options.modules) {
    std::string err;
    if (!registry.LoadModule(path, err)) {
      Fail(err + "; check the --module path");
      return false;
    }
  }
  return true;
}

pid_t Spawn(Host& h, bool extra, const std::string& rerun = "") {
  int slot = 0;
  while (std::any_of(h.live.begin(), h.live.end(),
                     [slot](const auto& w) { return w.second.slot == slot; }))
    ++slot;
  const pid_t pid = fork();
  if (pid == 0) {
    if (h.httpFd >= 0) close(h.httpFd);
    _exit(RunWorker(WorkerSetup{h.fcgiFd, h.registry.get(), &h.options, InFlightPath(h, slot),
                                rerun, extra, getppid()}));
  }
  if (pid < 0) {
    syslog(LOG_ERR, "cannot start a worker: %m");
    return -1;
  }
  h.live[pid] = Worker{slot, Clock::now(), extra};
  return pid;
}

std::string FrontWww() {
  return std::string(KEVORootPrefix()) + KEVO_WEBAPI_DIR + "/www";
}

// A host that stays root runs its private nginx's workers as nobody, when nobody can read the
// page and reach the run folder; otherwise (a root below a folder only root may enter) as
// root, and says so.
void ChooseFrontUser(Host& h, const std::string& runBase) {
  h.frontUser = "root";
  const struct passwd* pw = getpwnam("nobody");
  if (pw == nullptr) {
    syslog(LOG_WARNING, "the private nginx runs as root: there is no user nobody");
    return;
  }
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  const std::string page = FrontWww() + "/index.html";
  const pid_t probe = fork();
  if (probe == 0) {
    const bool reach = setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
                       setresuid(uid, uid, uid) == 0 && access(page.c_str(), R_OK) == 0 &&
                       access(runBase.c_str(), X_OK) == 0;
    _exit(reach ? 0 : 1);
  }
  int status = 1;
  if (probe > 0) waitpid(probe, &status, 0);
  const struct group* group = getgrgid(gid);
  if (probe > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && group != nullptr) {
    h.frontUser = std::string("nobody ") + group->gr_name;
    h.frontGid = gid;
    return;
  }
  syslog(LOG_NOTICE, "the private nginx runs as root: nobody cannot read %s or enter %s",
         page.c_str(), runBase.c_str());
}

bool StartFront(Host& h) {
  const pid_t pid = fork();
  if (pid == 0) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
    // nginx takes the socket the host bound, as it does from an older nginx of its own.
    const std::string inherit = "NGINX=" + std::to_string(h.httpFd) + ";";
    putenv(const_cast<char*>(inherit.c_str()));
    if (h.uid != 0 && (setresgid(h.gid, h.gid, h.gid) != 0 || setresuid(h.uid, h.uid, h.uid) != 0))
      _exit(127);
    execl(kNginx, kNginx, "-p", (h.frontDir + "/").c_str(), "-c",
          (h.frontDir + "/nginx.conf").c_str(), "-e", (h.frontDir + "/error.log").c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return false;
  h.front = pid;
  return true;
}

// The private front's folder, configuration and nginx itself; ready once nginx wrote its pid.
bool SetUpFront(Host& h, std::string& err) {
  if (access(kNginx, X_OK) != 0) {
    err = std::string("--listen needs nginx (") + kNginx + "): install the Debian package nginx";
    return false;
  }
  std::string host;
  int port = 0;
  ParseListen(h.options.listen, host, port);
  h.httpFd = ListenTcp(host, port, err);
  if (h.httpFd < 0) {
    err = "cannot listen on " + h.options.listen + " (" + err +
          "): stop the other server or choose another --listen";
    return false;
  }
  fcntl(h.httpFd, F_SETFL, O_NONBLOCK);
  const bool v6 = host.find(':') != std::string::npos;
  h.listenText = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  h.frontDir = h.runDir + "/front";
  std::string conf;
  if (mkdir(h.frontDir.c_str(), 0750) != 0 ||
      chown(h.frontDir.c_str(), h.uid, h.uid == 0 ? h.frontGid : h.gid) != 0 ||
      !FrontConfig(h.listenText, h.fastcgiAddress, FrontWww(), h.frontDir, h.frontUser, conf,
                   err)) {
    if (err.empty()) err = h.frontDir + ": " + std::strerror(errno);
    return false;
  }
  std::ofstream(h.frontDir + "/nginx.conf") << conf;
  if (!StartFront(h)) {
    err = "cannot start nginx";
    return false;
  }
  const std::string pidFile = h.frontDir + "/nginx.pid";
  for (int i = 0; i < 500; ++i) {
    if (access(pidFile.c_str(), F_OK) == 0) return true;
    int status = 0;
    if (waitpid(h.front, &status, WNOHANG) == h.front) break;
    usleep(20 * 1000);
  }
  std::ifstream log(h.frontDir + "/error.log");
  std::string line, last;
  while (std::getline(log, line)) last = line;
  err = "nginx did not start: " + last;
  return false;
}

// The FastCGI socket: the one asked for, else a private one in the run folder (a loopback
// port when the folder's path is too long for a socket's name).
bool OpenFastcgi(Host& h, std::string& err) {
  std::string where = h.options.fastcgi;
  if (where.empty()) where = h.runDir + "/fastcgi.sock";
  std::string host;
  int port = 0;
  if (where[0] != '/') {
    if (!ParseListen(where, host, port) || !IsLoopback(host)) {
      err = "--fastcgi " + where + ": give a socket path or a loopback HOST:PORT";
      return false;
    }
  } else if (where.size() >= sizeof(sockaddr_un{}.sun_path) && h.options.fastcgi.empty()) {
    host = "127.0.0.1";
  }
  if (!host.empty()) {
    h.fcgiFd = ListenTcp(host, port, err);
    h.fastcgiAddress = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                       std::to_string(port);
  } else {
    const std::string parent = where.substr(0, where.rfind('/'));
    if (!parent.empty()) KEVOFSMkdirP(parent.c_str(), nullptr, 1, -1, -1, 0755);
    gid_t group = h.uid == 0 && h.options.fastcgi.empty() ? h.frontGid : h.gid;
    if (!h.options.fastcgi.empty()) {
      if (const struct group* g = getgrnam("www-data")) group = g->gr_gid;  // nginx's on Debian
    }
    h.fcgiFd = ListenUnix(where, h.uid, group, err);
    h.fastcgiAddress = "unix:" + where;
  }
  if (h.fcgiFd < 0) {
    err = "cannot open the FastCGI socket: " + err;
    return false;
  }
  fcntl(h.fcgiFd, F_SETFL, O_NONBLOCK);
  return true;
}

// A worker that died with a request in flight: its replacement runs it once more; a request
// that killed two workers goes to quarantine and is never run again.
std::string AfterDeath(Host& h, const Worker& w, pid_t pid) {
  const std::string path = InFlightPath(h, w.slot);
  InFlight left;
  if (!ReadInFlight(path, left)) {
    unlink(path.c_str());
    return "";
  }
  if (left.attempt < 2) {
    const std::string rerun = h.runDir + "/rerun." + std::to_string(pid);
    rename(path.c_str(), rerun.c_str());
    syslog(LOG_ERR, "worker %d died with a request in flight (%s); running it once more",
           static_cast<int>(pid), Describe(left).c_str());
    return rerun;
  }
  const std::string dir = std::string(KEVORootPrefix()) + kQuarantineDir;
  const std::string to = dir + "/" + std::to_string(time(nullptr)) + "-" + std::to_string(pid);
  kevo::RootIds root;
  mkdir(dir.c_str(), 0700);
  if (rename(path.c_str(), to.c_str()) != 0) {
    syslog(LOG_ERR, "cannot quarantine the request that killed two workers (%s): %m; dropped",
           Describe(left).c_str());
    unlink(path.c_str());
  } else {
    syslog(LOG_ERR, "quarantined %s: the request killed two workers (%s)", to.c_str(),
           Describe(left).c_str());
  }
  return "";
}

// One line per worker that ended, and what follows: a replacement, or none.
void Reaped(Host& h, pid_t pid, int status, bool stopping) {
  auto it = h.live.find(pid);
  if (it == h.live.end()) return;
  const Worker w = it->second;
  h.live.erase(it);
  const bool clean = WIFEXITED(status) &&
                     (WEXITSTATUS(status) == kExitRecycled || WEXITSTATUS(status) == kExitIdle);
  if (clean || w.retiring || stopping) {
    syslog(LOG_INFO, "worker %d ended (%s)", static_cast<int>(pid),
           w.retiring || stopping             ? "asked to"
           : WEXITSTATUS(status) == kExitIdle ? "idle extra"
                                              : "recycled after its requests");
    if (clean && !w.retiring && !stopping && WEXITSTATUS(status) == kExitRecycled) {
      metrics::Add("flx_worker_recycles_total", "");
      Spawn(h, w.extra);
    }
    return;
  }
  metrics::Add("flx_worker_restarts_total",
               metrics::Label("reason", w.killed              ? "timeout"
                                        : WIFSIGNALED(status) ? "signal"
                                                              : "exit"));
  if (WIFSIGNALED(status)) {
    syslog(LOG_ERR, "worker %d killed by signal %d (%s); restarting", static_cast<int>(pid),
           WTERMSIG(status), strsignal(WTERMSIG(status)));
  } else {
    syslog(LOG_ERR, "worker %d exited with status %d; restarting", static_cast<int>(pid),
           WEXITSTATUS(status));
    // One that fails at start would fail again: a pause before the next.
    if (Clock::now() - w.start < std::chrono::seconds(1))
      h.retryAt = Clock::now() + std::chrono::seconds(1);
  }
  const std::string rerun = AfterDeath(h, w, pid);
  if (Clock::now() >= h.retryAt || !rerun.empty()) Spawn(h, w.extra, rerun);
}

// Workers past the request timeout are killed; all busy for a while: one more, up to the most.
void Watch(Host& h) {
  const auto now = std::chrono::system_clock::now();
  int busy = 0, serving = 0;
  for (auto& entry : h.live) {
    Worker& w = entry.second;
    // A retiring worker serves no new request, but its last one keeps its deadline.
    serving += w.retiring ? 0 : 1;
    struct stat st;
    if (stat(InFlightPath(h, w.slot).c_str(), &st) != 0) continue;
    const auto since = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) +
            std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    if (!w.retiring && now - since >= kBusyFor) ++busy;
    if (!w.killed && now - since > std::chrono::seconds(h.options.requestSeconds)) {
      InFlight r;
      ReadInFlight(InFlightPath(h, w.slot), r);
      syslog(LOG_ERR, "worker %d: request %s ran past %d s; killing the worker",
             static_cast<int>(entry.first), Describe(r).c_str(), h.options.requestSeconds);
      kill(entry.first, SIGKILL);
      w.killed = true;
    }
  }
  if (busy == serving && serving < h.maxWorkers) {
    const pid_t pid = Spawn(h, true);
    if (pid > 0)
      syslog(LOG_NOTICE, "all %d workers busy: started extra worker %d", busy,
             static_cast<int>(pid));
  }
  int regular = 0;
  for (const auto& w : h.live) regular += !w.second.extra && !w.second.retiring ? 1 : 0;
  while (regular < h.workers && Clock::now() >= h.retryAt && Spawn(h, false) > 0) ++regular;
  metrics::Set("flx_workers", "", static_cast<double>(h.live.size()));
}

void CloseStore(const HostOptions& options) {
  // The workers closed their idle connections at about the same moment, so none of them was
  // the last; one more connection, the last for sure, checkpoints each file and removes its WAL.
  kevo::RootIds root;
  for (const std::string& path : options.keepOpen) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
      sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
}

int Supervise(Host& h) {
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGCHLD, SIGHUP}) sigaddset(&signals, s);
  std::vector<pid_t> toReplace;
  pid_t replacing = 0;
  int stopSignal = 0;
  bool workersAsked = false;
  auto stopDeadline = Clock::time_point::max();
  while (true) {
    const timespec tick{0, kTickMs * 1000 * 1000};
    const int sig = sigtimedwait(&signals, nullptr, &tick);
    if ((sig == SIGINT || sig == SIGTERM) && stopSignal == 0) {
      stopSignal = sig;
      syslog(LOG_NOTICE, "signal %d: stopping", sig);
      // The front first: it stops taking requests and waits for the answers in flight.
      if (h.front > 0) kill(h.front, SIGQUIT);
      stopDeadline = Clock::now() + std::chrono::seconds(h.options.requestSeconds + 5);
    } else if (sig == SIGHUP && stopSignal == 0) {
      // Fresh workers load the modules anew: the old ones keep their own copy until they end.
      auto fresh = std::make_unique<ApiRegistry>();
      h.registry.reset();
      if (LoadModules(*fresh, h.options)) {
        syslog(LOG_NOTICE, "SIGHUP: modules reloaded; replacing %zu workers", h.live.size());
        for (const auto& w : h.live) toReplace.push_back(w.first);
      }
      h.registry = std::move(fresh);
    }
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      if (pid == h.front) {
        h.front = -1;
        if (stopSignal == 0) {
          syslog(LOG_ERR, "nginx %d ended (status %d); restarting it", static_cast<int>(pid),
                 status);
          StartFront(h);
        }
        continue;
      }
      if (pid == replacing) replacing = 0;
      Reaped(h, pid, status, stopSignal != 0);
    }
    if (stopSignal != 0) {
      if (h.front > 0 && Clock::now() < stopDeadline) continue;
      if (!workersAsked) {
        for (auto& w : h.live) {
          w.second.retiring = true;
          kill(w.first, SIGTERM);
        }
        workersAsked = true;
        stopDeadline = Clock::now() + std::chrono::seconds(h.options.requestSeconds + 5);
      }
      if (h.live.empty()) break;
      if (Clock::now() > stopDeadline) {
        syslog(LOG_ERR, "%zu workers did not stop in time; killing them", h.live.size());
        for (const auto& w : h.live) kill(w.first, SIGKILL);
        if (h.front > 0) kill(h.front, SIGKILL);
        stopDeadline = Clock::time_point::max();
      }
      continue;
    }
    // One by one: the fresh worker serves before the old one is asked to stop.
    while (replacing == 0 && !toReplace.empty()) {
      const pid_t old = toReplace.back();
      toReplace.pop_back();
      auto it = h.live.find(old);
      if (it == h.live.end() || it->second.retiring) continue;
      if (Spawn(h, it->second.extra) < 0) break;
      it->second.retiring = true;
      kill(old, SIGTERM);
      replacing = old;
    }
    Watch(h);
  }
  CloseStore(h.options);
  syslog(LOG_NOTICE, "stopped");
  return 0;
}

void RemoveTree(const std::string& dir) {
  std::error_code ec;  // links inside are removed, never followed
  std::filesystem::remove_all(dir, ec);
  if (ec) syslog(LOG_WARNING, "cannot remove %s: %s", dir.c_str(), ec.message().c_str());
}

}  // namespace

bool ParseListen(const std::string& text, std::string& host, int& port) {
  std::string portText;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  if (host.empty() || portText.empty() || portText.size() > 5) return false;
  for (char c : portText) {
    if (c < '0' || c > '9') return false;
  }
  port = std::stoi(portText);
  return port <= 65535;
}

bool DropPrivileges(const std::string& user, std::string& err) {
  if (geteuid() != 0) {
    err = "--drop-privileges needs the host to be started as root";
    return false;
  }
  errno = 0;
  const struct passwd* pw = getpwnam(user.c_str());
  if (pw == nullptr) {
    err = "unknown user '" + user + "' for --drop-privileges";
    return false;
  }
  // Saved ids stay 0 so that privileged sections can raise the effective ids again.
  if (initgroups(pw->pw_name, pw->pw_gid) != 0 || setresgid(pw->pw_gid, pw->pw_gid, 0) != 0 ||
      setresuid(pw->pw_uid, pw->pw_uid, 0) != 0) {
    err = "cannot take the ids of '" + user + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

int RunHost(const HostOptions& options) {
  gLogToStderr = options.logStderr;
  openlog(kProgram, LOG_PID | (options.logStderr ? LOG_PERROR : 0), LOG_DAEMON);
  // The mask is the process's: it filters the modules' lines too, before they are formatted.
  setlogmask(LOG_UPTO(options.logLevel));
  if (options.debug) giTerminalDebug = 1;
  std::string host, err;
  int port = 0;
  if (!options.listen.empty() && !ParseListen(options.listen, host, port)) {
    Fail("bad --listen '" + options.listen + "': give HOST:PORT, e.g. 127.0.0.1:5000");
    return 1;
  }
  // The supervisor takes its signals and the workers' ends by sigtimedwait.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGCHLD, SIGHUP}) sigaddset(&signals, s);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Host h(options);
  h.uid = geteuid();
  h.gid = getegid();
  if (!options.dropUser.empty()) {
    const passwd* pw = getpwnam(options.dropUser.c_str());
    if (pw == nullptr) {
      Fail("unknown user '" + options.dropUser + "' for --drop-privileges");
      return 1;
    }
    h.uid = pw->pw_uid;
    h.gid = pw->pw_gid;
  }
  h.workers =
      options.workers > 0 ? options.workers : static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  h.maxWorkers = std::max(h.workers, options.maxWorkers > 0 ? options.maxWorkers : 4 * h.workers);
  if (!LoadModules(*h.registry, options)) return 1;
  metrics::Init();
  DescribeHostMetrics(options);
  // Each host has a folder of its own: in-flight files, the private socket and front.
  const std::string runBase = std::string(KEVORootPrefix()) + kRunDir;
  h.runDir = runBase + "/host." + std::to_string(getpid());
  if (KEVOFSMkdirP(runBase.c_str(), nullptr, 1, -1, -1, 0755) != 0) {
    Fail("cannot make the run folder " + runBase + ": " + std::strerror(errno));
    return 1;
  }
  if (h.uid == 0 && !options.listen.empty()) ChooseFrontUser(h, runBase);
  if ((mkdir(h.runDir.c_str(), 0750) != 0 && errno != EEXIST) ||
      chown(h.runDir.c_str(), h.uid, h.uid == 0 ? h.frontGid : h.gid) != 0) {
    Fail("cannot make the run folder " + h.runDir + ": " + std::strerror(errno));
    return 1;
  }
  bool ok =
      OpenFastcgi(h, err) && (options.dropUser.empty() || DropPrivileges(options.dropUser, err));
  for (int i = 0; ok && i < h.workers; ++i) ok = Spawn(h, false) > 0;
  ok = ok && (options.listen.empty() || SetUpFront(h, err));
  if (!ok) {
    Fail(err);
    for (const auto& w : h.live) kill(w.first, SIGKILL);
    if (h.front > 0) kill(h.front, SIGKILL);
    while (wait(nullptr) > 0) {
    }
    kevo::RootIds root;
    RemoveTree(h.runDir);
    return 1;
  }
  if (!options.listen.empty()) {
    std::cout << "listening on " << h.listenText << std::endl;
  } else {
    std::cout << "serving FastCGI on " << h.fastcgiAddress << std::endl;
  }
  syslog(LOG_NOTICE, "serving FastCGI on %s with %d workers%s%s", h.fastcgiAddress.c_str(),
         h.workers, options.listen.empty() ? "" : "; nginx front on ", h.listenText.c_str());
  const int rc = Supervise(h);
  kevo::RootIds root;
  RemoveTree(h.runDir);
  if (!options.fastcgi.empty() && options.fastcgi[0] == '/') unlink(options.fastcgi.c_str());
  return rc;
}

}  // namespace webapihost
