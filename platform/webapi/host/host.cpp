// The host program: HTTP server, start-up steps and the signal that stops it.
#include "host.h"

#include <grp.h>
#include <httplib.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>

#include "kevocore.h"

#ifndef FLX_DEFAULT_MODULE
#define FLX_DEFAULT_MODULE ""
#endif

namespace webapihost {

namespace {

const char kEndpoint[] = "/webapi/entry.cgi";
const char kProgram[] = "flx-webapi-host";
// Idle keep-alive connections are dropped after this long.
const time_t kKeepAliveSeconds = 5;

// Set when syslog copies its lines to stderr itself.
bool gLogToStderr = false;

// A start-up failure: one line on stderr, and in the log.
void Fail(const std::string& message) {
  if (!gLogToStderr) std::cerr << kProgram << ": " << message << std::endl;
  syslog(LOG_ERR, "%s", message.c_str());
}

std::string JoinedHeader(const httplib::Request& req, const char* name) {
  std::string out;
  const size_t count = req.get_header_value_count(name);
  for (size_t i = 0; i < count; ++i) {
    if (!out.empty()) out += "; ";
    out += req.get_header_value(name, i);
  }
  return out;
}

RawRequest ToRaw(const httplib::Request& req, std::string body) {
  RawRequest raw;
  const size_t mark = req.target.find('?');
  if (mark != std::string::npos) raw.query = req.target.substr(mark + 1);
  raw.body = std::move(body);
  raw.contentType = req.get_header_value("Content-Type");
  raw.cookie = JoinedHeader(req, "Cookie");
  raw.remoteIp = req.remote_addr;
  return raw;
}

void Answer(httplib::Response& res, const Json::Value& answer) {
  res.status = 200;
  res.set_content(AnswerText(answer), "application/json");
}

void Route(httplib::Server& server, Dispatcher& dispatcher) {
  server.Get(kEndpoint, [&dispatcher](const httplib::Request& req, httplib::Response& res) {
    Answer(res, dispatcher.Handle(ToRaw(req, std::string())));
  });
  server.Post(kEndpoint, [&dispatcher](const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
    if (req.is_multipart_form_data()) {
      // Fields come as a query string or a form-urlencoded body only.
      res.status = 415;
      res.set_header("Connection", "close");
      return;
    }
    std::string body;
    // On failure (body over the limit, broken chunking) the status is already set: 413, 400.
    if (!reader([&body](const char* data, size_t length) {
          body.append(data, length);
          return true;
        }))
      return;
    Answer(res, dispatcher.Handle(ToRaw(req, std::move(body))));
  });
}

// Binds the server; `port` 0 takes an ephemeral port and is replaced by the real one.
bool Bind(httplib::Server& server, const std::string& host, int& port) {
  if (port == 0) {
    port = server.bind_to_any_port(host);
    return port > 0;
  }
  return server.bind_to_port(host, port);
}

// Waits for SIGINT or SIGTERM and stops the server; the in-flight request still finishes.
void WaitForSignal(httplib::Server& server, const sigset_t& signals,
                   const std::atomic<bool>& serving) {
  int sig = 0;
  sigwait(&signals, &sig);
  if (!serving) return;
  syslog(LOG_INFO, "signal %d: stopping", sig);
  // stop() only acts once the accept loop runs.
  while (serving && !server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (serving) server.stop();
}

bool LoadModules(ApiRegistry& registry, const HostOptions& options) {
  std::vector<std::string> modules = options.modules;
  if (modules.empty()) modules.push_back(DefaultModulePath());
  for (const std::string& path : modules) {
    std::string err;
    if (!registry.LoadModule(path, err)) {
      Fail(err + "; check the --module path");
      return false;
    }
  }
  return true;
}

std::string HostPort(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

int Serve(httplib::Server& server, const std::string& where) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  std::atomic<bool> serving{true};
  std::thread waiter(WaitForSignal, std::ref(server), std::cref(signals), std::cref(serving));
  std::cout << "listening on " << where << std::endl;
  syslog(LOG_INFO, "listening on %s", where.c_str());
  const bool ok = server.listen_after_bind();
  serving = false;
  pthread_kill(waiter.native_handle(), SIGTERM);  // wakes the waiter when no signal came
  waiter.join();
  if (!ok) Fail("the server stopped with an error on " + where);
  syslog(LOG_INFO, "stopped");
  return 0;
}

}  // namespace

const char* DefaultModulePath() {
  return FLX_DEFAULT_MODULE;
}

bool ParseListen(const std::string& text, std::string& host, int& port) {
  std::string portText;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  if (host.empty() || portText.empty() || portText.size() > 5) return false;
  for (char c : portText) {
    if (c < '0' || c > '9') return false;
  }
  port = std::stoi(portText);
  return port <= 65535;
}

bool DropPrivileges(const std::string& user, std::string& err) {
  if (geteuid() != 0) {
    err = "--drop-privileges needs the host to be started as root";
    return false;
  }
  errno = 0;
  const struct passwd* pw = getpwnam(user.c_str());
  if (pw == nullptr) {
    err = "unknown user '" + user + "' for --drop-privileges";
    return false;
  }
  // Saved ids stay 0 so that privileged sections can raise the effective ids again.
  if (initgroups(pw->pw_name, pw->pw_gid) != 0 || setresgid(pw->pw_gid, pw->pw_gid, 0) != 0 ||
      setresuid(pw->pw_uid, pw->pw_uid, 0) != 0) {
    err = "cannot take the ids of '" + user + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

int RunHost(const HostOptions& options) {
  gLogToStderr = options.logStderr;
  openlog(kProgram, LOG_PID | (options.logStderr ? LOG_PERROR : 0), LOG_DAEMON);
  if (options.debug) giTerminalDebug = 1;
  std::string host;
  int port = 0;
  if (!ParseListen(options.listen, host, port)) {
    Fail("bad --listen '" + options.listen + "': give HOST:PORT, e.g. 127.0.0.1:5000");
    return 1;
  }
  // Block the stop signals before any thread starts, so that only the waiter receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  httplib::Server server;
  server.set_payload_max_length(options.maxBody);
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  if (!Bind(server, host, port)) {
    Fail("cannot listen on " + options.listen +
         " (address in use or not local?): stop the other server or choose another --listen");
    return 1;
  }
  std::string err;
  if (!options.dropUser.empty() && !DropPrivileges(options.dropUser, err)) {
    Fail(err);
    return 1;
  }
  ApiRegistry registry;
  if (!LoadModules(registry, options)) return 1;
  Dispatcher dispatcher(registry);
  Route(server, dispatcher);
  ServeStaticPage(server, PageDir());
  return Serve(server, HostPort(host, port));
}

}  // namespace webapihost
