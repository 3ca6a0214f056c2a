#include "admin_enroll_cli.h"

#include <stdio.h>
#include <time.h>

#include <iostream>
#include <memory>
#include <string>

#include "admin_enroll.h"

#include "admin_util.h"

namespace flxadmin {

namespace {

// The options of every enrollment command; one parse fills one of them.
struct Values {
  EnrollOptions enroll;
  std::string id;
  std::string sn;
};

int runEnrollAdd(const Values& v) {
  std::string line, err;
  if (enrollAdd(v.enroll, line, err) != 0) return fail(err);
  std::cout << line << std::endl;
  return 0;
}

int runEnrollList() {
  Json::Value list;
  std::string err;
  if (enrollList(list, err) != 0) return fail(err);
  printf("%-8s %-9s %-16s %-21s %-6s %-8s %s\n", "ID", "STATE", "GROUP", "EXPIRES", "USES",
         "APPROVE", "SESSION_TTL");
  for (const Json::Value& s : list) {
    const int64_t uses = s["uses_left"].asInt64();
    printf("%-8s %-9s %-16s %-21s %-6s %-8s %s\n", s["id"].asCString(), s["state"].asCString(),
           s["group"].asString().empty() ? "-" : s["group"].asCString(),
           timeText(s["expires"].asInt64()).c_str(),
           uses < 0 ? "any" : std::to_string(uses).c_str(), s["approve"].asBool() ? "yes" : "no",
           s["session_ttl"].asString().c_str());
  }
  return 0;
}

int runDevicePending() {
  Json::Value list;
  std::string err;
  if (devicePending(list, err) != 0) return fail(err);
  printf("%-28s %-24s %-16s %s\n", "SN", "HOSTNAME", "GROUP", "ENROLLED");
  for (const Json::Value& d : list) {
    printf("%-28s %-24s %-16s %s\n", d["sn"].asCString(), d["hostname"].asCString(),
           d["group"].asString().empty() ? "-" : d["group"].asCString(),
           timeText(d["enrolled"].asInt64()).c_str());
  }
  return 0;
}

int runSessionList(const Values& v) {
  Json::Value list;
  std::string err;
  if (sessionList(v.sn, list, err) != 0) return fail(err);
  printf("%-28s %-16s %-20s %-21s %s\n", "SN", "IDENTITY", "HOSTNAME", "CREATED", "EXPIRES");
  for (const Json::Value& s : list) {
    const std::string fp = s["fingerprint"].asString();
    printf("%-28s %-16s %-20s %-21s %s\n", s["sn"].asCString(),
           fp.empty() ? "-" : fp.substr(0, 16).c_str(),
           s["hostname"].asString().empty() ? "-" : s["hostname"].asCString(),
           timeText(s["created"].asInt64()).c_str(),
           s["expiry"].asInt64() == 0 ? "never" : timeText(s["expiry"].asInt64()).c_str());
  }
  return 0;
}

int runCertShow() {
  std::string hash, err;
  Json::Value info;
  if (certShow(hash, info, err) != 0) return fail(err);
  std::cout << hash << std::endl;
  std::cout << "ca:          " << info["ca"].asString() << " (until "
            << info["ca_expires"].asString() << ")" << std::endl;
  std::cout << "certificate: " << info["certificate"].asString();
  if (info.isMember("names")) {
    std::cout << " (until " << info["expires"].asString() << ")" << std::endl
              << "names:       " << info["names"].asString() << std::endl;
    if (!info["signed_by_ca"].asBool())
      std::cout << "note: the certificate is not signed by the CA: machines enrolling with this "
                   "hash cannot trust the site"
                << std::endl;
  } else {
    std::cout << " (missing)" << std::endl;
  }
  return 0;
}

int simple(int (*op)(const std::string&, std::string&), const std::string& arg) {
  std::string err;
  return op(arg, err) != 0 ? fail(err) : 0;
}

}  // namespace

void addEnrollCommands(CLI::App& app, CLI::App& device, CLI::App& session, Commands& commands) {
  auto v = std::make_shared<Values>();
  CLI::App* enroll = app.add_subcommand("enroll", "Secrets with which machines enroll themselves");
  enroll->require_subcommand(1);
  CLI::App* add = enroll->add_subcommand(
      "add", "Create an enrollment secret; prints the line to run on each device");
  add->add_option("--group", v->enroll.group, "Group of the devices that enroll with it");
  add->add_option("--ttl", v->enroll.ttl, "Seconds the secret may be used (0: no expiry)")
      ->capture_default_str();
  add->add_option("--uses", v->enroll.uses, "How many devices may enroll with it (0: any)")
      ->capture_default_str();
  add->add_flag("--approve", v->enroll.approve,
                "Devices wait in 'flx-admin device pending' until approved");
  add->add_option("--session-ttl", v->enroll.sessionTtl,
                  "Lifetime in seconds of the devices' sessions, renewed by the agent (default "
                  "30 days)");
  add->add_option("--url", v->enroll.url,
                  "The host as devices reach it (default https://<this host's FQDN>)");
  commands.emplace_back(add, [v] { return runEnrollAdd(*v); });
  commands.emplace_back(enroll->add_subcommand("list", "List the enrollment secrets"),
                        [] { return runEnrollList(); });
  CLI::App* remove = enroll->add_subcommand("remove", "Revoke an enrollment secret");
  remove->add_option("ID", v->id, "The secret's id (the token's part before the dot)")->required();
  commands.emplace_back(remove, [v] { return simple(enrollRemove, v->id); });

  commands.emplace_back(device.add_subcommand("pending", "List the devices waiting for approval"),
                        [] { return runDevicePending(); });
  CLI::App* approve = device.add_subcommand(
      "approve", "Let a pending device push, or clear a device's identity-conflict mark");
  approve->add_option("SN", v->sn, "Serial number")->required();
  commands.emplace_back(approve, [v] { return simple(deviceApprove, v->sn); });
  CLI::App* reject = device.add_subcommand(
      "reject", "Refuse a device: its sessions go, and the same machine cannot enroll again");
  reject->add_option("SN", v->sn, "Serial number")->required();
  commands.emplace_back(reject, [v] { return simple(deviceReject, v->sn); });

  CLI::App* list = session.add_subcommand(
      "list", "List sessions: device, identity, creation and expiry (never the id)");
  list->add_option("--sn", v->sn, "Only this device's");
  commands.emplace_back(list, [v] { return runSessionList(*v); });

  CLI::App* cert = app.add_subcommand("cert", "The host's CA and site certificate");
  cert->require_subcommand(1);
  commands.emplace_back(
      cert->add_subcommand("show", "Print the CA hash for join lines, and the certificate's names"),
      [] { return runCertShow(); });
}

}  // namespace flxadmin
