// The shipped nginx site in front of a real host by FastCGI: TLS pushes, slow and idle clients,
// 413, the security headers.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include <httplib.h>

#include "admin_enroll.h"
#include "kevoroot.h"
#include "push.h"
#include "support/process.h"
#include "support/root_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
const char kNginx[] = "/usr/sbin/nginx";
const char kSn[] = "2150PDN004711";

// A raw TLS connection (no certificate check), for requests no client library would send.
class Tls {
 public:
  explicit Tls(int port)
      : ctx_(SSL_CTX_new(TLS_client_method())), fd_(flxtest::LoopbackConnect(port)) {
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    ok_ = fd_ >= 0 && SSL_connect(ssl_) == 1;
  }
  ~Tls() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    if (fd_ >= 0) close(fd_);
  }
  bool Send(const std::string& text) {
    return ok_ && SSL_write(ssl_, text.data(), static_cast<int>(text.size())) > 0;
  }
  std::string ReadSome() {
    char buf[512];
    const int n = ok_ ? SSL_read(ssl_, buf, sizeof buf) : 0;
    return std::string(buf, n > 0 ? n : 0);
  }

 private:
  SSL_CTX* ctx_;
  SSL* ssl_;
  int fd_;
  bool ok_;
};

class NginxFrontTest : public flxtest::RootTest {
 protected:
  // nginx's master ends its workers only when asked; the host answers what is in flight.
  ~NginxFrontTest() override {
    for (flxtest::Child* c : {&nginx_, &host_}) {
      c->Signal(SIGTERM);
      c->Wait(15000);
    }
  }

  void SetUp() override {
    if (access(kNginx, X_OK) != 0) GTEST_SKIP() << "nginx is not installed: skipping";
    dir_ = path("/nginx");
    ASSERT_EQ(0, chmod(root().c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir_.c_str(), 0755));
    addDevice(kSn);
    sid_ = addSession(kSn);
    StartHost();
    MakeCertificate();
    StartNginx();
  }

  // As the shipped unit runs it (both databases held by default) and, as root, dropped ids
  // without new privileges and with only the unit's capabilities.
  void StartHost() {
    const std::string log = path("/host.log");
    std::vector<std::string> args = {FLX_HOST_BIN, "--fastcgi", dir_ + "/fastcgi.sock",
                                     "--log-stderr"};
    if (geteuid() == 0) {
      std::string caps = "-all";
      std::istringstream unit(
          readFile(std::string(FLX_SOURCE_DIR) + "/deploy/systemd/flx-webapi-host.service"));
      for (std::string line; std::getline(unit, line);) {
        if (line.rfind("CapabilityBoundingSet=", 0) != 0) continue;
        std::istringstream names(line.substr(line.find('=') + 1));
        for (std::string cap; names >> cap;) caps += ",+" + cap.substr(4);  // CAP_SETUID: +SETUID
      }
      args.insert(args.begin(), {"/usr/bin/setpriv", "--no-new-privs", "--bounding-set", caps});
      args.insert(args.end(), {"--drop-privileges", "nobody", "--log-level", "notice"});
      // A process whose ids changed cannot be checked for leaks by sanitizer builds.
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    }
    ASSERT_TRUE(host_.Start(args, log));
    unsetenv("ASAN_OPTIONS");
    std::string line;
    ASSERT_TRUE(host_.ReadLine(line, 15000)) << readFile(log);
    ASSERT_EQ("serving FastCGI on unix:" + dir_ + "/fastcgi.sock", line);
  }

  // The site's certificate that flx-admin init made, signed by the root's CA, as the package
  // installs it.
  void MakeCertificate() {
    for (const char* name : {"flx-webapi.crt", "flx-webapi.key"})
      writeFile(dir_ + "/" + name, readFile(path(std::string("/etc/ssl/flx/") + name)));
  }

