// The inventory module as the host loads it, beside the push module: who may call it and
// what bad input gets.
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "flx.h"
#include "flxread.h"
#include "host.h"
#include "inventory/inventory_api.h"
#include "kevoroot.h"
#include "platform/flxhistory/include/flxhistory_schema.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"

namespace {

class InventoryApiTest : public flxtest::RootTest {
 protected:
  InventoryApiTest() : dispatcher_(registry_) {
    std::string err;
    EXPECT_TRUE(registry_.LoadModule(FLX_INVENTORY_PATH, err)) << err;
    EXPECT_TRUE(registry_.LoadModule(FLX_MODULE_PATH, err)) << err;
    addDevice("SN-1", "vault");
    sid_ = addSession("SN-1");
    token_ = flxread::newToken();
    EXPECT_EQ(0, KEVOFLXOperatorCreate("ops", flxread::tokenHash(token_)));
  }

  // The answer's code (0 for success) for `query` sent with session `sid`.
  int call(const std::string& query, const std::string& sid,
           const std::string& api = "KEVO.FLX.Inventory") {
    webapihost::RawRequest raw;
    raw.query = "api=" + api + "&version=1&_sid=" + sid + "&" + query;
    raw.remoteIp = "192.0.2.7";
    webapihost::Dispatcher::Outcome outcome;
    answer_ = dispatcher_.Handle(raw, nullptr, nullptr, &outcome);
    download_.clear();
    if (outcome.download.producer) {
      type_ = outcome.download.contentType + " " + outcome.download.fileName;
      EXPECT_TRUE(outcome.download.producer([this](const char* data, size_t size) {
        download_.append(data, size);
        return true;
      }));
    }
    return answer_["success"].asBool() ? 0 : answer_["error"]["code"].asInt();
  }

