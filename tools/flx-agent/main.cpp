// flx-agent: collects this machine's facts and pushes them to the host.
#include <stdlib.h>
#include <CLI/CLI.hpp>

#include <iostream>

#include "agent.h"
#include "push.h"

int main(int argc, char** argv) {
  flxagent::AgentOptions options;
  bool once = false;
  CLI::App app{"Device agent: collects this Linux machine's facts and pushes them to the host"};
  std::string config = flxagent::DefaultConfigFile();
  auto* configOption =
      app.add_option("--config", config, "settings file: url, key_file, ca_file, session_file")
          ->capture_default_str();
  app.add_option("--url", options.url, "host URL, e.g. https://flx.example (env FLX_AGENT_URL)");
  app.add_option("--sid", options.sid,
                 "session id (flx-admin session add); other users see it here: prefer "
                 "--sid-file or FLX_AGENT_SID");
  app.add_option("--sid-file", options.sidFile, "file holding the session id (mode 0600)");
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
    std::string why;
    if (!flxagent::ResolveSettings(options, config, configOption->count() > 0, getenv, why)) {
      std::cerr << "flx-agent: " << why << std::endl;
      return flxpush::kExitUsage;
    }
    return flxagent::RunAgent(options, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "flx-agent: unexpected failure (" << e.what() << "): report it" << std::endl;
    return flxpush::kExitUsage;
  }
}
