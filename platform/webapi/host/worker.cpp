// A worker of the host: takes one request at a time from the FastCGI socket, or a batch of
// calls that run together, runs them and answers; /metrics as well.
#include <fcgiapp.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kevoids.h"
#include "process.h"

namespace webapihost {

namespace {

// An extra worker with nothing to do for this long exits.
const auto kExtraIdle = std::chrono::seconds(10);

volatile sig_atomic_t gStop = 0;

void OnStop(int) {
  gStop = 1;
  FCGX_ShutdownPending();
}

// Holds the store files (opened as root: the databases are root's; a connection stays usable
// once the ids are back).
void HoldStore(IdleConnections& idle, const HostOptions& options) {
  KeepFreedMemory();
  kevo::RootIds root;
  for (const std::string& path : options.keepOpen) idle.Open(path, options.store);
}

std::string Param(FCGX_Request& req, const char* name) {
  const char* value = FCGX_GetParam(name, req.envp);
  return value != nullptr ? value : "";
}

// True when a connection already waits at the socket (another worker may still take it).
bool Waiting(int listenFd) {
  pollfd p{listenFd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

// The product's work kept back past its answers; nothing it throws ends the worker.
void Settle(const WorkerSetup& setup, bool waiting) {
  const AfterAnswer& hook = setup.options->hooks.afterAnswer;
  if (!hook) return;
  try {
    hook(waiting);
  } catch (const std::exception& e) {
    syslog(LOG_ERR, "the product's work after an answer failed: %s", e.what());
  } catch (...) {
    syslog(LOG_ERR, "the product's work after an answer failed");
  }
}

// Outside a request, counted busy like one: the supervisor's time limit bounds it too.
void SettleIdle(const WorkerSetup& setup) {
  if (!setup.options->hooks.afterAnswer) return;
  busy::Start(setup.slot, setup.options->requestSeconds, false);
  Settle(setup, false);
  busy::Stop(setup.slot);
}

// The in-flight file holds the session: written and removed with root's ids, in a folder only
// root may enter, where the host runs as root.
bool WriteRequest(const std::string& path, const InFlight& request) {
  kevo::RootIds root;
  return WriteInFlight(path, request);
}
void RemoveRequest(const std::string& path) {
  kevo::RootIds root;
  unlink(path.c_str());
}

// /metrics: for loopback clients, or with an operator's token as a bearer token. Busy like any
// request, and bounded by its own deadline.
void ServeMetrics(FCGX_Request& req, const WorkerSetup& setup) {
  busy::Start(setup.slot, kMetricsSeconds, true);
  const auto start = Clock::now();
  const std::string remote = Param(req, "REMOTE_ADDR");
  const std::string auth = Param(req, "HTTP_AUTHORIZATION");
  const std::string bearer = "Bearer ";
  const HostOptions& options = *setup.options;
  // The addresses the site exempts from its limits: a client bound to another 127.x address
  // (or behind a proxy that sets one) needs the token like any other.
  bool allowed = remote == "127.0.0.1" || remote == "::1" || remote == "::ffff:127.0.0.1";
  if (!allowed && auth.compare(0, bearer.size(), bearer) == 0 && options.hooks.metricsToken)
    allowed = options.hooks.metricsToken(auth.substr(bearer.size()));
  std::string head, text;
  const MetricsFlush flush = [&req](std::string& out) {
    FCGX_PutStr(out.data(), static_cast<int>(out.size()), req.out);
    out.clear();
  };
  if (!allowed) {
    syslog(LOG_WARNING, "refused /metrics to %s: not loopback and no operator token",
           Oneline(remote).c_str());
    metrics::Add("flx_requests_refused_total", metrics::Label("cause", "metrics_access"));
    head = "Status: 403 Forbidden\r\nContent-Type: text/plain\r\n\r\n";
    text = "/metrics answers loopback clients, or an operator token as a bearer token\n";
  } else {
    head =
        "Status: 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
        "Cache-Control: no-store\r\n\r\n";
    text = head + metrics::Render();
    head.clear();
    if (options.hooks.metrics) {
      try {
        options.hooks.metrics(text, flush);
      } catch (const std::exception& e) {
        syslog(LOG_ERR, "the product's metrics failed: %s", e.what());
      } catch (...) {
        syslog(LOG_ERR, "the product's metrics failed");
      }
    }
  }
  FCGX_PutStr(head.data(), static_cast<int>(head.size()), req.out);
  FCGX_PutStr(text.data(), static_cast<int>(text.size()), req.out);
  FCGX_Finish_r(&req);
  busy::Stop(setup.slot);
  if (allowed)
    metrics::Set("flx_scrape_duration_seconds", "",
                 std::chrono::duration<double>(Clock::now() - start).count());
  // A large fleet's scrape takes megabytes for a moment: given back, not kept for the next one.
  std::string().swap(text);
  malloc_trim(0);
}

// Calls whose api and method no loaded table has are counted under "unknown": the names are
// the client's, and would make a series each.
void CountRequest(const Dispatcher::Outcome& o, double seconds, const HostOptions& options) {
  const bool known = !o.api.empty();
  const std::string api = metrics::Label("api", known ? o.api : "unknown");
  const std::string method = metrics::Label("method", known ? o.method : "unknown");
  metrics::Add("flx_requests_total",
               api + "," + method + "," +
                   metrics::Label("result", o.code == 0 ? "ok" : std::to_string(o.code)));
  if (!o.refused.empty())
    metrics::Add("flx_requests_refused_total", metrics::Label("cause", o.refused));
  if (known && o.method == options.timedMethod)
    metrics::Observe("flx_" + options.timedMethod + "_duration_seconds", api, seconds);
}

// A download's head, then its body as the method's producer writes it. The status is sent
// before the first piece: a producer that fails part way can only end the body early.
void WriteDownload(FCGX_Request& req, const KEVO::Download& download) {
  std::string name;
  for (char c : download.fileName)  // a plain file name: no quote, separator or control
    if (isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') name += c;
  const std::string head = "Status: 200 OK\r\nContent-Type: " + Oneline(download.contentType) +
                           "\r\nContent-Disposition: attachment; filename=\"" +
                           (name.empty() ? "download" : name) +
                           "\"\r\nCache-Control: no-store\r\n\r\n";
  FCGX_PutStr(head.data(), static_cast<int>(head.size()), req.out);
  bool complete = false;
  try {
    complete = download.producer([&req](const char* data, size_t size) {
      return FCGX_PutStr(data, static_cast<int>(size), req.out) >= 0;
    });
  } catch (const std::exception& e) {
    syslog(LOG_ERR, "a download failed: %s", e.what());
  } catch (...) {
    syslog(LOG_ERR, "a download failed");
  }
  if (!complete) syslog(LOG_WARNING, "a download %s ended early", Oneline(name).c_str());
}

// The answer of a call that failed with `code`, made by the host itself.
std::string ErrorText(int code) {
  return "{\"success\":false,\"error\":{\"code\":" + std::to_string(code) + "}}";
}

// A request run and not yet answered.
struct Served {
  int status = 200;
  std::string text;
  Dispatcher::Outcome outcome;
  Clock::duration took{};
  InFlight running;
};

// Reads and runs one request; `before` sees its call just before the method runs. The
// in-flight file exists while the module runs.
Served Run(FCGX_Request& req, Dispatcher& dispatcher, const WorkerSetup& setup,
           const std::function<void(const Call& call)>& before) {
  Served s;
  const auto start = Clock::now();
  RawRequest raw;
  raw.query = Param(req, "QUERY_STRING");
  raw.contentType = Param(req, "CONTENT_TYPE");
  raw.cookie = Param(req, "HTTP_COOKIE");
  raw.remoteIp = Param(req, "REMOTE_ADDR");
  raw.requestMethod = Param(req, "REQUEST_METHOD");
  const unsigned long long length =
      std::strtoull(Param(req, "CONTENT_LENGTH").c_str(), nullptr, 10);
  s.status = 413;
  bool written = false;
  if (length > setup.options->maxBody) {
    s.outcome.code = WEBAPI_ERR_REFUSED;
    s.outcome.refused = "body_too_large";
    syslog(LOG_WARNING, "refused 413 from %s: body over %zu bytes", Oneline(raw.remoteIp).c_str(),
           setup.options->maxBody);
    s.text = ErrorText(WEBAPI_ERR_REFUSED);
  } else {
    raw.body.resize(length);
    const int got = length > 0 ? FCGX_GetStr(&raw.body[0], static_cast<int>(length), req.in) : 0;
    raw.body.resize(got > 0 ? static_cast<size_t>(got) : 0);
    s.text = AnswerText(dispatcher.Handle(
        raw, &s.status,
        [&](const Call& call, const std::string& who) {
          if (before) before(call);
          s.running.api = call.api;
          s.running.method = call.method;
          s.running.device = who;
          s.running.hostStart = setup.hostStart;
          const Rerunnable& again = setup.options->hooks.runAgain;
          if (again && !again(call)) return;
          s.running.raw = raw;
          written = WriteRequest(setup.inFlight, s.running);
        },
        &s.outcome));
    // The module has returned: the device's rows are whole, there is nothing left to run again.
    if (written) RemoveRequest(setup.inFlight);
  }
  s.took = Clock::now() - start;
  return s;
}

// Answers a request run, and says when it was slow.
void Answer(FCGX_Request& req, Served& s, const WorkerSetup& setup) {
  const char* reason = s.status == 200   ? " OK"
                       : s.status == 400 ? " Bad Request"
                       : s.status == 413 ? " Payload Too Large"
                                         : "";
  const std::string head = "Status: " + std::to_string(s.status) + reason +
                           "\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n\r\n";
  // Counted before the answer leaves: a client that has its answer finds it counted.
  CountRequest(s.outcome, std::chrono::duration<double>(s.took).count(), *setup.options);
  if (s.outcome.download.producer) {
    WriteDownload(req, s.outcome.download);
  } else {
    FCGX_PutStr(head.data(), static_cast<int>(head.size()), req.out);
    FCGX_PutStr(s.text.data(), static_cast<int>(s.text.size()), req.out);
  }
  FCGX_Finish_r(&req);
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(s.took).count();
  if (setup.options->slowMs > 0 && ms >= setup.options->slowMs)
    syslog(LOG_WARNING, "slow request %s duration=%lldms", Describe(s.running).c_str(), ms);
}

// Serves the request accepted in reqs[0] and, while they are calls the product runs together,
// the requests that wait behind it, in one batch (see Batching): their answers leave once the
// batch is closed. Returns the number of requests served.
int Serve(std::vector<FCGX_Request>& reqs, Dispatcher& dispatcher, const WorkerSetup& setup) {
  if (Param(reqs[0], "SCRIPT_NAME") == "/metrics") {
    ServeMetrics(reqs[0], setup);
    return 1;
  }
  const Batching& batch = setup.options->hooks.batch;
  busy::Start(setup.slot, setup.options->requestSeconds, false);
  std::vector<std::pair<size_t, Served>> kept;  // run in the open batch, not yet answered
  bool open = false;
  const auto close = [&] {
    if (!open) return;
    open = false;
    bool whole = false;
    try {
      whole = batch.close();
    } catch (...) {
    }
    if (!whole)
      syslog(LOG_ERR, "a batch of %zu calls was not kept; each is answered with %d", kept.size(),
             batch.failed);
    metrics::Add("flx_batched_calls_total", metrics::Label("result", whole ? "kept" : "failed"),
                 static_cast<double>(kept.size()));
    for (auto& k : kept) {
      if (!whole) {
        k.second.outcome.code = batch.failed;
        k.second.text = ErrorText(batch.failed);
      }
      Answer(reqs[k.first], k.second, setup);
    }
    kept.clear();
  };
  // Before each call runs: it joins the batch (opened when more wait), or closes it first. A
  // request refused before its call runs is no part of it.
  bool joined = false;
  const std::function<void(const Call&)> before = [&](const Call& call) {
    if (!batch.together || !batch.together(call)) return close();
    if (!open && Waiting(setup.listenFd)) {
      try {
        open = batch.open();
      } catch (...) {
      }
    }
    joined = open;
  };
  size_t n = 0;
  while (true) {
    joined = false;
    Served s = Run(reqs[n], dispatcher, setup, before);
    if (joined)
      kept.emplace_back(n, std::move(s));
    else
      Answer(reqs[n], s, setup);
    ++n;
    if (!open || n >= reqs.size() || !Waiting(setup.listenFd)) break;
    // Another worker may have taken it: the batch ends with what it has.
    if (FCGX_Accept_r(&reqs[n]) < 0) break;
    if (Param(reqs[n], "SCRIPT_NAME") == "/metrics") {
      close();
      busy::Stop(setup.slot);
      ServeMetrics(reqs[n], setup);
      return static_cast<int>(n + 1);
    }
  }
  close();
  // The clients have their answers: what the product kept back costs them nothing now.
  Settle(setup, Waiting(setup.listenFd));
  busy::Stop(setup.slot);
  return static_cast<int>(n);
}

// The request that a dead worker left: run once more, answered to no one (its client was told
// of the failure); a push is idempotent, so the device's rows end as one whole push left them.
void RunAgain(Dispatcher& dispatcher, const WorkerSetup& setup) {
  InFlight again;
  if (setup.rerun.empty()) return;
  bool read = false;
  {
    kevo::RootIds root;
    read = ReadInFlight(setup.rerun, again, setup.options->maxBody + kMaxInFlightBytes);
  }
  RemoveRequest(setup.rerun);
  if (!read) return;
  again.attempt = 2;
  again.hostStart = setup.hostStart;
  busy::Start(setup.slot, setup.options->requestSeconds, false);
  int status = 0;
  Json::Value answer;
  if (WriteRequest(setup.inFlight, again)) {
    answer = dispatcher.Handle(again.raw, &status);
    RemoveRequest(setup.inFlight);
    Settle(setup, false);
  }
  busy::Stop(setup.slot);
  if (answer.isNull()) return;
  syslog(LOG_NOTICE, "ran again the request a worker died with: %s success=%s",
         Describe(again).c_str(), answer["success"].asBool() ? "true" : "false");
}

}  // namespace

std::string Oneline(const std::string& text) {
  std::string out = text.substr(0, 80);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x21 || c == 0x7f) c = '?';
  }
  return out.empty() ? std::string("-") : out;
}

std::string Describe(const InFlight& r) {
  return "api=" + Oneline(r.api) + " method=" + Oneline(r.method) + " device=" + Oneline(r.device);
}

// The product describes its own in ApplyDefaults.
void DescribeHostMetrics(const HostOptions& options) {
  using metrics::Type;
  metrics::Describe("flx_requests_total", Type::kCounter,
                    "Requests answered, by api, method and result (ok, or the error code).");
  metrics::Describe("flx_requests_refused_total", Type::kCounter,
                    "Requests refused before or instead of their method, by cause.");
  if (!options.timedMethod.empty())
    metrics::Describe("flx_" + options.timedMethod + "_duration_seconds", Type::kHistogram,
                      "Time to answer one " + options.timedMethod + " call, in seconds.");
  metrics::Describe("flx_worker_restarts_total", Type::kCounter,
                    "Workers that died and were replaced, by reason (signal, exit, timeout).");
  metrics::Describe("flx_worker_recycles_total", Type::kCounter,
                    "Workers replaced after serving their share of requests.");
  metrics::Describe("flx_workers", Type::kGauge, "Worker processes running.");
  metrics::Describe("flx_scrape_duration_seconds", Type::kGauge,
                    "Time the previous scrape of /metrics took, in seconds.");
  // Counters start at 0, so that increase() sees their first step.
  for (const char* reason : {"signal", "exit", "timeout"})
    metrics::Add("flx_worker_restarts_total", metrics::Label("reason", reason), 0);
  metrics::Add("flx_worker_recycles_total", "", 0);
  if (options.hooks.batch.together) {
    metrics::Describe("flx_batched_calls_total", Type::kCounter,
                      "Calls run together in one batch, by result (kept, or failed: none kept).");
    for (const char* result : {"kept", "failed"})
      metrics::Add("flx_batched_calls_total", metrics::Label("result", result), 0);
  }
}

int RunWorker(const WorkerSetup& setup) {
  struct sigaction action {};
  action.sa_handler = OnStop;  // no SA_RESTART: a wait for a request ends at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_UNBLOCK, &all, nullptr);

  IdleConnections idle;
  HoldStore(idle, *setup.options);
  Dispatcher dispatcher(*setup.registry, setup.options->hooks);
  RunAgain(dispatcher, setup);
  if (FCGX_Init() != 0) return 1;
  // One request at a time, or a batch's worth while calls run together.
  std::vector<FCGX_Request> reqs(static_cast<size_t>(
      setup.options->hooks.batch.together ? std::max(1, setup.options->batchMax) : 1));
  for (FCGX_Request& req : reqs) FCGX_InitRequest(&req, setup.listenFd, FCGI_FAIL_ACCEPT_ON_INTR);
  // Workers started together are not all replaced together.
  const int limit = setup.options->maxRequests +
                    static_cast<int>(getpid() % 997) * setup.options->maxRequests / 4 / 997;
  int served = 0, code = 0;
  auto idleSince = Clock::now();
  while (!gStop) {
    pollfd p{setup.listenFd, POLLIN, 0};
    const int ready = poll(&p, 1, 1000);
    if (getppid() != setup.parent) break;
    if (ready <= 0) {
      // Work kept back while requests queued waits at most this second.
      SettleIdle(setup);
      if (setup.extra && Clock::now() - idleSince > kExtraIdle) {
        code = kExitIdle;
        break;
      }
      continue;
    }
    // Another worker may have taken it: the socket does not block, the wait starts over.
    if (FCGX_Accept_r(&reqs[0]) < 0) continue;
    served += Serve(reqs, dispatcher, setup);
    idleSince = Clock::now();
    if (served >= limit) {
      code = kExitRecycled;
      break;
    }
  }
  SettleIdle(setup);
  return code;
}

}  // namespace webapihost
