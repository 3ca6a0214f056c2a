// Groups, roles and scopes over every inventory and management method, and the audit trail
// that the actions leave.
#include <sqlite3.h>
#include <time.h>

#include <json/reader.h>

#include <algorithm>
#include <memory>
#include <tuple>

#include <set>
#include <string>

#include "flx.h"
#include "flxoperators.h"
#include "flxread.h"
#include "host.h"
#include "inventory/inventory_api.h"
#include "kevoroot.h"
#include "platform/flxhistory/include/flxhistory_schema.h"
#include "product/product.h"
#include "support/root_fixture.h"

namespace {

const int kGroups = 10;
const int kPerGroup = 3;

class OperatorsTest : public flxtest::RootTest {
 protected:
  OperatorsTest() : dispatcher_(registry_) {
    std::string err;
    EXPECT_TRUE(registry_.LoadModule(FLX_INVENTORY_PATH, err)) << err;
    // Ten groups of three devices, each with a full volume, a disk, a package and an
    // application, and silent since long ago.
    for (int g = 0; g < kGroups; ++g) {
      const std::string group = "g" + std::to_string(g);
      EXPECT_EQ(0, flxops::AddGroup(group));
      for (int i = 0; i < kPerGroup; ++i) {
        const std::string sn = "SN-" + group + "-" + std::to_string(i);
        const uint64_t id = addDevice(sn, "host-" + sn);
        EXPECT_EQ(0, flxops::SetDeviceGroup(sn, group));
        const std::string qx = std::to_string(id);
        query(
            "INSERT INTO vol_info(name, size_total, size_used, mtime, qx_id) VALUES ('v1', 100, "
            "95, 1000, " +
            qx + ")");
        query(
            "INSERT INTO hdd_info(dev, status, smart_status, temp, mtime, qx_id) VALUES "
            "('sda', 'warning', 'abnormal', 50, 1000, " +
            qx + ")");
        KEVOFLX_PKG p;
        p.qx_id = id, p.pkg_id = "Media", p.version = "1.0";
        EXPECT_EQ(0, KEVOFLXPkgSet(&p));
        KEVOFLX_APP app;
        app.qx_id = id, app.app_id = "Files";
        EXPECT_EQ(0, KEVOFLXAppSet(&app));
      }
    }
    all_ = token("all", "viewer", {});
    viewer_ = token("v3", "viewer", {"g3"});
    admin_ = token("a3", "admin", {"g3"});
  }

  std::string token(const std::string& name, const std::string& role,
                    const std::vector<std::string>& groups, int64_t expires = 0) {
    const std::string t = flxread::newToken();
    EXPECT_EQ(0, KEVOFLXOperatorCreate(name, flxread::tokenHash(t)));
    flxops::Access a;
    a.name = name, a.role = role, a.scoped = !groups.empty(), a.groups = groups;
    a.expires = expires;
    EXPECT_EQ(0, flxops::SetAccess(a));
    return t;
  }

  // The answer's code (0 for success) for `query` sent with token `tok`.
  int call(const std::string& query, const std::string& tok,
           const std::string& api = "KEVO.FLX.Inventory") {
    webapihost::RawRequest raw;
    raw.query = "api=" + api + "&version=1&_sid=" + tok + "&" + query;
    raw.remoteIp = "192.0.2.9";
    webapihost::Dispatcher::Outcome outcome;
    answer_ = dispatcher_.Handle(raw, nullptr, nullptr, &outcome);
    download_.clear();
    if (outcome.download.producer) {
      EXPECT_TRUE(outcome.download.producer([this](const char* data, size_t size) {
        download_.append(data, size);
        return true;
      }));
    }
    return answer_["success"].asBool() ? 0 : answer_["error"]["code"].asInt();
  }

