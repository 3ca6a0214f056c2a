// The spool commands: files through the spool library, replay through the module itself,
// loaded as the host loads it, so that its items meet the very dispatch and handlers of a push.
#include "admin_spool.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <memory>

#include "admin_util.h"
#include "flxspool.h"
#include "kevoroot.h"

namespace flxadmin {

namespace {

// The module's updateCache (exported with C++ linkage).
using UpdateCache = int (*)(const std::string&, const std::string&, const std::string&, uint64_t,
                            const Json::Value&);
const char kUpdateCacheSymbol[] =
    "_Z11updateCacheRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES6_S6_mRKN4Json5ValueE";

struct ModuleClose {
  void operator()(void* handle) const { dlclose(handle); }
};

// A file's identity and stamp: the module rewrites an item it keeps (a new file by rename).
bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

std::string defaultModulePath() {
  return std::string(KEVORootPrefix()) + KEVO_WEBAPI_DIR + "/KEVO.FLX.RPC.so";
}

int spoolList(uint64_t id, Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    out = Json::Value(Json::arrayValue);
    for (const flxspool::Entry& e : flxspool::list(id)) {
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

int spoolReplay(uint64_t id, const std::string& modulePath, int& replayed, std::string& err) {
  return guardedOp(err, [&] {
    replayed = 0;
    std::unique_ptr<void, ModuleClose> module(dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!module) {
      const char* why = dlerror();
      err = "cannot load the module " + modulePath + ": " + (why != nullptr ? why : "?") +
            "; give its path with --module";
      return 1;
    }
    auto update = reinterpret_cast<UpdateCache>(dlsym(module.get(), kUpdateCacheSymbol));
    if (update == nullptr) {
      err = modulePath + " has no updateCache; give the push module's path with --module";
      return 1;
    }
    for (const flxspool::Entry& e : flxspool::list(id)) {
      Json::Value item;
      struct stat before;
      // Gone meanwhile: the module replayed it with an earlier item of its device.
      if (stat(e.path.c_str(), &before) != 0 || !flxspool::readItem(e.path, item)) continue;
      int rc = update(item["group_name"].asString(), item["module_name"].asString(),
                      item["sn"].asString(), item["collect_time"].asUInt64(), item["data"]);
      struct stat after;
      const bool still = stat(e.path.c_str(), &after) == 0;
      if (rc == 0 && !still) ++replayed;
      // Refused for good (no transient fault, so the module kept nothing): dropped, as a push
      // would have lost it.
      if (rc != 0 && still && sameFile(before, after)) flxspool::drop(e);
    }
    if (!flxspool::list(id).empty()) {
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
    for (const flxspool::Entry& e : flxspool::list(id)) {
      if (!kind.empty() && e.kind != kind) continue;
      if (flxspool::drop(e) != 0) {
        err = "cannot remove " + e.path + "; run as root";
        return 1;
      }
      ++dropped;
    }
    return 0;
  });
}

}  // namespace flxadmin
