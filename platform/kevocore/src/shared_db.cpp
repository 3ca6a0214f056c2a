// The per-process connection holder of the registry and the read views.
#include <ctype.h>
#include <errno.h>
#include <pthread.h>
#include <sqlite3.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "kevodb.h"

namespace kevo {

namespace {

// This process's id, asked once: each statement checks it, and getpid() is a system call. A
// forked child asks again (fork runs the handler; a child that only execs needs none).
std::atomic<pid_t> gPid{0};
void ForgetPid() {
  gPid.store(0, std::memory_order_relaxed);
}
pid_t ThisPid() {
  static const int registered = pthread_atfork(nullptr, nullptr, ForgetPid);
  (void)registered;
  pid_t pid = gPid.load(std::memory_order_relaxed);
  if (pid == 0) gPid.store(pid = getpid(), std::memory_order_relaxed);
  return pid;
}

}  // namespace

SharedDb::Use::Use(SharedDb& holder, const std::vector<std::string>& paths)
    : hold_(holder.lock_), holder_(holder) {
  ++holder.uses_;
  // Inside an operation (a transaction spanning several), the outer one's connection serves.
  if (holder.uses_ > 1 && holder.db_ != nullptr && holder.pid_ == ThisPid() &&
      paths == holder.paths_) {
    db_ = holder.db_;
    return;
  }
  if (holder.db_ != nullptr && holder.pid_ != ThisPid()) {
    // The parent's: a connection must not be used across fork, nor closed, nor its statements.
    holder.kept_.clear();
    holder.db_ = nullptr;
  }
  if (holder.db_ != nullptr && (holder.broken_ || !holder.current(paths))) holder.close();
  if (holder.db_ == nullptr && !holder.reopen(paths, error_)) return;
  db_ = holder.db_;
}

SharedDb::Use::~Use() {
  --holder_.uses_;
}

bool SharedDb::current(const std::vector<std::string>& paths) const {
  if (paths != paths_) return false;
  for (size_t i = 0; i < paths.size(); ++i)
    if (!KEVOFileIdSame(paths[i].c_str(), &files_[i])) return false;
  return fresh_ == nullptr || fresh_();
}

// The only id change of the connection's life: the stores are root's alone, and SQLite opens
// the WAL files of each while the opener reads them, so no later call needs root.
bool SharedDb::reopen(const std::vector<std::string>& paths, std::string& error) {
  RootIds ids;
  sqlite3* db = open_(paths, error);
  if (db == nullptr) return false;
  std::vector<KEVOFILEID> files(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!KEVOFileIdGet(paths[i].c_str(), &files[i])) {
      error = "cannot find " + paths[i] + ": " + strerror(errno);
      sqlite3_close_v2(db);
      return false;
    }
  }
  db_ = db;
  paths_ = paths;
  files_.swap(files);
  pid_ = ThisPid();
  broken_ = false;
  return true;
}

void SharedDb::markBroken(sqlite3* db) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (db != nullptr && db == db_) broken_ = true;
}

// A statement still held closes the connection when it is finalized (close_v2).
void SharedDb::close() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (db_ != nullptr && pid_ == ThisPid()) {
    for (auto& k : kept_)
      if (!k.second.busy) sqlite3_finalize(k.second.st);
    sqlite3_close_v2(db_);
  }
  kept_.clear();
  db_ = nullptr;
}

SharedDb::Statement::Statement(SharedDb& holder, sqlite3* db, const std::string& sql)
    : holder_(holder) {
  const bool keep = db != nullptr && db == holder.db_ && holder.pid_ == ThisPid();
  if (keep) {
    auto it = holder.kept_.find(sql);
    if (it != holder.kept_.end() && !it->second.busy) {
      it->second.busy = true;
      st_ = it->second.st;
      key_ = sql;
      return;
    }
  }
  rc_ = sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()),
                           keep ? SQLITE_PREPARE_PERSISTENT : 0, &st_, nullptr);
  if (rc_ != SQLITE_OK) {
    sqlite3_finalize(st_);
    st_ = nullptr;
    return;
  }
  // The same text held twice (nested) is prepared again and not kept.
  if (keep && holder.kept_.size() < kMaxKept && holder.kept_.emplace(sql, Kept{st_, true}).second)
    key_ = sql;
}

SharedDb::Statement::~Statement() {
  if (!key_.empty()) {
    auto it = holder_.kept_.find(key_);
    if (it != holder_.kept_.end() && it->second.st == st_) {
      sqlite3_reset(st_);
      sqlite3_clear_bindings(st_);
      it->second.busy = false;
      return;
    }
  }
  sqlite3_finalize(st_);
}

std::string sqliteFileUri(const std::string& path, const char* query) {
  static const char hex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (isalnum(c) || c == '/' || c == '.' || c == '_' || c == '-') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += hex[c >> 4];
      uri += hex[c & 15];
    }
  }
  return uri + "?" + query;
}

bool sqliteHasObjects(const std::string& path, const std::vector<const char*>& names) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(sqliteFileUri(path, "immutable=1").c_str(), &raw,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  if (rc != SQLITE_OK) return false;
  for (const char* name : names) {
    sqlite3_stmt* st = nullptr;
    bool found = sqlite3_prepare_v2(raw, "SELECT 1 FROM sqlite_master WHERE name = ?", -1, &st,
                                    nullptr) == SQLITE_OK &&
                 sqlite3_bind_text(st, 1, name, -1, SQLITE_STATIC) == SQLITE_OK &&
                 sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    if (!found) return false;
  }
  return true;
}

int sqliteAttach(sqlite3* db, const std::string& file, const char* schema) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, (std::string("ATTACH DATABASE ? AS ") + schema).c_str(), -1, &st,
                              nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(st, 1, file.c_str(), -1, SQLITE_TRANSIENT);
    rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  sqlite3_finalize(st);
  return rc;
}

}  // namespace kevo
