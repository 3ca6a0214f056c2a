#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "kevocore.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

TEST(KevocoreExec, ExitStatusSignalsAndArguments) {
  EXPECT_EQ(0, KVLIBExec("/bin/true", NULL));
  EXPECT_LT(KVLIBExec("/bin/false", NULL), 0);
  EXPECT_LT(KVLIBExec("/bin/sh", "-c", "kill -KILL $$", NULL), 0);
  EXPECT_LT(KVLIBExec("true", NULL), 0) << "no search of PATH";
  EXPECT_LT(KVLIBExec("/nonexistent/program", NULL), 0);
  EXPECT_EQ(KVERR_EXEC, KVLIBErrGet());
  // Arguments reach the program untouched by any shell; the first NULL ends them.
  EXPECT_EQ(0, KVLIBExec("/bin/sh", "-c", "test \"$1\" = 'a b;*' && test $# = 1", "sh", "a b;*",
                         NULL, NULL));
}

using KevocoreMkdir = flxtest::RootTest;

using flxtest::modeOf;

TEST_F(KevocoreMkdir, CreatesParentsWithTheModeWhateverTheUmask) {
  mode_t old = umask(077);
  std::string deep = path("/a//b/c/");
  EXPECT_EQ(0, KEVOFSMkdirP(deep.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, -1));
  EXPECT_EQ(0755u, modeOf(path("/a")));
  EXPECT_EQ(0755u, modeOf(path("/a/b/c")));
  EXPECT_EQ(0, KEVOFSMkdirP(deep.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, -1)) << "exists";
  EXPECT_EQ(0, KEVOFSMkdirP(path("/a/x").c_str(), nullptr, FALSE, UID_ERR, GID_ERR, 0700));
  EXPECT_EQ(0700u, modeOf(path("/a/x")));
  umask(old);
}

TEST_F(KevocoreMkdir, FailuresSetErrno) {
  writeFile(path("/file"), "x");
  struct {
    std::string path;
    int recursive;
    int mode;
    int err;
  } cases[] = {
      {path("/file"), TRUE, -1, ENOTDIR},       {path("/file/sub/deeper"), TRUE, -1, ENOTDIR},
      {path("/file"), FALSE, -1, ENOTDIR},      {path("/missing/leaf"), FALSE, -1, ENOENT},
      {path("/badmode"), TRUE, 010000, EINVAL}, {"", TRUE, -1, EINVAL},
  };
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_LT(KEVOFSMkdirP(c.path.c_str(), nullptr, c.recursive, UID_ERR, GID_ERR, c.mode), 0)
        << c.path;
    EXPECT_EQ(c.err, errno) << c.path;
  }
}

}  // namespace
