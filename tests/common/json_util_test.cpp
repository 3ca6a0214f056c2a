#include "common/json_util.h"

#include <gtest/gtest.h>

namespace {

// Readers convert as jsoncpp's as*() do, and fall back ("-" below) only where those throw.
TEST(JsonUtilTest, ReadersFollowJsonConversions) {
  // value: jsonU64 jsonI64 jsonU32 jsonI32 jsonBool | jsonText
  const char* cases[][2] = {
      {"5", "5 5 5 5 1|5"},
      {"-1", "- -1 - -1 1|-1"},
      {"4294967296", "4294967296 4294967296 - - 1|4294967296"},
      {"1.5", "1 1 1 1 1|1.5"},
      {"-2.5", "- -2 - -2 1|-2.5"},
      {"2147483647.5", "2147483647 2147483647 2147483647 - 1|2147483647.5"},
      {"1e300", "- - - - 1|1.0000000000000001e+300"},
      {"18446744073709551615", "18446744073709551615 - - - 1|18446744073709551615"},
      {"true", "1 1 1 1 1|true"},
      {"null", "0 0 0 0 0|"},
      {"\"7\"", "- - - - -|7"},
      {"{\"a\":1}", "- - - - -|-"},
      {"[1]", "- - - - -|-"},
  };
  for (const auto& c : cases) {
    Json::Value v;
    ASSERT_TRUE(flx::fromString(c[0], v));
    std::string got;
    auto add = [&got](bool ok, const std::string& text) {
      if (!got.empty()) got += ' ';
      got += ok ? text : "-";
    };
    bool ok = false;
    uint64_t u64 = flx::jsonU64(v, &ok);
    add(ok, std::to_string(u64));
    int64_t i64 = flx::jsonI64(v, &ok);
    add(ok, std::to_string(i64));
    uint32_t u32 = flx::jsonU32(v, &ok);
    add(ok, std::to_string(u32));
    int32_t i32 = flx::jsonI32(v, &ok);
    add(ok, std::to_string(i32));
    bool b = flx::jsonBool(v, &ok);
    add(ok, b ? "1" : "0");
    std::string text = flx::jsonText(v, &ok);
    got += "|" + (ok ? text : std::string("-"));
    EXPECT_EQ(c[1], got) << c[0];
  }
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
  // Neither a trailing comma nor a byte-order mark is accepted.
  for (const std::string& bad :
       {std::string(""), std::string("{\"a\":"), std::string(100000, '['),
        std::string("{\"vol\":[],}"), std::string("[1,]"), std::string("\xEF\xBB\xBF{}")}) {
    EXPECT_FALSE(flx::fromString(bad, untouched));
    EXPECT_EQ(Json::Value(7), untouched);
  }
}

}  // namespace
