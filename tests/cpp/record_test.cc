#include "record.h"

#include <gtest/gtest.h>

#include <functional>

#include "test_bytes.h"

namespace orvala {
namespace {

using test::hex;

std::vector<uint8_t> bytes_of(const std::function<void(Writer&)>& fill, bool le = false) {
    Writer w(le);
    fill(w);
    return w.take();
}

// ---- arrays ----

TEST(RecordArray, BoolArrayOfNineIsTwoBytes) {
    std::vector<bool> bits(9, false);
    bits[1] = bits[8] = true;
    auto bytes = bytes_of([&](Writer& w) { write_array_value(w, std::vector<uint32_t>{9}, ArrayData(bits)); });
    auto expected = hex("00000025 0000000B 41727261793C766F69643E 00000003"
                        "00000001 00000009 00000009 02 01");
    EXPECT_EQ(bytes, expected);
    Reader r(bytes, false);
    auto a = read_array(r, DataType::Bool);
    ASSERT_TRUE(a) << a.error().message();
    EXPECT_EQ(a->shape, std::vector<uint32_t>{9});
    EXPECT_EQ(std::get<std::vector<bool>>(a->data), bits);
}

TEST(RecordArray, Version2OriginIsSkipped) {
    // "Array<Int>" v2: ndim 2, extents 2 1, origin 5 6, count 2, elements 7 -1.
    auto bytes = hex("00000034 0000000A 41727261793C496E743E 00000002"
                     "00000002 00000002 00000001 00000005 00000006 00000002 00000007 FFFFFFFF");
    Reader r(bytes, false);
    auto a = read_array(r, DataType::Int);
    ASSERT_TRUE(a) << a.error().message();
    EXPECT_EQ(a->shape, (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(std::get<std::vector<int32_t>>(a->data), (std::vector<int32_t>{7, -1}));
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(RecordArray, EveryElementTypeRoundTripsInBothOrders) {
    const ArrayData cases[] = {
        std::vector<uint8_t>{0, 255},
        std::vector<int16_t>{-2, 300},
        std::vector<uint16_t>{65535, 1},
        std::vector<int32_t>{-7, 1 << 30},
        std::vector<uint32_t>{0xFFFFFFFF, 2},
        std::vector<int64_t>{-1, int64_t{1} << 40},
        std::vector<float>{1.5f, -0.0f},
        std::vector<double>{1e300, -2.5},
        std::vector<std::complex<float>>{{1, -1}, {0.5f, 2}},
        std::vector<std::complex<double>>{{1, -2}, {3, 4}},
        std::vector<std::string>{"", "é"},
    };
    for (bool le : {false, true}) {
        for (const auto& data : cases) {
            auto bytes = bytes_of([&](Writer& w) { write_array_value(w, std::vector<uint32_t>{2}, data); }, le);
            Reader r(bytes, le);
            auto a = read_array(r, data.element_type());
            ASSERT_TRUE(a) << a.error().message();
            EXPECT_EQ(a->data, data) << data_type_name(data.element_type());
            EXPECT_EQ(r.remaining(), 0u);
        }
    }
}

TEST(RecordArray, Errors) {
    struct Case {
        const char* name;
        std::string bytes;
        DataType element;
        std::string message;
    };
    const Case cases[] = {
        // The element count must be the product of the extents.
        {"count not product", "00000028 0000000A 41727261793C496E743E 00000003 00000002 00000002 00000001 00000003 00000007 00000008 00000009", DataType::Int,
         "array element count 3 does not match shape [2, 1]"},
        {"no extents but elements", "00000020 0000000A 41727261793C496E743E 00000003 00000000 00000001 00000007", DataType::Int,
         "array element count 1 does not match shape []"},
        // A huge count fails on the bytes left, before any allocation.
        {"huge count", "00000022 0000000A 41727261793C496E743E 00000003 00000001 7FFFFFFF 7FFFFFFF", DataType::Double,
         "buffer too short: need 17179869176 bytes at offset 34, have 34"},
        {"huge string count", "00000022 0000000A 41727261793C496E743E 00000003 00000001 7FFFFFFF 7FFFFFFF", DataType::String,
         "buffer too short: need 8589934588 bytes at offset 34, have 34"},
        {"huge ndim", "0000001A 0000000A 41727261793C496E743E 00000003 FFFFFFFF", DataType::Int,
         "buffer too short: need 17179869180 bytes at offset 26, have 26"},
        {"not an array", "00000015 00000005 426C6F636B 00000001 00000000", DataType::Int,
         "unexpected object type at offset 17: expected \"Array<...>\", found \"Block\""},
        {"no array storage", "0000001C 0000000A 41727261793C496E743E 00000003 00000000 00000000", DataType::Record,
         "unknown DataType value 25"},
    };
    for (const auto& c : cases) {
        auto bytes = hex(c.bytes);
        Reader r(bytes, false);
        auto a = read_array(r, c.element);
        ASSERT_FALSE(a) << c.name;
        EXPECT_EQ(a.error().message(), c.message) << c.name;
        EXPECT_EQ(r.position(), 0u) << c.name;
    }
}

// ---- records ----

// A record with a fixed sub-record f = {x: Int 7} and a variable one
// v = {s: String "a"}, big-endian, written out by hand.
const char* const kNestedRecord =
    "000000DB 0000000B 5461626C655265636F7264 00000001"   // TableRecord v1, 219 bytes
    "00000075 0000000A 5265636F726444657363 00000002"     // RecordDesc v2, 117 bytes
    "00000002"                                            // two fields
    "00000001 66 00000019"                                // f: Record
    "  00000027 0000000A 5265636F726444657363 00000002"   //   sub-desc, 39 bytes
    "  00000001 00000001 78 00000005 00000000"            //   x: Int, no comment
    "  00000000"                                          // f's comment
    "00000001 76 00000019"                                // v: Record
    "  0000001A 0000000A 5265636F726444657363 00000002 00000000"  // no fields: variable
    "  00000000"
    "00000001"                                            // record type
    "00000007"                                            // f's bare value x
    "00000047 0000000B 5461626C655265636F7264 00000001"   // v: a complete TableRecord
    "  00000027 0000000A 5265636F726444657363 00000002"
    "  00000001 00000001 73 0000000B 00000000"            //   s: String
    "  00000001 00000001 61";                            //   type, "a"

TEST(Record, FixedAndVariableSubRecordsByteExact) {
    auto bytes = hex(kNestedRecord);
    Reader r(bytes, false);
    auto rec = TableRecord::read(r);
    ASSERT_TRUE(rec) << rec.error().message();
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(rec->record_type, 1);
    ASSERT_EQ(rec->size(), 2u);
    const auto& f = std::get<TableRecord>(*rec->get("f"));
    EXPECT_EQ(std::get<int32_t>(*f.get("x")), 7);
    const auto& v = std::get<TableRecord>(*rec->get("v"));
    EXPECT_EQ(std::get<std::string>(*v.get("s")), "a");
    EXPECT_EQ(v.record_type, 1);

    Writer w(false);
    ASSERT_TRUE(write_table_record(w, *rec));
    EXPECT_EQ(w.take(), bytes);
}

TEST(Record, ScalarFieldsRoundTripWithTheirExtras) {
    TableRecord rec;
    rec.record_type = 1;
    rec.set("b", true);
    rec.set("u", uint8_t{200});
    rec.set("s", int16_t{-3});
    rec.set("us", uint16_t{65000});
    rec.set("i", int32_t{-5});
    rec.set("ui", uint32_t{4000000000u});
    rec.set("l", int64_t{-1} << 40);
    rec.set("f", 0.25f);
    rec.set("d", -1e-300);
    rec.set("c", std::complex<float>(1, 2));
    rec.set("dc", std::complex<double>(3, -4));
    rec.set("str", std::string("text"));
    rec.set("t", TableRef{"././ANTENNA"});
    rec.set("arr", ArrayValue{{2, 2}, std::vector<double>{1, 2, 3, 4}});
    rec.desc.fields[rec.desc.find("arr")].shape = std::vector<int64_t>{2, 2};
    rec.desc.fields[rec.desc.find("t")].table_desc_name = "ANTENNA";
    rec.desc.fields[rec.desc.find("i")].comment = "a comment";
    for (bool le : {false, true}) {
        Writer w(le);
        ASSERT_TRUE(write_table_record(w, rec));
        auto bytes = w.take();
        Reader r(bytes, le);
        auto back = TableRecord::read(r);
        ASSERT_TRUE(back) << back.error().message();
        EXPECT_EQ(*back, rec);
    }
}

TEST(Record, RepeatedFieldNamesWriteTheirOwnValues) {
    // Each field is written with its own value, so the stream reads back
    // as written (not the first value of that name under both types).
    TableRecord rec;
    for (auto [type, value] : {std::pair<DataType, RecordValue>{DataType::ArrayInt, ArrayValue{{1}, std::vector<int32_t>{7}}},
                               {DataType::ArrayDouble, ArrayValue{{2}, std::vector<double>{1, 2}}}}) {
        rec.desc.fields.push_back(RecordDescField{});
        rec.desc.fields.back().name = "a";
        rec.desc.fields.back().data_type = type;
        rec.values.push_back(value);
    }
    Writer w(false);
    ASSERT_TRUE(write_table_record(w, rec));
    auto bytes = w.take();
    Reader r(bytes, false);
    auto back = TableRecord::read(r);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(back->values, rec.values);
}

TEST(Record, CharKeywordReadsAsUCharAndKeepsItsByte) {
    // RecordDesc v1 (no comments), one Char field; record type 0; value 0xF0.
    auto bytes = hex("00000036 0000000B 5461626C655265636F7264 00000001"
                     "00000023 0000000A 5265636F726444657363 00000001 00000001 00000001 63 00000001"
                     "00000000 F0");
    Reader r(bytes, false);
    auto rec = TableRecord::read(r);
    ASSERT_TRUE(rec) << rec.error().message();
    EXPECT_EQ(rec->desc.fields[0].data_type, DataType::Char);
    EXPECT_EQ(rec->desc.fields[0].comment, "");
    EXPECT_EQ(std::get<uint8_t>(*rec->get("c")), 0xF0);
    Writer w(false);
    ASSERT_TRUE(write_table_record(w, *rec));
    auto out = w.take();
    EXPECT_EQ(out.back(), 0xF0);
}

TEST(Record, NonPositiveFieldCountIsEmpty) {
    for (const char* count : {"00000000", "FFFFFFFF"}) {
        auto bytes = hex(std::string("0000001A 0000000A 5265636F726444657363 00000002 ") + count);
        Reader r(bytes, false);
        auto d = RecordDesc::read(r);
        ASSERT_TRUE(d);
        EXPECT_TRUE(d->fields.empty());
    }
}

TEST(Record, ReadErrors) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string message;
    };
    const Case cases[] = {
        {"legacy keyword set", "00000016 0000000A 4B6579776F7264536574 00000001 00",
         "unsupported legacy keyword set object \"KeywordSet\""},
        {"unknown type code",
         "00000036 0000000B 5461626C655265636F7264 00000001"
         "00000023 0000000A 5265636F726444657363 00000001 00000001 00000001 63 0000001F 00000000 00",
         "unknown DataType value 31"},
        {"quantity value",
         "00000036 0000000B 5461626C655265636F7264 00000001"
         "00000023 0000000A 5265636F726444657363 00000001 00000001 00000001 63 0000001B 00000000 00",
         "unknown DataType value 27"},
        // A field count that the remaining bytes cannot hold fails before allocating.
        {"huge field count",
         "0000002B 0000000B 5461626C655265636F7264 00000001"
         "00000018 0000000A 5265636F726444657363 00000002 7FFFFFFF 00",
         "buffer too short: need 17179869176 bytes at offset 49, have 50"},
    };
    for (const auto& c : cases) {
        auto bytes = hex(c.bytes);
        Reader r(bytes, false);
        auto rec = TableRecord::read(r);
        ASSERT_FALSE(rec) << c.name;
        EXPECT_EQ(rec.error().message(), c.message) << c.name;
    }
}

TEST(Record, NestingIsBounded) {
    // Records nested `levels` deep, each a variable sub-record of the next.
    auto nested = [](int levels) {
        TableRecord rec;
        for (int i = 1; i < levels; ++i) {
            TableRecord outer;
            outer.set("r", rec);
            outer.desc.fields[0].sub_desc = RecordDesc{};
            rec = std::move(outer);
        }
        Writer w(false);
        EXPECT_TRUE(write_table_record(w, rec));
        return w.take();
    };
    auto ok = nested(200);
    Reader r(ok, false);
    EXPECT_TRUE(TableRecord::read(r));
    auto deep = nested(201);
    Reader rd(deep, false);
    EXPECT_EQ(TableRecord::read(rd).error().message(), "record nesting deeper than 200 levels");
}

RecordDescField field(const char* name, DataType type) {
    RecordDescField f;
    f.name = name;
    f.data_type = type;
    return f;
}

TEST(Record, WriteErrors) {
    auto with_field = [](DataType t, std::optional<RecordValue> v) {
        TableRecord rec;
        rec.desc.fields.push_back(field("a", t));
        if (t == DataType::Record) rec.desc.fields[0].sub_desc = RecordDesc{};
        if (v) rec.values.push_back(*v);
        return rec;
    };
    TableRecord fixed_sub;
    fixed_sub.desc.fields.push_back(field("x", DataType::Int));
    TableRecord fixed = with_field(DataType::Record, TableRecord{});
    fixed.desc.fields[0].sub_desc = fixed_sub.desc;
    TableRecord no_sub = with_field(DataType::Int, int32_t{1});
    no_sub.desc.fields[0].data_type = DataType::Record;

    const std::pair<TableRecord, std::string> cases[] = {
        {with_field(DataType::ArrayInt, int32_t{1}), "missing array value for a"},
        {with_field(DataType::Record, int32_t{1}), "missing record value"},
        {with_field(DataType::Int, std::nullopt), "missing field value"},
        {fixed, "missing nested value"},
        {no_sub, "missing sub-desc"},
    };
    for (const auto& [rec, message] : cases) {
        Writer w(false);
        auto res = write_table_record(w, rec);
        ASSERT_FALSE(res) << message;
        EXPECT_EQ(res.error().message(), message);
    }
}

TEST(Record, WriteScalarConversions) {
    struct Case {
        DataType type;
        RecordValue value;
        std::string bytes;  // big-endian
    };
    const Case cases[] = {
        {DataType::Bool, int32_t{5}, "01"},
        {DataType::Bool, uint8_t{0}, "00"},
        {DataType::Bool, 1.0, "00"},
        {DataType::UChar, int32_t{0x1FF}, "FF"},
        {DataType::Char, int16_t{-1}, "FF"},
        {DataType::UChar, true, "01"},
        {DataType::Short, int32_t{0x12345}, "2345"},
        {DataType::Short, uint16_t{0xFFFF}, "FFFF"},
        {DataType::UShort, uint32_t{0x10002}, "0002"},
        {DataType::UShort, int64_t{3}, "0000"},
        {DataType::Int, int16_t{-2}, "FFFFFFFE"},
        {DataType::Int, uint16_t{0xFFFF}, "0000FFFF"},
        {DataType::Int, uint32_t{7}, "00000000"},
        {DataType::UInt, int32_t{-1}, "FFFFFFFF"},
        {DataType::Int64, int32_t{-1}, "FFFFFFFFFFFFFFFF"},
        {DataType::Int64, uint32_t{1}, "0000000000000000"},
        {DataType::Float, 0.1, "3DCCCCCD"},
        {DataType::Double, 0.5f, "3FE0000000000000"},
        {DataType::Double, int32_t{1}, "0000000000000000"},
        {DataType::Complex, std::complex<double>(1, -2), "3F800000 C0000000"},
        {DataType::DComplex, std::complex<float>(1, 0), "3FF0000000000000 0000000000000000"},
        {DataType::String, TableRef{"t"}, "00000001 74"},
        {DataType::Table, std::string("u"), "00000001 75"},
        {DataType::String, int32_t{1}, "00000000"},
        {DataType::Other, int32_t{1}, ""},
    };
    for (const auto& c : cases) {
        Writer w(false);
        write_scalar_value(w, c.type, c.value);
        EXPECT_EQ(w.take(), hex(c.bytes)) << data_type_name(c.type) << " from kind " << int(c.value.kind());
    }
}

TEST(Record, SetGetRemove) {
    TableRecord rec;
    rec.set("a", int32_t{1});
    rec.desc.fields[0].comment = "kept";
    rec.set("a", 2.5);
    EXPECT_EQ(rec.desc.fields[0].data_type, DataType::Double);
    EXPECT_EQ(rec.desc.fields[0].comment, "kept");
    EXPECT_EQ(std::get<double>(*rec.get("a")), 2.5);

    TableRecord sub;
    sub.set("x", std::string("y"));
    rec.set("r", sub);
    EXPECT_EQ(rec.desc.fields[1].data_type, DataType::Record);
    EXPECT_EQ(rec.desc.fields[1].sub_desc, sub.desc);
    rec.set("arr", ArrayValue{{1}, std::vector<int64_t>{1}});
    EXPECT_EQ(rec.desc.fields[2].data_type, DataType::ArrayInt64);

    EXPECT_TRUE(rec.remove("a"));
    EXPECT_FALSE(rec.remove("a"));
    EXPECT_EQ(rec.get("a"), nullptr);
    EXPECT_EQ(rec.size(), 2u);
    EXPECT_EQ(rec.values.size(), 2u);
}

TEST(DataTypes, CodesNamesAndElementTypes) {
    EXPECT_EQ(*data_type_from_i32(30), DataType::ArrayInt64);
    EXPECT_EQ(data_type_from_i32(-1).error().message(), "unknown DataType value -1");
    EXPECT_STREQ(data_type_name(DataType::ArrayQuantity), "ArrayQuantity");
    EXPECT_STREQ(data_type_name(DataType::Int64), "Int64");
    EXPECT_EQ(element_type(DataType::ArrayInt64), DataType::Int64);
    EXPECT_EQ(element_type(DataType::ArrayChar), DataType::Char);
    EXPECT_EQ(array_type_of(DataType::String), DataType::ArrayString);
    EXPECT_FALSE(array_type_of(DataType::Record));
    EXPECT_TRUE(is_array_type(DataType::ArrayQuantity));
    EXPECT_FALSE(is_array_type(DataType::Record));
}

TEST(Paths, ResolveSubtable) {
    const std::pair<const char*, const char*> cases[] = {
        {"././ANTENNA", "/data/x.ms/ANTENNA"},
        {"./y.ms", "/data/y.ms"},
        {"x.ms/ANTENNA", "/data/x.ms/ANTENNA"},
        {"ANTENNA", "/data/x.ms/ANTENNA"},
        {"/abs/t", "/abs/t"},
        {"./././/abs/t", "/abs/t"},
        {"././a/../b", "/data/x.ms/b"},
    };
    for (const auto& [stored, path] : cases) EXPECT_EQ(resolve_subtable(stored, "/data/x.ms"), path) << stored;
    EXPECT_EQ(resolve_subtable("./y", "x.ms"), "y");  // no parent: "."
    EXPECT_EQ(lexical_normalize("/a/./b/../c"), "/a/c");
    EXPECT_EQ(lexical_normalize("/../a//b/"), "/a/b");
    EXPECT_EQ(lexical_normalize("../a"), "a");
}

TEST(NumpyNames, Lookups) {
    EXPECT_EQ(data_type_to_np(DataType::DComplex), "complex128");
    EXPECT_EQ(data_type_to_np(DataType::UChar), "uint8");
    EXPECT_FALSE(data_type_to_np(DataType::Char));
    EXPECT_FALSE(data_type_to_np(std::nullopt));
    EXPECT_EQ(np_kind_itemsize("i", 8), "int64");
    EXPECT_EQ(np_kind_itemsize("u", 1), "uint8");
    EXPECT_EQ(np_kind_itemsize("b", 1), "bool");
    EXPECT_EQ(np_kind_itemsize("c", 16), "complex128");
    EXPECT_FALSE(np_kind_itemsize("f", 2));
    EXPECT_FALSE(np_kind_itemsize("if", 4));
}

}  // namespace
}  // namespace orvala
