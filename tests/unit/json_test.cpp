#include <gtest/gtest.h>

#include <string>

#include "support/Json.h"

namespace {

using Json::Value;

struct WriteCase {
  const char* name;
  Value value;
  std::string expected;
};

class JsonWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(JsonWrite, ProducesTheText) {
  const WriteCase& c = GetParam();
  const std::string written = Json::Write(c.value);
  EXPECT_EQ(written, c.expected);
  // Whatever the text held, the document reads back.
  Value back;
  std::string why;
  EXPECT_TRUE(Json::Parse(written, &back, &why)) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonWrite,
    ::testing::Values(
        WriteCase{"Null", Value(), "null"}, WriteCase{"True", Value::Bool(true), "true"},
        WriteCase{"NegativeInteger", Value::Integer(-42), "-42"},
        WriteCase{"LargestInteger", Value::Integer(INT64_MAX), "9223372036854775807"},
        WriteCase{"Fraction", Value::Number(1.5), "1.5"},
        WriteCase{"TenthIsShort", Value::Number(0.1), "0.1"},
        WriteCase{"NotFiniteIsNull", Value::Number(1.0 / 0.0), "null"},
        WriteCase{"QuoteAndBackslash", Value::String("a\"b\\c"), "\"a\\\"b\\\\c\""},
        WriteCase{"LineEndsAndTab", Value::String("a\nb\r\tc"), "\"a\\nb\\r\\tc\""},
        WriteCase{"ControlBytes", Value::String(std::string("\x01\x1f\x7f\0z", 5)), "\"\\u0001\\u001f\\u007f\\u0000z\""},
        WriteCase{"ValidUtf8Kept", Value::String("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
                  "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
        WriteCase{"StrayContinuationReplaced", Value::String("a\x80z"), "\"a\xEF\xBF\xBDz\""},
        WriteCase{"Latin1ByteReplaced", Value::String("caf\xE9"), "\"caf\xEF\xBF\xBD\""},
        WriteCase{"OverlongReplaced", Value::String("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        WriteCase{"SurrogateReplaced", Value::String("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        WriteCase{"CutSequenceReplaced", Value::String("\xE2\x82"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        WriteCase{"AboveUnicodeReplaced", Value::String("\xF4\x90\x80\x80"),
                  "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        WriteCase{"ObjectKeepsOrder",
                  Value::Object().Set("z", Value::Integer(1)).Set("a", Value::Array().Append(Value()).Append(Value::Bool(false))),
                  "{\"z\":1,\"a\":[null,false]}"},
        WriteCase{"SetReplacesInPlace",
                  Value::Object().Set("a", Value::Integer(1)).Set("b", Value()).Set("a", Value::String("x")),
                  "{\"a\":\"x\",\"b\":null}"},
        WriteCase{"KeysEscapedToo", Value::Object().Set("k\n\xFF", Value::Integer(0)), "{\"k\\n\xEF\xBF\xBD\":0}"},
        WriteCase{"EmptyContainers", Value::Object().Set("a", Value::Array()).Set("o", Value::Object()),
                  "{\"a\":[],\"o\":{}}"}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

struct ParseCase {
  const char* name;
  std::string text;
  bool accepted;
  std::string rewritten;  // Write of what was read, when accepted; the fault's words, when not
};

class JsonParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(JsonParse, ReadsOrRefuses) {
  const ParseCase& c = GetParam();
  Value value;
  std::string why;
  const bool accepted = Json::Parse(c.text, &value, &why);
  ASSERT_EQ(accepted, c.accepted) << why;
  if (accepted) {
    EXPECT_EQ(Json::Write(value), c.rewritten);
  } else {
    EXPECT_NE(why.find(c.rewritten), std::string::npos) << why;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonParse,
    ::testing::Values(
        ParseCase{"Record", " {\"serial\":\"0000ABCD\",\"build\":7,\"after\":null,\"ok\":true,\"t\":2.5}\n", true,
                  "{\"serial\":\"0000ABCD\",\"build\":7,\"after\":null,\"ok\":true,\"t\":2.5}"},
        ParseCase{"NestedArrays", "[[1,[2,[]]],{}]", true, "[[1,[2,[]]],{}]"},
        ParseCase{"Escapes", "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\"", true, "\"\\\"\\\\/\\b\\f\\n\\r\\t\xC3\xA9\""},
        ParseCase{"SurrogatePair", "\"\\ud83d\\ude00\"", true, "\"\xF0\x9F\x98\x80\""},
        ParseCase{"EscapedNulKept", "\"a\\u0000b\"", true, "\"a\\u0000b\""},
        ParseCase{"Exponent", "[-0,1e3,-2.5E-1]", true, "[0,1e+03,-0.25]"},
        ParseCase{"IntegerBeyond64BitsIsNumber", "18446744073709551616", true, "1.8446744073709552e+19"},
        ParseCase{"Empty", "", false, "cut short"},
        ParseCase{"OnlySpace", "  \n", false, "cut short"},
        ParseCase{"CutInObject", "{\"serial\":\"0000", false, "cut short"},
        ParseCase{"CutAfterColon", "{\"a\":", false, "cut short"},
        ParseCase{"CutInArray", "[1,2", false, "cut short"},
        ParseCase{"CutInEscape", "\"\\u00", false, "cut short"},
        ParseCase{"TrailingComma", "[1,2,]", false, "unexpected character"},
        ParseCase{"TrailingCommaInObject", "{\"a\":1,}", false, "member name expected"},
        ParseCase{"SingleQuotes", "{'a':1}", false, "member name expected"},
        ParseCase{"Comment", "[1]//x", false, "text after the document"},
        ParseCase{"TwoDocuments", "{} {}", false, "text after the document"},
        ParseCase{"LeadingZero", "012", false, "leading zero"},
        ParseCase{"BarePoint", "1.", false, "cut short"},
        ParseCase{"PointWithoutDigits", "[1.e5]", false, "digit expected"},
        ParseCase{"PlusSign", "+1", false, "unexpected character"},
        ParseCase{"HugeNumber", "1e400", false, "too large"},
        ParseCase{"MisspeltWord", "nul", false, "unknown word"},
        ParseCase{"RawLineEndInText", "\"a\nb\"", false, "control byte"},
        ParseCase{"InvalidUtf8InText", "\"caf\xE9\"", false, "invalid UTF-8"},
        ParseCase{"OverlongInText", "\"\xC0\xAF\"", false, "invalid UTF-8"},
        ParseCase{"LoneHighSurrogate", "\"\\ud83d\"", false, "lone high surrogate"},
        ParseCase{"LoneLowSurrogate", "\"\\ude00\"", false, "lone low surrogate"},
        ParseCase{"BadEscape", "\"\\x41\"", false, "bad escape"},
        ParseCase{"DuplicateMember", "{\"a\":1,\"a\":2}", false, "member named twice"},
        ParseCase{"Garbage", "\x89PNG\r\n", false, "unexpected character"},
        ParseCase{"MissingColon", "{\"a\" 1}", false, "':' expected"}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(JsonParseLimits, DepthAndSizeAreBounded) {
  const std::string deep32 = std::string(32, '[') + std::string(32, ']');
  const std::string deep33 = std::string(33, '[') + std::string(33, ']');
  std::string why;
  EXPECT_TRUE(Json::Parse(deep32, nullptr, &why)) << why;
  EXPECT_FALSE(Json::Parse(deep33, nullptr, &why));
  EXPECT_NE(why.find("nested too deep"), std::string::npos) << why;
  // Far deeper input is refused at the bound, not by running out of stack.
  EXPECT_FALSE(Json::Parse(std::string(100000, '['), nullptr, &why));

  Json::Limits small;
  small.maxBytes = 8;
  EXPECT_TRUE(Json::Parse("\"123456\"", nullptr, &why, small)) << why;
  EXPECT_FALSE(Json::Parse("\"1234567\"", nullptr, &why, small));
  EXPECT_NE(why.find("longer than 8 bytes"), std::string::npos) << why;
}

TEST(JsonParse, FaultNamesItsOffset) {
  std::string why;
  EXPECT_FALSE(Json::Parse("[1, 2, x]", nullptr, &why));
  EXPECT_EQ(why, "unexpected character at byte 7");
}

TEST(JsonParse, FailureLeavesTheTargetAsItWas) {
  Value value = Value::Integer(5);
  EXPECT_FALSE(Json::Parse("[1,", &value));
  EXPECT_EQ(value, Value::Integer(5));
}

TEST(JsonValue, AccessorsGiveZeroForAnotherType) {
  const Value text = Value::String("7");
  EXPECT_EQ(text.asInteger(), 0);
  EXPECT_FALSE(text.asBool());
  EXPECT_EQ(Value::Integer(7).asString(), "");
  EXPECT_EQ(Value::Integer(7).asNumber(), 7.0);
  EXPECT_EQ(Value::Integer(7).Find("a"), nullptr);
  EXPECT_TRUE(Value::IntegerOrNull(false, 3).isNull());
  EXPECT_EQ(Value::IntegerOrNull(true, 3), Value::Integer(3));
  EXPECT_TRUE(Value::StringOrNull("").isNull());
}

}  // namespace
