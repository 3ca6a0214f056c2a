#include "common/privilege.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "common/flx_log.h"
#include "kevocore.h"

namespace {

const int kAuthInfo = LOG_AUTH | LOG_INFO;
const int kAuthErr = LOG_AUTH | LOG_ERR;

// strerror_r comes in two flavours; both end up as a pointer to the text.
[[maybe_unused]] const char* errorText(int result, const char* buf) {
  return result == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* errorText(const char* result, const char*) {
  return result;
}

void logChange(const char* file, int line, const char* which, int middle) {
  flxLog(kAuthInfo, "%s:%d WARNING: set%s(%d, %d, %d)", file, line, which, -1, middle, -1);
}

// A refused id change: the ERROR line with the errno text, errno EPERM, then `what`.
void logRefused(const char* file, int line, const char* which, int middle, const char* what) {
  char buf[1024];
  memset(buf, 0, sizeof buf);
  const char* text = errorText(strerror_r(errno, buf, sizeof buf), buf);
  flxLog(kAuthErr, "%s:%d ERROR: set%s(%d, %d, %d) [%s]", file, line, which, -1, middle, -1, text);
  errno = EPERM;
  flxLog(kAuthErr, "%s:%d ERROR: %s", file, line, what);
}

}  // namespace

PrivilegedSection::PrivilegedSection(const char* file, int line)
    : file_(file), line_(line), savedUid_(geteuid()), savedGid_(getegid()) {
  const char* what = "ENTERCriticalSection";
  if (savedGid_ != 0) {
    if (setresgid(-1, 0, -1) != 0) {
      logRefused(file_, line_, "resgid", 0, what);
      return;
    }
    logChange(file_, line_, "resgid", 0);
  }
  if (savedUid_ != 0) {
    if (setresuid(-1, 0, -1) != 0) {
      logRefused(file_, line_, "resuid", 0, what);
      return;
    }
    logChange(file_, line_, "resuid", 0);
  }
  errno = 0;
}

PrivilegedSection::~PrivilegedSection() {
  const char* what = "LEAVECriticalSection";
  uid_t curUid = geteuid();
  gid_t curGid = getegid();
  // Root first, so that the group may be changed back whatever it is now.
  if (curUid != savedUid_) {
    if (setresuid(-1, 0, -1) != 0) {
      logRefused(file_, line_, "resuid", 0, what);
      return;
    }
    logChange(file_, line_, "resuid", 0);
  }
  if (curGid != savedGid_) {
    if (setresgid(-1, savedGid_, -1) != 0) {
      logRefused(file_, line_, "resgid", static_cast<int>(savedGid_), what);
      return;
    }
    if (savedGid_ == 0) logChange(file_, line_, "resgid", 0);
  }
  if (curUid != savedUid_) {
    if (setresuid(-1, savedUid_, -1) != 0) {
      logRefused(file_, line_, "resuid", static_cast<int>(savedUid_), what);
      return;
    }
    if (savedUid_ == 0) logChange(file_, line_, "resuid", 0);
  }
  errno = 0;
}

void flxShortFailure(const char* file, int line, const char* check) {
  const int err = errno;
  KVLIBFaultNoteErrno(err);
  const unsigned euid = geteuid();
  const int pid = getpid();
  if (err == EACCES) {
    flxLog(LOG_ERR, "%s:%d (euid=%u)(pid=%d)(%m)!!Failed [%s], err=%m\n", file, line, euid, pid,
           check);
  } else if (err != 0) {
    flxLog(LOG_ERR, "%s:%d (euid=%u)(pid=%d)(%m)Failed [%s], err=%m\n", file, line, euid, pid,
           check);
  } else {
    flxLog(LOG_ERR, "%s:%d (euid=%u)(pid=%d)Failed [%s], err=%m\n", file, line, euid, pid, check);
  }
  if (giTerminalDebug != 0) {
    errno = err;
    if (err == EACCES) {
      printf("(%s:%d)(euid=%u)(pid=%d)!!Failed [%s], err=%m\n", file, line, euid, pid, check);
    } else {
      printf("(%s:%d)(euid=%u)(pid=%d)Failed [%s], err=%m\n", file, line, euid, pid, check);
    }
    fflush(stdout);
  }
  errno = err;
}

void flxLongFailure(const char* file, int line, const char* check) {
  const int err = errno;
  KVLIBFaultNoteErrno(err);
  const unsigned euid = geteuid();
  const int pid = getpid();
  if (err == EACCES) {
    flxLog(LOG_ERR, "%s:%d (euid=%u)(pid=%d)(%m)(%s:%d)(%m)!!Failed [%s], err=%m\n\n", file, line,
           euid, pid, file, line, check);
  } else if (err != 0) {
    flxLog(LOG_ERR, "%s:%d (euid=%u)(pid=%d)(%m)(%s:%d)(%m)Failed [%s], err=%m\n\n", file, line,
           euid, pid, file, line, check);
  } else {
    flxLog(LOG_ERR, "%s:%d (euid=%u)(pid=%d)(%s:%d)(%m)Failed [%s], err=%m\n\n", file, line, euid,
           pid, file, line, check);
  }
  if (giTerminalDebug != 0) {
    errno = err;
    if (err == EACCES) {
      printf("(%s:%d)(euid=%u)(pid=%d)(%s:%d)(%m)!!Failed [%s], err=%m\n\n", file, line, euid, pid,
             file, line, check);
    } else {
      printf("(%s:%d)(euid=%u)(pid=%d)(%s:%d)(%m)Failed [%s], err=%m\n\n", file, line, euid, pid,
             file, line, check);
    }
    fflush(stdout);
  }
  errno = err;
}
