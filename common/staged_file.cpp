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
#include "kevohandle.h"

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

}  // namespace

void removeLeftovers(int dir) {
  const int err = errno;
  int copy = fcntl(dir, F_DUPFD_CLOEXEC, 0);
  kevo::Dir d(copy >= 0 ? fdopendir(copy) : nullptr);
  if (!d && copy >= 0) ::close(copy);
  while (struct dirent* e = d ? readdir(d.get()) : nullptr) {
    if (isLeftover(e->d_name)) sys().unlinkat(dir, e->d_name, 0);
  }
  errno = err;
}

namespace {

// A fresh name beside, ".flx-<pid>-<n>-<x>": for a named file, or for the moment between
// linking an unnamed one beside its target and renaming it over. The clock's part keeps a
// device from pushing files under every name we would try next.
std::string freshName() {
  static unsigned counter = 0;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  char name[64];
  snprintf(name, sizeof name, "%s%d-%u-%lx", kTmpPrefix, static_cast<int>(getpid()), ++counter,
           static_cast<unsigned long>(ts.tv_nsec) ^ (static_cast<unsigned long>(ts.tv_sec) << 30));
  return name;
}

// Whether openat's error says the file system (or kernel) has no unnamed files.
bool noUnnamedFiles(int err) {
  return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
}

}  // namespace

bool StagedFile::create(int dir, const std::string& leaf, mode_t mode, const std::string& tmpName) {
  discard();
  dir_ = dir;
  leaf_ = leaf;
  struct stat old;
  leafExisted_ = fstatat(dir, leaf.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  // An unnamed file could never be moved over a folder. A named one is made all the same, and
  // kept where the move then fails.
  if (leafExisted_ && S_ISDIR(old.st_mode) && tmpName.empty()) return fail(EISDIR);
  if (!tmpName.empty()) {
    tmp_ = tmpName;
    fd_ = sys().openat(dir, tmp_.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                       mode);
  } else {
    fd_ = sys().openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    unnamed_ = fd_ >= 0;
    if (fd_ < 0 && noUnnamedFiles(errno)) {
      for (int attempt = 0; attempt < 16; ++attempt) {
        tmp_ = freshName();
        fd_ = sys().openat(dir, tmp_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                           mode);
        if (fd_ >= 0 || errno != EEXIST) break;
      }
    }
  }
  if (fd_ < 0) {
    const int err = errno;
    tmp_.clear();
    return fail(err);
  }
  bool ok;
  if (leafExisted_ && S_ISREG(old.st_mode)) {
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
  if (unnamed_) return ok || fail(err);
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
  if (unnamed_) return sys().futimens(fd_, times) == 0 || fail(errno);
  return sys().utimensat(dir_, tmp_.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 || fail(errno);
}

// Gives the unnamed file the name `name` in the folder; fails with EEXIST where it is taken.
bool StagedFile::linkAs(const char* name) {
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
  if (sys().linkat(AT_FDCWD, self, dir_, name, AT_SYMLINK_FOLLOW) == 0) return true;
  // Without /proc, root may link the descriptor itself.
  return errno == ENOENT && sys().linkat(fd_, "", dir_, name, AT_EMPTY_PATH) == 0;
}

bool StagedFile::commit() {
  if (unnamed_) {
    // A new file is linked straight into place; an old one is replaced by a rename from beside.
    bool linked = !leafExisted_ && linkAs(leaf_.c_str());
    if (!linked && !leafExisted_ && errno != EEXIST) return fail(errno);
    for (int attempt = 0; !linked && attempt < 16; ++attempt) {
      tmp_ = freshName();
      linked = linkAs(tmp_.c_str());
      if (!linked) {
        tmp_.clear();
        if (errno != EEXIST) return fail(errno);
      }
    }
    if (!linked) return fail(EEXIST);
    if (!tmp_.empty() && sys().renameat(dir_, tmp_.c_str(), dir_, leaf_.c_str()) != 0) {
      return fail(errno);
    }
    tmp_.clear();
    discard();  // closes the descriptor; the content now has its name
    return true;
  }
  if (sys().renameat(dir_, tmp_.c_str(), dir_, leaf_.c_str()) != 0) return fail(errno);
  tmp_.clear();
  return true;
}

void StagedFile::discard() {
  const int err = errno;
  if (fd_ >= 0) sys().close(fd_);
  fd_ = -1;
  unnamed_ = false;
  if (!tmp_.empty() && dir_ >= 0) sys().unlinkat(dir_, tmp_.c_str(), 0);
  tmp_.clear();
  errno = err;
}

void StagedFile::keep() {
  if (fd_ >= 0) sys().close(fd_);
  fd_ = -1;
  unnamed_ = false;
  tmp_.clear();
}

}  // namespace flx
