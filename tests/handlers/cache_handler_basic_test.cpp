#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "common/json_util.h"
#include "flx.h"
#include "handlers/cache_handler.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {
const char kUserVar[] = "KEVO_WEBAPI_USERNAME";
std::vector<std::string> g_userAtChmod;  // the variable at each chmod of a kevoinfo.conf
}  // namespace

// Records what the acting-user variable holds while the handler sets the new file's mode.
extern "C" int fchmod(int fd, mode_t mode) noexcept {
  using Fn = int (*)(int, mode_t);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fchmod"));
  char target[4096] = {0};
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
  const char kName[] = "/kevoinfo.conf";
  if (n >= static_cast<ssize_t>(sizeof(kName) - 1) &&
      strcmp(target + n - (sizeof(kName) - 1), kName) == 0) {
    const char* value = getenv(kUserVar);
    g_userAtChmod.push_back(value != nullptr ? value : "<unset>");
  }
  return real(fd, mode);
}

namespace {

class BasicHandlerTest : public flxtest::RootTest {
 protected:
  BasicHandlerTest() : id_(addDevice("SN1")) {}
  ~BasicHandlerTest() override { unsetenv(kUserVar); }

  static Json::Value payload(const std::string& version, const std::string& hostname = "host1") {
    Json::Value p = flxtest::parse(R"({"model_name": "M-100", "ip": "10.0.0.5", "unique": "u-1",
        "wol": [], "up_time": 3600, "smallfixnum": 4, "gluster_role": 2})");
    p["version"] = version;
    p["hostname"] = hostname;
    return p;
  }
  KEVOFLX_QX device() const {
    KEVOFLX_QX rec;
    EXPECT_GE(KEVOFLXQxGetBySN("SN1", &rec), 0);
    return rec;
  }
  Json::Value extra() const { return flxtest::parse(device().extra); }
  void setExtra(const char* text) {
    KEVOFLX_QX rec = device();
    rec.extra = text;
    ASSERT_GE(KEVOFLXQxSet(&rec), 0);
  }
  std::string confPath() const { return mirrorDir(id_) + "/kevoinfo.conf"; }

  uint64_t id_;
};

TEST_F(BasicHandlerTest, DerivesProductVersionAndBuildNumber) {
  // Pushed version and product version (null: none), the product version and build stored.
  const std::tuple<const char*, Json::Value, const char*, int64_t> cases[] = {
      {"NAME 6.2.3-321", Json::Value(), "6.2.3", 321},
      {"6.2-100", Json::Value(), "6.2-100", 100},
      {"NAME 7.0-42 extra", Json::Value(), "7.0", 42},
      {"a-7 b", Json::Value(), "b", 7},  // the dash before the space: to the end
      {"NAME 7.0-4200", Json::Value("7.0.1"), "7.0.1", 4200},
      {"NAME 7.0-4200", Json::Value(7), "7.0", 4200},        // not a string: derived
      {"x-99999999999", Json::Value(), "x-99999999999", 0},  // does not fit 32 bits
  };
  for (const auto& [version, productVersion, product, build] : cases) {
    SCOPED_TRACE(version);
    Json::Value p = payload(version);
    if (!productVersion.isNull()) p["product_version"] = productVersion;
    ASSERT_EQ(0, basicCacheUpdate("SN1", 0, p));
    EXPECT_EQ(product, extra()["product_version"].asString());
    EXPECT_EQ(build, device().build_number);
  }
}

TEST_F(BasicHandlerTest, StoresIdentityStatusAndWakeOnLan) {
  Json::Value p = payload("NAME 6.2-1");
  // The flag is set by any true element and otherwise keeps its value.
  for (auto wol : {std::make_pair(false, 0), {true, 1}, {false, 1}}) {
    p["wol"] = Json::Value(Json::arrayValue);
    p["wol"].append(false);
    p["wol"].append(wol.first);
    ASSERT_EQ(0, basicCacheUpdate("SN1", 77, p));
    KEVOFLX_QX rec = device();
    EXPECT_EQ("M-100|host1|NAME 6.2-1|2", rec.model_name + "|" + rec.hostname + "|" + rec.version +
                                              "|" + std::to_string(rec.cluster_role));
    EXPECT_EQ(wol.second, rec.wol);
  }
}

