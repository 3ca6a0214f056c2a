// Devices: the list with states in words, sessions, and decommissioning.
#include "admin_device.h"

#include <stdio.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "admin_enroll.h"
#include "admin_enroll_cli.h"
#include "admin_util.h"
#include "flxremove.h"
#include "writer.h"

namespace flxadmin {

std::string statusWord(int status) {
  switch (status) {
    case KEVOFLX_QX_STATUS_UNKNOWN:
      return "unknown";
    case KEVOFLX_QX_STATUS_REGISTERED:
      return "registered";
    case KEVOFLX_QX_STATUS_ONLINE:
      return "online";
  }
  return "status-" + std::to_string(status);
}

int deviceStates(Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    flxread::ListQuery q;
    q.sort = "id";
    q.page.limit = flxread::kMaxPage;
    Json::Value all(Json::arrayValue);
    Json::Value admissions;
    if (deviceAdmissions(admissions, err) != 0) return 1;
    for (;;) {
      Json::Value page;
      if (flxread::deviceList(q, page, err) != flxread::kOk) return 1;
      for (const Json::Value& d : page["devices"]) {
        Json::Value item(Json::objectValue);
        item["id"] = d["id"];
        item["sn"] = d["sn"];
        item["hostname"] = d["hostname"];
        item["status"] = statusWord(d["status"].asInt());
        item["state"] = d["stale"].asBool() ? "stale" : "reporting";
        const Json::Value& a = admissions[d["sn"].asString()];
        item["enrollment"] =
            (a.isObject() ? a["state"].asString() : std::string("registered")) +
            (a.isObject() && a["identity_conflict"].asBool() ? ",identity-conflict" : "");
        item["last_contact"] = d["last_contact"];
        item["last_collect"] = d["last_collect"];
        item["push_interval"] = d["push_interval"];
        all.append(item);
      }
      q.page.offset += q.page.limit;
      if (page["devices"].size() < static_cast<Json::ArrayIndex>(q.page.limit)) break;
    }
    out.swap(all);
    return 0;
  });
}

int decommission(const std::string& sn, std::vector<std::string>& removed, std::string& err) {
  return guardedOp(err, [&] {
    // The history's rows go through its writer, which keeps the fleet's software counts.
    flxhistory::Writer history;
    flxremove::Options options;
    options.forgetHistory = [&history](int64_t id, std::string& why) {
      return history.forgetDevice(id, why);
    };
    flxremove::Report report;
    const flxremove::Result r = flxremove::RemoveDevice(sn, options, report);
    removed = report.removed;
    if (r == flxremove::kRemoved) return 0;
    if (r == flxremove::kNotFound) {
      err = report.error + "; see 'flx-admin device list'";
      return 1;
    }
    std::string left;
    for (const std::string& step : report.left) left += (left.empty() ? "" : ", ") + step;
    err = report.error + "; not removed yet: " + left + "; run 'flx-admin device remove " + sn +
          " --yes' again to finish";
    return 1;
  });
}

namespace {

struct DeviceArgs {
  std::string sn;
  bool yes = false;
};

int runList() {
  std::string err;
  Json::Value list;
  if (deviceStates(list, err) != 0) return fail(err);
  printf("%-6s %-24s %-24s %-10s %-9s %-22s %s\n", "ID", "SN", "HOSTNAME", "STATUS", "STATE",
         "LAST CONTACT", "ENROLLMENT");
  for (const Json::Value& d : list) {
    printf("%-6s %-24s %-24s %-10s %-9s %-22s %s\n", d["id"].asString().c_str(),
           d["sn"].asCString(), d["hostname"].asCString(), d["status"].asCString(),
           d["state"].asCString(),
           d["last_contact"].isNull() ? "never" : timeText(d["last_contact"].asInt64()).c_str(),
           d["enrollment"].asCString());
  }
  return 0;
}

int runRemove(const DeviceArgs& a) {
  if (!a.yes) {
    if (!isatty(STDIN_FILENO))
      return fail("not removing device '" + a.sn +
                  "': no terminal to ask for confirmation; add --yes to remove it");
    std::cout << "Remove device " << a.sn
              << " and everything stored for it (records, cache rows, mirror folder, spool, "
                 "sessions, history)? [y/N] "
              << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "yes"))
      return fail("device '" + a.sn + "' not removed");
  }
  std::string err;
  std::vector<std::string> removed;
  const int rc = decommission(a.sn, removed, err);
  for (const std::string& line : removed) std::cout << "removed " << line << std::endl;
  return rc != 0 ? fail(err) : 0;
}

}  // namespace

void addDeviceCommands(CLI::App& device, Commands& commands) {
  auto args = std::make_shared<DeviceArgs>();
  commands.emplace_back(device.add_subcommand("list",
                                              "List the devices: status and state (reporting, "
                                              "stale) in words, and the last contact"),
                        [] { return runList(); });
  CLI::App* remove = device.add_subcommand(
      "remove", "Remove a device and everything stored for it; says what it removed, asks first");
  remove->add_option("SN", args->sn, "Serial number")->required();
  remove->add_flag("--yes", args->yes, "Do not ask (needed without a terminal)");
  commands.emplace_back(remove, [args] { return runRemove(*args); });
}

}  // namespace flxadmin
