// Numbered schema steps, run once each by the operator's tool (never on a request's path).
#include <sqlite3.h>

#include <string>
#include <vector>

#include "kevodb.h"

namespace kevo {
namespace {

bool exec(sqlite3* db, const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// True when `query` returns a row (false, with `error` set, when it fails).
bool hasRow(sqlite3* db, const char* query, std::string& error) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, query, -1, &st, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) error = sqlite3_errmsg(db);
  return rc == SQLITE_ROW;
}

}  // namespace

int sqliteUserVersion(sqlite3* db) {
  sqlite3_stmt* st = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    version = sqlite3_column_int(st, 0);
  sqlite3_finalize(st);
  return version;
}

int sqliteFileUserVersion(const std::string& path) {
  sqlite3* db = nullptr;
  int version = -1;
  if (sqlite3_open_v2(sqliteFileUri(path, "immutable=1").c_str(), &db,
                      SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK)
    version = sqliteUserVersion(db);
  sqlite3_close(db);
  return version;
}

bool sqliteMigrate(sqlite3* db, const std::vector<SchemaStep>& steps, int& from,
                   std::string& error) {
  from = sqliteUserVersion(db);
  if (from < 0) {
    error = std::string("cannot read its schema version: ") + sqlite3_errmsg(db);
    return false;
  }
  for (const SchemaStep& step : steps) {
    if (step.version <= from) continue;
    // The write lock is taken first, so that two tools migrating at once run each step once.
    if (!exec(db, "BEGIN IMMEDIATE")) {
      error = std::string("cannot lock it for step ") + std::to_string(step.version) + ": " +
              sqlite3_errmsg(db);
      return false;
    }
    const int now = sqliteUserVersion(db);
    std::string why;
    bool ok = now >= 0;
    if (ok && now < step.version) {
      const bool done = step.doneIf != nullptr && hasRow(db, step.doneIf, why);
      ok = why.empty() && (done || exec(db, step.sql)) &&
           exec(db, "PRAGMA user_version=" + std::to_string(step.version));
    }
    if (!ok || !exec(db, "COMMIT")) {
      error = "step " + std::to_string(step.version) +
              " failed: " + (why.empty() ? sqlite3_errmsg(db) : why.c_str());
      exec(db, "ROLLBACK");
      return false;
    }
  }
  return true;
}

}  // namespace kevo
