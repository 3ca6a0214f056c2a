#include "common/flx_log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

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

namespace flx {

std::string logText(const std::string& text) {
  std::string out;
  out.reserve(text.size() < kLogTextMax ? text.size() : kLogTextMax);
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    char piece[8];
    if (c == '\n') {
      snprintf(piece, sizeof(piece), "\\n");
    } else if (c == '\t') {
      snprintf(piece, sizeof(piece), "\\t");
    } else if (c == '\r') {
      snprintf(piece, sizeof(piece), "\\r");
    } else if (c < 0x20 || c == 0x7f) {
      snprintf(piece, sizeof(piece), "\\x%02x", c);
    } else {
      piece[0] = static_cast<char>(c);
      piece[1] = '\0';
    }
    if (out.size() + strlen(piece) > kLogTextMax) {
      char marker[64];
      snprintf(marker, sizeof(marker), "...[cut, %zu bytes in all]", text.size());
      return out + marker;
    }
    out += piece;
  }
  return out;
}

}  // namespace flx
