// flx-agent: collects a Linux machine's facts as push items and pushes them to the host.
//
// One collector per fact family. Each reads the machine below a root prefix ("/" for the
// machine itself, a fixture tree in tests) and fills the payload of one item; a collector that
// fails drops only its own item. Tools (systemctl, smartctl, vgs) run only for the root "/".
#ifndef FLX_TOOLS_AGENT_H
#define FLX_TOOLS_AGENT_H

#include <json/value.h>
#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace flxagent {

// Runs a tool: argv, its standard output, its exit status; false when it could not run.
using ToolFn =
    std::function<bool(const std::vector<std::string>& argv, std::string& out, int& status)>;

// What one collection reads from, and the notes it leaves (things skipped, not failures).
struct Context {
  std::string root = "/";
  std::vector<std::string> packagePatterns;  // fnmatch patterns; empty: every package
  std::vector<std::string> notes;
  // Answers the tools' calls in place of the machine's tools (tests give recorded outputs).
  ToolFn tools;

  // Whether this is the running machine, so that tools and live system calls may be used.
  bool live() const { return root == "/"; }
  // `abs` (an absolute path) below the root.
  std::string path(const std::string& abs) const;
  void note(const std::string& text) { notes.push_back(text); }
  // Whether `name` may be run: installed on the running machine, or answered by `tools`.
  bool haveTool(const std::string& name) const;
  // Runs a tool as RunTool does, or asks `tools`.
  bool runTool(const std::vector<std::string>& argv, std::string& out, int& status) const;
};

// A collector fills `data` with one item's payload; false, with `why` set, drops the item.
using CollectFn = bool (*)(Context& ctx, Json::Value& data, std::string& why);

struct Collector {
  const char* group;
  const char* module;  // also the kind named by --only
  CollectFn collect;
};

bool CollectBasic(Context& ctx, Json::Value& data, std::string& why);
bool CollectInfo(Context& ctx, Json::Value& data, std::string& why);
bool CollectStorage(Context& ctx, Json::Value& data, std::string& why);
bool CollectShares(Context& ctx, Json::Value& data, std::string& why);
bool CollectApplications(Context& ctx, Json::Value& data, std::string& why);
bool CollectPackages(Context& ctx, Json::Value& data, std::string& why);

// The collectors in batch order, ended by a row of nulls.
extern const Collector kCollectors[];

// The build number of an OS release's VERSION_ID: up to three numeric components a.b.c,
// each capped at 99, as a*10000 + b*100 + c ("12" -> 120000, "22.04" -> 220400); 0 when
// it does not start with a digit. Newer releases of one OS get larger numbers.
int32_t BuildNumber(const std::string& versionId);
// The version text "<OS id> <VERSION_ID>-<build>" of an os-release file's content, which the
// host reads back as product version and build number.
std::string VersionText(const std::string& osRelease, int32_t* build = nullptr);

// Runs the collectors named in `only` (module names; empty: all) and returns the batch
// (a JSON array of items). A failing collector's reason goes to `err`, with the notes.
Json::Value CollectBatch(Context& ctx, const std::vector<std::string>& only, uint64_t collectTime,
                         std::ostream& err);

// --- the tools' answers ---

// One disk's SMART reading from the output and exit status of `smartctl --json -H -A`.
struct SmartReading {
  std::string status;  // "normal", "abnormal", or "" when smartctl could not tell
  int temp = 0;        // degrees Celsius; 0 when not reported
  std::string why;     // with an empty status: what smartctl said
};
SmartReading ParseSmartctl(const std::string& json, int exitStatus);
// Asks smartctl about /dev/<disk> (it needs root to open the device).
SmartReading ReadSmart(const Context& ctx, const std::string& disk);

// The active services of `systemctl show`'s output (blocks of Id=, ActiveState= and
// FragmentPath= lines): unit name -> its unit file ("" for a unit without one).
std::map<std::string, std::string> ActiveServices(const std::string& showOutput);

// --- interval mode: what was pushed last ---

const int64_t kRepushSeconds = 24 * 3600;

// The content hash of an item, over its payload without the members that change by
// themselves (up_time; a volume's use counts in steps of 1% of its size), so that an idle
// machine's items stay unchanged.
std::string ContentHash(const Json::Value& item);

// Item key ("group/module") -> content hash and time of its last successful push.
struct PushState {
  std::string url;
  std::map<std::string, std::pair<std::string, int64_t>> items;

  bool load(const std::string& file);
  bool save(const std::string& file) const;
  // The items of `batch` that changed, are new, or were last pushed a day or more before
  // `now`; all of them when the state belongs to another URL.
  Json::Value changed(const Json::Value& batch, const std::string& pushUrl, int64_t now) const;
  // Records the items of `pushed` as pushed at `now` to `pushUrl`.
  void record(const Json::Value& pushed, const std::string& pushUrl, int64_t now);
};

// --- identity and enrollment (identity.cpp, enroll.cpp) ---

// A stable id derived from the machine id that does not disclose the machine id itself.
std::string UniqueId(const std::string& machineId);

