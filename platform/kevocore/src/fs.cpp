// mkdir -p with an explicit mode and owner for the directories it creates.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

#include "kv_internal.h"

namespace {

constexpr mode_t kDefaultMode = 0755;

bool isDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates one directory; an existing directory is success, anything else in its place ENOTDIR.
// The mode is set again after mkdir so that the process umask does not narrow it.
bool makeOne(const char* path, mode_t mode, uid_t uid, gid_t gid) {
  if (mkdir(path, mode) != 0) {
    if (errno != EEXIST) return false;
    if (isDirectory(path)) return true;
    errno = ENOTDIR;
    return false;
  }
  if (chmod(path, mode) != 0) return false;
  return (uid == UID_ERR && gid == GID_ERR) || chown(path, uid, gid) == 0;
}

bool makeAll(const std::string& path, mode_t mode, uid_t uid, gid_t gid) {
  if (isDirectory(path.c_str())) return true;
  // Every prefix ending before a '/', then the whole path; "//" and a trailing '/' give
  // prefixes that already exist.
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    if (path[at - 1] == '/') continue;
    if (!makeOne(path.substr(0, at).c_str(), mode, uid, gid)) return false;
  }
  return makeOne(path.c_str(), mode, uid, gid);
}

}  // namespace

int KEVOFSMkdirP(const char* path, const void* reserved, int recursive, uid_t uid, gid_t gid,
                 int mode) {
  (void)reserved;
  if (path == nullptr || *path == '\0' || (mode != -1 && (mode & ~07777) != 0)) {
    errno = EINVAL;
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  mode_t m = mode == -1 ? kDefaultMode : static_cast<mode_t>(mode);
  bool ok;
  try {
    ok = recursive ? makeAll(path, m, uid, gid) : makeOne(path, m, uid, gid);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    ok = false;
  }
  if (!ok) {
    int saved = errno;
    KV_FAIL(errno == ENOMEM ? KVERR_OUT_OF_MEMORY : KVERR_MKDIR);
    errno = saved;
    return -1;
  }
  return 0;
}
