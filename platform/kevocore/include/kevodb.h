// The process's one connection to a store, shared by a library's operations (the registry and
// the read views each keep one): opened once, with root's ids, and opened again after a
// failure that may have broken it, when a file it was opened on was replaced or the root
// moved, and in a forked child. Statements are prepared once and kept with the connection.
#ifndef KEVODB_H
#define KEVODB_H

#include <sys/types.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "kevoids.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kevo {

class SharedDb {
 public:
  // Opens a connection on `paths` (the first is the file opened, the others are attached);
  // called with root's ids raised. On failure it closes what it opened, returns null and may
  // say why in `error` (left empty when it reported the failure itself).
  using Opener = sqlite3* (*)(const std::vector<std::string>& paths, std::string& error);

  // Whether something the connection depends on beyond `paths` is unchanged (null: nothing).
  using Fresh = bool (*)();

  explicit SharedDb(Opener open, Fresh fresh = nullptr) : open_(open), fresh_(fresh) {}
  ~SharedDb() { close(); }
  SharedDb(const SharedDb&) = delete;
  SharedDb& operator=(const SharedDb&) = delete;

  // The connection for the length of one operation, which holds the others off (the same
  // thread may nest). Null, with error() saying why, when it cannot be opened.
  class Use {
   public:
    Use(SharedDb& holder, const std::vector<std::string>& paths);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    sqlite3* handle() const { return db_; }
    const std::string& error() const { return error_; }

   private:
    std::unique_lock<std::recursive_mutex> hold_;
    SharedDb& holder_;
    sqlite3* db_ = nullptr;
    std::string error_;
  };

  // A statement of `db` for one operation: the connection's kept one for `sql` when `db` is
  // the connection (prepared on first use), else one of its own. A kept statement is reset on
  // release, another finalized. rc() is SQLite's result of preparing it.
  class Statement {
   public:
    Statement(SharedDb& holder, sqlite3* db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return st_; }
    int rc() const { return rc_; }

   private:
    SharedDb& holder_;
    sqlite3_stmt* st_ = nullptr;
    std::string key_;  // the SQL of a kept statement; empty for one of its own
    int rc_ = 0;
  };

  // The next Use opens afresh, when `db` is the connection.
  void markBroken(sqlite3* db);
  // Closes the connection; the next Use opens it again.
  void close();

 private:
  struct Kept {
    sqlite3_stmt* st;
    bool busy;  // held by a Statement
  };
  // More distinct texts than this are not kept: queries built from operator input must not
  // grow the connection without bound.
  static const size_t kMaxKept = 256;

  bool current(const std::vector<std::string>& paths) const;
  bool reopen(const std::vector<std::string>& paths, std::string& error);

  Opener open_;
  Fresh fresh_;
  std::recursive_mutex lock_;
  sqlite3* db_ = nullptr;
  std::vector<std::string> paths_;
  std::vector<KEVOFILEID> files_;
  pid_t pid_ = 0;
  int uses_ = 0;  // Uses alive: a nested one never closes the connection under an outer one
  bool broken_ = false;
  std::unordered_map<std::string, Kept> kept_;
};

// A SQLite URI for the file `path` with `query` (e.g. "mode=ro"): every byte that could end the
// path or start a query is escaped.
std::string sqliteFileUri(const std::string& path, const char* query);
// True when the database at `path` has every table or index named; opened as an immutable
// file, so that looking leaves no trace (no WAL files coming and going).
bool sqliteHasObjects(const std::string& path, const std::vector<const char*>& names);
// Attaches `file` (a path or URI) to `db` as `schema` (a fixed name). SQLite's result code.
int sqliteAttach(sqlite3* db, const std::string& file, const char* schema);

// One numbered change of a database's schema. Versions start at 1 and rise by one per step;
// the database's user_version names the last step it has had.
struct SchemaStep {
  int version;
  std::string sql;
  // A query that returns a row when the change is already there (databases made before
  // versions were kept); the step is then only counted. Null: always run.
  const char* doneIf;
};

// The database's user_version; -1 when it cannot be read.
int sqliteUserVersion(sqlite3* db);
// The user_version of the database file at `path`, read as an immutable file so that looking
// leaves no trace; -1 when it cannot be read (0 for an empty or missing file's).
int sqliteFileUserVersion(const std::string& path);
// Runs every step above the database's user_version, each once, in a transaction of its own
// that also sets user_version, so that a failure leaves the database at the last whole step.
// `from` gets the version found. False with `error` (the step and SQLite's text) on failure.
bool sqliteMigrate(sqlite3* db, const std::vector<SchemaStep>& steps, int& from,
                   std::string& error);

}  // namespace kevo

#endif  // KEVODB_H