// What tells this machine apart from its clones.
struct Identity {
  std::string serial;  // DMI serial where there is a real one, else derived from machineId
  std::string hostname;
  std::string machineId;          // hashed (UniqueId)
  std::string productUuid;        // DMI product UUID, lowercase; empty where unreadable
  std::vector<std::string> macs;  // physical interfaces' addresses, lowercase, sorted
};
// Reads the identity of the machine below ctx.root. False, with `why`, without a machine id.
bool CollectIdentity(const Context& ctx, Identity& id, std::string& why);
// Lowercase hex SHA-256 of "machine_id|product_uuid|macs" (macs comma-joined): the host
// computes the same from the identity a machine enrolled with. The host name takes no part.
std::string Fingerprint(const Identity& id);
// The identity as the join method takes it.
Json::Value IdentityJson(const Identity& id);

// What `flx-agent enroll` was given and wrote: kept (mode 0600) beside the configuration
// file, so that the agent renews its session and enrolls again when told to.
struct Enrollment {
  std::string url;
  std::string token;
  std::string caHash;  // sha256:HEX of the host CA's public key
  std::string sn;
  int64_t issued = 0;
  int64_t expires = 0;
};
// enrollment.json beside `configFile`.
std::string EnrollmentFile(const std::string& configFile);
bool LoadEnrollment(const std::string& file, Enrollment& out);

struct EnrollOptions {
  std::string url;
  std::string token;
  std::string caHash;
  std::string configFile;  // the files go beside it
  std::string root = "/";  // the machine whose identity is sent
};
// Joins the host with the secret: trusts it by the CA hash (https: the CA in the handshake,
// before the token is sent; http: loopback only), then writes the session, push key and CA
// beside the configuration file. Returns flx-push's exit codes; `answer` gets the host's code.
int Enroll(const EnrollOptions& options, std::ostream& out, std::ostream& err,
           int* answer = nullptr);
// Renews the session of `configFile`'s enrollment (the identity read below `root`) and writes
// the new one. Returns 0, the host's error code, or -1 when the host could not be reached.
int RenewSession(const std::string& configFile, const std::string& root, std::ostream& err);

// Writes `text` to `file` whole (beside, then renamed over; never through a link) with `mode`.
bool ReplaceFile(const std::string& file, const std::string& text, mode_t mode);
// What a round pushes: the items that changed, and the basic item (or, without one, the
// first collected item) every round even when nothing changed, so that the host hears from
// an idle machine once an interval. The basic item, not an empty push: it is enciphered, so
// each heartbeat also shows the host which push key the machine still holds.
Json::Value WithHeartbeat(const Json::Value& changed, const Json::Value& batch);

// --- running ---

struct AgentOptions {
  std::string url;
  std::string sid;
  std::string keyFile;  // empty: the host's push key below the build's root
  std::string caFile;   // https: the certificates to trust; empty: the system's
  std::string sidFile;  // the session id, alone in a file of mode 0600
  std::string root = "/";
  std::string stateFile;  // --interval only
  std::vector<std::string> only;
  std::vector<std::string> packagePatterns;
  int64_t interval = 0;  // seconds; 0: push once
  bool dryRun = false;
  std::string configFile;   // where `flx-agent enroll` left its enrollment, if it did
  std::string fingerprint;  // this machine's, sent with every push
};

// The configuration file read when --config names none (below the root prefix).
std::string DefaultConfigFile();
// Fills the settings the command line left empty, from the environment (FLX_AGENT_URL,
// FLX_AGENT_SID) and then `configFile` (url, key_file, ca_file, session_file; a missing file
// is fine unless `configGiven`), and reads the session id from the session file when pushing.
// False, with `why` set, for an unreadable or malformed file or a session file that others
// may read.
bool ResolveSettings(AgentOptions& options, const std::string& configFile, bool configGiven,
                     const std::function<const char*(const char*)>& getEnv, std::string& why);

// Collects and prints (--dry-run) or pushes once, or every interval until SIGINT or SIGTERM.
// Returns flx-push's exit codes.
int RunAgent(const AgentOptions& options, std::ostream& out, std::ostream& err);

// --- helpers shared by the collectors ---

// The whole file (at most `limit` bytes); empty, with `*ok` false, when unreadable.
std::string ReadText(const std::string& path, bool* ok = nullptr, size_t limit = 64u << 20);
// The first line of the file without surrounding whitespace.
std::string ReadLine(const std::string& path);
std::string Trim(const std::string& text);
// Names in a folder (not "." or ".."), sorted; empty when it cannot be read.
std::vector<std::string> ListDir(const std::string& path);
// Standard base64 with padding.
std::string Base64(const std::string& bytes);
bool StartsWith(const std::string& text, const char* prefix);
// A pushed file {data, size, mtime} of `content` with the file's modification time.
Json::Value PushedFile(const std::string& content, int64_t mtime);
int64_t FileMtime(const std::string& path);
// Runs `argv[0]` (looked up in PATH, no shell) with stdin and stderr on /dev/null and
// returns its standard output; false when it cannot start, times out or dies of a signal.
// `status` receives its exit status.
bool RunTool(const std::vector<std::string>& argv, std::string& out, int& status,
             int timeoutMs = 20000);
// Whether `name` is an executable in PATH.
bool HaveTool(const std::string& name);
// Parses JSON text; false on any error.
bool ParseJson(const std::string& text, Json::Value& out);
// The key=value lines of an os-release style file, quotes removed; the first of a key counts.
std::map<std::string, std::string> ParseKeyValues(const std::string& text, char sep = '=');

// The host's language code for a desktop-file locale ("de" -> "ger", "pt_BR" -> "ptb"),
// empty when the host has none.
std::string HostLanguage(const std::string& locale);

}  // namespace flxagent

#endif  // FLX_TOOLS_AGENT_H