  // The shipped site with its paths and ports moved into the test's folder.
  std::string Site() {
    std::string site = readFile(std::string(FLX_SOURCE_DIR) + "/deploy/nginx/flx-webapi.conf");
    const std::pair<std::string, std::string> moves[] = {
        {"unix:/run/flx-webapi-host/fastcgi.sock", "unix:" + dir_ + "/fastcgi.sock"},
        {"listen 443 ", "listen 127.0.0.1:" + std::to_string(port_) + " "},
        {"listen [::]:443 ssl http2;", ""},  // the test machine may have no IPv6
        {"/etc/ssl/flx/", dir_ + "/"},
        {"/var/log/nginx/", dir_ + "/"},
        {"/var/packages/FLX/target/", root() + "/var/packages/FLX/target/"},
    };
    for (const auto& m : moves) {
      size_t at = site.find(m.first);
      EXPECT_NE(std::string::npos, at) << m.first;
      for (; at != std::string::npos; at = site.find(m.first, at + m.second.size()))
        site.replace(at, m.first.size(), m.second);
    }
    return site;
  }

  void StartNginx() {
    port_ = flxtest::FreePort();
    writeFile(dir_ + "/flx-webapi.conf", Site());
    std::ostringstream conf;
    conf << "pid " << dir_ << "/nginx.pid;\nerror_log " << dir_ << "/error.log;\n"
         << "events { worker_connections 1024; }\nhttp {\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      conf << "  " << temp << "_temp_path " << dir_ << "/" << temp << ";\n";
    conf << "  include " << dir_ << "/flx-webapi.conf;\n}\n";
    writeFile(dir_ + "/nginx.conf", conf.str());
    if (geteuid() == 0) {
      ASSERT_EQ(0, system(("chown -R nobody: " + dir_).c_str()));
    }
    std::vector<std::string> args = {
        kNginx, "-p",         dir_, "-e", dir_ + "/error.log", "-c", dir_ + "/nginx.conf",
        "-g",   "daemon off;"};
    if (geteuid() == 0) {  // as a user without privileges, like a test run by one
      args.insert(args.begin(),
                  {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    }
    ASSERT_TRUE(nginx_.Start(args, dir_ + "/nginx.out"));
    for (int i = 0; i < 300; ++i) {
      const int s = flxtest::LoopbackConnect(port_);
      if (s >= 0) return (void)close(s);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << readFile(dir_ + "/nginx.out") << readFile(dir_ + "/error.log");
  }

  // Pushes the demo batch with flx-push's code through nginx over TLS.
  bool PushDemoBatch() {
    flxpush::PushOptions options;
    options.url = "https://127.0.0.1:" + std::to_string(port_);
    options.sid = sid_;
    options.caFile = dir_ + "/flx-webapi.crt";
    options.batchFile = std::string(FLX_SOURCE_DIR) + "/examples/demo-batch.json";
    std::ostringstream out, err;
    const int rc = flxpush::Push(options, out, err);
    EXPECT_EQ(0, rc) << out.str() << err.str();
    return rc == 0;
  }

  // The median time of `n` small correct pushes (no items: no storage noise), each on a new
  // TLS connection as devices push; one not answered within a second counts as a second.
  double MedianSmallPushMs(int n) {
    httplib::Client client("https://127.0.0.1:" + std::to_string(port_));
    client.set_ca_cert_path(dir_ + "/flx-webapi.crt");
    client.set_read_timeout(1, 0);
    const std::string body = flxpush::FormEncode({{"api", "KEVO.FLX.RPC.ClientInfo"},
                                                  {"version", "1"},
                                                  {"method", "push"},
                                                  {"_sid", sid_},
                                                  {"items", "[]"}});
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
      const auto start = Clock::now();
      const auto res = client.Post(flxpush::kEntryPath, body, "application/x-www-form-urlencoded");
      const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      ms.push_back(res && res->body == R"({"success":true})" ? took : 1000);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
  }

  size_t HostRequests() {
    const std::string log = readFile(path("/host.log"));
    size_t n = 0;
    for (size_t at = 0; (at = log.find("request api=", at)) != std::string::npos; ++at) ++n;
    return n;
  }

  std::string dir_;
  std::string sid_;
  int port_ = 0;
  flxtest::Child host_;
  flxtest::Child nginx_;
};

TEST_F(NginxFrontTest, SlowAndIdleClientsDoNotDelayPushes) {
  ASSERT_TRUE(PushDemoBatch());
  EXPECT_EQ("4", query("SELECT count(*) FROM hdd_info"));
  const double quiet = MedianSmallPushMs(5);

  // 100 connections that never say a word, and 16 that send a push one byte at a time until
  // the pushes are measured: enough to hold every thread of a host they reached.
  std::vector<int> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(flxtest::LoopbackConnect(port_));
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::vector<std::thread> slow;
  for (int i = 0; i < 16; ++i) {
    slow.emplace_back([this, &sent, &stop] {
      Tls tls(port_);
      sent +=
          tls.Send("POST /webapi/entry.cgi HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n");
      for (int i = 0; i < 160 && !stop; ++i) {
        sent += tls.Send(i == 0 ? "_sid=" + sid_ + "&items=" : "0");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double loaded = MedianSmallPushMs(5);
  const int sentWhileMeasured = sent;
  stop = true;
  for (std::thread& t : slow) t.join();
  for (int s : idle) close(s);
  EXPECT_GE(sentWhileMeasured, 16 * 6) << "the slow clients did not get through";
  EXPECT_LT(loaded - quiet, 100.0) << "quiet " << quiet << " ms, loaded " << loaded << " ms";
}

TEST_F(NginxFrontTest, OversizedBodyIsRefusedBeforeTheHost) {
  ASSERT_TRUE(PushDemoBatch());
  const size_t before = HostRequests();
  ASSERT_EQ(1u, before) << "the host must log each request for this test to mean anything";
  Tls tls(port_);
  ASSERT_TRUE(
      tls.Send("POST /webapi/entry.cgi HTTP/1.1\r\nHost: x\r\nContent-Type: "
               "application/x-www-form-urlencoded\r\nContent-Length: 100000000\r\n\r\n"));
  const std::string answer = tls.ReadSome();
  EXPECT_EQ(0u, answer.find("HTTP/1.1 413")) << answer;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(before, HostRequests());
}

using flxtest::Child;

TEST_F(NginxFrontTest, EnrollsOverTlsTrustingTheCaByItsHashAlone) {
  const std::string m = path("/machine");
  writeFile(m + "/etc/machine-id", "0f0e0d0c0b0a09080706050403020100\n");
  writeFile(m + "/etc/os-release", "ID=debian\nVERSION_ID=\"12\"\n");
  writeFile(m + "/proc/sys/kernel/hostname", "tls-device\n");
  writeFile(m + "/etc/flx-agent/agent.conf", "url=\n");
  flxadmin::EnrollOptions o;
  o.url = "https://127.0.0.1:" + std::to_string(port_);
  std::string line, err;
  ASSERT_EQ(0, flxadmin::enrollAdd(o, line, err)) << err;
  const size_t at = line.find("--token ");
  const std::string token = line.substr(at + 8, line.find(' ', at + 8) - at - 8);
  const std::string hash = line.substr(line.find("sha256:"));
  const auto enroll = [&](const std::string& pin) {
    Child agent;
    agent.Start({FLX_AGENT_BIN, "enroll", o.url, "--token", token, "--ca-hash", pin, "--config",
                 m + "/etc/flx-agent/agent.conf", "--root", m},
                "");
    const std::string out = agent.ReadAll(30000);
    return std::make_pair(agent.Wait(15000), out);
  };
  // Another CA's hash: the handshake shows none with it, and the token is never sent.
  const auto refused = enroll("sha256:" + std::string(64, '0'));
  EXPECT_NE(0, refused.first);
  EXPECT_NE(std::string::npos, refused.second.find("no CA with the hash")) << refused.second;
  EXPECT_EQ("1", query("SELECT count(*) FROM devices", path(KEVO_REGISTRY_DB_PATH)));
  EXPECT_EQ("", query("SELECT uses_left FROM enroll_secrets WHERE uses_left >= 0",
                      path(KEVO_REGISTRY_DB_PATH)));

  const auto joined = enroll(hash);
  ASSERT_EQ(0, joined.first) << joined.second;
  Child agent;
  agent.Start({FLX_AGENT_BIN, "--once", "--only", "basic", "--root", m, "--config",
               m + "/etc/flx-agent/agent.conf"},
              "");
  const std::string out = agent.ReadAll(30000);
  ASSERT_EQ(0, agent.Wait(15000)) << out;
  EXPECT_EQ("tls-device", query("SELECT hostname FROM devices WHERE sn LIKE 'linux-%'",
                                path(KEVO_REGISTRY_DB_PATH)));
}

}  // namespace
