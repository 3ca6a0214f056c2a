// Helpers of the inventory handler tests.
#ifndef FLX_TESTS_HANDLERS_INVENTORY_TEST_UTIL_H
#define FLX_TESTS_HANDLERS_INVENTORY_TEST_UTIL_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <json/value.h>
#include <limits.h>
#include <sqlite3.h>
#include <unistd.h>

#include <string>

#include "common/json_util.h"

namespace flxtest {

inline Json::Value parse(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(flx::fromString(text, v)) << text;
  return v;
}

// Makes every insert into `table` whose `column` is `value` fail with "boom".
inline void failInsertsWhere(const std::string& dbPath, const std::string& table,
                             const std::string& column, const std::string& value) {
  const std::string sql = "CREATE TRIGGER fail BEFORE INSERT ON " + table + " WHEN NEW." + column +
                          " = '" + value + "' BEGIN SELECT RAISE(ABORT, 'boom'); END;";
  sqlite3* db = nullptr;
  sqlite3_open(dbPath.c_str(), &db);
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr));
  sqlite3_close(db);
}

// Number of this process's open descriptors on the database file or its journals.
inline int openDescriptorsOn(const std::string& dbPath) {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
    char target[PATH_MAX] = {0};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 &&
        std::string(target).compare(0, dbPath.size(), dbPath) == 0) {
      ++count;
    }
  }
  if (dir != nullptr) closedir(dir);
  return count;
}

}  // namespace flxtest

#endif  // FLX_TESTS_HANDLERS_INVENTORY_TEST_UTIL_H
