// The host program: start-up steps, the workers and their supervisor, the HTTP routes and the
// idle database connections.
#include "host.h"

#include <grp.h>
#include <httplib.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include <sys/mman.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

#include "flx.h"
#include "flxread.h"
#include "gate.h"
#include "kevocore.h"

#ifndef FLX_DEFAULT_MODULE
#define FLX_DEFAULT_MODULE ""
#endif

namespace webapihost {

namespace {

const char kEndpoint[] = "/webapi/entry.cgi";
const char kProgram[] = "flx-webapi-host";
// Idle keep-alive connections are dropped after this long.
const time_t kKeepAliveSeconds = 5;
// Failed session checks are counted per address over this long.
const int kAuthWindowSeconds = 60;

// Set when syslog copies its lines to stderr itself.
bool gLogToStderr = false;

// A start-up failure: one line on stderr, and in the log.
void Fail(const std::string& message) {
  if (!gLogToStderr) std::cerr << kProgram << ": " << message << std::endl;
  syslog(LOG_ERR, "%s", message.c_str());
}

std::string JoinedHeader(const httplib::Request& req, const char* name) {
  std::string out;
  const size_t count = req.get_header_value_count(name);
  for (size_t i = 0; i < count; ++i) {
    if (!out.empty()) out += "; ";
    out += req.get_header_value(name, i);
  }
  return out;
}

// The address that failed session checks count against: behind a local front (nginx), the
// client's address that it passes on.
std::string ClientAddress(const httplib::Request& req) {
  const bool local = req.remote_addr == "127.0.0.1" || req.remote_addr == "::1";
  const std::string forwarded = req.get_header_value("X-Real-IP");
  return local && !forwarded.empty() ? forwarded : req.remote_addr;
}

RawRequest ToRaw(const httplib::Request& req, std::string body) {
  RawRequest raw;
  const size_t mark = req.target.find('?');
  if (mark != std::string::npos) raw.query = req.target.substr(mark + 1);
  raw.body = std::move(body);
  raw.contentType = req.get_header_value("Content-Type");
  raw.cookie = JoinedHeader(req, "Cookie");
  raw.remoteIp = req.remote_addr;
  raw.clientAddress = ClientAddress(req);
  return raw;
}

void Answer(httplib::Response& res, const Json::Value& answer, int status) {
  res.status = status;
  res.set_content(AnswerText(answer), "application/json");
}

// A declared body over the limit: refused before a byte of it is read.
bool OverLimit(const httplib::Request& req, size_t maxBody) {
  const std::string length = req.get_header_value("Content-Length");
  if (length.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(length.c_str(), &end, 10);
  return errno != 0 || end == length.c_str() || n > maxBody;
}

// Refuses the current request at once: straight to the socket when the gate serves it.
httplib::Server::HandlerResponse Refuse(httplib::Response& res, int status, const char* reason) {
  if (!ConnectionGate::Instance().RefuseCurrent(status, reason)) {
    Json::Value answer;
    answer["success"] = false;
    answer["error"]["code"] = WEBAPI_ERR_REFUSED;
    Answer(res, answer, status);
    res.set_header("Connection", "close");
  }
  return httplib::Server::HandlerResponse::Handled;
}

// Answers with what `runner` served; a failed session check counts against the client.
void Reply(httplib::Response& res, AuthLimiter& limiter, const RawRequest& raw,
           const Served& served) {
  if (served.guessed) limiter.Failed(raw.clientAddress);
  res.status = served.status;
  res.set_content(served.text, "application/json");
}

// `runner` is read at each call: a worker sets it after the routes are in place.
void Route(httplib::Server& server, const CallRunner& runner, AuthLimiter& limiter,
           size_t maxBody) {
  ConnectionGate& gate = ConnectionGate::Instance();
  server.set_expect_100_continue_handler(
      [maxBody](const httplib::Request& req, httplib::Response&) {
        if (!OverLimit(req, maxBody)) return 100;
        syslog(LOG_WARNING, "refused 413 from %s: declared body over %zu bytes",
               req.remote_addr.c_str(), maxBody);
        return 413;
      });
  server.set_pre_routing_handler([&gate, &limiter, maxBody](const httplib::Request& req,
                                                            httplib::Response& res) {
    gate.BeginRequest();
    const std::string client = ClientAddress(req);
    if (limiter.Blocked(client)) {
      syslog(LOG_WARNING, "refused 429 from %s: too many failed session checks", client.c_str());
      return Refuse(res, 429, "Too Many Requests");
    }
    if (OverLimit(req, maxBody)) {
      syslog(LOG_WARNING, "refused 413 from %s: declared body over %zu bytes",
             req.remote_addr.c_str(), maxBody);
      return Refuse(res, 413, "Payload Too Large");
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_logger(
      [&gate](const httplib::Request&, const httplib::Response&) { gate.EndRequest(); });
  // Once a request is read, its deadline no longer runs: waiting for the module is the host's.
  server.Get(kEndpoint,
             [&runner, &limiter, &gate](const httplib::Request& req, httplib::Response& res) {
               gate.BeginModule();
               const RawRequest raw = ToRaw(req, std::string());
               Reply(res, limiter, raw, runner(raw));
             });
  server.Post(kEndpoint, [&runner, &limiter, &gate, maxBody](const httplib::Request& req,
                                                             httplib::Response& res,
                                                             const httplib::ContentReader& reader) {
    if (req.is_multipart_form_data()) {
      // Fields come as a query string or a form-urlencoded body only.
      res.status = 415;
      res.set_header("Connection", "close");
      return;
    }
    std::string body;
    // A body without a length (chunked) is bounded while it comes in.
    bool over = false;
    // On failure (broken chunking) the status is already set: 400.
    if (!reader([&body, &over, maxBody](const char* data, size_t length) {
          over = length > maxBody - body.size();
          if (!over) body.append(data, length);
          return !over;
        })) {
      if (!over) return;
      syslog(LOG_WARNING, "refused 413 from %s: body over %zu bytes", req.remote_addr.c_str(),
             maxBody);
      Refuse(res, 413, "Payload Too Large");
      return;
    }
    gate.BeginModule();
    const RawRequest raw = ToRaw(req, std::move(body));
    Reply(res, limiter, raw, runner(raw));
  });
}

// Binds the server; `port` 0 takes an ephemeral port and is replaced by the real one.
bool Bind(httplib::Server& server, const std::string& host, int& port) {
  if (port == 0) {
    port = server.bind_to_any_port(host);
    return port > 0;
  }
  return server.bind_to_port(host, port);
}

bool LoadModules(ApiRegistry& registry, const HostOptions& options) {
  std::vector<std::string> modules = options.modules;
  if (modules.empty()) modules.push_back(DefaultModulePath());
  for (const std::string& path : modules) {
    std::string err;
    if (!registry.LoadModule(path, err)) {
      Fail(err + "; check the --module path");
      return false;
    }
  }
  return true;
}

std::string HostPort(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

void OnStopSignal(int) {
  ConnectionGate::Instance().Stop();
}

// Raises the effective ids to the saved root ids for one scope, when they were dropped.
class AsRoot {
 public:
  AsRoot() {
    uid_t r, e, saved;
    if (getresuid(&r, &e, &saved) != 0 || e == 0 || saved != 0) return;
    uid_ = e;
    gid_ = getegid();
    raised_ = setresgid(-1, 0, -1) == 0 && setresuid(-1, 0, -1) == 0;
  }
  ~AsRoot() {
    if (raised_ && (setresuid(-1, uid_, -1) != 0 || setresgid(-1, gid_, -1) != 0))
      syslog(LOG_ERR, "cannot put the dropped ids back: %m");
  }
  AsRoot(const AsRoot&) = delete;
  AsRoot& operator=(const AsRoot&) = delete;

 private:
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  bool raised_ = false;
};

// A device's push session, or an operator's token (the inventory module decides what an
// operator may call; the push module refuses operators itself).
bool CheckSession(const std::string& sid, const std::string& apiClass) {
  std::string who;
  return !sid.empty() &&
         (KEVOFLXQxCheckWebapiPriviege(sid, apiClass, who) || flxread::operatorForToken(sid, who));
}

// The store as the host holds it: idle connections to the named files (opened as root: the
// databases are root's; a connection stays usable once the ids are back).
void HoldStore(IdleConnections& idle, const HostOptions& options) {
  KeepFreedMemory();
  AsRoot root;
  for (const std::string& path : options.keepOpen) idle.Open(path, options.store);
}

// Once every worker is gone: the executors closed their idle connections at about the same
// moment, so none of them was the last; one more connection, the last for sure, checkpoints
// each file and removes its WAL, as a host with no worker would leave it.
void CloseStore(const HostOptions& options) {
  AsRoot root;
  for (const std::string& path : options.keepOpen) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
      sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
}

// An executor's life: the store held, calls served until its worker closes the channel.
int RunExecutor(int fd, const ApiRegistry& registry, const HostOptions& options) {
  IdleConnections idle;
  HoldStore(idle, options);
  Dispatcher dispatcher(registry, CheckSession);
  return ServeCalls(fd, dispatcher);
}

// A worker whose effective ids were dropped keeps no way back to root: its executor has one.
void DropSavedIds() {
  uid_t r, e, saved;
  gid_t rg, eg, savedGid;
  if (getresuid(&r, &e, &saved) != 0 || getresgid(&rg, &eg, &savedGid) != 0 || e == 0) return;
  if (setresgid(eg, eg, eg) != 0 || setresuid(e, e, e) != 0)
    syslog(LOG_ERR, "worker %d: cannot give up the saved ids: %m", static_cast<int>(getpid()));
}

// One worker: the stop signals end its accept loop; requests in flight are answered first.
// `parent` is the supervisor (0: none), whose end ends the worker too. With a parent, the
// module calls run in an executor; without, in this process.
int ServeWorker(httplib::Server& server, const HostOptions& options, pid_t parent,
                const ApiRegistry& registry, CallRunner& runner, WorkerLoads* loads = nullptr,
                int slot = -1) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGCHLD);
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);

  ConnectionGate& gate = ConnectionGate::Instance();
  IdleConnections idle;
  std::unique_ptr<Dispatcher> here;
  Executor executor;
  if (parent == 0) {
    HoldStore(idle, options);
    here = std::make_unique<Dispatcher>(registry, CheckSession);
    runner = [&here](const RawRequest& raw) { return ServeHere(*here, raw); };
  } else {
    if (!executor.Start([&](int fd) { return RunExecutor(fd, registry, options); })) return 1;
    executor.OnDeath([&gate] { gate.Stop(); });
    runner = [&executor](const RawRequest& raw) { return executor.Run(raw); };
    DropSavedIds();
  }
  GateLimits limits;
  limits.maxConnections = options.maxConnections;
  limits.requestSeconds = options.requestSeconds;
  gate.Arm(limits, parent, loads, slot);
  server.new_task_queue = [] { return new GateQueue(); };
  const bool ok = server.listen_after_bind();
  if (!ok && !gate.Stopping()) {
    syslog(LOG_ERR, "worker %d: the server stopped with an error", static_cast<int>(getpid()));
    return 1;
  }
  // A worker whose executor died is replaced like one that died itself.
  return parent != 0 && executor.Pid() < 0 ? 1 : 0;
}

int ExitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One line per worker that ended on its own; `restart` says whether it is replaced.
void LogDeath(pid_t pid, int status, bool restart) {
  const char* next = restart ? "; restarting" : "";
  if (WIFSIGNALED(status)) {
    syslog(LOG_ERR, "worker %d killed by signal %d (%s)%s", static_cast<int>(pid), WTERMSIG(status),
           strsignal(WTERMSIG(status)), next);
  } else {
    syslog(restart ? LOG_ERR : LOG_INFO, "worker %d exited with status %d%s", static_cast<int>(pid),
           ExitStatus(status), next);
  }
}

// Running workers: when each started, and its slot in the shared loads.
struct Worker {
  std::chrono::steady_clock::time_point start;
  int slot;
};
using Workers = std::map<pid_t, Worker>;

// Asks every worker to stop and waits for them; those still running after `seconds` are killed.
void StopWorkers(Workers& live, int seconds) {
  using Clock = std::chrono::steady_clock;
  for (const auto& w : live) kill(w.first, SIGTERM);
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!live.empty()) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      live.erase(pid);
      continue;
    }
    if (Clock::now() > deadline) {
      syslog(LOG_ERR, "%zu workers did not stop in time; killing them", live.size());
      for (const auto& w : live) kill(w.first, SIGKILL);
      deadline = Clock::time_point::max();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Forks `count` workers and keeps them running until SIGINT or SIGTERM, then stops them all
// and waits for their answers in flight.
int Supervise(httplib::Server& server, const HostOptions& options, int count,
              const ApiRegistry& registry, CallRunner& runner) {
  using Clock = std::chrono::steady_clock;
  const pid_t self = getpid();
  Workers live;
  void* shared =
      mmap(nullptr, sizeof(WorkerLoads), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  WorkerLoads* loads = shared == MAP_FAILED ? nullptr : new (shared) WorkerLoads;
  std::unique_ptr<void, std::function<void(void*)>> unmap(
      loads, [](void* p) { munmap(p, sizeof(WorkerLoads)); });
  for (int i = 0; loads != nullptr && i < WorkerLoads::kSlots; ++i) loads->open[i] = -1;
  auto spawn = [&]() {
    int slot = 0;
    while (std::any_of(live.begin(), live.end(),
                       [slot](const auto& w) { return w.second.slot == slot; }))
      ++slot;
    if (loads != nullptr && slot < WorkerLoads::kSlots) loads->open[slot] = 0;
    const pid_t pid = fork();
    if (pid == 0) _exit(ServeWorker(server, options, self, registry, runner, loads, slot));
    if (pid < 0) {
      syslog(LOG_ERR, "cannot start a worker: %m");
      if (loads != nullptr && slot < WorkerLoads::kSlots) loads->open[slot] = -1;
      return false;
    }
    live[pid] = Worker{Clock::now(), slot};
    return true;
  };
  for (int i = 0; i < count; ++i) spawn();

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGCHLD);
  int missing = count - static_cast<int>(live.size());
  auto retryAt = Clock::now();
  int sig = 0;
  while (sig != SIGINT && sig != SIGTERM) {
    const timespec tick{0, 200 * 1000 * 1000};
    sig = sigtimedwait(&signals, nullptr, &tick);
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      auto it = live.find(pid);
      if (it == live.end()) continue;
      // A worker that dies at once would die again: give it a pause before the next one.
      if (Clock::now() - it->second.start < std::chrono::seconds(1))
        retryAt = Clock::now() + std::chrono::seconds(1);
      if (loads != nullptr && it->second.slot < WorkerLoads::kSlots)
        loads->open[it->second.slot] = -1;
      live.erase(it);
      LogDeath(pid, status, sig != SIGINT && sig != SIGTERM);
      ++missing;
    }
    while (missing > 0 && Clock::now() >= retryAt && sig != SIGINT && sig != SIGTERM) {
      if (!spawn()) {
        retryAt = Clock::now() + std::chrono::seconds(1);
        break;
      }
      --missing;
    }
  }
  syslog(LOG_NOTICE, "signal %d: stopping %zu workers", sig, live.size());
  StopWorkers(live, options.requestSeconds + 5);
  CloseStore(options);
  syslog(LOG_NOTICE, "stopped");
  return 0;
}

}  // namespace

const char* DefaultModulePath() {
  return FLX_DEFAULT_MODULE;
}

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
  std::string host;
  int port = 0;
  if (!ParseListen(options.listen, host, port)) {
    Fail("bad --listen '" + options.listen + "': give HOST:PORT, e.g. 127.0.0.1:5000");
    return 1;
  }
  // The supervisor takes the stop signals and the workers' ends by sigtimedwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // Modules are loaded as root, before the ids are dropped: they may lie in folders that the
  // unprivileged user cannot enter.
  ApiRegistry registry;
  if (!LoadModules(registry, options)) return 1;
  httplib::Server server;
  server.set_payload_max_length(options.maxBody);
  server.set_keep_alive_timeout(std::min<time_t>(kKeepAliveSeconds, options.requestSeconds));
  server.set_tcp_nodelay(true);
  if (!Bind(server, host, port)) {
    Fail("cannot listen on " + options.listen +
         " (address in use or not local?): stop the other server or choose another --listen");
    return 1;
  }
  std::string err;
  if (!options.dropUser.empty() && !DropPrivileges(options.dropUser, err)) {
    Fail(err);
    return 1;
  }
  AuthLimiter limiter(options.maxAuthFailures, kAuthWindowSeconds);
  CallRunner runner;
  Route(server, runner, limiter, options.maxBody);
  ServeStaticPage(server, PageDir());

  const std::string where = HostPort(host, port);
  const int workers =
      options.workers >= 0 ? options.workers : static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  std::cout << "listening on " << where << std::endl;
  syslog(LOG_NOTICE, "listening on %s with %d workers", where.c_str(), workers);
  if (workers <= 0) {
    const int rc = ServeWorker(server, options, 0, registry, runner);
    syslog(LOG_NOTICE, "stopped");
    return rc;
  }
  return Supervise(server, options, workers, registry, runner);
}

}  // namespace webapihost
