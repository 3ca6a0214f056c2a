// The cost of counting one push in the shared counters: what a worker adds to each push (its
// request, its duration in the histogram, its items by kind), alone and with a second process
// counting the same series at the same time.
//
//   metrics_bench [PUSHES]     default 200000
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "host.h"
#include "product.h"

namespace m = webapihost::metrics;

namespace {

// The demo batch's kinds.
const flxhistory::Kinds kDemoKinds = {{"basic", "basic"},        {"basic", "info"},
                                      {"basic", "applications"}, {"basic", "package"},
                                      {"storage", "storage"},    {"storage", "share"}};

// What the host and the product count for one push, as they count it.
void CountPush(const webapihost::Call& call, const KEVO::APIResponse& ok, double seconds) {
  const std::string api = m::Label("api", call.api);
  m::Add("flx_requests_total", api + "," + m::Label("method", call.method) + ",result=\"ok\"");
  m::Observe("flx_push_duration_seconds", api, seconds);
  flxproduct::CountItems(kDemoKinds, ok);
}

double RunPushes(long n) {
  webapihost::Call call;
  call.api = "KEVO.FLX.RPC.ClientInfo";
  call.method = "push";
  KEVO::APIResponse ok;
  ok.SetSuccess(Json::Value());
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) CountPush(call, ok, 0.001 * (i % 200));
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
             .count() /
         static_cast<double>(n);
}

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? atol(argv[1]) : 200000;
  m::Init();
  m::Describe("flx_requests_total", m::Type::kCounter, "-");
  m::Describe("flx_push_duration_seconds", m::Type::kHistogram, "-");
  flxproduct::DescribeMetrics();
  const double alone = RunPushes(n);
  printf("counting one push: %.2f us (one process)\n", alone);
  const pid_t other = fork();
  if (other == 0) _exit(RunPushes(n) > 0 ? 0 : 1);
  const double together = RunPushes(n);
  waitpid(other, nullptr, 0);
  printf("counting one push: %.2f us (two processes on the same series)\n", together);
  printf("at 300 pushes/s: %.3f%% of one core\n", together * 300 / 1e4);
  const std::string text = m::Render();
  printf("pushes counted: %s\n", text.substr(text.find("flx_requests_total{"),
                                             text.find('\n', text.find("flx_requests_total{")) -
                                                 text.find("flx_requests_total{"))
                                     .c_str());
  return 0;
}
