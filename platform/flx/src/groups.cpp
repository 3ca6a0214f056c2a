// Groups of devices and operators' roles and scopes.
#include <time.h>

#include "flx_schema.h"
#include "flxoperators.h"
#include "registry_db.h"

using namespace flxreg;

namespace flxops {

namespace {

int64_t now() {
  return static_cast<int64_t>(time(nullptr));
}

// The id of group `name`: > 0, 0 when unknown, -1 on failure.
int64_t groupId(const Db& db, const std::string& name) {
  Stmt st(db, "SELECT id FROM " KEVOFLX_TABLE_GROUPS " WHERE name = ?");
  st.bind(name);
  const int rc = st.step();
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return -1;
  int64_t id = 0;
  st.read(id);
  return id;
}

}  // namespace

bool ValidGroupName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (unsigned char c : name)
    if (c <= ' ' || c >= 0x7f) return false;
  return true;
}

int AddGroup(const std::string& name) {
  return guarded("add a group", -1, [&] {
    if (!ValidGroupName(name)) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "INSERT INTO " KEVOFLX_TABLE_GROUPS "(name, created) VALUES(?, ?)");
    st.bind(name);
    st.bind(now());
    return st.run() ? 0 : -1;
  });
}

int RemoveGroup(const std::string& name) {
  return guarded("remove a group", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Transaction tx(db);
    if (!tx.ok()) return -1;
    const int64_t id = groupId(db, name);
    if (id <= 0) {
      if (id == 0) FLXREG_ERR(KVERR_NOT_FOUND);
      return -1;
    }
    Stmt used(db, "SELECT count(*) FROM " KEVOFLX_TABLE_DEVICE_GROUPS " WHERE group_id = ?");
    used.bind(id);
    int64_t devices = 0;
    if (used.step() != SQLITE_ROW) return -1;
    used.read(devices);
    if (devices > 0) return 1;
    Stmt del(db, "DELETE FROM " KEVOFLX_TABLE_GROUPS " WHERE id = ?");
    del.bind(id);
    if (!del.run()) return -1;
    return tx.commit() ? 0 : -1;
  });
}

int ListGroups(std::vector<Group>& out) {
  return guarded("list the groups", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "SELECT g.name, (SELECT count(*) FROM " KEVOFLX_TABLE_DEVICE_GROUPS
                " m WHERE m.group_id = g.id), g.created FROM " KEVOFLX_TABLE_GROUPS
                " g ORDER BY g.name");
    return collectInto(st, out, [&](Group& g) {
      st.read(g.name);
      st.read(g.devices);
      st.read(g.created);
    });
  });
}

int GroupExists(const std::string& name) {
  return guarded("read a group", -1, [&]() -> int {
    Db db;
    if (!db.ok()) return -1;
    const int64_t id = groupId(db, name);
    return id < 0 ? -1 : (id > 0 ? 1 : 0);
  });
}

int SetDeviceGroup(const std::string& sn, const std::string& group) {
  return guarded("set a device's group", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Transaction tx(db);
    if (!tx.ok()) return -1;
    Stmt dev(db, "SELECT id FROM " KEVOFLX_TABLE_DEVICES " WHERE sn = ?");
    dev.bind(sn);
    const int rc = dev.step();
    if (rc != SQLITE_ROW) {
      if (rc == SQLITE_DONE) FLXREG_ERR(KVERR_NOT_FOUND);
      return -1;
    }
    int64_t deviceId = 0;
    dev.read(deviceId);
    if (group.empty()) {
      Stmt del(db, "DELETE FROM " KEVOFLX_TABLE_DEVICE_GROUPS " WHERE device_id = ?");
      del.bind(deviceId);
      if (!del.run()) return -1;
    } else {
      const int64_t id = groupId(db, group);
      if (id <= 0) {
        if (id == 0) FLXREG_ERR(KVERR_NOT_FOUND);
        return -1;
      }
      Stmt put(db, "INSERT OR REPLACE INTO " KEVOFLX_TABLE_DEVICE_GROUPS
                   "(device_id, group_id) VALUES(?, ?)");
      put.bind(deviceId);
      put.bind(id);
      if (!put.run()) return -1;
    }
    return tx.commit() ? 0 : -1;
  });
}

