// The handlers that store rows: volumes, disk groups and disks, shared folders, samples, and
// the device's extended information.
#include <string>
#include <tuple>

#include "flx.h"
#include "handlers/cache_handler.h"
#include "handlers/cache_handler_share.h"
#include "handlers/cache_handler_storage.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

using flxtest::parse;

class RowsTest : public flxtest::RootTest {
 protected:
  // Devices A and B, each with a row "old" at time 100 in every storage table and the folders
  // "old1" and "old2".
  RowsTest() : a_(addDevice("SN-A")), b_(addDevice("SN-B")) {
    for (const char* sn : {"SN-A", "SN-B"}) {
      EXPECT_EQ(0, storageCacheUpdate(sn, 100, parse(R"({"vol":[{"id":"old"}],"dg":[{"id":"old"}],
                                                         "hdd":[{"id":"old"}]})")));
      EXPECT_EQ(0,
                shareCacheUpdate(sn, 100, parse(R"({"share":[{"name":"old1"},{"name":"old2"}]})")));
    }
    flxtest::ClearLog();
  }
  // "key|mtime" rows of one device in `table`.
  std::string rows(const std::string& table, uint64_t qx) {
    const std::string key = table == "hdd_info" ? "dev" : "name";
    return query("SELECT " + key + ", mtime FROM " + table +
                 " WHERE qx_id = " + std::to_string(qx) + " ORDER BY " + key);
  }
  std::string storageOf(uint64_t qx) {
    return rows("vol_info", qx) + "/" + rows("dg_info", qx) + "/" + rows("hdd_info", qx);
  }
  const uint64_t a_;
  const uint64_t b_;
};
using StorageTest = RowsTest;
using ShareTest = RowsTest;

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
  EXPECT_EQ("first|50/first|50/first|50", storageOf(a_));
  ASSERT_EQ(0, storageCacheUpdate("SN-A", 60, parse(R"({"vol":[],"dg":[],"hdd":[{"id":"h"}]})")));
  EXPECT_EQ("first|50/first|50/h|60", storageOf(a_));
  EXPECT_EQ("old|100/old|100/old|100", storageOf(b_));
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
    EXPECT_EQ("old|100/old|100/old|100", storageOf(a_));
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
  EXPECT_EQ("v1|200\nv2|200/old|100/old|100", storageOf(a_));
  EXPECT_EQ(1, flxtest::LogCount("size_used, mtime, qx_id) VALUES ('v3', '', '', '', 0, 0, 200, " +
                                 std::to_string(a_) + ");] error: boom"))
      << flxtest::LogDump();
  EXPECT_EQ(0, flxtest::openDescriptorsOn(cacheDbPath()));
}

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
  EXPECT_EQ("n|50\nold1|50", rows("share_info", a_));
  for (const char* share : {"[]", "null"}) {
    ASSERT_EQ(0, shareCacheUpdate("SN-A", 100, parse(R"({"share":[{"name":"x"}]})")));
    EXPECT_EQ(0, shareCacheUpdate("SN-A", 200, parse(std::string("{\"share\":") + share + "}")));
    EXPECT_EQ("", rows("share_info", a_)) << share;
  }
  EXPECT_EQ("old1|100\nold2|100", rows("share_info", b_));
}

// Refusals write and remove nothing; a refused or failed row keeps the earlier push's rows
// beside the ones already written.
TEST_F(ShareTest, RefusalsAndFailedRowsRemoveNothing) {
  query(
      "CREATE TRIGGER fail BEFORE INSERT ON share_info WHEN NEW.name = 's2' BEGIN SELECT "
      "RAISE(ABORT, 'boom'); END;");
  const char* cases[][3] = {
      {"SN-X", R"({"share":[]})", " fail to get qx SN-X"},
      {"SN-A", R"({"shares":[]})", " Collected data from [SN-A] is wrong"},
      {"SN-A", R"({"share":{"name":"x"}})", "Collected data from [SN-A] is wrong or corrupted."},
      {"SN-A", R"({"share":[{"name":"s1"}, 3]})",
       " Element 1 of share_info from [SN-A] is not an object."},
      {"SN-A", R"({"share":[{"name":"s1"},{"name":"s2"},{"name":"s3"}]})",
       "VALUES ('s2', '', '', 0, 200, 1, '');] error: boom"},  // A is the first device: id 1
  };
  for (const auto& [sn, payload, line] : cases) {
    SCOPED_TRACE(payload);
    flxtest::ClearLog();
    EXPECT_EQ(-1, shareCacheUpdate(sn, 200, parse(payload)));
    EXPECT_EQ(1, flxtest::LogCount(line)) << flxtest::LogDump();
    EXPECT_EQ(0, flxtest::openDescriptorsOn(cacheDbPath()));
  }
  EXPECT_EQ("old1|100\nold2|100\ns1|200", rows("share_info", a_));
}

