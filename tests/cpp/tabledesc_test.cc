#include "tabledesc.h"

#include <gtest/gtest.h>

#include "json.h"
#include "tabledesc_dict.h"
#include "value_debug.h"

namespace orvala {
namespace {

struct Entry {
    const char* key;
    RecordValue value;
};

RecordValue dict(std::initializer_list<Entry> entries) {
    TableRecord rec;
    for (const auto& e : entries) rec.set(e.key, e.value);
    return rec;
}

RecordValue int_array(std::vector<int32_t> v) {
    uint32_t n = static_cast<uint32_t>(v.size());
    return ArrayValue{{n}, ArrayData(std::move(v))};
}

std::vector<std::string> keys(const TableRecord& rec) {
    std::vector<std::string> out;
    for (const auto& f : rec.desc.fields) out.push_back(f.name);
    return out;
}

TEST(ColumnDescDict, MinimalDictTakesEveryDefault) {
    auto c = column_from_desc_dict("D", dict({{"valueType", std::string("double")}}));
    ASSERT_TRUE(c) << c.error().message();
    EXPECT_EQ(c->name, "D");
    EXPECT_EQ(c->kind, ColumnKind::Scalar);
    EXPECT_EQ(c->data_type, DataType::Double);
    EXPECT_EQ(c->data_manager_type, "StandardStMan");
    EXPECT_EQ(c->data_manager_group, "StandardStMan");
    EXPECT_EQ(c->option, 0);
    EXPECT_EQ(c->maxlen, 0);
    EXPECT_EQ(c->ndim, -1);
    EXPECT_FALSE(c->shape);
    EXPECT_EQ(c->comment, "");
    EXPECT_EQ(c->keywords, TableRecord{});
    EXPECT_EQ(c->default_value, RecordValue(0.0));
}

TEST(ColumnDescDict, EntriesAndSubstitutions) {
    struct Case {
        const char* what;
        RecordValue dict;
        ColumnKind kind;
        DataType type;
        std::optional<std::vector<int64_t>> shape;
        const char* manager;
    };
    RecordValue shape_43 = int_array({4, 3});
    const Case cases[] = {
        {"ndim without shape", dict({{"valueType", std::string("float")}, {"ndim", int32_t{2}}}), ColumnKind::Array,
         DataType::Float, std::nullopt, "StandardStMan"},
        {"shape in C order", dict({{"valueType", std::string("int")}, {"ndim", int32_t{2}}, {"shape", shape_43}}),
         ColumnKind::Array, DataType::Int, std::vector<int64_t>{3, 4}, "StandardStMan"},
        {"shape as an array record",
         dict({{"valueType", std::string("int")}, {"ndim", int32_t{2}}, {"shape", dict({{"shape", int_array({2})}, {"array", shape_43}})}}),
         ColumnKind::Array, DataType::Int, std::vector<int64_t>{3, 4}, "StandardStMan"},
        {"Int64 extents",
         dict({{"valueType", std::string("int")}, {"ndim", int32_t{1}},
               {"shape", ArrayValue{{1}, ArrayData(std::vector<int64_t>{5000000000})}}}),
         ColumnKind::Array, DataType::Int, std::vector<int64_t>{5000000000}, "StandardStMan"},
        {"empty JSON list as shape",
         dict({{"valueType", std::string("int")}, {"ndim", int32_t{1}}, {"shape", ArrayValue{{0}, ArrayData()}}}),
         ColumnKind::Array, DataType::Int, std::vector<int64_t>{}, "StandardStMan"},
        {"shape of another type is ignored",
         dict({{"valueType", std::string("int")}, {"ndim", int32_t{1}}, {"shape", std::string("3")}}),
         ColumnKind::Array, DataType::Int, std::nullopt, "StandardStMan"},
        {"TiledShapeStMan without shape",
         dict({{"valueType", std::string("complex")}, {"ndim", int32_t{2}}, {"dataManagerType", std::string("TiledShapeStMan")}}),
         ColumnKind::Array, DataType::Complex, std::nullopt, "StandardStMan"},
        {"TiledShapeStMan with shape",
         dict({{"valueType", std::string("complex")}, {"ndim", int32_t{2}}, {"shape", shape_43},
               {"dataManagerType", std::string("TiledShapeStMan")}}),
         ColumnKind::Array, DataType::Complex, std::vector<int64_t>{3, 4}, "TiledShapeStMan"},
        {"TiledCellStMan", dict({{"valueType", std::string("int")}, {"dataManagerType", std::string("TiledCellStMan")}}),
         ColumnKind::Scalar, DataType::Int, std::nullopt, "StandardStMan"},
        {"TSMExpStMan", dict({{"valueType", std::string("int")}, {"dataManagerType", std::string("TSMExpStMan")}}),
         ColumnKind::Scalar, DataType::Int, std::nullopt, "StandardStMan"},
        {"TSMBoundedStMan", dict({{"valueType", std::string("int")}, {"dataManagerType", std::string("TSMBoundedStMan")}}),
         ColumnKind::Scalar, DataType::Int, std::nullopt, "StandardStMan"},
        {"other managers kept",
         dict({{"valueType", std::string("int")}, {"dataManagerType", std::string("IncrementalStMan")}}),
         ColumnKind::Scalar, DataType::Int, std::nullopt, "IncrementalStMan"},
        {"empty manager", dict({{"valueType", std::string("int")}, {"dataManagerType", std::string("")}}),
         ColumnKind::Scalar, DataType::Int, std::nullopt, "StandardStMan"},
        {"record column", dict({{"valueType", std::string("record")}, {"ndim", int32_t{1}}}), ColumnKind::Record,
         DataType::Record, std::nullopt, "StandardStMan"},
        {"alias in upper case", dict({{"valueType", std::string("UCHAR")}}), ColumnKind::Scalar, DataType::UChar,
         std::nullopt, "StandardStMan"},
    };
    for (const auto& c : cases) {
        auto col = column_from_desc_dict("C", c.dict);
        ASSERT_TRUE(col) << c.what << ": " << col.error().message();
        EXPECT_EQ(col->kind, c.kind) << c.what;
        EXPECT_EQ(col->data_type, c.type) << c.what;
        EXPECT_EQ(col->shape, c.shape) << c.what;
        EXPECT_EQ(col->data_manager_type, c.manager) << c.what;
    }
}

TEST(ColumnDescDict, IntegerEntriesKeepTheirLow32Bits) {
    TableRecord kw;
    kw.set("QuantumUnits", ArrayValue{{1}, ArrayData(std::vector<std::string>{"m"})});
    auto c = column_from_desc_dict(
        "UVW", dict({{"valueType", std::string("double")},
                     {"option", int64_t{5}},
                     {"maxlen", int64_t{0x100000007}},
                     {"ndim", int32_t{1}},
                     {"comment", std::string("baseline")},
                     {"dataManagerGroup", std::string("Tiles")},
                     {"keywords", kw},
                     {"_c_order", true}}));
    ASSERT_TRUE(c) << c.error().message();
    EXPECT_EQ(c->option, 5);
    EXPECT_EQ(c->maxlen, 7);
    EXPECT_EQ(c->ndim, 1);
    EXPECT_EQ(c->comment, "baseline");
    EXPECT_EQ(c->data_manager_group, "Tiles");
    EXPECT_EQ(c->keywords, kw);
    // Entries of another type take their defaults.
    auto d = column_from_desc_dict("X", dict({{"valueType", std::string("int")}, {"option", 5.0}, {"comment", int32_t{1}},
                                              {"keywords", std::string("k")}}));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->option, 0);
    EXPECT_EQ(d->comment, "");
    EXPECT_EQ(d->keywords, TableRecord{});
}

TEST(ColumnDescDict, Errors) {
    struct Case {
        RecordValue dict;
        const char* message;
    };
    const Case cases[] = {
        {int32_t{5}, "column DATA: expected a desc dict, got Int(5)"},
        {std::string("x"), "column DATA: expected a desc dict, got String(\"x\")"},
        {dict({}), "column DATA: missing string valueType (None)"},
        {dict({{"valueType", int32_t{3}}}), "column DATA: missing string valueType (Some(Int(3)))"},
        {dict({{"valueType", std::string("foo")}}), "column DATA: bad valueType foo"},
        {dict({{"valueType", std::string("int")}, {"ndim", int32_t{2}}, {"shape", int_array({4, -1})}}),
         "column DATA: bad shape extent Int(-1) (expected a non-negative integer)"},
        {dict({{"valueType", std::string("int")},
               {"shape", ArrayValue{{2}, ArrayData(std::vector<double>{4.0, 2.5})}}}),
         "column DATA: bad shape extent Double(4.0) (expected a non-negative integer)"},
        {dict({{"valueType", std::string("int")}, {"shape", ArrayValue{{1}, ArrayData(std::vector<std::string>{"3"})}}}),
         "column DATA: bad shape extent String(\"3\") (expected a non-negative integer)"},
        {dict({{"valueType", std::string("int")}, {"shape", ArrayValue{{1}, ArrayData(std::vector<bool>{true})}}}),
         "column DATA: bad shape extent Bool(true) (expected a non-negative integer)"},
        {dict({{"valueType", std::string("int")},
               {"shape", dict({{"array", ArrayValue{{1}, ArrayData(std::vector<int64_t>{-5000000000})}}})}}),
         "column DATA: bad shape extent Int64(-5000000000) (expected a non-negative integer)"},
    };
    for (const auto& c : cases) {
        auto col = column_from_desc_dict("DATA", c.dict);
        ASSERT_FALSE(col) << c.message;
        EXPECT_EQ(col.error().message(), c.message);
    }
}

TEST(ColumnDescDict, OutputFormAndKindPreservingRoundTrip) {
    TableRecord kw;
    kw.set("unit", std::string("Jy"));
    struct Case {
        RecordValue in;
        std::vector<std::string> keys;
    };
    const std::vector<std::string> scalar_keys{"valueType", "dataManagerType", "dataManagerGroup", "option",
                                               "maxlen",    "comment",         "keywords"};
    const Case cases[] = {
        {dict({{"valueType", std::string("dcomplex")}, {"keywords", kw}, {"option", int32_t{1}}}), scalar_keys},
        {dict({{"valueType", std::string("record")}, {"comment", std::string("c")}}), scalar_keys},
        {dict({{"valueType", std::string("float")}, {"ndim", int32_t{2}}, {"shape", int_array({4, 3})},
               {"dataManagerType", std::string("TiledShapeStMan")}, {"dataManagerGroup", std::string("g")}}),
         {"valueType", "dataManagerType", "dataManagerGroup", "option", "maxlen", "comment", "ndim", "shape", "_c_order",
          "keywords"}},
        {dict({{"valueType", std::string("string")}, {"ndim", int32_t{-1}}, {"maxlen", int32_t{8}}}),
         {"valueType", "dataManagerType", "dataManagerGroup", "option", "maxlen", "comment", "ndim", "_c_order",
          "keywords"}},
    };
    for (const auto& c : cases) {
        auto col = column_from_desc_dict("C", c.in);
        ASSERT_TRUE(col) << col.error().message();
        TableRecord out = column_to_desc_dict(*col);
        EXPECT_EQ(keys(out), c.keys);
        auto back = column_from_desc_dict("C", out);
        ASSERT_TRUE(back) << back.error().message();
        EXPECT_EQ(*back, *col);
    }

    auto arr = column_from_desc_dict("A", cases[2].in);
    TableRecord out = column_to_desc_dict(*arr);
    EXPECT_EQ(*out.get("valueType"), RecordValue(std::string("float")));
    EXPECT_EQ(*out.get("ndim"), RecordValue(int32_t{2}));
    EXPECT_EQ(*out.get("shape"), RecordValue(ArrayValue{{2}, ArrayData(std::vector<int64_t>{4, 3})}));
    EXPECT_EQ(*out.get("_c_order"), RecordValue(true));
    EXPECT_EQ(*out.get("option"), RecordValue(int32_t{0}));
}

TEST(ColumnDescDict, TypeNames) {
    const std::pair<DataType, const char*> cases[] = {
        {DataType::Bool, "boolean"},  {DataType::Char, "uchar"},      {DataType::UChar, "uchar"},
        {DataType::Short, "short"},   {DataType::UShort, "ushort"},   {DataType::Int, "int"},
        {DataType::UInt, "uint"},     {DataType::Int64, "int64"},     {DataType::Float, "float"},
        {DataType::Double, "double"}, {DataType::Complex, "complex"}, {DataType::DComplex, "dcomplex"},
        {DataType::String, "string"}, {DataType::Record, "record"},   {DataType::Table, "unknown"},
        {DataType::ArrayInt, "unknown"},
    };
    for (const auto& [type, name] : cases) {
        EXPECT_STREQ(desc_type_name(type), name);
        if (std::string_view(name) != "unknown" && type != DataType::Char) {
            auto c = column_from_desc_dict("C", dict({{"valueType", std::string(name)}}));
            ASSERT_TRUE(c) << name;
            EXPECT_EQ(c->data_type, type);
            if (type != DataType::Record) {
                EXPECT_EQ(c->default_value, zero_value(type)) << name;
            }
        }
    }
}

TEST(ValueDebugForm, Forms) {
    const std::pair<RecordValue, const char*> cases[] = {
        {true, "Bool(true)"},
        {uint8_t{7}, "UChar(7)"},
        {int16_t{-2}, "Short(-2)"},
        {int64_t{-5}, "Int64(-5)"},
        {1.0f, "Float(1.0)"},
        {0.1, "Double(0.1)"},
        {1e21, "Double(1e21)"},
        {std::complex<double>(1, -2), "DComplex(1.0, -2.0)"},
        {std::string("a\"b\n"), "String(\"a\\\"b\\n\")"},
        {TableRef{"././ANTENNA"}, "Table(\"././ANTENNA\")"},
        {ArrayValue{{2}, ArrayData(std::vector<int32_t>{1, 2})}, "Array([2] Int([1, 2]))"},
        {dict({{"a", int32_t{1}}, {"b", std::string("x")}}), "Record({\"a\": Int(1), \"b\": String(\"x\")})"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(debug_form(value), text);
    EXPECT_EQ(debug_form_optional(nullptr), "None");
}

TEST(TableDescJson, ReadsATableDescriptionDict) {
    auto desc = TableDesc::from_desc_json(R"({
        "_keywords_": {"MS_VERSION": 2.0, "ANTENNA": "Table: /data/x.ms/ANTENNA"},
        "TIME": {"valueType": "double", "keywords": {"QuantumUnits": ["s"]}},
        "UVW": {"valueType": "double", "dataManagerType": "StandardStMan", "option": 5, "ndim": 1,
                "shape": [3], "_c_order": true,
                "keywords": {"QuantumUnits": ["m", "m", "m"], "MEASINFO": {"type": "uvw", "Ref": "ITRF"}}},
        "_define_hypercolumn_": {"Tiles": {"HCndim": 3}},
        "FLAG": {"valueType": "BOOLEAN", "ndim": 2, "shape": {"shape": [2], "array": [4, 3]},
                 "dataManagerType": "TiledShapeStMan", "dataManagerGroup": "TiledFlag"},
        "_private_keywords_": {"p": 1}
    })");
    ASSERT_TRUE(desc) << desc.error().message();
    EXPECT_EQ(desc->name, "");
    ASSERT_EQ(desc->columns.size(), 3u);
    EXPECT_EQ(desc->columns[0].name, "TIME");
    EXPECT_EQ(desc->columns[0].kind, ColumnKind::Scalar);
    const ColumnDesc& uvw = desc->columns[1];
    EXPECT_EQ(uvw.kind, ColumnKind::Array);
    EXPECT_EQ(uvw.option, 5);
    EXPECT_EQ(uvw.shape, std::vector<int64_t>{3});
    EXPECT_TRUE(std::holds_alternative<TableRecord>(*uvw.keywords.get("MEASINFO")));
    EXPECT_EQ(*uvw.keywords.get("QuantumUnits"),
              RecordValue(ArrayValue{{3}, ArrayData(std::vector<std::string>{"m", "m", "m"})}));
    const ColumnDesc& flag = desc->columns[2];
    EXPECT_EQ(flag.data_type, DataType::Bool);
    EXPECT_EQ(flag.shape, (std::vector<int64_t>{3, 4}));
    EXPECT_EQ(flag.data_manager_type, "TiledShapeStMan");
    EXPECT_EQ(flag.data_manager_group, "TiledFlag");
    EXPECT_EQ(*desc->keywords.get("MS_VERSION"), RecordValue(2.0));
    EXPECT_EQ(*desc->private_keywords.get("p"), RecordValue(int32_t{1}));
}

TEST(TableDescJson, EdgesAndErrors) {
    auto only_keywords = TableDesc::from_desc_json(R"({"_keywords_": {"a": "b"}})");
    ASSERT_TRUE(only_keywords);
    EXPECT_TRUE(only_keywords->columns.empty());
    EXPECT_EQ(only_keywords->keywords.size(), 1u);

    // Reserved keys whose values are not objects are skipped, not columns.
    auto reserved = TableDesc::from_desc_json(R"({"_keywords_": 3, "_private_keywords_": [1]})");
    ASSERT_TRUE(reserved);
    EXPECT_TRUE(reserved->columns.empty());
    EXPECT_EQ(reserved->keywords, TableRecord{});

    const std::pair<const char*, const char*> errors[] = {
        {R"({"A": {"valueType": "int"}, "B": 5})", "column B: expected a desc dict, got Int(5)"},
        {R"({"DATA": {"valueType": "foo"}})", "column DATA: bad valueType foo"},
        {R"({"DATA": {"ndim": 1}})", "column DATA: missing string valueType (None)"},
        {R"({"DATA": {"valueType": "int", "ndim": 2, "shape": [4, "3"]}})", "JSON: mixed-type array in keyword"},
        {R"({"DATA": {"valueType": "int", "ndim": 2, "shape": [4.0, 2.5]}})",
         "column DATA: bad shape extent Double(4.0) (expected a non-negative integer)"},
        {R"({"DATA": {"valueType": "int", "ndim": 1, "shape": [-3]}})",
         "column DATA: bad shape extent Int(-3) (expected a non-negative integer)"},
        {R"({"DATA": })", "JSON: unexpected value start }"},
        // Found by fuzzing: a manager name with bytes that are not UTF-8 was
        // accepted and written into a table.dat that could not be read.
        {"{\"DATA\":{\"valueType\":\"int\",\"dataManagerType\":\"Tiled\x94\x8bStMan\"}}",
         "JSON: text is not valid UTF-8"},
    };
    for (const auto& [json, message] : errors) {
        auto d = TableDesc::from_desc_json(json);
        ASSERT_FALSE(d) << json;
        EXPECT_EQ(d.error().message(), message);
    }
}

// What the Python layer does: description -> dict -> JSON text -> description.
TEST(TableDescJson, DictFormRoundTripThroughJson) {
    TableDesc d;
    d.keywords.set("MS_VERSION", 2.0);
    auto scalar = column_from_desc_dict("TIME", dict({{"valueType", std::string("double")}, {"comment", std::string("t")}}));
    auto array = column_from_desc_dict(
        "DATA", dict({{"valueType", std::string("complex")}, {"ndim", int32_t{2}}, {"shape", int_array({4, 3})},
                      {"dataManagerType", std::string("TiledShapeStMan")}, {"option", int32_t{4}}}));
    auto var = column_from_desc_dict("VAR", dict({{"valueType", std::string("float")}, {"ndim", int32_t{-1}}}));
    auto rec = column_from_desc_dict("REC", dict({{"valueType", std::string("record")}}));
    for (auto* c : {&scalar, &array, &var, &rec}) {
        ASSERT_TRUE(*c);
        d.columns.push_back(**c);
    }
    TableRecord dict_form = table_to_desc_dict(d);
    EXPECT_EQ(keys(dict_form), (std::vector<std::string>{"TIME", "DATA", "VAR", "REC", "_keywords_",
                                                         "_private_keywords_", "_define_hypercolumn_"}));
    auto back = TableDesc::from_desc_json(dict_form.to_json_string_ctx());
    ASSERT_TRUE(back) << back.error().message();
    ASSERT_EQ(back->columns.size(), d.columns.size());
    for (size_t i = 0; i < d.columns.size(); ++i) EXPECT_EQ(back->columns[i], d.columns[i]) << d.columns[i].name;
    // The JSON form cannot tell 2.0 from 2; the keyword comes back as Int.
    EXPECT_EQ(*back->keywords.get("MS_VERSION"), RecordValue(int32_t{2}));
}

}  // namespace
}  // namespace orvala
