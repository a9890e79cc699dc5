#include "json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvala {
namespace {

TableRecord parse_ok(std::string_view text) {
    auto rec = parse_json_record(text);
    EXPECT_TRUE(rec) << text << ": " << rec.error().message();
    return rec ? *rec : TableRecord{};
}

RecordValue parse_one(const std::string& value_text) {
    auto rec = parse_ok("{\"v\":" + value_text + "}");
    return rec.values.empty() ? RecordValue() : rec.values[0];
}

TEST(JsonWrite, Numbers) {
    const std::pair<double, const char*> cases[] = {
        {1.0, "1"},
        {0.5, "0.5"},
        {-2.5, "-2.5"},
        {1e21, "1000000000000000000000"},
        {1e-7, "0.0000001"},
        {static_cast<double>(0.1f), "0.10000000149011612"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& [d, text] : cases) EXPECT_EQ(json_number(d), text);
    EXPECT_EQ(RecordValue(0.1f).to_json_string_ctx(), "0.10000000149011612");
    // The longest fixed forms still fit.
    EXPECT_EQ(json_number(std::numeric_limits<double>::denorm_min()).size(), 2u + 323u + 1u);
    EXPECT_EQ(json_number(std::numeric_limits<double>::max()).size(), 309u);
}

TEST(JsonWrite, EveryValueKind) {
    TableRecord sub;
    sub.set("x", int16_t{-3});
    TableRecord rec;
    rec.set("b", true);
    rec.set("u", uint8_t{255});
    rec.set("us", uint16_t{65535});
    rec.set("ui", uint32_t{4294967295u});
    rec.set("l", int64_t{-9000000000});
    rec.set("dc", std::complex<double>(1, -2));
    rec.set("c", std::complex<float>(0.5f, 0));
    rec.set("s", std::string("q\"\\\n\x01é"));
    rec.set("r", sub);
    rec.set("t", TableRef{"././ANTENNA"});
    rec.set("a", ArrayValue{{2, 1}, std::vector<int32_t>{1, 2}});
    rec.set("ab", ArrayValue{{2}, std::vector<bool>{true, false}});
    rec.set("ac", ArrayValue{{1}, std::vector<std::complex<float>>{{1, 2}}});
    rec.set("as", ArrayValue{{1}, std::vector<std::string>{"x"}});
    EXPECT_EQ(rec.to_json_string_ctx(),
              "{\"b\":true,\"u\":255,\"us\":65535,\"ui\":4294967295,\"l\":-9000000000,\"dc\":[1, -2],"
              "\"c\":[0.5, 0],\"s\":\"q\\\"\\\\\\u000a\\u0001é\",\"r\":{\"x\":-3},\"t\":\"././ANTENNA\","
              "\"a\":{\"shape\":[2,1],\"array\":[1,2]},\"ab\":{\"shape\":[2],\"array\":[true,false]},"
              "\"ac\":{\"shape\":[1],\"array\":[[1, 2]]},\"as\":{\"shape\":[1],\"array\":[\"x\"]}}");
    std::string ctx = "/data/x.ms";
    EXPECT_EQ(RecordValue(TableRef{"././ANTENNA"}).to_json_string_ctx(ctx), "\"Table: /data/x.ms/ANTENNA\"");
}

TEST(JsonWrite, FieldsAsManyAsBothListsHold) {
    TableRecord rec;
    rec.set("a", int32_t{1});
    rec.set("b", int32_t{2});
    rec.values.pop_back();
    EXPECT_EQ(rec.to_json_string_ctx(), "{\"a\":1}");
}

TEST(JsonRead, RoundTripsWhatTheWriterWrites) {
    TableRecord rec;
    rec.set("d", 1.0);
    rec.set("n", std::numeric_limits<double>::quiet_NaN());
    rec.set("p", std::numeric_limits<double>::infinity());
    rec.set("m", -std::numeric_limits<double>::infinity());
    rec.set("big", 1e21);
    rec.set("f", 0.25);
    rec.set("s", std::string("line\nfeed\ttab"));
    TableRecord sub;
    sub.set("deep", std::string("x"));
    rec.set("r", sub);
    auto back = parse_ok(rec.to_json_string_ctx());
    ASSERT_EQ(back.size(), rec.size());
    EXPECT_EQ(std::get<int32_t>(*back.get("d")), 1);  // 1.0 is written as 1
    EXPECT_TRUE(std::isnan(std::get<double>(*back.get("n"))));
    EXPECT_EQ(std::get<double>(*back.get("p")), std::numeric_limits<double>::infinity());
    EXPECT_EQ(std::get<double>(*back.get("m")), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(std::get<double>(*back.get("big")), 1e21);
    EXPECT_EQ(std::get<double>(*back.get("f")), 0.25);
    EXPECT_EQ(*back.get("s"), *rec.get("s"));
    EXPECT_EQ(*back.get("r"), *rec.get("r"));
    EXPECT_EQ(back.desc.fields[7].sub_desc, sub.desc);
}

TEST(JsonRead, NumberBoundaries) {
    EXPECT_EQ(parse_one("2147483647"), RecordValue(int32_t{2147483647}));
    EXPECT_EQ(parse_one("-2147483648"), RecordValue(int32_t{-2147483647 - 1}));
    EXPECT_EQ(parse_one("2147483648"), RecordValue(int64_t{2147483648}));
    EXPECT_EQ(parse_one("-9223372036854775808"), RecordValue(std::numeric_limits<int64_t>::min()));
    // Past 64 bits an integer reads as a Double.
    EXPECT_EQ(parse_one("9223372036854775808"), RecordValue(9223372036854775808.0));
    EXPECT_EQ(parse_one("1e3"), RecordValue(1000.0));
    EXPECT_EQ(parse_one("-0.5E-1"), RecordValue(-0.05));
    EXPECT_EQ(parse_one("1e999"), RecordValue(std::numeric_limits<double>::infinity()));
}

TEST(JsonRead, ValuesAndArrays) {
    EXPECT_EQ(parse_one("null"), RecordValue(std::string()));
    EXPECT_EQ(parse_one("false"), RecordValue(false));
    EXPECT_EQ(parse_one("\"\\u00e9\\u00E9\\/\\b\\f\\r\""), RecordValue(std::string("éé/\b\f\r")));
    EXPECT_EQ(parse_one("[1, 2]"), RecordValue(ArrayValue{{2}, std::vector<int32_t>{1, 2}}));
    EXPECT_EQ(parse_one("[1,4294967296]"), RecordValue(ArrayValue{{2}, std::vector<int64_t>{1, 4294967296}}));
    EXPECT_EQ(parse_one("[1.5,NaN]").kind(), RecordValue::Kind::Array);
    EXPECT_EQ(parse_one("[\"a\",null]"), RecordValue(ArrayValue{{2}, std::vector<std::string>{"a", ""}}));
    EXPECT_EQ(parse_one("[true]"), RecordValue(ArrayValue{{1}, std::vector<bool>{true}}));
    EXPECT_EQ(parse_one("[ ]"), RecordValue(ArrayValue{{0}, std::vector<std::string>{}}));
    // The array form of the writer reads back as a record of shape and array.
    auto arr = parse_one("{\"shape\":[2],\"array\":[1,2]}");
    ASSERT_EQ(arr.kind(), RecordValue::Kind::Record);
    EXPECT_EQ(std::get<TableRecord>(arr).desc.fields[1].data_type, DataType::ArrayInt);
}

TEST(JsonRead, MembersWhiteSpaceAndRepeats) {
    auto rec = parse_ok("\xA0\x85 {\t\"a\" :\r\n1 ,\v\"a\":\f\"x\"} \n");
    ASSERT_EQ(rec.size(), 2u);  // a repeated key adds a field
    EXPECT_EQ(rec.desc.fields[0].data_type, DataType::Int);
    EXPECT_EQ(rec.desc.fields[1].data_type, DataType::String);
    EXPECT_EQ(parse_ok("{}").size(), 0u);
}

TEST(JsonRead, ErrorMessages) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "JSON: expected `{`, found end"},
        {"[1]", "JSON: expected `{`, found `[`"},
        {"{\"a\" 1}", "JSON: expected `:`, found `1`"},
        {"{a:1}", "JSON: expected `\"`, found `a`"},
        {"{\"a\":1", "JSON: expected `,` or `}` in object, found end"},
        {"{\"a\":1 ]", "JSON: expected `,` or `}` in object, found ]"},
        {"{\"a\":[1 2]}", "JSON: expected `,` or `]` in array, found 2"},
        {"{\"a\":[1", "JSON: expected `,` or `]` in array, found end"},
        {"{\"a\":}", "JSON: unexpected value start }"},
        {"{\"a\":é}", "JSON: unexpected value start é"},
        {"{\"a\":", "JSON: unexpected value start end"},
        {"{\"a\":tru}", "JSON: expected `true`"},
        {"{\"a\":nul}", "JSON: expected `null`"},
        {"{\"a\":Nan}", "JSON: expected `NaN`"},
        {"{\"a\":-}", "JSON: bad number"},
        {"{\"a\":1-2}", "JSON: bad int"},
        {"{\"a\":1.2.3}", "JSON: bad float"},
        {"{\"a\":1e}", "JSON: bad float"},
        {"{\"a\":\"abc", "JSON: unterminated string"},
        {"{\"a\":\"a\nb\"}", "JSON: newline in string"},
        {"{\"a\":\"a\rb\"}", "JSON: newline in string"},
        {"{\"a\":\"a\x01\"}", "JSON: unescaped control char in string"},
        {"{\"a\":\"\\", "JSON: bad escape"},
        {"{\"a\":\"\\x\"}", "JSON: unknown escape"},
        {"{\"a\":\"\\u12", "JSON: bad \\u escape"},
        {"{\"a\":\"\\u12g4\"}", "JSON: bad \\u hex"},
        {"{\"a\":\"\\ud800\"}", "JSON: bad \\u"},
        {"{\"a\":[1, \"x\"]}", "JSON: mixed-type array in keyword"},
        {"{\"a\":[[1, 2], 3]}", "JSON: mixed-type array in keyword"},
        {"{\"a\":[\"x\", true]}", "JSON: mixed-type array in keyword"},
        {"{\"a\":[[1]]}", "JSON: mixed-type array in keyword"},
        {"{\"a\":\"\xff\"}", "JSON: string is not valid UTF-8"},
        {"{\"\xc3\":1}", "JSON: string is not valid UTF-8"},
        {"{\"x\":1}x", "trailing JSON after object"},
        {"{\"x\":1} {}", "trailing JSON after object"},
    };
    for (const auto& [text, message] : cases) {
        auto rec = parse_json_record(text);
        ASSERT_FALSE(rec) << text;
        EXPECT_EQ(rec.error().message(), message) << text;
    }
}

