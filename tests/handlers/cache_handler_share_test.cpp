#include "handlers/cache_handler_share.h"

#include <string>

#include "handlers/cache_handler.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

using flxtest::parse;

class ShareTest : public flxtest::RootTest {
 protected:
  // Devices A and B, each with folders "old1" and "old2" pushed at time 100.
  ShareTest() : a_(addDevice("SN-A")), b_(addDevice("SN-B")) {
    const Json::Value old = parse(R"({"share":[{"name":"old1"},{"name":"old2"}]})");
    EXPECT_EQ(0, shareCacheUpdate("SN-A", 100, old));
    EXPECT_EQ(0, shareCacheUpdate("SN-B", 100, old));
    flxtest::ClearLog();
  }
  // "name|mtime" rows of one device.
  std::string rows(uint64_t qx) {
    return query("SELECT name, mtime FROM share_info WHERE qx_id = " + std::to_string(qx) +
                 " ORDER BY name");
  }
  const uint64_t a_;
  const uint64_t b_;
};

TEST_F(ShareTest, WritesEveryColumn) {
  ASSERT_EQ(0, shareCacheUpdate("SN-A", 1700000000, parse(R"({"share":[
      {"name":"Bob's", "desc":"it's", "vol_id":"volume_1", "hidden":1, "display_vol_name":"V 1"},
      {"name":"b", "hidden":true, "display_vol_name":7},
      {"name":"d", "hidden":-1}]})")));
  EXPECT_EQ("Bob's|it's|volume_1|1|1700000000|V 1\nb|||1|1700000000|\nd|||4294967295|1700000000|",
            query("SELECT name, description, vol_id, hidden, mtime, display_vol_name FROM "
                  "share_info WHERE qx_id = " +
                  std::to_string(a_) + " ORDER BY name"));
}

// After the last row, the device's rows with any other collect time (older too) go, also
// when the list has no elements; the same collect time removes nothing; B is never touched.
TEST_F(ShareTest, RemovesTheDevicesOtherRowsOncePerPush) {
  ASSERT_EQ(0, shareCacheUpdate("SN-A", 50, parse(R"({"share":[{"name":"old1"},{"name":"n"}]})")));
  EXPECT_EQ("n|50\nold1|50", rows(a_));
  for (const char* share : {"[]", "null"}) {
    ASSERT_EQ(0, shareCacheUpdate("SN-A", 100, parse(R"({"share":[{"name":"x"}]})")));
    EXPECT_EQ(0, shareCacheUpdate("SN-A", 200, parse(std::string("{\"share\":") + share + "}")));
    EXPECT_EQ("", rows(a_)) << share;
  }
  EXPECT_EQ("old1|100\nold2|100", rows(b_));
}

// Refusals write and remove nothing; a refused or failed row keeps the earlier push's rows
// beside the ones already written.
TEST_F(ShareTest, RefusalsAndFailedRowsRemoveNothing) {
  query(
      "CREATE TRIGGER fail BEFORE INSERT ON share_info WHEN NEW.name = 's2' BEGIN SELECT "
      "RAISE(ABORT, 'boom'); END;");
  struct Case {
    const char* sn;
    const char* payload;
    const char* line;
  };
  const Case cases[] = {
      {"SN-X", R"({"share":[]})", " fail to get qx SN-X"},
      {"SN-A", R"({"shares":[]})", " Collected data from [SN-A] is wrong"},
      {"SN-A", R"({"share":{"name":"x"}})", "Collected data from [SN-A] is wrong or corrupted."},
      {"SN-A", R"({"share":[{"name":"s1"}, 3]})",
       " Element 1 of share_info from [SN-A] is not an object."},
      {"SN-A", R"({"share":[{"name":"s1"},{"name":"s2"},{"name":"s3"}]})",
       "VALUES ('s2', '', '', 0, 200, 1, '');] error: boom"},  // A is the first device: id 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    flxtest::ClearLog();
    EXPECT_EQ(-1, shareCacheUpdate(c.sn, 200, parse(c.payload)));
    EXPECT_EQ(1, flxtest::LogCount(c.line)) << flxtest::LogDump();
    EXPECT_EQ(0, flxtest::openDescriptorsOn(cacheDbPath()));
  }
  EXPECT_EQ("old1|100\nold2|100\ns1|200", rows(a_));
}

}  // namespace
