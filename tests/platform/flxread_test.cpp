// The read views over a prepared root: three devices with every kind of row.
#include <time.h>
#include <unistd.h>

#include <tuple>
#include <vector>

#include <sqlite3.h>

#include "flx.h"
#include "flxread.h"
#include "kevoroot.h"
#include "platform/flxhistory/include/flxhistory_schema.h"
#include "product.h"
#include "support/root_fixture.h"

namespace {

using flxread::kBadArgument;
using flxread::kNotFound;
using flxread::kOk;

class FleetTest : public flxtest::RootTest {
 protected:
  FleetTest() {
    now_ = time(nullptr);
    // a: fresh, a 95 % volume; b: a failing hot disk, package 1.10; c: silent for a day.
    a_ = addDevice("SN-A", "media-vault");
    b_ = addDevice("SN-B", "office");
    c_ = addDevice("SN-C", "branch");
    // Rows of devices 1 to 3 (a to c); "@" stands for now.
    for (std::string sql :
         {"INSERT INTO vol_info(name, size_total, size_used, mtime, qx_id) VALUES "
          "('v1', 100, 95, @, 1), ('v2', 100, 10, @, 1), ('v1', 0, 0, @, 2), "
          "('v1', 200, 20, @ - 86400, 3)",
          "INSERT INTO hdd_info(dev, status, smart_status, temp, mtime, qx_id) VALUES "
          "('sda', 'Good', 'Normal', 35, @, 1), ('sda', 'good', 'abnormal', 61, @, 2), "
          "('sdb', 'warning', 'normal', 40, @, 2), ('sdc', '', '', 30, @, 2)"}) {
      for (size_t at; (at = sql.find('@')) != std::string::npos;) {
        sql.replace(at, 1, std::to_string(now_));
      }
      query(sql);
    }
    addPkg(a_, "Media", "2.9");
    addPkg(b_, "Media", "1.10");
    addPkg(c_, "Media", "1.9.2");
    KEVOFLX_APP app;
    app.qx_id = a_;
    app.app_id = "Files";
    EXPECT_EQ(0, KEVOFLXAppSet(&app));
    // Last contacts: a and b now (b's push carried an old collect time), c a day ago.
    EXPECT_EQ(0, KEVOFLXContactNote("SN-A", now_, now_));
    EXPECT_EQ(0, KEVOFLXContactNote("SN-B", now_, now_ - 7200));
    EXPECT_EQ(0, KEVOFLXContactNote("SN-C", now_ - 86400, 0));
  }

  static void addPkg(uint64_t qx, const char* pkg, const char* version) {
    KEVOFLX_PKG p;
    p.qx_id = qx, p.pkg_id = pkg, p.version = version;
    EXPECT_EQ(0, KEVOFLXPkgSet(&p));
  }
  static std::string serials(const Json::Value& rows) {
    std::string out;
    for (const Json::Value& r : rows) out += (out.empty() ? "" : " ") + r["sn"].asString();
    return out;
  }
  Json::Value list(const std::string& sort, bool desc = false, const std::string& filter = "",
                   flxread::Page page = {}) {
    flxread::ListQuery q;
    q.sort = sort;
    q.descending = desc;
    q.filter = filter;
    q.page = page;
    Json::Value out;
    std::string err;
    EXPECT_EQ(kOk, flxread::deviceList(q, out, err)) << err;
    return out;
  }

