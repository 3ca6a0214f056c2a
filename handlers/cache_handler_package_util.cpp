#include "handlers/cache_handler_package_util.h"

#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>

#include "common/flx_log.h"
#include "common/json_util.h"
#include "common/mirror_fs.h"
#include "common/privilege.h"
#include "handlers/cache_handler.h"
#include "kevocore.h"
#include "kevopath.h"
#include "kevoroot.h"

namespace pkg {

const char kSource[] = "cache_handler_package";
const char kLimitFileName[] = "kevopackageslimit.conf";

bool composePath(char* buf, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, kPathSize, fmt, ap);
  va_end(ap);
  if (n >= 0 && static_cast<size_t>(n) < kPathSize) return true;
  FLX_LOG_ERR(__LINE__, "%s:%d path too long: %s", flx::logText(buf).c_str());
  return false;
}

bool pkgsFolderPath(char* buf, uint64_t qxId) {
  return composePath(buf, "%s" KEVO_QXINFO_DIR "/%llu/pkgs", KEVORootPrefix(),
                     static_cast<unsigned long long>(qxId));
}

bool packagePath(char* buf, uint64_t qxId, const std::string& id, const char* tail) {
  return composePath(buf, "%s" KEVO_QXINFO_DIR "/%llu/pkgs/%s%s", KEVORootPrefix(),
                     static_cast<unsigned long long>(qxId), id.c_str(), tail);
}

int makeFolder(const char* folder, int line) {
  PrivilegedSection priv(kSource, line);
  if (!flx::openDirNoFollow(folder, true).ok()) {
    FLX_SHORT_FAILURE(line, "0 > KEVOFSMkdirP(szFolderPath, NULL, TRUE, UID_ERR, GID_ERR, -1)");
    return -1;
  }
  return 0;
}

int mirrorFile(const char* path, const Json::Value& file, const MirrorLines& at) {
  int iTmp = update_file_from_pushed(path, file);
  if (0 > iTmp) {
    if (at.longForm) {
      FLX_LONG_FAILURE(at.write, "0 > iTmp");
    } else {
      FLX_SHORT_FAILURE(at.write, "0 > iTmp");
    }
    return -1;
  }
  if (iTmp != 2) return 0;
  PrivilegedSection priv(kSource, at.chmod);
  if (0 > flx::chmodNoFollow(path, 0644)) {
    FLX_SHORT_FAILURE(at.chmod, "0 > chmod(szPath, 0644)");
    return -1;
  }
  return 0;
}

bool isUsablePackageId(const std::string& id) {
  return isSafePathComponent(id) && id != kLimitFileName;
}

bool readPackageId(const Json::Value& pkg, std::string& id) {
  bool ok = false;
  id = flx::jsonText(flx::jsonMember(pkg, "id"), &ok);
  if (!ok) {
    FLX_LOG_ERR(__LINE__, "%s:%d bad package entry: \"id\" is not a text");
    return false;
  }
  if (!isUsablePackageId(id)) {
    FLX_LOG_ERR(__LINE__, "%s:%d bad package id [%s]: not usable as a folder name",
                flx::logText(id).c_str());
    return false;
  }
  return true;
}

}  // namespace pkg
