// The host program: the FastCGI workers, their supervisor, and the private nginx front.
#include "host.h"

#include <fcgiapp.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
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
#include "process.h"

namespace webapihost {

namespace {

const char kProgram[] = "flx-webapi-host";
const char kNginx[] = "/usr/sbin/nginx";
// Every worker busy with one request for this long: an extra one starts.
const auto kBusyFor = std::chrono::milliseconds(300);
// The supervisor's tick: deadlines, busy workers, replacements.
const int kTickMs = 100;

bool gLogToStderr = false;
bool gNoSyslog = false;  // no syslog socket when the host started

// A start-up failure: one line on stderr, and in the log.
void Fail(const std::string& message) {
  if (!gLogToStderr) std::cerr << kProgram << ": " << message << std::endl;
  syslog(LOG_ERR, "%s", message.c_str());
}

// Without a syslog socket (a container, a rescue shell) the lines would go nowhere: once the
// start-up is over (its failures are one line on stderr already), they go to stderr as well,
// which journald or the terminal keeps. Workers do so from their start.
void CopyLogToStderr() {
  if (!gNoSyslog || gLogToStderr) return;
  closelog();
  openlog(kProgram, LOG_PID | LOG_PERROR, LOG_DAEMON);
  gLogToStderr = true;
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
  std::string hostStart;    // this start's name: its run folder's
  std::string inFlightDir;  // the workers' in-flight files: root's alone when the host is root
  uid_t uid = 0;            // the workers' and the front's user
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
  return h.inFlightDir + "/" + std::to_string(slot);
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
  busy::Stop(slot);  // whatever its last worker was doing when it died
  const pid_t pid = fork();
  if (pid == 0) {
    CopyLogToStderr();
    if (h.httpFd >= 0) close(h.httpFd);
    // A worker's exception ends the worker: caught above, it would make a second supervisor.
    try {
      _exit(RunWorker(WorkerSetup{h.fcgiFd, h.registry.get(), &h.options, slot,
                                  InFlightPath(h, slot), rerun, h.hostStart, extra, getppid()}));
    } catch (...) {
      _exit(1);
    }
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
  const pid_t supervisor = getpid();
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
    // nginx ends with its host, even one killed outright: SIGTERM makes its master stop its
    // workers and leave the port. Set after the id change, which would clear it.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != supervisor) _exit(127);
    // Its logs hold client addresses and request lines: not for other users.
    umask(027);
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
// that killed two workers goes to quarantine, without its session, and is never run again.
// Only a file this very worker wrote in this host start is run: anything else is dropped.
std::string AfterDeath(Host& h, const Worker& w, pid_t pid) {
  const std::string path = InFlightPath(h, w.slot);
  kevo::RootIds root;
  InFlight left;
  if (!ReadInFlight(path, left, h.options.maxBody + kMaxInFlightBytes)) {
    unlink(path.c_str());
    return "";
  }
  if (left.hostStart != h.hostStart || left.pid != static_cast<long>(pid)) {
    syslog(LOG_WARNING, "dropped an in-flight file that worker %d did not write (%s)",
           static_cast<int>(pid), Describe(left).c_str());
    unlink(path.c_str());
    return "";
  }
  if (left.attempt < 2) {
    const std::string rerun = h.inFlightDir + "/rerun." + std::to_string(pid);
    rename(path.c_str(), rerun.c_str());
    syslog(LOG_ERR, "worker %d died with a request in flight (%s); running it once more",
           static_cast<int>(pid), Describe(left).c_str());
    return rerun;
  }
  const std::string name = std::to_string(time(nullptr)) + "-" + std::to_string(pid);
  if (QuarantineRequest(left, name)) {
    syslog(LOG_ERR, "quarantined %s%s/%s: the request killed two workers (%s)", KEVORootPrefix(),
           kQuarantineDir, name.c_str(), Describe(left).c_str());
  }
  unlink(path.c_str());
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

// Workers past their request's bound are killed; all busy for a while: one more, up to the most.
void Watch(Host& h) {
  int busyCount = 0, serving = 0;
  for (auto& entry : h.live) {
    Worker& w = entry.second;
    // A retiring worker serves no new request, but its last one keeps its deadline.
    serving += w.retiring ? 0 : 1;
    const busy::State state = busy::Of(w.slot);
    if (!state.busy) continue;
    if (!w.retiring && state.running >= kBusyFor) ++busyCount;
    if (!w.killed && state.running > std::chrono::seconds(state.seconds)) {
      std::string what = "/metrics";
      if (!state.scrape) {
        InFlight r;
        kevo::RootIds root;
        ReadInFlight(InFlightPath(h, w.slot), r, h.options.maxBody + kMaxInFlightBytes);
        what = Describe(r);
      }
      syslog(LOG_ERR, "worker %d: request %s ran past %d s; killing the worker",
             static_cast<int>(entry.first), what.c_str(), state.seconds);
      kill(entry.first, SIGKILL);
      w.killed = true;
    }
  }
  if (busyCount == serving && serving < h.maxWorkers) {
    const pid_t pid = Spawn(h, true);
    if (pid > 0)
      syslog(LOG_NOTICE, "all %d workers busy: started extra worker %d", busyCount,
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
    // Nothing a worker, a file or a lack of memory throws may end the supervisor: its workers
    // and nginx would be left without it.
    try {
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
    } catch (const std::exception& e) {
      syslog(LOG_ERR, "supervisor: %s; serving on", e.what());
    } catch (...) {
      syslog(LOG_ERR, "supervisor: an unknown exception; serving on");
    }
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
  gNoSyslog = access(_PATH_LOG, F_OK) != 0;
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
  // Each host start has a folder of its own: in-flight files, the private socket and front.
  // Those of hosts that died go first: nothing in them is ever run again.
  const std::string runBase = std::string(KEVORootPrefix()) + kRunDir;
  h.hostStart = RunFolderName();
  h.runDir = runBase + "/" + h.hostStart;
  h.inFlightDir = h.runDir + "/inflight";
  if (KEVOFSMkdirP(runBase.c_str(), nullptr, 1, -1, -1, 0755) != 0) {
    Fail("cannot make the run folder " + runBase + ": " + std::strerror(errno));
    return 1;
  }
  RemoveStaleRunFolders(runBase);
  if (h.uid == 0 && !options.listen.empty()) ChooseFrontUser(h, runBase);
  if (mkdir(h.runDir.c_str(), 0750) != 0 ||
      chown(h.runDir.c_str(), h.uid, h.uid == 0 ? h.frontGid : h.gid) != 0 ||
      mkdir(h.inFlightDir.c_str(), 0700) != 0) {
    Fail("cannot make the run folder " + h.runDir + ": " + std::strerror(errno));
    return 1;
  }
  busy::Map(4 * h.maxWorkers + 8);
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
  CopyLogToStderr();
  const int rc = Supervise(h);
  kevo::RootIds root;
  RemoveTree(h.runDir);
  if (!options.fastcgi.empty() && options.fastcgi[0] == '/') unlink(options.fastcgi.c_str());
  return rc;
}

}  // namespace webapihost