  int64_t now_;
  uint64_t a_, b_, c_;
};

TEST_F(FleetTest, DeviceListSummarisesEachDevice) {
  const Json::Value out = list("sn");
  ASSERT_EQ(3u, out["devices"].size());
  const char* const summary[] = {"vol_count",     "vol_max_use", "disk_count", "disk_failing",
                                 "disk_max_temp", "app_count",   "pkg_count"};
  // Status words compare without case; bad SMART or bad status fail, blank is unknown; an empty
  // volume has no use.
  const char* const want[] = {"2|95.0|1|0|35|1|1", "1||3|2|61|0|1"};
  for (int i = 0; i < 2; ++i) {
    std::string got;
    for (const char* key : summary) got += "|" + out["devices"][i]["summary"][key].asString();
    EXPECT_EQ(want[i], got.substr(1)) << i;
  }
  // Liveness: the arrival, the collect time it carried, and stale by the agent's interval.
  std::string live;
  for (const Json::Value& d : out["devices"])
    live +=
        (live.empty() ? "" : " ") + std::to_string(d["last_contact"].asInt64() - now_) + "|" +
        (d["last_collect"].isNull() ? "-" : std::to_string(d["last_collect"].asInt64() - now_)) +
        "|" + d["push_interval"].asString() + "|" + (d["stale"].asBool() ? "stale" : "ok");
  EXPECT_EQ("0|0|300|ok 0|-7200|300|ok -86400|-|300|stale", live);

  // Mirror files or row times a device sends never count as contact.
  writeFile(mirrorDir(c_) + "/kevoinfo.conf", "x");
  EXPECT_TRUE(list("sn")["devices"][2]["stale"].asBool());
}

TEST_F(FleetTest, DeviceListSortsFiltersAndPages) {
  const std::tuple<const char*, bool, const char*> cases[] = {
      {"hostname", false, "SN-C SN-A SN-B"},
      {"vol_max_use", true, "SN-A SN-C SN-B"},
      {"disk_failing", true, "SN-B SN-C SN-A"},
      {"last_contact", false, "SN-C SN-A SN-B"},
      {"disk_max_temp", false, "SN-C SN-A SN-B"},
      // Equal values: by serial number, and a descending sort is the exact reverse.
      {"status", false, "SN-A SN-B SN-C"},
      {"status", true, "SN-C SN-B SN-A"},
  };
  for (const auto& [sort, desc, order] : cases)
    EXPECT_EQ(order, serials(list(sort, desc)["devices"])) << sort;

  EXPECT_EQ("SN-A", serials(list("sn", false, "VAULT")["devices"]));
  query("UPDATE devices SET hostname = 'store-100' WHERE sn = 'SN-A'", path(KEVO_REGISTRY_DB_PATH));
  query("UPDATE devices SET hostname = 'Store-12' WHERE sn = 'SN-B'", path(KEVO_REGISTRY_DB_PATH));
  query("UPDATE devices SET hostname = 'store-9' WHERE sn = 'SN-C'", path(KEVO_REGISTRY_DB_PATH));
  EXPECT_EQ("SN-C SN-B SN-A", serials(list("hostname")["devices"])) << "names sort naturally";
  EXPECT_EQ("", serials(list("sn", false, "%")["devices"])) << "wildcards are literal";
  // A text found anywhere in the serial number, host name or model: ASCII letters in any case,
  // other characters exactly.
  query("UPDATE devices SET model_name = '\u00dcn\u00efcode-aaab' WHERE sn = 'SN-B'",
        path(KEVO_REGISTRY_DB_PATH));
  const std::pair<const char*, const char*> filters[] = {
      {"sn-", "SN-A SN-B SN-C"}, {"-c", "SN-C"},        {"ORE-1", "SN-A SN-B"}, {"aab", "SN-B"},
      {"\u00dcn\u00ef", "SN-B"}, {"\u00fcN\u00cf", ""}, {"store-9x", ""},       {"_", ""}};
  for (const auto& [filter, want] : filters)
    EXPECT_EQ(want, serials(list("sn", false, filter)["devices"])) << filter;

  const Json::Value page = list("sn", false, "", {1, 1});
  EXPECT_EQ("SN-B|3", serials(page["devices"]) + "|" + page["total"].asString());
  EXPECT_EQ(3, list("sn", false, "", {1, 7})["total"].asInt()) << "past the end: still the total";
  flxread::ListQuery q;
  Json::Value out;
  std::string err;
  for (flxread::Page bad : {flxread::Page{flxread::kMaxPage + 1, 0}, flxread::Page{10, -1}}) {
    q.page = bad;
    EXPECT_EQ(kBadArgument, flxread::deviceList(q, out, err));
  }
  q = flxread::ListQuery();
  q.sort = "sn; DROP TABLE devices";
  EXPECT_EQ(kBadArgument, flxread::deviceList(q, out, err));
}

TEST_F(FleetTest, FleetQueriesAnswerTheOperatorsQuestions) {
  flxread::Page page;
  Json::Value out;
  std::string err;
  ASSERT_EQ(kOk, flxread::volumesOver(90, page, out, err));
  EXPECT_EQ("SN-A", serials(out["volumes"]));
  flxread::DiskQuery failing;
  failing.failingOnly = true;
  ASSERT_EQ(kOk, flxread::disksWhere(failing, page, out, err));
  EXPECT_EQ("SN-B SN-B", serials(out["disks"]));
  flxread::DiskQuery hot;
  hot.hasMinTemp = true;
  hot.minTemp = 40;
  hot.status = "good";
  ASSERT_EQ(kOk, flxread::disksWhere(hot, page, out, err));
  EXPECT_EQ(1u, out["disks"].size());
  EXPECT_EQ(61, out["disks"][0]["temp"].asInt());

  const char* pkgs[][3] = {{"", "", "SN-A SN-B SN-C"},
                           {"lt", "2.0", "SN-B SN-C"},
                           {"gt", "1.9.10", "SN-A SN-B"},
                           {"eq", "1.10.0", ""},
                           {"ge", "2.9", "SN-A"}};
  for (const auto& [op, version, devices] : pkgs) {
    ASSERT_EQ(kOk, flxread::devicesWithPackage("Media", op, version, page, out, err));
    EXPECT_EQ(devices, serials(out["devices"])) << op << " " << version;
  }
  EXPECT_EQ(kBadArgument, flxread::devicesWithPackage("Media", "like", "1", page, out, err));
  ASSERT_EQ(kOk, flxread::devicesWithApp("Files", "", "", page, out, err));
  EXPECT_EQ("SN-A", serials(out["devices"]));
  ASSERT_EQ(kOk, flxread::staleDevices(3600, now_, page, out, err));
  EXPECT_EQ("SN-C", serials(out["devices"]));
  EXPECT_EQ(1, out["total"].asInt());
  ASSERT_EQ(kOk, flxread::staleDevices(0, now_ + 901, page, out, err));
  EXPECT_EQ("SN-C SN-A SN-B", serials(out["devices"])) << "three agent intervals passed";
}

// Versions order as Debian's do: never as numbers, nor as plain text.
TEST(VersionCompare, DebianRules) {
  const std::tuple<const char*, const char*, int> cases[] = {
      // dotted
      {"2.10", "2.9", 1},
      {"1.0", "1.0.0", -1},
      {"007", "7", 0},
      {"1.2.3", "1.2.3", 0},
      {"10.0.1", "9.99.99", 1},
      // letters: they sort before the next part's digits end, after an end of text
      {"1.a", "1.b", -1},
      {"1.0a", "1.0", 1},
      {"1.0a", "1.0.1", -1},
      {"2.0-beta", "2.0.1", -1},
      // Debian-style: revisions, tildes before anything, epochs above all
      {"5.1-96", "5.1-100", -1},
      {"1.0~rc1", "1.0", -1},
      {"1.0~~", "1.0~", -1},
      {"1.0-1", "1.0-1+deb12u1", -1},
      {"1:0.9", "2.0", 1},
      {"0:1.5", "1.5", 0},
      {"2:1.0", "1:9.9", 1},
      {"4.19.0-25-amd64", "4.19.0-9-amd64", 1}};
  for (const auto& [a, b, want] : cases) {
    EXPECT_EQ(want, flxread::compareVersions(a, b)) << a << " vs " << b;
    EXPECT_EQ(-want, flxread::compareVersions(b, a)) << b << " vs " << a;
  }
}

// The fleet's software on a planted fleet: counts per version, the newest, the devices behind.
TEST_F(FleetTest, SoftwareCountsEachVersion) {
  // Without the history's counts (its writer never ran here) they come from the registry.
  unlink(path(KEVO_HISTORY_DB_PATH).c_str());
  addPkg(a_, "libz", "1:1.2.13");
  addPkg(b_, "libz", "1.3");
  addPkg(c_, "libz", "1:1.2.13");
  addPkg(c_, "Tools", "0.9~rc1");
  KEVOFLX_APP app;
  app.qx_id = b_, app.app_id = "Files", app.version = "2.10", app.name[0] = "File Station";
  EXPECT_EQ(0, KEVOFLXAppSet(&app));
  Json::Value out;
  std::string err;
  flxread::Page page;
  ASSERT_EQ(kOk, flxread::software({}, page, out, err)) << err;
  auto summary = [](const Json::Value& items) {
    std::string s;
    for (const Json::Value& it : items) {
      s += (s.empty() ? "" : " | ") + it["kind"].asString() + " " + it["name"].asString() + ":";
      for (const Json::Value& v : it["versions"])
        s += " " + v["version"].asString() + "x" + v["devices"].asString();
      s += " newest " + it["newest"].asString() + " of " + it["devices"].asString() + ", " +
           it["behind"].asString() + " behind";
    }
    return s;
  };
  EXPECT_EQ(
      "application File Station: 2.10x1 x1 newest 2.10 of 2, 1 behind"
      " | package libz: 1:1.2.13x2 1.3x1 newest 1:1.2.13 of 3, 1 behind"
      " | package Media: 2.9x1 1.10x1 1.9.2x1 newest 2.9 of 3, 2 behind"
      " | package Tools: 0.9~rc1x1 newest 0.9~rc1 of 1, 0 behind",
      summary(out["items"]));
  EXPECT_EQ(4, out["total"].asInt());
  ASSERT_EQ(kOk, flxread::software({"MED", "package"}, page, out, err));
  EXPECT_EQ("Media0",
            out["items"][0]["name"].asString() + std::to_string(out["total"].asInt() - 1));
  ASSERT_EQ(kOk, flxread::software({"lib", "application"}, page, out, err));
  EXPECT_EQ(0, out["total"].asInt());

  // The devices of one, each with its version and whether it is behind.
  ASSERT_EQ(kOk, flxread::devicesWithPackage("libz", "lt", "1:1.2.13", page, out, err));
  EXPECT_EQ("SN-B", serials(out["devices"]));
  EXPECT_TRUE(out["devices"][0]["behind"].asBool());
  ASSERT_EQ(kOk, flxread::devicesWithApp("Files", "", "", page, out, err));
  EXPECT_EQ("SN-A SN-B|true false", serials(out["devices"]) + "|" +
                                        out["devices"][0]["behind"].asString() + " " +
                                        out["devices"][1]["behind"].asString());
}

TEST_F(FleetTest, IconsComeOnlyFromTheDevicesMirror) {
  const std::string dir = mirrorDir(a_) + "/apps/Files";
  writeFile(dir + "/icon.png", "PNG-small");
  writeFile(dir + "/icon_256.png", "PNG-large");
  writeFile(mirrorDir(b_) + "/apps/Other/icon.png", "not a's");
  std::string png, err;
  int64_t mtime = 0;
  ASSERT_EQ(kOk, flxread::appIcon("SN-A", "Files", "", png, mtime, err)) << err;
  EXPECT_EQ("PNG-small", png);
  ASSERT_EQ(kOk, flxread::appIcon("SN-A", "Files", "icon_256", png, mtime, err));
  EXPECT_EQ("PNG-large", png);
  EXPECT_EQ(kNotFound, flxread::appIcon("SN-A", "Files", "icon_512", png, mtime, err));
  EXPECT_EQ(kNotFound, flxread::appIcon("SN-A", "Other", "", png, mtime, err))
      << "an application that the device does not have";
  EXPECT_EQ(kBadArgument, flxread::appIcon("SN-A", "..", "", png, mtime, err));
  EXPECT_EQ(kBadArgument, flxread::appIcon("SN-A", "Files", "../../x", png, mtime, err));
  unlink((dir + "/icon.png").c_str());
  unlink((dir + "/icon_256.png").c_str());
  ASSERT_EQ(0,
            symlink((mirrorDir(b_) + "/apps/Other/icon.png").c_str(), (dir + "/icon.png").c_str()));
  EXPECT_EQ(kNotFound, flxread::appIcon("SN-A", "Files", "", png, mtime, err))
      << "a symbolic link is not followed";
}

// The reader keeps one connection: a store renamed away is noticed, not read on. The host's
// workers have dropped ids and a saved root: the root-only stores open again in a forked
// child with root's ids, and stay readable when the saved root is gone too.
TEST_F(FleetTest, OneConnectionOpenedWithRootIds) {
  const std::string cache = cacheDbPath();
  flxread::ListQuery q;
  Json::Value out;
  std::string err;
  ASSERT_EQ(kOk, flxread::deviceList(q, out, err)) << err;
  ASSERT_EQ(0, rename(cache.c_str(), (cache + ".away").c_str()));
  EXPECT_EQ(flxread::kStoreFailed, flxread::deviceList(q, out, err));
  ASSERT_EQ(0, rename((cache + ".away").c_str(), cache.c_str()));
  ASSERT_EQ(kOk, flxread::deviceList(q, out, err)) << err;  // open: the child must not use it

  flxtest::AsServerUser(false, [&] {
    ASSERT_EQ(kOk, flxread::deviceList(q, out, err)) << err;
    EXPECT_EQ(3, out["total"].asInt());
    uid_t r, e, s;
    ASSERT_EQ(0, getresuid(&r, &e, &s));
    EXPECT_EQ((std::vector<unsigned>{1024, 1024, 0}), (std::vector<unsigned>{r, e, s}));
    ASSERT_EQ(0, setresuid(1024, 1024, 1024));
    ASSERT_EQ(kOk, flxread::deviceShow("SN-B", out, err)) << err;
    EXPECT_EQ(3u, out["cache"]["hdd_info"].size());
  });
}

TEST_F(FleetTest, OnlyOperatorTokensOpenTheInventory) {
  const std::string token = flxread::newToken();
  EXPECT_GE(token.size(), 32u);
  ASSERT_EQ(0, KEVOFLXOperatorCreate("ops", flxread::tokenHash(token)));
  std::string name;
  EXPECT_TRUE(flxread::operatorForToken(token, name));
  EXPECT_EQ("ops", name);
  EXPECT_FALSE(flxread::operatorForToken(addSession("SN-A"), name)) << "a push session";
  EXPECT_FALSE(flxread::operatorForToken(flxread::tokenHash(token), name)) << "the stored hash";
  ASSERT_EQ(0, KEVOFLXOperatorDelete("ops"));
  EXPECT_FALSE(flxread::operatorForToken(token, name));
}

// The history as its writer leaves it, planted row by row: events, samples, summary rows.
class HistoryTest : public FleetTest {
 protected:
  HistoryTest() : today_(now_ / 86400) {}