  std::string registryDb() const { return path(KEVO_REGISTRY_DB_PATH); }
  // Runs a write on the registry as any local tool could; false when it was refused.
  bool exec(const std::string& sql) const {
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(registryDb().c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
  }
  std::string audit() const {
    return query(
        "SELECT who, action, object, device, group_name, address, result FROM audit_log "
        "ORDER BY id",
        registryDb());
  }

  webapihost::ApiRegistry registry_;
  webapihost::Dispatcher dispatcher_;
  std::string all_, viewer_, admin_;
  Json::Value answer_;
  std::string download_;
};

// Every listing method, as a viewer of g3 and with a group filter: exactly g3's devices.
TEST_F(OperatorsTest, AViewerOfOneGroupSeesExactlyItsDevicesInEveryList) {
  const struct {
    const char* query;
    const char* rows;
  } methods[] = {
      {"method=list", "devices"},
      {"method=volumes", "volumes"},
      {"method=disks", "disks"},
      {"method=package&id=Media", "devices"},
      {"method=application&id=Files", "devices"},
      {"method=stale&seconds=60", "devices"},
      {"method=history", "events"},
      {"method=filling&days=30", "volumes"},
  };
  for (const auto& m : methods) {
    for (const auto& [tok, filter, expected] :
         {std::make_tuple(viewer_, "", kPerGroup), std::make_tuple(all_, "&group=g3", kPerGroup),
          std::make_tuple(viewer_, "&group=g3", kPerGroup),
          std::make_tuple(viewer_, "&group=g4", 0), std::make_tuple(all_, "&group=nope", 0),
          std::make_tuple(all_, "", kGroups * kPerGroup)}) {
      const std::string q = std::string(m.query) + filter + "&limit=500";
      ASSERT_EQ(0, call(q, tok)) << q;
      const Json::Value& rows = answer_["data"][m.rows];
      // The history and the fill forecast have no rows here: only none may leak.
      const bool history = std::string(m.rows) == "events" ||
                           std::string(m.query).find("filling") != std::string::npos;
      if (!history) {
        EXPECT_EQ(expected, answer_["data"]["total"].asInt()) << q;
      }
      for (const Json::Value& r : rows)
        if (expected != kGroups * kPerGroup) {
          EXPECT_EQ(0u, r["sn"].asString().find("SN-g3-")) << q << ": " << r["sn"].asString();
        }
    }
  }
  ASSERT_EQ(0, call("method=list&limit=1", all_));
  EXPECT_EQ("g0", answer_["data"]["devices"][0]["group"].asString());
  // Moving a device changes what the scope sees at the next call.
  ASSERT_EQ(0, flxops::SetDeviceGroup("SN-g4-0", "g3"));
  ASSERT_EQ(0, call("method=list", viewer_));
  EXPECT_EQ(kPerGroup + 1, answer_["data"]["total"].asInt());
  ASSERT_EQ(0, flxops::SetDeviceGroup("SN-g4-0", ""));
  ASSERT_EQ(0, call("method=volumes", viewer_));
  EXPECT_EQ(kPerGroup, answer_["data"]["total"].asInt());
}

// The list's rows, total and headline counts for every kind of scope, without a filter (each
// count from an index) and with one (one pass over the devices it leaves): both agree with the
// devices planted, and each row carries its admission, in the page and in the export.
TEST_F(OperatorsTest, ListCountsAndEnrollmentFollowTheScope) {
  addDevice("SN-none-0", "host-none-0");
  addDevice("SN-none-1", "host-none-1");
  const int64_t now = time(nullptr);
  // Fresh: g3-0 (learnt 60 s, 170 s ago) and none-0; g5-0 is 200 s past a 60 s interval, g3-1 a
  // day; every other device never pushed.
  ASSERT_EQ(0, KEVOFLXContactNote("SN-g3-0", now - 170, 0));
  ASSERT_EQ(0, KEVOFLXContactNote("SN-g3-1", now - 86400, 0));
  ASSERT_EQ(0, KEVOFLXContactNote("SN-g5-0", now - 200, 0));
  ASSERT_EQ(0, KEVOFLXContactNote("SN-none-0", now, 0));
  auto id = [this](const std::string& sn) {
    return query("SELECT id FROM devices WHERE sn = '" + sn + "'", registryDb());
  };
  sqlite3* h = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path(KEVO_HISTORY_DB_PATH).c_str(), &h));
  EXPECT_EQ(
      SQLITE_OK,
      sqlite3_exec(h,
                   (std::string(flxhistory::kSchemaSql) +
                    "INSERT INTO summary(device_id, marks, push_interval) VALUES(" + id("SN-g3-0") +
                    ", '[\"full\"]', 60), (" + id("SN-g5-0") + ", '[]', 60), (" + id("SN-g5-1") +
                    ", '[\"full\",\"hot\"]', NULL), (" + id("SN-none-1") + ", '[\"hot\"]', NULL)")
                       .c_str(),
                   nullptr, nullptr, nullptr));
  sqlite3_close(h);
  ASSERT_TRUE(
      exec("INSERT INTO device_admissions(sn, state, group_name, conflict, conflict_since) "
           "VALUES('SN-g3-1', 'pending', 'g3', 1, 77)"));
  auto group = [this](const char* name) {
    return std::stoll(query(std::string("SELECT id FROM fleet_groups WHERE name = '") + name + "'",
                            registryDb()));
  };
  auto scope = [](bool all, std::vector<int64_t> groups) {
    flxread::Scope s;
    s.all = all, s.groups = std::move(groups);
    return s;
  };
  std::set<std::string> every;
  for (int g = 0; g < kGroups; ++g)
    for (int i = 0; i < kPerGroup; ++i)
      every.insert("SN-g" + std::to_string(g) + "-" + std::to_string(i));
  every.insert({"SN-none-0", "SN-none-1"});
  std::set<std::string> fresh = {"SN-g3-0", "SN-none-0"};
  const std::set<std::string> full = {"SN-g3-0", "SN-g5-1"}, hot = {"SN-g5-1", "SN-none-1"};
  const struct {
    const char* what;
    flxread::Scope scope;
    std::set<std::string> sees;
  } cases[] = {
      {"every device", scope(true, {}), every},
      {"one group", scope(false, {group("g3")}), {"SN-g3-0", "SN-g3-1", "SN-g3-2"}},
      {"two groups",
       scope(false, {group("g3"), group("g5")}),
       {"SN-g3-0", "SN-g3-1", "SN-g3-2", "SN-g5-0", "SN-g5-1", "SN-g5-2"}},
      {"groups all gone", scope(false, {}), {}},
  };
  // Then every device gets a summary row (a list by a summary column is then read from its
  // index, filter or not), then every other device reports: a scope's devices with a contact
  // are counted from its members rather than from the contacts.
  for (int round = 0; round < 3; ++round) {
    if (round == 1) {
      std::string rows;
      for (const std::string& sn : every) rows += (rows.empty() ? "(" : "), (") + id(sn);
      ASSERT_EQ(SQLITE_OK, sqlite3_open(path(KEVO_HISTORY_DB_PATH).c_str(), &h));
      EXPECT_EQ(
          SQLITE_OK,
          sqlite3_exec(h, ("INSERT OR IGNORE INTO summary(device_id) VALUES" + rows + ")").c_str(),
                       nullptr, nullptr, nullptr));
      sqlite3_close(h);
    }
    if (round == 2) {
      for (const std::string& sn : every) {
        if (sn == "SN-g3-1" || sn == "SN-g5-0" || fresh.count(sn) != 0) continue;
        ASSERT_EQ(0, KEVOFLXContactNote(sn, now, 0));
        fresh.insert(sn);
      }
    }
    for (const auto& c : cases) {
      auto among = [&c](const std::set<std::string>& set) {
        return std::count_if(set.begin(), set.end(),
                             [&c](const std::string& sn) { return c.sees.count(sn) != 0; });
      };
      const std::string want = std::to_string(c.sees.size()) + " stale " +
                               std::to_string(c.sees.size() - among(fresh)) + " full " +
                               std::to_string(among(full)) + " hot " + std::to_string(among(hot));
      for (const auto& [sort, filter] :
           {std::make_pair("sn", ""), std::make_pair("sn", "SN-"), std::make_pair("model_name", ""),
            std::make_pair("vol_max_use", ""), std::make_pair("vol_max_use", "sN-")}) {
        const std::string what = std::string(c.what) + ", by " + sort + ", filter '" + filter +
                                 "', round " + std::to_string(round);
        flxread::ListQuery q;
        q.sort = sort, q.filter = filter, q.scope = c.scope, q.descending = true;
        q.page.limit = 500;
        Json::Value out;
        std::string err;
        ASSERT_EQ(flxread::kOk, flxread::deviceList(q, out, err)) << what << ": " << err;
        std::set<std::string> seen;
        for (const Json::Value& d : out["devices"]) {
          seen.insert(d["sn"].asString());
          const Json::Value& e = d["enrollment"];
          EXPECT_EQ(d["sn"] == "SN-g3-1" ? "pending g3 identity-conflict 77" : "registered  ok 0",
                    e["state"].asString() + " " + e["group"].asString() + " " +
                        e["identity"].asString() + " " + e["conflict_since"].asString())
              << what << ": " << d["sn"].asString();
        }
        EXPECT_EQ(c.sees, seen) << what;
        const Json::Value& n = out["counts"];
        EXPECT_EQ(want, n["devices"].asString() + " stale " + n["stale"].asString() + " full " +
                            n["full"].asString() + " hot " + n["hot"].asString())
            << what;
        EXPECT_EQ(static_cast<int>(c.sees.size()), out["total"].asInt()) << what;
      }
    }
  }
  // The export carries the same admission, and only the devices the token sees.
  for (const auto& [tok, rows] :
       {std::make_pair(all_, every.size()), std::make_pair(viewer_, size_t(3))}) {
    ASSERT_EQ(0, call("method=list&format=json", tok));
    Json::Value exported;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    std::string errs;
    ASSERT_TRUE(
        reader->parse(download_.data(), download_.data() + download_.size(), &exported, &errs))
        << errs;
    ASSERT_EQ(rows, exported.size());
    for (const Json::Value& d : exported)
      EXPECT_EQ(d["sn"] == "SN-g3-1" ? "pending" : "registered",
                d["enrollment"]["state"].asString());
  }
  // Without ungrouped devices a reader of every group sees every device (its page and its
  // export); one group fewer, its devices only (also by a summary column, through its index).
  ASSERT_EQ(0, KEVOFLXQxDelete("SN-none-0"));
  ASSERT_EQ(0, KEVOFLXQxDelete("SN-none-1"));
  for (int groups : {kGroups, kGroups - 1}) {
    std::vector<int64_t> ids;
    std::vector<std::string> names;
    for (int g = 0; g < groups; ++g) {
      names.push_back("g" + std::to_string(g));
      ids.push_back(group(names.back().c_str()));
    }
    const std::string what = std::to_string(groups) + " groups";
    for (const char* sort : {"sn", "vol_max_use"}) {
      flxread::ListQuery q;
      q.sort = sort, q.scope = scope(false, ids);
      q.page.limit = 500;
      Json::Value out;
      std::string err;
      ASSERT_EQ(flxread::kOk, flxread::deviceList(q, out, err)) << err;
      std::set<std::string> seen;
      for (const Json::Value& d : out["devices"]) seen.insert(d["sn"].asString());
      EXPECT_EQ(size_t(groups * kPerGroup), seen.size()) << what << " by " << sort;
      EXPECT_EQ(groups == kGroups, seen.count("SN-g9-0") == 1) << what << " by " << sort;
      EXPECT_EQ(groups * kPerGroup, out["counts"]["devices"].asInt()) << what << " by " << sort;
    }
    ASSERT_EQ(0, call("method=list&format=csv",
                      token("reader" + std::to_string(groups), "viewer", names)));
    EXPECT_EQ(groups * kPerGroup + 1, std::count(download_.begin(), download_.end(), '\n')) << what;
  }
}

