// Groups of devices, operators' roles and scopes, and the audit trail, in the device registry.
// flx-admin, the inventory and management methods and enrollment use it; nothing here throws.
#ifndef FLX_OPERATORS_H
#define FLX_OPERATORS_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace flxops {

struct Group {
  std::string name;
  int64_t devices = 0;
  int64_t created = 0;
};

// Group names are keys that operators type: printable ASCII without spaces, 1 to 64 bytes.
bool ValidGroupName(const std::string& name);
// 0, or -1 (error slot: "exists" for a name in use, "invalid argument").
int AddGroup(const std::string& name);
// 0; 1 when devices are still in it (nothing removed); -1 ("not found" when unknown).
int RemoveGroup(const std::string& name);
int ListGroups(std::vector<Group>& out);
// 1 when the group exists, 0 when not, -1 on failure.
int GroupExists(const std::string& name);
// Puts device `sn` in `group` (empty: in none). -1 ("not found") for an unknown device or
// group.
int SetDeviceGroup(const std::string& sn, const std::string& group);
// 0 with `group` filled (empty: in none); -1 ("not found") for an unknown device.
int DeviceGroup(const std::string& sn, std::string& group);

// Removes every session of device `sn`; `removed` gets their number.
int RevokeSessions(const std::string& sn, int64_t& removed);

// What an operator's token may do. Operators made before roles existed read everything.
struct Access {
  std::string name;
  std::string role = "viewer";      // viewer, admin or metrics
  bool scoped = false;              // false: every group (and devices in none)
  std::vector<std::string> groups;  // when scoped: the groups it reads or acts on
  int64_t expires = 0;              // seconds since the epoch; 0: never
  int64_t created = 0;
};
bool ValidRole(const std::string& role);
// Sets operator `a.name`'s role, groups and expiry. -1 ("not found") for an unknown operator
// or group.
int SetAccess(const Access& a);
// Every operator with its access, by name.
int ListAccess(std::vector<Access>& out);

// One line of the audit trail: who (an operator, a device, or "root" on the host), what,
// which object and device, when, from where, and the result. Never a token or session id.
struct AuditEntry {
  int64_t id = 0;
  int64_t at = 0;  // 0 when appending: now
  std::string who;
  std::string action;
  std::string object;
  std::string device;
  std::string group;  // of the device or object, for scoped readers of the trail
  std::string address;
  std::string result;
};
// Appends an entry. 0 or -1.
int Audit(const AuditEntry& e);
// Counts a refusal of kind `e.action` and appends its entry unless one of the same action
// from the same address is younger than `windowSeconds` (a flood leaves a trace, not a flood).
int AuditRefusal(const AuditEntry& e, int64_t windowSeconds);
struct AuditQuery {
  int64_t since = 0;
  std::string who;
  std::string device;
  bool scoped = false;  // only entries of these groups
  std::vector<std::string> groups;
  int64_t limit = 1000;
};
// Newest first.
int ListAudit(const AuditQuery& q, std::vector<AuditEntry>& out);
// Sets the retention and removes the entries older than it; `removed` gets their number.
int PruneAudit(int64_t retentionDays, int64_t& removed);
// The refusals counted by AuditRefusal: (kind, count).
int AuditCounts(std::vector<std::pair<std::string, int64_t>>& out);

}  // namespace flxops

#endif  // FLX_OPERATORS_H
