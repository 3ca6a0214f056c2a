// flx-webapi-host: the FLX product's web API host, a FastCGI process manager behind nginx.
#include <syslog.h>

#include <CLI/CLI.hpp>
#include <map>

#include "host.h"
#include "product.h"

int main(int argc, char** argv) {
  webapihost::HostOptions options;
  CLI::App app{
      "Web API host: loads modules and serves their methods on /webapi/entry.cgi by FastCGI "
      "to nginx. With no flags: the FLX modules, both databases held open, one worker a core, "
      "on the socket the shipped nginx site names."};
  app.add_option("--fastcgi", options.fastcgi,
                 "FastCGI socket path (mode 0660, group www-data) or loopback HOST:PORT")
      ->default_str("/run/flx-webapi-host/fastcgi.sock");
  app.add_option("--listen", options.listen,
                 "HOST:PORT of a private nginx front started from the shipped site (port 0: "
                 "any free port), for development, tests and benchmarks");
  app.add_option("--module", options.modules,
                 "module to load (repeatable; default: push, inventory and enrollment)");
  app.add_option("--max-body", options.maxBody, "largest request body in bytes (larger: 413)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--workers", options.workers, "worker processes (default: one per core)")
      ->check(CLI::PositiveNumber);
  app.add_option("--max-workers", options.maxWorkers,
                 "workers while all are busy (default: four times --workers)")
      ->check(CLI::PositiveNumber);
  app.add_option("--max-requests", options.maxRequests,
                 "a worker is replaced after this many requests (up to a quarter more)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--request-timeout", options.requestSeconds,
                 "seconds one request may run before its worker is killed (above the longest "
                 "lock wait of the stores)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--slow-ms", options.slowMs, "log requests that run this long (0: never)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--keep-open", options.keepOpen,
                 "SQLite file each worker keeps one idle connection to (repeatable; default: "
                 "both databases)");
  bool noKeepOpen = false;
  app.add_flag("--no-keep-open", noKeepOpen, "hold no database open");
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
  bool allDevices = false;
  app.add_flag("--metrics-all-devices", allDevices,
               "per-device series in /metrics for every device (default: marked and stale ones)");
  app.add_option("--drop-privileges", options.dropUser,
                 "started as root: run as USER, keeping saved ids 0 (the private front runs as "
                 "USER too)");
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
  flxproduct::SetMetricsAllDevices(allDevices);
  flxproduct::ApplyDefaults(options, !noKeepOpen);
  return webapihost::RunHost(options);
}
