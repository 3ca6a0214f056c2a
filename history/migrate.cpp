// The history's schema steps, run by 'flx-admin init' (and before a rebuild), never by the
// writer, which refuses an older database.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <memory>

#include "flxhistory_schema.h"
#include "writer.h"
#include "writer_internal.h"

namespace flxhistory {
using detail::kHistoryDbMode;
namespace {

// How far each notes file was taken: the writer's own bookkeeping, committed with the rows
// written for those notes, so that a note is taken exactly once.
const char kTakenSql[] =
    "CREATE TABLE IF NOT EXISTS notes_taken(file TEXT PRIMARY KEY, offset INTEGER NOT NULL);";

}  // namespace

// A change of the schema is a new step at the end (and kHistorySchemaVersion its number),
// never an edit of one that shipped. Step 1 is the schema as it stood when versions began.
std::vector<kevo::SchemaStep> historySteps() {
  return {
      {1, std::string(kSchemaSql) + kTakenSql, nullptr},
      // Histories made before the summary had push_interval: step 1 left their table as it was.
      {2, "ALTER TABLE summary ADD COLUMN push_interval INTEGER",
       "SELECT 1 FROM pragma_table_info('summary') WHERE name = 'push_interval'"},
      // The fleet's software counts (filled by the writer from its recorded states) and the
      // marks' indexes.
      {3, std::string(kSoftwareSql) + kMarkIndexesSql, nullptr},
      // The index of the push intervals.
      {4, kIntervalIndexSql, nullptr},
  };
}

int migrateHistory(int& from, std::string& err) {
  const std::string path = historyDbPath();
  // An up-to-date database is only looked at: init leaves it exactly as it was.
  from = kevo::sqliteFileUserVersion(path);
  if (from >= kHistorySchemaVersion) return 0;
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kHistoryDbMode);
  if (fd >= 0) close(fd);
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  std::string why;
  // journal_mode cannot change inside the steps' transactions: it is set first.
  if (rc != SQLITE_OK || sqlite3_busy_timeout(raw, 60000) != SQLITE_OK ||
      sqlite3_exec(raw, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
    why = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
  } else if (kevo::sqliteMigrate(raw, historySteps(), from, why)) {
    return 0;
  }
  err = "cannot migrate the history database " + path + ": " + why +
        "; check that its folder is writable and that no other tool holds it";
  return 1;
}

}  // namespace flxhistory