TEST_F(BasicHandlerTest, ExtraInformationKeepsOtherMembers) {
  setExtra(R"({"keep": "me", "ip": "old", "gluster_id": "g0"})");
  Json::Value p = payload("NAME 6.2-1");
  p["wol"].append(true);
  ASSERT_EQ(0, basicCacheUpdate("SN1", 0, p));
  EXPECT_EQ("me|10.0.0.5|u-1|g0", flxtest::fields(extra(), {"keep", "ip", "unique", "gluster_id"}));
  EXPECT_EQ(p["wol"], extra()["wol"]);

  p["gluster_id"] = "g1";
  p["ip"] = 5;  // numbers become their text; an object, empty text
  p["unique"] = Json::Value(Json::objectValue);
  ASSERT_EQ(0, basicCacheUpdate("SN1", 0, p));
  EXPECT_EQ("g1|5|", flxtest::fields(extra(), {"gluster_id", "ip", "unique"}));

  for (const char* old : {"not json {", "[1,2]", "17"}) {  // start from an empty object
    setExtra(old);
    ASSERT_EQ(0, basicCacheUpdate("SN1", 0, payload("NAME 6.2-1")));
    EXPECT_EQ((std::vector<std::string>{"ip", "product_version", "unique", "wol"}),
              extra().getMemberNames())
        << old;
  }
}

TEST_F(BasicHandlerTest, ActingUserIsTheDeviceDuringTheUpdateAndRestoredAfter) {
  const char* cases[][3] = {
      // the variable before (nullptr: unset), host name, during
      {"admin", "host1", "[host1]"},
      {nullptr, "host2", "[host2]"},
      {"", "host3", "[host3]"},
      {"admin", "", "admin"},  // no host name: no change
  };
  for (const auto& [before, hostname, during] : cases) {
    SCOPED_TRACE(hostname);
    before != nullptr ? setenv(kUserVar, before, 1) : unsetenv(kUserVar);
    g_userAtChmod.clear();
    unlink(confPath().c_str());  // a created file gets its mode set: observed there
    Json::Value p = payload("NAME 6.2-1", hostname);
    p["kevoinfo"] = flxtest::pushedFile("a=1\n", 1000);
    ASSERT_EQ(0, basicCacheUpdate("SN1", 0, p));
    ASSERT_EQ(1u, g_userAtChmod.size());
    EXPECT_EQ(during, g_userAtChmod[0]);
    const char* after = getenv(kUserVar);
    bool wasSet = before != nullptr && before[0] != '\0';
    EXPECT_EQ(wasSet ? before : "<unset>", std::string(after != nullptr ? after : "<unset>"));
  }
}

TEST_F(BasicHandlerTest, MirrorFailuresKeepTheRegistryUpdate) {
  // No file pushed: only the file step is skipped; the folder is made all the same.
  ASSERT_EQ(0, basicCacheUpdate("SN1", 0, payload("NAME 6.2-1")));
  EXPECT_EQ(1, flxtest::LogCount("no kevoinfo file")) << flxtest::LogDump();
  EXPECT_EQ("M-100", device().model_name);
  EXPECT_EQ(0755u, flxtest::modeOf(mirrorDir(id_)));
  EXPECT_FALSE(std::filesystem::exists(mirrorDir(id_) + "/kevoinfo.conf"));

  Json::Value p = payload("NAME 7.1-2");
  p["kevoinfo"]["data"] = "***";  // not base64: the mirror write fails, the record is stored
  ASSERT_EQ(0, basicCacheUpdate("SN1", 0, p));
  EXPECT_EQ("NAME 7.1-2", device().version);
}

}  // namespace
