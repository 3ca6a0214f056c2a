// flx-load: N devices push the demo batch from C concurrent clients, to a host this program
// starts (optionally behind the shipped nginx site) or to a given URL; prints batches/s,
// latency percentiles, the host's RSS and how busy the machine was. --pushes: the RSS growth of
// each host process over a fixed number of pushes; --big-body: what oversized bodies cost it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <json/reader.h>
#include <json/writer.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "bench_util.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "push.h"

namespace {

using Clock = std::chrono::steady_clock;
// How long host processes get to finish the work after their last answer before their memory
// is read.
const auto kSettle = std::chrono::milliseconds(200);

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
  std::vector<std::string> hostArgs;  // passed to the host as they are
  bool nginx = false;
  long pushes = 0;        // > 0: stop after this many pushes, with RSS at push 1,000 and at the end
  double bigBodyMiB = 0;  // > 0: only the oversized unauthenticated bodies
  size_t maxBody = 0;     // the host's --max-body; 0: its default
  bool history = false;   // run flx-history beside the host, as the installed system does
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
    // As an enrolled agent sends it: the first push binds the session, later ones are compared.
    char fingerprint[65];
    snprintf(fingerprint, sizeof fingerprint, "%064x", i + 1);
    bodies.push_back(flxpush::FormEncode({{"api", "KEVO.FLX.RPC.ClientInfo"},
                                          {"version", "1"},
                                          {"method", "push"},
                                          {"_sid", flxbench::SessionId(i)},
                                          {"client_sn", flxbench::Serial(i)},
                                          {"fingerprint", fingerprint},
                                          {"items", itemsText}}));
  }
  return true;
}

struct Result {
  std::vector<double> ms;
  long errors = 0;
  std::string firstError;
};

// What the clients share: the schedule, the push counters, and the host's memory at push
// `rssFrom` and at the last push. Each is read while no push is in flight and every client still
// holds its connection (later pushes and the clients' ends wait for it), so that neither a
// request's buffers nor a connection's thread count as growth.
struct Shared {
  const Options& o;
  std::string origin;
  const std::vector<std::string>& bodies;
  Clock::time_point start, measureFrom, end;
  pid_t hostPid;
  long rssFrom;  // 0: no memory readings
  std::atomic<long> next{0}, completed{0};
  std::mutex mutex{};
  std::condition_variable read{};
  std::vector<flxbench::ProcMemory> atRssFrom{}, atEnd{};

  void WaitFor(const std::vector<flxbench::ProcMemory>& reading) {
    std::unique_lock<std::mutex> lock(mutex);
    read.wait(lock, [&] { return !reading.empty(); });
  }
};

// One client: pushes bodies round robin until `end` (or --pushes); with a rate, at its share of
// the schedule, latency counted from the scheduled time (so queueing shows). With --pushes,
// every push is measured.
void RunClient(Shared& s, Result& r) {
  const Options& o = s.o;
  httplib::Client client(s.origin);
  if (!o.caFile.empty()) client.set_ca_cert_path(o.caFile);
  client.set_keep_alive(!o.noKeepAlive);
  // A client that keeps its connection must not wait on Nagle for each request's pieces.
  client.set_tcp_nodelay(true);
  client.set_read_timeout(60);
  while (true) {
    const long k = s.next++;
    if (s.rssFrom > 0 && k >= s.rssFrom) s.WaitFor(s.atRssFrom);
    if (s.rssFrom > 0 && k >= o.pushes) s.WaitFor(s.atEnd);
    Clock::time_point at = Clock::now();
    if (o.rate > 0) {
      at = s.start + std::chrono::microseconds(static_cast<long>(k * 1e6 / o.rate));
      std::this_thread::sleep_until(at);
    }
    if (o.pushes > 0 ? k >= o.pushes : at >= s.end) return;
    const std::string& body = s.bodies[static_cast<size_t>(k) % s.bodies.size()];
    auto res = client.Post(flxpush::kEntryPath, body, "application/x-www-form-urlencoded");
    const auto done = Clock::now();
    const long c = ++s.completed;
    if (s.rssFrom > 0 && (c == s.rssFrom || c == o.pushes)) {
      std::lock_guard<std::mutex> lock(s.mutex);
      std::this_thread::sleep_for(kSettle);
      (c == s.rssFrom ? s.atRssFrom : s.atEnd) = flxbench::TreeMemory(s.hostPid);
      s.read.notify_all();
    }
    const bool ok = res && res->status == 200 && res->body == "{\"success\":true}";
    if (o.pushes == 0 && at < s.measureFrom) continue;
    if (!ok) {
      if (r.errors++ == 0)
        r.firstError =
            res ? std::to_string(res->status) + " " + res->body : httplib::to_string(res.error());
      continue;
    }
    r.ms.push_back(std::chrono::duration<double, std::milli>(done - at).count());
  }
}

