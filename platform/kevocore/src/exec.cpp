// Running a program without a shell and waiting for it.
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <sys/wait.h>

#include <new>
#include <vector>

#include "kv_internal.h"

extern char** environ;

namespace {

// The child starts with default signal actions and nothing blocked, whatever the host set.
struct SpawnAttr {
  posix_spawnattr_t attr;
  bool ok;
  SpawnAttr() : ok(posix_spawnattr_init(&attr) == 0) {
    if (!ok) return;
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    ok = posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
         posix_spawnattr_setsigmask(&attr, &none) == 0 &&
         posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
  }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  ~SpawnAttr() { posix_spawnattr_destroy(&attr); }
};

int spawnAndWait(const char* program, std::vector<char*>& argv) {
  SpawnAttr attr;
  if (!attr.ok) {
    KV_FAIL(KVERR_EXEC);
    return -1;
  }
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program, nullptr, &attr.attr, argv.data(), environ);
  if (rc != 0) {
    errno = rc;
    KV_FAIL(KVERR_EXEC);
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      KV_FAIL(KVERR_EXEC);
      return -1;
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    KV_FAIL(KVERR_EXEC);
    return -1;
  }
  return 0;
}

}  // namespace

int KVLIBExec(const char* program, ...) {
  if (program == nullptr || *program == '\0') {
    errno = EINVAL;
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  try {
    std::vector<char*> argv{const_cast<char*>(program)};
    va_list ap;
    va_start(ap, program);
    while (char* arg = va_arg(ap, char*)) argv.push_back(arg);
    va_end(ap);
    argv.push_back(nullptr);
    return spawnAndWait(program, argv);
  } catch (const std::bad_alloc&) {
    KV_FAIL(KVERR_OUT_OF_MEMORY);
    return -1;
  }
}
