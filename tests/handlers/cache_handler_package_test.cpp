// The package cache: mirror files, rule files, stale removal, package records and the handler.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/json_util.h"
#include "flx.h"
#include "handlers/cache_handler.h"
#include "handlers/cache_handler_package.h"
#include "kevoroot.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

using flxtest::LogCount;

namespace {

using flxtest::pushedFile;

Json::Value package(const std::string& id, const std::string& info,
                    const std::string& version = "1.0", const std::string& status = "running") {
  Json::Value pkg(Json::objectValue);
  pkg["id"] = id;
  pkg["info"] = pushedFile(info);
  pkg["version"] = version;
  pkg["status"] = status;
  return pkg;
}

Json::Value item(std::initializer_list<Json::Value> packages) {
  Json::Value data(Json::objectValue);
  data["qxm_build"] = 700;
  data["packagelimit"] = pushedFile("limit\n");
  data["packages"] = Json::Value(Json::arrayValue);
  for (const Json::Value& p : packages) data["packages"].append(p);
  return data;
}

int lang(const char* code) {
  for (int i = 0; i < KEVOFLX_PKG_LANG_COUNT; ++i) {
    if (std::string(kKevoFlxPkgLangs[i]) == code) return i;
  }
  return -1;
}

using std::filesystem::exists;

class PackageTest : public flxtest::RootTest {
 protected:
  PackageTest() {
    qx_ = addDevice("SN-PKG");
    writeFile(path(KEVO_HOST_CONF_PATH), "supplang=enu,ger\n");
  }

  std::string pkgs() const { return mirrorDir(qx_) + "/pkgs"; }
  std::string pkgDir(const std::string& id) const { return pkgs() + "/" + id; }

  // Stores a record directly, as an earlier push would have.
  void store(const std::string& id, void (*edit)(KEVOFLX_PKG&) = nullptr) {
    KEVOFLX_PKG rec;
    rec.qx_id = qx_;
    rec.pkg_id = id;
    if (edit != nullptr) edit(rec);
    ASSERT_GE(KEVOFLXPkgSet(&rec), 0);
  }

  std::set<std::string> storedIds() const {
    std::set<std::string> ids;
    for (const auto& p : flxtest::recordsOf(qx_, KEVOFLXPkgList, KEVOFLXPkgListFree)) {
      ids.insert(p.pkg_id);
    }
    return ids;
  }

  KEVOFLX_PKG update(const Json::Value& pkg, int32_t build = 700) {
    EXPECT_EQ(0, updatePackageRecord(qx_, pkg, build)) << flxtest::LogDump();
    KEVOFLX_PKG rec;
    EXPECT_GE(KEVOFLXPkgGetBy(qx_, pkg["id"].asCString(), &rec), 0);
    return rec;
  }

