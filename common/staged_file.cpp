#include "common/staged_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "common/sys_calls.h"
#include "kevocore.h"

namespace flx {

namespace {

const char kTmpPrefix[] = ".flx-";

// Fails with `err` after noting its kind for the spool.
bool fail(int err) {
  KVLIBFaultNoteErrno(err);
  errno = err;
  return false;
}

// Whether leftover `name` belongs to a process that no longer runs.
bool isLeftover(const char* name) {
  if (strncmp(name, kTmpPrefix, sizeof kTmpPrefix - 1) != 0) return false;
  char* end = nullptr;
  long pid = strtol(name + sizeof kTmpPrefix - 1, &end, 10);
  if (end == name + sizeof kTmpPrefix - 1 || *end != '-' || pid <= 0) return false;
  return pid != getpid() && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

struct DirClose {
  void operator()(DIR* d) const { closedir(d); }
};

}  // namespace

void removeLeftovers(int dir) {
  const int err = errno;
  int copy = fcntl(dir, F_DUPFD_CLOEXEC, 0);
  std::unique_ptr<DIR, DirClose> d(copy >= 0 ? fdopendir(copy) : nullptr);
  if (!d && copy >= 0) ::close(copy);
  while (struct dirent* e = d ? readdir(d.get()) : nullptr) {
    if (isLeftover(e->d_name)) sys().unlinkat(dir, e->d_name, 0);
  }
  errno = err;
}

bool StagedFile::create(int dir, const std::string& leaf, mode_t mode, const std::string& tmpName) {
  discard();
  dir_ = dir;
  leaf_ = leaf;
  struct stat old;
  const bool existed = fstatat(dir, leaf.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (existed && S_ISDIR(old.st_mode)) return fail(EISDIR);
  if (!tmpName.empty()) {
    tmp_ = tmpName;
    fd_ = sys().openat(dir, tmp_.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                       mode);
  } else {
    removeLeftovers(dir);
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
      char name[48];
      snprintf(name, sizeof name, "%s%d-%u", kTmpPrefix, static_cast<int>(getpid()), ++counter);
      tmp_ = name;
      fd_ = sys().openat(dir, tmp_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                         mode);
      if (fd_ < 0 && errno != EEXIST) break;
    }
  }
  if (fd_ < 0) {
    const int err = errno;
    tmp_.clear();
    return fail(err);
  }
  bool ok;
  if (existed && S_ISREG(old.st_mode)) {
    // A rewritten file keeps its owner (only root may give it) and mode.
    if (fchown(fd_, old.st_uid, old.st_gid) != 0) errno = 0;
    ok = sys().fchmod(fd_, old.st_mode & 07777) == 0;
  } else {
    ok = sys().fchmod(fd_, mode) == 0;  // whatever the umask
  }
  if (ok) return true;
  const int err = errno;
  discard();
  return fail(err);
}

bool StagedFile::write(const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = sys().write(fd_, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(errno);
    if (n == 0) return fail(EIO);
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool StagedFile::close(Durability durability) {
  bool ok = durability != kSync || sys().fsync(fd_) == 0;
  int err = errno;
  const int fd = fd_;
  fd_ = -1;
  if (sys().close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  return ok || fail(err);
}

bool StagedFile::stamp(time_t atime, time_t mtime) {
  struct timespec times[2];
  times[0].tv_sec = atime;
  times[1].tv_sec = mtime;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  return sys().utimensat(dir_, tmp_.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 || fail(errno);
}

bool StagedFile::commit() {
  if (sys().renameat(dir_, tmp_.c_str(), dir_, leaf_.c_str()) != 0) return fail(errno);
  tmp_.clear();
  return true;
}

void StagedFile::discard() {
  const int err = errno;
  if (fd_ >= 0) sys().close(fd_);
  fd_ = -1;
  if (!tmp_.empty() && dir_ >= 0) sys().unlinkat(dir_, tmp_.c_str(), 0);
  tmp_.clear();
  errno = err;
}

void StagedFile::keep() {
  if (fd_ >= 0) sys().close(fd_);
  fd_ = -1;
  tmp_.clear();
}

}  // namespace flx
