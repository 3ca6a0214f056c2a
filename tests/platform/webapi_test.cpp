// The web API framework: request and response objects, decoding of a call's fields, API
// tables and the dispatch of one call.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "host.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
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
      {m + "&p=1" + std::string(webapihost::kMaxFields - 4, '&'), "", 0, 1},
      {m + "&p=1" + std::string(webapihost::kMaxFields - 3, '&'), "", WEBAPI_ERR_REFUSED,
       Json::Value()},
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
const WEBAPI_ENTRY kTable[] = {
    {"T.Echo", 1, "get", Echo},      {"T.Echo", 2, "get", Echo},
    {"T.Fail", 1, "throw", Throws},  {"T.Fail", 1, "throwInt", ThrowsInt},
    {"T.Fail", 1, "silent", Silent}, {nullptr, 0, nullptr, nullptr},
    {"T.After", 1, "never", Echo},  // past the terminator: never read
};

TEST(ApiRegistry, WalksTableToTerminator) {
  ApiRegistry registry;
  EXPECT_EQ(5, registry.AddTable(kTable, "test"));
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
  EXPECT_EQ(6u, registry.Size());
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

// The session is checked from the names alone; a refused one gets its parameters as text, an
// allowed one parsed; the hooks around the call see the caller the check named.
TEST_F(DispatchTest, SessionHookGatesParsingAndNamesTheCaller) {
  std::vector<webapihost::SessionQuery> asked;
  std::string afterWho, beforeWho;
  webapihost::ProductHooks hooks;
  hooks.check = [&asked](const webapihost::SessionQuery& q, std::string& who) {
    asked.push_back(q);
    who = "SN-" + q.sid;
    return q.sid == "good";
  };
  hooks.after = [&afterWho](const Call& call, const std::string& who, const KEVO::APIResponse& r) {
    afterWho = who + (r.IsSuccess() ? " ok " : " failed ") + call.params["p"].toStyledString();
  };
  Dispatcher checked(registry_, hooks);
  RawRequest raw;
  raw.query = "api=T.Echo&version=1&method=get&_sid=good";
  raw.body = "p=%5B1%5D";
  raw.contentType = "application/x-www-form-urlencoded";
  raw.requestMethod = "POST";
  raw.remoteIp = "192.0.2.9";
  auto before = [&beforeWho](const Call& call, const std::string& who) {
    beforeWho = who + " " + call.api;
  };
  Json::Value answer = checked.Handle(raw, nullptr, before);
  EXPECT_EQ(Obj("[1]"), answer["data"]["p"]);
  EXPECT_EQ("SN-good T.Echo", beforeWho);
  EXPECT_EQ("SN-good ok [\n\t1\n]\n", afterWho);
  ASSERT_EQ(1u, asked.size());
  EXPECT_EQ("T", asked[0].apiClass);
  EXPECT_EQ("POST", asked[0].requestMethod);
  EXPECT_EQ("192.0.2.9", asked[0].remoteIp);

  // A flood of empty fields is refused from a count, before any field or session is looked at.
  raw.body = "p=1" + std::string(600000, '&');
  int status = 0;
  answer = checked.Handle(raw, &status);
  EXPECT_EQ(413, status);
  EXPECT_EQ(WEBAPI_ERR_REFUSED, answer["error"]["code"].asInt());
  EXPECT_EQ(1u, asked.size());
}

// A refused session reaches only a module the product says checks its own (here T.Echo 2),
// with its parameters as text; none is written down to run again.
TEST_F(DispatchTest, RefusedSessionsReachOnlyModulesThatCheckThem) {
  webapihost::ProductHooks hooks;
  hooks.check = [](const webapihost::SessionQuery& q, std::string&) { return q.sid == "good"; };
  const auto selfChecked = [](const webapihost::SessionQuery& q) {
    return q.version == 2 ? 0 : 105;
  };
  const struct {
    const char* call;
    bool productSays;
    int code;  // 0: the module answered
    Json::Value p;
    bool before;
  } cases[] = {
      {"version=1&_sid=good", true, 0, Obj("[1]"), true},
      {"version=1&_sid=guess", true, 105, Json::Value(), false},
      {"version=2&_sid=guess", true, 0, Json::Value("[1]"), false},
      {"version=1&_sid=guess", false, WEBAPI_ERR_REFUSED, Json::Value(), false},
  };
  for (const auto& c : cases) {
    hooks.refusal = c.productSays ? webapihost::SessionRefusal(selfChecked) : nullptr;
    Dispatcher checked(registry_, hooks);
    RawRequest raw;
    raw.query = std::string("api=T.Echo&method=get&p=%5B1%5D&") + c.call;
    bool before = false;
    Dispatcher::Outcome outcome;
    const Json::Value answer = checked.Handle(
        raw, nullptr, [&before](const Call&, const std::string&) { before = true; }, &outcome);
    EXPECT_EQ(c.code, c.code == 0 ? 0 : answer["error"]["code"].asInt()) << c.call;
    EXPECT_EQ(c.code == 0, answer["success"].asBool()) << c.call;
    EXPECT_EQ(c.p, answer["data"]["p"]) << c.call;
    EXPECT_EQ(c.before, before) << c.call;
    EXPECT_EQ(c.call == std::string("version=1&_sid=good") ? "" : "session", outcome.refused);
  }
}

using WebapiFiles = flxtest::RootTest;

// The in-flight file gives back the request as it was, bytes of any kind included.
TEST_F(WebapiFiles, InFlightKeepsTheRequestToRunItAgain) {
  const std::string file = path("/inflight.0");
  webapihost::InFlight in;
  in.attempt = 2;
  in.api = "A.B";
  in.method = "push";
  in.device = "SN\nforged line";
  in.raw.query = "api=A.B";
  in.raw.body = std::string("x\n12\n\0y", 7) + std::string(100000, 'z');
  in.raw.remoteIp = "192.0.2.9";
  in.raw.requestMethod = "POST";
  in.hostStart = "host.1.2.3";
  ASSERT_TRUE(webapihost::WriteInFlight(file, in));
  webapihost::InFlight out;
  ASSERT_TRUE(webapihost::ReadInFlight(file, out));
  EXPECT_EQ(2, out.attempt);
  EXPECT_EQ("SN?forged line", out.device);
  EXPECT_EQ(in.raw.body, out.raw.body);
  EXPECT_EQ(in.raw.query, out.raw.query);
  EXPECT_EQ("POST", out.raw.requestMethod);
  EXPECT_EQ("", out.raw.cookie);
  EXPECT_EQ("host.1.2.3", out.hostStart);
  EXPECT_EQ(getpid(), out.pid);
}

// Whatever is planted where an in-flight file is read, the reader neither blocks, nor throws,
// nor allocates more than the file holds.
TEST_F(WebapiFiles, InFlightReaderBoundsEverySize) {
  const std::string file = path("/inflight.0");
  webapihost::InFlight in;
  in.raw.body = "items=[]";
  ASSERT_TRUE(webapihost::WriteInFlight(file, in));
  const std::string text = readFile(file);
  const std::string head = text.substr(0, text.find("\n\n") + 2);
  const std::string fifo = path("/fifo"), link = path("/link");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
  const struct {
    std::string path, text;
    size_t maxBytes;
  } cases[] = {
      {file, text.substr(0, text.size() - 3), webapihost::kMaxInFlightBytes},  // cut short
      {file, "attempt 1\n", webapihost::kMaxInFlightBytes},                    // not one
      {file, head + "999999999999\nx", webapihost::kMaxInFlightBytes},         // a huge size
      {file, head + "0\n0\n9\nabc", webapihost::kMaxInFlightBytes},            // past the end
      {file, text, text.size() - 1},                                           // too large
      {fifo, "", webapihost::kMaxInFlightBytes},
      {link, "", webapihost::kMaxInFlightBytes},
  };
  for (const auto& c : cases) {
    if (!c.text.empty()) writeFile(c.path, c.text);
    webapihost::InFlight out;
    EXPECT_FALSE(webapihost::ReadInFlight(c.path, out, c.maxBytes)) << c.path << ": " << c.text;
  }
  webapihost::InFlight out;
  EXPECT_TRUE(webapihost::ReadInFlight(writeFile(file, text), out, text.size()));
}

// What is kept past the request has no session; the quarantine keeps the newest within bounds.
TEST_F(WebapiFiles, QuarantineIsBoundedAndHoldsNoSession) {
  const struct {
    const char *query, *body, *type, *kept;
  } forms[] = {
      {"api=A&_sid=S1&x=1", "", "", "api=A&x=1"},
      {"%5Fsid=S1&api=A", "", "", "api=A"},
      {"api=A", "_sid=S1&items=%5B%5D", "application/x-www-form-urlencoded", "items=%5B%5D"},
      {"api=A", "_sid=S1", "application/json", "_sid=S1"},  // not fields: never read as a session
  };
  for (const auto& f : forms) {
    webapihost::RawRequest raw;
    raw.query = f.query;
    raw.body = f.body;
    raw.contentType = f.type;
    raw.cookie = "id=S1";
    webapihost::ForgetSession(raw);
    EXPECT_EQ(f.kept, f.body[0] != '\0' ? raw.body : raw.query) << f.query << f.body;
    EXPECT_EQ("", raw.cookie);
  }

  webapihost::InFlight request;
  request.api = "A";
  request.raw.query = "api=A&_sid=SECRET";
  request.raw.cookie = "id=SECRET";
  const std::string dir = path(webapihost::kQuarantineDir);
  for (int i = 1; i <= 5; ++i)
    ASSERT_TRUE(webapihost::QuarantineRequest(request, "q" + std::to_string(i), 3));
  EXPECT_EQ(2, flxtest::LogCount("quarantine full (3 requests, 67108864 bytes at most): dropped "
                                 "the oldest, q"));
  const auto kept = webapihost::ListQuarantine();
  ASSERT_EQ(3u, kept.size());
  EXPECT_EQ("q3", kept[0].name);
  for (const auto& q : kept)
    EXPECT_EQ(std::string::npos, readFile(dir + "/" + q.name).find("SECRET"));
  const size_t one = readFile(dir + "/q5").size();
  ASSERT_TRUE(webapihost::QuarantineRequest(request, "q6", 100, 2 * one));
  EXPECT_EQ(2u, webapihost::ListQuarantine().size());
}

// Run folders of hosts that no longer run go at a host's start: a pid that came again (a later
// process, or this very host in a restarted container) does not keep an older start's folder.
TEST_F(WebapiFiles, StaleRunFoldersAreRemoved) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  const pid_t other = fork();
  if (other == 0) {
    const std::string name = webapihost::RunFolderName();
    if (write(fds[1], name.data(), name.size()) < 0) _exit(1);
    pause();
    _exit(0);
  }
  char buf[128] = "";
  ASSERT_GT(read(fds[0], buf, sizeof buf - 1), 0);
  close(fds[0]);
  close(fds[1]);
  const std::string live = buf;  // host.<pid>.<start>.<nonce>
  const std::string pid = std::to_string(other);
  ASSERT_EQ(0u, live.find("host." + pid + ".")) << live;
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string self = std::to_string(getpid());
  const struct {
    std::string name;
    bool kept;
  } cases[] = {
      {live, true},
      {"host." + pid, true},  // an older host's name, still running
      {"host." + pid + ".1.ab", false},
      {"host." + std::to_string(gone) + ".1.ab", false},
      {"host." + std::to_string(gone), false},
      {"host." + self + ".1.ab", false},
      {"other", true},
  };
  const std::string base = path(webapihost::kRunDir);
  for (const auto& c : cases) writeFile(base + "/" + c.name + "/inflight/0", "flx-inflight 1\n");
  EXPECT_EQ(4, webapihost::RemoveStaleRunFolders(base));
  kill(other, SIGKILL);
  waitpid(other, nullptr, 0);
  for (const auto& c : cases)
    EXPECT_EQ(c.kept, access((base + "/" + c.name).c_str(), F_OK) == 0) << c.name;
}

