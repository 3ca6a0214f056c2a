// flx-load: N devices push the demo batch from C concurrent clients, to a host this program
// starts (optionally behind the shipped nginx site) or to a given URL; prints batches/s,
// latency percentiles, the host's RSS and how busy the machine was.
#include <fcntl.h>
#include <httplib.h>
#include <json/reader.h>
#include <json/writer.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench_util.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "push.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int devices = 100;
  int clients = 16;
  bool noKeepAlive = false;
  double rate = 0;  // batches/s over all clients; 0: as fast as possible
  double seconds = 10;
  double warmup = 2;
  std::string url;  // empty: start a host
  std::string caFile;
  std::string batch = FLX_SOURCE_DIR "/examples/demo-batch.json";
  std::string hostBin = FLX_HOST_BIN;
  std::string module = FLX_MODULE_PATH;
  std::string adminBin = FLX_ADMIN_BIN;
  int workers = 2;
  bool noKeepOpen = false;
  std::string dropUser;
  bool nginx = false;
};

// The request body of each device: its own session, the batch enciphered once.
bool MakeBodies(const Options& o, std::vector<std::string>& bodies) {
  std::ifstream in(o.batch);
  Json::Value batch;
  Json::CharReaderBuilder reader;
  std::string why;
  unsigned char key[32];
  const std::string keyPath = std::string(KEVORootPrefix()) + KEVO_PUSH_KEY_PATH;
  if (!Json::parseFromStream(reader, in, &batch, &why) ||
      KVLIBCryptReadKeyFile(keyPath.c_str(), key) != 0) {
    fprintf(stderr, "flx-load: cannot read %s or the key %s\n", o.batch.c_str(), keyPath.c_str());
    return false;
  }
  Json::Value items;
  std::string err;
  if (!flxpush::BuildItems(batch, key, flxpush::kDefaultChunkSize, false, items, err)) {
    fprintf(stderr, "flx-load: %s\n", err.c_str());
    return false;
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  const std::string itemsText = Json::writeString(writer, items);
  for (int i = 0; i < o.devices; ++i) {
    bodies.push_back(flxpush::FormEncode({{"api", "KEVO.FLX.RPC.ClientInfo"},
                                          {"version", "1"},
                                          {"method", "push"},
                                          {"_sid", flxbench::SessionId(i)},
                                          {"client_sn", flxbench::Serial(i)},
                                          {"items", itemsText}}));
  }
  return true;
}

struct Result {
  std::vector<double> ms;
  long errors = 0;
  std::string firstError;
};

// One client: pushes bodies round robin until `end`; with a rate, at its share of the
// schedule, latency counted from the scheduled time (so queueing shows).
void RunClient(const Options& o, const std::string& origin, const std::vector<std::string>& bodies,
               std::atomic<long>& next, Clock::time_point start, Clock::time_point measureFrom,
               Clock::time_point end, Result& r) {
  httplib::Client client(origin);
  if (!o.caFile.empty()) client.set_ca_cert_path(o.caFile);
  client.set_keep_alive(!o.noKeepAlive);
  // A client that keeps its connection must not wait on Nagle for each request's pieces.
  client.set_tcp_nodelay(true);
  client.set_read_timeout(60);
  while (true) {
    const long k = next++;
    Clock::time_point at = Clock::now();
    if (o.rate > 0) {
      at = start + std::chrono::microseconds(static_cast<long>(k * 1e6 / o.rate));
      std::this_thread::sleep_until(at);
    }
    if (at >= end) return;
    const std::string& body = bodies[static_cast<size_t>(k) % bodies.size()];
    auto res = client.Post(flxpush::kEntryPath, body, "application/x-www-form-urlencoded");
    const auto done = Clock::now();
    const bool ok = res && res->status == 200 && res->body == "{\"success\":true}";
    if (at < measureFrom) continue;
    if (!ok) {
      if (r.errors++ == 0)
        r.firstError =
            res ? std::to_string(res->status) + " " + res->body : httplib::to_string(res.error());
      continue;
    }
    r.ms.push_back(std::chrono::duration<double, std::milli>(done - at).count());
  }
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()))];
}

