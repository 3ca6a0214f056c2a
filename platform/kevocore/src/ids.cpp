// Root's ids for opening a store from a process with dropped privileges, and file identity.
#include "kevoids.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kevocore.h"

void KEVORootIdsRaise(KEVOROOTIDS* saved) {
  if (saved == nullptr) return;
  saved->raised = FALSE;
  uid_t ruid, euid, suid;
  if (getresuid(&ruid, &euid, &suid) != 0 || euid == 0 || suid != 0) return;
  saved->euid = euid;
  saved->egid = getegid();
  if (setresuid(-1, 0, -1) != 0) return;
  saved->raised = TRUE;
  if (setresgid(-1, 0, -1) != 0) {
    // Root's user id alone is enough to open the stores; keep the group as it was.
  }
}

void KEVORootIdsRestore(KEVOROOTIDS* saved) {
  if (saved == nullptr || !saved->raised) return;
  saved->raised = FALSE;
  // Group first, while the user id still allows any change.
  if (setresgid(-1, saved->egid, -1) != 0 || setresuid(-1, saved->euid, -1) != 0) {
    // Nothing sensible is left to do here; the next privileged step will notice.
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
