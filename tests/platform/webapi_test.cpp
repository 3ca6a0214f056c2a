// The web API framework: request and response objects, decoding of a call's fields, API
// tables and the dispatch of one call.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "host.h"
#include "support/log_capture.h"
#include "webapi.h"

namespace {

using webapihost::ApiRegistry;
using webapihost::Call;
using webapihost::DecodeCall;
using webapihost::Dispatcher;
using webapihost::RawRequest;

Json::Value Obj(const char* text) {
  return webapihost::ParamValue(text);
}

TEST(DecodeCall, FieldsFromQueryBodyAndCookie) {
  RawRequest raw;
  raw.query = "api=A.B&version=1&method=m&x=q&only_q=1";
  raw.body = "x=b&method=m2&only_b=%7B%22k%22%3A2%7D";
  raw.contentType = "application/x-www-form-urlencoded; charset=UTF-8";
  raw.cookie = "theme=dark; id=\"cookie-sid\"";
  Call call;
  ASSERT_EQ(0, DecodeCall(raw, call));
  EXPECT_EQ("A.B", call.api);
  EXPECT_EQ("m2", call.method);  // the body wins
  EXPECT_EQ(1, call.version);
  EXPECT_EQ("cookie-sid", call.sid);
  EXPECT_EQ(Json::Value("b"), call.params["x"]);
  EXPECT_EQ(Json::Value(1), call.params["only_q"]);
  EXPECT_EQ(Obj(R"({"k":2})"), call.params["only_b"]);
  EXPECT_FALSE(call.params.isMember("api") || call.params.isMember("_sid"));

  raw.query += "&_sid=field-sid";
  ASSERT_EQ(0, DecodeCall(raw, call));
  EXPECT_EQ("field-sid", call.sid);

  // A body of another type is not read as fields.
  raw.contentType = "application/json";
  ASSERT_EQ(0, DecodeCall(raw, call));
  EXPECT_EQ("m", call.method);
  EXPECT_FALSE(call.params.isMember("only_b"));
}

TEST(DecodeCall, ParametersAreBoundedBeforeParsing) {
  const std::string deep = std::string(33, '[') + std::string(33, ']');
  std::string many = "[0";
  for (int i = 0; i < 5000; ++i) many += ",0";
  const struct {
    std::string text;
    int status;
  } cases[] = {
      {std::string(32, '[') + std::string(32, ']'), 0},
      {deep, 400},
      {"[\"" + deep + "\"]", 0},      // brackets inside a string do not nest
      {"[\"\\\"" + deep + "\"]", 0},  // nor after an escaped quote
      {"plain " + deep, 0},           // not JSON: stays text, costs nothing
      {many + "]", 413},
  };
  for (const auto& c : cases) {
    Call call;
    call.rawParams["p"] = c.text;
    std::string why;
    EXPECT_EQ(c.status, webapihost::ParseParams(call, c.text.size(), why)) << c.text;
    EXPECT_EQ(c.status == 0, why.empty()) << why;
  }
}

// A parameter is JSON when its whole text is valid JSON, else a string (null: not checked).
TEST(DecodeCall, ParametersRefusalsAndMalformedEncodings) {
  const std::string m = "api=A.B&version=1&method=m";
  const struct {
    std::string query;
    const char* body;
    int code;
    Json::Value p;
  } cases[] = {
      {m + "&p=123", "", 0, 123},
      {m + "&p=plain+text", "", 0, "plain text"},
      {m + "&p=%5B1%2C2%5D", "", 0, Obj("[1,2]")},
      {m + "&p=1+2", "", 0, "1 2"},                // extra text after a value
      {m + "&p=%7B%22a%22%3A", "", 0, "{\"a\":"},  // cut short
      {m + "&p=", "", 0, ""},
      {"&&=x&" + m + "&", "", 0, Json::Value()},  // empty pieces and names skipped
      {"version=1&method=m", "", WEBAPI_ERR_NO_API, Json::Value()},
      {"api=A.B&version=1", "", WEBAPI_ERR_NO_METHOD, Json::Value()},
      {"api=A.B&method=m", "", WEBAPI_ERR_NO_VERSION, Json::Value()},
      {"api=A.B&version=99999999999&method=m", "", WEBAPI_ERR_NO_VERSION, Json::Value()},
      {m + "&p=%zz", "", WEBAPI_ERR_UNKNOWN, Json::Value()},
      {m, "p=%", WEBAPI_ERR_UNKNOWN, Json::Value()},
  };
  for (const auto& c : cases) {
    RawRequest raw;
    raw.query = c.query;
    raw.body = c.body;
    Call call;
    EXPECT_EQ(c.code, DecodeCall(raw, call)) << c.query << " | " << c.body;
    if (!c.p.isNull()) {
      EXPECT_EQ(c.p, call.params["p"]) << c.query;
    }
  }
  // Nesting past the reader's limit stays a string instead of throwing.
  const std::string deep(5000, '[');
  EXPECT_EQ(Json::Value(deep), webapihost::ParamValue(deep));
}

// A tiny module table for the registry and the dispatcher.
std::atomic<int> gBusy{0};
std::atomic<bool> gOverlap{false};

void Echo(KEVO::APIRequest* req, KEVO::APIResponse* resp) {
  Json::Value data;
  data["api"] = req->GetAPIName();
  data["version"] = req->GetAPIVersion();
  data["method"] = req->GetAPIMethod();
  data["sid"] = req->GetSessionID();
  data["ip"] = req->GetRemoteIP();
  data["p"] = req->GetParam("p", Json::Value("none"));
  resp->SetSuccess(data);
}
void Throws(KEVO::APIRequest*, KEVO::APIResponse* resp) {
  resp->SetSuccess(Json::Value());
  throw std::runtime_error("boom");
}
void ThrowsInt(KEVO::APIRequest*, KEVO::APIResponse*) {
  throw 7;
}
void Silent(KEVO::APIRequest*, KEVO::APIResponse*) {}
void Slow(KEVO::APIRequest*, KEVO::APIResponse* resp) {
  if (gBusy.fetch_add(1) != 0) gOverlap = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  gBusy.fetch_sub(1);
  resp->SetSuccess(Json::Value());
}

const WEBAPI_ENTRY kTable[] = {
    {"T.Echo", 1, "get", Echo},
    {"T.Echo", 2, "get", Echo},
    {"T.Fail", 1, "throw", Throws},
    {"T.Fail", 1, "throwInt", ThrowsInt},
    {"T.Fail", 1, "silent", Silent},
    {"T.Slow", 1, "run", Slow},
    {nullptr, 0, nullptr, nullptr},
    {"T.After", 1, "never", Echo},  // past the terminator: never read
};

TEST(ApiRegistry, WalksTableToTerminator) {
  ApiRegistry registry;
  EXPECT_EQ(6, registry.AddTable(kTable, "test"));
  WEBAPI_METHOD_HANDLER h = nullptr;
  ASSERT_EQ(0, registry.Find("T.Echo", 2, "get", &h));
  EXPECT_EQ(WEBAPI_ERR_NO_VERSION, registry.Find("T.Echo", 3, "get", &h));
  EXPECT_EQ(WEBAPI_ERR_NO_METHOD, registry.Find("T.Echo", 1, "put", &h));
  EXPECT_EQ(WEBAPI_ERR_NO_API, registry.Find("T.After", 1, "never", &h));

  // Incomplete rows are skipped; a null or unterminated table adds nothing.
  const WEBAPI_ENTRY partial[] = {{"P.A", 1, nullptr, Echo}, {"P.B", 1, "m", Echo}, {}};
  EXPECT_EQ(1, registry.AddTable(partial, "partial"));
  EXPECT_EQ(1, flxtest::LogCount("row 0 lacks a name or handler"));
  EXPECT_EQ(-1, registry.AddTable(nullptr, "null"));
  std::vector<WEBAPI_ENTRY> endless(ApiRegistry::kMaxRows + 1, WEBAPI_ENTRY{"E.E", 1, "m", Echo});
  EXPECT_EQ(-1, registry.AddTable(endless.data(), "endless"));
  EXPECT_EQ(7u, registry.Size());
}

// Loading the real module is left to the end-to-end tests, whose hosts all load it.
TEST(ApiRegistry, LoadModuleFailuresNameTheirCause) {
  ApiRegistry registry;
  std::string err;
  EXPECT_FALSE(registry.LoadModule("/nonexistent/mod.so", err));
  EXPECT_NE(std::string::npos, err.find("/nonexistent/mod.so")) << err;
  EXPECT_FALSE(registry.LoadModule("libm.so.6", err));  // loads, but has no table
  EXPECT_NE(std::string::npos, err.find("GetAPITable")) << err;
  EXPECT_EQ(2, flxtest::LogCount("mod")) << flxtest::LogDump();
  EXPECT_EQ(0u, registry.Size());
}

class DispatchTest : public ::testing::Test {
 protected:
  DispatchTest() : dispatcher_(registry_) {
    registry_.AddTable(kTable, "test");
    flxtest::ClearLog();
  }
  Json::Value Run(const std::string& query) {
    RawRequest raw;
    raw.query = query;
    raw.remoteIp = "192.0.2.9";
    raw.cookie = "id=ck";
    return dispatcher_.Handle(raw);
  }
  ApiRegistry registry_;
  Dispatcher dispatcher_;
};

TEST_F(DispatchTest, CallsTheMethodWithTheRequest) {
  const Json::Value answer = Run("api=T.Echo&version=2&method=get&p=%5B1%5D");
  ASSERT_TRUE(answer["success"].asBool()) << answer.toStyledString();
  EXPECT_EQ(Obj(R"({"api":"T.Echo","version":2,"method":"get","sid":"ck","ip":"192.0.2.9",
                    "p":[1]})"),
            answer["data"]);
  const auto lines = flxtest::LogLines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(LOG_NOTICE, lines[0].priority & LOG_PRIMASK);
  EXPECT_EQ(0u, lines[0].text.find("request api=T.Echo method=get version=2 code=0 duration="))
      << lines[0].text;
}

