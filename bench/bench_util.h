// Pieces the benchmarks share: a temporary root, devices registered through flx-admin, the
// host and the shipped nginx site as child processes, and readings of /proc.
#ifndef FLX_BENCH_UTIL_H
#define FLX_BENCH_UTIL_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace flxbench {

// A fresh root below /tmp set as FLX_ROOT, removed with everything in it at the end. An
// empty prefix keeps the FLX_ROOT the program was given.
class TempRoot {
 public:
  explicit TempRoot(const std::string& prefix);
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  // `flx-admin init` in the root.
  bool Init(const std::string& adminBin) const;
  const std::string& dir() const { return dir_; }
  std::string Path(const char* below) const;

 private:
  std::string dir_;
  bool owned_ = false;
};

// The serial number and session id of bench device `i`.
std::string Serial(int i);
std::string SessionId(int i);
// Registers devices 0..n-1 with a session each through the flx-admin program.
bool AddDevices(const std::string& adminBin, int n);

// Runs a program; its exit status (-1 when it could not start), stdout into `out`.
int RunProgram(const std::vector<std::string>& args, std::string* out);
std::string Output(const std::vector<std::string>& args);
std::string Join(const std::vector<std::string>& args);

// A child process stopped with SIGTERM (and reaped) at the end; it dies with this process.
class Child {
 public:
  ~Child() { Stop(); }
  bool Spawn(const std::vector<std::string>& args, const std::string& logPath, uid_t uid);
  void Stop();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// The host on an ephemeral loopback port; `url` gets "http://127.0.0.1:PORT".
class Host {
 public:
  bool Start(const std::vector<std::string>& args, const std::string& logPath, std::string& url);
  pid_t pid() const { return child_.pid(); }

 private:
  Child child_;
};

// nginx from deploy/nginx/flx-webapi.conf with its paths and ports moved into `dir`, with a
// throw-away certificate, in front of `upstream` (HOST:PORT); as nobody when run as root.
class Nginx {
 public:
  bool Start(const std::string& dir, const std::string& upstream, std::string& url,
             std::string& caFile);

 private:
  Child child_;
};

// "1.23 0.98 0.50" from /proc/loadavg.
std::string LoadAverage();
// One process of a tree: its depth below the root process and its memory in KiB.
struct ProcMemory {
  pid_t pid;
  int depth;
  long rssKiB;   // VmRSS
  long hwmKiB;   // VmHWM, the peak of VmRSS
  long anonKiB;  // RssAnon: the heap and stacks, where a leak shows
  long threads;
};
// A process and all its descendants (whatever the depth), parents before their children.
std::vector<ProcMemory> TreeMemory(pid_t pid);
// VmRSS of one process from /proc/PID/statm (cheap enough to sample every few ms); 0 if gone.
long RssKiB(pid_t pid);
// Sets a process's VmHWM back to its VmRSS, so that the next peak is its own.
bool ResetPeak(pid_t pid);
// The CPU time (user and system) a process and its descendants have used, in milliseconds.
double TreeCpuMs(pid_t pid);
// The resident memory of a process and its descendants, e.g. "41.2 MiB (12.1 + 14.5 + 14.6)".
std::string TreeRss(pid_t pid);

}  // namespace flxbench

#endif  // FLX_BENCH_UTIL_H