  uint64_t qx_ = 0;
};

TEST_F(PackageTest, RuleFileEvaluation) {
  // The rule file, the device's build, the sign of the result and the text it leaves.
  const std::tuple<const char*, int32_t, int, const char*> cases[] = {
      {"[A]\npkg_min_ver=1.0\npkg_max_ver=2.0\n[B]\n", 700, 1, "A>=1.0:A<=2.0:B"},
      {"[A]\nqxm_min_ver=5.0-700\n[B]\nqxm_max_ver=5.0-700\n", 700, 1, "A:B"},
      {"[A]\nqxm_max_ver=5.0-699\n", 700, 1, ""},
      {"[A]\nqxm_min_ver=5.0.600\nqxm_max_ver=5.2.800\n", 700, 1, "A"},
      {"[A]\nqxm_max_ver=latest\n", 700, 1, ""},
      {"[A]\nqxm_max_ver=latest\n", 0, 1, "A"},
      {"[A]\nqxm_min_ver=5.0-701\n[B]\npkg_min_ver=2\n[C]\n", 700, 1, "B>=2:C"},
      {"[D]\n[E]\n[D]\n", 700, 1, "D:E:D"},
      {"", 700, 0, "untouched"},
  };
  const std::string file = root() + "/PKG_DEPS";
  for (const auto& [rules, build, result, want] : cases) {
    SCOPED_TRACE(std::string(rules) + " @" + std::to_string(build));
    writeFile(file, rules);
    std::string text = "untouched";
    int rc = evalPackageRuleFile(file.c_str(), build, text);
    EXPECT_EQ(result, rc > 0 ? 1 : rc);
    EXPECT_EQ(want, text);
  }
}

TEST_F(PackageTest, ConfFilesOneByOne) {
  Json::Value pkg = package("pkgA", "x=1\n");
  EXPECT_EQ(0, mirrorPackageConfFiles(qx_, pkg));
  EXPECT_FALSE(exists(pkgDir("pkgA") + "/conf")) << "no folder without files";

  pkg["conf"]["a_bad"] = pushedFile("x");
  pkg["conf"]["a_bad"]["data"] = "!!not base64!!";
  pkg["conf"]["b_good"] = pushedFile("good\n");
  pkg["conf"]["c_nomtime"] = pushedFile("skipped\n");
  pkg["conf"]["c_nomtime"].removeMember("mtime");
  for (const std::string& name :
       {std::string(""), std::string(".."), std::string("../../INFO"), std::string("a\0b", 3)}) {
    pkg["conf"][name] = pushedFile("hostile\n");
  }
  EXPECT_EQ(0, mirrorPackageConfFiles(qx_, pkg));
  const std::string conf = pkgDir("pkgA") + "/conf";
  EXPECT_EQ("good\n", readFile(conf + "/b_good"));
  EXPECT_EQ(0644u, flxtest::modeOf(conf + "/b_good"));
  EXPECT_FALSE(exists(conf + "/c_nomtime"));
  EXPECT_FALSE(exists(pkgDir("pkgA") + "/INFO"));
  EXPECT_FALSE(exists(conf + "/a"));
  EXPECT_EQ(1, LogCount("fail to decode")) << flxtest::LogDump();
  EXPECT_EQ(1, LogCount("Failed [0 > iTmp]"));
  EXPECT_EQ(4, LogCount("not a file name"));

  pkg["conf"] = Json::Value(Json::objectValue);
  pkg["conf"]["e_other"] = pushedFile("e\n");
  EXPECT_EQ(0, mirrorPackageConfFiles(qx_, pkg));
  EXPECT_TRUE(exists(conf + "/b_good")) << "a file no longer pushed stays";
}

TEST_F(PackageTest, StaleRemovalMatchesIdsExactlyAndStaysInMirror) {
  for (const char* id : {"keep", "App", "noinfo", "../victim"}) store(id);
  const std::string victim = mirrorDir(qx_) + "/victim/INFO";
  writeFile(victim, "precious\n");
  writeFile(pkgDir("keep") + "/INFO", "x=1\n");
  writeFile(pkgDir("App") + "/INFO", "x=1\n");
  writeFile(pkgDir("App") + "/conf/PKG_DEPS", "[B]\n");

  EXPECT_EQ(0, removeStalePackages(item({package("app", ""), package("keep", "")}), qx_));
  EXPECT_EQ(std::set<std::string>{"keep"}, storedIds()) << "a missing INFO still deletes";
  EXPECT_TRUE(exists(pkgDir("keep") + "/INFO"));
  EXPECT_FALSE(exists(pkgDir("App") + "/INFO"));
  EXPECT_TRUE(exists(pkgDir("App") + "/conf/PKG_DEPS")) << "only INFO is removed";
  EXPECT_EQ("precious\n", readFile(victim)) << "a hostile id leaves files alone";
  EXPECT_EQ(1, LogCount("names no mirror folder")) << flxtest::LogDump();
  EXPECT_EQ(0, LogCount("delete pkg cache"));
}

TEST_F(PackageTest, DisplayNames) {
  // INFO, then the display name and the German one (absent or empty in INFO: the stored "alt").
  const char* cases[][3] = {
      {"x=1\n", "pkgA", "alt"},
      {"displayname_enu=English\n", "English", "alt"},
      {"displayname=Main\ndisplayname_enu=English\n", "Main", "alt"},
      {"displayname=Main\ndisplayname_ger=Main\n", "Main", ""},
      {"displayname_ger=Haupt\ndisplayname=Main\n", "Main", "Haupt"},
      {"displayname=Main\ndisplayname_fre=Principal\ndisplayname_ger=\n", "Main", "alt"},
  };
  for (const auto& [info, name, ger] : cases) {
    SCOPED_TRACE(info);
    store("pkgA", [](KEVOFLX_PKG& r) {
      r.display_names[lang("ger")] = r.display_names[lang("fre")] = "alt";
    });
    KEVOFLX_PKG rec = update(package("pkgA", info));
    EXPECT_EQ(name, rec.display_name);
    EXPECT_EQ(ger, rec.display_names[lang("ger")]);
    EXPECT_EQ("alt", rec.display_names[lang("fre")]) << "fre is not a host language";
  }
  writeFile(path(KEVO_HOST_CONF_PATH), "other=1\n");
  EXPECT_EQ("pkgB", update(package("pkgB", "displayname_enu=English\n")).display_name);
}

TEST_F(PackageTest, StatusAndVersion) {
  const std::pair<const char*, int32_t> codes[] = {{"broken", 1},        {"running", 2},
                                                   {"stop", 3},          {"Running", 4},
                                                   {"non_installed", 5}, {"version_limit", 6}};
  for (const auto& c : codes) {
    EXPECT_EQ(c.second, update(package("pkgA", "x=1\n", "1.0", c.first)).status) << c.first;
  }

  store("pkgB", [](KEVOFLX_PKG& r) {
    r.version = "1.0";
    r.version_bound_text = "bound";
    r.version_bound_number = 3;
    r.version_bound_stamp = 99;
  });
  auto bound = [](const KEVOFLX_PKG& r) {
    return r.version + "|" + r.version_bound_text + "|" + std::to_string(r.version_bound_number) +
           "|" + std::to_string(r.version_bound_stamp);
  };
  EXPECT_EQ("1.0|bound|3|99", bound(update(package("pkgB", "x=1\n", "1.0"))));
  EXPECT_EQ("1.0.1||0|0", bound(update(package("pkgB", "x=1\n", "1.0.1"))));
}

TEST_F(PackageTest, BadEntriesFailWithOneLine) {
  std::vector<Json::Value> cases;
  for (const std::string& id :
       {std::string(""), std::string("."), std::string(".."), std::string("a/b"),
        std::string("a\0b", 3), std::string("kevopackageslimit.conf")}) {
    cases.push_back(package(id, "x=1\n"));
  }
  for (const char* mistyped : {"id", "version", "status"}) {
    cases.push_back(package("pkgA", "x=1\n"));
    cases.back()[mistyped] = Json::Value(Json::objectValue);
  }
  for (const Json::Value& pkg : cases) {
    SCOPED_TRACE(pkg.toStyledString());
    flxtest::ClearLog();
    EXPECT_EQ(-1, updatePackageRecord(qx_, pkg, 700));
    EXPECT_EQ(1u, flxtest::LogLines().size()) << flxtest::LogDump();
  }
  EXPECT_EQ(-1, updatePackageRecord(qx_, package(std::string("a/\x01\n"), "x=1\n"), 700));
  EXPECT_EQ(1, LogCount("bad package id [a/\\x01\\n]")) << "control characters are escaped";
  EXPECT_TRUE(storedIds().empty());
  EXPECT_FALSE(exists(pkgs())) << "nothing is written for a bad entry";
  EXPECT_FALSE(exists(mirrorDir(qx_) + "/INFO"));
}

TEST_F(PackageTest, BuildNumberFollowsJsonConversions) {
  const std::pair<Json::Value, const char*> builds[] = {
      {Json::Value(), ""}, {Json::Value(true), "A"}, {Json::Value(700.9), "A:B"}};
  Json::Value pkg =
      package("pkgA", "install_dep_packages=FromInfo\ninstall_conflict_packages=Conx\n");
  pkg["conf"]["PKG_DEPS"] = pushedFile("[A]\nqxm_min_ver=5.0-1\n[B]\nqxm_min_ver=5.0-700\n");
  for (const auto& b : builds) {
    Json::Value data = item({pkg});
    data["qxm_build"] = b.first;
    EXPECT_EQ(0, packageCacheUpdate("SN-PKG", 1, data)) << flxtest::LogDump();
    KEVOFLX_PKG rec;
    ASSERT_GE(KEVOFLXPkgGetBy(qx_, "pkgA", &rec), 0);
    EXPECT_EQ(std::string(b.second) + "|Conx", rec.dependencies + "|" + rec.conflicts)
        << flx::toString(b.first);
  }
  pkg["conf"]["PKG_CONX"] = pushedFile("[B]\npkg_max_ver=2\n");
  EXPECT_EQ("B<=2", update(pkg).conflicts);
}

TEST_F(PackageTest, HandlerStopsAtFirstFailingPackage) {
  Json::Value noInfo = package("second", "x=1\n");
  noInfo.removeMember("info");
  Json::Value data = item({package("first", "x=1\n"), noInfo, package("third", "x=1\n")});
  EXPECT_EQ(-1, packageCacheUpdate("SN-PKG", 1, data));
  EXPECT_EQ(std::set<std::string>{"first"}, storedIds());
  EXPECT_FALSE(exists(pkgDir("third")));
  EXPECT_EQ("limit\n", readFile(pkgs() + "/kevopackageslimit.conf"));
}

TEST_F(PackageTest, HandlerFailsBadItemsAfterStaleRemoval) {
  const std::pair<const char*, Json::Value> changes[] = {
      {"qxm_build", Json::nullValue},  // removed
      {"packagelimit", Json::nullValue},   {"qxm_build", "700"},
      {"qxm_build", Json::Int64(1) << 40}, {"packages", Json::Value(Json::objectValue)},
  };
  for (const auto& change : changes) {
    Json::Value data = item({package("a", "x=1\n")});
    if (change.second.isNull()) {
      data.removeMember(change.first);
    } else {
      data[change.first] = change.second;
    }
    SCOPED_TRACE(data.toStyledString());
    store("old");
    EXPECT_EQ(-1, packageCacheUpdate("SN-PKG", 1, data));
    EXPECT_TRUE(storedIds().empty());
    EXPECT_FALSE(exists(pkgs() + "/kevopackageslimit.conf"));
  }
  EXPECT_EQ(-1, packageCacheUpdate("SN-NONE", 1, item({})));
  EXPECT_EQ(1, LogCount("fail to get qx SN-NONE"));
}

}  // namespace
