// One read-only connection to the registry database with the cache database attached as
// "c", and prepared statements that read rows as JSON.
#ifndef FLXREAD_READ_DB_H
#define FLXREAD_READ_DB_H

#include <json/value.h>
#include <sqlite3.h>
#include <stdint.h>

#include <optional>
#include <string>

#include "flxread.h"
#include "kevodb.h"

namespace flxread {

// The process's read connection for the length of one call (the connection itself lives
// on in the core library's holder, one per process, and calls take turns on it). It is opened
// again after a failed statement, when either database file was replaced or the root moved,
// and in a forked child.
class ReadDb {
 public:
  ReadDb();
  ReadDb(const ReadDb&) = delete;
  ReadDb& operator=(const ReadDb&) = delete;

  bool ok() const { return db_ != nullptr; }
  sqlite3* handle() const { return db_; }
  // Why the connection could not be made, or the last statement's failure.
  const std::string& error() const { return error_; }
  // Records the failure; the connection is not used again by this call, and the next call
  // opens a fresh one.
  void fail(const std::string& what);

 private:
  kevo::SharedDb::Use use_;
  sqlite3* db_;
  std::string error_;
};

// A statement, prepared once and kept with the connection; binds by position, reads columns
// by index.
class Query {
 public:
  Query(ReadDb& db, const std::string& sql);
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  bool ok() const { return st_ != nullptr; }
  Query& bind(const std::string& v);
  Query& bind(int64_t v);
  Query& bind(double v);
  // SQLITE_ROW, SQLITE_DONE, or another code (the failure is recorded in the ReadDb).
  int step();
  int64_t i64(int col) const { return sqlite3_column_int64(st_, col); }
  std::string text(int col) const;
  Json::Value value(int col) const;
  // The current row as an object keyed by column name.
  Json::Value row() const;
  // Every remaining row as objects; false when a step failed.
  bool rows(Json::Value& out);

 private:
  ReadDb& db_;
  std::optional<kevo::SharedDb::Statement> held_;
  sqlite3_stmt* st_ = nullptr;
  int param_ = 1;
};

// SQL of a disk whose status or SMART status is not a normal one; `alias` names the disk row
// (empty: unqualified).
std::string failingDiskSql(const std::string& alias);

// A device's liveness (see isStale): the joins of its summary row `s` and contact row `ct` to
// the device row `d`, and the columns last_contact, last_collect, push_interval and stale.
extern const char kLivenessJoin[];
extern const char kLivenessColumns[];

// scopeSql as a join of the device rows (`deviceId` names their id) that keeps those in
// `scope`: the table (alias sg) follows them, so that a scan in an index's order stays one.
std::string scopeJoinSql(const Scope& scope, const char* deviceId = "d.id");
// A statement without parameters whose one value is 1 when the groups of `scope` (not empty)
// hold every device of the fleet: it then sees what an all-devices reader sees.
std::string scopeCoversSql(const Scope& scope);
// The number of devices in `scope`, as a statement without parameters.
std::string scopeCountSql(const Scope& scope);
// The scope's group ids as a list of integer literals for IN (...).
std::string scopeGroupIds(const Scope& scope);

// "%text%" for LIKE ... ESCAPE '\\', with the wildcards of the text escaped.
std::string likePattern(const std::string& text);

// The result of a failed read: kStoreFailed with the connection's error in `err`.
Result storeFailed(const ReadDb& db, std::string& err);

// The column that carries the number of all matching rows in every row of a page.
#define FLXREAD_TOTAL_COLUMN "total_rows"
#define FLXREAD_TOTAL_SQL "count(*) OVER () AS " FLXREAD_TOTAL_COLUMN

// Every row of `rowsSql` (see pagedRows) to `sink`, read as the statement steps: the window
// count would hold every row, so it is not taken, and the page is the whole list.
std::string wholeListSql(const std::string& rowsSql);
template <class Bind>
Result eachRow(ReadDb& db, const std::string& rowsSql, Bind bindArgs, const RowSink& sink,
               Json::Value& out, std::string& err) {
  Query q(db, wholeListSql(rowsSql));
  bindArgs(q);
  q.bind(int64_t(-1)).bind(int64_t(0));
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    Json::Value row = q.row();
    row.removeMember(FLXREAD_TOTAL_COLUMN);
    if (!sink(row)) break;
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return storeFailed(db, err);
  out = Json::Value(Json::objectValue);
  return kOk;
}

// A paged answer: {"total", "offset", "limit", key: rows}. `rowsSql` ends with "LIMIT ?
// OFFSET ?"; when it also selects FLXREAD_TOTAL_SQL one pass gives the page and the total, and
// `countSql` runs only for an empty page (or always, for queries whose rows an index hands
// out in order, where the window count would read them all). Both take the same
// parameters, bound by `bindArgs(Query&)`.
// A `knownTotal` of 0 or more is the total, counted beforehand: `countSql` is not run.
template <class Bind>
Result pagedRows(ReadDb& db, const std::string& countSql, const std::string& rowsSql,
                 const Page& page, const char* key, Bind bindArgs, Json::Value& out,
                 std::string& err, int64_t knownTotal = -1) {
  if (page.limit < 0 || page.limit > kMaxPage || page.offset < 0) {
    err = "paging out of range";
    return kBadArgument;
  }
  if (!db.ok()) return storeFailed(db, err);
  if (page.sink != nullptr) return eachRow(db, rowsSql, bindArgs, *page.sink, out, err);
  Json::Value result(Json::objectValue);
  Json::Value& rows = result[key] = Json::Value(Json::arrayValue);
  int64_t total = 0;
  if (page.limit > 0) {
    Query q(db, rowsSql);
    bindArgs(q);
    q.bind(page.limit).bind(page.offset);
    if (!q.rows(rows)) return storeFailed(db, err);
  }
  if (knownTotal >= 0) {
    total = knownTotal;
  } else if (!rows.empty() && rows[0].isMember(FLXREAD_TOTAL_COLUMN)) {
    total = rows[0][FLXREAD_TOTAL_COLUMN].asInt64();
    for (Json::Value& row : rows) row.removeMember(FLXREAD_TOTAL_COLUMN);
  } else {
    Query count(db, countSql);
    bindArgs(count);
    if (count.step() != SQLITE_ROW) return storeFailed(db, err);
    total = count.i64(0);
  }
  result["total"] = Json::Int64(total);
  result["offset"] = Json::Int64(page.offset);
  result["limit"] = Json::Int64(page.limit);
  out.swap(result);
  return kOk;
}

// Runs `fn` and turns any exception into kStoreFailed: nothing may leave by throwing.
template <class Fn>
Result guarded(std::string& err, Fn&& fn) noexcept {
  return guardedCall(err, kStoreFailed, static_cast<Fn&&>(fn));
}

}  // namespace flxread

#endif  // FLXREAD_READ_DB_H
