// A fleet's life on a simulated clock: liveness from answered pushes, operator tokens that
// expire, and the push keyring rotated and retired while devices push.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "admin.h"
#include "admin_key.h"
#include "agent.h"
#include "api/webapi_flx_cache.h"
#include "flx.h"
#include "flxread.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "product.h"
#include "push.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

// Sets the clock of the read views, the product layer and the tools.
void SetClock(int64_t now) {
  setenv("FLX_NOW", std::to_string(now).c_str(), 1);
}

class LifeTest : public flxtest::RootTest {
 protected:
  LifeTest() { ReadKey(path(KEVO_PUSH_KEY_PATH), key_); }
  ~LifeTest() override { unsetenv("FLX_NOW"); }

  static void ReadKey(const std::string& file, unsigned char* key) {
    ASSERT_EQ(0, KVLIBCryptReadKeyFile(file.c_str(), key)) << file;
  }

  // Pushes `batch` as the host does: the module's method, the product's hook, the answer, then
  // the product's work after it (`waiting`: while other requests queue).
  static bool Push(const std::string& sn, const std::string& sid, const Json::Value& batch,
                   const unsigned char* key, bool waiting = false) {
    Json::Value params(Json::objectValue);
    std::string err;
    if (!flxpush::BuildItems(batch, key, 4096, false, params["items"], err)) {
      ADD_FAILURE() << err;
      return false;
    }
    KEVO::APIRequest req("KEVO.FLX.RPC.ClientInfo", 1, "push", params, sid, "192.0.2.7");
    KEVO::APIResponse resp;
    set_v1(&req, &resp);
    webapihost::Call call;
    call.api = "KEVO.FLX.RPC.ClientInfo";
    call.method = "push";
    call.params = params;
    flxproduct::AfterCall(call, sn, resp);
    flxproduct::AfterAnswer(waiting);
    return resp.IsSuccess();
  }

  static Json::Value Item(const char* group, const char* module, int64_t collect,
                          const Json::Value& data) {
    Json::Value item(Json::objectValue);
    item["group_name"] = group;
    item["module_name"] = module;
    item["collect_time"] = Json::Int64(collect);
    item["data"] = data;
    return item;
  }

  // sn -> "reporting" or "stale" from the device list, and the same from the stale query.
  static std::string States() {
    flxread::ListQuery q;
    Json::Value out;
    std::string err, states;
    EXPECT_EQ(flxread::kOk, flxread::deviceList(q, out, err)) << err;
    for (const Json::Value& d : out["devices"])
      states += d["sn"].asString() + (d["stale"].asBool() ? ":stale " : ":reporting ");
    Json::Value stale;
    EXPECT_EQ(flxread::kOk,
              flxread::staleDevices(0, flxread::clockNow(), flxread::Page(), stale, err));
    for (const Json::Value& d : stale["devices"]) states += "!" + d["sn"].asString();
    return states;
  }

  unsigned char key_[32];
};

TEST(Liveness, StaleIsThreeIntervalsWithoutContact) {
  const struct {
    int64_t last, learnt, now;
    bool stale;
  } cases[] = {
      {0, 0, 1000, true},                 // never pushed
      {1000, 0, 1900, false},             // three agent intervals, not more
      {1000, 0, 1901, true},              //
      {1000, 3600, 1000 + 10800, false},  // a learnt interval replaces the agent's
      {1000, 3600, 1000 + 10801, true},   //
      {5000, 60, 1000, false},            // a clock set back is no silence
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.stale, flxread::isStale(c.last, c.learnt, c.now))
        << c.last << " " << c.learnt << " " << c.now;
}