// The private front's configuration is the shipped site without TLS, and nginx accepts it.
TEST_F(WebapiFiles, FrontConfigComesFromTheShippedSite) {
  std::string conf, err;
  ASSERT_TRUE(webapihost::FrontConfig("127.0.0.1:8081", "unix:/tmp/x.sock", "/w/www", "/tmp/f", "",
                                      conf, err))
      << err;
  for (const char* gone : {"ssl", "443", "Strict-Transport", "/var/log/nginx", "user "})
    EXPECT_EQ(std::string::npos, conf.find(gone)) << gone;
  for (const char* kept :
       {"listen 127.0.0.1:8081 backlog=4096;", "server unix:/tmp/x.sock;", "root /w/www;",
        "alias /w/www/;", "fastcgi_param REMOTE_ADDR     $remote_addr;", "frame-ancestors 'none'",
        "server_tokens off;", "limit_req "})
    EXPECT_NE(std::string::npos, conf.find(kept)) << kept;
  if (access("/usr/sbin/nginx", X_OK) != 0) return;
  const std::string dir = root();
  ASSERT_TRUE(
      webapihost::FrontConfig("127.0.0.1:8081", "unix:/tmp/x.sock", dir, dir, "", conf, err));
  writeFile(dir + "/nginx.conf", conf);
  const std::string cmd = "/usr/sbin/nginx -q -t -p " + dir + "/ -c " + dir + "/nginx.conf -e " +
                          dir + "/error.log 2>" + dir + "/out";
  EXPECT_EQ(0, std::system(cmd.c_str()));
}

// Connections to a file the host holds commit without waiting for the disk; others as SQLite
// does by default.
TEST_F(WebapiFiles, IdleConnectionsRelaxTheSyncOfTheHeldFilesOnly) {
  const std::string held = writeFile(path("/held.db"), "");
  const std::string other = writeFile(path("/other.db"), "");
  webapihost::IdleConnections idle;
  ASSERT_TRUE(idle.Open(held, webapihost::StorePolicy()));
  EXPECT_EQ("1", query("PRAGMA synchronous", held));   // NORMAL
  EXPECT_EQ("2", query("PRAGMA synchronous", other));  // FULL
}

}  // namespace
