#include <string>

#include "flx.h"
#include "handlers/cache_handler.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

using flxtest::parse;
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
  const struct {
    const char* sn;
    const char* payload;
    const char* line;
  } cases[] = {
      {"", R"({"timezone":"UTC"})",
       "cache_handler_info:15 (euid=0)(pid=%d)(cache_handler_info:15)(Success)Failed "
       "[client_sn.empty()], err=Success\n\n"},
      {"SN-A", "{}",
       "cache_handler_info:16 (euid=0)(pid=%d)(cache_handler_info:16)(Success)"
       "Failed [data.empty()], err=Success\n\n"},
      {"SN-X", R"({"timezone":"UTC"})", "cache_handler_info:19 cannot get qx_id by SN-X"},
      {"SN-A", "[1, 2]", "cache_handler_info:25 KEVOFLXInfoJsonToStruct failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    flxtest::ClearLog();
    EXPECT_EQ(-1, infoCacheUpdate(c.sn, 0, parse(c.payload)));
    char line[256];
    snprintf(line, sizeof line, c.line, static_cast<int>(getpid()));
    EXPECT_EQ(std::vector<std::string>{line}, flxtest::LogTexts());
    EXPECT_EQ(0, flxtest::openDescriptorsOn(cacheDbPath()));
  }
  KEVOFLX_INFO info;
  EXPECT_GT(0, KEVOFLXInfoGet(a, &info));
}

}  // namespace