// Two agents on the shipped interval with nothing new for a day: the one that runs stays
// reporting through heartbeats alone; the one stopped after an hour goes stale three
// intervals later, on the page's list, the stale query and the metrics alike.
TEST_F(LifeTest, IdleAgentsStayReportingAStoppedOneGoesStale) {
  const int64_t start = 1800000000, interval = flxread::kAgentIntervalSeconds;
  addDevice("SN-RUNS");
  addDevice("SN-STOPS");
  const std::string sids[] = {addSession("SN-RUNS"), addSession("SN-STOPS")};
  flxagent::PushState states[2];
  int64_t stoppedAt = 0, pushes = 0;
  for (int64_t t = start; t <= start + 86400; t += interval) {
    SetClock(t);
    for (int d = 0; d < 2; ++d) {
      if (d == 1 && t > start + 3600) continue;  // stopped
      // The same facts every round; only the first round has anything new.
      Json::Value batch(Json::arrayValue);
      batch.append(Item("basic", "basic", t, flxtest::parse(R"({"hostname": "nas"})")));
      batch.append(Item("basic", "info", t, flxtest::parse(R"({"cpu_cores": 4})")));
      const Json::Value round =
          flxagent::WithHeartbeat(states[d].changed(batch, "https://h", t), batch);
      ASSERT_FALSE(round.empty()) << "a heartbeat every round";
      ASSERT_TRUE(Push(d == 0 ? "SN-RUNS" : "SN-STOPS", sids[d], round, key_));
      states[d].record(round, "https://h", t);
      ++pushes;
      if (d == 1) stoppedAt = t;
    }
    if (t == start + 7200) {
      EXPECT_EQ("SN-RUNS:reporting SN-STOPS:stale !SN-STOPS", States());
    }
  }
  EXPECT_GT(pushes, 288);
  EXPECT_EQ("SN-RUNS:reporting SN-STOPS:stale !SN-STOPS", States());

  // Back to the stop: three intervals later it is not stale yet, a second later it is.
  SetClock(stoppedAt + 3 * interval);
  EXPECT_EQ("SN-RUNS:reporting SN-STOPS:reporting ", States());
  SetClock(stoppedAt + 3 * interval + 1);
  EXPECT_EQ("SN-RUNS:reporting SN-STOPS:stale !SN-STOPS", States());

  // The metrics read the same record and definition.
  SetClock(start + 86400 + 10);
  std::string text;
  flxproduct::ProductMetrics(text, [](std::string&) {});
  auto sample = [&text](const std::string& series) {
    const size_t at = text.find("\n" + series);
    if (at == std::string::npos) return std::string("missing");
    const size_t end = text.find('\n', at + 1);
    return text.substr(text.rfind(' ', end) + 1, end - text.rfind(' ', end) - 1);
  };
  EXPECT_EQ("0", sample("flx_device_stale{sn=\"SN-RUNS\""));
  EXPECT_EQ("1", sample("flx_device_stale{sn=\"SN-STOPS\""));
  EXPECT_EQ(std::to_string(start + 86400),
            sample("flx_device_last_contact_timestamp_seconds{sn=\"SN-RUNS\""));

  // The device page's view: the arrival, and the collect time the push carried.
  Json::Value show;
  std::string err;
  ASSERT_EQ(flxread::kOk, flxread::deviceShow("SN-STOPS", show, err)) << err;
  EXPECT_EQ(stoppedAt, show["liveness"]["last_contact"].asInt64());
  EXPECT_EQ(stoppedAt, show["liveness"]["last_collect"].asInt64());
  EXPECT_TRUE(show["liveness"]["stale"].asBool());
}

// The arrival is written once the answer has left; while requests queue a worker keeps up to
// 32, or a second's worth, for one commit, each with its own arrival time, and writes them as
// soon as nothing waits.
TEST_F(LifeTest, ArrivalsKeptWhileRequestsQueueAreBoundedAndKeepTheirTimes) {
  const int64_t t = 1800000000;
  addDevice("SN-Q");
  addDevice("SN-R");
  const std::string q = addSession("SN-Q"), r = addSession("SN-R");
  const Json::Value batch = flxtest::parse(
      R"([{"group_name": "basic", "module_name": "basic", "collect_time": 5, "data": {}}])");
  auto contact = [](const char* sn) {
    Json::Value show;
    std::string err;
    EXPECT_EQ(flxread::kOk, flxread::deviceShow(sn, show, err)) << err;
    return show["liveness"]["last_contact"].asInt64();
  };
  SetClock(t);
  for (int i = 0; i < 31; ++i) ASSERT_TRUE(Push("SN-Q", q, batch, key_, true));
  EXPECT_EQ(0, contact("SN-Q")) << "kept while requests queue";
  ASSERT_TRUE(Push("SN-R", r, batch, key_, true));
  EXPECT_EQ(t, contact("SN-Q")) << "the 32nd writes the batch";
  EXPECT_EQ(t, contact("SN-R"));

  SetClock(t + 100);
  ASSERT_TRUE(Push("SN-Q", q, batch, key_, true));
  SetClock(t + 101);
  ASSERT_TRUE(Push("SN-R", r, batch, key_, true));
  EXPECT_EQ(t + 100, contact("SN-Q")) << "a second old: written, with its own arrival";
  EXPECT_EQ(t + 101, contact("SN-R"));

  ASSERT_TRUE(Push("SN-Q", q, batch, key_, true));
  EXPECT_EQ(t + 100, contact("SN-Q"));
  flxproduct::AfterAnswer(false);
  EXPECT_EQ(t + 101, contact("SN-Q")) << "written once nothing waits";
}