// One device's methods: another group's device is answered byte for byte as a missing one.
TEST_F(OperatorsTest, AnotherGroupsDeviceIsAnsweredAsAMissingOne) {
  for (const std::string m :
       {"method=get", "method=series&kind=volume", "method=history", "method=icon&app_id=Files"}) {
    const int missing = call(m + "&sn=SN-404", viewer_);
    const Json::Value missingAnswer = answer_;
    EXPECT_EQ(INV_ERR_NOT_FOUND, missing) << m;
    EXPECT_EQ(missing, call(m + "&sn=SN-g4-0", viewer_)) << m;
    EXPECT_EQ(missingAnswer, answer_) << m;
    if (m != "method=icon&app_id=Files") {
      EXPECT_EQ(0, call(m + "&sn=SN-g3-0", viewer_)) << m;
    }
  }
  ASSERT_EQ(0, call("method=get&sn=SN-g3-1", viewer_));
  EXPECT_EQ("g3", answer_["data"]["group"].asString());
  // Each refused read of an existing device is in the trail; the missing ones are not news.
  const std::string trail = audit();
  EXPECT_EQ(4, std::count(trail.begin(), trail.end(), '\n') + 1) << trail;
  EXPECT_NE(std::string::npos, trail.find("v3|read-refused|get|SN-g4-0|g4|192.0.2.9|refused"));
}

