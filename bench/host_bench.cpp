// The host from outside, against a baseline host in the same run: latency of an empty push and
// of the demo batch on one keep-alive connection, and batches per second from several clients.
//
//   host_bench --host NEW_HOST [--baseline OLD_HOST] --batch examples/demo-batch.json
//              [--rounds N] [--clients C] [--seconds S]
//
// Each host runs with the module built beside it, on a fresh root (FLX_ROOT) of its own run.
// The new host runs as given by the worker defaults, once without and once with --keep-open.
#include <fcntl.h>
#include <httplib.h>
#include <json/reader.h>
#include <json/writer.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "admin.h"
#include "bench_util.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "push.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Config {
  std::string name;
  std::vector<std::string> argv;
};

struct Figures {
  double emptyMin, emptyMedian, batchMin, batchMedian, perSecond;
};

// A host process; stopped with SIGTERM when it goes out of scope.
class Host {
 public:
  explicit Host(std::vector<std::string> argv) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    argv.insert(argv.end(), {"--listen", "127.0.0.1:0"});
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(&a[0]);
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string line;
    char c;
    pollfd p{fds[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    close(fds[0]);
    const std::string mark = "listening on ";
    if (line.compare(0, mark.size(), mark) == 0) origin_ = "http://" + line.substr(mark.size());
  }
  ~Host() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& origin() const { return origin_; }

 private:
  pid_t pid_ = -1;
  std::string origin_;
};

std::string Body(const std::string& sid, const Json::Value& items) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return flxpush::FormEncode({{"api", "KEVO.FLX.RPC.ClientInfo"},
                              {"version", "1"},
                              {"method", "push"},
                              {"_sid", sid},
                              {"items", Json::writeString(w, items)}});
}

// Milliseconds of each of `rounds` posts of `body` on one keep-alive connection.
std::vector<double> Latencies(const std::string& origin, const std::string& body, int rounds) {
  httplib::Client client(origin);
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);  // a client's own Nagle would hold each body for an ACK
  std::vector<double> ms;
  for (int i = 0; i < rounds + 3; ++i) {
    const auto start = Clock::now();
    auto r = client.Post(flxpush::kEntryPath, body, "application/x-www-form-urlencoded");
    if (!r || r->body.find("\"success\":true") == std::string::npos) {
      std::cerr << "host_bench: a push failed: " << (r ? r->body : "no answer") << "\n";
      exit(1);
    }
    if (i >= 3)
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms;
}

double PerSecond(const std::string& origin, const std::string& body, int clients, int seconds) {
  std::atomic<long> done{0};
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      httplib::Client client(origin);
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      while (Clock::now() < end) {
        if (client.Post(flxpush::kEntryPath, body, "application/x-www-form-urlencoded")) ++done;
      }
    });
  }
  for (auto& t : threads) t.join();
  return static_cast<double>(done) / seconds;
}

Figures Measure(const Config& config, const std::string& sid, const Json::Value& batch, int rounds,
                int clients, int seconds) {
  Host host(config.argv);
  if (host.origin().empty()) {
    std::cerr << "host_bench: " << config.argv[0] << " did not start\n";
    exit(1);
  }
  const std::vector<double> empty = Latencies(host.origin(), Body(sid, Json::arrayValue), rounds);
  const std::string batchBody = Body(sid, batch);
  const std::vector<double> full = Latencies(host.origin(), batchBody, rounds);
  return Figures{empty.front(), empty[empty.size() / 2], full.front(), full[full.size() / 2],
                 PerSecond(host.origin(), batchBody, clients, seconds)};
}

}  // namespace

int main(int argc, char** argv) {
  std::string hostBin, baselineBin, batchFile;
  int rounds = 30, clients = 8, seconds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--host") hostBin = argv[i + 1];
    if (opt == "--baseline") baselineBin = argv[i + 1];
    if (opt == "--batch") batchFile = argv[i + 1];
    if (opt == "--rounds") rounds = std::max(1, atoi(argv[i + 1]));
    if (opt == "--clients") clients = std::max(1, atoi(argv[i + 1]));
    if (opt == "--seconds") seconds = std::max(1, atoi(argv[i + 1]));
  }
  if (hostBin.empty() || batchFile.empty()) {
    std::cerr << "usage: host_bench --host BIN [--baseline BIN] --batch BATCH.json [--rounds N]"
                 " [--clients C] [--seconds S]\n";
    return 2;
  }
  const flxbench::TempRoot root("/tmp/host_bench");
  std::string err, sid;
  uint64_t id = 0;
  if (flxadmin::init(err) != 0 || flxadmin::deviceAdd("BENCH0001", "", id, err) != 0 ||
      flxadmin::sessionAdd("BENCH0001", sid, 0, err) != 0) {
    std::cerr << "host_bench: " << err << "\n";
    return 1;
  }
  std::ifstream in(batchFile);
  Json::Value batch, items;
  unsigned char key[32];
  if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &batch, &err) ||
      KVLIBCryptReadKeyFile(root.Path(KEVO_PUSH_KEY_PATH).c_str(), key) != 0 ||
      !flxpush::BuildItems(batch, key, flxpush::kDefaultChunkSize, false, items, err)) {
    std::cerr << "host_bench: " << batchFile << ": " << err << "\n";
    return 1;
  }
  const std::string db = root.Path("/var/packages/FLX/target/db/");
  std::vector<Config> configs;
  if (!baselineBin.empty()) configs.push_back({"baseline", {baselineBin}});
  configs.push_back({"workers", {hostBin}});
  configs.push_back(
      {"workers+keep-open",
       {hostBin, "--keep-open", db + "flx_db.sqlite", "--keep-open", db + "flx_registry.sqlite"}});
  std::vector<Figures> figures;
  std::printf("%-18s %10s %10s %10s %10s %10s\n", "host", "empty min", "empty med", "batch min",
              "batch med", "batches/s");
  for (const Config& c : configs) {
    figures.push_back(Measure(c, sid, items, rounds, clients, seconds));
    const Figures& f = figures.back();
    std::printf("%-18s %8.2fms %8.2fms %8.2fms %8.2fms %10.1f\n", c.name.c_str(), f.emptyMin,
                f.emptyMedian, f.batchMin, f.batchMedian, f.perSecond);
  }
  const Figures& base = figures.front();
  for (size_t i = 1; i < figures.size(); ++i) {
    const Figures& f = figures[i];
    std::printf("%s / %s: empty med %.3f, batch med %.3f, batches/s %.2f\n",
                configs[i].name.c_str(), configs[0].name.c_str(), f.emptyMedian / base.emptyMedian,
                f.batchMedian / base.batchMedian, f.perSecond / base.perSecond);
  }
  return 0;
}