TEST_F(LifeTest, OperatorTokensExpireAndTellTheirLastUse) {
  const int64_t t = 1800000000;
  SetClock(t);
  std::string err, shortLived, forever, who;
  ASSERT_EQ(0, flxadmin::operatorAdd("temp", 120, shortLived, err)) << err;
  ASSERT_EQ(0, flxadmin::operatorAdd("admin", 0, forever, err)) << err;
  EXPECT_NE(0, flxadmin::operatorAdd("bad", -1, shortLived, err));

  webapihost::SessionQuery q;
  q.api = "KEVO.FLX.Inventory";
  q.apiClass = "KEVO.FLX";
  q.requestMethod = "POST";
  auto lastUse = [](const std::string& name) {
    std::vector<KEVOFLX_OPERATOR> ops;
    EXPECT_EQ(0, KEVOFLXOperatorList(ops));
    for (const KEVOFLX_OPERATOR& op : ops)
      if (op.name == name) return op.last_used;
    return int64_t(-1);
  };
  const struct {
    int64_t at;
    bool tempOk;
    int64_t tempLastUse;
  } steps[] = {
      {t, true, t},              // first use: written
      {t + 30, true, t},         // within the minute: not written again
      {t + 61, true, t + 61},    // a minute after the stored use
      {t + 120, false, t + 61},  // expired: refused, and no use recorded
  };
  for (const auto& s : steps) {
    SetClock(s.at);
    q.sid = shortLived;
    EXPECT_EQ(s.tempOk, flxproduct::CheckSession(q, who)) << s.at - t;
    EXPECT_EQ(s.tempLastUse, lastUse("temp")) << s.at - t;
  }
  SetClock(t + 10 * 365 * 86400);
  q.sid = forever;
  EXPECT_TRUE(flxproduct::CheckSession(q, who)) << "a token made without --ttl never expires";
  EXPECT_EQ("admin", who);
}

// A chunk deciphers with the current key or any older one, newest first; the key that did it
// is told by its short id, never the key.
TEST_F(LifeTest, OlderKeysDecipherAfterARotation) {
  addDevice("SN-K");
  const std::string sid = addSession("SN-K");
  const Json::Value batch = flxtest::parse(
      R"([{"group_name": "basic", "module_name": "info", "collect_time": 1, "data": {}}])");
  std::string oldId, newId, err;
  ASSERT_EQ(0, flxadmin::keyRotate(oldId, newId, err)) << err;
  ASSERT_NE(oldId, newId);
  EXPECT_EQ(0700u, flxtest::modeOf(path(KEVO_PUSH_KEYS_DIR)));
  unsigned char fresh[32];
  ReadKey(path(KEVO_PUSH_KEY_PATH), fresh);
  char hex[65];
  ASSERT_EQ(0, KVLIBCryptCurrentKeyHex(hex, sizeof hex));
  char freshId[16];
  KVLIBCryptKeyId(fresh, freshId, sizeof freshId);
  EXPECT_EQ(newId, freshId);
  for (const auto& [key, id] : {std::make_pair(key_, oldId), std::make_pair(fresh, newId)}) {
    EXPECT_TRUE(Push("SN-K", sid, batch, key)) << id;
    EXPECT_EQ(id, KVLIBCryptLastKeyId());
  }
  unsigned char stranger[32] = {1};
  EXPECT_FALSE(Push("SN-K", sid, batch, stranger)) << "no key of the ring: refused as before";

  // Retiring: refused while the old key is in use, done once it has not been.
  std::vector<std::string> retired, kept;
  EXPECT_NE(0, flxadmin::keyRetire(3600, flxread::clockNow(), retired, kept, err));
  EXPECT_NE(std::string::npos, err.find("not retiring")) << err;
  ASSERT_EQ(1u, kept.size());
  kept.clear();
  ASSERT_EQ(0, flxadmin::keyRetire(3600, flxread::clockNow() + 3700, retired, kept, err)) << err;
  EXPECT_EQ(1u, retired.size());
  EXPECT_FALSE(Push("SN-K", sid, batch, key_)) << "a retired key no longer deciphers";
  EXPECT_TRUE(Push("SN-K", sid, batch, fresh));
}

