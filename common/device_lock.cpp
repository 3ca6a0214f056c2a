#include "common/device_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/flx_log.h"
#include "kevocore.h"
#include "kevoids.h"
#include "kevoroot.h"

static const char kSource[] = "device_lock";

namespace {

// Between two attempts at a held lock.
const unsigned kStepMicroseconds = 20000;

// Lock files open to others would let any local user hold a device's pushes with flock: the
// folder and its files are root's alone (0700, 0600), reached with root's ids.
const mode_t kLockDirMode = 0700;
const mode_t kLockFileMode = 0600;

// The lock folder, opened once per process (again when the root moves or the folder was
// replaced) with root's ids, its mode closed where an older module left it open.
struct LockFolder {
  std::string path;
  int fd = -1;
};
LockFolder gFolder;

int lockFolder(bool reopen) {
  char dir[PATH_MAX];
  int n = KEVORootPath(dir, sizeof dir, KEVO_LOCK_DIR);
  if (n < 0 || static_cast<size_t>(n) >= sizeof dir) return -1;
  if (gFolder.fd >= 0 && !reopen && gFolder.path == dir) return gFolder.fd;
  if (gFolder.fd >= 0) close(gFolder.fd);
  gFolder.fd = -1;
  kevo::RootIds ids;
  if (KEVOFSMkdirP(dir, nullptr, TRUE, UID_ERR, GID_ERR, kLockDirMode) < 0) return -1;
  const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && (st.st_mode & 07777) != kLockDirMode)
    fchmod(fd, kLockDirMode);
  gFolder.fd = fd;
  gFolder.path = dir;
  return gFolder.fd;
}

// Opens (creating when missing) the lock file of device `id` with root's ids; -1 (logged) on
// failure.
int openLockFile(uint64_t id) {
  char name[32];
  snprintf(name, sizeof name, "%llu", static_cast<unsigned long long>(id));
  int fd = -1;
  for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
    const int dir = lockFolder(attempt > 0);
    if (dir < 0) break;
    kevo::RootIds ids;
    fd = openat(dir, name, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, kLockFileMode);
  }
  if (fd < 0) {
    FLX_LOG_ERR(__LINE__, "%s:%d cannot open the lock of device %llu: %m",
                static_cast<unsigned long long>(id));
  }
  return fd;
}

}  // namespace

DeviceLock::DeviceLock(uint64_t id, unsigned waitMicroseconds) {
  fd_ = openLockFile(id);
  if (fd_ < 0) return;
  for (unsigned waited = 0;; waited += kStepMicroseconds) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      struct stat st;
      removed_ = fstat(fd_, &st) == 0 && st.st_nlink == 0;
      return;
    }
    if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= waitMicroseconds) break;
    usleep(kStepMicroseconds);
  }
  FLX_LOG_ERR(__LINE__, "%s:%d device %llu is busy in another process: lock not taken in %u ms",
              static_cast<unsigned long long>(id), waitMicroseconds / 1000);
}

DeviceLock::~DeviceLock() {
  // Closing the file releases the lock.
  if (fd_ >= 0) close(fd_);
}
