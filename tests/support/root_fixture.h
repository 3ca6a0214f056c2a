// A fresh root per test: a temporary folder set as FLX_ROOT, initialised like `flx-admin init`
// (databases, push key, host settings), removed again when the test ends.
#ifndef FLX_TESTS_SUPPORT_ROOT_FIXTURE_H
#define FLX_TESTS_SUPPORT_ROOT_FIXTURE_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <functional>
#include <string>

namespace flxtest {

// Runs `body` in a forked child with real and effective ids 1024/100 and saved ids 0 (or
// 1024/100 too when `dropSaved`), as in the web API host; the child's EXPECT failures come
// back through its exit status. Skips the test unless run as root (see IsSkipped()).
void AsServerUser(bool dropSaved, const std::function<void()>& body);

class RootTest : public ::testing::Test {
 protected:
  RootTest();
  ~RootTest() override;

  // The root folder, and a path below it ("/var/..." -> "<root>/var/...").
  const std::string& root() const { return root_; }
  std::string path(const std::string& below) const { return root_ + below; }
  // The device's mirror folder: <root>/var/packages/FLX/target/qxinfo/<id>.
  std::string mirrorDir(uint64_t qxId) const;
  std::string cacheDbPath() const;

  // Registers a device and returns its id (fails the test on error).
  uint64_t addDevice(const std::string& sn, const std::string& hostname = "");
  // Creates a session for `sn` and returns its id.
  std::string addSession(const std::string& sn, const std::string& sid = "");

  // Runs one SQL statement on the cache database, or on the database at `db` (reads, and
  // writes a test plants there); returns its rows joined by "\n", columns by "|".
  std::string query(const std::string& sql, const std::string& db = "") const;
  // Reads a whole file; empty when missing.
  static std::string readFile(const std::string& path);
  // Writes a whole file, making its folders, and returns its path.
  static std::string writeFile(const std::string& path, const std::string& content);

 private:
  std::string root_;
  std::string oldRoot_;
  bool hadRoot_ = false;
};

}  // namespace flxtest

#endif  // FLX_TESTS_SUPPORT_ROOT_FIXTURE_H
