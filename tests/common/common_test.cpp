// The module's common parts: privileged sections and failure lines, cache database execution,
// the JSON readers.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/cache_db.h"
#include "common/json_util.h"
#include "common/privilege.h"
#include "kevocore.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;
const int kInfo = LOG_AUTH | LOG_INFO;
const int kErr = LOG_AUTH | LOG_ERR;

Lines TakeLog() {
  Lines out;
  for (const auto& l : flxtest::LogLines()) out.emplace_back(l.priority, l.text);
  flxtest::ClearLog();
  return out;
}

TEST(PrivilegeTest, RaisesToRootAndRestoresWithWarningLines) {
  flxtest::AsServerUser(false, [] {
    {
      PrivilegedSection section("unit", 7);
      EXPECT_EQ(0u, geteuid());
      EXPECT_EQ(0, errno);
      EXPECT_EQ((Lines{{kInfo, "unit:7 WARNING: setresgid(-1, 0, -1)"},
                       {kInfo, "unit:7 WARNING: setresuid(-1, 0, -1)"}}),
                TakeLog());
    }
    EXPECT_EQ(0, errno);
    EXPECT_EQ((Lines{{kInfo, "unit:7 WARNING: setresuid(-1, 0, -1)"}}), TakeLog());
    uid_t r, e, s;
    gid_t rg, eg, sg;
    getresuid(&r, &e, &s);
    getresgid(&rg, &eg, &sg);
    EXPECT_EQ((std::vector<unsigned>{1024, 0, 100, 0}), (std::vector<unsigned>{e, s, eg, sg}));
  });
}

TEST(PrivilegeTest, RefusedRaiseRunsTheBodyWithEperm) {
  flxtest::AsServerUser(true, [] {
    {
      PrivilegedSection section("unit", 9);
      EXPECT_EQ(EPERM, errno);
      EXPECT_EQ((Lines{{kErr, "unit:9 ERROR: setresgid(-1, 0, -1) [Operation not permitted]"},
                       {kErr, "unit:9 ERROR: ENTERCriticalSection"}}),
                TakeLog());
      // A check failing in the body without an errno of its own reports the EPERM.
      flxShortFailure("unit", 9, "chk");
      EXPECT_EQ(1, flxtest::LogCount("(Operation not permitted)Failed [chk]"));
      flxtest::ClearLog();
    }
    EXPECT_TRUE(TakeLog().empty()) << "nothing was raised, nothing to restore";
  });
}

// The logged line starts with "(strerror)" when errno is set; the terminal copy does not.
TEST(FailureLineTest, WordingFollowsErrnoWithATerminalCopyInDebug) {
  // Long form, errno, and the terminal copy after "(f:3)(euid=E)(pid=P)", which is the logged
  // line after "f:3 (euid=E)(pid=P)" and the error's text.
  const std::tuple<bool, int, const char*> cases[] = {
      {false, EACCES, "!!Failed [c], err=Permission denied\n"},
      {false, 0, "Failed [c], err=Success\n"},
      {true, EACCES, "(f:3)(Permission denied)!!Failed [c], err=Permission denied\n\n"},
      {true, 0, "(f:3)(Success)Failed [c], err=Success\n\n"},
  };
  const std::string ids =
      "(euid=" + std::to_string(geteuid()) + ")(pid=" + std::to_string(getpid()) + ")";
  for (const auto& [longForm, err, terminal] : cases) {
    const std::string logged = (err != 0 ? "(" + std::string(strerror(err)) + ")" : "") + terminal;
    for (int debug : {0, 1}) {
      SCOPED_TRACE(logged + (debug ? " debug" : ""));
      giTerminalDebug = debug;
      ::testing::internal::CaptureStdout();
      errno = err;
      (longForm ? flxLongFailure : flxShortFailure)("f", 3, "c");
      EXPECT_EQ(err, errno);
      std::string out = ::testing::internal::GetCapturedStdout();
      giTerminalDebug = 0;
      EXPECT_EQ((Lines{{LOG_ERR, "f:3 " + ids + logged}}), TakeLog());
      EXPECT_EQ(debug ? "(f:3)" + ids + terminal : "", out);
    }
  }
}

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

// Readers convert as jsoncpp's as*() do, and fall back ("-" below) only where those throw.
TEST(JsonUtilTest, ReadersFollowJsonConversions) {
  // value: jsonU64 jsonI64 jsonU32 jsonI32 jsonBool | jsonText
  const char* cases[][2] = {
      {"5", "5 5 5 5 1|5"},
      {"-1", "- -1 - -1 1|-1"},
      {"4294967296", "4294967296 4294967296 - - 1|4294967296"},
      {"1.5", "1 1 1 1 1|1.5"},
      {"-2.5", "- -2 - -2 1|-2.5"},
      {"2147483647.5", "2147483647 2147483647 2147483647 - 1|2147483647.5"},
      {"1e300", "- - - - 1|1.0000000000000001e+300"},
      {"18446744073709551615", "18446744073709551615 - - - 1|18446744073709551615"},
      {"true", "1 1 1 1 1|true"},
      {"null", "0 0 0 0 0|"},
      {"\"7\"", "- - - - -|7"},
      {"{\"a\":1}", "- - - - -|-"},
  };
  for (const auto& c : cases) {
    Json::Value v;
    ASSERT_TRUE(flx::fromString(c[0], v));
    bool ok = false;
    auto shown = [&ok](auto value) { return ok ? std::to_string(value) + " " : "- "; };
    std::string got = shown(flx::jsonU64(v, &ok));
    got += shown(flx::jsonI64(v, &ok));
    got += shown(flx::jsonU32(v, &ok));
    got += shown(flx::jsonI32(v, &ok));
    got += shown(static_cast<int>(flx::jsonBool(v, &ok)));
    const std::string text = flx::jsonText(v, &ok);
    got.back() = '|';
    got += ok ? text : "-";
    EXPECT_EQ(c[1], got) << c[0];
  }
}

TEST(JsonUtilTest, TextAndMembersNeverThrow) {
  Json::Value obj;
  EXPECT_TRUE(flx::fromString("// comments are allowed\n[1 /* here too */]", obj));
  ASSERT_TRUE(flx::fromString("{\"a\":[1, 2], \"s\":\"x\"}", obj));
  EXPECT_EQ("{\"a\":[1,2],\"s\":\"x\"}", flx::toString(obj));
  EXPECT_EQ(2, flx::jsonAt(flx::jsonMember(obj, "a"), 1).asInt());
  EXPECT_TRUE(flx::jsonAt(flx::jsonMember(obj, "a"), 2).isNull());
  EXPECT_TRUE(flx::jsonMember(flx::jsonMember(obj, "s"), "x").isNull());
  EXPECT_FALSE(flx::jsonHas(flx::jsonMember(obj, "s"), "x"));
  Json::Value untouched(7);
  // Neither a trailing comma nor a byte-order mark is accepted.
  for (const std::string& bad : {std::string(""), std::string("{\"a\":"), std::string(100000, '['),
                                 std::string("[1,]"), std::string("\xEF\xBB\xBF{}")}) {
    EXPECT_FALSE(flx::fromString(bad, untouched));
    EXPECT_EQ(Json::Value(7), untouched);
  }
}

}  // namespace