TEST_F(OperatorsTest, RolesExpiryAndTokensFromBeforeRoles) {
  const std::string metrics = token("prom", "metrics", {});
  const std::string expired = token("old", "admin", {}, time(nullptr) - 1);
  const std::string legacy = flxread::newToken();
  ASSERT_EQ(0, KEVOFLXOperatorCreate("legacy", flxread::tokenHash(legacy)));
  EXPECT_EQ(105, call("method=list", metrics));
  EXPECT_EQ(105, call("method=list", expired));
  // A token made before roles reads everything and acts on nothing.
  ASSERT_EQ(0, call("method=list", legacy));
  EXPECT_EQ(kGroups * kPerGroup, answer_["data"]["total"].asInt());
  const std::string actions[] = {"approve&sn=SN-g3-0",
                                 "reject&sn=SN-g3-0",
                                 "move&sn=SN-g3-0&group=g3",
                                 "revoke_sessions&sn=SN-g3-0",
                                 "remove&sn=SN-g3-0",
                                 "revoke_secret&id=x",
                                 "audit",
                                 "create_secret&url=https%3A%2F%2Fh"};
  for (const std::string& a : actions) {
    for (const std::string& tok : {viewer_, all_, legacy, metrics, expired})
      EXPECT_EQ(105, call("method=" + a, tok, "KEVO.FLX.Manage")) << a;
  }
  // /metrics: the metrics token and readers of everything; never a reader of some groups.
  webapihost::HostOptions options;
  flxproduct::ApplyDefaults(options, false);
  EXPECT_TRUE(options.hooks.metricsToken(metrics));
  EXPECT_TRUE(options.hooks.metricsToken(legacy));
  EXPECT_FALSE(options.hooks.metricsToken(viewer_));
  EXPECT_FALSE(options.hooks.metricsToken(expired));
}

