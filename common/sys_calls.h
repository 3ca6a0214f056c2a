// The system calls of the staged writer, the spool and the package reader, through one table that
// a test may replace entry by entry to fail the Nth call with a chosen errno.
#ifndef FLX_COMMON_SYS_CALLS_H
#define FLX_COMMON_SYS_CALLS_H

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include "kevocore.h"

namespace flx {

struct SysCalls {
  int (*openat)(int dir, const char* name, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*renameat)(int fromDir, const char* from, int toDir, const char* to);
  int (*fchmod)(int fd, mode_t mode);
  int (*utimensat)(int dir, const char* name, const struct timespec times[2], int flags);
  int (*futimens)(int fd, const struct timespec times[2]);
  int (*linkat)(int fromDir, const char* from, int toDir, const char* to, int flags);
  int (*mkdirat)(int dir, const char* name, mode_t mode);
  int (*unlinkat)(int dir, const char* name, int flags);
  void* (*calloc)(size_t count, size_t size);
  // The rule evaluator's section list and field hash; the package record's list of INFO keys.
  KVSZLIST* (*listAlloc)(int capacity);
  KVSZHASH* (*hashAlloc)(int capacity);
  int (*listPush)(KVSZLIST** list, const char* text);
};

// The table in use; the real calls unless a test replaced some.
SysCalls& sys();
// The real calls, for a test to put back or to call through.
const SysCalls& realSysCalls();

}  // namespace flx

#endif  // FLX_COMMON_SYS_CALLS_H
