// Statement execution on the cache database: one connection per unit of work, every
// statement prefixed with "PRAGMA foreign_keys=ON;" and retried while the database is locked.
#ifndef FLX_COMMON_CACHE_DB_H
#define FLX_COMMON_CACHE_DB_H

#include <sqlite3.h>

// Full path of the cache database below the current root.
const char* cacheDbPath(char* buf, int size);

// Opens the cache database into `db` inside a privileged section. The result is not
// examined: a failed open shows at the first statement.
void cacheDbOpen(sqlite3*& db, const char* file, int line);
// Runs one statement (reopening first when `db` is empty). 0 on success, -1 on failure;
// failures are logged with `file` and `line`.
int cacheDbExec(sqlite3*& db, const char* sql, const char* file, int line);
// Closes `db` inside a privileged section and empties it; an empty handle is left alone.
void cacheDbClose(sqlite3*& db, const char* file, int line);

// One unit of database work: opens on construction, closes on every way out.
class CacheDbUnit {
 public:
  CacheDbUnit(const char* file, int openLine, int closeLine) : file_(file), closeLine_(closeLine) {
    cacheDbOpen(db_, file_, openLine);
  }
  ~CacheDbUnit() { cacheDbClose(db_, file_, closeLine_); }
  CacheDbUnit(const CacheDbUnit&) = delete;
  CacheDbUnit& operator=(const CacheDbUnit&) = delete;

  int exec(const char* sql, int line) { return cacheDbExec(db_, sql, file_, line); }
  sqlite3*& handle() { return db_; }

 private:
  const char* file_;
  int closeLine_;
  sqlite3* db_ = nullptr;
};

#endif  // FLX_COMMON_CACHE_DB_H
