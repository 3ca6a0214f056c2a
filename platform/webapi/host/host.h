// The web API host: decodes calls to /webapi/entry.cgi, finds the method in the API tables of
// the loaded modules, calls it one request at a time and answers with JSON.
#ifndef WEBAPI_HOST_H
#define WEBAPI_HOST_H

#include <json/value.h>
#include <stddef.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "webapi.h"

namespace httplib {
class Server;
}

namespace webapihost {

// Serves the inventory page's files from `dir` at / and /inventory/.
void ServeStaticPage(httplib::Server& server, const std::string& dir);

// --- decoding the fields of a call ---

// Decodes one percent-encoded text ("+" is a space when `plusIsSpace`). False on a "%" that
// is not followed by two hex digits.
bool PercentDecode(const std::string& in, bool plusIsSpace, std::string& out);
// Decodes form-urlencoded text ("a=1&b=2") into `fields`; a later occurrence of a name
// replaces an earlier one, pieces without a name are skipped. False on a bad escape.
bool DecodeForm(const std::string& text, std::map<std::string, std::string>& fields);
// The value of cookie `name` in a Cookie header (quotes removed), or empty.
std::string CookieValue(const std::string& header, const std::string& name);
// The parameter's value: the text parsed as JSON when it is one valid JSON value, else the
// text itself as a JSON string.
Json::Value ParamValue(const std::string& text);

// What a client sent to the endpoint, before decoding.
struct RawRequest {
  std::string query;        // the URL's query string, still encoded
  std::string body;         // the request body
  std::string contentType;  // Content-Type header
  std::string cookie;       // Cookie header(s), joined with "; "
  std::string remoteIp;
  std::string clientAddress;  // the address that failed session checks are counted against
};

// One decoded call.
struct Call {
  std::string api;
  std::string method;
  std::string versionText;
  int version = 0;
  std::string sid;
  Json::Value params{Json::objectValue};
  std::map<std::string, std::string> rawParams;  // decoded, not parsed yet
};

// Decodes the fields of `raw` into `call`, leaving the parameters as text in rawParams (a form
// body wins over the query string; the cookie "id" is the session when there is no "_sid").
// Returns 0, or the framework's error code: a malformed encoding, a missing api, method or
// version, or a version that is not a number.
int DecodeFields(const RawRequest& raw, Call& call);
// Parses rawParams into params within bounds set by the request's size (`inputBytes`):
// 0, or the HTTP status of the refusal (400: nested too deep, 413: too many values) with `why`.
int ParseParams(Call& call, size_t inputBytes, std::string& why);
// Moves rawParams into params as JSON strings, parsing nothing.
void KeepParamsAsText(Call& call);
// DecodeFields and ParseParams; WEBAPI_ERR_REFUSED when the parameters are out of bounds.
int DecodeCall(const RawRequest& raw, Call& call);

// --- API tables of the loaded modules ---

// The methods of every loaded module. Owns the module handles and closes them at the end.
class ApiRegistry {
 public:
  // Longest table accepted; a longer one has probably lost its all-zero row.
  static constexpr int kMaxRows = 4096;

  ApiRegistry() = default;
  ~ApiRegistry();
  ApiRegistry(const ApiRegistry&) = delete;
  ApiRegistry& operator=(const ApiRegistry&) = delete;

  // dlopen()s the module and adds its table. False, with `err` set and logged, when the
  // module cannot be loaded, has no GetAPITable or serves nothing.
  bool LoadModule(const std::string& path, std::string& err);
  // Adds the table's rows up to its all-zero row; rows with a missing name or handler are
  // skipped with a log line. Returns the number of rows added, -1 for a null table or one
  // without an all-zero row within kMaxRows.
  int AddTable(const WEBAPI_ENTRY* table, const std::string& origin);
  // Finds the handler of (api, version, method): 0, or WEBAPI_ERR_NO_API when no table has
  // the api, WEBAPI_ERR_NO_METHOD when it lacks the method, WEBAPI_ERR_NO_VERSION when it
  // lacks that version of the method.
  int Find(const std::string& api, long version, const std::string& method,
           WEBAPI_METHOD_HANDLER* handler) const;
  size_t Size() const { return entries_.size(); }

 private:
  struct Entry {
    std::string api;
    long version;
    std::string method;
    WEBAPI_METHOD_HANDLER handler;
  };
  std::vector<Entry> entries_;
  std::vector<void*> handles_;
};

// Failed session checks by client address: from the `limit`th failure within a window on, the
// address is refused until that window ends.
class AuthLimiter {
 public:
  AuthLimiter(int limit, int windowSeconds) : limit_(limit), window_(windowSeconds) {}
  bool Blocked(const std::string& address);
  void Failed(const std::string& address);

 private:
  using Clock = std::chrono::steady_clock;
  struct Window {
    Clock::time_point start;
    int failures;
  };
  const int limit_;
  const std::chrono::seconds window_;
  std::mutex mutex_;
  std::map<std::string, Window> windows_;
};

// True when session `sid` may call APIs of `apiClass`.
using SessionCheck = std::function<bool(const std::string& sid, const std::string& apiClass)>;

// Serves decoded requests: finds the method, checks the session before any parameter is parsed
// (a refused session gets its parameters as text: the module answers it), calls the method
// under one lock (privileged sections in modules change process-wide ids), never lets an
// exception out, logs one line per request.
class Dispatcher {
 public:
  explicit Dispatcher(const ApiRegistry& registry, SessionCheck check = nullptr)
      : registry_(registry), check_(std::move(check)) {}
  // The answer object: {"success":true[,"data":..]} or {"success":false,"error":{"code":N}};
  // `httpStatus` (when given) is 200, or the status of a refusal by a limit; `guessed` says
  // whether a presented session failed its check (what the limiter of guesses counts).
  Json::Value Handle(const RawRequest& raw, int* httpStatus = nullptr, bool* guessed = nullptr);

