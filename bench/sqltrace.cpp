// Statement tracer for the cache database, loaded with LD_PRELOAD into a host: appends one line
// per open, close and prepared statement of every connection to flx_db.sqlite to the file named
// by FLX_SQLTRACE. Lines are "PID CONNECTION EVENT", EVENT being "open", "close" or "sql TEXT"
// (the text as prepared, newlines and backslashes escaped), so that bench/trace-compare.sh can
// compare what two hosts ran.
#include <dlfcn.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

const char kTracedFile[] = "flx_db.sqlite";

// The trace file, opened for each line: forked workers each append whole lines with no
// descriptor to share or reopen.
class TraceFile {
 public:
  TraceFile() {
    const char* path = getenv("FLX_SQLTRACE");
    if (path != nullptr && path[0] != '\0')
      fd_ = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  ~TraceFile() {
    if (fd_ >= 0) close(fd_);
  }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;
  // One write() per line: O_APPEND keeps lines of concurrent processes whole.
  void Write(const std::string& line) const {
    if (fd_ >= 0 && write(fd_, line.data(), line.size()) < 0) perror("sqltrace: write");
  }

 private:
  int fd_ = -1;
};

void Emit(sqlite3* db, const char* event, const char* text) {
  char head[64];
  snprintf(head, sizeof head, "%d %p %s", static_cast<int>(getpid()), static_cast<void*>(db),
           event);
  std::string line(head);
  if (text != nullptr) {
    line += ' ';
    for (const char* p = text; *p != '\0'; ++p) {
      if (*p == '\n')
        line += "\\n";
      else if (*p == '\\')
        line += "\\\\";
      else
        line += *p;
    }
  }
  line += '\n';
  TraceFile().Write(line);
}

bool IsTraced(const char* path) {
  if (path == nullptr) return false;
  const char* base = strrchr(path, '/');
  return strcmp(base != nullptr ? base + 1 : path, kTracedFile) == 0;
}

bool IsTraced(sqlite3* db) {
  return db != nullptr && IsTraced(sqlite3_db_filename(db, "main"));
}

int OnStatement(unsigned type, void*, void* stmt, void* x) {
  if (type != SQLITE_TRACE_STMT) return 0;
  const char* text = static_cast<const char*>(x);
  // A trigger's program is reported as "-- TRIGGER NAME"; a statement by its prepared text.
  if (text == nullptr || strncmp(text, "--", 2) != 0)
    text = sqlite3_sql(static_cast<sqlite3_stmt*>(stmt));
  Emit(sqlite3_db_handle(static_cast<sqlite3_stmt*>(stmt)), "sql", text);
  return 0;
}

void AfterOpen(sqlite3* db, int rc) {
  if (!IsTraced(db)) return;
  Emit(db, rc == SQLITE_OK ? "open" : "open-failed", nullptr);
  sqlite3_trace_v2(db, SQLITE_TRACE_STMT, OnStatement, nullptr);
}

template <typename F>
F Real(const char* name) {
  void* f = dlsym(RTLD_NEXT, name);
  if (f == nullptr) {
    fprintf(stderr, "sqltrace: no %s after this library: %s\n", name, dlerror());
    abort();
  }
  return reinterpret_cast<F>(f);
}

}  // namespace

extern "C" {

int sqlite3_open(const char* path, sqlite3** db) {
  static const auto real = Real<int (*)(const char*, sqlite3**)>("sqlite3_open");
  const int rc = real(path, db);
  AfterOpen(*db, rc);
  return rc;
}

int sqlite3_open_v2(const char* path, sqlite3** db, int flags, const char* vfs) {
  static const auto real =
      Real<int (*)(const char*, sqlite3**, int, const char*)>("sqlite3_open_v2");
  const int rc = real(path, db, flags, vfs);
  AfterOpen(*db, rc);
  return rc;
}

int sqlite3_close(sqlite3* db) {
  static const auto real = Real<int (*)(sqlite3*)>("sqlite3_close");
  if (IsTraced(db)) Emit(db, "close", nullptr);
  return real(db);
}

int sqlite3_close_v2(sqlite3* db) {
  static const auto real = Real<int (*)(sqlite3*)>("sqlite3_close_v2");
  if (IsTraced(db)) Emit(db, "close", nullptr);
  return real(db);
}

}  // extern "C"
