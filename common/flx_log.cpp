#include "common/flx_log.h"

#include <errno.h>
#include <stdarg.h>

void flxLog(int priority, const char* fmt, ...) {
  // The caller's errno is what "%m" must show, and what the caller still holds afterwards.
  int saved = errno;
  va_list ap;
  va_start(ap, fmt);
  errno = saved;
  vsyslog(priority, fmt, ap);
  va_end(ap);
  errno = saved;
}
