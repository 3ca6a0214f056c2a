// Package description files: the INFO file and the configuration folder of each package.
#include "common/flx_log.h"
#include "common/json_util.h"
#include "handlers/cache_handler_package.h"
#include "handlers/cache_handler_package_util.h"
#include "kevopath.h"

static const char kSource[] = "cache_handler_package";

namespace {

constexpr int kLineInfoMkdir = 30;
constexpr int kLineConfMkdir = 61;
// clang-format off
const pkg::MirrorLines kInfoFileLines = {33, true,  36};
const pkg::MirrorLines kConfFileLines = {74, false, 78};
// clang-format on

bool isPushedFile(const Json::Value& v) {
  return flx::jsonHas(v, "data") && flx::jsonHas(v, "size") && flx::jsonHas(v, "mtime");
}

// Mirrors one member of "conf"; a member that is not a complete pushed file is skipped, and
// a failed file does not stop the others.
void mirrorConfFile(const char* folder, const std::string& id, const std::string& name,
                    const Json::Value& value) {
  if (!isPushedFile(value)) return;
  if (!isSafePathComponent(name)) {
    FLX_LOG_ERR(__LINE__, "%s:%d skip configuration file [%s] of package %s: not a file name",
                flx::logText(name).c_str(), flx::logText(id).c_str());
    return;
  }
  char szPath[pkg::kPathSize];
  if (!pkg::composePath(szPath, "%s/%s", folder, name.c_str())) return;
  pkg::mirrorFile(szPath, value, kConfFileLines);
}

}  // namespace

int writePackageInfoFile(uint64_t qxId, const Json::Value& pkgEntry) {
  std::string id;
  if (!pkg::readPackageId(pkgEntry, id)) return -1;
  char szFolderPath[pkg::kPathSize];
  char szPath[pkg::kPathSize];
  if (!pkg::packagePath(szFolderPath, qxId, id, "") ||
      !pkg::packagePath(szPath, qxId, id, "/INFO")) {
    return -1;
  }
  if (pkg::makeFolder(szFolderPath, kLineInfoMkdir) < 0) return -1;
  return pkg::mirrorFile(szPath, flx::jsonMember(pkgEntry, "info"), kInfoFileLines);
}

int mirrorPackageConfFiles(uint64_t qxId, const Json::Value& pkgEntry) {
  const Json::Value& conf = flx::jsonMember(pkgEntry, "conf");
  if (!conf.isObject() || conf.empty()) return 0;
  std::string id;
  if (!pkg::readPackageId(pkgEntry, id)) return -1;
  char szFolderPath[pkg::kPathSize];
  if (!pkg::packagePath(szFolderPath, qxId, id, "/conf")) return -1;
  if (pkg::makeFolder(szFolderPath, kLineConfMkdir) < 0) return -1;
  for (Json::Value::const_iterator it = conf.begin(); it != conf.end(); ++it) {
    mirrorConfFile(szFolderPath, id, it.name(), *it);
  }
  return 0;
}
