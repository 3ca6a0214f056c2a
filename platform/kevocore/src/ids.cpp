// Root's ids for opening a store from a process with dropped privileges, and file identity.
#include "kevoids.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kevocore.h"

namespace {

// One change of an effective id; logs a change to 0 and a refusal. False when refused.
bool change(bool user, unsigned id, const KEVOIDLOG* log, bool logZero, const char* step) {
  const int rc = user ? setresuid(-1, id, -1) : setresgid(-1, id, -1);
  const char* which = user ? "resuid" : "resgid";
  if (rc != 0) {
    if (log != nullptr && log->refused != nullptr) {
      log->refused(log->ctx, which, static_cast<int>(id), step);
    }
    return false;
  }
  if (log != nullptr && logZero && id == 0 && log->changed != nullptr) {
    log->changed(log->ctx, which, 0);
  }
  return true;
}

}  // namespace

void KEVORootIdsEnter(KEVOROOTIDS* saved, const KEVOIDLOG* log) {
  if (saved == nullptr) return;
  const int err = errno;
  saved->active = FALSE;
  uid_t ruid, euid, suid;
  if (getresuid(&ruid, &euid, &suid) != 0) return;
  saved->euid = euid;
  saved->egid = getegid();
  if (log == nullptr && (euid == 0 || suid != 0)) return;  // root already, or no way back
  saved->active = TRUE;
  const char* step = "ENTERCriticalSection";
  bool ok = saved->egid == 0 || change(false, 0, log, true, step);
  if (ok || log == nullptr) ok = saved->euid == 0 || change(true, 0, log, true, step);
  if (log == nullptr) {
    errno = err;
  } else {
    errno = ok ? 0 : EPERM;
  }
}

void KEVORootIdsLeave(KEVOROOTIDS* saved, const KEVOIDLOG* log) {
  if (saved == nullptr || !saved->active) return;
  const int err = errno;
  saved->active = FALSE;
  const char* step = "LEAVECriticalSection";
  const bool userChanged = geteuid() != saved->euid;
  const bool groupChanged = getegid() != saved->egid;
  bool ok = !userChanged || change(true, 0, log, true, step);
  if (ok && groupChanged) ok = change(false, saved->egid, log, true, step);
  if (ok && userChanged) ok = change(true, saved->euid, log, true, step);
  if (log == nullptr) {
    errno = err;
  } else {
    errno = ok ? 0 : EPERM;
  }
}

int KEVOFileIdGet(const char* path, KEVOFILEID* id) {
  struct stat st;
  if (path == nullptr || id == nullptr || stat(path, &st) != 0) return FALSE;
  id->dev = st.st_dev;
  id->ino = st.st_ino;
  return TRUE;
}

int KEVOFileIdSame(const char* path, const KEVOFILEID* id) {
  struct stat st;
  if (path == nullptr || id == nullptr) return FALSE;
  if (stat(path, &st) != 0) return errno == EACCES;
  return st.st_dev == id->dev && st.st_ino == id->ino;
}
