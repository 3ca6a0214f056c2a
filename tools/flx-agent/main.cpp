// flx-agent: collects this machine's facts and pushes them to the host.
#include <CLI/CLI.hpp>
#include <iostream>

#include "agent.h"
#include "push.h"

int main(int argc, char** argv) {
  flxagent::AgentOptions options;
  bool once = false;
  CLI::App app{"Device agent: collects this Linux machine's facts and pushes them to the host"};
  app.add_option("--url", options.url, "host URL, e.g. http://127.0.0.1:5000");
  app.add_option("--sid", options.sid, "session id (flx-admin session add)");
  app.add_option("--key", options.keyFile, "push key file (default: the host's key)");
  app.add_option("--ca-file", options.caFile,
                 "https: certificates to trust (default: the system's)");
  auto* onceFlag = app.add_flag("--once", once, "collect and push once (the default)");
  app.add_option("--interval", options.interval,
                 "push every SECONDS (with jitter), only what changed, until stopped")
      ->excludes(onceFlag);
  app.add_option("--only", options.only,
                 "kinds to collect: basic, info, storage, share, applications, package")
      ->delimiter(',');
  app.add_flag("--dry-run", options.dryRun, "print the batch as JSON instead of pushing");
  app.add_option("--packages", options.packagePatterns,
                 "report only packages matching these patterns (default: all)")
      ->delimiter(',');
  app.add_option("--root", options.root, "read the machine below this folder (for tests)")
      ->capture_default_str();
  app.add_option("--state", options.stateFile,
                 "state file of --interval (default /var/lib/flx-agent/state.json)");
  app.footer(
      "The version pushed is \"<OS id> <VERSION_ID>-<build>\" from /etc/os-release, with build\n"
      "= a*10000 + b*100 + c of VERSION_ID a.b.c (each part at most 99): 12 -> 120000.");
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("flx-agent: ") + e.what() + "; see flx-agent --help\n";
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : flxpush::kExitUsage;
  }
  try {
    return flxagent::RunAgent(options, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "flx-agent: unexpected failure (" << e.what() << "): report it" << std::endl;
    return flxpush::kExitUsage;
  }
}