  std::string historyPath() const { return path(KEVO_HISTORY_DB_PATH); }
  // Runs `sql` on the history database, made with its tables first; "@" stands for today.
  void plant(std::string sql) const {
    for (size_t at; (at = sql.find('@')) != std::string::npos;)
      sql.replace(at, 1, std::to_string(today_));
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(historyPath().c_str(), &db));
    char* msg = nullptr;
    const int rc = sqlite3_exec(db, (std::string(flxhistory::kSchemaSql) + sql).c_str(), nullptr,
                                nullptr, &msg);
    EXPECT_EQ(SQLITE_OK, rc) << (msg != nullptr ? msg : "") << " in " << sql;
    sqlite3_free(msg);
    sqlite3_close(db);
  }
  Json::Value events(const flxread::HistoryQuery& q, flxread::Page page = {}) {
    Json::Value out;
    std::string err;
    EXPECT_EQ(kOk, flxread::history(q, page, out, err)) << err;
    return out;
  }
  static std::string changes(const Json::Value& out) {
    std::string s;
    for (const Json::Value& e : out["events"])
      s += (s.empty() ? "" : " ") + e["sn"].asString() + ":" + e["object"].asString();
    return s;
  }

  int64_t today_;
};

// A device the writer summarised is listed and sorted from its summary row; the others are
// computed until it does. The history database may come, go or be unreadable meanwhile.
TEST_F(HistoryTest, ListReadsSummaryRowsWhereTheWriterLeftThem) {
  EXPECT_EQ("SN-A SN-C SN-B", serials(list("vol_max_use", true)["devices"]));
  plant(
      "INSERT INTO summary(device_id, last_seen, vol_count, vol_max_use, vol_max_name, "
      "disk_count, disk_failing, disk_max_temp, app_count, pkg_count, fill_days, marks, "
      "push_interval) VALUES(2, 7, 4, 99.5, 'big', 3, 2, 61, 0, 1, 12.5, "
      "'[\"failing\",\"full\"]', 60)");
  const Json::Value out = list("vol_max_use", true);
  EXPECT_EQ("SN-B SN-A SN-C", serials(out["devices"]))
      << "a database that came after the first read";
  const Json::Value& b = out["devices"][0];
  EXPECT_EQ(60, b["push_interval"].asInt64()) << "the learnt interval";
  EXPECT_EQ("4|99.5|big|12.5|full",
            b["summary"]["vol_count"].asString() + "|" + b["summary"]["vol_max_use"].asString() +
                "|" + b["summary"]["vol_max_name"].asString() + "|" +
                b["summary"]["fill_days"].asString() + "|" + b["summary"]["marks"][1].asString());
  const Json::Value& a = out["devices"][1]["summary"];
  EXPECT_EQ("v1|0", a["vol_max_name"].asString() + "|" + std::to_string(a["marks"].size()))
      << "computed for a device without a summary row";
  // The counts follow the filter; marks are the summary's, stale the one definition's.
  auto counts = [this](const std::string& filter) {
    const Json::Value c = list("sn", false, filter)["counts"];
    return c["devices"].asString() + " " + c["failing"].asString() + c["full"].asString() +
           c["hot"].asString() + c["filling"].asString() + " " + c["stale"].asString();
  };
  EXPECT_EQ("3 1100 1", counts("")) << "C's last push was a day ago";
  EXPECT_EQ("1 1100 0", counts("office"));
  EXPECT_EQ("1 0000 0", counts("vault"));
  // Every device summarised: the page comes from the summary column's index, as sorted.
  plant(
      "INSERT INTO summary(device_id, last_seen, vol_max_use, marks) VALUES(1, 9, 50, '[]'),"
      " (3, 8, 10, '[\"hot\"]')");
  EXPECT_EQ("SN-B SN-A SN-C", serials(list("vol_max_use", true)["devices"]));
  const Json::Value second = list("vol_max_use", true, "", {1, 1});
  EXPECT_EQ("SN-A|3|1", serials(second["devices"]) + "|" + second["total"].asString() + "|" +
                            second["counts"]["hot"].asString());

  for (const char* bad : {"", "not a database at all, just text that is long enough to be read"}) {
    unlink(historyPath().c_str());
    unlink((historyPath() + "-wal").c_str());
    unlink((historyPath() + "-shm").c_str());
    if (*bad != '\0') writeFile(historyPath(), std::string(4096, 'x') + bad);
    EXPECT_EQ("SN-A SN-C SN-B", serials(list("vol_max_use", true)["devices"])) << "'" << bad << "'";
    EXPECT_EQ(0, events({})["total"].asInt()) << "an unreadable history is an empty one";
  }
}

