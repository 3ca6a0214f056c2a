#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <tuple>

#include "flx.h"
#include "handlers/cache_handler.h"
#include "handlers/cache_handler_app.h"
#include "kevocore.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8) + "icon-bytes";

using flxtest::parse;

class AppHandlerTest : public flxtest::RootTest {
 protected:
  AppHandlerTest() : id_(addDevice("SN1")) {}

  // The device's registry applications by application id.
  std::map<std::string, KEVOFLX_APP> apps() const {
    std::map<std::string, KEVOFLX_APP> out;
    for (const auto& a : flxtest::recordsOf(id_, KEVOFLXAppList, KEVOFLXAppListFree)) {
      out[a.app_id] = a;
    }
    return out;
  }
  std::string appIds() const {
    std::string ids;
    for (const auto& kv : apps()) ids += kv.first + ",";
    return ids;
  }
  int push(const char* applications) {
    Json::Value data(Json::objectValue);
    data["applications"] = parse(applications);
    return appCacheUpdate("SN1", 0, data);
  }
  static Json::Value withIcon(const std::string& id, const std::string& bytes, int64_t mtime) {
    Json::Value a(Json::objectValue);
    a["id"] = id;
    a["icon"] = flxtest::base64(bytes);
    a["icon_mtime"] = static_cast<Json::Int64>(mtime);
    a["icon_size"] = static_cast<Json::Int64>(bytes.size());
    return a;
  }
  std::string iconPath(const std::string& id) const {
    return mirrorDir(id_) + "/apps/" + id + "/icon.png";
  }
  static ino_t inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }

  uint64_t id_;
};

TEST_F(AppHandlerTest, RegistryHoldsExactlyThePushedList) {
  ASSERT_EQ(0, push(R"([{"id": "Keep"}, {"id": "keep"}, {"id": "gone"}])"));
  ASSERT_EQ(0, push(R"([{"id": "Keep"}, {"name": {"enu": "keep"}}, "keep",
                        {"id": "new", "version": "1"}, {"id": "new", "version": "2"}])"));
  EXPECT_EQ("Keep,new,", appIds());
  EXPECT_EQ("2", apps()["new"].version);

  // Without a list every application goes; a list that is not an array is said so.
  for (const char* data : {R"({})", R"({"applications": []})", R"({"applications": "x"})"}) {
    ASSERT_EQ(0, push(R"([{"id": "a"}])"));
    ASSERT_EQ(0, appCacheUpdate("SN1", 0, parse(data)));
    EXPECT_EQ("", appIds()) << data;
  }
  EXPECT_EQ(1, flxtest::LogCount("is not an array")) << flxtest::LogDump();
  // An object cannot be walked as the list: the item fails and nothing is deleted.
  ASSERT_EQ(0, push(R"([{"id": "a"}])"));
  EXPECT_EQ(-1, appCacheUpdate("SN1", 0, parse(R"({"applications": {"id": "b"}})")));
  EXPECT_EQ("a,", appIds());
  EXPECT_EQ(1, flxtest::LogCount("is an object")) << flxtest::LogDump();
}

TEST_F(AppHandlerTest, StoresNamesDetailsAndExtraOnlyAsObject) {
  ASSERT_EQ(0, push(R"([
      {"id": "a", "name": {"enu": "Mail", "cht": "Mail", "chs": "mail", "csy": "Posta"},
       "version": "1.2", "icon_mtime": 1700000000, "protocol": "https", "port": 5001,
       "url": "/a/", "windowParam": "w=1", "is_package": 1, "extra": {"k": "v"}},
      {"id": "b", "name": {"ger": "Post", "fre": ""}, "extra": "text", "port": "80"},
      {"id": "c"}])"));
  auto stored = apps();
  auto name = [&stored](const char* id, const char* code) {
    for (int i = 0; i < KEVOFLX_APP_LOCALE_COUNT; ++i) {
      if (std::string(kKevoFlxAppLocales[i]) == code) return stored[id].name[i];
    }
    return std::string("?");
  };
  // Names equal to the default are left empty; the comparison is case-sensitive.
  EXPECT_EQ("Mail||mail|Posta", name("a", "enu") + "|" + name("a", "cht") + "|" + name("a", "chs") +
                                    "|" + name("a", "csy"));
  EXPECT_EQ("|Post|", name("b", "enu") + "|" + name("b", "ger") + "|" + name("b", "fre"));
  EXPECT_EQ("c", name("c", "enu"));

  const KEVOFLX_APP& a = stored["a"];
  EXPECT_EQ("1.2|https|/a/|w=1|1700000000|5001|1",
            a.version + "|" + a.protocol + "|" + a.url + "|" + a.window_param + "|" +
                std::to_string(a.icon_mtime) + "|" + std::to_string(a.port) + "|" +
                std::to_string(a.is_package));
  EXPECT_EQ(parse(R"({"k": "v"})"), parse(a.extra));
  EXPECT_EQ("|0", stored["b"].extra + "|" + std::to_string(stored["b"].port));
}

TEST_F(AppHandlerTest, IconRewrittenOnlyWhenTimeOrSizeDiffer) {
  // Icon id, content, whether the time is pushed, what is added to the pushed size, rewritten.
  const std::tuple<const char*, std::string, bool, int, bool> cases[] = {
      {"same", kPng, true, 0, false},
      {"size-differs", kPng, true, 1, true},
      {"no-time", kPng, false, 0, true},
      {"stub-of-3-bytes", "abc", true, 0, true},
  };
  for (const auto& [id, bytes, withMtime, sizeDelta, rewritten] : cases) {
    SCOPED_TRACE(id);
    Json::Value a = withIcon(id, bytes, 1600000000);
    a["icon_size"] = static_cast<Json::Int64>(bytes.size()) + sizeDelta;
    if (!withMtime) a.removeMember("icon_mtime");
    ASSERT_EQ(0, update_app_icon("icon", id_, a));
    ino_t before = inode(iconPath(id));
    ASSERT_EQ(0, update_app_icon("icon", id_, a));
    // Every write goes through a new temporary file, so a rewrite shows as a new inode.
    EXPECT_EQ(rewritten, inode(iconPath(id)) != before);
    EXPECT_EQ(bytes, readFile(iconPath(id)));
  }

  // Content that is not text fails like bad base64 and leaves the icon alone.
  for (const char* icon : {R"("not*base64")", "123", "true"}) {
    Json::Value bad = parse(R"({"id": "same", "icon_mtime": 1})");
    bad["icon"] = parse(icon);
    EXPECT_EQ(-1, update_app_icon("icon", id_, bad)) << icon;
    EXPECT_EQ(kPng, readFile(iconPath("same")));
  }
  EXPECT_EQ(3, flxtest::LogCount("cache_handler_app:126 fail to decode")) << flxtest::LogDump();
}

TEST_F(AppHandlerTest, HostileIdsGetNoIconFilesButCountAsPushed) {
  Json::Value data(Json::objectValue);
  for (const char* id : {"../x", "a/b", "", "..", "."}) {
    Json::Value a = withIcon(id, kPng, 10);
    a["icon_256"] = a["icon"];
    data["applications"].append(a);
    EXPECT_EQ(-1, update_app_icon("icon", id_, a)) << id;
  }
  ASSERT_EQ(0, appCacheUpdate("SN1", 0, data));
  EXPECT_EQ(5, flxtest::LogCount("no icon files for application id")) << flxtest::LogDump();
  for (const auto& e : std::filesystem::recursive_directory_iterator(root())) {
    EXPECT_NE(".png", e.path().extension()) << e.path();
  }
  EXPECT_NE("", appIds());
}

}  // namespace
