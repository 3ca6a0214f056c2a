// The host's connections to the store's SQLite files: one idle connection to each, and the
// policy for every other connection that this process opens to them.
#include <malloc.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "host.h"

namespace webapihost {

namespace {

struct Held {
  std::string name;  // as SQLite names the file of the host's own connection
  dev_t dev;
  ino_t ino;
  StorePolicy policy;
};

// The held files by device and inode: the module names them by its own path, which may be
// spelt differently from the host's.
std::mutex gHeldMutex;
std::vector<Held> gHeld;

// Runs inside every sqlite3_open of this process once registered.
int ApplyPolicy(sqlite3* db, char**, const sqlite3_api_routines*) {
  const char* name = sqlite3_db_filename(db, "main");
  if (name == nullptr || name[0] == '\0') return SQLITE_OK;
  StorePolicy policy;
  {
    std::lock_guard<std::mutex> lock(gHeldMutex);
    // The same name needs no look at the file; another may still be a link to a held one.
    auto it =
        std::find_if(gHeld.begin(), gHeld.end(), [name](const Held& h) { return h.name == name; });
    struct stat st;
    if (it == gHeld.end() && stat(name, &st) == 0) {
      it = std::find_if(gHeld.begin(), gHeld.end(),
                        [&st](const Held& h) { return h.dev == st.st_dev && h.ino == st.st_ino; });
    }
    if (it == gHeld.end()) return SQLITE_OK;
    policy = it->policy;
  }
  // A failure leaves SQLite's own level, which is only slower.
  if (policy.relaxSync) sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (policy.lockWaitMs > 0) sqlite3_busy_timeout(db, policy.lockWaitMs);
  return SQLITE_OK;
}

void Hold(sqlite3* idle, const std::string& path, const StorePolicy& policy) {
  struct stat st;
  const char* name = sqlite3_db_filename(idle, "main");
  if (name == nullptr || stat(path.c_str(), &st) != 0) return;
  std::lock_guard<std::mutex> lock(gHeldMutex);
  if (gHeld.empty()) sqlite3_auto_extension(reinterpret_cast<void (*)(void)>(ApplyPolicy));
  gHeld.push_back(Held{name, st.st_dev, st.st_ino, policy});
}

}  // namespace

void KeepFreedMemory() {
  mallopt(M_TRIM_THRESHOLD, 8 << 20);
}

IdleConnections::~IdleConnections() {
  for (void* db : dbs_) sqlite3_close(static_cast<sqlite3*>(db));
}

bool IdleConnections::Open(const std::string& path, const StorePolicy& policy) {
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
  Hold(db, path, policy);
  return true;
}

}  // namespace webapihost
