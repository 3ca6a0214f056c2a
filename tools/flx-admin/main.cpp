// flx-admin: the operator's command line over the operations of admin.h.
#include <stdio.h>
#include <time.h>

#include <json/writer.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "admin.h"
#include "admin_device.h"
#include "admin_enroll_cli.h"
#include "admin_history.h"
#include "admin_key.h"
#include "admin_operators_cli.h"
#include "admin_quarantine.h"
#include "admin_spool.h"
#include "admin_util.h"
#include "cmd_operate.h"
#include "kevoroot.h"

namespace {

const int kExitUsage = 2;

using flxadmin::fail;

// The words of the deepest command given, for the "--help" hint of a usage error.
std::string commandPath(const CLI::App& app) {
  std::string path = "flx-admin";
  const CLI::App* cur = &app;
  while (!cur->get_subcommands().empty()) {
    cur = cur->get_subcommands().front();
    path += " " + cur->get_name();
  }
  return path;
}

int usageError(const CLI::App& app, const CLI::ParseError& e) {
  std::string what = e.what();
  const CLI::App* cur = &app;
  while (!cur->get_subcommands().empty()) cur = cur->get_subcommands().front();
  // A mistyped command is reported as a missing one; name what was typed instead.
  std::vector<std::string> extra = cur->remaining();
  if (!extra.empty() && cur->get_require_subcommand_min() > 0) {
    what = "unknown command '" + extra.front() + "'";
  }
  for (char& c : what) {
    if (c == '\n') c = ' ';
  }
  std::cerr << "flx-admin: " << what << "; run '" << commandPath(app) << " --help' for usage"
            << std::endl;
  return kExitUsage;
}

void printJson(const Json::Value& v) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  std::cout << Json::writeString(builder, v) << std::endl;
}

struct Options {
  std::string sn;
  std::string hostname;
  std::string sid;
  int64_t ttl = 0;
  uint64_t device = 0;
  std::string kind;
  std::string module;
  std::string name;
};

int runInit() {
  std::string err;
  if (flxadmin::init(err) != 0) return fail(err);
  const char* root = KEVORootPrefix();
  std::cout << "initialised " << (*root != '\0' ? root : "/") << std::endl;
  return 0;
}

int runDeviceAdd(const Options& o) {
  std::string err;
  uint64_t id = 0;
  if (flxadmin::deviceAdd(o.sn, o.hostname, id, err) != 0) return fail(err);
  std::cout << id << std::endl;
  return 0;
}

int runDeviceShow(const Options& o) {
  std::string err;
  Json::Value out;
  if (flxadmin::deviceShow(o.sn, out, err) != 0) return fail(err);
  printJson(out);
  return 0;
}

int runSessionAdd(Options& o) {
  std::string err;
  if (flxadmin::sessionAdd(o.sn, o.sid, o.ttl, err) != 0) return fail(err);
  std::cout << o.sid << std::endl;
  return 0;
}

int runSessionRemove(const Options& o) {
  std::string err;
  return flxadmin::sessionRemove(o.sid, err) != 0 ? fail(err) : 0;
}

int runSpoolList(const Options& o) {
  std::string err;
  Json::Value list;
  if (flxadmin::spoolList(o.device, list, err) != 0) return fail(err);
  printf("%-6s %-22s %-20s %-10s %s\n", "ID", "KIND", "COLLECT_TIME", "BYTES", "PATH");
  for (const Json::Value& e : list) {
    printf("%-6s %-22s %-20s %-10s %s\n", e["id"].asString().c_str(), e["kind"].asCString(),
           e["collect_time"].asString().c_str(), e["bytes"].asString().c_str(),
           e["path"].asCString());
  }
  return 0;
}

int runSpoolReplay(const Options& o) {
  std::string err;
  int replayed = 0;
  const std::string module = o.module.empty() ? flxadmin::defaultModulePath() : o.module;
  int rc = flxadmin::spoolReplay(o.device, module, replayed, err);
  std::cout << "replayed " << replayed << " item(s)" << std::endl;
  return rc != 0 ? fail(err) : 0;
}

int runSpoolDrop(const Options& o) {
  std::string err;
  int dropped = 0;
  if (flxadmin::spoolDrop(o.device, o.kind, dropped, err) != 0) return fail(err);
  std::cout << "dropped " << dropped << " item(s)" << std::endl;
  return 0;
}

int runQuarantineList() {
  std::string err;
  Json::Value list;
  if (flxadmin::quarantineList(list, err) != 0) return fail(err);
  printf("%-24s %-20s %-28s %-10s %-20s %s\n", "NAME", "TIME", "API", "METHOD", "DEVICE", "BYTES");
  for (const Json::Value& e : list) {
    char when[32] = "-";
    const time_t t = static_cast<time_t>(e["time"].asInt64());
    struct tm tm;
    if (gmtime_r(&t, &tm) != nullptr) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%SZ", &tm);
    printf("%-24s %-20s %-28s %-10s %-20s %s\n", e["name"].asCString(), when, e["api"].asCString(),
           e["method"].asCString(), e["device"].asCString(), e["bytes"].asString().c_str());
  }
  return 0;
}

int runQuarantineDrop(const Options& o) {
  std::string err;
  int dropped = 0;
  if (flxadmin::quarantineDrop(o.name, dropped, err) != 0) return fail(err);
  std::cout << "dropped " << dropped << " request(s)" << std::endl;
  return 0;
}