TEST_F(HistoryTest, EventsNewestFirstByDeviceKindAndTime) {
  plant(
      "INSERT INTO events(device_id, kind, object, change, field, old_value, new_value, "
      "collect_time, arrival_time) VALUES"
      "(1, 'package', 'Media', 'removed', '', '', '', 90, 100),"
      "(1, 'disk', 'sda', 'changed', 'status', 'good', 'warning', 190, 200),"
      "(2, 'volume', 'v1', 'added', '', '', '', 150, 150),"
      "(1, 'share', 'pub', 'added', '', '', '', 300, 300),"
      "(9, 'disk', 'gone', 'removed', '', '', '', 400, 400)");
  flxread::HistoryQuery q;
  EXPECT_EQ("SN-A:pub SN-A:sda SN-B:v1 SN-A:Media", changes(events(q)))
      << "the fleet, without the device the registry no longer has";
  q.sn = "SN-A";
  const Json::Value page = events(q, {2, 1});
  EXPECT_EQ("SN-A:sda SN-A:Media|3", changes(page) + "|" + page["total"].asString());
  const Json::Value& disk = page["events"][0];
  EXPECT_EQ("disk changed status good warning 190",
            disk["kind"].asString() + " " + disk["change"].asString() + " " +
                disk["field"].asString() + " " + disk["old_value"].asString() + " " +
                disk["new_value"].asString() + " " + disk["collect_time"].asString());
  q.kind = "package";
  EXPECT_EQ("SN-A:Media", changes(events(q)));
  q.kind.clear();
  q.from = 150;
  q.to = 300;
  EXPECT_EQ("SN-A:sda", changes(events(q))) << "from included, to not";

  Json::Value out;
  std::string err;
  q.sn = "SN-404";
  EXPECT_EQ(kNotFound, flxread::history(q, {}, out, err));
  q.sn.clear();
  q.kind = "disk'; --";
  EXPECT_EQ(kBadArgument, flxread::history(q, {}, out, err));
}

