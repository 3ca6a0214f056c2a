#include "bench_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace flxbench {

namespace {

const uid_t kNobody = 65534;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), len);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

bool Accepts(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// A number of /proc/PID/status (KiB for the memory fields); 0 when the process is gone.
long StatusKiB(pid_t pid, const char* field) {
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  const size_t length = strlen(field);
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0) return atol(line.c_str() + length);
  }
  return 0;
}

// The fields of /proc/PID/stat after the command name: state, ppid, ...
std::string StatFields(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close == std::string::npos ? std::string() : stat.substr(close + 2);
}

// The process and its descendants with their depth, parents first; one pass over /proc.
std::vector<std::pair<pid_t, int>> Tree(pid_t pid) {
  std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, ppid) of every process
  DIR* proc = opendir("/proc");
  while (const dirent* e = proc ? readdir(proc) : nullptr) {
    const pid_t p = atoi(e->d_name);
    if (p > 0) parents.emplace_back(p, atoi(StatFields(p).c_str() + 2));
  }
  if (proc) closedir(proc);
  std::vector<std::pair<pid_t, int>> tree = {{pid, 0}};
  for (size_t i = 0; i < tree.size(); ++i) {
    for (const auto& pp : parents) {
      if (pp.second == tree[i].first) tree.emplace_back(pp.first, tree[i].second + 1);
    }
  }
  return tree;
}

}  // namespace

TempRoot::TempRoot(const std::string& prefix) {
  if (prefix.empty()) {
    const char* env = getenv("FLX_ROOT");
    dir_ = env != nullptr ? env : "";
    return;
  }
  std::string tmpl = prefix + ".XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) abort();
  dir_ = tmpl;
  owned_ = true;
  chmod(dir_.c_str(), 0755);  // a host with dropped ids still walks through it
  setenv("FLX_ROOT", dir_.c_str(), 1);
}

