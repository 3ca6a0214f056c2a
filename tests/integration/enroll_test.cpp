// Enrollment end to end: the real host behind its private nginx, the join line flx-admin
// prints, and the real agent on machine trees of their own.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "admin.h"
#include "admin_device.h"
#include "admin_enroll.h"
#include "agent.h"
#include "flxenroll.h"
#include "flxoperators.h"
#include "push.h"
#include "support/process.h"
#include "support/root_fixture.h"

namespace {

using flxtest::Child;

const int kStartMs = 15000;
const int kRunMs = 60000;
const char kMachineId[] = "4c4c4544003957108052b4c04f384833";

class EnrollTest : public flxtest::RootTest {
 protected:
  ~EnrollTest() override {
    if (!host_.Running()) return;
    host_.Signal(SIGTERM);
    EXPECT_EQ(0, host_.Wait(kStartMs)) << readFile(path("/host.log"));
  }

  void SetUp() override {
    ASSERT_TRUE(
        host_.Start({FLX_HOST_BIN, "--listen", "127.0.0.1:0", "--log-stderr", "--workers", "2"},
                    path("/host.log")));
    std::string line;
    ASSERT_TRUE(host_.ReadLine(line, kStartMs)) << readFile(path("/host.log"));
    ASSERT_EQ(0u, line.find("listening on ")) << line;
    url_ = "http://" + line.substr(13);
  }

  // A machine below the root: a machine id, a host name, one physical interface.
  std::string Machine(const std::string& name, const std::string& mac,
                      const std::string& machineId = kMachineId) {
    const std::string dir = path("/machines/" + name);
    writeFile(dir + "/etc/machine-id", machineId + "\n");
    writeFile(dir + "/etc/os-release", "ID=debian\nVERSION_ID=\"12\"\n");
    writeFile(dir + "/proc/sys/kernel/hostname", name + "\n");
    writeFile(dir + "/sys/class/net/eth0/address", mac + "\n");
    writeFile(dir + "/sys/class/net/eth0/device/uevent", "DRIVER=e1000\n");
    writeFile(dir + "/etc/flx-agent/agent.conf", "url=\n");
    return dir;
  }

  std::string JoinLine(const std::vector<std::string>& extra = {}) {
    flxadmin::EnrollOptions o;
    o.url = url_;
    for (size_t i = 0; i < extra.size(); ++i) {
      if (extra[i] == "--approve") o.approve = true;
      if (extra[i] == "--uses") o.uses = std::stoll(extra[++i]);
      if (extra[i] == "--group") o.group = extra[++i];
    }
    std::string line, err;
    EXPECT_EQ(0, flxadmin::enrollAdd(o, line, err)) << err;
    return line;
  }

  struct Run {
    int exit;
    std::string output;
  };
  Run Agent(std::vector<std::string> args) {
    args.insert(args.begin(), FLX_AGENT_BIN);
    Child agent;
    if (!agent.Start(args, "")) return {-1, "cannot start flx-agent"};
    std::string output = agent.ReadAll(kRunMs);
    return {agent.Wait(kStartMs), output};
  }

  // Runs the printed line ("flx-agent enroll URL --token T --ca-hash H") for machine `dir`.
  Run EnrollWith(const std::string& line, const std::string& dir) {
    std::istringstream words(line);
    std::vector<std::string> args;
    std::string word;
    words >> word;  // flx-agent
    while (words >> word) args.push_back(word);
    args.insert(args.end(), {"--config", dir + "/etc/flx-agent/agent.conf", "--root", dir});
    return Agent(args);
  }

  Run PushFrom(const std::string& dir, const std::string& configDir = "") {
    const std::string conf = (configDir.empty() ? dir : configDir) + "/etc/flx-agent/agent.conf";
    return Agent({"--once", "--only", "basic", "--root", dir, "--config", conf});
  }

  std::string Registry(const std::string& sql) const {
    return query(sql, path("/var/packages/FLX/target/db/flx_registry.sqlite"));
  }

  // One join call with a raw token; the host's answer code (0: success).
  int Join(const std::string& token, const std::string& serial = "SERIAL1",
           const std::string& machineId = "0123") {
    httplib::Client client(url_);
    Json::Value identity;
    identity["serial"] = serial;
    identity["machine_id"] = machineId;
    const auto result = client.Post("/webapi/entry.cgi",
                                    flxpush::FormEncode({{"api", "KEVO.FLX.Enroll"},
                                                         {"version", "1"},
                                                         {"method", "join"},
                                                         {"token", token},
                                                         {"identity", flxpush::Compact(identity)}}),
                                    "application/x-www-form-urlencoded");
    return result ? flxpush::AnswerCode(result->body) : -1;
  }