int DeviceGroup(const std::string& sn, std::string& group) {
  return guarded("read a device's group", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    return flxreg::deviceGroup(db, sn, group) ? 0 : -1;
  });
}

int RevokeSessions(const std::string& sn, int64_t& removed) {
  return guarded("revoke a device's sessions", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "DELETE FROM " KEVOFLX_TABLE_SESSIONS " WHERE sn = ?");
    st.bind(sn);
    if (!st.run()) return -1;
    removed = sqlite3_changes(db.handle());
    return 0;
  });
}

bool ValidRole(const std::string& role) {
  return role == "viewer" || role == "admin" || role == "metrics";
}

int SetAccess(const Access& a) {
  return guarded("set an operator's role", -1, [&] {
    if (!ValidRole(a.role) || a.expires < 0) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Transaction tx(db);
    if (!tx.ok()) return -1;
    Stmt put(db, "INSERT OR REPLACE INTO " KEVOFLX_TABLE_OPERATOR_ACCESS
                 "(name, role, scoped, expires) VALUES(?, ?, ?, ?)");
    put.bind(a.name);
    put.bind(a.role);
    put.bind(static_cast<int64_t>(a.scoped ? 1 : 0));
    put.bind(a.expires);
    if (!put.run()) return -1;  // an unknown operator fails its foreign key: "not found"
    Stmt clear(db, "DELETE FROM " KEVOFLX_TABLE_OPERATOR_GROUPS " WHERE name = ?");
    clear.bind(a.name);
    if (!clear.run()) return -1;
    for (const std::string& g : a.groups) {
      const int64_t id = groupId(db, g);
      if (id <= 0) {
        if (id == 0) FLXREG_ERR(KVERR_NOT_FOUND);
        return -1;
      }
      Stmt add(db, "INSERT OR IGNORE INTO " KEVOFLX_TABLE_OPERATOR_GROUPS
                   "(name, group_id) VALUES(?, ?)");
      add.bind(a.name);
      add.bind(id);
      if (!add.run()) return -1;
    }
    return tx.commit() ? 0 : -1;
  });
}

int ListAccess(std::vector<Access>& out) {
  return guarded("list the operators", -1, [&] {
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db,
            "SELECT o.name, coalesce(a.role, 'viewer'), coalesce(a.scoped, 0), "
            "coalesce(a.expires, 0), o.created, coalesce((SELECT group_concat(g.name, ' ') "
            "FROM " KEVOFLX_TABLE_OPERATOR_GROUPS " og JOIN " KEVOFLX_TABLE_GROUPS
            " g ON g.id = og.group_id WHERE og.name = o.name), '') FROM " KEVOFLX_TABLE_OPERATORS
            " o LEFT JOIN " KEVOFLX_TABLE_OPERATOR_ACCESS " a ON a.name = o.name ORDER BY o.name");
    return collectInto(st, out, [&](Access& a) {
      int64_t scoped = 0;
      std::string groups;
      st.read(a.name);
      st.read(a.role);
      st.read(scoped);
      st.read(a.expires);
      st.read(a.created);
      st.read(groups);
      a.scoped = scoped != 0;
      for (size_t at = 0; at < groups.size();) {
        size_t end = groups.find(' ', at);
        if (end == std::string::npos) end = groups.size();
        a.groups.push_back(groups.substr(at, end - at));
        at = end + 1;
      }
    });
  });
}

}  // namespace flxops

bool flxreg::deviceGroup(const Db& db, const std::string& sn, std::string& group) {
  Stmt st(db, "SELECT d.id, coalesce(g.name, '') FROM " KEVOFLX_TABLE_DEVICES
              " d LEFT JOIN " KEVOFLX_TABLE_DEVICE_GROUPS
              " m ON m.device_id = d.id LEFT JOIN " KEVOFLX_TABLE_GROUPS
              " g ON g.id = m.group_id WHERE d.sn = ?");
  st.bind(sn);
  const int rc = st.step();
  if (rc != SQLITE_ROW) {
    if (rc == SQLITE_DONE) FLXREG_ERR(KVERR_NOT_FOUND);
    return false;
  }
  int64_t id = 0;
  st.read(id);
  st.read(group);
  return true;
}