TempRoot::~TempRoot() {
  if (!owned_ || getenv("FLX_BENCH_KEEP_ROOT") != nullptr) return;
  nftw(
      dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

bool TempRoot::Init(const std::string& adminBin) const {
  if (RunProgram({adminBin, "init"}, nullptr) == 0) return true;
  fprintf(stderr, "bench: flx-admin init failed in %s\n", dir_.c_str());
  return false;
}

std::string TempRoot::Path(const char* below) const {
  return dir_ + below;
}

std::string Serial(int i) {
  char sn[32];
  snprintf(sn, sizeof sn, "BENCH%07d", i);
  return sn;
}

std::string SessionId(int i) {
  return "bench-session-" + Serial(i);
}

bool AddDevices(const std::string& adminBin, int n) {
  for (int i = 0; i < n; ++i) {
    // A root that a first run registered them in keeps them (a second run pushes again).
    if (RunProgram({adminBin, "device", "show", Serial(i)}, nullptr) == 0) continue;
    if (RunProgram({adminBin, "device", "add", "--sn", Serial(i)}, nullptr) != 0 ||
        RunProgram({adminBin, "session", "add", "--sn", Serial(i), "--sid", SessionId(i)},
                   nullptr) != 0) {
      fprintf(stderr, "bench: cannot register device %s\n", Serial(i).c_str());
      return false;
    }
  }
  return true;
}

int RunProgram(const std::vector<std::string>& args, std::string* out) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) {
    if (out != nullptr) out->append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Output(const std::vector<std::string>& args) {
  std::string out;
  RunProgram(args, &out);
  return out;
}

std::string Join(const std::vector<std::string>& args) {
  std::string all;
  for (const std::string& a : args) all += (all.empty() ? "" : " ") + a;
  return all;
}

bool Child::Spawn(const std::vector<std::string>& args, const std::string& logPath, uid_t uid) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(log, 1);
    dup2(log, 2);
    if (uid != 0 && geteuid() == 0 && (setgroups(0, nullptr) || setgid(uid) || setuid(uid)))
      _exit(126);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid_ > 0;
}

void Child::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool Host::Start(const std::vector<std::string>& args, const std::string& logPath,
                 std::string& url) {
  if (!child_.Spawn(args, logPath, 0)) return false;
  for (int i = 0; i < 500; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string log = ReadFile(logPath);
    // A host serving nginx by FastCGI names its socket: "http://" + the upstream address.
    std::string mark = "listening on ";
    size_t at = log.find(mark);
    if (at == std::string::npos) at = log.find(mark = "serving FastCGI on ");
    const size_t nl = at == std::string::npos ? at : log.find('\n', at);
    if (nl != std::string::npos) {
      url = "http://" + log.substr(at + mark.size(), nl - at - mark.size());
      return true;
    }
    if (waitpid(child_.pid(), nullptr, WNOHANG) != 0) break;
  }
  fprintf(stderr, "bench: the host did not start:\n%s\n", ReadFile(logPath).c_str());
  return false;
}

bool Nginx::Start(const std::string& root, const std::string& upstream, std::string& url,
                  std::string& caFile) {
  const std::string dir = root + "/nginx";
  mkdir(dir.c_str(), 0755);
  const std::string cert =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
      "-nodes -days 1 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 "
      "-keyout " +
      dir + "/flx-webapi.key -out " + dir + "/flx-webapi.crt 2>/dev/null";
  const int port = FreePort();
  std::string site = ReadFile(FLX_SOURCE_DIR "/deploy/nginx/flx-webapi.conf");
  const std::pair<std::string, std::string> moves[] = {
      {"127.0.0.1:5000", upstream},                          // a host speaking HTTP
      {"unix:/run/flx-webapi-host/fastcgi.sock", upstream},  // a FastCGI host
      {"listen 443 ", "listen 127.0.0.1:" + std::to_string(port) + " "},
      {"listen [::]:443 ssl http2;", ""},
      {"/etc/ssl/flx/", dir + "/"},
      {"/var/log/nginx/", dir + "/"},
      {"/var/packages/FLX/target/", root + "/var/packages/FLX/target/"},
  };
  for (const auto& m : moves) {
    for (size_t at = site.find(m.first); at != std::string::npos;
         at = site.find(m.first, at + m.second.size()))
      site.replace(at, m.first.size(), m.second);
  }
  std::ostringstream conf;
  conf << "pid " << dir << "/nginx.pid;\nerror_log " << dir << "/error.log;\n"
       << "worker_processes auto;\nevents { worker_connections 1024; }\nhttp {\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    conf << "  " << temp << "_temp_path " << dir << "/" << temp << ";\n";
  conf << "  include " << dir << "/flx-webapi.conf;\n}\n";
  // nginx runs as nobody here, outside the socket's group.
  if (upstream.rfind("unix:", 0) == 0) chmod(upstream.c_str() + 5, 0666);
  if (system(cert.c_str()) != 0 || !WriteFile(dir + "/flx-webapi.conf", site) ||
      !WriteFile(dir + "/nginx.conf", conf.str()) ||
      (geteuid() == 0 && system(("chown -R nobody: " + dir).c_str()) != 0)) {
    fprintf(stderr, "bench: cannot prepare nginx in %s\n", dir.c_str());
    return false;
  }
  child_.Spawn({"/usr/sbin/nginx", "-p", dir, "-e", dir + "/error.log", "-c", dir + "/nginx.conf",
                "-g", "daemon off;"},
               dir + "/nginx.out", kNobody);
  for (int i = 0; i < 500 && !Accepts(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!Accepts(port)) {
    fprintf(stderr, "bench: nginx did not start:\n%s\n", ReadFile(dir + "/error.log").c_str());
    return false;
  }
  url = "https://127.0.0.1:" + std::to_string(port);
  caFile = dir + "/flx-webapi.crt";
  return true;
}

std::string LoadAverage() {
  const std::string text = ReadFile("/proc/loadavg");
  size_t end = 0;
  for (int fields = 0; fields < 3 && end != std::string::npos; ++fields)
    end = text.find(' ', end + (fields ? 1 : 0));
  return text.substr(0, end);
}

std::vector<ProcMemory> TreeMemory(pid_t pid) {
  std::vector<ProcMemory> all;
  for (const auto& p : Tree(pid)) {
    all.push_back({p.first, p.second, StatusKiB(p.first, "VmRSS:"), StatusKiB(p.first, "VmHWM:"),
                   StatusKiB(p.first, "RssAnon:"), StatusKiB(p.first, "Threads:")});
  }
  return all;
}

long RssKiB(pid_t pid) {
  std::istringstream statm(ReadFile("/proc/" + std::to_string(pid) + "/statm"));
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool ResetPeak(pid_t pid) {
  return WriteFile("/proc/" + std::to_string(pid) + "/clear_refs", "5");
}

std::string TreeRss(pid_t pid) {
  long total = 0;
  std::string parts;
  for (const ProcMemory& p : TreeMemory(pid)) {
    total += p.rssKiB;
    parts += (parts.empty() ? "" : " + ") + std::to_string(p.rssKiB / 1024.0).substr(0, 5);
  }
  return std::to_string(total / 1024.0).substr(0, 5) + " MiB (" + parts + ")";
}

double TreeCpuMs(pid_t pid) {
  unsigned long long ticks = 0;
  for (const auto& p : Tree(pid)) {
    std::istringstream fields(StatFields(p.first));
    std::string skip;
    unsigned long long user = 0, system = 0;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt; utime is field 14
    fields >> user >> system;
    ticks += user + system;
  }
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace flxbench
