#include "history_db.h"

#include <ctype.h>
#include <sys/stat.h>

#include "flxhistory_schema.h"
#include "kevodb.h"
#include "kevoroot.h"

namespace flxread {
namespace {

std::string historyPath() {
  return std::string(KEVORootPrefix()) + KEVO_HISTORY_DB_PATH;
}

// The history's tables, made in the attached "h": the schema's statements with their table
// and index names qualified, without its journal setting (which would reach every database).
std::string emptySchemaSql() {
  std::string sql = flxhistory::kSchemaSql;
  const std::string pragma = "PRAGMA journal_mode=WAL;";
  if (sql.compare(0, pragma.size(), pragma) == 0) sql.erase(0, pragma.size());
  for (const std::string create : {"CREATE TABLE IF NOT EXISTS ", "CREATE INDEX IF NOT EXISTS "}) {
    for (size_t at = 0; (at = sql.find(create, at)) != std::string::npos;) {
      at += create.size();
      sql.insert(at, "h.");
    }
  }
  return sql;
}

// Reading the tables once checks the file and opens its WAL files while root's ids hold.
const char kProbeSql[] =
    "SELECT count(*) FROM h.sqlite_master; SELECT 1 FROM h.events LIMIT 0;"
    " SELECT 1 FROM h.samples LIMIT 0; SELECT 1 FROM h.summary LIMIT 0;";

}  // namespace

bool attachHistory(sqlite3* db, KEVOFILEID& id, std::string& error) {
  const std::string path = historyPath();
  id = {0, 0};
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && KEVOFileIdGet(path.c_str(), &id)) {
    if (kevo::sqliteAttach(db, kevo::sqliteFileUri(path, "mode=ro"), "h") == SQLITE_OK &&
        sqlite3_exec(db, kProbeSql, nullptr, nullptr, nullptr) == SQLITE_OK)
      return true;
    // Not readable yet (being made, or corrupt until rebuilt): read as empty meanwhile.
    sqlite3_exec(db, "DETACH DATABASE h", nullptr, nullptr, nullptr);
    id = {0, 0};
  }
  if (kevo::sqliteAttach(db, ":memory:", "h") == SQLITE_OK &&
      sqlite3_exec(db, emptySchemaSql().c_str(), nullptr, nullptr, nullptr) == SQLITE_OK)
    return true;
  error = std::string("cannot attach an empty history: ") + sqlite3_errmsg(db);
  return false;
}

bool historyUnchanged(const KEVOFILEID& id) {
  const std::string path = historyPath();
  if (id.dev == 0 && id.ino == 0) {
    struct stat st;
    return stat(path.c_str(), &st) != 0;
  }
  return KEVOFileIdSame(path.c_str(), &id) != 0;
}

}  // namespace flxread
