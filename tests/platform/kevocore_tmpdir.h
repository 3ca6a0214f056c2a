// A temporary folder per test, also set as FLX_ROOT: the core library's tests need files of
// their own below a root, but no databases.
#ifndef FLX_TESTS_PLATFORM_KEVOCORE_TMPDIR_H
#define FLX_TESTS_PLATFORM_KEVOCORE_TMPDIR_H

#include <ftw.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <string>

namespace flxtest {

class TmpDirTest : public ::testing::Test {
 protected:
  TmpDirTest() {
    char tmpl[] = "/tmp/kevocore.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    dir_ = tmpl;
    setenv("FLX_ROOT", dir_.c_str(), 1);
  }
  ~TmpDirTest() override {
    unsetenv("FLX_ROOT");
    auto rm = [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); };
    nftw(dir_.c_str(), rm, 16, FTW_DEPTH | FTW_PHYS);
  }

  std::string path(const std::string& below) const { return dir_ + "/" + below; }
  std::string write(const std::string& below, const std::string& content) const {
    std::ofstream(path(below), std::ios::binary | std::ios::trunc) << content;
    return path(below);
  }

 private:
  std::string dir_;
};

}  // namespace flxtest

#endif  // FLX_TESTS_PLATFORM_KEVOCORE_TMPDIR_H