  webapihost::ApiRegistry registry_;
  webapihost::Dispatcher dispatcher_;
  std::string sid_, token_;
  Json::Value answer_;
  std::string download_, type_;
};

TEST_F(InventoryApiTest, OperatorsReadAndDevicesPushNotTheOtherWayRound) {
  ASSERT_EQ(0, call("method=list", token_));
  EXPECT_EQ("SN-1", answer_["data"]["devices"][0]["sn"].asString());
  flxtest::ClearLog();
  EXPECT_EQ(INV_ERR_NO_PERMISSION, call("method=list", sid_));
  EXPECT_EQ(1, flxtest::LogCount("No permission to read the inventory. ip=[192.0.2.7]"))
      << flxtest::LogDump();
  EXPECT_EQ(INV_ERR_NO_PERMISSION, call("method=get&sn=SN-1", ""));
  EXPECT_EQ(105, call("method=push&items=[]", token_, "KEVO.FLX.RPC.ClientInfo"));
  EXPECT_EQ(0, call("method=push&items=[]", sid_, "KEVO.FLX.RPC.ClientInfo"));
}

TEST_F(InventoryApiTest, BadInputGetsAnErrorCode) {
  const std::pair<const char*, int> cases[] = {
      {"method=nope", WEBAPI_ERR_NO_METHOD},
      {"method=get", INV_ERR_NO_PARAM},
      {"method=get&sn=%5B1%5D", INV_ERR_BAD_PARAM},
      {"method=get&sn=SN-404", INV_ERR_NOT_FOUND},
      {"method=list&limit=-1", INV_ERR_BAD_PARAM},
      {"method=list&offset=-5", INV_ERR_BAD_PARAM},
      {"method=list&limit=501", INV_ERR_BAD_PARAM},
      {"method=list&limit=x", INV_ERR_BAD_PARAM},
      {"method=list&limit=1.5", INV_ERR_BAD_PARAM},
      {"method=list&sort=sn%20DESC", INV_ERR_BAD_PARAM},
      {"method=list&order=up", INV_ERR_BAD_PARAM},
      {"method=volumes&min_use=%7B%7D", INV_ERR_BAD_PARAM},
      {"method=disks&failing=maybe", INV_ERR_BAD_PARAM},
      {"method=package&id=Media&op=lt", INV_ERR_NO_PARAM},
      {"method=package&id=Media&op=like&pkg_version=1", INV_ERR_BAD_PARAM},
      {"method=stale&seconds=-1", INV_ERR_BAD_PARAM},
      {"method=icon&sn=SN-1&app_id=..%2F..%2Fetc", INV_ERR_BAD_PARAM},
      {"method=icon&sn=SN-1&app_id=Files", INV_ERR_NOT_FOUND},
      // A serial number of digits arrives as a JSON number and is still read as text.
      {"method=get&sn=12345", INV_ERR_NOT_FOUND},
      {"method=list&limit=0&filter=42", 0},
      // The history's methods: a missing history database is an empty history.
      {"method=history&sn=SN-1&kind=disk&from=100", 0},
      {"method=history&kind=nope", INV_ERR_BAD_PARAM},
      {"method=history&from=5&to=1", INV_ERR_BAD_PARAM},
      {"method=history&sn=SN-404", INV_ERR_NOT_FOUND},
      {"method=series&sn=SN-1&kind=volume", 0},
      {"method=series&kind=volume", INV_ERR_NO_PARAM},
      {"method=series&sn=SN-1&kind=share", INV_ERR_BAD_PARAM},
      {"method=series&sn=SN-1&kind=disk&from=0", INV_ERR_BAD_PARAM},
      {"method=filling&days=-1", INV_ERR_BAD_PARAM},
      {"method=filling&days=30&limit=5", 0},
  };
  for (const auto& [query, code] : cases) EXPECT_EQ(code, call(query, token_)) << query;
}

// A version (or serial number) sent unquoted parses as a JSON number; it is taken as the text
// it was sent as, never as the number ("2.10" is not 2.1, "007" is not 7).
TEST_F(InventoryApiTest, NumbersAreTakenAsTheTextTheyWereSentAs) {
  unlink(path(KEVO_HISTORY_DB_PATH).c_str());  // the versions counted from the registry
  addDevice("007", "bond");
  for (const char* v : {"2.10", "2.9", "2.3", "7"}) {
    KEVOFLX_PKG p;
    p.qx_id = addDevice(std::string("SN-V") + v);
    p.pkg_id = "MediaHub", p.version = v;
    ASSERT_EQ(0, KEVOFLXPkgSet(&p));
  }
  const std::pair<const char*, int> cases[] = {
      {"op=gt&pkg_version=2.3", 3},  {"op=gt&pkg_version=%222.3%22", 3},
      {"op=eq&pkg_version=2.10", 1}, {"op=ge&pkg_version=2.9", 3},
      {"op=gt&pkg_version=1e1", 4},  {"op=eq&pkg_version=7", 1},
  };
  for (const auto& [query, devices] : cases) {
    ASSERT_EQ(0, call(std::string("method=package&id=MediaHub&") + query, token_)) << query;
    EXPECT_EQ(devices, answer_["data"]["total"].asInt()) << query;
  }
  ASSERT_EQ(0, call("method=package&id=MediaHub&op=eq&pkg_version=2.10", token_));
  EXPECT_EQ("SN-V2.10 2.10 true", answer_["data"]["devices"][0]["sn"].asString() + " " +
                                      answer_["data"]["devices"][0]["version"].asString() + " " +
                                      answer_["data"]["devices"][0]["behind"].asString());
  ASSERT_EQ(0, call("method=get&sn=007", token_));
  EXPECT_EQ("bond", answer_["data"]["device"]["hostname"].asString());
  ASSERT_EQ(0, call("method=whoami", token_));
  EXPECT_EQ("ops", answer_["data"]["name"].asString());
}

// An export is the whole list as RFC 4180 CSV, which a spreadsheet's reader (here Python's)
// reads back field for field, whatever the names hold; JSON is an array of the rows.
TEST_F(InventoryApiTest, ExportsRoundTripThroughACsvReader) {
  // Names no device may register but a store may hold: written straight into it.
  query(
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 599) "
      "INSERT INTO devices(sn, hostname) SELECT 'SN-X' || (1000 + i), CASE i % 6 WHEN 0 THEN 'a,b' "
      "WHEN 1 THEN 'say \"hi\"' WHEN 2 THEN 'two' || char(10) || 'lines' WHEN 3 THEN 'cr' || "
      "char(13, 10) || 'lf' WHEN 4 THEN ' padded ' ELSE 'plain' END FROM n",
      path(KEVO_REGISTRY_DB_PATH));
  ASSERT_EQ(0, call("method=list&format=csv&sort=sn", token_));
  EXPECT_EQ("text/csv; charset=utf-8 devices.csv", type_);
  const std::string csvPath = path("/devices.csv");
  writeFile(csvPath, download_);
  const std::string script =
      "import csv,json,sys\n"
      "rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))\n"
      "h = rows[0]\n"
      "print(json.dumps([len(rows) - 1, h.index('sn') >= 0, 'summary.vol_count' in h,"
      " [r[h.index('hostname')] for r in rows[1:8]], [r[h.index('sn')] for r in rows[1:3]]]))\n";
  writeFile(path("/read.py"), script);
  FILE* py = popen(("python3 " + path("/read.py") + " " + csvPath).c_str(), "r");
  ASSERT_NE(nullptr, py);
  std::string got;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, py)) > 0;) got.append(buf, n);
  EXPECT_EQ(0, pclose(py));
  EXPECT_EQ(
      "[601, true, true, [\"vault\", \"a,b\", \"say \\\"hi\\\"\", \"two\\nlines\", "
      "\"cr\\r\\nlf\", \" padded \", \"plain\"], [\"SN-1\", \"SN-X1000\"]]\n",
      got);

  ASSERT_EQ(0, call("method=software&format=json", token_));
  EXPECT_EQ("[]\n", download_);
  ASSERT_EQ(0, call("method=history&format=json", token_));
  EXPECT_EQ("[]\n", download_);
  EXPECT_EQ(INV_ERR_BAD_PARAM, call("method=list&format=xml", token_));
}

}  // namespace
