#include "fuzz_support.h"

#include <ftw.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "admin.h"

namespace flxfuzz {
namespace {

std::string gRoot;

// Each line is still formatted, so the sanitizers see every argument it reads; set
// FLX_FUZZ_SHOW_LOG to see the lines while reproducing a crash input.
void logLine(const char* fmt, va_list ap) {
  static const bool show = getenv("FLX_FUZZ_SHOW_LOG") != nullptr;
  char line[512];
  vsnprintf(line, sizeof line, fmt, ap);
  if (show) fprintf(stderr, "[syslog] %s\n", line);
}

void removeRoot() {
  if (gRoot.empty()) return;
  nftw(
      gRoot.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

[[noreturn]] void die(const std::string& what) {
  fprintf(stderr, "fuzz setup: %s\n", what.c_str());
  abort();
}

}  // namespace

const std::string& makeRoot() {
  if (!gRoot.empty()) return gRoot;
  std::string tmpl =
      access("/dev/shm", W_OK) == 0 ? "/dev/shm/flxfuzz.XXXXXX" : "/tmp/flxfuzz.XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) die("cannot create a temporary root");
  gRoot = tmpl;
  atexit(removeRoot);
  setenv("FLX_ROOT", gRoot.c_str(), 1);
  std::string err;
  if (flxadmin::init(err) != 0) die("flx-admin init: " + err);
  return gRoot;
}

std::string addDeviceWithSession(const std::string& sn) {
  uint64_t id = 0;
  std::string sid;
  std::string err;
  if (flxadmin::deviceAdd(sn, "fuzz", id, err) != 0 || flxadmin::sessionAdd(sn, sid, 0, err) != 0) {
    die("device " + sn + ": " + err);
  }
  return sid;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) die("cannot open " + path);
  const bool ok = fwrite(data, 1, size, f) == size;
  if (fclose(f) != 0 || !ok) die("cannot write " + path);
}

}  // namespace flxfuzz

// The log is interposed, as in the unit tests: sending every line of millions of runs to the
// system log would be most of the work. Waits between database retries return at once.
extern "C" {

void vsyslog(int, const char* fmt, va_list ap) {
  flxfuzz::logLine(fmt, ap);
}

void syslog(int, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  flxfuzz::logLine(fmt, ap);
  va_end(ap);
}

void __syslog_chk(int, int, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  flxfuzz::logLine(fmt, ap);
  va_end(ap);
}

void __vsyslog_chk(int, int, const char* fmt, va_list ap) {
  flxfuzz::logLine(fmt, ap);
}

int usleep(useconds_t) {
  return 0;
}

}  // extern "C"