std::string MiB(long kib) {
  char text[32];
  snprintf(text, sizeof text, "%.2f MiB", kib / 1024.0);
  return text;
}

// Each host process's RSS at push `from` and at the last push, and the growth in all.
void PrintGrowth(const std::vector<flxbench::ProcMemory>& before,
                 const std::vector<flxbench::ProcMemory>& after, long from, long to) {
  const flxbench::ProcMemory none{0, 0, 0, 0, 0, 0};
  long total = 0, anon = 0;
  auto line = [&](const flxbench::ProcMemory& b, const flxbench::ProcMemory& a) {
    total += a.rssKiB - b.rssKiB;
    anon += a.anonKiB - b.anonKiB;
    printf(
        "  pid %d (depth %d): RSS %s -> %s (%+ld KiB; anon %+ld KiB), peak %s, threads %ld -> "
        "%ld\n",
        a.pid ? a.pid : b.pid, a.pid ? a.depth : b.depth, MiB(b.rssKiB).c_str(),
        MiB(a.rssKiB).c_str(), a.rssKiB - b.rssKiB, a.anonKiB - b.anonKiB,
        MiB(std::max(a.hwmKiB, b.hwmKiB)).c_str(), b.threads, a.threads);
  };
  printf("host processes at push %ld -> %ld (0: not there):\n", from, to);
  for (const auto& a : after) {
    auto b =
        std::find_if(before.begin(), before.end(), [&](const auto& p) { return p.pid == a.pid; });
    line(b == before.end() ? none : *b, a);
  }
  for (const auto& b : before) {
    if (std::none_of(after.begin(), after.end(), [&](const auto& p) { return p.pid == b.pid; }))
      line(b, none);
  }
  printf(
      "host RSS growth from push %ld to %ld: %+ld KiB (%+.2f MiB; anon %+ld KiB) in %zu "
      "processes\n",
      from, to, total, total / 1024.0, anon, after.size());
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()))];
}

// An unauthenticated push of `bytes`: a session no registry has and items=[0,0,...].
std::string BigBody(size_t bytes) {
  static const char hex[] = "0123456789abcdef";
  std::string body = "api=KEVO.FLX.RPC.ClientInfo&version=1&method=push&_sid=";
  std::random_device entropy;
  for (int i = 0; i < 32; ++i) body += hex[entropy() % 16];
  body += "&items=[0";
  while (body.size() + 3 <= bytes) body += ",0";
  return body + "]";
}

// The HTTP status of one request (-1: the connection closed first, -2: no answer in 180 s), the
// start of its body, and the milliseconds until the answer began.
struct Answer {
  int status = -2;
  std::string body;
  double ms = 0;
};

// A socket closed on every path.
struct Socket {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  Socket() = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (fd >= 0) close(fd);
  }
};