// Whole doubles are written without a fraction and complex elements as
// [re, im] pairs, so arrays of both read back with their values.
TEST(JsonRead, ReadsBackDoubleAndComplexArrays) {
    TableRecord rec;
    rec.set("d", RecordValue(ArrayValue{{3}, ArrayData(std::vector<double>{1.0, 2.5, -3.0})}));
    rec.set("c", RecordValue(ArrayValue{{2}, ArrayData(std::vector<std::complex<double>>{{1, -2}, {0.5, 4}})}));
    std::string text = rec.to_json_string_ctx();
    EXPECT_EQ(text, "{\"d\":{\"shape\":[3],\"array\":[1,2.5,-3]},\"c\":{\"shape\":[2],\"array\":[[1, -2],[0.5, 4]]}}");
    auto back = parse_json_record(text);
    ASSERT_TRUE(back) << back.error().message();
    const auto& d = std::get<TableRecord>(*back->get("d"));
    EXPECT_EQ(std::get<std::vector<double>>(std::get<ArrayValue>(*d.get("array")).data),
              (std::vector<double>{1.0, 2.5, -3.0}));
    const auto& c = std::get<TableRecord>(*back->get("c"));
    EXPECT_EQ(std::get<std::vector<std::complex<double>>>(std::get<ArrayValue>(*c.get("array")).data),
              (std::vector<std::complex<double>>{{1, -2}, {0.5, 4}}));
}

