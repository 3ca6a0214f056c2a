#include "common/device_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/flx_log.h"
#include "common/privilege.h"
#include "kevocore.h"
#include "kevoroot.h"

static const char kSource[] = "device_lock";

namespace {

// Between two attempts at a held lock.
const unsigned kStepMicroseconds = 20000;

// Opens (creating when missing) the lock file of device `id`; -1 (logged) on failure.
int openLockFile(uint64_t id) {
  char dir[PATH_MAX];
  char path[PATH_MAX];
  int n = KEVORootPath(dir, sizeof dir, KEVO_LOCK_DIR);
  if (n < 0 || static_cast<size_t>(n) >= sizeof dir ||
      snprintf(path, sizeof path, "%s/%llu", dir, static_cast<unsigned long long>(id)) >=
          static_cast<int>(sizeof path)) {
    return -1;
  }
  PrivilegedSection section(kSource, __LINE__);
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 && errno == ENOENT) {
    KEVOFSMkdirP(dir, nullptr, TRUE, UID_ERR, GID_ERR, 0700);
    fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
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
