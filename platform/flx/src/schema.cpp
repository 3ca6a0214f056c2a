// Migrating the registry's schema: a connection of its own, so that the process's shared one
// (which refuses an old schema) is not needed, then closed so that it reopens on the result.
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "kevoroot.h"
#include "records.h"
#include "registry_db.h"

int KEVOFLXSchemaVersion() {
  return flxreg::kSchemaVersion;
}

int KEVOFLXSchemaMigrate(int* pFrom, std::string& error) {
  try {
    const std::string path = std::string(KEVORootPrefix()) + KEVO_REGISTRY_DB_PATH;
    // An up-to-date database is only looked at: init leaves it exactly as it was.
    const int found = kevo::sqliteFileUserVersion(path);
    if (found >= flxreg::kSchemaVersion) {
      if (pFrom != nullptr) *pFrom = found;
      return 0;
    }
    // The registry holds every session id: only its owner reads it (-wal and -shm follow).
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) close(fd);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    int from = 0;
    if (rc != SQLITE_OK || sqlite3_busy_timeout(raw, 60000) != SQLITE_OK ||
        sqlite3_exec(raw, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
      error = "cannot open the registry database " + path + ": " +
              (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    } else if (!kevo::sqliteMigrate(raw, flxreg::schemaSteps(), from, error)) {
      error = "cannot migrate the registry database " + path + ": " + error;
    } else {
      if (pFrom != nullptr) *pFrom = from;
      db.reset();
      flxreg::closeShared();
      return 0;
    }
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  } catch (...) {
    error = "an unexpected failure";
  }
  FLXREG_ERR(KEVOFLX_ERR_DATABASE);
  return -1;
}
