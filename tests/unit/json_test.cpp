#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "json/json.h"

namespace kelto {
namespace {

std::u16string roundTrip(std::u16string_view text) {
  auto value = JsonValue::parse(text);
  return value ? JsonValue::serialize(*value) : u"<null>";
}

double number(std::u16string_view text) {
  auto value = JsonValue::parse(text);
  EXPECT_TRUE(value && value->isNumber()) << std::string(text.begin(), text.end());
  return value && value->isNumber() ? value->asNumber() : std::nan("");
}

TEST(JsonSerializer, EscapesOnlyWhatJsonNeeds) {
  EXPECT_EQ(JsonValue::serialize(JsonValue(u"/\"\\")), u"\"\\/\\\"\\\\\"");
  EXPECT_EQ(JsonValue::serialize(JsonValue(u"\b\f\n\r\t")), u"\"\\b\\f\\n\\r\\t\"");
  // Non-ASCII text, DEL and valid surrogate pairs stay raw.
  EXPECT_EQ(JsonValue::serialize(JsonValue(u"\u00e9\u041f\x7f\U0001F600")),
            u"\"\u00e9\u041f\x7f\U0001F600\"");
  // Control characters without a short escape and lone surrogates would make
  // the reply invalid: they get lowercase \u escapes.
  const std::u16string lone = {u'a', 0xD800, u'b', 0xDC00, 0xDBFF, 0x01, 0x1F, 0x00};
  EXPECT_EQ(JsonValue::serialize(JsonValue(lone)),
            u"\"a\\ud800b\\udc00\\udbff\\u0001\\u001f\\u0000\"");
}

TEST(JsonSerializer, NumbersFollowFifteenDigitRuleWithThreeDigitExponent) {
  const double inf = std::numeric_limits<double>::infinity();
  JsonArray numbers;
  for (double d :
       {1.0, 0.5, 0.1, -2.25, 1234567890123.0, 0.00001, 1e21, 1e300, 123456789012345678.0,
        9007199254740992.0, 999999999999999.0, -0.0, std::nan(""), inf, -inf})
    numbers.emplace_back(d);
  EXPECT_EQ(JsonValue::serialize(JsonValue(std::move(numbers))),
            u"[1,0.5,0.1,-2.25,1234567890123,1e-005,1e+021,1e+300,1.23456789012346e+017,"
            u"9.00719925474099e+015,999999999999999,-0,null,null,null]");
}

TEST(JsonModel, DeepCopyOutlivesSource) {
  auto source = JsonValue::parse(u"{\"a\":{\"b\":[1,\"x\"]},\"c\":true}");
  ASSERT_TRUE(source);
  JsonValue copy(*source);
  source.reset();
  EXPECT_EQ(JsonValue::serialize(copy), u"{\"a\":{\"b\":[1,\"x\"]},\"c\":true}");
  EXPECT_EQ(copy.member(u"missing"), nullptr);
  EXPECT_EQ(JsonValue(u"text").member(u"a"), nullptr);
}

TEST(JsonParser, TakesExactlyOneCompleteValue) {
  for (const char16_t* text :
       {u"",         u"  \t\r\n",  u"{\"a\":1} x", u"truex",     u"012",
        u"-",        u"+1",        u".5",          u"1.",        u"1e",
        u"1e+",      u"\"a\nb\"",  u"\"\\x\"",     u"[1,]",      u"{\"a\":1,}",
        u"{a\":1}",  u"\ufeff{}",  u"\"abc",       u"\"\\u12\"", u"\"\\u12g4\"",
        u"[1 2]",    u"{\"a\" 1}", u"'a'",         u"nul",       u"[",
        u"{\"a\":1", u"{\"a\":1,", u"\"\\"}) {
    EXPECT_EQ(roundTrip(text), u"<null>") << std::string(text, text + 0);
  }
  // Blanks around tokens, literals in any letter case, raw tabs in strings;
  // a repeated key keeps its last value.
  EXPECT_EQ(roundTrip(u" {\"a\" : [ ] ,\"b\":{ }} "), u"{\"a\":[],\"b\":{}}");
  EXPECT_EQ(roundTrip(u"[TRUE,False,NULL]"), u"[true,false,null]");
  EXPECT_EQ(roundTrip(u"\"a\tb\""), u"\"a\\tb\"");
  EXPECT_EQ(roundTrip(u"{\"a\":1,\"a\":2}"), u"{\"a\":2}");
}

// Browsers write escapes with upper-case hex digits, this program lower-case.
TEST(JsonParser, StringEscapes) {
  auto value = JsonValue::parse(u"\"\\u00E9\\uD83d\\ude00\\ud800\\u0000\\/\\b\"");
  ASSERT_TRUE(value && value->isString());
  std::u16string expected = {0x00E9, 0xD83D, 0xDE00, 0xD800, 0x0000, u'/', u'\b'};
  EXPECT_EQ(value->asString(), expected);
}

TEST(JsonParser, NumbersAccumulateDigitByDigit) {
  EXPECT_EQ(number(u"0.3"), 3 * 0.1);
  EXPECT_NE(number(u"0.3"), 0.3);
  EXPECT_EQ(number(u"1.5e2"), 150.0);
  EXPECT_EQ(number(u"1E-2"), 1.0 / 10.0 / 10.0);
  EXPECT_EQ(number(u"12345.9"), 12345.0 + 9 * 0.1);
  EXPECT_TRUE(std::isinf(number(u"1e400")));
  EXPECT_EQ(number(u"1e-400"), 0.0);
  EXPECT_EQ(number(u"0e99999999999"), 0.0);
  double negativeZero = number(u"-0");
  EXPECT_EQ(negativeZero, 0.0);
  EXPECT_TRUE(std::signbit(negativeZero));
  EXPECT_EQ(number(u"-12"), -12.0);
}

TEST(JsonParser, TextEndsAtFirstNul) {
  EXPECT_EQ(roundTrip(std::u16string_view(u"{\"a\":1}\0garbage", 15)), u"{\"a\":1}");
  EXPECT_EQ(roundTrip(std::u16string(u"{\"a\":") + u'\0' + u"1}"), u"<null>");
}

TEST(JsonParser, NestingIsLimited) {
  std::u16string ok(JsonValue::kMaxDepth, u'[');
  ok.append(JsonValue::kMaxDepth, u']');
  EXPECT_NE(JsonValue::parse(ok), nullptr);
  std::u16string deep(JsonValue::kMaxDepth + 1, u'[');
  deep.append(JsonValue::kMaxDepth + 1, u']');
  EXPECT_EQ(JsonValue::parse(deep), nullptr);
  std::u16string hostile;
  for (int i = 0; i < 100000; ++i) hostile += i % 2 ? u"{\"a\":" : u"[";
  EXPECT_EQ(JsonValue::parse(hostile), nullptr);
}

TEST(JsonParser, OwnedTextGivesTheSameDocument) {
  const std::u16string big(200000, u'Q');
  for (const std::u16string& text :
       {u"{\"a\":\"" + big + u"\",\"b\":[1,\"x\"],\"c\":\"" + big + u"\"}",
        u"{\"a\":\"" + big + u"\\n\"}", u"[\"" + big + u"\" , 2 ]", u"\"" + big + u"\"",
        u"{\"a\":\"" + big + u"\" x}", u"{\"a\":\"" + big + u"\""}) {
    auto expected = JsonValue::parse(text);
    std::u16string owned = text;
    auto actual = JsonValue::parseOwned(std::move(owned));
    ASSERT_EQ(expected == nullptr, actual == nullptr);
    if (expected)
      EXPECT_EQ(JsonValue::serialize(*actual), JsonValue::serialize(*expected));
  }
}

}  // namespace
}  // namespace kelto