  Child host_;
  std::string url_;
};

TEST_F(EnrollTest, PrintedLineEnrollsAndTheAgentPushes) {
  ASSERT_EQ(0, flxops::AddGroup("site-a"));
  const std::string line = JoinLine({"--group", "site-a"});
  std::string hash, err;
  Json::Value certs;
  ASSERT_EQ(0, flxadmin::certShow(hash, certs, err)) << err;
  EXPECT_NE(std::string::npos, line.find("--ca-hash " + hash)) << line;
  const std::string m = Machine("alpha", "52:54:00:00:00:01");
  Run run = EnrollWith(line, m);
  ASSERT_EQ(0, run.exit) << run.output;
  const std::string sn = "linux-" + flxagent::UniqueId(kMachineId).substr(0, 16);
  EXPECT_NE(std::string::npos, run.output.find("enrolled as device " + sn)) << run.output;
  // The secrets are the machine owner's alone; the agent finds them beside its settings.
  struct stat st {};
  ASSERT_EQ(0, stat((m + "/etc/flx-agent/session").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(readFile(path("/var/packages/FLX/target/etc/push.key")),
            readFile(m + "/etc/flx-agent/push.key"));
  run = PushFrom(m);
  ASSERT_EQ(0, run.exit) << run.output;
  EXPECT_EQ("alpha", Registry("SELECT hostname FROM devices WHERE sn = '" + sn + "'"));
  EXPECT_EQ("1|approved|0", Registry("SELECT count(*), state, conflict FROM device_admissions"));
  // The line's group is the device's, and the join is in the audit trail without its secret.
  std::string group;
  ASSERT_EQ(0, flxops::DeviceGroup(sn, group));
  EXPECT_EQ("site-a", group);
  const std::string trail = Registry(
      "SELECT who, action, object, device, group_name, result "
      "FROM audit_log WHERE action = 'enroll'");
  const std::string token =
      line.substr(line.find("--token ") + 8, line.find(" --ca-hash") - line.find("--token ") - 8);
  EXPECT_EQ(sn + "|enroll|" + token.substr(0, token.find('.')) + "|" + sn + "|site-a|ok", trail);
  EXPECT_EQ(std::string::npos, trail.find(token));
  std::vector<flxenroll::SessionInfo> sessions;
  ASSERT_EQ(0, flxenroll::ListSessions(sn, sessions));
  ASSERT_EQ(1u, sessions.size());
  EXPECT_EQ("alpha", sessions[0].hostname);
  EXPECT_GT(sessions[0].expiry, sessions[0].created + 29 * 24 * 3600);
}

TEST_F(EnrollTest, RefusedSecretsHaveTheirOwnCodesAndCreateNothing) {
  const auto tokenOf = [](const std::string& line) {
    const size_t at = line.find("--token ") + 8;
    return line.substr(at, line.find(' ', at) - at);
  };
  const std::string once = tokenOf(JoinLine({"--uses", "1"}));
  ASSERT_EQ(0, Join(once, "FIRST"));
  const std::string expired = tokenOf(JoinLine());
  Registry("UPDATE enroll_secrets SET expires = 1 WHERE public_id = '" + expired.substr(0, 6) +
           "'");
  const std::string revoked = tokenOf(JoinLine());
  std::string err;
  ASSERT_EQ(0, flxadmin::enrollRemove(revoked.substr(0, 6), err)) << err;
  const std::string valid = tokenOf(JoinLine());
  const std::string before =
      Registry("SELECT count(*) FROM devices") + "/" + Registry("SELECT count(*) FROM sessions");
  const struct {
    std::string token;
    int code;
  } cases[] = {
      {"zzzzzz.0123456789abcdef", flxenroll::kErrTokenBad},                // unknown id
      {valid.substr(0, 7) + "0123456789abcdef", flxenroll::kErrTokenBad},  // wrong secret
      {"no-dot", flxenroll::kErrTokenBad},
      {expired, flxenroll::kErrTokenExpired},
      {once, flxenroll::kErrTokenUsedUp},
      {revoked, flxenroll::kErrTokenRevoked},
  };
  for (const auto& c : cases) EXPECT_EQ(c.code, Join(c.token)) << c.token;
  EXPECT_EQ(before, Registry("SELECT count(*) FROM devices") + "/" +
                        Registry("SELECT count(*) FROM sessions"));
  EXPECT_EQ("0", Registry("SELECT uses_left FROM enroll_secrets WHERE public_id = '" +
                          once.substr(0, 6) + "'"));
}

// Joins that queue run in batches: each is answered as if alone, uses are counted exactly, a
// refused one spoils no other, and an operator can see the batches.
TEST_F(EnrollTest, JoinsAtOnceRunTogetherAndEachIsAnswered) {
  const std::string line = JoinLine({"--uses", "40"});
  const size_t from = line.find("--token ") + 8;
  const std::string token = line.substr(from, line.find(' ', from) - from);
  const int kJoins = 48, kBad = 8;
  std::vector<int> codes(kJoins + kBad, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kJoins + kBad; ++i)
    threads.emplace_back([&, i] {
      const std::string n = std::to_string(i);
      codes[i] = Join(i < kJoins ? token : token.substr(0, 7) + "0000000000000000", "AT" + n,
                      "machine-" + n);
    });
  for (std::thread& t : threads) t.join();
  std::map<int, int> answers;
  for (int code : codes) ++answers[code];
  EXPECT_EQ(
      (std::map<int, int>{
          {0, 40}, {flxenroll::kErrTokenBad, kBad}, {flxenroll::kErrTokenUsedUp, kJoins - 40}}),
      answers);
  EXPECT_EQ("40|40|0", Registry("SELECT (SELECT count(DISTINCT sn) FROM devices), (SELECT "
                                "count(*) FROM sessions), uses_left FROM enroll_secrets"));
  httplib::Client client(url_);
  const auto scrape = client.Get("/metrics");
  ASSERT_TRUE(scrape);
  EXPECT_NE(std::string::npos, scrape->body.find("flx_batched_calls_total{result=\"failed\"} 0"));
  const std::string kept = "flx_batched_calls_total{result=\"kept\"} ";
  const size_t at = scrape->body.find(kept);
  ASSERT_NE(std::string::npos, at);
  EXPECT_GT(atoi(scrape->body.c_str() + at + kept.size()), 1) << "no two joins ran together";
}

TEST_F(EnrollTest, ClonesAreNeverMergedAndEndAsDevicesOfTheirOwn) {
  const std::string line = JoinLine();
  const std::string original = Machine("original", "52:54:00:00:00:01");
  ASSERT_EQ(0, EnrollWith(line, original).exit);
  ASSERT_EQ(0, PushFrom(original).exit);
  const std::string sn = Registry("SELECT sn FROM devices");
  // A clone: the same machine id and the session file copied with the image.
  const std::string clone = Machine("clone", "52:54:00:00:00:02");
  const std::string dir = clone + "/etc/flx-agent/";
  for (const char* file : {"session", "push.key"})
    writeFile(dir + file, readFile(original + "/etc/flx-agent/" + file));
  chmod((dir + "session").c_str(), 0600);
  writeFile(dir + "agent.conf",
            "url=" + url_ + "\nkey_file=" + dir + "push.key\nsession_file=" + dir + "session\n");
  Run run = PushFrom(clone);
  EXPECT_NE(0, run.exit);
  EXPECT_NE(std::string::npos, run.output.find("error 409")) << run.output;
  EXPECT_EQ("original", Registry("SELECT hostname FROM devices WHERE sn = '" + sn + "'"));
  EXPECT_EQ("1", Registry("SELECT conflict FROM device_admissions WHERE sn = '" + sn + "'"));
  ASSERT_EQ(0, PushFrom(original).exit) << "the machine the session was issued to goes on";
  // The operator sees the mark in the inventory, device list and metrics alike.
  std::string token, err;
  ASSERT_EQ(0, flxadmin::operatorAdd("ops", 0, token, err)) << err;
  httplib::Client client(url_);
  auto got = client.Post("/webapi/entry.cgi",
                         flxpush::FormEncode({{"api", "KEVO.FLX.Inventory"},
                                              {"version", "1"},
                                              {"method", "get"},
                                              {"_sid", token},
                                              {"sn", sn}}),
                         "application/x-www-form-urlencoded");
  ASSERT_TRUE(got);
  EXPECT_NE(std::string::npos, got->body.find("\"identity\":\"identity-conflict\"")) << got->body;
  Json::Value devices;
  ASSERT_EQ(0, flxadmin::deviceStates(devices, err)) << err;
  EXPECT_NE(std::string::npos, devices[0]["enrollment"].asString().find("identity-conflict"));
  auto scrape = client.Get("/metrics");
  ASSERT_TRUE(scrape);
  EXPECT_NE(std::string::npos, scrape->body.find("flx_device_identity_conflict{sn=\"" + sn +
                                                 "\",hostname=\"original\"} 1"))
      << scrape->body.substr(0, 2000);

  // With its join line the clone enrolls again by itself, as a device of its own.
  writeFile(clone + "/etc/flx-agent/enrollment.json",
            readFile(original + "/etc/flx-agent/enrollment.json"));
  run = PushFrom(clone);
  ASSERT_EQ(0, run.exit) << run.output;
  EXPECT_EQ("clone", Registry("SELECT hostname FROM devices WHERE sn = '" + sn + "-2'"));
  EXPECT_EQ("original", Registry("SELECT hostname FROM devices WHERE sn = '" + sn + "'"));
  ASSERT_EQ(0, PushFrom(clone).exit);
  ASSERT_EQ(0, PushFrom(original).exit);

  // A third machine with the same serial enrolls fresh: another suffix, never a merge.
  const std::string third = Machine("third", "52:54:00:00:00:03");
  ASSERT_EQ(0, EnrollWith(line, third).exit);
  EXPECT_EQ("third", Registry("SELECT hostname FROM devices WHERE sn = '" + sn + "-3'"));
  // The same machine enrolling again gets its own device back.
  ASSERT_EQ(0, EnrollWith(line, original).exit);
  EXPECT_EQ("3", Registry("SELECT count(*) FROM devices"));

  ASSERT_EQ(0, flxadmin::deviceApprove(sn, err)) << err;
  EXPECT_EQ("0", Registry("SELECT conflict FROM device_admissions WHERE sn = '" + sn + "'"));
}

TEST_F(EnrollTest, SharedSessionAndForeignSerialsAreSignals) {
  const std::string line = JoinLine({"--approve"});
  const std::string m = Machine("waiting", "52:54:00:00:00:09");
  ASSERT_EQ(0, EnrollWith(line, m).exit);
  const std::string sn = Registry("SELECT sn FROM devices");
  Run run = PushFrom(m);
  EXPECT_NE(std::string::npos, run.output.find("error 403")) << run.output;
  std::string err;
  ASSERT_EQ(0, flxadmin::deviceApprove(sn, err)) << err;
  ASSERT_EQ(0, PushFrom(m).exit);

  // A session made by hand belongs to the first fingerprint that pushes with it.
  addDevice("HAND1");
  const std::string sid = addSession("HAND1");
  flxpush::PushOptions push;
  push.url = url_;
  push.sid = sid;
  push.clientSn = sn;  // names another device: counted, never refused
  push.hasClientSn = true;
  Json::Value batch(Json::arrayValue);
  std::ostringstream out, errs;
  int code = -1;
  for (const char* fp : {"a", "a", "b", "a"}) {
    push.fingerprint = std::string(64, fp[0]);
    flxpush::PushBatch(push, batch, out, errs, "test", &code);
    // An empty batch is the module's to refuse; the identity check comes first.
    EXPECT_EQ(fp[0] == 'b', code == flxenroll::kErrEnrollAgain) << fp << " " << code;
  }
  EXPECT_EQ("1|4", Registry("SELECT conflict, foreign_sn_pushes FROM device_admissions "
                            "WHERE sn = 'HAND1'"));
}

TEST_F(EnrollTest, RenewalAcrossExpiry) {
  const std::string m = Machine("renewer", "52:54:00:00:00:05");
  ASSERT_EQ(0, EnrollWith(JoinLine(), m).exit);
  const std::string conf = m + "/etc/flx-agent/agent.conf";
  const std::string first = flxagent::Trim(readFile(m + "/etc/flx-agent/session"));
  std::ostringstream err;
  ASSERT_EQ(0, flxagent::RenewSession(conf, m, err)) << err.str();
  const std::string second = flxagent::Trim(readFile(m + "/etc/flx-agent/session"));
  ASSERT_NE(first, second);
  // The old session stays valid for the grace period only.
  const std::string expiry = Registry(
      "SELECT expiry - strftime('%s','now') FROM sessions "
      "WHERE sid = '" +
      first + "'");
  EXPECT_NEAR(flxenroll::kRenewGraceSeconds, std::stoll(expiry), 60);
  ASSERT_EQ(0, PushFrom(m).exit);

  // Past its expiry a session renews nothing; the agent then enrolls again and pushes.
  Registry("UPDATE sessions SET expiry = 1");
  EXPECT_EQ(flxenroll::kErrNoPermission, flxagent::RenewSession(conf, m, err));
  Run run = PushFrom(m);
  ASSERT_EQ(0, run.exit) << run.output;
  EXPECT_EQ("1", Registry("SELECT count(*) FROM devices"));
  EXPECT_EQ("1", Registry("SELECT count(*) FROM sessions WHERE expiry > 1"));
}

}  // namespace
