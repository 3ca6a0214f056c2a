#include "handlers/cache_handler_storage.h"

#include <string>

#include "handlers/cache_handler.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

using flxtest::parse;

class StorageTest : public flxtest::RootTest {
 protected:
  // Devices A and B, each with a row "old" at time 100 in every table.
  StorageTest() : a_(addDevice("SN-A")), b_(addDevice("SN-B")) {
    const Json::Value old =
        parse(R"({"vol":[{"id":"old"}],"dg":[{"id":"old"}],"hdd":[{"id":"old"}]})");
    EXPECT_EQ(0, storageCacheUpdate("SN-A", 100, old));
    EXPECT_EQ(0, storageCacheUpdate("SN-B", 100, old));
    flxtest::ClearLog();
  }
  // "key|mtime" rows of one device in `table`.
  std::string rows(const std::string& table, uint64_t qx) {
    const std::string key = table == "hdd_info" ? "dev" : "name";
    return query("SELECT " + key + ", mtime FROM " + table +
                 " WHERE qx_id = " + std::to_string(qx) + " ORDER BY " + key);
  }
  std::string rowsOfA() {
    return rows("vol_info", a_) + "/" + rows("dg_info", a_) + "/" + rows("hdd_info", a_);
  }
  const uint64_t a_;
  const uint64_t b_;
};

TEST_F(StorageTest, WritesEveryColumn) {
  const Json::Value data = parse(R"({
    "vol": [{"id": "volume_1", "status": "normal", "raid_type": "shr", "pool_path": "reuse_1",
             "size_total": 18000000000000, "size_used": 42}],
    "dg":  [],
    "hdd": [{"id": "sda", "status": "normal", "smart_status": "ok", "model": "WD 'Red'",
             "bus": "sata", "used_by": "dg_1", "name": "Drive 1", "disk_type": "SATA",
             "ctn_name": "unit", "temp": -5, "size_total": 4000787030016},
            {"id": "sdb", "status": 3, "temp": 3000000000}]})");
  ASSERT_EQ(0, storageCacheUpdate("SN-A", 1700000000, data)) << flxtest::LogDump();
  const std::string q = " WHERE qx_id = " + std::to_string(a_);
  EXPECT_EQ("volume_1|normal|shr|reuse_1|18000000000000|42|1700000000",
            query("SELECT name, status, raid_type, pool_path, size_total, size_used, mtime "
                  "FROM vol_info" +
                  q));
  // Non-text values are empty, out-of-range numbers 0; the container type repeats its name.
  EXPECT_EQ(
      "sda|normal|ok|WD 'Red'|sata|dg_1|Drive 1|SATA|unit|unit|-5|4000787030016\n"
      "sdb|3|||||||||0|0",
      query("SELECT dev, status, smart_status, model, bus, used_by, name, disk_type, "
            "ctn_name, ctn_type, temp, size_total FROM hdd_info" +
            q + " ORDER BY dev"));
}

// Each row removes the device's other rows of its table with another mtime, older or newer;
// an empty array removes nothing; other devices are never touched.
TEST_F(StorageTest, StaleRowsGoAfterEveryRow) {
  for (auto write : {updateVolInfo, updateDgInfo, updateHddInfo}) {
    ASSERT_EQ(0, write(a_, parse(R"({"id":"first"})"), 50));
  }
  EXPECT_EQ("first|50/first|50/first|50", rowsOfA());
  ASSERT_EQ(0, storageCacheUpdate("SN-A", 60, parse(R"({"vol":[],"dg":[],"hdd":[{"id":"h"}]})")));
  EXPECT_EQ("first|50/first|50/h|60", rowsOfA());
  EXPECT_EQ("old|100/old|100/old|100",
            rows("vol_info", b_) + "/" + rows("dg_info", b_) + "/" + rows("hdd_info", b_));
}

TEST_F(StorageTest, RefusesBeforeWritingAnything) {
  const char* wrong = " Collected data from [SN-A] is wrong or corrupted.";
  const std::pair<const char*, const char*> cases[] = {
      {R"({"vol":[{"id":"x"}],"dg":[{"id":"x"}],"hdd":[{"id":"x"}]})", nullptr},  // unknown sn
      {"[1]", wrong},
      {R"({"vol":[{"id":"x"}],"hdd":[]})", wrong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    flxtest::ClearLog();
    EXPECT_EQ(-1, storageCacheUpdate(c.second ? "SN-A" : "SN-X", 500, parse(c.first)));
    EXPECT_EQ(1, flxtest::LogCount(c.second ? c.second : " fail to get qx SN-X"))
        << flxtest::LogDump();
    EXPECT_EQ("old|100/old|100/old|100", rowsOfA());
  }
}

// A refused or failed row stops the push: earlier rows stay, later ones and arrays are not
// written, and the failed statement is logged.
TEST_F(StorageTest, FailureMidwayLeavesWhatWasWritten) {
  query(
      "CREATE TRIGGER fail BEFORE INSERT ON vol_info WHEN NEW.name = 'v3' BEGIN SELECT "
      "RAISE(ABORT, 'boom'); END;");
  EXPECT_EQ(-1, storageCacheUpdate("SN-A", 200, parse(R"({"vol":[{"id":"v1"},{"id":"v2"},
                       {"id":"v3"},{"id":"v4"}], "dg":[{"id":"d1"}], "hdd":[{"id":"h1"}]})")));
  EXPECT_EQ("v1|200\nv2|200/old|100/old|100", rowsOfA());
  EXPECT_EQ(1, flxtest::LogCount("size_used, mtime, qx_id) VALUES ('v3', '', '', '', 0, 0, 200, " +
                                 std::to_string(a_) + ");] error: boom"))
      << flxtest::LogDump();
  EXPECT_EQ(0, flxtest::openDescriptorsOn(cacheDbPath()));
}

}  // namespace
