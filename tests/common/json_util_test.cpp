#include "common/json_util.h"

#include <gtest/gtest.h>

namespace {

// Readers take what fits their type and range, and fall back (never throw) on the rest.
TEST(JsonUtilTest, ReadersAcceptOnlyValuesThatFit) {
  // Which of jsonU64, jsonI64, jsonU32, jsonI32, jsonText, jsonBool accept the value.
  const char* cases[][2] = {
      {"5", "111101"},          {"-1", "010101"},        {"4294967296", "110001"},
      {"2147483648", "111001"}, {"3.0", "111101"},       {"1.5", "000000"},
      {"true", "111101"},       {"\"7\"", "000010"},     {"18446744073709551615", "100001"},
      {"null", "000000"},       {"{\"a\":1}", "000000"}, {"[1]", "000000"},
  };
  for (const auto& c : cases) {
    Json::Value v;
    ASSERT_TRUE(flx::fromString(c[0], v));
    bool ok[6];
    flx::jsonU64(v, &ok[0]);
    flx::jsonI64(v, &ok[1]);
    flx::jsonU32(v, &ok[2]);
    flx::jsonI32(v, &ok[3]);
    flx::jsonText(v, &ok[4]);
    flx::jsonBool(v, &ok[5]);
    std::string got;
    for (bool b : ok) got += b ? '1' : '0';
    EXPECT_EQ(c[1], got) << c[0];
  }
  EXPECT_EQ(0u, flx::jsonU32(Json::Value(-3)));
}

TEST(JsonUtilTest, TextAndMembersNeverThrow) {
  Json::Value obj;
  EXPECT_TRUE(flx::fromString("// comments are allowed\n[1 /* here too */]", obj));
  ASSERT_TRUE(flx::fromString("{\"a\":[1, 2], \"s\":\"x\"}", obj));
  EXPECT_EQ("{\"a\":[1,2],\"s\":\"x\"}", flx::toString(obj));
  EXPECT_EQ(2, flx::jsonAt(flx::jsonMember(obj, "a"), 1).asInt());
  EXPECT_TRUE(flx::jsonAt(flx::jsonMember(obj, "a"), 2).isNull());
  EXPECT_TRUE(flx::jsonMember(flx::jsonMember(obj, "s"), "x").isNull());
  EXPECT_FALSE(flx::jsonHas(flx::jsonMember(obj, "s"), "x"));
  Json::Value untouched(7);
  for (const std::string& bad :
       {std::string(""), std::string("{\"a\":"), std::string(100000, '[')}) {
    EXPECT_FALSE(flx::fromString(bad, untouched));
    EXPECT_EQ(Json::Value(7), untouched);
  }
}

}  // namespace
