#include "support/log_capture.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>

#include <mutex>

namespace flxtest {
namespace {

std::mutex& Mutex() {
  static std::mutex m;
  return m;
}
std::vector<LogLine>& Lines() {
  static std::vector<LogLine> lines;
  return lines;
}
std::vector<useconds_t>& Sleeps() {
  static std::vector<useconds_t> sleeps;
  return sleeps;
}
std::function<void(useconds_t)>& Hook() {
  static std::function<void(useconds_t)> hook;
  return hook;
}

void Record(int priority, const char* fmt, va_list ap) {
  int saved = errno;
  char buf[8192];
  vsnprintf(buf, sizeof buf, fmt, ap);  // glibc expands %m from errno
  errno = saved;
  std::lock_guard<std::mutex> lock(Mutex());
  Lines().push_back({priority, buf});
  if (getenv("FLX_TEST_SHOW_LOG") != nullptr) fprintf(stderr, "[syslog %d] %s\n", priority, buf);
}

}  // namespace

std::vector<LogLine> LogLines() {
  std::lock_guard<std::mutex> lock(Mutex());
  return Lines();
}

std::vector<std::string> LogTexts() {
  std::vector<std::string> out;
  for (const auto& l : LogLines()) out.push_back(l.text);
  return out;
}

void ClearLog() {
  std::lock_guard<std::mutex> lock(Mutex());
  Lines().clear();
}

int LogCount(const std::string& needle) {
  int n = 0;
  for (const auto& l : LogLines()) n += l.text.find(needle) != std::string::npos;
  return n;
}

std::string LogDump() {
  std::string out;
  for (const auto& l : LogLines()) out += "  [" + std::to_string(l.priority) + "] " + l.text + "\n";
  return out;
}

std::vector<useconds_t> UsleepCalls() {
  std::lock_guard<std::mutex> lock(Mutex());
  return Sleeps();
}

void ClearUsleeps() {
  std::lock_guard<std::mutex> lock(Mutex());
  Sleeps().clear();
}

void SetUsleepHook(std::function<void(useconds_t)> hook) { Hook() = std::move(hook); }

}  // namespace flxtest

// Interposed C library calls.
extern "C" {

void vsyslog(int priority, const char* fmt, va_list ap) { flxtest::Record(priority, fmt, ap); }

void syslog(int priority, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  flxtest::Record(priority, fmt, ap);
  va_end(ap);
}

void __syslog_chk(int priority, int, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  flxtest::Record(priority, fmt, ap);
  va_end(ap);
}

void __vsyslog_chk(int priority, int, const char* fmt, va_list ap) {
  flxtest::Record(priority, fmt, ap);
}

int usleep(useconds_t usec) {
  {
    std::lock_guard<std::mutex> lock(flxtest::Mutex());
    flxtest::Sleeps().push_back(usec);
  }
  if (flxtest::Hook()) flxtest::Hook()(usec);
  return 0;
}

}  // extern "C"
