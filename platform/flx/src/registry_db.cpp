#include "registry_db.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>

#include "kevoroot.h"
#include "records.h"

namespace flxreg {

namespace {

// How long a statement waits for a registry that another connection holds, in sleeps:
// about as long as the cache database's retries last.
const long long kBusyWaitUs = 60LL * 1000 * 1000;

// A writer holds the registry for a fraction of a millisecond, and a fleet enrolling at once
// queues many: SQLite's own wait (1 ms growing to 100 ms between looks) leaves the queue asleep
// long after the lock is free. These steps (microseconds) stay close to a writer's length.
int waitForWriter(void*, int count) {
  static const int kSteps[] = {20, 50, 100, 200, 500, 1000};
  const int kLast = sizeof kSteps / sizeof kSteps[0] - 1;
  thread_local long long slept = 0;
  if (count == 0) slept = 0;
  if (slept >= kBusyWaitUs) return 0;
  const long long step =
      std::min<long long>(kSteps[count < kLast ? count : kLast], kBusyWaitUs - slept);
  usleep(static_cast<useconds_t>(step));
  slept += step;
  return 1;
}

// What the last failed SQLite call of this thread said, for the operation's log line.
thread_local bool tFailed = false;
thread_local char tFailText[256];

void noteFailure(const char* text) {
  tFailed = true;
  snprintf(tFailText, sizeof tFailText, "%s", text != nullptr ? text : "unknown error");
}

// Creates the file 0600 when missing: SQLite gives its -wal and -shm files the same mode.
void createPrivate(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) close(fd);
}

bool prepare(sqlite3* db);

// Opens the registry (the holder has raised root's ids) and brings its schema up to date.
// Failures are recorded here, so `error` stays empty.
sqlite3* openRegistry(const std::vector<std::string>& paths, std::string&) {
  const std::string& path = paths.front();
  createPrivate(path);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    noteFailure(db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    FLXREG_ERR(KEVOFLX_ERR_DATABASE);
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_handler(db, waitForWriter, nullptr);
  if (!prepare(db)) {
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

kevo::SharedDb& holder() {
  static kevo::SharedDb h(openRegistry);
  return h;
}

}  // namespace

Db::Db() : use_(holder(), {std::string(KEVORootPrefix()) + KEVO_REGISTRY_DB_PATH}) {
  if (use_.handle() == nullptr && !use_.error().empty()) {
    noteFailure(use_.error().c_str());
    FLXREG_ERR(KEVOFLX_ERR_DATABASE);
  }
}

void closeShared() {
  holder().close();
}

void clearDbFailure() {
  tFailed = false;
}

void logDbFailure(const char* what) {
  if (!tFailed) return;
  syslog(LOG_ERR, "registry: cannot %s: %s", what, tFailText);
  tFailed = false;
}

bool Db::exec(const char* sql) {
  int rc = sqlite3_exec(handle(), sql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  setDbError(handle(), rc);
  return false;
}

namespace {

bool prepare(sqlite3* db) {
  int rc = sqlite3_exec(db, "PRAGMA foreign_keys=ON;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    setDbError(db, rc);
    return false;
  }
  return checkSchema(db);
}

}  // namespace

// Operations never change the schema: a database whose schema is older than this library's
// is refused, with the way out in the operation's log line.
bool checkSchema(sqlite3* db) {
  const int v = kevo::sqliteUserVersion(db);
  if (v < 0) {
    setDbError(db, sqlite3_errcode(db));
    return false;
  }
  if (v >= kSchemaVersion) return true;
  char text[160];
  snprintf(text, sizeof text,
           "its schema is version %d, this program needs %d; run 'flx-admin init' to migrate it", v,
           kSchemaVersion);
  noteFailure(text);
  FLXREG_ERR(KEVOFLX_ERR_DATABASE);
  return false;
}

Stmt::Stmt(const Db& db, const std::string& sql) : Stmt(db.handle(), sql) {}

Stmt::Stmt(sqlite3* db, const std::string& sql) : db_(db), held_(holder(), db, sql) {
  st_ = held_.get();
  if (held_.rc() != SQLITE_OK) setDbError(db_, held_.rc());
}

void Stmt::bind(const std::string& v) {
  int rc = sqlite3_bind_text64(st_, param_++, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK && bindRc_ == SQLITE_OK) bindRc_ = rc;
}

void Stmt::bind(int64_t v) {
  int rc = sqlite3_bind_int64(st_, param_++, v);
  if (rc != SQLITE_OK && bindRc_ == SQLITE_OK) bindRc_ = rc;
}

int Stmt::step() {
  if (st_ == nullptr) return SQLITE_MISUSE;
  if (bindRc_ != SQLITE_OK) {
    setDbError(db_, bindRc_);
    return bindRc_;
  }
  col_ = 0;
  int rc = sqlite3_step(st_);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) setDbError(db_, rc);
  return rc;
}

namespace {

// Transaction control through the connection's kept statements: compiled once, not at each
// operation (a batch of joins opens and releases a savepoint for every one).
bool control(const Db& db, const char* sql) {
  Stmt st(db, sql);
  return st.run();
}

}  // namespace

Transaction::Transaction(Db& db)
    : db_(db),
      nested_(sqlite3_get_autocommit(db.handle()) == 0),
      ok_(control(db, nested_ ? "SAVEPOINT op" : "BEGIN IMMEDIATE")) {}

Transaction::~Transaction() {
  if (!ok_ || done_) return;
  sqlite3_exec(db_.handle(), nested_ ? "ROLLBACK TO op; RELEASE op" : "ROLLBACK", nullptr, nullptr,
               nullptr);
}

bool Transaction::commit() {
  done_ = control(db_, nested_ ? "RELEASE op" : "COMMIT");
  return done_;
}

bool Stmt::run() {
  int rc;
  while ((rc = step()) == SQLITE_ROW) {
  }
  return rc == SQLITE_DONE;
}

void Stmt::read(std::string& v) {
  const unsigned char* text = sqlite3_column_text(st_, col_);
  int len = sqlite3_column_bytes(st_, col_);
  ++col_;
  v.assign(text != nullptr ? reinterpret_cast<const char*>(text) : "",
           text != nullptr ? static_cast<size_t>(len) : 0);
}

void setDbError(sqlite3* db, int rc) {
  int ext = db != nullptr ? sqlite3_extended_errcode(db) : rc;
  noteFailure(db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
  KVLIBFaultNoteSqlite(ext, db != nullptr ? sqlite3_system_errno(db) : 0);
  switch (ext & 0xff) {
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_FULL:
      // The connection may hold a stale view of a broken or replaced file: start afresh.
      holder().markBroken(db);
      break;
  }
  switch (ext) {
    case SQLITE_CONSTRAINT_FOREIGNKEY:
      FLXREG_ERR(KVERR_NOT_FOUND);
      tFailed = false;  // a missing device: the caller's news, not a database failure
      break;
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_PRIMARYKEY:
      FLXREG_ERR(KEVOFLX_ERR_EXISTS);
      tFailed = false;
      break;
    case SQLITE_NOMEM:
      FLXREG_ERR(KVERR_OUT_OF_MEMORY);
      break;
    default:
      FLXREG_ERR(KEVOFLX_ERR_DATABASE);
  }
}

std::string joinColumns(const std::vector<std::string>& cols, const char* suffix) {
  std::string out;
  for (const std::string& c : cols) {
    if (!out.empty()) out += ", ";
    out += c;
    out += suffix;
  }
  return out;
}

std::string selectSql(const char* table, const std::vector<std::string>& cols) {
  return std::string("SELECT id, ") + joinColumns(cols) + " FROM " + table;
}

std::string upsertSql(const char* table, const std::vector<std::string>& cols, const char* keys) {
  std::string marks;
  std::string updates;
  std::string keyList = std::string(", ") + keys + ",";
  for (const std::string& c : cols) {
    marks += marks.empty() ? "?" : ", ?";
    if (keyList.find(" " + c + ",") != std::string::npos) continue;
    if (!updates.empty()) updates += ", ";
    updates += c + "=excluded." + c;
  }
  return std::string("INSERT INTO ") + table + "(" + joinColumns(cols) + ") VALUES(" + marks +
         ") ON CONFLICT(" + keys + ") DO UPDATE SET " + updates + " RETURNING id";
}

int failInvalid() {
  FLXREG_ERR(KVERR_INVALID_ARGUMENT);
  return -1;
}

int runChange(const Db& db, Stmt& st) {
  if (!st.run()) return -1;
  if (sqlite3_changes(db.handle()) == 0) {
    FLXREG_ERR(KVERR_NOT_FOUND);
    return -1;
  }
  return 0;
}

bool parseU64(const char* text, uint64_t& out) {
  if (text == nullptr || *text == '\0') return false;
  uint64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    unsigned digit = static_cast<unsigned>(*p - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  out = v;
  return true;
}

}  // namespace flxreg