Answer Exchange(int port, const std::string& body, bool chunked) {
  std::string wire = std::string("POST ") + flxpush::kEntryPath +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                     "Content-Type: application/x-www-form-urlencoded\r\n" +
                     (chunked ? "Transfer-Encoding: chunked\r\n\r\n"
                              : "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n");
  if (!chunked) wire += body;
  const size_t slice = 64 << 10;
  for (size_t at = 0; chunked && at < body.size(); at += slice) {
    char size[16];
    snprintf(size, sizeof size, "%zx\r\n", std::min(slice, body.size() - at));
    wire.append(size).append(body, at, slice).append("\r\n");
  }
  if (chunked) wire += "0\r\n\r\n";
  Answer a;
  Socket s;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto start = Clock::now();
  if (s.fd < 0 || connect(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    a.status = -1;
    return a;
  }
  size_t sent = 0;
  std::string in;
  pollfd p{s.fd, 0, 0};
  while (in.size() < 4096) {
    p.events = static_cast<short>(POLLIN | (sent < wire.size() ? POLLOUT : 0));
    if (poll(&p, 1, 180000) <= 0) break;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[4096];
      const ssize_t n = recv(s.fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      if (in.empty())
        a.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      in.append(buf, static_cast<size_t>(n));
      sent = wire.size();  // the host answered: no more body
    } else if (p.revents & POLLOUT) {
      const ssize_t n =
          send(s.fd, wire.data() + sent, std::min(wire.size() - sent, size_t(1) << 20),
               MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN) sent = wire.size();  // refused mid-body: read what it said
      if (n > 0) sent += static_cast<size_t>(n);
    }
  }
  if (in.empty()) {
    a.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (p.revents != 0) a.status = -1;
  } else if (in.compare(0, 5, "HTTP/") == 0 && in.size() > 12) {
    a.status = atoi(in.c_str() + 9);
    const size_t body = in.find("\r\n\r\n");
    if (body != std::string::npos) a.body = in.substr(body + 4, 80);
  } else {
    a.status = -1;
  }
  return a;
}

// Samples VmRSS of every process of the host's tree every 2 ms (the tree itself every 50 ms)
// and keeps each process's largest.
class RssSampler {
 public:
  explicit RssSampler(pid_t host)
      : thread_([this, host] {
          std::vector<flxbench::ProcMemory> tree;
          for (int round = 0; !stop_; ++round) {
            if (round % 25 == 0) tree = flxbench::TreeMemory(host);
            for (const auto& p : tree) {
              const long rss = flxbench::RssKiB(p.pid);
              std::lock_guard<std::mutex> lock(mutex_);
              max_[p.pid] = std::max(max_[p.pid], rss);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
        }) {}
  ~RssSampler() { Stop(); }
  std::map<pid_t, long> Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return max_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::map<pid_t, long> max_;
  std::thread thread_;
};

std::string Status(const Answer& a) {
  if (a.status < 0) return a.status == -1 ? "connection closed" : "no answer";
  return std::to_string(a.status) + (a.body.empty() ? "" : " " + a.body);
}

// Sends `body` `parallel` times at once and prints the answers and every host process's memory:
// VmHWM reset before and read after, and the largest VmRSS sampled meanwhile.
void BigBodyCase(pid_t host, int port, const std::string& name, const std::string& body,
                 bool chunked, int parallel) {
  bool reset = true;
  for (const auto& p : flxbench::TreeMemory(host)) reset = flxbench::ResetPeak(p.pid) && reset;
  const auto before = flxbench::TreeMemory(host);
  std::vector<Answer> answers(static_cast<size_t>(parallel));
  RssSampler sampler(host);
  std::vector<std::thread> threads;
  for (Answer& a : answers)
    threads.emplace_back([&, to = &a] { *to = Exchange(port, body, chunked); });
  for (std::thread& t : threads) t.join();
  std::this_thread::sleep_for(kSettle);  // work after the answer counts too
  const std::map<pid_t, long> sampled = sampler.Stop();
  std::string said;
  for (const Answer& a : answers) {
    char text[160];
    snprintf(text, sizeof text, "%s%s in %.1f ms", said.empty() ? "" : ", ", Status(a).c_str(),
             a.ms);
    said += text;
  }
  printf("big body %s, %zu bytes, %s: %s\n", name.c_str(), body.size(),
         parallel > 1 ? (std::to_string(parallel) + " at once").c_str()
         : chunked    ? "chunked"
                      : "Content-Length",
         said.c_str());
  long hwm = 0, rss = 0;
  for (const auto& a : flxbench::TreeMemory(host)) {
    auto b =
        std::find_if(before.begin(), before.end(), [&](const auto& p) { return p.pid == a.pid; });
    auto s = sampled.find(a.pid);
    const long most = s == sampled.end() ? a.rssKiB : std::max(s->second, a.rssKiB);
    hwm = std::max(hwm, a.hwmKiB);
    rss = std::max(rss, most);
    printf("  pid %d (depth %d): VmHWM %s -> %s, VmRSS %s -> %s, sampled max %s\n", a.pid, a.depth,
           b == before.end() ? "new" : MiB(b->hwmKiB).c_str(), MiB(a.hwmKiB).c_str(),
           b == before.end() ? "new" : MiB(b->rssKiB).c_str(), MiB(a.rssKiB).c_str(),
           MiB(most).c_str());
  }
  printf("  largest host process: VmHWM %s%s, sampled VmRSS %s\n", MiB(hwm).c_str(),
         reset ? " (peaks reset before)" : " (peaks not reset: since start)", MiB(rss).c_str());
}

// The largest body the host accepts: --max-body as given, else its default from --help.
size_t MaxBody(const Options& o) {
  if (o.maxBody > 0) return o.maxBody;
  const std::string help = flxbench::Output({o.hostBin, "--help"});
  const size_t at = help.find("--max-body");
  const size_t eq = at == std::string::npos ? at : help.find_first_of("=\n", at);
  return eq == std::string::npos || help[eq] != '=' ? 0
                                                    : strtoul(help.c_str() + eq + 1, nullptr, 10);
}

// The host as the options say, on a free loopback port of its own.
bool StartHost(const Options& o, const flxbench::TempRoot& root, flxbench::Host& host,
               std::string& url) {
  const std::string help = flxbench::Output({o.hostBin, "--help"});
  // Behind the TLS site, a FastCGI host serves it on a socket; an HTTP host on a port.
  const bool fastcgi = o.nginx && help.find("--fastcgi") != std::string::npos;
  std::vector<std::string> args = {o.hostBin, fastcgi ? "--fastcgi" : "--listen",
                                   fastcgi ? root.Path("/fastcgi.sock") : "127.0.0.1:0", "--module",
                                   o.module};
  if (help.find("--workers") != std::string::npos)
    args.insert(args.end(), {"--workers", std::to_string(o.workers)});
  if (o.noKeepOpen && help.find("--no-keep-open") != std::string::npos)
    args.push_back("--no-keep-open");
  if (!o.noKeepOpen && help.find("--keep-open") != std::string::npos) {
    args.insert(args.end(), {"--keep-open", root.Path(KEVO_CACHE_DB_PATH), "--keep-open",
                             root.Path(KEVO_REGISTRY_DB_PATH)});
  }
  if (o.maxBody > 0) args.insert(args.end(), {"--max-body", std::to_string(o.maxBody)});
  if (!o.dropUser.empty()) args.insert(args.end(), {"--drop-privileges", o.dropUser});
  args.insert(args.end(), o.hostArgs.begin(), o.hostArgs.end());
  if (!host.Start(args, root.Path("/host.log"), url)) return false;
  fprintf(stderr, "flx-load: host: %s\n", flxbench::Join(args).c_str());
  return true;
}

// Each case against a fresh host, so that memory an earlier case left behind does not count.
int BigBodies(const Options& o, const flxbench::TempRoot& root) {
  const size_t maxBody = MaxBody(o);
  char name[32];
  snprintf(name, sizeof name, "%g MiB", o.bigBodyMiB);
  std::vector<std::pair<std::string, size_t>> sizes = {
      {name, static_cast<size_t>(o.bigBodyMiB * 1048576)}};
  if (maxBody > 4096)
    sizes.push_back({"just under --max-body " + std::to_string(maxBody), maxBody - 1024});
  for (const auto& size : sizes) {
    const std::string body = BigBody(size.second);
    for (int way = 0; way < 3; ++way) {
      flxbench::Host host;
      std::string url;
      if (!StartHost(o, root, host, url)) return 1;
      const int port = atoi(url.c_str() + url.rfind(':') + 1);
      BigBodyCase(host.pid(), port, size.first, body, way == 1, way == 2 ? 3 : 1);
    }
  }
  return 0;
}

int Run(const Options& o) {
  flxbench::TempRoot root(o.url.empty() ? "/tmp/flx-load" : "");
  if (o.url.empty() && !root.Init(o.adminBin)) return 1;
  if (o.bigBodyMiB > 0) {
    if (!o.url.empty() || o.nginx) {
      fprintf(stderr, "flx-load: --big-body measures a host it starts itself, without nginx\n");
      return 2;
    }
    return BigBodies(o, root);
  }
  fprintf(stderr, "flx-load: registering %d devices\n", o.devices);
  std::vector<std::string> bodies;
  if (!flxbench::AddDevices(o.adminBin, o.devices) || !MakeBodies(o, bodies)) return 1;

  flxbench::Host host;
  flxbench::Nginx nginx;
  flxbench::Child history;
  std::string url = o.url;
  Options opt = o;
  if (url.empty()) {
    if (!StartHost(o, root, host, url)) return 1;
    if (o.history) {
      if (!history.Spawn({FLX_HISTORY_BIN, "--log-stderr"}, root.Path("/history.log"), 0)) return 1;
      fprintf(stderr, "flx-load: flx-history beside the host\n");
    }
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
  const long rssFrom = o.pushes > 0 && host.pid() > 0 ? std::min(1000L, o.pushes / 2) : 0;
  Shared shared{opt, origin, bodies, start, measureFrom, end, host.pid(), rssFrom};
  std::vector<Result> results(static_cast<size_t>(o.clients));
  std::vector<std::thread> threads;
  for (int c = 0; c < o.clients; ++c)
    threads.emplace_back(RunClient, std::ref(shared), std::ref(results[c]));
  if (o.pushes == 0) std::this_thread::sleep_until(measureFrom);
  if (host.pid() > 0) cpuBefore = flxbench::TreeCpuMs(host.pid());
  for (std::thread& t : threads) t.join();
  const auto measuredFrom = o.pushes > 0 ? start : measureFrom;
  const double elapsed = std::chrono::duration<double>(Clock::now() - measuredFrom).count();

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
  printf("latency ms  p50 %.2f  p90 %.2f  p99 %.2f  max %.1f\n", Percentile(all, 0.5),
         Percentile(all, 0.9), Percentile(all, 0.99), all.empty() ? 0 : all.back());
  if (host.pid() > 0) {
    printf("host RSS %s\n", flxbench::TreeRss(host.pid()).c_str());
    // CPU per batch hardly depends on how busy the machine is; throughput does.
    printf("host CPU ms/batch %.2f\n",
           (flxbench::TreeCpuMs(host.pid()) - cpuBefore) / std::max<size_t>(1, all.size()));
    if (rssFrom > 0) PrintGrowth(shared.atRssFrom, shared.atEnd, rssFrom, o.pushes);
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
  app.add_flag("--history", o.history, "run flx-history beside the host it starts");
  app.add_option("--rate", o.rate, "batches/s over all clients (0: as fast as possible)")
      ->capture_default_str();
  app.add_option("--seconds", o.seconds, "measured time")->capture_default_str();
  app.add_option("--pushes", o.pushes,
                 "stop after this many pushes instead (all measured, no warm-up); prints each "
                 "host process's RSS at push 1000 and at the end");
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
  app.add_option("--host-arg", o.hostArgs, "one more argument for the host (repeatable)")
      ->allow_extra_args(false);
  app.add_flag("--nginx", o.nginx, "put the shipped nginx site (TLS) in front of the host");
  app.add_option("--big-body", o.bigBodyMiB,
                 "instead of pushing: unauthenticated bodies of this many MiB and just under "
                 "--max-body (with a length, chunked, three at once); answers and host memory");
  app.add_option("--max-body", o.maxBody, "the host's --max-body (default: the host's own)");
  CLI11_PARSE(app, argc, argv);
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return Run(o);
}
