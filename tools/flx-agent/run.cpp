#include <json/writer.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "agent.h"
#include "push.h"

namespace flxagent {

namespace {

volatile sig_atomic_t gStop = 0;

void OnStop(int) {
  gStop = 1;
}

const char kDefaultStateFile[] = "/var/lib/flx-agent/state.json";
// Rounds start within +-10% of the interval, so that a fleet started together spreads out.
const double kJitter = 0.1;

int64_t Now() {
  return static_cast<int64_t>(time(nullptr));
}

flxpush::PushOptions PushOptionsOf(const AgentOptions& options) {
  flxpush::PushOptions push;
  push.url = options.url;
  push.sid = options.sid;
  push.keyFile = options.keyFile;
  push.caFile = options.caFile;
  push.fingerprint = options.fingerprint;
  return push;
}

// The session of an enrolled machine, read again after a renewal or a new enrollment.
void ReloadSession(AgentOptions& options) {
  const std::string& config = options.configFile;
  const std::string sid = Trim(ReadLine(config.substr(0, config.rfind('/') + 1) + "session"));
  if (!sid.empty()) options.sid = sid;
}

// Renews the session once two thirds of its lifetime have passed.
void RenewWhenDue(AgentOptions& options, std::ostream& err) {
  Enrollment e;
  if (!LoadEnrollment(EnrollmentFile(options.configFile), e) || e.expires <= e.issued) return;
  if (Now() < e.issued + (e.expires - e.issued) * 2 / 3) return;
  if (RenewSession(options.configFile, options.root, err) == 0) ReloadSession(options);
}

// Pushes; an enrolled machine whose session is gone, expired or another machine's enrolls
// again with the secret of its join line (a clone ends as a device of its own) and pushes once
// more. `enrolledAgain` says whether it did: the new device needs every item.
int PushEnrolled(AgentOptions& options, const Json::Value& batch, std::ostream& out,
                 std::ostream& err, bool* enrolledAgain = nullptr) {
  int answer = 0;
  const int rc = flxpush::PushBatch(PushOptionsOf(options), batch, out, err, "flx-agent", &answer);
  Enrollment e;
  if (rc != flxpush::kExitErrorAnswer || (answer != 105 && answer != 409) ||
      !LoadEnrollment(EnrollmentFile(options.configFile), e))
    return rc;
  if (answer == 105 && RenewSession(options.configFile, options.root, err) == 0) {
    ReloadSession(options);
  } else {
    err << "flx-agent: enrolling again with the join line's secret" << std::endl;
    EnrollOptions again{e.url, e.token, e.caHash, options.configFile, options.root};
    if (Enroll(again, err, err) != flxpush::kExitSuccess) return rc;
    ReloadSession(options);
    if (enrolledAgain != nullptr) *enrolledAgain = true;
  }
  return flxpush::PushBatch(PushOptionsOf(options), batch, out, err, "flx-agent");
}

// Sleeps `seconds`, waking early when a stop signal came.
void Sleep(double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!gStop && std::chrono::steady_clock::now() < until) {
    const timespec slice{0, 200 * 1000 * 1000};
    nanosleep(&slice, nullptr);
  }
}

int RunInterval(AgentOptions& options, Context& ctx, std::ostream& out, std::ostream& err) {
  const std::string stateFile = options.stateFile.empty() ? kDefaultStateFile : options.stateFile;
  PushState state;
  if (!state.load(stateFile))
    err << "flx-agent: no earlier state in " << stateFile << ": pushing everything" << std::endl;
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::mt19937_64 random(std::random_device{}());
  std::uniform_real_distribution<double> jitter(1.0 - kJitter, 1.0 + kJitter);
  bool saveWarned = false;
  // Machines started together (a power cut, a fleet roll-out) do not push at the same moment.
  std::uniform_real_distribution<double> start(0.0, kJitter);
  Sleep(static_cast<double>(options.interval) * start(random));
  while (!gStop) {
    const int64_t now = Now();
    RenewWhenDue(options, err);
    const Json::Value batch = CollectBatch(ctx, options.only, static_cast<uint64_t>(now), err);
    Json::Value changed = WithHeartbeat(state.changed(batch, options.url, now), batch);
    bool enrolledAgain = false;
    int rc = flxpush::kExitSuccess;
    if (!changed.empty()) rc = PushEnrolled(options, changed, out, err, &enrolledAgain);
    if (enrolledAgain) {
      // A device of its own now: it gets everything, not only what changed.
      state.items.clear();
      changed = batch;
      if (rc == flxpush::kExitSuccess)
        rc = flxpush::PushBatch(PushOptionsOf(options), batch, out, err, "flx-agent");
    }
    if (changed.empty()) {
      err << "flx-agent: nothing collected" << std::endl;
    } else if (rc == flxpush::kExitSuccess) {
      err << "flx-agent: pushed " << changed.size() << " of " << batch.size() << " items"
          << std::endl;
      state.record(changed, options.url, now);
      if (!state.save(stateFile) && !saveWarned) {
        err << "flx-agent: cannot write the state file " << stateFile
            << ": every round pushes everything; give a writable --state" << std::endl;
        saveWarned = true;
      }
    }
    Sleep(static_cast<double>(options.interval) * jitter(random));
  }
  return flxpush::kExitSuccess;
}

}  // namespace

int RunAgent(const AgentOptions& given, std::ostream& out, std::ostream& err) {
  AgentOptions options = given;
  Context ctx;
  ctx.root = options.root.empty() ? "/" : options.root;
  ctx.packagePatterns = options.packagePatterns;
  for (const std::string& kind : options.only) {
    bool known = false;
    for (const Collector* c = kCollectors; c->collect != nullptr; ++c)
      known = known || kind == c->module;
    if (!known) {
      err << "flx-agent: unknown kind '" << kind
          << "' in --only: use basic, info, storage, share, applications or package" << std::endl;
      return flxpush::kExitUsage;
    }
  }
  if (!options.dryRun && (options.url.empty() || options.sid.empty())) {
    err << "flx-agent: the host URL and the session id are needed to push: set url and "
           "session_file in "
        << DefaultConfigFile()
        << " (or --config), or FLX_AGENT_URL and FLX_AGENT_SID (or use --dry-run)" << std::endl;
    return flxpush::kExitUsage;
  }
  if (options.interval < 0 || (options.interval > 0 && options.dryRun)) {
    err << "flx-agent: --interval takes a positive number of seconds and no --dry-run" << std::endl;
    return flxpush::kExitUsage;
  }
  if (!options.dryRun) {
    // Every push carries this machine's fingerprint, so that the host tells clones apart.
    Identity id;
    std::string why;
    if (CollectIdentity(ctx, id, why)) {
      options.fingerprint = Fingerprint(id);
    } else {
      err << "flx-agent: " << why << "; pushing without a fingerprint" << std::endl;
    }
  }
  if (options.interval > 0) return RunInterval(options, ctx, out, err);
  const Json::Value batch = CollectBatch(ctx, options.only, static_cast<uint64_t>(Now()), err);
  if (batch.empty()) {
    err << "flx-agent: nothing was collected: see the reasons above" << std::endl;
    return flxpush::kExitUsage;
  }
  if (options.dryRun) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    out << Json::writeString(builder, batch) << std::endl;
    return flxpush::kExitSuccess;
  }
  return PushEnrolled(options, batch, out, err);
}

}  // namespace flxagent
