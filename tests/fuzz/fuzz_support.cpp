#include "fuzz_support.h"

#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "admin.h"
#include "kevohandle.h"

namespace flxfuzz {
namespace {

std::string gFolder;  // holds the root and nothing else
std::string gRoot;
const char* gFatalText = nullptr;

// Each line is still formatted, so the sanitizers see every argument it reads; set
// FLX_FUZZ_SHOW_LOG to see the lines while reproducing a crash input.
void logLine(const char* fmt, va_list ap) {
  static const bool show = getenv("FLX_FUZZ_SHOW_LOG") != nullptr;
  char line[512];
  vsnprintf(line, sizeof line, fmt, ap);
  if (show) fprintf(stderr, "[syslog] %s\n", line);
  // The format, not the line: pushed text in a line cannot pass for the fault.
  if (gFatalText != nullptr && strstr(fmt, gFatalText) != nullptr) {
    fprintf(stderr, "fuzz: log line of a fault: %s\n", line);
    abort();
  }
}

[[noreturn]] void die(const std::string& what) {
  fprintf(stderr, "fuzz: %s\n", what.c_str());
  abort();
}

void removeTree(const std::string& dir) {
  nftw(
      dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

void removeFolder() {
  if (!gFolder.empty()) removeTree(gFolder);
}

// A target that crashed could not remove its folder: the next target started removes the
// folders of processes that are gone.
void removeOrphans(const std::string& base) {
  kevo::Dir d(opendir(base.c_str()));
  if (!d) return;
  while (const struct dirent* e = readdir(d.get())) {
    int pid = 0;
    if (sscanf(e->d_name, "flxfuzz.%d.", &pid) != 1 || pid <= 0) continue;
    if (kill(pid, 0) == 0 || errno != ESRCH) continue;
    removeTree(base + "/" + e->d_name);
  }
}

}  // namespace

const std::string& makeRoot() {
  if (!gRoot.empty()) return gRoot;
  const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  removeOrphans(base);
  std::string tmpl = base + "/flxfuzz." + std::to_string(getpid()) + ".XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) die("cannot create a folder in " + base);
  gFolder = tmpl;
  atexit(removeFolder);
  gRoot = gFolder + "/root";
  if (mkdir(gRoot.c_str(), 0755) != 0) die("cannot create " + gRoot);
  setenv("FLX_ROOT", gRoot.c_str(), 1);
  std::string err;
  if (flxadmin::init(err) != 0) die("flx-admin init: " + err);
  return gRoot;
}

std::string addDeviceWithSession(const std::string& sn, uint64_t& id) {
  std::string sid;
  std::string err;
  if (flxadmin::deviceAdd(sn, "fuzz", id, err) != 0 || flxadmin::sessionAdd(sn, sid, 0, err) != 0) {
    die("device " + sn + ": " + err);
  }
  return sid;
}

void abortOnLogText(const char* text) {
  gFatalText = text;
}

void checkEntries(const std::string& dir, bool (*allowed)(const std::string& name)) {
  kevo::Dir d(opendir(dir.c_str()));
  if (!d) return;
  while (const struct dirent* e = readdir(d.get())) {
    const std::string name = e->d_name;
    if (name != "." && name != ".." && !allowed(name)) die("unexpected entry " + dir + "/" + name);
  }
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
