// flx-webapi-host: serves the web API of the given modules on /webapi/entry.cgi.
#include <syslog.h>

#include <CLI/CLI.hpp>
#include <map>

#include "host.h"

int main(int argc, char** argv) {
  webapihost::HostOptions options;
  CLI::App app{"Web API host: loads modules and serves their methods on /webapi/entry.cgi"};
  app.add_option("--listen", options.listen, "HOST:PORT to listen on (port 0: any free port)")
      ->capture_default_str();
  app.add_option("--module", options.modules, "module to load (repeatable)")
      ->default_str(webapihost::DefaultModulePath());
  app.add_option("--max-body", options.maxBody, "largest request body in bytes (larger: HTTP 413)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--workers", options.workers,
                 "worker processes (default: one per core; 0: serve in this process)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--keep-open", options.keepOpen,
                 "SQLite file each worker keeps one idle connection to (repeatable)");
  std::string sync = "normal";
  app.add_option("--store-sync", sync,
                 "commits to the --keep-open files: normal (outlive a crash; a power loss may roll "
                 "back the last ones) or full (each waits for the disk)")
      ->capture_default_str()
      ->check(CLI::IsMember({"normal", "full"}));
  app.add_option("--lock-wait-ms", options.store.lockWaitMs,
                 "how long a connection to a --keep-open file waits for a lock before its caller "
                 "retries in its own way (0: not at all)")
      ->capture_default_str()
      ->check(CLI::Range(0, 60000));
  app.add_option("--max-connections", options.maxConnections,
                 "open connections per worker (more: idle ones closed, else HTTP 503)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--request-timeout", options.requestSeconds,
                 "seconds for the headers and body of one request (more: HTTP 408)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--max-auth-failures", options.maxAuthFailures,
                 "failed session checks per address and minute (more: HTTP 429)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_flag("--log-stderr", options.logStderr, "copy every log line to stderr");
  const std::map<std::string, int> levels = {{"debug", LOG_DEBUG},
                                             {"info", LOG_INFO},
                                             {"notice", LOG_NOTICE},
                                             {"warning", LOG_WARNING},
                                             {"err", LOG_ERR}};
  app.add_option("--log-level", options.logLevel,
                 "write log lines up to this level (info and debug include the id changes "
                 "of every privileged section)")
      ->transform(CLI::CheckedTransformer(levels))
      ->default_str("debug");
  app.add_flag("--debug", options.debug, "print failure lines on stdout too");
  app.add_option("--drop-privileges", options.dropUser,
                 "started as root: run as USER, keeping saved ids 0");
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("flx-webapi-host: ") + e.what() + "; see flx-webapi-host --help\n";
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;  // usage errors exit 2, like the other tools
  }
  options.store.relaxSync = sync == "normal";
  return webapihost::RunHost(options);
}
