#include "common/mirror_fs.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "common/flx_log.h"
#include "common/sys_calls.h"
#include "kevocore.h"
#include "kevoroot.h"

static const char kSource[] = "mirror_fs";

namespace flx {

namespace {

// The trusted folder above `path`'s components that must be walked without following links:
// the mirror root for paths below it, else the whole of `path`.
std::string trustedBase(const std::string& path, std::vector<std::string>& below) {
  const std::string mirrorRoot = std::string(KEVORootPrefix()) + KEVO_QXINFO_DIR;
  below.clear();
  if (path.compare(0, mirrorRoot.size() + 1, mirrorRoot + "/") != 0) return path;
  size_t at = mirrorRoot.size() + 1;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) below.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return mirrorRoot;
}

Fd openTrusted(const std::string& base, bool create) {
  Fd fd(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.ok() && errno == ENOENT && create &&
      KEVOFSMkdirP(base.c_str(), NULL, TRUE, UID_ERR, GID_ERR, -1) >= 0) {
    fd = Fd(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  return fd;
}

}  // namespace

bool refuseLink(int dir, const std::string& leaf, const std::string& path) {
  struct stat st;
  if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
    return false;
  }
  FLX_LOG_ERR(__LINE__, "%s:%d refused to pass the symbolic link %s", logText(path).c_str());
  errno = ELOOP;
  return true;
}

Fd openDirNoFollow(const std::string& path, bool create) {
  std::vector<std::string> below;
  const std::string base = trustedBase(path, below);
  Fd dir = openTrusted(base, create);
  std::string walked = base;
  for (const std::string& name : below) {
    if (!dir.ok()) break;
    walked += "/" + name;
    if (name == "." || name == "..") {
      errno = EINVAL;
      return Fd();
    }
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    // An existing folder, the common case, costs one openat.
    Fd next(openat(dir.get(), name.c_str(), flags));
    bool made = false;
    if (!next.ok() && errno == ENOENT && create) {
      made = sys().mkdirat(dir.get(), name.c_str(), 0755) == 0;
      if (!made && errno != EEXIST) return Fd();
      next = Fd(openat(dir.get(), name.c_str(), flags));
    }
    if (!next.ok()) {
      int saved = errno;
      if (!refuseLink(dir.get(), name, walked)) errno = saved;
      return Fd();
    }
    // 0755 whatever the umask, as the library's mkdir -p makes them.
    if (made && sys().fchmod(next.get(), 0755) != 0) return Fd();
    dir = std::move(next);
  }
  return dir;
}

Fd openParentNoFollow(const std::string& path, std::string& leaf, bool create) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) {
    errno = EINVAL;
    return Fd();
  }
  leaf = path.substr(slash + 1);
  return openDirNoFollow(slash == 0 ? std::string("/") : path.substr(0, slash), create);
}

bool FileForReading::open(const std::string& path) {
  std::string leaf;
  Fd dir = openParentNoFollow(path, leaf, false);
  if (!dir.ok() || refuseLink(dir.get(), leaf, path)) return false;
  // O_NONBLOCK: a FIFO planted under the name must not hang the open.
  fd_ = Fd(openat(dir.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd_.ok()) return false;
  name_ = "/proc/self/fd/" + std::to_string(fd_.get());
  return true;
}

int chmodAt(int dir, const std::string& leaf, mode_t mode) {
  // O_NONBLOCK: a FIFO planted under the name must not hang the open.
  Fd fd(openat(dir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.ok()) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  return fchmod(fd.get(), mode);
}

int chmodNoFollow(const std::string& path, mode_t mode) {
  std::string leaf;
  Fd dir = openParentNoFollow(path, leaf, false);
  if (!dir.ok()) return -1;
  if (refuseLink(dir.get(), leaf, path)) return -1;
  return chmodAt(dir.get(), leaf, mode);
}

}  // namespace flx
