// The device's package limit file, mirrored into its pkgs folder.
#include "common/json_util.h"
#include "handlers/cache_handler_package.h"
#include "handlers/cache_handler_package_util.h"

namespace {

constexpr int kLineLimitMkdir = 210;
const pkg::MirrorLines kLimitFileLines = {220, true, 223};

}  // namespace

int writePackageLimitFile(uint64_t qxId, const Json::Value& limit) {
  if (!limit.isObject()) return 0;
  char szFolderPath[pkg::kPathSize];
  if (!pkg::pkgsFolderPath(szFolderPath, qxId)) return -1;
  if (pkg::makeFolder(szFolderPath, kLineLimitMkdir) < 0) return -1;
  for (const char* member : {"data", "size", "mtime"}) {
    if (!flx::jsonHas(limit, member)) return -1;
  }
  char szPath[pkg::kPathSize];
  if (!pkg::composePath(szPath, "%s/%s", szFolderPath, pkg::kLimitFileName)) return -1;
  return pkg::mirrorFile(szPath, limit, kLimitFileLines);
}
