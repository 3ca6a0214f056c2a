// Inside the host program: what the supervisor and its workers share (host.cpp, worker.cpp,
// run.cpp). Not for modules or products.
#ifndef WEBAPI_HOST_PROCESS_H
#define WEBAPI_HOST_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>

#include "host.h"

namespace webapihost {

using Clock = std::chrono::steady_clock;

// Worker exit codes that are not failures: replaced after its requests, or an idle extra.
constexpr int kExitRecycled = 0;
constexpr int kExitIdle = 3;
// A scrape that runs longer costs its worker: Prometheus gave up on it at its own 10 s.
constexpr int kMetricsSeconds = 10;

// What a worker needs from its supervisor.
struct WorkerSetup {
  int listenFd;
  const ApiRegistry* registry;
  const HostOptions* options;
  int slot;               // its place in the busy table
  std::string inFlight;   // this worker's in-flight file
  std::string rerun;      // a request a dead worker left, to run once more first; or empty
  std::string hostStart;  // the host start it belongs to (written into its in-flight files)
  bool extra;
  pid_t parent;
};

// Serves requests until asked to stop; the worker's exit code.
int RunWorker(const WorkerSetup& setup);
// The families the host counts itself; before the first fork.
void DescribeHostMetrics(const HostOptions& options);

// A listening socket on HOST:PORT (port 0: any free one, written back), or -1 with `err`.
int ListenTcp(const std::string& host, int& port, std::string& err);
// A listening unix socket at `path` (replacing a file there), mode 0660 for uid:gid.
int ListenUnix(const std::string& path, uid_t uid, gid_t gid, std::string& err);
// 127.0.0.0/8, ::1 or localhost.
bool IsLoopback(const std::string& host);

// Client-chosen text for a log line: short, one line, no spaces.
std::string Oneline(const std::string& text);
// "api=.. method=.. device=.." of a request.
std::string Describe(const InFlight& r);

// What each worker slot is doing, in memory the supervisor maps before its first fork: the
// supervisor sees a busy worker (a /metrics scrape too) without any file.
namespace busy {
// Maps the table (once); false, logged, when it cannot: no worker is seen busy then.
bool Map(int slots);
// The worker in `slot` runs a request that may take `seconds`; `scrape`: it is a /metrics one.
void Start(int slot, int seconds, bool scrape);
void Stop(int slot);
struct State {
  bool busy = false;
  Clock::duration running{};  // since its request started
  int seconds = 0;            // its bound
  bool scrape = false;
};
State Of(int slot);
}  // namespace busy

}  // namespace webapihost

#endif  // WEBAPI_HOST_PROCESS_H