TEST_F(DispatchTest, RefusalsAndFailingModules) {
  const struct {
    const char* query;
    int code;
  } cases[] = {
      {"api=T.Echo&version=9&method=get", WEBAPI_ERR_NO_VERSION},
      {"api=T.Fail&version=1&method=throw", WEBAPI_ERR_MODULE_FAILED},
      {"api=T.Fail&version=1&method=throwInt", WEBAPI_ERR_MODULE_FAILED},
      {"api=T.Fail&version=1&method=silent", WEBAPI_ERR_NO_ANSWER},
      {"api=%%", WEBAPI_ERR_UNKNOWN},
  };
  for (const auto& c : cases) {
    flxtest::ClearLog();
    const Json::Value answer = Run(c.query);
    EXPECT_FALSE(answer["success"].asBool()) << c.query;
    EXPECT_EQ(c.code, answer["error"]["code"].asInt()) << c.query;
    EXPECT_EQ(1, flxtest::LogCount("code=" + std::to_string(c.code))) << c.query;
    const int thrown = c.code == WEBAPI_ERR_MODULE_FAILED ? 1 : 0;
    EXPECT_EQ(thrown, flxtest::LogCount("with an exception")) << c.query;
  }
}

TEST_F(DispatchTest, MethodsRunOneAtATime) {
  gOverlap = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 10; ++i) Run("api=T.Slow&version=1&method=run");
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(gOverlap);
  EXPECT_EQ(40, flxtest::LogCount("code=0"));
}

