// Privileged sections around file and database steps, and the failure lines of checked steps.
#ifndef FLX_COMMON_PRIVILEGE_H
#define FLX_COMMON_PRIVILEGE_H

#include <sys/types.h>

// Raises the effective group and user ids to 0 for its lifetime (the saved ids must be 0)
// and puts the entry ids back when it goes out of scope, on every path. Id changes are
// logged at LOG_AUTH with `file` and `line`. On entry `errno` is 0 (EPERM when a raise
// failed); on leaving it is 0 when every restore succeeded (EPERM otherwise).
class PrivilegedSection {
 public:
  PrivilegedSection(const char* file, int line);
  ~PrivilegedSection();
  PrivilegedSection(const PrivilegedSection&) = delete;
  PrivilegedSection& operator=(const PrivilegedSection&) = delete;

 private:
  const char* file_;
  int line_;
  uid_t savedUid_;
  gid_t savedGid_;
};

// Writes the short failure line of a failed check, worded by the current errno; also on
// stdout in its terminal form when giTerminalDebug is set. Keeps errno.
void flxShortFailure(const char* file, int line, const char* check);
// Writes the long failure line (file and line repeated after the pid). Keeps errno.
void flxLongFailure(const char* file, int line, const char* check);

// Shorthands for sources that define `kSource`.
#define FLX_SHORT_FAILURE(line, check) flxShortFailure(kSource, (line), (check))
#define FLX_LONG_FAILURE(line, check) flxLongFailure(kSource, (line), (check))

#endif  // FLX_COMMON_PRIVILEGE_H