// Every inventory method refuses a metrics token and a token expired in either table that
// holds an expiry (its access's or its token's); the earlier of the two ends it.
TEST_F(OperatorsTest, EveryMethodRefusesMetricsAndTokensExpiredInEitherTable) {
  const int64_t now = time(nullptr);
  const auto tokenExpiry = [&](const std::string& name, int64_t at) {
    return exec("INSERT OR REPLACE INTO operator_tokens(name, expiry) VALUES('" + name + "', " +
                std::to_string(at) + ")");
  };
  const std::string metrics = token("prom", "metrics", {});
  const std::string byAccess = token("lapsed-access", "admin", {}, now - 1);
  const std::string byToken = token("lapsed-token", "admin", {});
  ASSERT_TRUE(tokenExpiry("lapsed-token", now - 1));
  for (const std::string m :
       {"list", "get&sn=SN-g3-0", "volumes", "disks", "package&id=Media", "application&id=Files",
        "stale", "icon&sn=SN-g3-0&app_id=Files", "history", "series&sn=SN-g3-0&kind=volume",
        "filling&days=30", "software", "whoami"}) {
    for (const std::string& tok : {metrics, byAccess, byToken})
      EXPECT_EQ(105, call("method=" + m, tok)) << m;
    EXPECT_NE(105, call("method=" + m, viewer_)) << m;
  }
  const struct {
    int64_t access, token;
    bool ok;
  } expiries[] = {
      {0, 0, true},
      {now + 600, 0, true},
      {0, now + 600, true},
      {now + 600, now - 1, false},
      {now - 1, now + 600, false},
      {now + 900, now + 600, true},
  };
  int n = 0;
  for (const auto& e : expiries) {
    const std::string name = "x" + std::to_string(++n);
    const std::string tok = token(name, "admin", {"g3"}, e.access);
    ASSERT_TRUE(tokenExpiry(name, e.token));
    EXPECT_EQ(e.ok ? 0 : 105, call("method=list", tok)) << n;
    EXPECT_EQ(e.ok ? 0 : 105, call("method=audit", tok, "KEVO.FLX.Manage")) << n;
  }
}

