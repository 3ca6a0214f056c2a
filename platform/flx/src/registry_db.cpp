#include "registry_db.h"

#include <unistd.h>

#include "kevoroot.h"
#include "records.h"

namespace flxreg {

RootIds::RootIds() {
  uid_t ruid, euid, suid;
  if (getresuid(&ruid, &euid, &suid) != 0 || euid == 0 || suid != 0) return;
  euid_ = euid;
  egid_ = getegid();
  if (setresuid(-1, 0, -1) != 0) return;
  raised_ = true;
  if (setresgid(-1, 0, -1) != 0) {
    // Root's user id alone is enough to write the registry; keep the group as it was.
  }
}

RootIds::~RootIds() {
  if (!raised_) return;
  // Group first, while the user id still allows any change.
  if (setresgid(-1, egid_, -1) != 0 || setresuid(-1, euid_, -1) != 0) {
    // Nothing sensible is left to do in a destructor; the next privileged step will notice.
  }
}

Db::Db() {
  std::string path = std::string(KEVORootPrefix()) + KEVO_REGISTRY_DB_PATH;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  db_ = db;
  if (rc != SQLITE_OK) {
    FLXREG_ERR(KEVOFLX_ERR_DATABASE);
    sqlite3_close(db_);
    db_ = nullptr;
    return;
  }
  sqlite3_busy_timeout(db_, 5000);
  if (!exec("PRAGMA foreign_keys=ON;") || !ensureSchema()) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
}

Db::~Db() {
  sqlite3_close(db_);
}

bool Db::exec(const char* sql) {
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  setDbError(db_, rc);
  return false;
}

// The schema carries its version in user_version, so an up-to-date database is only read.
bool Db::ensureSchema() {
  int64_t v = 0;
  {
    // Finalised before the journal mode changes: an open statement would block it.
    Stmt version(*this, "PRAGMA user_version;");
    if (version.step() != SQLITE_ROW) return false;
    version.read(v);
  }
  if (v >= kSchemaVersion) return true;
  if (!exec("PRAGMA journal_mode=WAL;")) return false;
  std::string script = "BEGIN IMMEDIATE;" + schemaSql() +
                       "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";COMMIT;";
  if (exec(script.c_str())) return true;
  sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
  return false;
}

Stmt::Stmt(const Db& db, const std::string& sql) : db_(db.handle()) {
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st_, nullptr);
  if (rc != SQLITE_OK) {
    setDbError(db_, rc);
    sqlite3_finalize(st_);
    st_ = nullptr;
  }
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
  switch (ext) {
    case SQLITE_CONSTRAINT_FOREIGNKEY:
      FLXREG_ERR(KVERR_NOT_FOUND);
      break;
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_PRIMARYKEY:
      FLXREG_ERR(KEVOFLX_ERR_EXISTS);
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
