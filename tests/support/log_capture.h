// Fakes linked into every test executable: syslog lines are recorded instead of sent, and
// usleep is counted instead of slept.
#ifndef FLX_TESTS_SUPPORT_LOG_CAPTURE_H
#define FLX_TESTS_SUPPORT_LOG_CAPTURE_H

#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace flxtest {

struct LogLine {
  int priority;  // facility | level, as passed to syslog
  std::string text;  // formatted, "%m" expanded
};

// Every line logged since the last ClearLog(), in order.
std::vector<LogLine> LogLines();
// Only the texts.
std::vector<std::string> LogTexts();
void ClearLog();
// Number of logged lines that contain `needle`.
int LogCount(const std::string& needle);
// The whole log, one line per entry, for failure messages.
std::string LogDump();

// Every usleep() argument since the last ClearUsleeps(). usleep never sleeps in tests.
std::vector<useconds_t> UsleepCalls();
void ClearUsleeps();
// Called (when set) at every usleep(), before it returns; a test uses it to act between
// retries. Pass nullptr to remove.
void SetUsleepHook(std::function<void(useconds_t)> hook);

}  // namespace flxtest

#endif  // FLX_TESTS_SUPPORT_LOG_CAPTURE_H
