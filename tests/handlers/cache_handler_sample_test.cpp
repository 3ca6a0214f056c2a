#include <string>

#include "handlers/cache_handler.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

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
  const struct {
    const char* sn;
    size_t quotes;
    size_t chars;  // serial number + data, quotes doubled
  } cases[] = {{"SN-0946", 0, 946}, {"SN-0947", 0, 947}, {"SN-0948", 0, 948},
               {"SN-Q946", 5, 946}, {"SN-Q947", 5, 947}, {"SN-Q948", 5, 948}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sn);
    flxtest::ClearLog();
    const std::string sn = c.sn;
    const std::string data =
        std::string(c.quotes, '\'') + std::string(c.chars - sn.size() - 2 * c.quotes, 'x');
    const bool fits = c.chars <= 947;
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

}  // namespace
