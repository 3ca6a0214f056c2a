// The web API host: a FastCGI process manager. A supervisor loads the modules, opens the
// socket and forks single-threaded workers; each takes one request from /webapi/entry.cgi,
// finds the method in the loaded API tables, calls it on its only thread and answers JSON.
#ifndef WEBAPI_HOST_H
#define WEBAPI_HOST_H

#include <json/value.h>
#include <stddef.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "webapi.h"

namespace webapihost {

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

// What nginx passed for one request, before decoding.
struct RawRequest {
  std::string query;          // QUERY_STRING, still encoded
  std::string body;           // the request body
  std::string contentType;    // CONTENT_TYPE
  std::string cookie;         // HTTP_COOKIE
  std::string remoteIp;       // REMOTE_ADDR: nginx's $remote_addr
  std::string requestMethod;  // REQUEST_METHOD
};

// One decoded call.
struct Call {
  std::string api;
  std::string method;
  std::string versionText;
  int version = 0;
  std::string sid;
  Json::Value params{Json::objectValue};
  std::map<std::string, std::string> rawParams;    // decoded, not parsed yet
  std::map<std::string, std::string> numberTexts;  // the text of each that parsed as a number
};

// Most fields one call may carry (a push has five); counted before any is decoded.
constexpr size_t kMaxFields = 256;

// Decodes api, method, version and the session of `raw` into `call` and nothing else (a form
// body wins over the query string; the cookie "id" is the session when there is no "_sid").
// Returns 0, or the framework's error code: a malformed encoding, a missing api, method or
// version, or a version that is not a number; WEBAPI_ERR_REFUSED for more than kMaxFields.
int DecodeFields(const RawRequest& raw, Call& call);
// Decodes every other field into rawParams (text, not parsed). False on a bad escape.
bool DecodeParams(const RawRequest& raw, Call& call);
// Parses rawParams into params within bounds set by the request's size (`inputBytes`):
// 0, or the HTTP status of the refusal (400: nested too deep, 413: too many values) with `why`.
int ParseParams(Call& call, size_t inputBytes, std::string& why);
// Moves rawParams into params as JSON strings, parsing nothing.
void KeepParamsAsText(Call& call);
// DecodeFields, DecodeParams and ParseParams; WEBAPI_ERR_REFUSED when out of bounds.
int DecodeCall(const RawRequest& raw, Call& call);
// Removes the session from a request kept past its answer: every "_sid" field of the query
// and of a form body, and the cookie.
void ForgetSession(RawRequest& raw);

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

// --- the hooks through which a product serves its own rules ---

// What the session check sees: nothing but the call's names, its session and its caller.
struct SessionQuery {
  std::string api;
  std::string apiClass;  // the api without its last dotted component
  std::string method;
  int version = 0;
  std::string sid;
  std::string requestMethod;  // GET or POST
  std::string remoteIp;
};
// True when the session may make the call; `who` names the caller (a device's serial number,
// an operator) for the log lines and the hooks after the call.
using SessionCheck = std::function<bool(const SessionQuery& query, std::string& who)>;
// For a call whose session the check refused: 0 when its module checks the session itself and
// must see the call, else the error code the host answers with (the module never runs).
using SessionRefusal = std::function<int(const SessionQuery& query)>;
// Runs once the session passed and the parameters were parsed, before the method: 0 lets the
// call through; any other code is the answer, and the method is not called.
using AdmitCall = std::function<int(const Call& call, const std::string& who)>;
// Runs after each call the module answered, in the worker, with the call's parameters.
using AfterCall = std::function<void(const Call& call, const std::string& who,
                                     const KEVO::APIResponse& response)>;
// Whether a call is kept while it runs, to be run once more, answered to no one, should its
// worker die: for calls that are idempotent. A call that is not leaves no in-flight file.
using Rerunnable = std::function<bool(const Call& call)>;
// Runs in the worker once an answer has left (still counted busy, under the request's time
// limit), on an idle worker's wait, and before the worker ends: the product writes what its
// after hook kept back. `waiting`: another request is already queued, so the product may keep
// its work a little longer, within bounds of its own; false when idle and at the end.
using AfterAnswer = std::function<void(bool waiting)>;

// Calls that run together: while a call `together` accepts is being served and more requests
// wait at the socket, the worker opens a batch (`open`; false: each runs alone) and runs the
// waiting calls `together` accepts in it, up to HostOptions::batchMax; any other call closes
// it first. `close` ends the batch (false: none of its work was kept), and only then are its
// calls answered; when nothing was kept, each is answered with the error `failed`.
struct Batching {
  std::function<bool(const Call& call)> together;  // none: no call is batched
  std::function<bool()> open;
  std::function<bool()> close;
  int failed = WEBAPI_ERR_UNKNOWN;
};

// True when a bearer token sent to /metrics from outside loopback belongs to an operator.
using MetricsToken = std::function<bool(const std::string& token)>;
// Appends the product's own families to a scrape (in the worker that serves it); `flush`
// sends what `out` holds and empties it, so that a large scrape leaves as it is made.
using MetricsFlush = std::function<void(std::string& out)>;
using MetricsText = std::function<void(std::string& out, const MetricsFlush& flush)>;

struct ProductHooks {
  SessionCheck check;         // none: every session passes
  SessionRefusal refusal;     // none: a refused call is answered WEBAPI_ERR_REFUSED
  AdmitCall admit;            // none: every call that passed the check reaches its method
  AfterCall after;            // none: nothing runs after a call
  AfterAnswer afterAnswer;    // none: nothing is kept back past an answer
  Rerunnable runAgain;        // none: every call is run again
  MetricsToken metricsToken;  // none: /metrics answers loopback clients only
  MetricsText metrics;        // none: the host's own families only
  Batching batch;
};

// Serves decoded requests: finds the method, checks the session before any other field is
// decoded (a refused session is answered by the host, or with its parameters as text by a
// module that checks it itself), calls the method, never lets an exception out, logs one line
// per request.
class Dispatcher {
 public:
  explicit Dispatcher(const ApiRegistry& registry, ProductHooks hooks = ProductHooks())
      : registry_(registry), hooks_(std::move(hooks)) {}
  // Runs just before the method of a call whose session passed, with the decoded call and the
  // caller the check named (never for a refused one: it is not run again).
  using BeforeCall = std::function<void(const Call& call, const std::string& who)>;
  // The answer object: {"success":true[,"data":..]} or {"success":false,"error":{"code":N}};
  // `httpStatus` (when given) is 200, or the status of a refusal by a limit.
  // What the host counts of one request: the call's names once a loaded table has them, the
  // answer's code (0: success), and the cause of a refusal ("" when none).
  struct Outcome {
    std::string api, method;
    int code = 0;
    std::string refused;
    KEVO::Download download;  // a download the method answered with (written by the caller)
  };
  Json::Value Handle(const RawRequest& raw, int* httpStatus = nullptr,
                     const BeforeCall& before = nullptr, Outcome* outcome = nullptr);

