// flx-history: the one writer of the history store. Takes the notes of pushes in batches,
// records what changed, and removes rows older than the retention.
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <string>

#include "writer.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int) {
  g_stop = 1;
}

void sleepMs(int ms) {
  poll(nullptr, 0, ms);
}

// Logs a failure once, not at every retry, and once more when it is over.
class Reporter {
 public:
  void report(const std::string& err) {
    if (err == last_) return;
    if (!err.empty())
      syslog(LOG_ERR, "%s", err.c_str());
    else
      syslog(LOG_NOTICE, "the history is written again");
    last_ = err;
  }

 private:
  std::string last_;
};

const int kIdleMs = 200;
// An idle pass (listing the notes folder, one stat a file) takes at most this share of the
// time however many files wait there: the wait after it grows with its cost, up to kMaxIdleMs.
const int kIdleShare = 20;
const int kMaxIdleMs = 5000;
const int kRetryMs = 2000;
// Removed devices and notes files taken to their end are looked for this often.
const time_t kSweepSeconds = 60;
const time_t kPruneSeconds = 60;

int once(flxhistory::Writer& w) {
  std::string err;
  int n;
  while ((n = w.step(err)) > 0 && err.empty()) {
  }
  if (n < 0 || !err.empty()) {
    syslog(LOG_ERR, "%s", err.c_str());
    return 1;
  }
  const int64_t now = static_cast<int64_t>(time(nullptr));
  while ((n = w.prune(now, err)) > 0) {
  }
  if (n < 0 || w.sweepRemoved(err) < 0 || w.retire(err) < 0) {
    syslog(LOG_ERR, "%s", err.c_str());
    return 1;
  }
  return 0;
}

int serve(flxhistory::Writer& w) {
  // Background work: it runs on the CPU time the host's workers leave, so a push never waits
  // for it; the notes keep what it has not taken yet.
  struct sched_param idle = {};
  if (sched_setscheduler(0, SCHED_IDLE, &idle) != 0)
    syslog(LOG_WARNING, "cannot run at idle priority: %m");
  struct sigaction sa = {};
  sa.sa_handler = onSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Reporter reporter;
  time_t nextSweep = 0, nextPrune = 0;
  while (!g_stop) {
    std::string err;
    const auto started = std::chrono::steady_clock::now();
    const int n = w.step(err);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
    reporter.report(err);
    if (n < 0 || !err.empty()) {
      sleepMs(kRetryMs);
      continue;
    }
    if (n > 0) continue;  // more may wait
    const time_t now = time(nullptr);
    if (now >= nextPrune) {
      // Old rows go a bounded batch at a time, between batches of notes.
      const int removed = w.prune(now, err);
      reporter.report(err);
      nextPrune = removed > 0 ? now : now + kPruneSeconds;
      if (removed > 0) continue;
    }
    if (now >= nextSweep) {
      if (w.sweepRemoved(err) >= 0) w.retire(err);
      reporter.report(err);
      nextSweep = now + kSweepSeconds;
    }
    sleepMs(static_cast<int>(
        std::min<int64_t>(kMaxIdleMs, std::max<int64_t>(kIdleMs, kIdleShare * took))));
  }
  syslog(LOG_NOTICE, "stopping");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    CLI::App app{"The history writer of the FLX host: records what each device's pushes changed.",
                 "flx-history"};
    bool runOnce = false, logStderr = false;
    int64_t retentionDays = 730;
    app.add_flag("--once", runOnce, "Take every waiting note, write, and exit");
    app.add_option("--retention-days", retentionDays, "Days of events and samples kept (730)")
        ->check(CLI::Range(int64_t(1), int64_t(36500)));
    app.add_flag("--log-stderr", logStderr, "Log to stderr as well as to the system log");
    try {
      app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
      return app.exit(e) == 0 ? 0 : 2;  // a usage error, as flx-admin's
    }
    // Without a syslog socket (a container, a rescue shell) the lines would go nowhere: they go
    // to stderr, which journald or the terminal keeps.
    if (access(_PATH_LOG, F_OK) != 0) logStderr = true;
    openlog("flx-history", LOG_PID | (logStderr ? LOG_PERROR : 0), LOG_DAEMON);
    flxhistory::WriterOptions options;
    options.retentionDays = retentionDays;
    flxhistory::Writer w(options);
    return runOnce ? once(w) : serve(w);
  } catch (const std::exception& e) {
    fprintf(stderr, "flx-history: internal error: %s\n", e.what());
    return 1;
  }
}
