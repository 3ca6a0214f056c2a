// The registry's enrollment: which device a joining machine becomes, renewals, the identity
// check of pushes, and joins from many processes at once.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "flx.h"
#include "flxenroll.h"
#include "kevoroot.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"

namespace {

const int64_t kNow = 1800000000;

class EnrollRegistryTest : public flxtest::RootTest {
 protected:
  // A secret "abcdef.<secret>" with the given settings.
  void AddSecret(const std::string& id = "abcdef", bool approve = false, int64_t uses = -1) {
    flxenroll::Secret s;
    s.publicId = id;
    s.approve = approve;
    s.usesLeft = uses;
    s.created = kNow;
    ASSERT_EQ(0, flxenroll::AddSecret(s, flxenroll::Sha256Hex("0123456789abcdef")));
  }

  static flxenroll::Identity Machine(const std::string& serial, char fp) {
    flxenroll::Identity id;
    id.serial = serial;
    id.hostname = "host-" + std::string(1, fp);
    id.fingerprint = std::string(64, fp);
    id.json = "{}";
    return id;
  }

  int Join(const flxenroll::Identity& id, flxenroll::Issued& out,
           const std::string& secret = "0123456789abcdef") {
    return flxenroll::Join("abcdef", secret, id, kNow, out);
  }

