#include "common/cache_db.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "common/flx_log.h"
#include "common/privilege.h"
#include "kevocore.h"
#include "kevoroot.h"

namespace {

const char kPragma[] = "PRAGMA foreign_keys=ON;";
const int kAttempts = 101;  // the first attempt and at most 100 retries
const char kOpenCheck[] = "0 != sqlite3_open(KEVOFLX_SQLITE_DB_PATH, &kevoflx_sqlite_db)";

struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};

// Opens the cache database into `db`; the caller is inside a privileged section.
int openCacheDb(sqlite3*& db) {
  char path[PATH_MAX];
  if (cacheDbPath(path, sizeof path) == nullptr) return SQLITE_CANTOPEN;
  return sqlite3_open(path, &db);
}

// Wait before retrying a locked database: 100000..999999 microseconds.
void waitForLock() {
  unsigned long long delay = (static_cast<unsigned long long>(rand()) * 32) % 1000000 + 100000;
  if (delay > 999999) delay = 999999;
  usleep(static_cast<useconds_t>(delay));
}

void logExecFailure(const char* file, int line, const char* statement, const char* error) {
  // The statement carries pushed values: escaped and cut like any pushed text.
  flxFailureLine(file, line, FailureForm::kExec, "Exec sql:[%s] error: %s\n",
                 flx::logText(statement).c_str(), error);
}

void logAllocFailure(const char* file, int line, unsigned long long size) {
  flxFailureLine(file, line, FailureForm::kExec, "Can't malloc memory: %llu bytes\n", size);
}

// Tells the push path that the statement failed for a reason that may pass (the item is then
// kept for a later try).
void noteFault(sqlite3* db, int rc) {
  KVLIBFaultNoteSqlite(rc, db != nullptr ? sqlite3_system_errno(db) : 0);
}

// Opens again when the unit's open gave no connection. 0 when `db` is usable.
int ensureOpen(sqlite3*& db, const char* file, int line) {
  if (db != nullptr) return 0;
  int rc;
  {
    PrivilegedSection section(file, line);
    rc = openCacheDb(db);
    if (rc != 0) flxShortFailure(file, line, kOpenCheck);
  }
  return rc != 0 ? -1 : 0;
}

}  // namespace

const char* cacheDbPath(char* buf, int size) {
  if (buf == nullptr || size <= 0) return nullptr;
  int n = KEVORootPath(buf, static_cast<size_t>(size), KEVO_CACHE_DB_PATH);
  // A cut path would name another file: refuse it rather than open that.
  return n >= 0 && n < size ? buf : nullptr;
}

void cacheDbOpen(sqlite3*& db, const char* file, int line) {
  if (db != nullptr) return;  // already open: a second open would leak the first connection
  PrivilegedSection section(file, line);
  openCacheDb(db);
}

int cacheDbExec(sqlite3*& db, const char* sql, const char* file, int line) {
  char* error = nullptr;
  if (sql == nullptr) {
    // sqlite3_mprintf gives no text only when memory ran out.
    flxLog(LOG_ERR, "%s:%d Exec sql: no statement text (out of memory)", file, line);
    return -1;
  }
  if (ensureOpen(db, file, line) != 0) return -1;

  const size_t size = strlen(sql) + sizeof kPragma;  // the prefix, the statement and the NUL
  std::unique_ptr<char, FreeDeleter> text(static_cast<char*>(calloc(size, 1)));
  if (!text) {
    KVLIBErrSetEx(KVERR_OUT_OF_MEMORY, file, line);
    logAllocFailure(file, line, size);
    return -1;
  }
  snprintf(text.get(), size, "%s%s", kPragma, sql);

  for (int left = kAttempts;;) {
    int rc;
    {
      PrivilegedSection section(file, line);
      rc = sqlite3_exec(db, text.get(), nullptr, nullptr, &error);
    }
    if (rc == SQLITE_OK) return 0;
    if (error == nullptr) {
      noteFault(db, rc);
      return -1;
    }
    if (strstr(error, "database is locked") == nullptr || --left == 0) {
      noteFault(db, rc);
      break;
    }
    sqlite3_free(error);
    error = nullptr;
    waitForLock();
  }
  logExecFailure(file, line, text.get(), error);
  sqlite3_free(error);
  return -1;
}

void cacheDbClose(sqlite3*& db, const char* file, int line) {
  if (db == nullptr) return;
  PrivilegedSection section(file, line);
  sqlite3_close(db);
  db = nullptr;
}
