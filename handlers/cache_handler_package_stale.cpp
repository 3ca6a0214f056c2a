// Stale package removal: packages the registry holds for the device but the push no longer
// names lose their mirrored INFO file and their record.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>

#include <string>

#include "common/flx_log.h"
#include "common/json_util.h"
#include "common/mirror_fs.h"
#include "common/privilege.h"
#include "flxhandles.h"
#include "handlers/cache_handler_package.h"
#include "handlers/cache_handler_package_util.h"

static const char kSource[] = "cache_handler_package";

namespace {

constexpr int kLinePkgList = 541;
constexpr int kLineRemoveInfo = 550;
constexpr int kLineDeletePkg = 554;

// Whether `pkgId` is the "id" text of an element of `packages` (false unless an array).
bool isPushedPackage(const Json::Value& packages, const std::string& pkgId) {
  if (!packages.isArray()) return false;
  for (Json::ArrayIndex i = 0; i < packages.size(); ++i) {
    bool ok = false;
    std::string id = flx::jsonText(flx::jsonMember(flx::jsonAt(packages, i), "id"), &ok);
    if (ok && id == pkgId) return true;
  }
  return false;
}

// rm -rf of <folder>/INFO. The folder is opened without passing a link, and rm reaches it
// through the inherited descriptor, so a linked package folder is never followed.
int removeInfoFile(const char* folder) {
  PrivilegedSection priv(kSource, kLineRemoveInfo);
  flx::Fd dir = flx::openDirNoFollow(folder, false);
  // No folder, or a plain file in its place: rm -rf finds no INFO there, and succeeds.
  if (!dir.ok()) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
  int flags = fcntl(dir.get(), F_GETFD);
  if (flags < 0 || fcntl(dir.get(), F_SETFD, flags & ~FD_CLOEXEC) < 0) return -1;
  char szPath[64];
  snprintf(szPath, sizeof(szPath), "/proc/self/fd/%d/INFO", dir.get());
  return KVLIBExec("/bin/rm", "-rf", szPath, NULL, NULL);
}

// Removes the package's mirrored INFO file, then its record; a record whose INFO file could
// not be removed stays. A stored id that cannot name a folder has no mirror of ours: only the
// record goes.
void removeStalePackage(uint64_t qxId, const KEVOFLX_PKG& rec) {
  int removed = 0;
  char szPath[pkg::kPathSize];
  if (!pkg::isUsablePackageId(rec.pkg_id)) {
    FLX_LOG_ERR(__LINE__,
                "%s:%d package id [%s] of qx %llu names no mirror folder; files left alone",
                flx::logText(rec.pkg_id).c_str(), static_cast<unsigned long long>(qxId));
  } else if (!pkg::packagePath(szPath, qxId, rec.pkg_id, "")) {
    removed = -1;
  } else {
    removed = removeInfoFile(szPath);
  }
  int deleted = 0;
  if (removed >= 0) deleted = KEVOFLXPkgDelete(rec.id);
  if (removed < 0 || deleted < 0) {
    FLX_LOG_ERR(kLineDeletePkg, "%s:%d delete pkg cache, id: %llu, pkgname: %s",
                static_cast<unsigned long long>(qxId), flx::logText(rec.pkg_id).c_str());
  }
}

}  // namespace

int removeStalePackages(const Json::Value& data, uint64_t qxId) {
  char szQxId[64];
  snprintf(szQxId, sizeof(szQxId), "%llu", static_cast<unsigned long long>(qxId));
  PkgList pkgs;
  HashPtr filter = makeFilter("qx_id", szQxId);
  int total = 0;
  if (!filter || KEVOFLXPkgList(filter.get(), pkgs.addr(), &total) < 0) {
    FLX_LOG_ERR(kLinePkgList, "%s:%d fail to get pkg list");
    return -1;
  }
  const Json::Value& pushed = flx::jsonMember(data, "packages");
  for (const KEVOFLX_PKG* rec = pkgs.get(); rec != nullptr; rec = rec->pNext) {
    if (!isPushedPackage(pushed, rec->pkg_id)) removeStalePackage(qxId, *rec);
  }
  return 0;
}
