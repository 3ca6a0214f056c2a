// Plumbing shared by the registry's operations: the process's one connection, statements with
// bound parameters, record <-> column mapping and the failure edge.
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
#include "kevodb.h"

namespace flxops {
struct AuditEntry;
}

namespace flxreg {

// Sets the error slot with this source's name and line.
#define FLXREG_ERR(code) KVLIBErrSetEx((code), __FILE__, __LINE__)

// The process's connection to the registry database for the length of one operation (the
// connection itself lives on in the core library's holder, one per process). It is opened
// once, with root's ids, and opened again after a failure that may have broken it, when the
// file was replaced or the root moved, and in a forked child. ok() is false (error slot set)
// when it cannot be opened.
class Db {
 public:
  Db();
  ~Db() = default;
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  bool ok() const { return use_.handle() != nullptr; }
  sqlite3* handle() const { return use_.handle(); }
  // Runs parameterless SQL text. False, error slot set, on failure.
  bool exec(const char* sql);

 private:
  kevo::SharedDb::Use use_;  // one operation at a time on the connection
};

// True when the connection's schema is at least this library's; otherwise false, with the
// error slot set and a failure that says to run 'flx-admin init'.
bool checkSchema(sqlite3* db);

// The connection's write transaction: BEGIN IMMEDIATE takes the write lock at once (waiting
// through SQLite's backoff), so that an operation's reads and writes see one registry; rolled
// back unless committed. Inside a transaction already open (a batch of operations), it is a
// savepoint of it: undone alone when it fails, kept when the outer one commits.
class Transaction {
 public:
  explicit Transaction(Db& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool ok() const { return ok_; }
  bool commit();

 private:
  Db& db_;
  bool nested_;
  bool ok_;
  bool done_ = false;
};

// Appends `e` to the audit trail on `db`, inside the caller's transaction if any (audit.cpp).
bool appendAudit(const Db& db, const flxops::AuditEntry& e);
// The group of device `sn` ("" when in none); false when the device is unknown or on failure
// (groups.cpp).
bool deviceGroup(const Db& db, const std::string& sn, std::string& group);

// Closes the process's connection (the next operation opens it again).
void closeShared();

// A prepared statement. Parameters are bound in order; columns are read in order after each
// step. Any failure sets the error slot.
class Stmt {
 public:
  Stmt(const Db& db, const std::string& sql);
  Stmt(sqlite3* db, const std::string& sql);  // a kept statement when `db` is the connection
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
  kevo::SharedDb::Statement held_;
  sqlite3_stmt* st_ = nullptr;
  int param_ = 1;
  int col_ = 0;
  int bindRc_ = SQLITE_OK;
};

// Sets the error slot for a failed SQLite call: constraint kinds map to "not found" (a
// missing device) and "exists" (a duplicate key). Keeps SQLite's text for the operation's
// log line, notes busy, full and I/O conditions as transient, and marks the connection for
// reopening after a failure that may have broken it.
void setDbError(sqlite3* db, int rc);

// Logs "registry: cannot <what>: <SQLite's text>" when a database failure was recorded since
// the operation began; otherwise nothing (bad arguments and unknown records are not news).
void logDbFailure(const char* what);
// Forgets the recorded database failure at the start of an operation.
void clearDbFailure();

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

// Reads every row of `st` into `out` with `fill`, replacing what it held. Negative, with `out`
// unchanged, on failure.
template <class T, class Fill>
int collectInto(Stmt& st, std::vector<T>& out, Fill fill) {
  std::vector<T> list;
  int rc;
  while ((rc = st.step()) == SQLITE_ROW) {
    list.emplace_back();
    fill(list.back());
  }
  if (rc != SQLITE_DONE) return -1;
  out.swap(list);
  return 0;
}

// Runs `fn` and turns any exception into `failure` with the error slot set: nothing may
// leave the library by throwing. A database failure is logged as "cannot <what>".
template <class R, class Fn>
R guarded(const char* what, R failure, Fn&& fn) noexcept {
  clearDbFailure();
  try {
    R result = fn();
    if (result == failure) logDbFailure(what);
    return result;
  } catch (const std::bad_alloc&) {
    FLXREG_ERR(KVERR_OUT_OF_MEMORY);
  } catch (...) {
    FLXREG_ERR(KEVOFLX_ERR_DATABASE);
  }
  logDbFailure(what);
  return failure;
}

template <class R, class Fn>
R guarded(R failure, Fn&& fn) noexcept {
  return guarded("use the registry", failure, static_cast<Fn&&>(fn));
}

}  // namespace flxreg

#endif  // FLX_REGISTRY_DB_H
