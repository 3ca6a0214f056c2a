#include "common/privilege.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

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
  struct Case {
    bool longForm;
    int err;
    const char* terminal;  // after "(f:3)(euid=E)(pid=P)"; logged after "f:3 (euid=E)(pid=P)"
  } cases[] = {
      {false, EACCES, "!!Failed [c], err=Permission denied\n"},
      {false, EIO, "Failed [c], err=Input/output error\n"},
      {false, 0, "Failed [c], err=Success\n"},
      {true, EACCES, "(f:3)(Permission denied)!!Failed [c], err=Permission denied\n\n"},
      {true, EIO, "(f:3)(Input/output error)Failed [c], err=Input/output error\n\n"},
      {true, 0, "(f:3)(Success)Failed [c], err=Success\n\n"},
  };
  const std::string ids =
      "(euid=" + std::to_string(geteuid()) + ")(pid=" + std::to_string(getpid()) + ")";
  for (const auto& c : cases) {
    const std::string logged =
        (c.err != 0 ? "(" + std::string(strerror(c.err)) + ")" : "") + c.terminal;
    for (int debug : {0, 1}) {
      SCOPED_TRACE(logged + (debug ? " debug" : ""));
      giTerminalDebug = debug;
      ::testing::internal::CaptureStdout();
      errno = c.err;
      (c.longForm ? flxLongFailure : flxShortFailure)("f", 3, "c");
      EXPECT_EQ(c.err, errno);
      std::string out = ::testing::internal::GetCapturedStdout();
      giTerminalDebug = 0;
      EXPECT_EQ((Lines{{LOG_ERR, "f:3 " + ids + logged}}), TakeLog());
      EXPECT_EQ(debug ? "(f:3)" + ids + c.terminal : "", out);
    }
  }
}

}  // namespace
