#include "api/webapi_flx_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/flx_log.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

using Texts = std::vector<std::string>;
const char kRefused[] = "cache_handler:23 [storage] data is incorrect";

using flxtest::parse;

KEVO::APIRequest Request(const Json::Value& params, const std::string& sid) {
  return KEVO::APIRequest("KEVO.FLX.RPC.ClientInfo", 1, "push", params, sid, "192.0.2.7");
}

TEST(ExtractionTest, CopiesOnlyTheTwoKnownParameters) {
  const char* cases[][2] = {
      {R"({"client_sn":"A","items":[1]})", R"({"client_sn":"A","items":[1]})"},
      {R"({"_sid":"x","other":3,"items":"t"})", R"({"items":"t"})"}};
  for (const auto& c : cases) {
    KEVO::APIRequest req = Request(parse(c[0]), "sid");
    EXPECT_EQ(parse(c[1]), KEVOCacheInfoHttpReqToJson(&req)) << c[0];
  }
}

class PushTest : public flxtest::RootTest {
 protected:
  PushTest() {
    addDevice("SN-PUSHER");
    sid_ = addSession("SN-PUSHER");
    EXPECT_EQ(0, KVLIBCryptReadKeyFile(path(KEVO_PUSH_KEY_PATH).c_str(), key_));
    flxtest::ClearLog();
  }

  std::string encipher(const std::string& plain) {
    std::string out(KVLIBCryptSzChunkSize(static_cast<int>(plain.size())), '\0');
    int n = KVLIBCryptSzEncryptWithKey(key_, plain.data(), static_cast<int>(plain.size()), &out[0],
                                       static_cast<int>(out.size()));
    out.resize(n > 0 ? n : 0);
    return out;
  }

  // An item whose `plain` payload is enciphered in pieces cut at `cuts` (ascending).
  Json::Value item(const char* group, const char* module, const std::string& plain,
                   std::vector<size_t> cuts = {}) {
    Json::Value it = parse(R"({"collect_time":1700000000,"data":[]})");
    it["group_name"] = group;
    it["module_name"] = module;
    cuts.insert(cuts.begin(), 0);
    cuts.push_back(plain.size());
    for (size_t i = 0; i + 1 < cuts.size() && !plain.empty(); ++i) {
      it["data"].append(encipher(plain.substr(cuts[i], cuts[i + 1] - cuts[i])));
    }
    return it;
  }

  KEVO::APIResponse push(const Json::Value& params, const std::string& sid) {
    KEVO::APIRequest req = Request(params, sid);
    KEVO::APIResponse resp;
    set_v1(&req, &resp);
    return resp;
  }

  KEVO::APIResponse pushItems(std::vector<Json::Value> items) {
    Json::Value params = parse(R"({"client_sn":"SN-OTHER","items":[]})");
    for (auto& it : items) params["items"].append(std::move(it));
    return push(params, sid_);
  }

  std::string sid_;
  unsigned char key_[32] = {};
};

TEST_F(PushTest, RequestChecksAnswerInTheirOrder) {
  const char* noRight = "webapi_flx_cache:84 No permission to update info. ip=[192.0.2.7]";
  // A known session, the parameters, the answer's code (0: success) and the log.
  const std::tuple<bool, const char*, int, Texts> cases[] = {
      {false, R"({"items":[]})", 105, {noRight}},
      {true,
       R"({"client_sn":"X"})",
       400,
       {R"(webapi_flx_cache:92 Bad request parameters. No items. {"client_sn":"X"})"}},
      {true,
       R"({"items":{"0":1}})",
       400,
       {R"(webapi_flx_cache:98 Bad request parameters. items is not array. {"items":{"0":1}})"}},
      {true, R"({"items":[]})", 0, {}},
  };
  for (const auto& [permitted, params, code, logged] : cases) {
    flxtest::ClearLog();
    KEVO::APIResponse resp = push(parse(params), permitted ? sid_ : "no-such-session");
    EXPECT_TRUE(resp.IsSet()) << params;
    EXPECT_EQ(code, resp.IsSuccess() ? 0 : resp.GetError()) << params;
    EXPECT_EQ(logged, flxtest::LogTexts()) << params;
  }
}