int runHistoryRebuild() {
  std::string err, aside;
  int devices = 0;
  if (flxadmin::historyRebuild(aside, devices, err) != 0) return fail(err);
  if (!aside.empty())
    std::cout << "moved the corrupt history database aside: " << aside << std::endl;
  std::cout << "rebuilt the history of " << devices << " device(s)" << std::endl;
  return 0;
}

int run(int argc, char** argv) {
  CLI::App app{
      "Operator tool of the FLX host: its folders, databases, devices, sessions, spool, "
      "quarantine, history and operators.",
      "flx-admin"};
  app.require_subcommand(1);
  Options o;

  // Commands that run after the parse, so that their audit entry can see the stores before.
  flxadmin::Commands commands;
  commands.emplace_back(app.add_subcommand("init",
                                           "Create the folders, databases, push key and host "
                                           "settings that are missing (changes nothing else)"),
                        runInit);

  CLI::App* device = app.add_subcommand("device", "Managed devices");
  device->require_subcommand(1);
  CLI::App* devAdd = device->add_subcommand("add", "Register a device; prints its id");
  devAdd->add_option("--sn", o.sn, "Serial number")->required();
  devAdd->add_option("--hostname", o.hostname, "Host name");
  CLI::App* devShow =
      device->add_subcommand("show", "Print everything stored for a device as one JSON object");
  devShow->add_option("SN", o.sn, "Serial number")->required();
  commands.emplace_back(devAdd, [&o] { return runDeviceAdd(o); });
  commands.emplace_back(devShow, [&o] { return runDeviceShow(o); });

  CLI::App* session = app.add_subcommand("session", "Push sessions of devices");
  session->require_subcommand(1);
  CLI::App* sesAdd = session->add_subcommand("add", "Create a push session; prints its id");
  sesAdd->add_option("--sn", o.sn, "Serial number of the device")->required();
  sesAdd->add_option("--sid", o.sid, "Session id (default: 32 random hex digits)");
  sesAdd->add_option("--ttl", o.ttl, "Lifetime in seconds (default 0: no expiry)");
  CLI::App* sesRemove = session->add_subcommand("remove", "Remove a push session");
  sesRemove->add_option("SID", o.sid, "Session id")->required();
  commands.emplace_back(sesAdd, [&o] { return runSessionAdd(o); });
  commands.emplace_back(sesRemove, [&o] { return runSessionRemove(o); });
  flxadmin::addDeviceCommands(*device, commands);
  flxadmin::addKeyCommands(app, commands);

  CLI::App* spool =
      app.add_subcommand("spool", "Items a busy store could not take, kept for later");
  spool->require_subcommand(1);
  CLI::App* spList = spool->add_subcommand("list", "List the spooled items");
  spList->add_option("--device", o.device, "Only this device id");
  CLI::App* spReplay =
      spool->add_subcommand("replay", "Store the spooled items now, through the push module");
  spReplay->add_option("--device", o.device, "Only this device id");
  spReplay->add_option("--module", o.module,
                       "The push module to replay through (default: the installed one)");
  CLI::App* spDrop = spool->add_subcommand("drop", "Remove spooled items without storing them");
  spDrop->add_option("--device", o.device, "Device id")->required();
  spDrop->add_option("--kind", o.kind, "Only this kind, as GROUP.MODULE (e.g. storage.storage)");
  commands.emplace_back(spList, [&o] { return runSpoolList(o); });
  commands.emplace_back(spReplay, [&o] { return runSpoolReplay(o); });
  commands.emplace_back(spDrop, [&o] { return runSpoolDrop(o); });
  CLI::App* quarantine =
      app.add_subcommand("quarantine", "Requests that killed two host workers, never run again");
  quarantine->require_subcommand(1);
  CLI::App* quList = quarantine->add_subcommand("list", "List the quarantined requests");
  CLI::App* quDrop = quarantine->add_subcommand("drop", "Remove quarantined requests");
  quDrop->add_option("NAME", o.name, "Only this one (default: all)");
  commands.emplace_back(quList, runQuarantineList);
  commands.emplace_back(quDrop, [&o] { return runQuarantineDrop(o); });
  CLI::App* history = app.add_subcommand("history", "The history of the devices' changes");
  history->require_subcommand(1);
  CLI::App* hiRebuild = history->add_subcommand(
      "rebuild",
      "Recompute baselines and summaries from the stores (a corrupt database is made anew)");
  commands.emplace_back(hiRebuild, runHistoryRebuild);
  flxadmin::addEnrollCommands(app, *device, *session, commands);
  flxadmin::addOperatorCommands(app, *device, commands);
  flxadmin::addOperateCommands(app, commands);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usageError(app, e);
  }

  const auto dispatch = [&]() -> int {
    for (const auto& command : commands) {
      if (command.first->parsed()) return command.second();
    }
    std::cerr << "flx-admin: no command given; run 'flx-admin --help' for usage" << std::endl;
    return kExitUsage;
  };
  const std::string groupBefore = flxadmin::commandDeviceGroup(app);
  const int rc = dispatch();
  // Every command run is in the audit trail, whoever typed it on the host: root.
  if (rc != kExitUsage) flxadmin::auditCommand(app, rc, groupBefore);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    return fail(std::string("internal error: ") + e.what());
  }
}
