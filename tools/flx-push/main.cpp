// flx-push: sends a batch of collected items to the host as one push call.
#include <CLI/CLI.hpp>
#include <iostream>

#include "push.h"

int main(int argc, char** argv) {
  flxpush::PushOptions options;
  CLI::App app{"Device client: enciphers a batch of collected items and pushes it to the host"};
  app.add_option("--url", options.url, "host URL, e.g. http://127.0.0.1:5000")->required();
  app.add_option("--sid", options.sid, "session id (flx-admin session add)")->required();
  app.add_option("--key", options.keyFile, "push key file (default: the host's key)");
  app.add_option("--ca-file", options.caFile,
                 "https: certificates to trust (default: the system's)");
  app.add_option("--client-sn", options.clientSn, "serial number to report as client_sn");
  app.add_option("--chunk-size", options.chunkSize, "largest plain piece per chunk, in bytes")
      ->capture_default_str();
  app.add_flag("--raw", options.raw, "send each item's data as given (already chunks)");
  app.add_option("BATCH.json", options.batchFile, "JSON array of items")->required();
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("flx-push: ") + e.what() + "; see flx-push --help\n";
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // CLI11 exits 106 and friends on usage errors; flx-push promises 2.
    const int code = app.exit(e);
    return code == 0 ? 0 : flxpush::kExitUsage;
  }
  options.hasClientSn = app.count("--client-sn") > 0;
  try {
    return flxpush::Push(options, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "flx-push: unexpected failure (" << e.what() << "): report it with the batch"
              << std::endl;
    return flxpush::kExitUsage;
  }
}