int Run(const Options& o) {
  flxbench::TempRoot root(o.url.empty() ? "/tmp/flx-load" : "");
  if (o.url.empty() && !root.Init(o.adminBin)) return 1;
  fprintf(stderr, "flx-load: registering %d devices\n", o.devices);
  if (!flxbench::AddDevices(o.adminBin, o.devices)) return 1;
  std::vector<std::string> bodies;
  if (!MakeBodies(o, bodies)) return 1;

  flxbench::Host host;
  flxbench::Nginx nginx;
  std::string url = o.url;
  Options opt = o;
  if (url.empty()) {
    std::vector<std::string> args = {o.hostBin, "--listen", "127.0.0.1:0", "--module", o.module};
    const std::string help = flxbench::Output({o.hostBin, "--help"});
    if (help.find("--workers") != std::string::npos)
      args.insert(args.end(), {"--workers", std::to_string(o.workers)});
    if (!o.noKeepOpen && help.find("--keep-open") != std::string::npos) {
      args.insert(args.end(), {"--keep-open", root.Path(KEVO_CACHE_DB_PATH), "--keep-open",
                               root.Path(KEVO_REGISTRY_DB_PATH)});
    }
    if (!o.dropUser.empty()) args.insert(args.end(), {"--drop-privileges", o.dropUser});
    if (!host.Start(args, root.Path("/host.log"), url)) return 1;
    fprintf(stderr, "flx-load: host: %s\n", flxbench::Join(args).c_str());
    if (o.nginx) {
      if (!nginx.Start(root.dir(), url.substr(7), url, opt.caFile)) return 1;
      fprintf(stderr, "flx-load: nginx in front on %s\n", url.c_str());
    }
  }
  std::string origin, path, err;
  if (!flxpush::SplitUrl(url, origin, path, err)) {
    fprintf(stderr, "flx-load: %s\n", err.c_str());
    return 2;
  }

  const std::string loadBefore = flxbench::LoadAverage();
  double cpuBefore = 0;
  const auto start = Clock::now();
  const auto measureFrom = start + std::chrono::milliseconds(static_cast<long>(o.warmup * 1000));
  const auto end = measureFrom + std::chrono::milliseconds(static_cast<long>(o.seconds * 1000));
  std::atomic<long> next{0};
  std::vector<Result> results(static_cast<size_t>(o.clients));
  std::vector<std::thread> threads;
  for (int c = 0; c < o.clients; ++c) {
    threads.emplace_back(RunClient, std::cref(opt), std::cref(origin), std::cref(bodies),
                         std::ref(next), start, measureFrom, end, std::ref(results[c]));
  }
  std::this_thread::sleep_until(measureFrom);
  if (host.pid() > 0) cpuBefore = flxbench::TreeCpuMs(host.pid());
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - measureFrom).count();

  std::vector<double> all;
  long errors = 0;
  std::string firstError;
  for (const Result& r : results) {
    all.insert(all.end(), r.ms.begin(), r.ms.end());
    errors += r.errors;
    if (firstError.empty()) firstError = r.firstError;
  }
  std::sort(all.begin(), all.end());
  printf("devices %d, clients %d, %s, %s, %s\n", o.devices, o.clients,
         o.noKeepAlive ? "new connection per push" : "keep-alive",
         o.rate > 0 ? ("rate " + std::to_string(o.rate) + "/s").c_str() : "as fast as possible",
         o.nginx ? "through nginx (TLS)" : url.c_str());
  printf("batches/s %.1f  (%zu in %.1f s, %ld errors%s%s)\n", all.size() / elapsed, all.size(),
         elapsed, errors, errors ? ": first " : "", firstError.c_str());
  printf("latency ms  p50 %.1f  p90 %.1f  p99 %.1f  max %.1f\n", Percentile(all, 0.5),
         Percentile(all, 0.9), Percentile(all, 0.99), all.empty() ? 0 : all.back());
  if (host.pid() > 0) {
    printf("host RSS %s\n", flxbench::TreeRss(host.pid()).c_str());
    // CPU per batch hardly depends on how busy the machine is; throughput does.
    printf("host CPU ms/batch %.2f\n",
           (flxbench::TreeCpuMs(host.pid()) - cpuBefore) / std::max<size_t>(1, all.size()));
  }
  printf("load average before %s, after %s\n", loadBefore.c_str(), flxbench::LoadAverage().c_str());
  return errors == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Load benchmark: N devices push the demo batch from C clients"};
  app.add_option("--devices", o.devices, "devices (each with its own session)")
      ->capture_default_str();
  app.add_option("--clients", o.clients, "concurrent clients")->capture_default_str();
  app.add_flag("--no-keep-alive", o.noKeepAlive, "a new connection for every push");
  app.add_option("--rate", o.rate, "batches/s over all clients (0: as fast as possible)")
      ->capture_default_str();
  app.add_option("--seconds", o.seconds, "measured time")->capture_default_str();
  app.add_option("--warmup", o.warmup, "unmeasured time before")->capture_default_str();
  app.add_option("--url", o.url,
                 "push to this host (devices are registered in $FLX_ROOT, which it must use)");
  app.add_option("--ca-file", o.caFile, "https: certificate to trust");
  app.add_option("--batch", o.batch, "batch to push")->capture_default_str();
  app.add_option("--host-bin", o.hostBin, "host program to start")->capture_default_str();
  app.add_option("--module", o.module, "module for the host")->capture_default_str();
  app.add_option("--admin-bin", o.adminBin, "flx-admin for the root")->capture_default_str();
  app.add_option("--workers", o.workers, "host workers (when the host has --workers)")
      ->capture_default_str();
  app.add_flag("--no-keep-open", o.noKeepOpen, "do not pass --keep-open for the databases");
  app.add_option("--drop-privileges", o.dropUser, "run the host with dropped ids (as root)");
  app.add_flag("--nginx", o.nginx, "put the shipped nginx site (TLS) in front of the host");
  CLI11_PARSE(app, argc, argv);
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return Run(o);
}
