// The agent's collectors on small machine trees made in each test, odd and broken ones too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "agent.h"
#include "kevocore.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

namespace fs = std::filesystem;
using flxagent::Context;
using flxtest::fields;

// A pushed file's content, or the text of a base64 string.
std::string Decode(const Json::Value& v) {
  const std::string text = v.isObject() ? v["data"].asString() : v.asString();
  std::vector<unsigned char> out(text.size() + 1);
  int length = static_cast<int>(out.size());
  if (KVLIBBase64Decode(text.c_str(), static_cast<int>(text.size()), out.data(), &length) < 0) {
    return "(not base64)";
  }
  return std::string(out.begin(), out.begin() + length);
}

// A PNG file's first bytes, enough to tell its width.
std::string Png(int width) {
  std::string png = "\x89PNG\r\n\x1a\n";
  png += std::string("\0\0\0\x0dIHDR", 8);
  for (int shift : {24, 16, 8, 0}) png.push_back(static_cast<char>((width >> shift) & 0xff));
  return png + std::string(13, '\0') + std::to_string(width);
}

class AgentTest : public flxtest::RootTest {
 protected:
  AgentTest() { ctx_.root = root(); }

  void put(const std::string& abs, const std::string& content) { writeFile(path(abs), content); }
  void dir(const std::string& abs) { fs::create_directories(path(abs)); }
  // Copies the machine tree tests/tools/fixtures/machines/<name> into the root.
  void tree(const std::string& name) {
    fs::copy(std::string(FLX_SOURCE_DIR) + "/tests/tools/fixtures/machines/" + name, root(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }

  // Runs one collector; fails the test when it drops its item.
  Json::Value collect(flxagent::CollectFn fn) {
    Json::Value data;
    std::string why;
    EXPECT_TRUE(fn(ctx_, data, why)) << why;
    return data;
  }

  Context ctx_;
};

TEST_F(AgentTest, BasicIdentityAndNetwork) {
  // No /proc/sys/kernel/hostname: /etc/hostname is used. A bridge's address comes first in
  // the trie; the default route names eth0's subnet; eth0 may wake the machine, eth1 not.
  tree("basic");
  dir("/sys/class/net/docker0");
  const Json::Value b = collect(flxagent::CollectBasic);
  EXPECT_EQ("store-7|ubuntu 22.04-220400|12345|192.168.1.20",
            fields(b, {"hostname", "version", "up_time", "ip"}));
  EXPECT_EQ(32u, b["unique"].asString().size());
  EXPECT_EQ(std::string::npos, b["unique"].asString().find("0123456789abcdef"));
  // eth0 and eth1 (docker0 has no device); only eth0 may wake the machine.
  EXPECT_EQ(flxtest::parse("[true, false]"), b["wol"]);
  EXPECT_EQ(readFile(path("/etc/os-release")), Decode(b["kevoinfo"]));

  const Json::Value info = collect(flxagent::CollectInfo);
  EXPECT_EQ(
      "2|Test CPU|2097152|1700000000|10.0.0.53|192.168.1.1",
      fields(info, {"cpu_cores", "cpu_model", "mem_total", "boot_time", "dns_server", "gateway"}));
}

TEST(AgentVersion, BuildNumbersOrderReleases) {
  const std::pair<const char*, int32_t> cases[] = {
      {"12", 120000}, {"22.04", 220400}, {"3.19.1", 31901}, {"100.5", 990500},
      {"", 0},        {"rolling", 0},    {"7.x", 70000}};
  for (const auto& [versionId, build] : cases) {
    EXPECT_EQ(build, flxagent::BuildNumber(versionId)) << versionId;
  }
  // The host splits the text at its first space and first '-': neither may be inside a part.
  EXPECT_EQ("my_os 1.2.3-10203", flxagent::VersionText("ID=\"my os\"\nVERSION_ID=1.2-3\n"));
  EXPECT_EQ("linux 0-0", flxagent::VersionText("garbage"));
}

// A broken fact family drops its own item only, and says why.
TEST_F(AgentTest, FailingCollectorDropsOnlyItsItem) {
  put("/proc/cpuinfo", "processor : 0\n");
  put("/proc/mounts", "");
  std::ostringstream err;
  const Json::Value batch = flxagent::CollectBatch(ctx_, {}, 42, err);
  std::vector<std::string> kinds;
  for (const Json::Value& item : batch) kinds.push_back(item["module_name"].asString());
  EXPECT_EQ((std::vector<std::string>{"info", "storage", "share", "applications"}), kinds);
  EXPECT_NE(std::string::npos,
            err.str().find("basic/basic not collected: no readable /etc/os-release"));
  EXPECT_NE(std::string::npos, err.str().find("basic/package not collected: cannot read dpkg"));
  EXPECT_EQ(42u, batch[0]["collect_time"].asUInt64());
}

TEST_F(AgentTest, StorageFromMountsMdAndSysfs) {
  // sda1 is mounted twice (a bind mount), md0 is a degraded mirror, sde a card reader
  // without a card; tmpfs, loop and fuse mounts are no volumes.
  tree("storage");
  for (const char* d : {"/srv", "/mnt/my disk", "/sys/block/sda/sda1/holders",
                        "/sys/block/sdb/sdb1/holders/md0", "/sys/block/md0/holders"})
    dir(d);
  const Json::Value s = collect(flxagent::CollectStorage);

  ASSERT_EQ(3u, s["vol"].size()) << s.toStyledString();
  EXPECT_EQ("/|single", fields(s["vol"][0], {"id", "raid_type"}));
  EXPECT_EQ("/srv|read-only|raid1|/dev/md0",
            fields(s["vol"][1], {"id", "status", "raid_type", "pool_path"}));
  EXPECT_EQ("/mnt/my disk", s["vol"][2]["id"].asString());
  ASSERT_EQ(1u, s["dg"].size());  // mounted: all of it used
  EXPECT_EQ("degraded|1024000|1024000", fields(s["dg"][0], {"status", "size_total", "size_used"}));
  ASSERT_EQ(3u, s["hdd"].size()) << s["hdd"].toStyledString();
  EXPECT_EQ("nvme0n1|nvme|41", fields(s["hdd"][0], {"id", "bus", "temp"}));
  EXPECT_EQ("sda|Fast SSD|ssd|/|1024000",
            fields(s["hdd"][1], {"id", "model", "disk_type", "used_by", "size_total"}));
  EXPECT_EQ("md0|hdd|", fields(s["hdd"][2], {"used_by", "disk_type", "smart_status"}))
      << "no SMART reading: blank, which the inventory shows as unknown, not as failing";
}

TEST_F(AgentTest, SharesFromSambaAndNfs) {
  tree("shares");
  const Json::Value shares = collect(flxagent::CollectShares)["share"];
  ASSERT_EQ(4u, shares.size()) << shares.toStyledString();
  EXPECT_EQ("Public|For everyone|/srv|0", fields(shares[0], {"name", "desc", "vol_id", "hidden"}));
  EXPECT_EQ("Hidden|/|1", fields(shares[1], {"name", "vol_id", "hidden"}));
  EXPECT_EQ("/srv/nfs", shares[2]["name"].asString());
  EXPECT_NE(std::string::npos, shares[2]["desc"].asString().find("10.0.1.0/24(ro)"));
  EXPECT_EQ("/srv/with space", shares[3]["name"].asString());
}

TEST_F(AgentTest, ApplicationsWithNamesIconsAndOwners) {
  tree("applications");  // hidden, link and broken entries, and an icon outside the root
  for (int size : {16, 48, 256, 512}) {
    const std::string s = std::to_string(size);
    put("/usr/share/icons/hicolor/" + s + "x" + s + "/apps/editor.png", Png(size));
  }
  const Json::Value apps = collect(flxagent::CollectApplications)["applications"];
  ASSERT_EQ(2u, apps.size()) << apps.toStyledString();
  const Json::Value& e = apps[0];
  EXPECT_EQ("editor|1.2-3|edit-pkg",
            fields(e, {"id", "version"}) + "|" + fields(e["extra"], {"package"}));
  EXPECT_EQ(flxtest::parse(R"({"enu": "Editor", "ger": "Bearbeiter", "ptb": "Editor BR"})"),
            e["name"]);
  EXPECT_EQ(Png(48), Decode(e["icon"]));
  EXPECT_EQ(Png(256).size(), e["icon_256_size"].asUInt64());
  EXPECT_EQ(Png(256), Decode(e["icon_256"]));
  EXPECT_FALSE(apps[1].isMember("icon"));
}

TEST_F(AgentTest, PackagesFromDpkgStatus) {
  tree("packages");
  Json::Value p = collect(flxagent::CollectPackages);
  EXPECT_EQ(120000, p["qxm_build"].asInt());
  EXPECT_EQ("", Decode(p["packagelimit"]));
  ASSERT_EQ(3u, p["packages"].size()) << p.toStyledString();
  EXPECT_EQ("libc6|stop|libc6:i386",
            fields(p["packages"][0], {"id", "status"}) + "|" + p["packages"][1]["id"].asString());
  EXPECT_EQ(
      "package=\"libc6\"\nversion=\"2.36-9\"\ndisplayname=\"GNU C Library:  shared \"\n"
      "maintainer=\"GNU Libc Maintainers <x@example.org>\"\narch=\"amd64\"\n",
      Decode(p["packages"][0]["info"]));
  const std::string tool = Decode(p["packages"][2]["info"]);
  EXPECT_NE(std::string::npos, tool.find("report_url=\"https://bugs.example.org/tool\""));
  EXPECT_NE(std::string::npos, tool.find("displayname=\"tool\""));

  ctx_.packagePatterns = {"too*", "nothing"};
  p = collect(flxagent::CollectPackages);
  ASSERT_EQ(1u, p["packages"].size());
  EXPECT_EQ("tool", p["packages"][0]["id"].asString());
}

TEST_F(AgentTest, IntervalStatePushesOnlyWhatChanged) {
  const auto item = [](const char* module, int upTime, const char* value) {
    Json::Value i = flxtest::parse(R"({"group_name": "basic", "data": {"vol": [{}]}})");
    i["module_name"] = module;
    i["collect_time"] = i["data"]["up_time"] = upTime;
    i["data"]["v"] = value;
    i["data"]["vol"][0]["size_total"] = 100000;
    i["data"]["vol"][0]["size_used"] = upTime * 10;  // below 1% of the size apart
    return i;
  };
  Json::Value first(Json::arrayValue);
  first.append(item("basic", 10, "a"));
  first.append(item("info", 10, "b"));
  flxagent::PushState state;
  EXPECT_EQ(2u, state.changed(first, "http://h", 1000).size());
  state.record(first, "http://h", 1000);
  const std::string file = path("/state.json");
  ASSERT_TRUE(state.save(file));
  flxagent::PushState loaded;
  ASSERT_TRUE(loaded.load(file));

  Json::Value next(Json::arrayValue);
  next.append(item("basic", 99, "a"));  // only the up time and a little use moved
  next.append(item("info", 99, "c"));
  Json::Value changed = loaded.changed(next, "http://h", 2000);
  ASSERT_EQ(1u, changed.size());
  EXPECT_EQ("info", changed[0]["module_name"].asString());
  EXPECT_EQ(2u, loaded.changed(next, "http://other", 2000).size());
  next[0]["data"]["vol"][0]["size_used"] = 5000;
  EXPECT_EQ(2u, loaded.changed(next, "http://h", 2000).size());
  EXPECT_EQ(2u, loaded.changed(next, "http://h", 1000 + flxagent::kRepushSeconds).size());

  put("/state.json", "{\"url\": 5");
  EXPECT_FALSE(loaded.load(file));
  EXPECT_TRUE(loaded.items.empty());
}

// Recorded outputs of the tools, in tests/tools/fixtures.
std::string Fixture(const std::string& name) {
  return flxagent::ReadText(std::string(FLX_SOURCE_DIR) + "/tests/tools/fixtures/" + name);
}

// smartctl's reports of healthy, failing and unsupported disks, SATA and NVMe, and of disks
// it could not open; each row's exit status is the one the report carries.
TEST(AgentTools, SmartctlReportsReadAsStatusTemperatureOrReason) {
  const struct {
    const char* file;
    const char* want;  // status|temp
    const char* why;   // in the reason, for a blank status
  } rows[] = {
      {"sata_healthy.json", "normal|34", ""},
      {"sata_failing.json", "abnormal|41", ""},
      {"sata_unsupported.json", "|0", "A mandatory SMART command failed"},
      {"nvme_healthy.json", "normal|38", ""},
      {"nvme_failing.json", "abnormal|45", ""},
      {"nvme_unsupported.json", "|0", "NVMe Status 0x4002"},
      // Not root: the device does not open, though the report would pass nothing else.
      {"open_denied.json", "|0", "Permission denied"},
      {"virtio_no_type.json", "|0", "Unable to detect device type"},  // a virtio disk
      // A prefail attribute at its threshold now fails the disk, whatever the health check.
      {"prefail_at_threshold.json", "abnormal|0", ""},
      {"odd_types.json", "|0", "no health status"},
      {"not_json.txt", "|0", "no JSON report"},
  };
  for (const auto& row : rows) {
    const std::string json = Fixture(std::string("smartctl/") + row.file);
    ASSERT_FALSE(json.empty()) << row.file;
    Json::Value report;
    flxagent::ParseJson(json, report);
    const int exitStatus = report.isObject() && report["smartctl"].isObject()
                               ? report["smartctl"]["exit_status"].asInt()
                               : 1;
    const flxagent::SmartReading r = flxagent::ParseSmartctl(json, exitStatus);
    EXPECT_EQ(row.want, r.status + "|" + std::to_string(r.temp)) << row.file;
    EXPECT_NE(std::string::npos, r.why.find(row.why)) << r.why;
    EXPECT_EQ(r.status.empty(), !r.why.empty()) << r.why;
  }
}

// The collectors ask the tools through the context: recorded answers stand in for them.
TEST_F(AgentTest, DisksCarrySmartctlsReadingAndServicesMakePackagesRun) {
  std::vector<std::string> calls;
  ctx_.tools = [&](const std::vector<std::string>& argv, std::string& out, int& status) {
    std::string line;
    for (const std::string& a : argv) line += (line.empty() ? "" : " ") + a;
    calls.push_back(line);
    const std::map<std::string, std::string> answers = {
        {"/dev/sda", "smartctl/sata_healthy.json"},
        {"/dev/sdb", "smartctl/sata_failing.json"},
        {"/dev/nvme0n1", "smartctl/nvme_unsupported.json"},
        {"*.service", "systemctl-show.txt"}};
    auto it = answers.find(argv.back());
    if (it == answers.end()) return false;
    out = Fixture(it->second);
    Json::Value report;
    status = flxagent::ParseJson(out, report) ? report["smartctl"]["exit_status"].asInt() : 0;
    return true;
  };
  tree("services");
  const Json::Value hdd = collect(flxagent::CollectStorage)["hdd"];
  ASSERT_EQ(3u, hdd.size()) << hdd.toStyledString();
  EXPECT_EQ("nvme0n1||36", fields(hdd[0], {"id", "smart_status", "temp"})) << "the sensor's";
  EXPECT_EQ("sda|normal|34", fields(hdd[1], {"id", "smart_status", "temp"}));
  EXPECT_EQ("sdb|abnormal|41", fields(hdd[2], {"id", "smart_status", "temp"}));
  EXPECT_EQ("smartctl --json -H -A /dev/nvme0n1", calls.at(1));
  EXPECT_NE(std::find(ctx_.notes.begin(), ctx_.notes.end(),
                      "SMART status of nvme0n1 skipped: Read NVMe SMART/Health Information "
                      "failed: NVMe Status 0x4002"),
            ctx_.notes.end());

  // Active services make their packages run: by the unit file systemctl names, or where dpkg
  // lists the unit under the other of /lib and /usr/lib. Failed, inactive, transient and
  // local units make nothing run.
  std::string states;
  const Json::Value packages = collect(flxagent::CollectPackages);
  for (const Json::Value& p : packages["packages"]) states += fields(p, {"id", "status"}) + " ";
  EXPECT_EQ("openssh-server|running cron|running nginx-common|stop rsync|stop ifupdown|running ",
            states);
  EXPECT_EQ("systemctl show --no-pager --property=Id,ActiveState,FragmentPath -- *.service",
            calls.back());
}

// One real call where the machine has smartctl, root and a disk: each disk gets a reading or
// a blank status with smartctl's reason, never an error.
TEST(AgentTools, RealSmartctlCallReadsOrSkipsCleanly) {
  if (geteuid() != 0 || !flxagent::HaveTool("smartctl")) GTEST_SKIP() << "needs root and smartctl";
  flxagent::Context live;
  int calls = 0;
  live.tools = [&](const std::vector<std::string>& argv, std::string& out, int& status) {
    if (argv[0] != "smartctl") return false;
    ++calls;
    return flxagent::RunTool(argv, out, status);
  };
  Json::Value data;
  std::string why;
  ASSERT_TRUE(flxagent::CollectStorage(live, data, why)) << why;
  if (calls == 0) GTEST_SKIP() << "no disk here";
  for (const Json::Value& hdd : data["hdd"]) {
    const std::string status = hdd["smart_status"].asString();
    EXPECT_TRUE(status == "normal" || status == "abnormal" || status.empty()) << status;
    if (!status.empty()) continue;
    const std::string prefix = "SMART status of " + hdd["id"].asString() + " skipped: ";
    auto note = std::find_if(live.notes.begin(), live.notes.end(),
                             [&](const std::string& n) { return n.rfind(prefix, 0) == 0; });
    ASSERT_NE(live.notes.end(), note) << "a disk without a reading has a note that says why";
    EXPECT_EQ(std::string::npos, note->find("no JSON report")) << *note;
    std::cout << "  " << *note << "\n";
  }
}

// The state file is written beside and renamed over: a link at its name is replaced, not
// written through, and so is a link planted at the temporary name.
TEST_F(AgentTest, IntervalStateIsWrittenWithoutFollowingLinks) {
  flxagent::PushState state;
  state.url = "http://h";
  state.items["basic/basic"] = {"hash", 1000};
  const std::string file = path("/state/state.json");
  const std::string victim = writeFile(path("/victim"), "precious\n");
  const std::string planted = writeFile(path("/planted"), "also precious\n");
  fs::create_directories(path("/state"));
  fs::create_symlink(victim, file);
  fs::create_symlink(planted, path("/state/.state.json." + std::to_string(getpid()) + ".tmp"));
  ASSERT_TRUE(state.save(file));
  EXPECT_EQ("precious\n", readFile(victim));
  EXPECT_EQ("also precious\n", readFile(planted));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
  EXPECT_EQ(0600u, flxtest::modeOf(file));
  EXPECT_EQ(1u, std::distance(fs::directory_iterator(path("/state")), fs::directory_iterator()))
      << "nothing left beside it";
  flxagent::PushState loaded;
  ASSERT_TRUE(loaded.load(file));
  EXPECT_EQ(1000, loaded.items["basic/basic"].second);
}

}  // namespace