 private:
  int Invoke(WEBAPI_METHOD_HANDLER handler, KEVO::APIRequest& request, KEVO::APIResponse& response);

  const ApiRegistry& registry_;
  ProductHooks hooks_;
};

// The answer object as compact JSON text.
std::string AnswerText(const Json::Value& answer);

// --- the held store files ---

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

// --- the request in flight ---

// A request a worker is running, as kept in its in-flight file: enough to run it again.
struct InFlight {
  int attempt = 1;  // 2: the rerun after a worker died with it
  std::string api, method, device;
  std::string hostStart;  // the host start whose worker wrote it (its run folder's name)
  long pid = 0;           // that worker
  RawRequest raw;
};
// Largest in-flight file read back: a request nginx lets through is far smaller.
constexpr size_t kMaxInFlightBytes = size_t(64) << 20;
// Quarantined requests kept at most; past either bound the oldest go, one log line each.
constexpr size_t kMaxQuarantined = 100;
constexpr size_t kMaxQuarantineBytes = size_t(64) << 20;
// Below the root: the hosts' run folders, and the requests that killed two workers.
constexpr const char kRunDir[] = "/var/packages/FLX/target/run";
constexpr const char kQuarantineDir[] = "/var/packages/FLX/target/quarantine";

// Writes (without fsync: it guards against a process dying, not the machine; mode 0600) and
// reads the file; Read is false for a file that is not one, is not a regular file, or is
// larger than `maxBytes`, and allocates no more than the file holds.
bool WriteInFlight(const std::string& path, const InFlight& request);
bool ReadInFlight(const std::string& path, InFlight& request, size_t maxBytes = kMaxInFlightBytes);

// The quarantined requests: file name, when, api, method and device, one a line.
struct Quarantined {
  std::string name;
  time_t when = 0;
  InFlight request;
};
std::vector<Quarantined> ListQuarantine();
// Removes one (by name) or, with an empty name, all; the number removed, -1 when none matched.
int DropQuarantine(const std::string& name);
// Keeps `request`, without its session, as quarantine file `name`, then drops the oldest files
// while more than `maxCount` or `maxBytes` are kept. False, logged, when it cannot be written.
bool QuarantineRequest(const InFlight& request, const std::string& name,
                       size_t maxCount = kMaxQuarantined, size_t maxBytes = kMaxQuarantineBytes);

// --- the run folders ---

// This host start's run folder below kRunDir: host.<pid>.<start>.<nonce> (<start>: the
// process's start time in clock ticks since boot), unique even when a pid comes again.
std::string RunFolderName();
// Removes the run folders below `base` whose host no longer runs (its pid gone, or taken by a
// later process); the number removed.
int RemoveStaleRunFolders(const std::string& base);

// --- metrics ---

// Counters and gauges in memory that the supervisor maps before its first fork: summed over all
// workers, they outlive a worker's end, and a scrape served by any worker sees them all.
namespace metrics {
// Longest label value exported (bytes); longer values from devices are cut.
constexpr size_t kMaxLabelValue = 128;
enum class Type { kCounter, kGauge, kHistogram };
// A label value as the text format wants it: valid UTF-8 (each byte that starts no
// well-formed character becomes U+FFFD), cut at kMaxLabelValue bytes on a character boundary,
// then \, " and newline escaped.
std::string LabelValue(const std::string& text);
// name="value", the value through LabelValue.
std::string Label(const char* name, const std::string& value);
// Maps the shared table (once; false, logged, when it cannot: nothing is counted then).
bool Init();
// Names a family, its type and its help line; only described families are counted. Before
// the fork, so that every process knows the same families.
void Describe(const std::string& name, Type type, const std::string& help);
// Series "name{labels}" (labels: `a="x",b="y"`, the same order each time). False when the
// family is unknown or has all the series it may have.
bool Add(const std::string& name, const std::string& labels, double n = 1);
bool Set(const std::string& name, const std::string& labels, double value);
// One observation of a histogram family, in its fixed buckets.
bool Observe(const std::string& name, const std::string& labels, double seconds);
// Every shared series, family by family with its HELP and TYPE lines.
std::string Render();
// For families written directly by the product: the HELP and TYPE lines, and one sample.
void Header(std::string& out, const std::string& name, Type type, const std::string& help);
void Sample(std::string& out, const std::string& name, const std::string& labels, double value);
}  // namespace metrics

// --- the host program ---

struct HostOptions {
  std::string listen;                // HOST:PORT of a private nginx front; empty: none
  std::string fastcgi;               // unix socket path, or HOST:PORT on loopback
  std::vector<std::string> modules;  // empty: the product's
  size_t maxBody = size_t(4) << 20;  // 8x the largest agent push measured (455,673 bytes)
  bool logStderr = false;
  int logLevel = 7;  // lines up to this syslog level are written (7: LOG_DEBUG, all of them)
  bool debug = false;
  std::string dropUser;               // empty: keep the ids
  int workers = 0;                    // 0: one per core
  int maxWorkers = 0;                 // 0: four times the workers
  int maxRequests = 2000;             // a worker is replaced after about this many
  int batchMax = 32;                  // calls run together in one batch, at most
  int requestSeconds = 300;           // longer: the worker is killed
  int slowMs = 10000;                 // longer: one "slow request" line
  std::string timedMethod;            // its calls' durations: flx_<method>_duration_seconds
  std::vector<std::string> keepOpen;  // SQLite files each worker keeps one idle connection to
  StorePolicy store;                  // for connections to the keepOpen files
  ProductHooks hooks;
};

// Splits "HOST:PORT" ("[v6]:PORT" too). False when malformed or the port is out of range.
bool ParseListen(const std::string& text, std::string& host, int& port);
// Started as root: makes USER's ids the real and effective ids and keeps 0 as the saved ids.
// False, with `err` set, when not root, USER is unknown or a call fails.
bool DropPrivileges(const std::string& user, std::string& err);

// The private front: nginx's configuration for `listen` (HOST:PORT), the FastCGI address
// (`unix:PATH` or HOST:PORT), the page folder and nginx's own folder, made from the site that
// deploy/nginx/ ships; `user` names nginx's worker user (empty: nginx's own user). False, with
// `err`, when the site lacks a line it must rewrite.
bool FrontConfig(const std::string& listen, const std::string& fastcgi, const std::string& www,
                 const std::string& prefix, const std::string& user, std::string& conf,
                 std::string& err);
// The shipped site, as built into the host.
const char* ShippedSite();

// Serves until SIGINT or SIGTERM; returns the exit code (0 after a signal, 1 on a start-up
// failure, reported in one line on stderr). With --listen, prints "listening on HOST:PORT"
// once the front takes requests; with --fastcgi, "serving FastCGI on ADDRESS".
int RunHost(const HostOptions& options);

}  // namespace webapihost

#endif  // WEBAPI_HOST_H
