#include "read_db.h"

#include <ctype.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "flx_schema.h"
#include "history_db.h"
#include "kevoroot.h"

namespace flxread {

std::string failingDiskSql(const std::string& alias) {
  const std::string a = alias.empty() ? alias : alias + ".";
  return "(lower(" + a + "status) NOT IN ('', 'good', 'normal', 'ready', 'initialized') OR lower(" +
         a + "smart_status) NOT IN ('', 'normal', 'good', 'ok'))";
}

const char kLivenessJoin[] =
    " LEFT JOIN h.summary s ON s.device_id = d.id LEFT JOIN " KEVOFLX_TABLE_CONTACTS
    " ct ON ct.device_id = d.id";
const char kLivenessColumns[] =
    "ct.arrival AS last_contact, nullif(ct.collect_time, 0) AS last_collect,"
    " flx_push_interval(s.push_interval) AS push_interval,"
    " flx_stale(ct.arrival, s.push_interval) AS stale";

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

// flx_push_interval(learnt): the interval stale is measured in.
void sqlPushInterval(sqlite3_context* ctx, int, sqlite3_value** argv) {
  sqlite3_result_int64(ctx, livenessInterval(sqlite3_value_int64(argv[0])));
}

// flx_stale(arrival, learnt) at the clock; flx_stale_at(arrival, learnt, now): isStale.
void sqlStale(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  const int64_t now = argc > 2 ? sqlite3_value_int64(argv[2]) : clockNow();
  sqlite3_result_int(ctx, isStale(sqlite3_value_int64(argv[0]), sqlite3_value_int64(argv[1]), now));
}

// flx_natural(text): a key whose byte order is the text's natural order, case aside: each run
// of digits becomes its length (two digits) and the digits without leading zeros, so that
// "store-12" comes before "store-100".
void sqlNatural(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const unsigned char* t = sqlite3_value_text(argv[0]);
  if (t == nullptr) {
    sqlite3_result_null(ctx);
    return;
  }
  try {
    std::string key;
    for (const unsigned char* p = t; *p != 0;) {
      if (!isdigit(*p)) {
        key += static_cast<char>(tolower(*p++));
        continue;
      }
      while (*p == '0' && isdigit(p[1])) ++p;
      const unsigned char* start = p;
      while (isdigit(*p)) ++p;
      const size_t n = std::min<size_t>(static_cast<size_t>(p - start), 99);
      key += static_cast<char>('0' + n / 10);
      key += static_cast<char>('0' + n % 10);
      key.append(reinterpret_cast<const char*>(start), n);
    }
    sqlite3_result_text64(ctx, key.data(), key.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  } catch (...) {
    sqlite3_result_error_nomem(ctx);
  }
}

// Whether `needle` occurs in `hay`, ASCII letters in either case (as LIKE compares them).
bool containsFolded(const unsigned char* hay, int h, const unsigned char* needle, int n) {
  auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  for (int start = 0; start + n <= h; ++start) {
    int i = 0;
    while (i < n && fold(hay[start + i]) == fold(needle[i])) ++i;
    if (i == n) return true;
  }
  return false;
}

// flx_match(text, value, ...): 1 when `text` occurs in one of the values, as LIKE '%text%'
// with the text's wildcards escaped finds it, for a fifth of its cost on a scan of the fleet.
void sqlMatch(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  const unsigned char* needle = sqlite3_value_text(argv[0]);
  if (needle == nullptr) {
    sqlite3_result_null(ctx);
    return;
  }
  const int n = sqlite3_value_bytes(argv[0]);
  for (int i = 1; i < argc; ++i) {
    const unsigned char* hay = sqlite3_value_text(argv[i]);
    if (hay != nullptr && containsFolded(hay, sqlite3_value_bytes(argv[i]), needle, n)) {
      sqlite3_result_int(ctx, 1);
      return;
    }
  }
  sqlite3_result_int(ctx, 0);
}

}  // namespace

namespace {

std::string why(const std::string& what, sqlite3* db) {
  return what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory") +
         "; run 'flx-admin init'";
}

// The history file the connection attached ({0, 0}: none yet); set by the opener, which the
// holder calls under its lock.
KEVOFILEID gHistoryId = {0, 0};

// Opens the registry with the cache attached (the holder has raised root's ids: the registry
// is root's alone). Both files are read once now, so that SQLite opens their WAL files while
// it may; the connection keeps them open, and no later call changes ids.
sqlite3* openReader(const std::vector<std::string>& paths, std::string& error) {
  const std::string& registry = paths[0];
  const std::string& cache = paths[1];
  sqlite3* raw = nullptr;
  // Opened for writing but only queried: a read-only connection would leave the WAL files
  // behind when it closes. No CREATE: a missing database is an error, not a new file.
  // URIs: the history is attached read-only by one.
  if (sqlite3_open_v2(registry.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI, nullptr) !=
      SQLITE_OK) {
    error = why("cannot open the registry database " + registry, raw);
    sqlite3_close_v2(raw);
    return nullptr;
  }
  sqlite3_busy_timeout(raw, 5000);
  int rc = kevo::sqliteAttach(raw, cache, "c");
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(
        raw, "SELECT count(*) FROM main.sqlite_master; SELECT count(*) FROM c.sqlite_master;",
        nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    error = why("cannot attach the cache database " + cache, raw);
    sqlite3_close_v2(raw);
    return nullptr;
  }
  if (!attachHistory(raw, gHistoryId, error)) {
    sqlite3_close_v2(raw);
    return nullptr;
  }
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  if (sqlite3_exec(raw, "PRAGMA query_only=ON;", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_create_function(raw, "flx_vercmp", 2, flags, nullptr, sqlVercmp, nullptr, nullptr) !=
          SQLITE_OK ||
      sqlite3_create_function(raw, "flx_push_interval", 1, flags, nullptr, sqlPushInterval, nullptr,
                              nullptr) != SQLITE_OK ||
      sqlite3_create_function(raw, "flx_stale", 2, SQLITE_UTF8, nullptr, sqlStale, nullptr,
                              nullptr) != SQLITE_OK ||
      sqlite3_create_function(raw, "flx_stale_at", 3, flags, nullptr, sqlStale, nullptr, nullptr) !=
          SQLITE_OK ||
      sqlite3_create_function(raw, "flx_natural", 1, flags, nullptr, sqlNatural, nullptr,
                              nullptr) != SQLITE_OK ||
      sqlite3_create_function(raw, "flx_match", -1, flags, nullptr, sqlMatch, nullptr, nullptr) !=
          SQLITE_OK) {
    error = why("cannot prepare the read connection", raw);
    sqlite3_close_v2(raw);
    return nullptr;
  }
  return raw;
}

kevo::SharedDb& holder() {
  // The history may appear, or be replaced, after the connection was opened.
  static kevo::SharedDb h(openReader, [] { return historyUnchanged(gHistoryId); });
  return h;
}

}  // namespace

ReadDb::ReadDb()
    : use_(holder(), {std::string(KEVORootPrefix()) + KEVO_REGISTRY_DB_PATH,
                      std::string(KEVORootPrefix()) + KEVO_CACHE_DB_PATH}),
      db_(use_.handle()),
      error_(use_.error()) {}

void ReadDb::fail(const std::string& what) {
  error_ = why(what, db_);
  holder().markBroken(db_);
  db_ = nullptr;
}

std::string wholeListSql(const std::string& rowsSql) {
  std::string sql = rowsSql;
  const std::string total = FLXREAD_TOTAL_SQL;
  for (size_t at; (at = sql.find(total)) != std::string::npos;)
    sql.replace(at, total.size(), "0 AS " FLXREAD_TOTAL_COLUMN);
  return sql;
}

// "%text%" for LIKE, with the wildcards of the text escaped by '\'.
std::string likePattern(const std::string& text) {
  std::string out = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out + "%";
}

Result storeFailed(const ReadDb& db, std::string& err) {
  err = db.error().empty() ? "reading the stores failed" : db.error();
  return kStoreFailed;
}

Query::Query(ReadDb& db, const std::string& sql) : db_(db) {
  if (!db.ok()) return;
  held_.emplace(holder(), db.handle(), sql);
  if (held_->rc() != SQLITE_OK) {
    db.fail("cannot read the stores");
    return;
  }
  st_ = held_->get();
}

Query& Query::bind(const std::string& v) {
  if (st_) sqlite3_bind_text64(st_, param_, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  ++param_;
  return *this;
}

Query& Query::bind(int64_t v) {
  if (st_) sqlite3_bind_int64(st_, param_, v);
  ++param_;
  return *this;
}

Query& Query::bind(double v) {
  if (st_) sqlite3_bind_double(st_, param_, v);
  ++param_;
  return *this;
}

int Query::step() {
  if (!st_) return SQLITE_MISUSE;
  int rc = sqlite3_step(st_);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) db_.fail("cannot read the stores");
  return rc;
}

std::string Query::text(int col) const {
  const unsigned char* t = sqlite3_column_text(st_, col);
  return t != nullptr ? std::string(reinterpret_cast<const char*>(t),
                                    static_cast<size_t>(sqlite3_column_bytes(st_, col)))
                      : std::string();
}

Json::Value Query::value(int col) const {
  switch (sqlite3_column_type(st_, col)) {
    case SQLITE_INTEGER:
      return Json::Int64(sqlite3_column_int64(st_, col));
    case SQLITE_FLOAT:
      return sqlite3_column_double(st_, col);
    case SQLITE_NULL:
      return Json::Value();
    default:
      return text(col);
  }
}

Json::Value Query::row() const {
  Json::Value o(Json::objectValue);
  const int n = sqlite3_column_count(st_);
  for (int c = 0; c < n; ++c) o[sqlite3_column_name(st_, c)] = value(c);
  return o;
}

bool Query::rows(Json::Value& out) {
  out = Json::Value(Json::arrayValue);
  int rc;
  while ((rc = step()) == SQLITE_ROW) out.append(row());
  return rc == SQLITE_DONE;
}

}  // namespace flxread
