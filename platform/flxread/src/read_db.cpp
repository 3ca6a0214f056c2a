#include "read_db.h"

#include <sys/stat.h>
#include <unistd.h>

#include "history_db.h"
#include "kevoids.h"
#include "kevoroot.h"

namespace flxread {

std::string failingDiskSql(const std::string& alias) {
  const std::string a = alias.empty() ? alias : alias + ".";
  return "(lower(" + a + "status) NOT IN ('', 'good', 'normal', 'ready', 'initialized') OR lower(" +
         a + "smart_status) NOT IN ('', 'normal', 'good', 'ok'))";
}

// A storage push replaces the device's volume, disk group and disk rows together, all with
// its collect time, so the first of them that has rows tells that time; shares come apart.
const char kLastSeenSql[] =
    "max(coalesce((SELECT max(mtime) FROM c.vol_info WHERE qx_id = d.id),"
    " (SELECT max(mtime) FROM c.hdd_info WHERE qx_id = d.id),"
    " (SELECT max(mtime) FROM c.dg_info WHERE qx_id = d.id), 0),"
    " coalesce((SELECT max(mtime) FROM c.share_info WHERE qx_id = d.id), 0),"
    " flx_mirror_mtime(d.id))";

std::vector<std::pair<std::string, std::string>> cacheIndexes() {
  // clang-format off
  return {
      // A device's last report: the newest row of each table, one seek each.
      {"vol_info_seen",   "CREATE INDEX IF NOT EXISTS vol_info_seen ON vol_info(qx_id, mtime)"},
      {"dg_info_seen",    "CREATE INDEX IF NOT EXISTS dg_info_seen ON dg_info(qx_id, mtime)"},
      {"hdd_info_seen",   "CREATE INDEX IF NOT EXISTS hdd_info_seen ON hdd_info(qx_id, mtime)"},
      {"share_info_seen", "CREATE INDEX IF NOT EXISTS share_info_seen ON share_info(qx_id, mtime)"},
      // Summaries without touching the rows: fullest volume, hottest disk.
      {"vol_info_use",    "CREATE INDEX IF NOT EXISTS vol_info_use ON vol_info(qx_id, size_used, size_total)"},
      {"hdd_info_temp",   "CREATE INDEX IF NOT EXISTS hdd_info_temp ON hdd_info(qx_id, temp)"},
      {"hdd_info_hot",    "CREATE INDEX IF NOT EXISTS hdd_info_hot ON hdd_info(temp)"},
      // Failing disks are few: a partial index finds them without reading the others.
      {"hdd_info_failing", "CREATE INDEX IF NOT EXISTS hdd_info_failing ON hdd_info(qx_id) WHERE " +
                           failingDiskSql("")},
  };
  // clang-format on
}

namespace {

// flx_vercmp(a, b): -1, 0 or 1.
void sqlVercmp(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const unsigned char* a = sqlite3_value_text(argv[0]);
  const unsigned char* b = sqlite3_value_text(argv[1]);
  if (a == nullptr || b == nullptr) {
    sqlite3_result_null(ctx);
    return;
  }
  try {
    sqlite3_result_int(
        ctx, compareVersions(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b)));
  } catch (...) {
    sqlite3_result_error_nomem(ctx);
  }
}

// flx_mirror_mtime(id): the modification time of the device's mirrored system file, the one
// mirror file that every basic push rewrites; 0 when there is none. One stat per device keeps
// fleet-wide queries cheap where walking every mirror file would not.
void sqlMirrorMtime(sqlite3_context* ctx, int, sqlite3_value** argv) {
  char path[4096];
  const long long id = sqlite3_value_int64(argv[0]);
  int n =
      snprintf(path, sizeof path, "%s%s/%lld/kevoinfo.conf", KEVORootPrefix(), KEVO_QXINFO_DIR, id);
  struct stat st;
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path || lstat(path, &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    sqlite3_result_int64(ctx, 0);
    return;
  }
  sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(st.st_mtime));
}

}  // namespace

namespace {

// The process's one read connection and the files it was opened on.
struct Shared {
  std::recursive_mutex lock;
  sqlite3* db = nullptr;
  std::string registry, cache;
  KEVOFILEID registryId = {0, 0}, cacheId = {0, 0}, historyId = {0, 0};
  pid_t pid = 0;
  bool broken = false;