TEST_F(OperatorsTest, AdminsActOnTheirGroupsAndEveryActionIsAuditedWithoutSecrets) {
  const std::string sid = addSession("SN-g3-1");
  query(
      "INSERT INTO device_admissions(sn, state) VALUES ('SN-g3-0', 'pending'), "
      "('SN-g4-0', 'pending')",
      registryDb());
  EXPECT_EQ(0, call("method=approve&sn=SN-g3-0", admin_, "KEVO.FLX.Manage"));
  EXPECT_EQ(404, call("method=approve&sn=SN-g4-0", admin_, "KEVO.FLX.Manage"));
  EXPECT_EQ(409, call("method=approve&sn=SN-g3-2", admin_, "KEVO.FLX.Manage"));
  EXPECT_EQ(0, call("method=revoke_sessions&sn=SN-g3-1", admin_, "KEVO.FLX.Manage"));
  EXPECT_EQ(1, answer_["data"]["removed"].asInt());
  EXPECT_EQ(404, call("method=move&sn=SN-g3-1&group=g4", admin_, "KEVO.FLX.Manage"));
  EXPECT_EQ(0, flxops::AddGroup("g3b"));
  const std::string wide = token("aw", "admin", {"g3", "g3b"});
  EXPECT_EQ(0, call("method=move&sn=SN-g3-1&group=g3b", wide, "KEVO.FLX.Manage"));
  EXPECT_EQ(0, call("method=reject&sn=SN-g3-0", admin_, "KEVO.FLX.Manage"));
  // A removal: another group's device is not there; one stopped halfway says how far it went
  // in the trail, and the next one finishes it.
  EXPECT_EQ(404, call("method=remove&sn=SN-g4-1", admin_, "KEVO.FLX.Manage"));
  query("CREATE TRIGGER held BEFORE DELETE ON vol_info BEGIN SELECT RAISE(ABORT, 'held'); END");
  EXPECT_EQ(500, call("method=remove&sn=SN-g3-2", admin_, "KEVO.FLX.Manage"));
  query("DROP TRIGGER held");
  ASSERT_EQ(0, call("method=remove&sn=SN-g3-2", admin_, "KEVO.FLX.Manage"));
  EXPECT_EQ("sessions: 0", answer_["data"]["removed"][0].asString()) << answer_.toStyledString();
  EXPECT_EQ(404, call("method=get&sn=SN-g3-2", admin_));
  EXPECT_EQ(0, call("method=get&sn=SN-g4-1", all_)) << "another group's device is kept";
  // A join line of the admin's group, shown once; another group's is not there for it.
  const std::string url = "url=https%3A%2F%2Fflx.example";
  EXPECT_EQ(404, call("method=create_secret&group=g4&" + url, admin_, "KEVO.FLX.Manage"));
  EXPECT_EQ(404, call("method=create_secret&" + url, admin_, "KEVO.FLX.Manage"));
  ASSERT_EQ(0, call("method=create_secret&group=g3&uses=5&" + url, admin_, "KEVO.FLX.Manage"));
  const std::string line = answer_["data"]["line"].asString();
  const std::string id = answer_["data"]["id"].asString();
  const std::string joinToken = line.substr(line.find("--token ") + 8, 6 + 1 + 16);
  EXPECT_EQ(0u, line.find("flx-agent enroll https://flx.example --token " + id + ".")) << line;
  EXPECT_NE(std::string::npos, line.find(" --ca-hash sha256:")) << line;
  EXPECT_EQ(0, call("method=revoke_secret&id=" + id, admin_, "KEVO.FLX.Manage"));
  // Failed token checks: one line a minute per address, every one counted.
  webapihost::SessionQuery q;
  q.api = "KEVO.FLX.Inventory", q.method = "list", q.requestMethod = "POST";
  q.sid = "guessed-token-0123456789", q.remoteIp = "198.51.100.1";
  std::string who;
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(flxproduct::CheckSession(q, who));
  ASSERT_EQ(0, call("method=audit", admin_, "KEVO.FLX.Manage"));
  EXPECT_EQ(13u, answer_["data"]["entries"].size())
      << answer_.toStyledString();  // of g3, and its own
  for (const Json::Value& e : answer_["data"]["entries"])
    EXPECT_TRUE(e["group"] == "g3" || (e["group"] == "" && e["who"] == "a3")) << e.toStyledString();

  const std::string trail = audit();
  for (const char* line :
       {"a3|approve||SN-g3-0|g3|192.0.2.9|ok", "a3|approve||SN-g4-0||192.0.2.9|not found",
        "a3|approve||SN-g3-2|g3|192.0.2.9|not applicable",
        "a3|revoke-sessions||SN-g3-1|g3|192.0.2.9|ok", "a3|move|g4|SN-g3-1|g3|192.0.2.9|not found",
        "aw|move|g3b|SN-g3-1|g3|192.0.2.9|ok", "a3|reject||SN-g3-0|g3|192.0.2.9|ok",
        "a3|create-secret|g4||g4|192.0.2.9|not found", "a3|remove||SN-g4-1||192.0.2.9|not found",
        "a3|remove|removed: sessions: 0 | not removed: cache rows, mirror folder, spool, history, "
        "lock file, registry record|SN-g3-2|g3|192.0.2.9|failed",
        "a3|remove||SN-g3-2|g3|192.0.2.9|ok",
        "-|token-refused|KEVO.FLX.Inventory.list|||198.51.100.1|refused"})
    EXPECT_NE(std::string::npos, trail.find(line)) << line << "\n" << trail;
  EXPECT_EQ("token-refused|5", query("SELECT kind, count FROM audit_counters", registryDb()));
  EXPECT_NE(std::string::npos, trail.find("a3|create-secret|" + id + " group=g3||g3|192.0.2.9|ok"));
  EXPECT_NE(std::string::npos, trail.find("a3|revoke-secret|" + id + "||g3|192.0.2.9|ok"));
  for (const std::string& secret : {sid, admin_, wide, q.sid, joinToken})
    EXPECT_EQ(std::string::npos, trail.find(secret));

  // Append-only: no change, no removal of a recent entry; the prune removes old ones only.
  EXPECT_FALSE(exec("UPDATE audit_log SET who = 'x'"));
  EXPECT_FALSE(exec("DELETE FROM audit_log"));
  EXPECT_EQ(trail, audit());
  flxops::AuditEntry old;
  old.at = 1000, old.who = "root", old.action = "old";
  ASSERT_EQ(0, flxops::Audit(old));
  int64_t removed = 0;
  ASSERT_EQ(0, flxops::PruneAudit(30, removed));
  EXPECT_EQ(1, removed);
  EXPECT_EQ(trail, audit());
}

}  // namespace

