// The inventory module as the host loads it, beside the push module: who may call it and
// what bad input gets.
#include <string>

#include "flx.h"
#include "flxread.h"
#include "host.h"
#include "inventory/inventory_api.h"
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
    answer_ = dispatcher_.Handle(raw);
    return answer_["success"].asBool() ? 0 : answer_["error"]["code"].asInt();
  }

  webapihost::ApiRegistry registry_;
  webapihost::Dispatcher dispatcher_;
  std::string sid_, token_;
  Json::Value answer_;
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

}  // namespace