  std::string Registry(const std::string& sql) const {
    return query(sql, path(KEVO_REGISTRY_DB_PATH));
  }
};

// The same joins, alone and in one batch (each a savepoint of its transaction), end alike.
class JoinCasesTest : public EnrollRegistryTest, public ::testing::WithParamInterface<bool> {};

TEST_P(JoinCasesTest, MachinesBecomeDevicesWithoutMerging) {
  const bool batched = GetParam();
  AddSecret();
  addDevice("HAND");  // registered by hand, no session yet
  addDevice("HAND2");
  addDevice("HAND3");
  addSession("HAND3");  // a client without fingerprints may push with it
  const std::string handSid = addSession("HAND2");
  ASSERT_EQ(0, flxenroll::CheckPush(handSid, "HAND2", std::string(64, 'e'), "", kNow));
  const struct {
    const char* what;
    std::string serial;
    char fp;
    std::string sn;
  } cases[] = {
      {"a free serial", "S1", 'a', "S1"},
      {"the same machine again", "S1", 'a', "S1"},
      {"the same machine under another serial", "OTHER", 'a', "S1"},
      {"another machine with a taken serial", "S1", 'b', "S1-2"},
      {"a third one", "S1", 'c', "S1-3"},
      {"a device added by hand", "HAND", 'd', "HAND"},
      {"a hand device whose session another machine pushed with", "HAND2", 'f', "HAND2-2"},
      {"a hand device with a session of unknown identity", "HAND3", '1', "HAND3-2"},
  };
  const std::string sessionsBefore = Registry("SELECT count(*) FROM sessions");
  if (batched) {
    ASSERT_TRUE(flxenroll::OpenJoinBatch());
  }
  for (const auto& c : cases) {
    flxenroll::Issued out;
    ASSERT_EQ(0, Join(Machine(c.serial, c.fp), out)) << c.what;
    EXPECT_EQ(c.sn, out.sn) << c.what;
    EXPECT_GE(out.sid.size(), 16u) << c.what;
    EXPECT_EQ(kNow + flxenroll::kDefaultSessionTtl, out.expires) << c.what;
  }
  if (batched) {
    EXPECT_EQ(sessionsBefore, Registry("SELECT count(*) FROM sessions"))
        << "seen before the commit";
    ASSERT_TRUE(flxenroll::CloseJoinBatch());
  }
  EXPECT_EQ("HAND|0\nHAND2|1\nHAND2-2|0\nHAND3|1\nHAND3-2|0\nS1|1\nS1-2|0\nS1-3|0",
            Registry("SELECT sn, conflict FROM device_admissions ORDER BY sn"));
  // Enrolling again ends the machine's older sessions within the grace period.
  const std::string grace = std::to_string(kNow + flxenroll::kRenewGraceSeconds);
  EXPECT_EQ(grace + "\n" + grace + "\n" + std::to_string(kNow + flxenroll::kDefaultSessionTtl),
            Registry("SELECT expiry FROM sessions WHERE sn = 'S1' ORDER BY expiry"));
}

INSTANTIATE_TEST_SUITE_P(AloneAndInABatch, JoinCasesTest, ::testing::Bool());

// In a batch, a refused join is undone alone and the use count stays exact; one batch at a time.
TEST_F(EnrollRegistryTest, ABatchKeepsItsAdmittedJoinsAndCountsUsesExactly) {
  AddSecret("abcdef", false, 2);
  ASSERT_TRUE(flxenroll::OpenJoinBatch());
  EXPECT_FALSE(flxenroll::OpenJoinBatch()) << "a second batch inside the first";
  flxenroll::Issued out;
  flxenroll::Identity bad = Machine("BAD", 'b');
  bad.fingerprint = "short";
  EXPECT_EQ(0, Join(Machine("B1", 'a'), out));
  EXPECT_EQ(flxenroll::kErrBadParam, Join(bad, out));
  EXPECT_EQ(flxenroll::kErrTokenBad, Join(Machine("B2", 'c'), out, "wrong-secret-000"));
  EXPECT_EQ(0, Join(Machine("B3", 'd'), out));
  EXPECT_EQ(flxenroll::kErrTokenUsedUp, Join(Machine("B4", 'e'), out));
  ASSERT_TRUE(flxenroll::CloseJoinBatch());
  EXPECT_FALSE(flxenroll::CloseJoinBatch()) << "closed twice";
  EXPECT_EQ("B1\nB3", Registry("SELECT sn FROM devices ORDER BY sn"));
  EXPECT_EQ("2|0",
            Registry("SELECT (SELECT count(*) FROM sessions), uses_left FROM enroll_secrets"));
}

TEST_F(EnrollRegistryTest, BadIdentitiesAndRejectedMachinesCreateNothing) {
  AddSecret("abcdef", true);
  flxenroll::Issued out;
  ASSERT_EQ(0, Join(Machine("P1", 'a'), out));
  EXPECT_TRUE(out.pending);
  ASSERT_EQ(0, flxenroll::Reject("P1"));
  EXPECT_EQ("0", Registry("SELECT count(*) FROM sessions"));
  const std::string before = Registry("SELECT count(*) FROM devices");
  flxenroll::Identity noSerial = Machine("", 'b'), shortFp = Machine("X", 'b'),
                      oddSerial = Machine("a b", 'b');
  shortFp.fingerprint = "abc";
  EXPECT_EQ(flxenroll::kErrNotAdmitted, Join(Machine("P1", 'a'), out));
  EXPECT_EQ(flxenroll::kErrBadParam, Join(noSerial, out));
  EXPECT_EQ(flxenroll::kErrBadParam, Join(shortFp, out));
  EXPECT_EQ(flxenroll::kErrBadParam, Join(oddSerial, out));
  EXPECT_EQ(flxenroll::kErrTokenBad, Join(Machine("Q", 'c'), out, "0123456789abcdeX"));
  EXPECT_EQ(before, Registry("SELECT count(*) FROM devices"));
}

TEST_F(EnrollRegistryTest, RenewalKeepsTheIdentityAndEndsTheOldSession) {
  AddSecret();
  flxenroll::Issued first, second;
  ASSERT_EQ(0, Join(Machine("R1", 'a'), first));
  EXPECT_EQ(flxenroll::kErrNoPermission,
            flxenroll::Renew("unknown-session-id", "", kNow + 10, second));
  EXPECT_EQ(flxenroll::kErrEnrollAgain,
            flxenroll::Renew(first.sid, std::string(64, 'b'), kNow + 10, second));
  EXPECT_EQ("1", Registry("SELECT conflict FROM device_admissions WHERE sn = 'R1'"));
  ASSERT_EQ(0, flxenroll::Renew(first.sid, std::string(64, 'a'), kNow + 10, second));
  EXPECT_EQ("R1", second.sn);
  EXPECT_NE(first.sid, second.sid);
  EXPECT_EQ(std::to_string(kNow + 10 + flxenroll::kRenewGraceSeconds),
            Registry("SELECT expiry FROM sessions WHERE sid = '" + first.sid + "'"));
  EXPECT_EQ(std::string(64, 'a'), Registry("SELECT fingerprint FROM session_identities WHERE "
                                           "sid = '" +
                                           second.sid + "'"));
  // Renewing the old one again never lengthens its grace; past its expiry it renews nothing.
  flxenroll::Issued third;
  ASSERT_EQ(0, flxenroll::Renew(first.sid, "", kNow + 20, third));
  EXPECT_EQ(std::to_string(kNow + 10 + flxenroll::kRenewGraceSeconds),
            Registry("SELECT expiry FROM sessions WHERE sid = '" + first.sid + "'"));
  EXPECT_EQ(flxenroll::kErrNoPermission,
            flxenroll::Renew(first.sid, "", kNow + 20 + flxenroll::kRenewGraceSeconds, third));
}

TEST_F(EnrollRegistryTest, PushIdentityCheck) {
  AddSecret("abcdef");
  AddSecret("pendin", true);
  flxenroll::Issued dev, waiting;
  ASSERT_EQ(0, Join(Machine("D1", 'a'), dev));
  ASSERT_EQ(0, flxenroll::Join("pendin", "0123456789abcdef", Machine("W1", '9'), kNow, waiting));
  const std::string a(64, 'a'), b(64, 'b');
  const struct {
    std::string sid, sn, fp, clientSn;
    int code;
  } pushes[] = {
      {dev.sid, "D1", a, "D1", 0},
      {dev.sid, "D1", "", "", 0},  // an agent without fingerprints is not checked
      {dev.sid, "D1", b, "", flxenroll::kErrEnrollAgain},
      {dev.sid, "D1", "garbage", "OTHER", flxenroll::kErrEnrollAgain},
      {dev.sid, "D1", a, "OTHER", 0},
      {waiting.sid, "W1", std::string(64, '9'), "", flxenroll::kErrNotAdmitted},
  };
  for (const auto& p : pushes)
    EXPECT_EQ(p.code, flxenroll::CheckPush(p.sid, p.sn, p.fp, p.clientSn, kNow)) << p.fp;
  EXPECT_EQ("1|" + std::to_string(kNow) + "|2",
            Registry("SELECT conflict, conflict_since, foreign_sn_pushes FROM device_admissions "
                     "WHERE sn = 'D1'"));
  ASSERT_EQ(0, flxenroll::Approve("W1"));
  EXPECT_EQ(0, flxenroll::CheckPush(waiting.sid, "W1", std::string(64, '9'), "", kNow));
  ASSERT_EQ(0, flxenroll::Approve("D1"));
  EXPECT_EQ("0", Registry("SELECT conflict FROM device_admissions WHERE sn = 'D1'"));
  // A hand session takes the first well-formed fingerprint pushed with it.
  addDevice("H1");
  const std::string sid = addSession("H1");
  EXPECT_EQ(0, flxenroll::CheckPush(sid, "H1", "not-hex", "", kNow));
  EXPECT_EQ(0, flxenroll::CheckPush(sid, "H1", b, "", kNow));
  EXPECT_EQ(flxenroll::kErrEnrollAgain, flxenroll::CheckPush(sid, "H1", a, "", kNow));
}

// While another connection writes, a refused secret is answered without waiting for it, alone
// or in a batch; an admitted join waits, and is written once the lock is free.
TEST_F(EnrollRegistryTest, RefusedSecretsNeverWaitForTheWriteLock) {
  AddSecret();
  sqlite3* other = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path(KEVO_REGISTRY_DB_PATH).c_str(), &other));
  for (const bool batched : {false, true}) {
    SCOPED_TRACE(batched ? "in a batch" : "alone");
    const std::string serial = batched ? "R2" : "R1";
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    int waits = 0;
    flxtest::SetUsleepHook([&](useconds_t) {
      if (++waits == 3) sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    ASSERT_TRUE(!batched || flxenroll::OpenJoinBatch());
    flxenroll::Issued out;
    EXPECT_EQ(flxenroll::kErrTokenBad, Join(Machine(serial, serial[1]), out, "wrong-secret-000"));
    EXPECT_EQ(0, waits) << "a refusal waited for the lock";
    EXPECT_EQ(0, Join(Machine(serial, serial[1]), out));
    EXPECT_EQ(3, waits) << "an admitted join waits for the writer";
    EXPECT_TRUE(!batched || flxenroll::CloseJoinBatch());
    flxtest::SetUsleepHook(nullptr);
  }
  sqlite3_close(other);
  EXPECT_EQ("R1\nR2", Registry("SELECT sn FROM devices ORDER BY sn"));
}

TEST_F(EnrollRegistryTest, ManyProcessesJoinAtOnceWithoutLockErrors) {
  AddSecret("abcdef", false, 120);
  const int kProcs = 6, kEach = 20;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcs; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // SQLite's wait for the write lock sleeps for real here (tests count usleep otherwise).
      flxtest::SetUsleepHook([](useconds_t us) {
        const timespec ts{0, static_cast<long>(us % 1000000) * 1000};
        nanosleep(&ts, nullptr);
      });
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        flxenroll::Identity id = Machine("M" + std::to_string(p * kEach + i), 'a');
        id.fingerprint = flxenroll::Sha256Hex(id.serial);
        flxenroll::Issued out;
        failures += flxenroll::Join("abcdef", "0123456789abcdef", id, kNow, out) != 0;
      }
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failed joins: " << status;
  }
  EXPECT_EQ("120|120|0", Registry("SELECT (SELECT count(*) FROM devices), (SELECT count(*) FROM "
                                  "sessions), uses_left FROM enroll_secrets"));
  flxenroll::Issued out;
  EXPECT_EQ(flxenroll::kErrTokenUsedUp, Join(Machine("LATE", '7'), out));
}

}  // namespace
