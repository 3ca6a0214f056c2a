// Plumbing shared by the registry's operations: the privilege guard, one connection per call,
// statements with bound parameters, record <-> column mapping and the failure edge.
#ifndef FLX_REGISTRY_DB_H
#define FLX_REGISTRY_DB_H

#include <sqlite3.h>
#include <stdint.h>
#include <sys/types.h>

#include <new>
#include <string>
#include <vector>

#include "flx.h"
#include "kevocore.h"

namespace flxreg {

// Sets the error slot with this source's name and line.
#define FLXREG_ERR(code) KVLIBErrSetEx((code), __FILE__, __LINE__)

// Raises the effective ids to the saved root ids for its lifetime when the process runs with
// dropped privileges (as the web API host does), so that the registry stays writable; a
// process that is already root, or has no saved root, is left alone.
class RootIds {
 public:
  RootIds();
  ~RootIds();
  RootIds(const RootIds&) = delete;
  RootIds& operator=(const RootIds&) = delete;

 private:
  bool raised_ = false;
  uid_t euid_ = 0;
  gid_t egid_ = 0;
};

// One connection to the registry database, schema created when missing. ok() is false (and
// the error slot set) when it could not be opened.
class Db {
 public:
  Db();
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  bool ok() const { return db_ != nullptr; }
  sqlite3* handle() const { return db_; }
  // Runs parameterless SQL text. False, error slot set, on failure.
  bool exec(const char* sql);

 private:
  bool ensureSchema();

  RootIds ids_;  // declared first: the connection closes before the ids are put back
  sqlite3* db_ = nullptr;
};

// A prepared statement. Parameters are bound in order; columns are read in order after each
// step. Any failure sets the error slot.
class Stmt {
 public:
  Stmt(const Db& db, const std::string& sql);
  ~Stmt() { sqlite3_finalize(st_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return st_ != nullptr; }

  void bind(const std::string& v);
  void bind(int64_t v);
  void bind(uint64_t v) { bind(static_cast<int64_t>(v)); }
  void bind(int32_t v) { bind(static_cast<int64_t>(v)); }

  // SQLITE_ROW, SQLITE_DONE, or another code after setting the error slot.
  int step();
  // Steps to the end; true when it got there.
  bool run();

  void read(std::string& v);
  void read(int64_t& v) { v = sqlite3_column_int64(st_, col_++); }
  void read(uint64_t& v) { v = static_cast<uint64_t>(sqlite3_column_int64(st_, col_++)); }
  void read(int32_t& v) { v = static_cast<int32_t>(sqlite3_column_int64(st_, col_++)); }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
  int param_ = 1;
  int col_ = 0;
  int bindRc_ = SQLITE_OK;
};

// Sets the error slot for a failed SQLite call: constraint kinds map to "not found" (a
// missing device) and "exists" (a duplicate key).
void setDbError(sqlite3* db, int rc);

// Column lists and SQL texts built from a record's visitor (see the *Columns functions).
struct ColumnNames {
  std::vector<std::string> names;
  template <class T>
  void operator()(const std::string& name, T&) {
    names.push_back(name);
  }
};
struct Binder {
  Stmt& st;
  template <class T>
  void operator()(const std::string&, const T& v) {
    st.bind(v);
  }
};
struct Reader {
  Stmt& st;
  template <class T>
  void operator()(const std::string&, T& v) {
    st.read(v);
  }
};

// "a, b, c"
std::string joinColumns(const std::vector<std::string>& cols, const char* suffix = "");
// "SELECT id, <cols> FROM <table>"
std::string selectSql(const char* table, const std::vector<std::string>& cols);
// "INSERT INTO <table>(<cols>) VALUES(?, ...) ON CONFLICT(<keys>) DO UPDATE SET c=excluded.c
// ... RETURNING id": create or replace by the unique key, keeping the row's id.
std::string upsertSql(const char* table, const std::vector<std::string>& cols, const char* keys);

// Sets "invalid argument" in the error slot; returns -1.
int failInvalid();
// Runs a statement that must change a row; "not found" when it changed none.
int runChange(const Db& db, Stmt& st);

// Parses a device id written as unsigned decimal text. False for anything else.
bool parseU64(const char* text, uint64_t& out);

// Frees a chain of records linked through pNext.
template <class Rec>
void freeChain(Rec* head) {
  while (head != nullptr) {
    Rec* next = head->pNext;
    delete head;
    head = next;
  }
}

// Reads every row of `st` into a new chain (in row order) with `fill`. Negative, with nothing
// allocated, on failure.
template <class Rec, class Fill>
int collectRows(Stmt& st, Rec** ppList, int* pTotal, Fill fill) {
  struct Chain {
    Rec* head = nullptr;
    ~Chain() { freeChain(head); }
  } chain;
  Rec** tail = &chain.head;
  int count = 0;
  int rc;
  while ((rc = st.step()) == SQLITE_ROW) {
    *tail = new Rec();
    fill(**tail);
    tail = &(*tail)->pNext;
    ++count;
  }
  if (rc != SQLITE_DONE) return -1;
  *ppList = chain.head;
  chain.head = nullptr;
  if (pTotal != nullptr) *pTotal = count;
  return 0;
}

// Runs `fn` and turns any exception into `failure` with the error slot set: nothing may
// leave the library by throwing.
template <class R, class Fn>
R guarded(R failure, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    FLXREG_ERR(KVERR_OUT_OF_MEMORY);
  } catch (...) {
    FLXREG_ERR(KEVOFLX_ERR_DATABASE);
  }
  return failure;
}

}  // namespace flxreg

#endif  // FLX_REGISTRY_DB_H
