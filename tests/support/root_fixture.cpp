#include "support/root_fixture.h"

#include <ftw.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "admin.h"
#include "flx.h"
#include "kevoroot.h"
#include "support/log_capture.h"

namespace flxtest {

void AsServerUser(bool dropSaved, const std::function<void()>& body) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to change ids";
  pid_t pid = fork();
  if (pid == 0) {
    bool ok = setresgid(100, 100, dropSaved ? 100 : 0) == 0 &&
              setresuid(1024, 1024, dropSaved ? 1024 : 0) == 0;
    EXPECT_TRUE(ok);
    ClearLog();
    if (ok) body();
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  EXPECT_TRUE(pid > 0 && waitpid(pid, &status, 0) == pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

RootTest::RootTest() {
  char tmpl[] = "/tmp/flxtest.XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (dir == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  root_ = dir;
  if (const char* old = getenv("FLX_ROOT")) {
    hadRoot_ = true;
    oldRoot_ = old;
  }
  setenv("FLX_ROOT", root_.c_str(), 1);
  std::string err;
  if (flxadmin::init(err) != 0) ADD_FAILURE() << "flx-admin init: " << err;
  ClearLog();
  ClearUsleeps();
}

RootTest::~RootTest() {
  SetUsleepHook(nullptr);
  if (hadRoot_) {
    setenv("FLX_ROOT", oldRoot_.c_str(), 1);
  } else {
    unsetenv("FLX_ROOT");
  }
  if (root_.empty() || getenv("FLX_TEST_KEEP_ROOT") != nullptr) return;
  nftw(
      root_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

std::string RootTest::mirrorDir(uint64_t qxId) const {
  return root_ + KEVO_QXINFO_DIR "/" + std::to_string(qxId);
}

std::string RootTest::cacheDbPath() const {
  return root_ + KEVO_CACHE_DB_PATH;
}

uint64_t RootTest::addDevice(const std::string& sn, const std::string& hostname) {
  uint64_t id = 0;
  std::string err;
  EXPECT_EQ(0, flxadmin::deviceAdd(sn, hostname, id, err)) << err;
  return id;
}

std::string RootTest::addSession(const std::string& sn, const std::string& sid) {
  std::string out = sid;
  std::string err;
  EXPECT_EQ(0, flxadmin::sessionAdd(sn, out, 0, err)) << err;
  return out;
}

std::string RootTest::query(const std::string& sql, const std::string& file) const {
  sqlite3* db = nullptr;
  std::string out;
  const std::string name = file.empty() ? cacheDbPath() : file;
  if (sqlite3_open_v2(name.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << name;
    sqlite3_close(db);
    return out;
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "bad query " << sql << ": " << sqlite3_errmsg(db);
  } else {
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      if (!out.empty()) out += "\n";
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        if (c > 0) out += "|";
        const unsigned char* t = sqlite3_column_text(st, c);
        out += t != nullptr ? reinterpret_cast<const char*>(t) : "NULL";
      }
    }
    if (rc != SQLITE_DONE) ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

std::string RootTest::readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string RootTest::writeFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  return path;
}

}  // namespace flxtest
