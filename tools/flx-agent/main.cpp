// flx-agent: collects this machine's facts and pushes them to the host.
#include <stdlib.h>
#include <unistd.h>
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
  flxagent::EnrollOptions enroll;
  enroll.configFile = config;
  CLI::App* enrollCmd = app.add_subcommand(
      "enroll",
      "Join the host with the line that 'flx-admin enroll add' printed: writes the "
      "session, push key and CA beside the configuration file");
  enrollCmd->add_option("URL", enroll.url, "the host, e.g. https://flx.example")->required();
  enrollCmd->add_option("--token", enroll.token, "ID.SECRET of the join line")->required();
  enrollCmd->add_option("--ca-hash", enroll.caHash, "sha256:HEX of the host CA's public key")
      ->required();
  enrollCmd->add_option("--config", enroll.configFile, "settings file; the files go beside it")
      ->capture_default_str();
  enrollCmd->add_option("--root", enroll.root, "read the identity below this folder (tests)");
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
  if (enrollCmd->parsed()) {
    const int rc = flxagent::Enroll(enroll, std::cout, std::cerr);
    // The service waits for a session file that is not empty; now there is one.
    if (rc == flxpush::kExitSuccess && enroll.root == "/" && geteuid() == 0 &&
        access("/run/systemd/system", F_OK) == 0) {
      std::string out;
      int status = 0;
      flxagent::RunTool({"systemctl", "restart", "flx-agent.service"}, out, status);
    }
    return rc;
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
