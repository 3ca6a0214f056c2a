// The spool commands run the module's own dispatch code, linked into flx-admin.
#include "admin_spool.h"

#include <set>

#include "admin_util.h"
#include "common/device_lock.h"
#include "handlers/spool.h"

namespace flxadmin {

int spoolList(uint64_t id, Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    out = Json::Value(Json::arrayValue);
    for (const SpoolEntry& e : ::spoolList(id)) {
      Json::Value item(Json::objectValue);
      item["id"] = Json::UInt64(e.id);
      item["kind"] = e.kind;
      item["collect_time"] = Json::UInt64(e.collect_time);
      item["bytes"] = Json::UInt64(e.bytes);
      item["path"] = e.path;
      out.append(item);
    }
    return 0;
  });
}

int spoolReplay(uint64_t id, int& replayed, std::string& err) {
  return guardedOp(err, [&] {
    replayed = 0;
    std::set<uint64_t> devices;
    for (const SpoolEntry& e : ::spoolList(id)) devices.insert(e.id);
    for (uint64_t dev : devices) {
      DeviceLock lock(dev);
      if (!lock.held()) {
        err = "device " + std::to_string(dev) +
              " is being pushed for and stays locked; run 'flx-admin spool replay' again later";
        return 1;
      }
      replayed += ::spoolReplay(dev, true);
    }
    if (!::spoolList(id).empty()) {
      err =
          "some items stay in the spool (see the system log for why); run 'flx-admin spool "
          "replay' again when the stores take writes";
      return 1;
    }
    return 0;
  });
}

int spoolDrop(uint64_t id, const std::string& kind, int& dropped, std::string& err) {
  return guardedOp(err, [&] {
    dropped = 0;
    DeviceLock lock(id);
    for (const SpoolEntry& e : ::spoolList(id)) {
      if (!kind.empty() && e.kind != kind) continue;
      if (::spoolDrop(e) != 0) {
        err = "cannot remove " + e.path + "; run as root";
        return 1;
      }
      ++dropped;
    }
    return 0;
  });
}

}  // namespace flxadmin