// 1,000 devices push without a pause while the keyring is rotated, every device takes the new
// key (as at its renewal), and the old key is retired: no push fails.
TEST_F(LifeTest, RotationAndRetirementWhileAThousandDevicesPushLoseNoPush) {
  const int kDevices = 1000;
  std::vector<std::string> sns, sids;
  for (int i = 0; i < kDevices; ++i) {
    sns.push_back("SN-" + std::to_string(i));
    addDevice(sns.back());
    sids.push_back(addSession(sns.back()));
  }
  const std::string control = root() + "/control";
  auto exists = [&](const char* name) { return access((control + name).c_str(), F_OK) == 0; };
  writeFile(control + "/.keep", "");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The fleet: each device holds the key it was given until it "renews" to the new one.
    const Json::Value batch = flxtest::parse(
        R"([{"group_name": "basic", "module_name": "info", "collect_time": 1, "data": {}}])");
    unsigned char held[32], renewed[32];
    memcpy(held, key_, sizeof held);
    bool switched = false;
    long failed = 0, pushed = 0;
    for (int round = 0, renewedRounds = 0; round < 200; ++round) {
      const bool last = exists("/stop");
      if (!switched && exists("/new.key")) {
        KVLIBCryptReadKeyFile((control + "/new.key").c_str(), renewed);
        switched = true;
      }
      for (int i = 0; i < kDevices; ++i) {
        failed += Push(sns[i], sids[i], batch, switched ? renewed : held) ? 0 : 1;
        ++pushed;
      }
      writeFile(control + (switched ? "/new-" + std::to_string(++renewedRounds)
                                    : "/old-" + std::to_string(round + 1)),
                "");
      if (last) break;
    }
    writeFile(control + "/pushed", std::to_string(pushed));
    _exit(failed > 100 ? 100 : static_cast<int>(failed));
  }
  auto waitFor = [&](const std::string& name) {
    // nanosleep: the test support's fake usleep does not wait.
    const timespec tenth{0, 100 * 1000 * 1000};
    for (int i = 0; i < 3000 && !exists(name.c_str()); ++i) nanosleep(&tenth, nullptr);
    return exists(name.c_str());
  };
  bool ok = waitFor("/old-1");
  std::string oldId, newId, err;
  EXPECT_TRUE(ok && flxadmin::keyRotate(oldId, newId, err) == 0) << err;
  // Pushes with the old key go on across the rotation, then the devices renew.
  ok = ok && waitFor("/old-2");
  writeFile(control + "/new.key", readFile(path(KEVO_PUSH_KEY_PATH)));
  ok = ok && waitFor("/new-1");
  std::vector<std::string> retired, kept;
  EXPECT_NE(0, flxadmin::keyRetire(600, flxread::clockNow(), retired, kept, err))
      << "the old key was used moments ago";
  EXPECT_EQ(0, flxadmin::keyRetire(600, flxread::clockNow() + 700, retired, kept, err)) << err;
  EXPECT_EQ(1u, retired.size());
  ok = ok && waitFor("/new-2");
  writeFile(control + "/stop", "");
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(ok) << "the pushing child stalled";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "failed pushes";
  std::cout << "pushes across rotate and retire: " << readFile(control + "/pushed") << ", failed "
            << WEXITSTATUS(status) << std::endl;
  // A push in flight across the retirement may have noted the old key's use after it: the
  // next retirement's sweep forgets it.
  EXPECT_NE(0, flxadmin::keyRetire(0, flxread::clockNow(), retired, kept, err));
  std::vector<std::pair<std::string, int64_t>> uses;
  ASSERT_EQ(0, KEVOFLXKeyUseList(uses));
  ASSERT_EQ(1u, uses.size()) << "the retired key's use is forgotten";
  EXPECT_EQ(newId, uses[0].first);
}

}  // namespace
