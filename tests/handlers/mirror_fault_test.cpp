// Faults in the mirror folders: links planted where the module writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "flx.h"
#include "handlers/cache_handler.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace fs = std::filesystem;

namespace {

using flxtest::pushedFile;

Json::Value basicItem(const std::string& conf) {
  Json::Value data(Json::objectValue);
  data["version"] = "X 1.0-1";
  data["kevoinfo"] = pushedFile(conf);
  return data;
}

Json::Value packageItem(const std::string& info) {
  Json::Value pkg(Json::objectValue);
  pkg["id"] = "p";
  pkg["info"] = pushedFile(info);
  pkg["conf"]["PKG_DEPS"] = pushedFile("[" + info + "]\n");
  Json::Value data(Json::objectValue);
  data["qxm_build"] = 1;
  data["packagelimit"] = pushedFile(info);
  data["packages"].append(pkg);
  return data;
}

Json::Value appItem(const std::string& icon) {
  Json::Value app = pushedFile(icon);
  app["id"] = "a";
  app["icon"] = app["data"];
  app["icon_mtime"] = app["mtime"];
  app["icon_size"] = app["size"];
  Json::Value data(Json::objectValue);
  data["applications"].append(app);
  return data;
}

class MirrorFaultTest : public flxtest::RootTest {
 protected:
  // Every entry below `dir` (links not followed): its kind and mode, a file's mtime and content.
  static std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
      struct stat st;
      lstat(e.path().c_str(), &st);
      std::string what = std::to_string(st.st_mode);
      // A folder's own time moves with any temporary file made and removed in it.
      if (!S_ISDIR(st.st_mode)) what += "|" + std::to_string(st.st_mtime);
      if (S_ISREG(st.st_mode)) what += "|" + readFile(e.path());
      out[e.path().string()] = what;
    }
    return out;
  }
  MirrorFaultTest() : id_(addDevice("SN1")), mirror_(mirrorDir(id_)), outside_(path("/outside")) {
    fs::create_directories(outside_ + "/dir");
    for (const char* f : {"/file", "/dir/INFO", "/dir/kevopackageslimit.conf", "/dir/PKG_DEPS",
                          "/dir/icon.png", "/dir/kevoinfo.conf"}) {
      writeFile(outside_ + f, "[outside]\ndisplayname=outside\n");
      chmod((outside_ + f).c_str(), 0600);
    }
  }

  uint64_t id_;
  std::string mirror_;
  std::string outside_;
};

// A link planted at each place the module writes is refused: nothing outside the mirror
// changes, and the log names the link.
TEST_F(MirrorFaultTest, LinksPlantedInTheMirrorAreNeverFollowed) {
  const struct {
    const char* link;    // below the mirror folder
    const char* target;  // below the outside folder
    int (*handler)(const std::string&, uint64_t, const Json::Value&);
    Json::Value (*item)(const std::string&);
    const char* logged;
  } cases[] = {
      {"", "/dir", basicCacheUpdate, basicItem, "symbolic link"},
      {"/kevoinfo.conf", "/file", basicCacheUpdate, basicItem, "symbolic link"},
      {"/pkgs", "/dir", packageCacheUpdate, packageItem, "symbolic link"},
      {"/pkgs/kevopackageslimit.conf", "/file", packageCacheUpdate, packageItem, "symbolic link"},
      {"/pkgs/p", "/dir", packageCacheUpdate, packageItem, "symbolic link"},
      {"/pkgs/p/INFO", "/file", packageCacheUpdate, packageItem, "symbolic link"},
      {"/pkgs/p/conf", "/dir", packageCacheUpdate, packageItem, "symbolic link"},
      {"/pkgs/p/conf/PKG_DEPS", "/file", packageCacheUpdate, packageItem, "symbolic link"},
      {"/apps/a", "/dir", appCacheUpdate, appItem, "symbolic link"},
      {"/apps/a/icon.png.tmp", "/file", appCacheUpdate, appItem, "Too many levels"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    fs::remove_all(mirror_);
    fs::create_directories(mirror_);
    // A first push stores what a device had; the link then replaces one of its places.
    ASSERT_GE(c.handler("SN1", 1, c.item("old")), 0) << flxtest::LogDump();
    const std::string link = mirror_ + c.link;
    fs::remove_all(link);
    fs::create_directories(fs::path(link).parent_path());
    fs::create_symlink(outside_ + c.target, link);
    const auto before = snapshot(outside_);
    const auto storedBefore = snapshot(mirror_);
    flxtest::ClearLog();

    c.handler("SN1", 2, c.item("new content"));
    EXPECT_EQ(before, snapshot(outside_));
    EXPECT_TRUE(fs::is_symlink(link));
    for (const auto& entry : storedBefore) {  // what was stored before is intact
      if (entry.first.compare(0, link.size(), link) == 0) continue;
      if (fs::is_regular_file(entry.first) && readFile(entry.first) != "new content") {
        EXPECT_EQ(entry.second, snapshot(mirror_)[entry.first]) << entry.first;
      }
    }
    EXPECT_GE(flxtest::LogCount(c.logged), 1) << flxtest::LogDump();
    KEVOFLX_PKG rec;
    if (KEVOFLXPkgGetBy(id_, "p", &rec) >= 0) {  // nothing was read through the link either
      EXPECT_EQ(std::string::npos, (rec.display_name + rec.dependencies).find("outside"));
    }
  }
}

// Stale removal does not enter a linked package folder.
TEST_F(MirrorFaultTest, StaleRemovalDoesNotFollowALinkedPackageFolder) {
  KEVOFLX_PKG rec;
  rec.qx_id = id_;
  rec.pkg_id = "old";
  ASSERT_GE(KEVOFLXPkgSet(&rec), 0);
  fs::create_directories(mirror_ + "/pkgs");
  fs::create_symlink(outside_ + "/dir", mirror_ + "/pkgs/old");
  const auto before = snapshot(outside_);
  EXPECT_EQ(0, packageCacheUpdate("SN1", 1, packageItem("x")));
  EXPECT_EQ(before, snapshot(outside_));
  EXPECT_EQ(1, flxtest::LogCount("refused to pass the symbolic link " + mirror_ + "/pkgs/old"))
      << flxtest::LogDump();
  EXPECT_EQ(1,
            flxtest::LogCount("delete pkg cache, id: " + std::to_string(id_) + ", pkgname: old"));
}

}  // namespace
