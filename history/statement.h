// The history writer's prepared statements: one owner for the writer and the software counts.
#ifndef FLX_HISTORY_STATEMENT_H
#define FLX_HISTORY_STATEMENT_H

#include <sqlite3.h>
#include <stdint.h>

#include <string>

namespace flxhistory {

// A prepared statement, finalised when it goes.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : owned_(true) {
    sqlite3_prepare_v2(db, sql, -1, &st_, nullptr);
  }
  // A statement the connection keeps prepared: reset and cleared when done, not finalised.
  explicit Stmt(sqlite3_stmt* kept) : st_(kept), owned_(false) {}
  ~Stmt() {
    if (owned_) {
      sqlite3_finalize(st_);
    } else if (st_ != nullptr) {
      sqlite3_reset(st_);
      sqlite3_clear_bindings(st_);
    }
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return st_ != nullptr; }
  Stmt& bind(int i, int64_t v) {
    sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  Stmt& bind(int i, const std::string& v) {
    sqlite3_bind_text64(st_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
  }
  Stmt& bindReal(int i, double v, bool isNull) {
    if (isNull)
      sqlite3_bind_null(st_, i);
    else
      sqlite3_bind_double(st_, i, v);
    return *this;
  }
  Stmt& bindInt(int i, int64_t v, bool isNull) {
    if (isNull)
      sqlite3_bind_null(st_, i);
    else
      sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or a failure.
  int step() { return st_ != nullptr ? sqlite3_step(st_) : SQLITE_ERROR; }
  // Runs to the end and resets for the next bindings; true on success.
  bool run() {
    const int rc = step();
    sqlite3_reset(st_);
    return rc == SQLITE_DONE;
  }
  sqlite3_stmt* get() const { return st_; }

 private:
  sqlite3_stmt* st_ = nullptr;
  bool owned_;
};

}  // namespace flxhistory

#endif  // FLX_HISTORY_STATEMENT_H
