#include "common/privilege.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

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

void logChange(void* ctx, const char* which, int middle) {
  const PrivilegedSectionWhere* at = static_cast<const PrivilegedSectionWhere*>(ctx);
  flxLog(kAuthInfo, "%s:%d WARNING: set%s(%d, %d, %d)", at->file, at->line, which, -1, middle, -1);
}

// A refused id change: the ERROR line with the errno text, errno EPERM, then `step`.
void logRefused(void* ctx, const char* which, int middle, const char* step) {
  const PrivilegedSectionWhere* at = static_cast<const PrivilegedSectionWhere*>(ctx);
  char buf[1024];
  memset(buf, 0, sizeof buf);
  const char* text = errorText(strerror_r(errno, buf, sizeof buf), buf);
  flxLog(kAuthErr, "%s:%d ERROR: set%s(%d, %d, %d) [%s]", at->file, at->line, which, -1, middle, -1,
         text);
  errno = EPERM;
  flxLog(kAuthErr, "%s:%d ERROR: %s", at->file, at->line, step);
}

}  // namespace

PrivilegedSection::PrivilegedSection(const char* file, int line)
    : where_{file, line}, log_{logChange, logRefused, &where_} {
  KEVORootIdsEnter(&saved_, &log_);
}

PrivilegedSection::~PrivilegedSection() {
  KEVORootIdsLeave(&saved_, &log_);
}

void flxFailureLine(const char* file, int line, FailureForm form, const char* fmt, ...) {
  const int err = errno;
  KVLIBFaultNoteErrno(err);
  // glibc's printf family expands "%m" as syslog does, so both forms are made here.
  va_list ap;
  va_start(ap, fmt);
  char first[512];
  va_list copy;
  va_copy(copy, ap);
  errno = err;
  int n = vsnprintf(first, sizeof first, fmt, copy);
  va_end(copy);
  std::string message = n < 0 ? std::string() : std::string(first);
  if (n >= static_cast<int>(sizeof first)) {
    message.resize(static_cast<size_t>(n) + 1);
    errno = err;
    vsnprintf(&message[0], message.size(), fmt, ap);
    message.resize(static_cast<size_t>(n));
  }
  va_end(ap);
  const unsigned euid = geteuid();
  const int pid = getpid();
  const char* bangs = form != FailureForm::kExec && err == EACCES ? "!!" : "";
  char where[300] = "";
  if (form == FailureForm::kLong) {
    errno = err;
    snprintf(where, sizeof where, "(%s:%d)(%m)", file, line);
  }
  char cause[300] = "";
  if (err != 0) {
    errno = err;
    snprintf(cause, sizeof cause, "(%m)");
  }
  flxLog(LOG_ERR, "%s:%d (euid=%u)(pid=%d)%s%s%s%s", file, line, euid, pid, cause, where, bangs,
         message.c_str());
  if (giTerminalDebug != 0) {
    printf("(%s:%d)(euid=%u)(pid=%d)%s%s%s", file, line, euid, pid, where, bangs, message.c_str());
    fflush(stdout);
  }
  errno = err;
}

void flxShortFailure(const char* file, int line, const char* check) {
  flxFailureLine(file, line, FailureForm::kShort, "Failed [%s], err=%m\n", check);
}

void flxLongFailure(const char* file, int line, const char* check) {
  flxFailureLine(file, line, FailureForm::kLong, "Failed [%s], err=%m\n\n", check);
}