// The executor answers as the dispatcher would in process, large bodies included; once it is
// gone every call is a 500 and the worker hears of it once.
TEST_F(DispatchTest, ExecutorServesCallsInAChildProcess) {
  webapihost::Executor executor;
  ASSERT_TRUE(executor.Start([this](int fd) { return webapihost::ServeCalls(fd, dispatcher_); }));
  int deaths = 0;
  executor.OnDeath([&deaths] { ++deaths; });
  RawRequest raw;
  raw.query = "api=T.Echo&version=2&method=get";
  raw.contentType = "application/x-www-form-urlencoded";
  raw.body = "p=" + std::string(3 << 20, 'x');
  raw.remoteIp = "192.0.2.9";
  const webapihost::Served there = executor.Run(raw);
  EXPECT_EQ(webapihost::ServeHere(dispatcher_, raw).text, there.text);
  EXPECT_EQ(200, there.status);
  ASSERT_NE(getpid(), executor.Pid());
  kill(executor.Pid(), SIGKILL);
  for (int i = 0; i < 2; ++i) {
    const webapihost::Served gone = executor.Run(raw);
    EXPECT_EQ(500, gone.status);
    EXPECT_EQ(WEBAPI_ERR_MODULE_FAILED, webapihost::ParamValue(gone.text)["error"]["code"].asInt());
  }
  EXPECT_EQ(1, deaths);
}

// Connections to a file the host holds commit without waiting for the disk; others as SQLite
// does by default.
TEST(IdleConnections, RelaxTheSyncOfTheHeldFilesOnly) {
  char dir[] = "/tmp/webapi-sync.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string held = std::string(dir) + "/held.db", other = std::string(dir) + "/other.db";
  auto syncOf = [](const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    int level = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA synchronous", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      level = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return level;
  };
  syncOf(held);  // creates both files
  syncOf(other);
  {
    webapihost::IdleConnections idle;
    ASSERT_TRUE(idle.Open(held, webapihost::StorePolicy()));
    EXPECT_EQ(1, syncOf(held));   // NORMAL
    EXPECT_EQ(2, syncOf(other));  // FULL
  }
  std::system(("rm -rf " + std::string(dir)).c_str());
}

}  // namespace