TEST(JsonRead, RestoresArraysOfRecordCells) {
    TableRecord inner;
    inner.set("m", RecordValue(ArrayValue{{2, 3}, ArrayData(std::vector<int32_t>{1, 2, 3, 4, 5, 6})}));
    TableRecord rec;
    rec.set("d", RecordValue(ArrayValue{{2}, ArrayData(std::vector<double>{1.0, 2.5})}));
    rec.set("inner", RecordValue(inner));
    rec.set("s", RecordValue(std::string("x")));
    auto back = parse_json_record(rec.to_json_string_ctx());
    ASSERT_TRUE(back);
    restore_json_arrays(*back);
    EXPECT_EQ(*back->get("d"), *rec.get("d"));
    EXPECT_EQ(*std::get<TableRecord>(*back->get("inner")).get("m"), *inner.get("m"));
    EXPECT_EQ(back->desc.fields[0].data_type, DataType::ArrayDouble);
    // A record that merely looks alike but whose shape does not fit stays a record.
    auto odd = parse_json_record("{\"r\":{\"shape\":[3],\"array\":[1,2]}}");
    ASSERT_TRUE(odd);
    restore_json_arrays(*odd);
    EXPECT_EQ(odd->get("r")->kind(), RecordValue::Kind::Record);
}

TEST(JsonRead, NestingIsBounded) {
    auto nested = [](int levels) {
        std::string text;
        for (int i = 1; i < levels; ++i) text += "{\"a\":";
        return text + "{}" + std::string(levels - 1, '}');
    };
    EXPECT_TRUE(parse_json_record(nested(200)));
    EXPECT_EQ(parse_json_record(nested(201)).error().message(), "JSON: nesting deeper than 200 levels");
    for (std::string deep : {std::string(100000, '['), std::string()}) {
        if (deep.empty())
            for (int i = 0; i < 100000; ++i) deep += "{\"a\":";
        auto rec = parse_json_record("{\"a\":" + deep);
        ASSERT_FALSE(rec);
        EXPECT_EQ(rec.error().message(), "JSON: nesting deeper than 200 levels");
    }
}

}  // namespace
}  // namespace orvala