// A volume that grows gets a trend to the day it fills; a flat one a trend without; one day
// is no trend. The fleet's filling volumes are those of devices the summary names.
TEST_F(HistoryTest, SeriesFitATrendAndTellWhenAVolumeFills) {
  std::string rows;
  for (int i = 0; i < 10; ++i) {
    const std::string day = "@ - " + std::to_string(9 - i);
    rows += std::string(rows.empty() ? "" : ",") + "(1, 'volume', 'v1', " + day + ", " +
            std::to_string(500 + 20 * i) + ", 1000)," + "(1, 'volume', 'v2', " + day +
            ", 100, 1000)," + "(2, 'volume', 'v1', " + day + ", " + std::to_string(10 * i) +
            ", 1000)";
  }
  plant("INSERT INTO samples(device_id, kind, object, day, used_last, total_last) VALUES" + rows +
        ", (1, 'volume', 'v3', @, 5, 10);"
        "INSERT INTO samples(device_id, kind, object, day, temp_max) VALUES"
        "(2, 'disk', 'sda', @ - 1, 58), (2, 'disk', 'sda', @, 61), (2, 'disk', 'sdb', @, 40);"
        "INSERT INTO summary(device_id, fill_days) VALUES(1, 16), (2, 90);");
  Json::Value out;
  std::string err;
  ASSERT_EQ(kOk, flxread::series("SN-A", "volume", "", today_ - 89, today_, today_, out, err))
      << err;
  ASSERT_EQ(3u, out["series"].size());
  const Json::Value& grows = out["series"][0];
  EXPECT_EQ(10u, grows["points"].size());
  EXPECT_EQ(680, grows["points"][9]["used_last"].asInt());
  EXPECT_DOUBLE_EQ(20, grows["trend"]["per_day"].asDouble());
  EXPECT_DOUBLE_EQ(static_cast<double>(today_ + 16), grows["trend"]["fill_day"].asDouble());
  EXPECT_DOUBLE_EQ(16, grows["trend"]["fill_days"].asDouble());
  EXPECT_TRUE(out["series"][1]["trend"]["fill_days"].isNull()) << "flat: never full";
  EXPECT_DOUBLE_EQ(0, out["series"][1]["trend"]["per_day"].asDouble());
  EXPECT_TRUE(out["series"][2]["trend"].isNull()) << "one day: no trend";

  ASSERT_EQ(kOk, flxread::series("SN-B", "disk", "sda", today_ - 89, today_, today_, out, err));
  ASSERT_EQ(1u, out["series"].size());
  EXPECT_EQ("58 61", out["series"][0]["points"][0]["temp_max"].asString() + " " +
                         out["series"][0]["points"][1]["temp_max"].asString());
  EXPECT_FALSE(out["series"][0].isMember("trend"));
  EXPECT_EQ(kNotFound, flxread::series("SN-404", "disk", "", 0, 1, 1, out, err));
  EXPECT_EQ(kBadArgument, flxread::series("SN-A", "share", "", 0, 1, 1, out, err));
  EXPECT_EQ(kBadArgument, flxread::series("SN-A", "disk", "", 0, 5000, 1, out, err));

  ASSERT_EQ(kOk, flxread::volumesFilling(30, today_, {}, out, err)) << err;
  ASSERT_EQ(1, out["total"].asInt());
  EXPECT_EQ("SN-A v1",
            out["volumes"][0]["sn"].asString() + " " + out["volumes"][0]["name"].asString());
  EXPECT_DOUBLE_EQ(16, out["volumes"][0]["fill_days"].asDouble());
  ASSERT_EQ(kOk, flxread::volumesFilling(120, today_, {}, out, err));
  EXPECT_EQ("SN-A SN-B", serials(out["volumes"])) << "soonest first";
}

}  // namespace

