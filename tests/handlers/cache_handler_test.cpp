#include "handlers/cache_handler.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "flx.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"

namespace {
int g_nullQxListFrees = 0;
}  // namespace

// Counts the frees of device lists whose head is null, then frees as the library does.
void KEVOFLXQxListFree(KEVOFLX_QX** ppList) {
  using Fn = void (*)(KEVOFLX_QX**);
  static Fn real =
      reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_Z17KEVOFLXQxListFreePP17_tag_kevo_flx_qx_"));
  if (ppList != nullptr && *ppList == nullptr) ++g_nullQxListFrees;
  real(ppList);
}

namespace {

using Texts = std::vector<std::string>;

class ListFreeTest : public flxtest::RootTest {};

// Every handler that lists devices frees the list also when no device matched.
TEST_F(ListFreeTest, DeviceListIsFreedEvenWhenEmpty) {
  for (const CACHE_HANDLER handler : {basicCacheUpdate, appCacheUpdate, packageCacheUpdate,
                                      storageCacheUpdate, shareCacheUpdate}) {
    g_nullQxListFrees = 0;
    handler("SN-UNKNOWN", 1, Json::Value(Json::objectValue));
    EXPECT_EQ(1, g_nullQxListFrees);
  }
}

TEST(DispatchTest, PairsMatchExactlyAndOnlyObjectsReachAHandler) {
  const std::tuple<const char*, const char*, Json::Value, int, Texts> cases[] = {
      {"storage", "basic", Json::arrayValue, 0, {}},
      {"basic", "Basic", Json::arrayValue, 0, {}},
      {"storage", "sample", Json::arrayValue, 0, {}},
      {"basic", "info", Json::nullValue, -1, {"cache_handler:23 [info] data is incorrect"}},
  };
  for (const auto& [group, module, data, result, logged] : cases) {
    SCOPED_TRACE(std::string(group) + "/" + module);
    flxtest::ClearLog();
    EXPECT_EQ(result, updateCache(group, module, "SN1", 5, data));
    EXPECT_EQ(logged, flxtest::LogTexts());
  }
}

class FileWriterTest : public flxtest::RootTest {
 protected:
  struct stat statOf() const {
    struct stat st {};
    EXPECT_EQ(0, stat(file_.c_str(), &st));
    return st;
  }
  const std::string file_ = path("/mirror.conf");
};

const char kHello[] = "aGVsbG8gd29ybGQK";  // "hello world\n", 12 bytes
const char kHi[] = "aGkK";                 // "hi\n", 3 bytes

TEST_F(FileWriterTest, CreatesRewritesAndLeavesUnchangedFilesAlone) {
  EXPECT_EQ(2, update_file_from_base64(file_.c_str(), kHello, 12, 1600000000));
  EXPECT_EQ("hello world\n", readFile(file_));
  struct stat before = statOf();
  EXPECT_EQ(1600000000, before.st_mtime);

  // Same size and seconds: not opened, not even decoded (this text is no base64).
  EXPECT_EQ(0, update_file_from_base64(file_.c_str(), "not base64!", 12, 1600000000));
  struct stat after = statOf();
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_ctim.tv_nsec, after.st_ctim.tv_nsec);

  // A shorter content truncates; another time alone also rewrites.
  EXPECT_EQ(1, update_file_from_base64(file_.c_str(), kHi, 3, 1600000000));
  EXPECT_EQ("hi\n", readFile(file_));
  EXPECT_EQ(1, update_file_from_base64(file_.c_str(), kHi, 3, 1700000000));
  EXPECT_EQ(1700000000, statOf().st_mtime);
}

}  // namespace