  ~Shared() { close(); }
  void close() {
    // A forked child leaves the parent's connection alone: it is neither used nor closed.
    if (db != nullptr && pid == getpid()) sqlite3_close_v2(db);
    db = nullptr;
  }
  bool current(const std::string& reg, const std::string& cch) const {
    return db != nullptr && pid == getpid() && !broken && registry == reg && cache == cch &&
           KEVOFileIdSame(reg.c_str(), &registryId) && KEVOFileIdSame(cch.c_str(), &cacheId) &&
           historyUnchanged(historyId);
  }
};

Shared& shared() {
  static Shared s;
  return s;
}

std::string why(const std::string& what, sqlite3* db) {
  return what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory") +
         "; run 'flx-admin init'";
}

// Opens the registry with the cache attached, with root's ids: the registry is root's alone.
// Both files are read once under those ids, so that SQLite opens their WAL files now; the
// connection keeps them open, and no later call changes ids.
bool openWithRootIds(sqlite3*& raw, const std::string& registry, const std::string& cache,
                     KEVOFILEID& registryId, KEVOFILEID& cacheId, KEVOFILEID& historyId,
                     std::string& error) {
  kevo::RootIds ids;
  // Opened for writing but only queried: a read-only connection would leave the WAL files
  // behind when it closes. No CREATE: a missing database is an error, not a new file.
  if (sqlite3_open_v2(registry.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI, nullptr) !=
          SQLITE_OK ||
      !KEVOFileIdGet(registry.c_str(), &registryId)) {
    error = why("cannot open the registry database " + registry, raw);
    return false;
  }
  sqlite3_busy_timeout(raw, 5000);
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(raw, "ATTACH DATABASE ? AS c", -1, &st, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(st, 1, cache.c_str(), -1, SQLITE_TRANSIENT);
    rc = sqlite3_step(st) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
  }
  sqlite3_finalize(st);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(
        raw, "SELECT count(*) FROM main.sqlite_master; SELECT count(*) FROM c.sqlite_master;",
        nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK || !KEVOFileIdGet(cache.c_str(), &cacheId)) {
    error = why("cannot attach the cache database " + cache, raw);
    return false;
  }
  return attachHistory(raw, historyId, error);
}

bool openShared(Shared& s, const std::string& registry, const std::string& cache,
                std::string& error) {
  sqlite3* raw = nullptr;
  KEVOFILEID registryId = {0, 0}, cacheId = {0, 0}, historyId = {0, 0};
  bool ok = openWithRootIds(raw, registry, cache, registryId, cacheId, historyId, error);
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  if (ok && (sqlite3_exec(raw, "PRAGMA query_only=ON;", nullptr, nullptr, nullptr) != SQLITE_OK ||
             sqlite3_create_function(raw, "flx_vercmp", 2, flags, nullptr, sqlVercmp, nullptr,
                                     nullptr) != SQLITE_OK ||
             sqlite3_create_function(raw, "flx_mirror_mtime", 1, SQLITE_UTF8, nullptr,
                                     sqlMirrorMtime, nullptr, nullptr) != SQLITE_OK)) {
    error = why("cannot prepare the read connection", raw);
    ok = false;
  }
  if (!ok) {
    sqlite3_close_v2(raw);
    return false;
  }
  s.db = raw;
  s.registry = registry;
  s.cache = cache;
  s.registryId = registryId;
  s.cacheId = cacheId;
  s.historyId = historyId;
  s.pid = getpid();
  s.broken = false;
  return true;
}

}  // namespace

ReadDb::ReadDb() : hold_(shared().lock) {
  Shared& s = shared();
  const std::string registry = std::string(KEVORootPrefix()) + KEVO_REGISTRY_DB_PATH;
  const std::string cache = std::string(KEVORootPrefix()) + KEVO_CACHE_DB_PATH;
  if (!s.current(registry, cache)) {
    s.close();
    if (!openShared(s, registry, cache, error_)) return;
  }
  db_ = s.db;
}

void ReadDb::fail(const std::string& what) {
  error_ = why(what, db_);
  if (db_ != nullptr) shared().broken = true;
  db_ = nullptr;
}

Result storeFailed(const ReadDb& db, std::string& err) {
  err = db.error().empty() ? "reading the stores failed" : db.error();
  return kStoreFailed;
}

Query::Query(ReadDb& db, const std::string& sql) : db_(db) {
  if (!db.ok()) return;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    db.fail("cannot read the stores");
    return;
  }
  st_.reset(raw);
}

Query& Query::bind(const std::string& v) {
  if (st_)
    sqlite3_bind_text64(st_.get(), param_, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  ++param_;
  return *this;
}

Query& Query::bind(int64_t v) {
  if (st_) sqlite3_bind_int64(st_.get(), param_, v);
  ++param_;
  return *this;
}

Query& Query::bind(double v) {
  if (st_) sqlite3_bind_double(st_.get(), param_, v);
  ++param_;
  return *this;
}

int Query::step() {
  if (!st_) return SQLITE_MISUSE;
  int rc = sqlite3_step(st_.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) db_.fail("cannot read the stores");
  return rc;
}

std::string Query::text(int col) const {
  const unsigned char* t = sqlite3_column_text(st_.get(), col);
  return t != nullptr ? std::string(reinterpret_cast<const char*>(t),
                                    static_cast<size_t>(sqlite3_column_bytes(st_.get(), col)))
                      : std::string();
}

Json::Value Query::value(int col) const {
  switch (sqlite3_column_type(st_.get(), col)) {
    case SQLITE_INTEGER:
      return Json::Int64(sqlite3_column_int64(st_.get(), col));
    case SQLITE_FLOAT:
      return sqlite3_column_double(st_.get(), col);
    case SQLITE_NULL:
      return Json::Value();
    default:
      return text(col);
  }
}

Json::Value Query::row() const {
  Json::Value o(Json::objectValue);
  const int n = sqlite3_column_count(st_.get());
  for (int c = 0; c < n; ++c) o[sqlite3_column_name(st_.get(), c)] = value(c);
  return o;
}

bool Query::rows(Json::Value& out) {
  out = Json::Value(Json::arrayValue);
  int rc;
  while ((rc = step()) == SQLITE_ROW) out.append(row());
  return rc == SQLITE_DONE;
}

}  // namespace flxread