// An object reaches its handler; anything else, and a payload that does not parse (no chunk at
// all, not JSON, a trailing comma, a byte-order mark), is refused by the dispatcher alone.
TEST_F(PushTest, ChunksAreJoinedAtAnyCutAndUnparsedItemsLeaveTheAnswerAlone) {
  const std::string object =
      R"({"vol":[],"dg":[],"hdd":[],"pad":")" + std::string(300, 'p') + "\"}";
  for (const auto& cuts : std::vector<std::vector<size_t>>{
           {}, {object.size() - 1}, {7, 8, 9, 150}, {2, 40, 41, 100, 200, 290, 301}}) {
    flxtest::ClearLog();
    EXPECT_TRUE(pushItems({item("storage", "storage", object, cuts),
                           item("storage", "storage", "[1, 2, 3]", {1, 4})})
                    .IsSuccess());
    EXPECT_EQ(Texts{kRefused}, flxtest::LogTexts()) << cuts.size() << " cuts";
  }
  for (const char* plain : {"", "not json", "{\"vol\":[],}", "\xEF\xBB\xBF{\"vol\":[]}"}) {
    flxtest::ClearLog();
    EXPECT_TRUE(pushItems({item("storage", "storage", plain)}).IsSuccess());
    EXPECT_EQ(Texts{kRefused}, flxtest::LogTexts()) << plain;
  }
}

TEST_F(PushTest, HandlersGetTheSessionsSerialNumberNotClientSn) {
  // The storage handler refuses an object without volumes, naming the serial number it got.
  // The first chunk's plain text ends at its NUL, so the payload is {"a":1}.
  Json::Value it = item("storage", "storage", "1}");
  it["data"].insert(0, encipher(std::string("{\"a\":\0garbage", 13)));
  EXPECT_TRUE(pushItems({it}).IsSuccess());
  EXPECT_EQ(1,
            flxtest::LogCount("cache_handler:27 Update information [storage], client_sn=SN-PUSHER"))
      << flxtest::LogDump();
  EXPECT_EQ(0, flxtest::LogCount("SN-OTHER"));
}

TEST_F(PushTest, ItemThatFailsToDecipherFailsTheAnswerButNotItsNeighbours) {
  Json::Value bad = item("basic", "basic", "[2");
  bad["data"].append("bm90IGEgY2h1bms=");  // base64, but no chunk of ours
  bad["data"].append(encipher("]"));
  KEVO::APIResponse resp =
      pushItems({item("storage", "storage", "[1]"), bad, item("basic", "basic", "[3]")});
  EXPECT_EQ(400, resp.IsSuccess() ? 0 : resp.GetError());
  EXPECT_EQ((Texts{kRefused, "webapi_flx_cache:44 fail to decrypt",
                   "webapi_flx_cache:105 Failed to decrypt " + flx::toString(bad),
                   "cache_handler:23 [basic] data is incorrect"}),
            flxtest::LogTexts());
}

// A megabyte of garbage makes a log line of 4 KiB that says how long the text was.
TEST_F(PushTest, PushedTextInTheLogIsCut) {
  Json::Value bad = item("basic", "basic", "");
  bad["data"].append(std::string(1 << 20, 'A'));
  EXPECT_EQ(400, pushItems({bad}).GetError());
  const Texts lines = flxtest::LogTexts();
  ASSERT_EQ(2u, lines.size());
  EXPECT_LT(lines[1].size(), flx::kLogTextMax + 100);
  EXPECT_NE(std::string::npos,
            lines[1].find("[cut, " + std::to_string(flx::toString(bad).size()) + " bytes in all]"));
}

TEST_F(PushTest, MalformedItemsAreSkippedWithOneLine) {
  const std::string gm = R"({"group_name":"storage","module_name":"storage")";
  const std::pair<std::string, const char*> cases[] = {
      {"42", "not an object"},
      {R"({"module_name":"storage","data":[]})", "group_name is not a string"},
      {R"({"group_name":"storage","module_name":5,"data":[]})", "module_name is not a string"},
      {gm + "}", "data is not an array"},
      {gm + R"(,"data":[1]})", "a data chunk is not a string"},
      {gm + R"(,"data":[],"collect_time":-1})", "collect_time is not a non-negative number"},
      {gm + R"(,"data":[],"collect_time":"1"})", "collect_time is not a non-negative number"},
  };
  for (const auto& [bad, why] : cases) {
    flxtest::ClearLog();
    EXPECT_TRUE(pushItems({parse(bad), item("storage", "storage", "[1]")}).IsSuccess());
    Texts lines = flxtest::LogTexts();
    ASSERT_EQ(2u, lines.size()) << flxtest::LogDump();
    EXPECT_EQ(0u, lines[0].find("webapi_flx_cache:"));
    EXPECT_NE(std::string::npos,
              lines[0].find(std::string(" Item 0 is malformed, skipped: ") + why));
    EXPECT_EQ(kRefused, lines[1]);
  }
  // A null collect time reads as 0: the item is dispatched (and refused for its payload).
  flxtest::ClearLog();
  Json::Value noTime = item("storage", "storage", "[1]");
  noTime["collect_time"] = Json::Value();
  EXPECT_TRUE(pushItems({noTime}).IsSuccess());
  EXPECT_EQ(Texts{kRefused}, flxtest::LogTexts());
}

}  // namespace
