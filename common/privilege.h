// Privileged sections around file and database steps, and the failure lines of checked steps.
#ifndef FLX_COMMON_PRIVILEGE_H
#define FLX_COMMON_PRIVILEGE_H

#include <sys/types.h>

#include "kevoids.h"

// The logged form of the core library's privilege guard: raises the effective group and user
// ids to 0 for its lifetime (the saved ids must be 0) and puts the entry ids back when it goes
// out of scope, on every path. Id changes are logged at LOG_AUTH with `file` and `line`. On entry
// `errno` is 0 (EPERM when a raise failed); on leaving it is 0 when every restore succeeded (EPERM
// otherwise). Where a privileged section's lines point.
struct PrivilegedSectionWhere {
  const char* file;
  int line;
};

class PrivilegedSection {
 public:
  PrivilegedSection(const char* file, int line);
  ~PrivilegedSection();
  PrivilegedSection(const PrivilegedSection&) = delete;
  PrivilegedSection& operator=(const PrivilegedSection&) = delete;

 private:
  PrivilegedSectionWhere where_;
  KEVOIDLOG log_;
  KEVOROOTIDS saved_ = {0, 0, 0};
};

// Shapes of a failure line: short, long (file and line repeated after the pid), and the cache
// database's (short, never "!!").
enum class FailureForm { kShort, kLong, kExec };

// The one writer of failure lines: "<file>:<line> (euid=..)(pid=..)" then "(%m)" when errno is
// non-zero, the repeated place of the long form, "!!" for EACCES, then the message made from
// `fmt` (which may use "%m"). Also on stdout in its terminal form when giTerminalDebug is set.
// Notes the fault's kind for the spool; keeps errno.
void flxFailureLine(const char* file, int line, FailureForm form, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Writes the short failure line of a failed check, worded by the current errno; also on
// stdout in its terminal form when giTerminalDebug is set. Keeps errno.
void flxShortFailure(const char* file, int line, const char* check);
// Writes the long failure line (file and line repeated after the pid). Keeps errno.
void flxLongFailure(const char* file, int line, const char* check);

// Shorthands for sources that define `kSource`.
#define FLX_SHORT_FAILURE(line, check) flxShortFailure(kSource, (line), (check))
#define FLX_LONG_FAILURE(line, check) flxLongFailure(kSource, (line), (check))

#endif  // FLX_COMMON_PRIVILEGE_H
