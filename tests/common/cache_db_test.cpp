#include "common/cache_db.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "support/log_capture.h"
#include "support/root_fixture.h"

namespace {

const char kInsert[] = "INSERT INTO child VALUES (1, 'a', 1);";

class CacheDbTest : public flxtest::RootTest {
 protected:
  CacheDbTest() {
    CacheDbUnit unit("test", 1, 1);
    EXPECT_EQ(0, unit.exec("CREATE TABLE parent(id INTEGER PRIMARY KEY);"
                           "CREATE TABLE child(id INTEGER PRIMARY KEY, note TEXT NOT NULL,"
                           " parent INTEGER REFERENCES parent(id));"
                           "INSERT INTO parent VALUES (1);",
                           1));
    flxtest::ClearLog();
  }
  ~CacheDbTest() override { sqlite3_close(locker_); }

  // Another connection takes the write lock, as another process would.
  sqlite3* lockDatabase() {
    EXPECT_EQ(SQLITE_OK, sqlite3_open(cacheDbPath().c_str(), &locker_));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(locker_, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
    return locker_;
  }

  std::string head(const char* file, int line) const {
    return std::string(file) + ":" + std::to_string(line) + " (euid=" + std::to_string(geteuid()) +
           ")(pid=" + std::to_string(getpid()) + ")";
  }

  sqlite3* locker_ = nullptr;
};

// Refused only because the prefix switched foreign keys on for this connection; a statement
// error is not retried.
TEST_F(CacheDbTest, FailingStatementIsTriedOnceAndLoggedWithItsPrefix) {
  const char sql[] = "INSERT INTO child VALUES (5, 'x', 99);";
  {
    CacheDbUnit unit("cache_handler_x", 40, 42);
    EXPECT_EQ(-1, unit.exec(sql, 41));
  }
  EXPECT_TRUE(flxtest::UsleepCalls().empty());
  EXPECT_EQ(
      std::vector<std::string>{head("cache_handler_x", 41) + "Exec sql:[PRAGMA foreign_keys=ON;" +
                               sql + "] error: FOREIGN KEY constraint failed\n"},
      flxtest::LogTexts());
  sqlite3* db = nullptr;
  EXPECT_EQ(-1, cacheDbExec(db, nullptr, "test", 2));  // no text: not run, not measured
  EXPECT_EQ("", query("SELECT id FROM child"));
}

// A lock held through every wait gives up after 101 attempts; one released during the waits
// lets a later attempt succeed.
TEST_F(CacheDbTest, LockedDatabaseIsWaitedForUpTo101Attempts) {
  sqlite3* other = lockDatabase();
  {
    CacheDbUnit unit("test", 1, 2);
    EXPECT_EQ(-1, unit.exec(kInsert, 3));
  }
  auto waits = flxtest::UsleepCalls();
  EXPECT_EQ(100u, waits.size());
  for (useconds_t w : waits) EXPECT_TRUE(w >= 100000 && w <= 999999) << w;
  EXPECT_EQ(std::vector<std::string>{head("test", 3) + "Exec sql:[PRAGMA foreign_keys=ON;" +
                                     kInsert + "] error: database is locked\n"},
            flxtest::LogTexts());

  flxtest::ClearLog();
  flxtest::ClearUsleeps();
  flxtest::SetUsleepHook([other](useconds_t) {
    if (flxtest::UsleepCalls().size() == 3)
      sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
  });
  // An empty handle is opened at the statement itself.
  sqlite3* db = nullptr;
  EXPECT_EQ(0, cacheDbExec(db, kInsert, "test", 3));
  cacheDbClose(db, "test", 4);
  EXPECT_EQ(3u, flxtest::UsleepCalls().size());
  EXPECT_TRUE(flxtest::LogLines().empty()) << flxtest::LogDump();
  EXPECT_EQ("1", query("SELECT id FROM child"));
}

TEST_F(CacheDbTest, UnopenableDatabaseFailsTheUnitAndIsStillClosed) {
  writeFile(path("/blocker"), "");  // a root below a regular file holds no database
  setenv("FLX_ROOT", path("/blocker").c_str(), 1);
  sqlite3* db = nullptr;
  cacheDbOpen(db, "test", 1);
  EXPECT_TRUE(flxtest::LogLines().empty()) << "the open itself is not checked";
  EXPECT_EQ(-1, cacheDbExec(db, "SELECT 1;", "test", 2));
  cacheDbClose(db, "test", 3);
  EXPECT_EQ(nullptr, db);

  flxtest::ClearLog();
  EXPECT_EQ(-1, cacheDbExec(db, "SELECT 1;", "test", 4));
  ASSERT_EQ(1u, flxtest::LogLines().size()) << flxtest::LogDump();
  EXPECT_EQ(0u, flxtest::LogTexts()[0].find(head("test", 4) + "("));
  EXPECT_EQ(1, flxtest::LogCount(
                   "Failed [0 != sqlite3_open(KEVOFLX_SQLITE_DB_PATH, &kevoflx_sqlite_db)]"));
  cacheDbClose(db, "test", 5);  // SQLite gave a handle even so
  EXPECT_EQ(nullptr, db);
}

}  // namespace
