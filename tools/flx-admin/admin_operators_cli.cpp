#include "admin_operators_cli.h"

#include <stdio.h>
#include <time.h>

#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "admin.h"
#include "admin_util.h"
#include "flxoperators.h"

namespace flxadmin {

namespace {

struct Values {
  std::string name;
  std::string sn;
  std::string role = "viewer";
  std::vector<std::string> groups;
  int64_t expiresDays = 0;
  int64_t since = 0;
  std::string who;
  int64_t retentionDays = 0;
};

int runGroupAdd(const Values& v) {
  if (!flxops::ValidGroupName(v.name))
    return fail("invalid group '" + v.name + "': use 1 to 64 printable characters, no spaces");
  if (flxops::AddGroup(v.name) == 0) return 0;
  if (KVLIBErrGet() == KEVOFLX_ERR_EXISTS) return fail("group '" + v.name + "' already exists");
  return fail(registryError("cannot add group '" + v.name + "'"));
}

int runGroupList() {
  std::vector<flxops::Group> groups;
  if (flxops::ListGroups(groups) != 0) return fail(registryError("cannot list the groups"));
  printf("%-24s %-8s %s\n", "NAME", "DEVICES", "CREATED");
  for (const flxops::Group& g : groups)
    printf("%-24s %-8lld %s\n", g.name.c_str(), static_cast<long long>(g.devices),
           timeText(g.created).c_str());
  return 0;
}

int runGroupRemove(const Values& v) {
  const int rc = flxops::RemoveGroup(v.name);
  if (rc == 0) return 0;
  if (rc == 1)
    return fail("group '" + v.name +
                "' still has devices; move them with 'flx-admin device group'");
  if (KVLIBErrGet() == KVERR_NOT_FOUND) return fail("no group '" + v.name + "'");
  return fail(registryError("cannot remove group '" + v.name + "'"));
}

int runDeviceGroup(const Values& v) {
  if (flxops::SetDeviceGroup(v.sn, v.name) == 0) return 0;
  if (KVLIBErrGet() == KVERR_NOT_FOUND)
    return fail("no device '" + v.sn + "' or no group '" + v.name + "'");
  return fail(registryError("cannot set the group of '" + v.sn + "'"));
}

int runOperatorAdd(const Values& v) {
  if (!flxops::ValidRole(v.role)) return fail("--role is one of viewer, admin, metrics");
  if (v.role == "metrics" && !v.groups.empty())
    return fail("a metrics token reads no devices: it takes no --group");
  if (v.expiresDays < 0 || v.expiresDays > 36500) return fail("--expires takes 0 to 36500 days");
  for (const std::string& g : v.groups) {
    const int known = flxops::GroupExists(g);
    if (known < 0) return fail(registryError("cannot read the groups"));
    if (known == 0) return fail("no group '" + g + "'; create it with 'flx-admin group add'");
  }
  std::string token, err;
  const int64_t ttl = v.expiresDays * 86400;
  if (operatorAdd(v.name, ttl, token, err) != 0) return fail(err);
  flxops::Access a;
  a.name = v.name;
  a.role = v.role;
  a.scoped = !v.groups.empty();
  a.groups = v.groups;
  a.expires = ttl == 0 ? 0 : static_cast<int64_t>(time(nullptr)) + ttl;
  if (flxops::SetAccess(a) != 0) {
    // No token that was never given its role: it would read everything.
    operatorRemove(v.name, err);
    return fail(registryError("cannot set the role of '" + v.name + "'"));
  }
  std::cout << token << std::endl;
  return 0;
}

int runOperatorList() {
  std::vector<flxops::Access> ops;
  if (flxops::ListAccess(ops) != 0) return fail(registryError("cannot list the operators"));
  // The tokens' last use, kept to within a minute.
  Json::Value tokens;
  std::string err;
  if (operatorList(tokens, err) != 0) return fail(err);
  std::map<std::string, int64_t> lastUsed;
  for (const Json::Value& t : tokens) lastUsed[t["name"].asString()] = t["last_used"].asInt64();
  printf("%-20s %-8s %-24s %-21s %-21s %s\n", "NAME", "ROLE", "GROUPS", "CREATED", "EXPIRES",
         "LAST USED");
  for (const flxops::Access& a : ops) {
    std::string groups;
    for (const std::string& g : a.groups) groups += (groups.empty() ? "" : ",") + g;
    if (!a.scoped) groups = a.role == "metrics" ? "-" : "(all)";
    if (a.scoped && groups.empty()) groups = "(none)";
    const int64_t used = lastUsed[a.name];
    printf("%-20s %-8s %-24s %-21s %-21s %s\n", a.name.c_str(), a.role.c_str(), groups.c_str(),
           timeText(a.created).c_str(), a.expires == 0 ? "never" : timeText(a.expires).c_str(),
           used == 0 ? "never" : timeText(used).c_str());
  }
  return 0;
}

int runOperatorRemove(const Values& v) {
  std::string err;
  return operatorRemove(v.name, err) != 0 ? fail(err) : 0;
}

int runAudit(const Values& v) {
  if (v.retentionDays != 0) {
    int64_t removed = 0;
    if (flxops::PruneAudit(v.retentionDays, removed) != 0)
      return fail(registryError("cannot prune the audit trail"));
    std::cout << "kept " << v.retentionDays << " day(s); removed " << removed << " entr"
              << (removed == 1 ? "y" : "ies") << std::endl;
    return 0;
  }
  flxops::AuditQuery q;
  q.since = v.since;
  q.who = v.who;
  q.device = v.sn;
  std::vector<flxops::AuditEntry> list;
  if (flxops::ListAudit(q, list) != 0) return fail(registryError("cannot read the audit trail"));
  printf("%-21s %-16s %-22s %-20s %-24s %-16s %s\n", "WHEN", "WHO", "ACTION", "DEVICE", "OBJECT",
         "ADDRESS", "RESULT");
  for (const flxops::AuditEntry& e : list) {
    auto dash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    printf("%-21s %-16s %-22s %-20s %-24s %-16s %s\n", timeText(e.at).c_str(), e.who.c_str(),
           e.action.c_str(), dash(e.device).c_str(), dash(e.object).c_str(),
           dash(e.address).c_str(), e.result.c_str());
  }
  return 0;
}

}  // namespace

void addOperatorCommands(CLI::App& app, CLI::App& device, Commands& commands) {
  auto v = std::make_shared<Values>();
  CLI::App* group = app.add_subcommand("group", "Groups of devices (sites, customers)");
  group->require_subcommand(1);
  CLI::App* gAdd = group->add_subcommand("add", "Create a group");
  gAdd->add_option("NAME", v->name, "Group name")->required();
  commands.emplace_back(gAdd, [v] { return runGroupAdd(*v); });
  commands.emplace_back(group->add_subcommand("list", "List the groups and their devices"),
                        [] { return runGroupList(); });
  CLI::App* gRemove = group->add_subcommand("remove", "Remove a group that has no devices");
  gRemove->add_option("NAME", v->name, "Group name")->required();
  commands.emplace_back(gRemove, [v] { return runGroupRemove(*v); });

  CLI::App* dGroup = device.add_subcommand("group", "Move a device to a group ('' for none)");
  dGroup->add_option("SN", v->sn, "Serial number")->required();
  dGroup->add_option("NAME", v->name, "Group name")->required();
  commands.emplace_back(dGroup, [v] { return runDeviceGroup(*v); });

  CLI::App* oper = app.add_subcommand("operator", "Operators of the inventory and their tokens");
  oper->require_subcommand(1);
  CLI::App* opAdd =
      oper->add_subcommand("add", "Add an operator; prints its token (shown this once only)");
  opAdd->add_option("NAME", v->name, "Operator name")->required();
  opAdd->add_option("--role", v->role, "viewer (reads), admin (reads and acts), metrics (scrapes)")
      ->capture_default_str();
  opAdd->add_option("--group", v->groups, "A group it reads or acts on (repeat; none: all)");
  opAdd->add_option("--expires", v->expiresDays, "Days until the token expires (0: never)");
  commands.emplace_back(opAdd, [v] { return runOperatorAdd(*v); });
  commands.emplace_back(
      oper->add_subcommand("list", "List operators: role, groups, expiry, last use"),
      [] { return runOperatorList(); });
  CLI::App* opRemove = oper->add_subcommand("remove", "Remove an operator and its token");
  opRemove->add_option("NAME", v->name, "Operator name")->required();
  commands.emplace_back(opRemove, [v] { return runOperatorRemove(*v); });

  CLI::App* audit = app.add_subcommand("audit", "Who did what: the audit trail, newest first");
  audit->add_option("--since", v->since, "Only entries from this time on (seconds since epoch)");
  audit->add_option("--who", v->who, "Only this operator's ('root': the host's command line)");
  audit->add_option("--device", v->sn, "Only entries about this device");
  audit->add_option("--retention-days", v->retentionDays,
                    "Keep this many days and remove older entries (prints nothing else)");
  commands.emplace_back(audit, [v] { return runAudit(*v); });
}

namespace {

// The innermost command parsed in `app`; `words` gets the command's words.
const CLI::App* parsedCommand(const CLI::App& app, std::string& words) {
  const CLI::App* cur = &app;
  while (!cur->get_subcommands().empty()) {
    cur = cur->get_subcommands().front();
    words += (words.empty() ? "" : " ") + cur->get_name();
  }
  return cur;
}

bool namesDevice(const std::string& option) {
  return option == "SN" || option == "--sn" || option == "--device";
}

}  // namespace

std::string commandDeviceGroup(const CLI::App& app) {
  std::string words, group;
  for (const CLI::Option* opt : parsedCommand(app, words)->get_options())
    if (namesDevice(opt->get_name()) && opt->count() != 0)
      flxops::DeviceGroup(opt->results().front(), group);
  return group;
}

void auditCommand(const CLI::App& app, int rc, const std::string& groupBefore) {
  std::string words;
  const CLI::App* cur = parsedCommand(app, words);
  // Commands that only read (and init, which changes nothing on a set-up root) are not
  // actions: the trail keeps what changed.
  const std::string last = cur->get_name();
  if (words == "init" || last == "list" || last == "show" || last == "pending" ||
      (words == "audit" && cur->get_option("--retention-days")->count() == 0))
    return;
  flxops::AuditEntry e;
  e.who = "root";
  e.action = words;
  e.result = rc == 0 ? "ok" : "failed";
  for (const CLI::Option* opt : cur->get_options()) {
    const std::string name = opt->get_name();
    // Session ids are secrets: never in the trail.
    if (opt->count() == 0 || name == "SID" || name == "--sid" || name == "--help") continue;
    for (const std::string& value : opt->results()) {
      if (namesDevice(name)) {
        e.device = value;
      } else {
        e.object +=
            (e.object.empty() ? "" : " ") + (opt->nonpositional() ? name + "=" : "") + value;
      }
    }
  }
  // The device's group now (where a command moved it), else before (a removed one has none).
  if (!e.device.empty()) flxops::DeviceGroup(e.device, e.group);
  if (e.group.empty()) e.group = groupBefore;
  flxops::Audit(e);
}

}  // namespace flxadmin
