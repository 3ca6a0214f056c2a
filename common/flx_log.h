// The module's one way to the system log.
#ifndef FLX_COMMON_FLX_LOG_H
#define FLX_COMMON_FLX_LOG_H

#include <stddef.h>
#include <syslog.h>

#include <string>

#define FLX_EXPORT __attribute__((visibility("default")))

// Writes one line to the system log at `priority`; `errno` is kept for "%m".
void flxLog(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Logs a "%s:%d ..." line at LOG_ERR with the calling source's `kSource` name and `line`.
// Each source file defines `static const char kSource[]`, its name without extension, and
// passes the line number that the line is known by as a named constant.
#define FLX_LOG_ERR(line, fmt, ...) flxLog(LOG_ERR, fmt, kSource, (line), ##__VA_ARGS__)

namespace flx {

// Longest text, after escaping, that a log line takes from a pushed value.
constexpr size_t kLogTextMax = 4096;

// Pushed text made fit for a log line: control characters written as \n, \t, \r or \xNN,
// and the result cut at kLogTextMax bytes with a marker of the text's full length.
std::string logText(const std::string& text);

}  // namespace flx

#endif  // FLX_COMMON_FLX_LOG_H