namespace {

int admin(const std::string& args, std::string* out = nullptr) {
  const std::string cmd = std::string("'") + FLX_ADMIN_BIN + "' " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    if (out != nullptr) out->append(buf, n);
  return pclose(p);
}

TEST_F(OperatorsTest, FlxAdminCommandsAreAuditedAsRootWithoutSessionIds) {
  const std::string sid = "secret-session-0123456789";
  EXPECT_EQ(0, admin("session add --sn SN-g3-0 --sid " + sid));
  EXPECT_EQ(0, admin("session remove " + sid));
  EXPECT_EQ(0, admin("device group SN-g3-0 g4"));
  EXPECT_NE(0, admin("group remove g4"));
  EXPECT_NE(0, admin("enroll add --group nope"));
  EXPECT_EQ(0, admin("operator add ops --role admin --group g4 --expires 2"));
  EXPECT_EQ(0, admin("group list"));
  EXPECT_EQ(0, admin("device remove SN-g3-1 --yes"));
  const std::string trail = audit();
  EXPECT_EQ(
      "root|session add||SN-g3-0|g3||ok\n"
      "root|session remove|||||ok\n"
      "root|device group|g4|SN-g3-0|g4||ok\n"
      "root|group remove|g4||||failed\n"
      "root|enroll add|--group=nope||||failed\n"
      "root|operator add|ops --role=admin --group=g4 --expires=2||||ok\n"
      "root|device remove|--yes=true|SN-g3-1|g3||ok",
      trail);
  // A refused operator leaves no token behind.
  for (const char* args :
       {"--role boss", "--role metrics --group g3", "--expires 36501", "--group g3 --group nope"})
    EXPECT_NE(0, admin(std::string("operator add refused ") + args)) << args;
  std::string list;
  ASSERT_EQ(0, admin("operator list", &list));
  EXPECT_EQ(std::string::npos, list.find("refused")) << list;
  std::string out;
  EXPECT_EQ(0, admin("audit --who root --device SN-g3-0", &out));
  EXPECT_EQ(3, std::count(out.begin(), out.end(), '\n')) << out;
}

// A registry from before groups and roles: init's migration adds the tables, and its
// operators read everything as viewers.
TEST_F(OperatorsTest, TokensFromBeforeTheUpgradeBecomeViewersOfEverything) {
  ASSERT_TRUE(exec(
      "DELETE FROM operators; DROP TABLE operator_groups; DROP TABLE operator_access;"
      "DROP TABLE device_groups; DROP TABLE fleet_groups; DROP TABLE audit_log;"
      "DROP TABLE audit_policy; DROP TABLE audit_counters; DROP TABLE device_groups_generation;"
      "PRAGMA user_version = 4"));
  ASSERT_TRUE(exec("PRAGMA wal_checkpoint(TRUNCATE)"));  // init looks at the file alone
  const std::string legacy = flxread::newToken();
  ASSERT_TRUE(exec("INSERT INTO operators(name, token_hash, created) VALUES('legacy', '" +
                   flxread::tokenHash(legacy) + "', 1)"));
  // A token that had an expiry before the upgrade keeps it.
  const std::string lapsed = flxread::newToken();
  ASSERT_TRUE(exec("INSERT INTO operators(name, token_hash, created) VALUES('lapsed', '" +
                   flxread::tokenHash(lapsed) +
                   "', 1); INSERT INTO operator_tokens(name, expiry) VALUES('lapsed', 2)"));
  std::string out;
  EXPECT_NE(0, admin("operator list", &out)) << "an older schema is refused until init";
  ASSERT_EQ(0, admin("init", &out)) << out;
  out.clear();
  ASSERT_EQ(0, admin("operator list", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("legacy               viewer   (all)")) << out;
  EXPECT_EQ(std::to_string(KEVOFLXSchemaVersion()), query("PRAGMA user_version", registryDb()));
  ASSERT_EQ(0, call("method=list", legacy));
  EXPECT_EQ(kGroups * kPerGroup, answer_["data"]["total"].asInt());
  EXPECT_EQ(105, call("method=audit", legacy, "KEVO.FLX.Manage")) << "a viewer acts on nothing";
  EXPECT_EQ(105, call("method=list", lapsed));
}

}  // namespace
