// The host's connections to the store's SQLite files: one idle connection to each, and the
// synchronous level of every other connection that this process opens to them.
#include <sqlite3.h>
#include <sys/stat.h>
#include <syslog.h>

#include <mutex>
#include <utility>
#include <vector>

#include "host.h"

namespace webapihost {

namespace {

// Files whose connections commit with synchronous=NORMAL, by device and inode: the module
// names them by its own path, which may differ in spelling from the host's.
std::mutex gRelaxedMutex;
std::vector<std::pair<dev_t, ino_t>> gRelaxed;

// Runs inside every sqlite3_open of this process once registered.
int RelaxIfStore(sqlite3* db, char**, const sqlite3_api_routines*) {
  const char* name = sqlite3_db_filename(db, "main");
  struct stat st;
  if (name == nullptr || name[0] == '\0' || stat(name, &st) != 0) return SQLITE_OK;
  bool relaxed = false;
  {
    std::lock_guard<std::mutex> lock(gRelaxedMutex);
    for (const auto& id : gRelaxed)
      relaxed = relaxed || (id.first == st.st_dev && id.second == st.st_ino);
  }
  // A failure leaves SQLite's own level, which is only slower.
  if (relaxed) sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  return SQLITE_OK;
}

void Relax(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return;
  std::lock_guard<std::mutex> lock(gRelaxedMutex);
  if (gRelaxed.empty()) sqlite3_auto_extension(reinterpret_cast<void (*)(void)>(RelaxIfStore));
  gRelaxed.emplace_back(st.st_dev, st.st_ino);
}

}  // namespace

IdleConnections::~IdleConnections() {
  for (void* db : dbs_) sqlite3_close(static_cast<sqlite3*>(db));
}

bool IdleConnections::Open(const std::string& path, bool relaxSync) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_busy_timeout(db, 5000);
  // An unused connection takes no lock. One read takes the shared lock that a connection to a
  // WAL database keeps while it is open; it ends at once, so checkpoints go on as before.
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    syslog(LOG_ERR, "--keep-open %s: %s", path.c_str(),
           db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return false;
  }
  dbs_.push_back(db);
  if (relaxSync) Relax(path);
  return true;
}

}  // namespace webapihost