 private:
  int Invoke(WEBAPI_METHOD_HANDLER handler, KEVO::APIRequest& request, KEVO::APIResponse& response);
  // Parses the parameters when the session passes; 0 or the HTTP status of a refusal.
  int PrepareParams(const RawRequest& raw, Call& call, bool& guessed);

  const ApiRegistry& registry_;
  SessionCheck check_;
  std::mutex mutex_;
};

// The answer object as compact JSON text.
std::string AnswerText(const Json::Value& answer);

// --- the host program ---

// How this process's connections to the store files that the host holds behave (the module
// opens its own; SQLite calls the host back for each one).
struct StorePolicy {
  // Commits with synchronous=NORMAL: a commit outlives a crash of any process, and a power loss
  // rolls back at most the last ones, leaving the file consistent. Else each waits for the disk.
  bool relaxSync = true;
  // A connection meeting a lock waits up to this long (SQLite's backoff, from 1 ms) before its
  // caller hears "database is locked": workers hold the write lock for well under that, while
  // the module's own retry waits 0.1 to 1 s each time. 0: no wait.
  int lockWaitMs = 250;
};

struct HostOptions {
  std::string listen = "127.0.0.1:5000";
  std::vector<std::string> modules;  // empty: DefaultModulePath()
  size_t maxBody = size_t(4) << 20;  // 8x the largest agent push measured (455,673 bytes)
  bool logStderr = false;
  int logLevel = 7;  // lines up to this syslog level are written (7: LOG_DEBUG, all of them)
  bool debug = false;
  std::string dropUser;               // empty: keep the ids
  int workers = -1;                   // -1: one per core; 0: serve in this process
  std::vector<std::string> keepOpen;  // SQLite files each worker keeps one idle connection to
  StorePolicy store;                  // for connections to the keepOpen files
  size_t maxConnections = 64;         // per worker
  int requestSeconds = 120;           // headers and body of one request
  int maxAuthFailures = 20;           // failed session checks per address and minute
};

// The folder of the inventory page: <root>/var/packages/FLX/target/webapi/www.
std::string PageDir();

// The module loaded when no --module is given.
const char* DefaultModulePath();
// Splits "HOST:PORT" ("[v6]:PORT" too). False when malformed or the port is out of range.
bool ParseListen(const std::string& text, std::string& host, int& port);
// Started as root: makes USER's ids the real and effective ids and keeps 0 as the saved ids.
// False, with `err` set, when not root, USER is unknown or a call fails.
bool DropPrivileges(const std::string& user, std::string& err);
// SQLite takes a few hundred KiB for each connection and gives them back at its close: a process
// whose module opens thousands of short connections keeps up to 8 MiB of freed memory for the
// next one, rather than handing it to the kernel and faulting it in again each time.
void KeepFreedMemory();

// Keeps one idle connection to each SQLite file open, so that the connections that come and go
// beside it never find themselves the last one (which checkpoints and removes the -wal file),
// and applies the policy to every later connection of this process to the file.
class IdleConnections {
 public:
  IdleConnections() = default;
  ~IdleConnections();
  IdleConnections(const IdleConnections&) = delete;
  IdleConnections& operator=(const IdleConnections&) = delete;
  // False, logged, when the file cannot be opened; the host serves on without it.
  bool Open(const std::string& path, const StorePolicy& policy);

 private:
  std::vector<void*> dbs_;  // sqlite3*
};

// What serving one call gave.
struct Served {
  std::string text;      // the answer object as JSON text
  int status = 200;      // the HTTP status
  bool guessed = false;  // a presented session failed its check
};
using CallRunner = std::function<Served(const RawRequest&)>;

// Serves one call in this process.
Served ServeHere(Dispatcher& dispatcher, const RawRequest& raw);

// A child process with one thread that runs the module calls of a worker. Privileged sections
// change the ids of every thread of a process, which the C library does by signalling each
// thread in turn: in a process of its own with one thread, a change is one system call, and
// the worker's connection threads never run with raised ids.
class Executor {
 public:
  Executor() = default;
  ~Executor();  // closes the channel and waits for the child
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  // Forks the child, which runs `serve` on its end of the channel and exits with its result.
  // Call it while this process has one thread only.
  bool Start(const std::function<int(int fd)>& serve);
  // Runs one call in the child, one at a time. When the child is gone the answer is a 500 with
  // WEBAPI_ERR_MODULE_FAILED, the end is logged and `onDeath` runs once.
  Served Run(const RawRequest& raw);
  void OnDeath(std::function<void()> onDeath) { onDeath_ = std::move(onDeath); }
  pid_t Pid() const { return pid_; }

 private:
  void Reap(bool logEnd);

  std::mutex mutex_;
  std::condition_variable turn_;
  uint64_t nextTicket_ = 0;
  uint64_t serving_ = 0;
  int fd_ = -1;
  pid_t pid_ = -1;
  std::function<void()> onDeath_;
};

// The child's side: reads calls from `fd`, serves them with `dispatcher`, writes the answers;
// returns 0 once the worker closes the channel.
int ServeCalls(int fd, Dispatcher& dispatcher);

// Serves until SIGINT or SIGTERM; returns the exit code (0 after a signal, 1 on a start-up
// failure, reported in one line on stderr). Prints "listening on HOST:PORT" once ready. With
// workers, the process loads, binds, drops its ids and then only supervises them.
int RunHost(const HostOptions& options);

}  // namespace webapihost

#endif  // WEBAPI_HOST_H
