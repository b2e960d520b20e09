#include "metadata/metadata_json.h"

#include <gtest/gtest.h>

#include <string>

#include "core/json_value.h"

namespace tamix {
namespace {

std::string Norm(std::string_view text, std::string_view id = "x") {
  return normalize_metadata(text, id);
}

std::string Double(double d) {
  std::string out;
  json::write_double(d, out);
  return out;
}

std::string Nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(NormalizeMetadata, SortsKeysByBytesAtEveryLevel) {
  EXPECT_EQ(Norm(R"({"b":1,"a":2})"), R"({"__id__":"x","a":2,"b":1})");
  EXPECT_EQ(Norm(R"({"Z":1})"), R"({"Z":1,"__id__":"x"})");
  EXPECT_EQ(Norm(R"({"o":{"y":[{"d":1,"c":2}],"x":null}})"),
            R"({"__id__":"x","o":{"x":null,"y":[{"c":2,"d":1}]}})");
}

TEST(NormalizeMetadata, IdReplacesAndRepeatedKeyKeepsLast) {
  EXPECT_EQ(Norm(R"({"__id__":"old"})", "new"), R"({"__id__":"new"})");
  EXPECT_EQ(Norm(R"({"a":1,"a":2})"), R"({"__id__":"x","a":2})");
}

TEST(NormalizeMetadata, InvalidTextBecomesIdOnlyObject) {
  for (const char* bad : {"", "not json", "{} x", "{\"a\":1,}", "[1,]", "01", "1.", ".5", "+1",
                          "\"\\x\"", "\"a\tb\"", "\"\\ud800\"", "1e400", "nul", "{\"a\" 1}"}) {
    EXPECT_EQ(Norm(bad), R"({"__id__":"x"})") << bad;
  }
}

TEST(NormalizeMetadata, NonObjectsStayUnchanged) {
  EXPECT_EQ(Norm("[3, 1, 2]"), "[3,1,2]");
  EXPECT_EQ(Norm(" \"s\" "), "\"s\"");
  EXPECT_EQ(Norm("42"), "42");
  EXPECT_EQ(Norm("true"), "true");
  EXPECT_EQ(Norm("null"), "null");
}

TEST(NormalizeMetadata, WhitespaceBetweenTokensIsDropped) {
  EXPECT_EQ(Norm(" {\r\n\t\"a\" : [ 1 , 2 ] } \n"), R"({"__id__":"x","a":[1,2]})");
}

TEST(NormalizeMetadata, NestingLimit) {
  EXPECT_EQ(Norm(Nested(127)), Nested(127));
  EXPECT_EQ(Norm(Nested(128)), R"({"__id__":"x"})");
}

TEST(NormalizeMetadata, StringEscapes) {
  EXPECT_EQ(Norm(R"("a\"b\\c\/d\b\f\n\r\t")"), R"("a\"b\\c/d\b\f\n\r\t")");
  EXPECT_EQ(Norm(R"("\u0001\u001f\u007f")"), "\"\\u0001\\u001f\x7f\"");
  EXPECT_EQ(Norm(R"("\u00e9\ud83d\ude00")"), "\"\xC3\xA9\xF0\x9F\x98\x80\"");
  EXPECT_EQ(Norm("{}", "q\"\n"), R"({"__id__":"q\"\n"})");
}

TEST(NormalizeMetadata, IntegersStayExact) {
  EXPECT_EQ(Norm("18446744073709551615"), "18446744073709551615");
  EXPECT_EQ(Norm("-9223372036854775808"), "-9223372036854775808");
  EXPECT_EQ(Norm("-0"), "-0.0");
  EXPECT_EQ(Norm("18446744073709551616"), "1.8446744073709552e19");
  EXPECT_EQ(Norm("-9223372036854775809"), "-9.223372036854776e18");
}

TEST(NormalizeMetadata, FloatsInShortestForm) {
  EXPECT_EQ(Norm("1.0"), "1.0");
  EXPECT_EQ(Norm("1e2"), "100.0");
  EXPECT_EQ(Norm("1.50"), "1.5");
  EXPECT_EQ(Norm("0.1"), "0.1");
  EXPECT_EQ(Norm("-2.5E-3"), "-0.0025");
  EXPECT_EQ(Norm("1e-400"), "0.0");
}

TEST(NormalizeMetadata, DoubleRangeEdges) {
  EXPECT_EQ(Norm("-1e-400"), "-0.0");
  EXPECT_EQ(Norm("2.5e-324"), "5e-324");
  EXPECT_EQ(Norm("1.7976931348623158e308"), "1.7976931348623157e308");
  EXPECT_EQ(Norm("1e-99999999999999999999"), "0.0");
  EXPECT_EQ(Norm("0." + std::string(400, '0') + "1e50"), "0.0");
  EXPECT_EQ(Norm("[1" + std::string(400, '0') + "e-50]"), R"({"__id__":"x"})");
  EXPECT_EQ(Norm("-1.7976931348623159e308"), R"({"__id__":"x"})");
  EXPECT_EQ(Norm("1e99999999999999999999"), R"({"__id__":"x"})");
}

TEST(WriteDouble, LayoutSwitchesAtTheSameExponents) {
  EXPECT_EQ(Double(1e15), "1000000000000000.0");
  EXPECT_EQ(Double(1e16), "1e16");
  EXPECT_EQ(Double(1.5e16), "1.5e16");
  EXPECT_EQ(Double(123456.789), "123456.789");
  EXPECT_EQ(Double(0.0001), "0.0001");
  EXPECT_EQ(Double(0.00001), "0.00001");
  EXPECT_EQ(Double(0.000001), "1e-6");
  EXPECT_EQ(Double(1.25e-7), "1.25e-7");
  EXPECT_EQ(Double(5e-324), "5e-324");
  EXPECT_EQ(Double(1.7976931348623157e308), "1.7976931348623157e308");
  EXPECT_EQ(Double(-0.0), "-0.0");
}

}  // namespace
}  // namespace tamix