class SampleTest : public flxtest::RootTest {
 protected:
  std::string stored(const std::string& sn) {
    return query("SELECT sample_data FROM sample_table WHERE client_sn = '" + sn + "'");
  }
  static Json::Value payload(const Json::Value& value) {
    Json::Value data(Json::objectValue);
    data["data"] = value;
    return data;
  }
};

// Besides its two values the statement has 77 characters and it is cut at 1,023: values of
// 946 characters fit, 947 lose only the semicolon, 948 break it. A quote counts twice.
TEST_F(SampleTest, StatementLengthLimit) {
  // Serial number, quotes in the data, characters of both with the quotes doubled.
  const std::tuple<std::string, size_t, size_t> cases[] = {
      {"SN-0946", 0, 946}, {"SN-0947", 0, 947}, {"SN-0948", 0, 948},
      {"SN-Q946", 5, 946}, {"SN-Q947", 5, 947}, {"SN-Q948", 5, 948}};
  for (const auto& [sn, quotes, chars] : cases) {
    SCOPED_TRACE(sn);
    flxtest::ClearLog();
    const std::string data =
        std::string(quotes, '\'') + std::string(chars - sn.size() - 2 * quotes, 'x');
    const bool fits = chars <= 947;
    EXPECT_EQ(fits ? 0 : -1, sampleCacheUpdate(sn, 0, payload(data)));
    EXPECT_EQ(fits ? data : "", stored(sn));
    EXPECT_EQ(fits ? 0 : 1, flxtest::LogCount("cache_handler_sample:"));
  }
}

// No registry is asked, so any serial number is stored; a second call replaces the row; a
// missing or non-text "data" is NULL.
TEST_F(SampleTest, StoresReplacesAndNulls) {
  ASSERT_EQ(0, sampleCacheUpdate("nobody's", 1, payload("it's 'here'")));
  EXPECT_EQ("it's 'here'", stored("nobody''s"));
  const Json::Value nulls[] = {Json::Value(Json::objectValue), payload(42)};
  for (const Json::Value& data : nulls) {
    ASSERT_EQ(0, sampleCacheUpdate("nobody's", 0, data));
    EXPECT_EQ("NULL", stored("nobody''s")) << data.toStyledString();
  }
  EXPECT_EQ("1", query("SELECT COUNT(*) FROM sample_table"));
  EXPECT_EQ(0, flxtest::openDescriptorsOn(cacheDbPath()));
}

using InfoTest = flxtest::RootTest;

// The stored record belongs to the caller's device even when the payload names another.
TEST_F(InfoTest, PushedQxIdIsReplacedByTheRegistryId) {
  const uint64_t a = addDevice("SN-A");
  const uint64_t b = addDevice("SN-B");
  ASSERT_EQ(0,
            infoCacheUpdate("SN-B", 7,
                            parse(R"({"qx_id":)" + std::to_string(a) + R"(, "timezone":"UTC"})")));
  KEVOFLX_INFO info;
  EXPECT_GT(0, KEVOFLXInfoGet(a, &info));
  ASSERT_LE(0, KEVOFLXInfoGet(b, &info));
  const Json::Value stored = parse(info.json);
  EXPECT_EQ(static_cast<Json::Int64>(b), flx::jsonI64(stored["qx_id"]));
  EXPECT_EQ(0, flxtest::openDescriptorsOn(cacheDbPath()));
}

// Every refusal logs one line of its own, stores nothing and still closes the connection.
TEST_F(InfoTest, RefusalsLogOnceAndCloseTheConnection) {
  const uint64_t a = addDevice("SN-A");
  const char* cases[][3] = {
      {"", R"({"timezone":"UTC"})",
       "cache_handler_info:15 (euid=0)(pid=%d)(cache_handler_info:15)(Success)Failed "
       "[client_sn.empty()], err=Success\n\n"},
      {"SN-A", "{}",
       "cache_handler_info:16 (euid=0)(pid=%d)(cache_handler_info:16)(Success)"
       "Failed [data.empty()], err=Success\n\n"},
      {"SN-X", R"({"timezone":"UTC"})", "cache_handler_info:19 cannot get qx_id by SN-X"},
      {"SN-A", "[1, 2]", "cache_handler_info:25 KEVOFLXInfoJsonToStruct failed"},
  };
  for (const auto& [sn, payload, format] : cases) {
    SCOPED_TRACE(payload);
    flxtest::ClearLog();
    EXPECT_EQ(-1, infoCacheUpdate(sn, 0, parse(payload)));
    char line[256];
    snprintf(line, sizeof line, format, static_cast<int>(getpid()));
    EXPECT_EQ(std::vector<std::string>{line}, flxtest::LogTexts());
    EXPECT_EQ(0, flxtest::openDescriptorsOn(cacheDbPath()));
  }
  KEVOFLX_INFO info;
  EXPECT_GT(0, KEVOFLXInfoGet(a, &info));
}

}  // namespace
