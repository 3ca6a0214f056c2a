// The fixture of the end-to-end tests: the real host with the module on a loopback port,
// pushed to by the real client, and raw connections for what no well-behaved client sends.
#ifndef FLX_TESTS_INTEGRATION_HOST_FIXTURE_H
#define FLX_TESTS_INTEGRATION_HOST_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "admin.h"
#include "admin_quarantine.h"
#include "agent.h"
#include "flx.h"
#include "flxoperators.h"
#include "flxread.h"
#include "host.h"
#include "kevoroot.h"
#include "push.h"
#include "support/process.h"
#include "support/root_fixture.h"

namespace flxtest {

const int kStartMs = 15000;
const int kPushMs = 60000;
const int kAgentPushMs = 300000;
const int kStopMs = 15000;
const char kSn[] = "2150PDN004711";

class PushIntegrationTest : public flxtest::RootTest {
 protected:
  ~PushIntegrationTest() override {
    if (!host_.Running()) return;
    host_.Signal(SIGTERM);
    EXPECT_EQ(0, host_.Wait(kStopMs)) << "host log:\n" << readFile(hostLog());
  }

  std::string hostLog() const { return path("/host.log"); }

  // Starts the host on an ephemeral loopback port; url_ names it.
  void StartHost(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {FLX_HOST_BIN,   "--listen", "127.0.0.1:0",
                                     "--log-stderr", "--module", module_};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(host_.Start(args, hostLog()));
    std::string line;
    ASSERT_TRUE(host_.ReadLine(line, kStartMs)) << "host log:\n" << readFile(hostLog());
    ASSERT_EQ(0u, line.find("listening on 127.0.0.1:")) << line;
    url_ = "http://" + line.substr(std::string("listening on ").size());
  }

  struct PushResult {
    int exit;
    std::string output;
  };
  PushResult Push(const std::vector<std::string>& args, int ms = kPushMs) {
    std::vector<std::string> argv = {FLX_PUSH_BIN, "--url", url_};
    argv.insert(argv.end(), args.begin(), args.end());
    Child push;
    if (!push.Start(argv, "")) return {-1, "cannot start flx-push"};
    std::string output = push.ReadAll(ms);
    return {push.Wait(kStopMs), output};
  }

  std::string demoBatch() const {
    return std::string(FLX_SOURCE_DIR) + "/examples/demo-batch.json";
  }

  // A raw connection to the host, for requests that no well-behaved client sends.
  int Connect() {
    const int fd = flxtest::LoopbackConnect(std::stoi(url_.substr(url_.rfind(':') + 1)));
    EXPECT_LE(0, fd);
    return fd;
  }
  // Sends `request`, then `trickle` every 300 ms, until an answer starts; its status line.
  static std::string Status(int fd, const std::string& request, const std::string& trickle = "") {
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got;
    for (int i = 0; i < 10 && got.find("\r\n\r\n") == std::string::npos; ++i) {
      if (!trickle.empty()) send(fd, trickle.data(), trickle.size(), MSG_NOSIGNAL);
      pollfd p{fd, POLLIN, 0};
      char buf[4096];
      const ssize_t n = poll(&p, 1, 300) > 0 ? recv(fd, buf, sizeof buf, 0) : 0;
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got.substr(0, got.find("\r\n"));
  }
  // A connection from another loopback address, which nginx limits as any client.
  int ConnectFrom(const char* address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(url_.substr(url_.rfind(':') + 1))));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    return fd;
  }
  // A method of the crash module, with an operator's session as the cookie (or none): its
  // answer's data, or minus the HTTP status.
  int Call(const char* method, bool session = true) {
    return webapihost::ParamValue(CallText(method, session))["data"].asInt();
  }
  std::string CallText(const char* method, bool session = true) {
    if (session && token_.empty()) {
      token_ = flxread::newToken();
      EXPECT_EQ(0, KEVOFLXOperatorCreate("ops", flxread::tokenHash(token_)));
    }
    httplib::Client client(url_);
    client.set_read_timeout(30, 0);
    httplib::Headers headers;
    if (session) headers.emplace("Cookie", "id=" + token_);
    auto r = client.Get(std::string("/webapi/entry.cgi?api=T.Crash&version=1&method=") + method,
                        headers);
    return !r                 ? R"({"data":-1})"
           : r->status != 200 ? R"({"data":-)" + std::to_string(r->status) + "}"
                              : r->body;
  }
  // The value of one series of the host's /metrics, or -1 when it is not there.
  double Metric(const std::string& series) {
    httplib::Client client(url_);
    auto r = client.Get("/metrics");
    if (!r || r->status != 200) return -2;
    const size_t at = r->body.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::atof(r->body.c_str() + at + series.size() + 2);
  }
  static std::string Post(const std::string& body) {
    return "POST /webapi/entry.cgi HTTP/1.1\r\nHost: h\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }

  // This host start's run folder.
  std::string RunDir() {
    const std::string base = path(webapihost::kRunDir);
    for (const std::string& name : flxagent::ListDir(base)) {
      if (name.compare(0, 5, "host.") == 0) return base + "/" + name;
    }
    return "";
  }

  Child host_;
  std::string url_;
  std::string module_ = FLX_MODULE_PATH;
  std::string token_;
};

}  // namespace flxtest

#endif  // FLX_TESTS_INTEGRATION_HOST_FIXTURE_H