// /metrics at fleet scale: the whole fleet in a few series, per-device series only for the
// devices that need a look and of those only the volumes and disks in question.
TEST_F(HistoryTest, MetricsShowTheFleetAndTheMarkedDevices) {
  const std::string now = std::to_string(now_);
  plant("INSERT INTO summary(device_id, last_seen, marks, push_interval) VALUES(1, " + now +
        ", '[\"full\"]', 300), (2, " + now + ", '[\"failing\",\"hot\"]', 300), (3, " + now +
        ", '[]', 300)");
  ASSERT_EQ(0, KEVOFLXContactNote("SN-C", now_, 0)) << "C reports: nothing to look at";
  auto scrape = [] {
    std::string text;
    flxproduct::ProductMetrics(text, [&text](std::string& piece) {
      text += piece;  // kept whole for the checks
      piece.clear();
    });
    return text;
  };
  auto has = [](const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
  };
  std::string text = scrape();
  EXPECT_TRUE(has(text, "flx_devices_marked{mark=\"hot\"} 1")) << text;
  EXPECT_TRUE(has(text, "flx_fleet_volumes{use=\"95-100%\"} 1"));
  EXPECT_TRUE(has(text, "flx_fleet_volumes{use=\"unknown\"} 1"));
  EXPECT_TRUE(has(text, "flx_fleet_disks_failing{model=\"\"} 2"));
  EXPECT_TRUE(has(text, "sn=\"SN-A\",hostname=\"media-vault\",group=\"\",volume=\"v1\""));
  EXPECT_FALSE(has(text, "volume=\"v2\"")) << "a volume at 10 % of a full device";
  EXPECT_TRUE(has(text, "sn=\"SN-B\",hostname=\"office\",group=\"\",disk=\"sdb\""));
  EXPECT_FALSE(has(text, "disk=\"sdc\"")) << "a cool, good disk of a failing device";
  EXPECT_FALSE(has(text, "sn=\"SN-C\"")) << "a device with no mark that reports";
  flxproduct::SetMetricsAllDevices(true);
  text = scrape();
  flxproduct::SetMetricsAllDevices(false);
  EXPECT_TRUE(has(text, "sn=\"SN-C\",hostname=\"branch\",group=\"\",volume=\"v1\""));
  EXPECT_TRUE(has(text, "disk=\"sdc\""));
}
