#include "table_dat.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "internal_error.h"
#include "test_bytes.h"

namespace orvala {
namespace {

using test::hex;

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

void put_u32_be(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Sets the length of the top-level object (after the magic) to cover the
// whole image.
std::vector<uint8_t> with_root_length(std::vector<uint8_t> bytes) {
    put_u32_be(bytes, 4, static_cast<uint32_t>(bytes.size() - 4));
    return bytes;
}

size_t find(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
    auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    EXPECT_NE(it, haystack.end());
    return static_cast<size_t>(it - haystack.begin());
}

std::string parse_error(std::span<const uint8_t> bytes) {
    auto dat = parse_table_dat(bytes);
    if (dat) return "parsed";
    return dat.error().message();
}

// ---- building a description with every kind of column ----

// A keyword record as the format stores it: array fields carry a (here
// empty) declared shape, Table fields a (here empty) description name.
TableRecord stored_form(TableRecord rec) {
    for (auto& f : rec.desc.fields) {
        if (is_array_type(f.data_type) && !f.shape) f.shape = std::vector<int64_t>{};
        if (f.data_type == DataType::Table && !f.table_desc_name) f.table_desc_name = "";
    }
    return rec;
}

TableRecord rich_keywords() {
    TableRecord inner;
    inner.set("unit", std::string("m"));
    inner.set("scale", 2.5);
    inner = stored_form(inner);

    TableRecord variable;  // a sub-record that carries its own description
    variable.set("flag", true);
    variable.set("values", ArrayValue{{3}, ArrayData(std::vector<int32_t>{1, -2, 3})});
    variable = stored_form(variable);

    TableRecord kw;
    kw.set("MS_VERSION", 2.0f);
    kw.set("ANTENNA", TableRef{"././ANTENNA"});
    kw.set("matrix", ArrayValue{{2, 3}, ArrayData(std::vector<double>{1, 2, 3, 4, 5, 6})});
    kw.set("names", ArrayValue{{2}, ArrayData(std::vector<std::string>{"a", "bc"})});
    kw.set("mask", ArrayValue{{9}, ArrayData(std::vector<bool>{1, 0, 0, 1, 0, 0, 0, 0, 1})});
    kw.set("MEASINFO", inner);
    kw.set("nested", variable);
    kw.desc.fields.back().sub_desc = RecordDesc{};
    kw.set("big", int64_t{-5000000000});
    kw.set("z", std::complex<double>(1, -2));
    return stored_form(kw);
}

ColumnDesc scalar_column(std::string name, DataType type, RecordValue deflt) {
    ColumnDesc c;
    c.name = std::move(name);
    c.data_manager_type = "StandardStMan";
    c.data_manager_group = "StandardStMan";
    c.data_type = type;
    c.kind = ColumnKind::Scalar;
    c.default_value = std::move(deflt);
    return c;
}

ColumnDesc array_column(std::string name, DataType type, std::vector<int64_t> shape) {
    ColumnDesc c;
    c.name = std::move(name);
    c.data_manager_type = "StandardStMan";
    c.data_manager_group = "StandardStMan";
    c.data_type = type;
    c.kind = ColumnKind::Array;
    c.ndim = shape.empty() ? -1 : static_cast<int32_t>(shape.size());
    c.shape = std::move(shape);
    return c;
}

TableDesc rich_desc() {
    TableDesc d;
    d.name = "desc";
    d.version = "2.0";
    d.comment = "every kind of column";
    d.keywords = rich_keywords();
    d.private_keywords.set("secret", std::string("x"));
    d.private_keywords = stored_form(d.private_keywords);

    d.columns = {
        scalar_column("B", DataType::Bool, true),
        scalar_column("C", DataType::Char, uint8_t{0xfe}),
        scalar_column("UC", DataType::UChar, uint8_t{200}),
        scalar_column("S", DataType::Short, int16_t{-3}),
        scalar_column("US", DataType::UShort, uint16_t{65535}),
        scalar_column("I", DataType::Int, int32_t{-7}),
        scalar_column("UI", DataType::UInt, uint32_t{4000000000u}),
        scalar_column("I64", DataType::Int64, int64_t{-9000000000}),
        scalar_column("F", DataType::Float, 1.5f),
        scalar_column("D", DataType::Double, -0.25),
        scalar_column("X", DataType::Complex, std::complex<float>(1, 2)),
        scalar_column("DX", DataType::DComplex, std::complex<double>(-1, 0.5)),
        scalar_column("STR", DataType::String, std::string("default")),
    };
    const DataType element_types[] = {DataType::Bool,   DataType::UChar,   DataType::Short,    DataType::UShort,
                                      DataType::Int,    DataType::UInt,    DataType::Int64,    DataType::Float,
                                      DataType::Double, DataType::Complex, DataType::DComplex, DataType::String};
    for (DataType t : element_types) {
        d.columns.push_back(array_column(std::string("A_") + data_type_name(t), t, {4, 3}));
    }
    d.columns.push_back(array_column("VAR", DataType::Float, {}));  // no fixed shape
    auto& uvw = d.columns.emplace_back(array_column("UVW", DataType::Double, {3}));
    uvw.option = 5;
    uvw.comment = "baseline";
    uvw.data_manager_type = "TiledShapeStMan";
    uvw.data_manager_group = "UVWTiles";
    uvw.keywords = rich_keywords();
    auto& name = d.columns.emplace_back(scalar_column("NAME", DataType::String, std::string()));
    name.maxlen = 16;
    ColumnDesc rec;
    rec.name = "REC";
    rec.data_manager_type = "StandardStMan";
    rec.data_manager_group = "StandardStMan";
    rec.data_type = DataType::Record;
    rec.kind = ColumnKind::Record;
    d.columns.push_back(rec);
    return d;
}

struct Built {
    TableDesc desc;
    std::vector<DmBlob> managers;
    std::vector<uint32_t> sequences;
};

Built rich_table() {
    Built b;
    b.desc = rich_desc();
    StandardStMan ssm{"SSM0", {0, 8, 16}, {0, 0, 1}};
    b.managers = {
        {"StandardStMan", 0, build_standard_stman_blob(ssm)},
        {"IncrementalStMan", 1, build_ism_blob("ISMData")},
        {"TiledShapeStMan", 2, {1, 2, 3, 4, 5}},
    };
    for (const auto& c : b.desc.columns) {
        b.sequences.push_back(c.name == "UVW" ? 2 : c.name == "I" ? 1 : 0);
    }
    return b;
}

// ---- writing then reading ----

TEST(TableDat, EmptyTableIsByteExact) {
    TableDesc empty;
    auto bytes = build_table_dat(0, empty, {}, {});
    const auto empty_record = hex(
        "00000035 0000000b 5461626c655265636f7264 00000001"  // "TableRecord" v1
        "0000001a 0000000a 5265636f726444657363 00000002"    // "RecordDesc" v2
        "00000000"                                           // no fields
        "00000000");                                         // record type
    auto expected = concat({
        hex("bebebebe 000000c6 00000005 5461626c65 00000002"),  // "Table" v2
        hex("00000000 00000001 0000000a 506c61696e5461626c65"),  // rows, LE data, "PlainTable"
        hex("0000008f 00000009 5461626c6544657363 00000002"),    // "TableDesc" v2
        hex("00000000 00000000 00000000"),                       // name, version, comment
        empty_record,
        empty_record,
        hex("00000000"),                    // columns
        hex("fffffffe 00000000 00000000 00000000"),  // column set v2: rows, counter, managers
    });
    EXPECT_EQ(bytes, expected);

    auto dat = parse_table_dat(bytes);
    ASSERT_TRUE(dat) << dat.error().message();
    EXPECT_EQ(dat->table_type, "PlainTable");
    EXPECT_EQ(dat->row_count, 0u);
    EXPECT_FALSE(dat->big_endian);
    EXPECT_EQ(dat->desc, empty);
    EXPECT_EQ(dat->column_set, ColumnSet{});
}

TEST(TableDat, RoundTripsEveryColumnKindAndType) {
    Built b = rich_table();
    for (uint64_t rows : {uint64_t{0}, uint64_t{210}, uint64_t{0xFFFFFFFF}}) {
        auto bytes = build_table_dat(rows, b.desc, b.managers, b.sequences);
        auto dat = parse_table_dat(bytes);
        ASSERT_TRUE(dat) << dat.error().message();
        EXPECT_EQ(dat->row_count, rows);
        EXPECT_FALSE(dat->big_endian);

        // A column without fixed shape reads back with an empty one.
        TableDesc expected = b.desc;
        EXPECT_EQ(dat->desc, expected);
        const ColumnDesc* var = dat->desc.find_column("VAR");
        ASSERT_NE(var, nullptr);
        EXPECT_EQ(var->shape, std::vector<int64_t>{});
        EXPECT_FALSE(var->has_fixed_shape());

        const ColumnSet& cs = dat->column_set;
        EXPECT_EQ(cs.version, 2);
        EXPECT_EQ(cs.row_count, rows);
        EXPECT_FALSE(cs.storage);
        EXPECT_EQ(cs.sequence_counter, 3u);
        ASSERT_EQ(cs.data_managers.size(), 3u);
        EXPECT_EQ(cs.data_managers[0], (DataManager{"StandardStMan", 0, StandardStMan{"SSM0", {0, 8, 16}, {0, 0, 1}}}));
        EXPECT_EQ(cs.data_managers[1].type_name, "IncrementalStMan");
        EXPECT_EQ(std::get<std::vector<uint8_t>>(cs.data_managers[1].blob), build_ism_blob("ISMData"));
        EXPECT_EQ(cs.data_managers[2].sequence, 2u);
        EXPECT_EQ(std::get<std::vector<uint8_t>>(cs.data_managers[2].blob), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
        ASSERT_EQ(cs.columns.size(), b.desc.columns.size());
        for (size_t i = 0; i < cs.columns.size(); ++i) {
            const ColumnDesc& c = b.desc.columns[i];
            EXPECT_EQ(cs.columns[i].name, c.name);
            EXPECT_EQ(cs.columns[i].dm_sequence, b.sequences[i]);
            if (c.kind == ColumnKind::Array) {
                EXPECT_EQ(cs.columns[i].shape, c.shape) << c.name;
            } else {
                EXPECT_FALSE(cs.columns[i].shape) << c.name;
            }
        }
        EXPECT_EQ(cs.find_data_manager(2), &cs.data_managers[2]);
        EXPECT_EQ(cs.find_data_manager(7), nullptr);
    }
}

TEST(TableDat, RowCountOf2To32CannotBeWritten) {
    Built b = rich_table();
    try {
        build_table_dat(uint64_t{1} << 32, b.desc, b.managers, b.sequences);
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "row count exceeds the u32 range of a v2 ColumnSet");
    }
}

TEST(TableDat, UnwritableKeywordRecordIsAnInternalError) {
    TableDesc d;
    d.keywords.set("arr", int32_t{1});
    d.keywords.desc.fields[0].data_type = DataType::ArrayInt;  // declared array, holds a scalar
    try {
        build_table_dat(0, d, {}, {});
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("write table keyword record")) << e.what();
    }
    d.keywords = TableRecord{};
    d.columns.push_back(scalar_column("A", DataType::Int, int32_t{0}));
    d.columns[0].keywords.set("r", int32_t{1});
    d.columns[0].keywords.desc.fields[0].data_type = DataType::Record;  // and no sub-description
    uint32_t seq = 0;
    try {
        build_table_dat(0, d, {}, std::span(&seq, 1));
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("write column keyword record")) << e.what();
    }
}

TEST(TableDat, EveryTruncationFailsCleanly) {
    Built b = rich_table();
    auto bytes = build_table_dat(3, b.desc, b.managers, b.sequences);
    for (size_t n = 0; n < bytes.size(); ++n) {
        auto dat = parse_table_dat(std::span(bytes).first(n));
        EXPECT_FALSE(dat) << "prefix of " << n << " bytes parsed";
    }
}

// ---- class names and type codes written ----

TEST(TableDat, ClassNamesAndTypeCodes) {
    struct Case {
        ColumnKind kind;
        DataType type;
        const char* class_name;
        int32_t code;
    };
    const Case cases[] = {
        {ColumnKind::Scalar, DataType::Int, "ScalarColumnDesc<Int     >", 5},
        {ColumnKind::Scalar, DataType::Double, "ScalarColumnDesc<double  >", 8},
        {ColumnKind::Scalar, DataType::Char, "ScalarColumnDesc<uChar   >", 1},
        {ColumnKind::Scalar, DataType::UShort, "ScalarColumnDesc<uShort  >", 4},
        {ColumnKind::Scalar, DataType::Table, "ScalarColumnDesc<Other   >", 12},
        {ColumnKind::Array, DataType::DComplex, "ArrayColumnDesc<DComplex>", 10},
        {ColumnKind::Array, DataType::Int64, "ArrayColumnDesc<Int64   >", 29},
        {ColumnKind::Array, DataType::ArrayInt64, "ArrayColumnDesc<Other   >", 30},
        {ColumnKind::Array, DataType::ArrayDouble, "ArrayColumnDesc<Other   >", 13},
        {ColumnKind::Array, DataType::Quantity, "ArrayColumnDesc<Other   >", 13},
        {ColumnKind::Record, DataType::Record, "ScalarRecordColumnDesc", 25},
    };
    for (const auto& c : cases) {
        ColumnDesc col;
        col.kind = c.kind;
        col.data_type = c.type;
        EXPECT_EQ(column_class_name(col), c.class_name);
        EXPECT_EQ(written_type_code(c.type), c.code) << c.class_name;
    }
}

// ---- data-manager blobs ----

TEST(TableDat, StandardStManBlobIsByteExact) {
    StandardStMan s{"SSM", {0, 16}, {0, 1}};
    auto bytes = build_standard_stman_blob(s);
    EXPECT_EQ(bytes, hex("bebebebe 00000050 00000003 53534d 00000002"  // "SSM" v2
                         "00000003 53534d"                             // name
                         "0000001d 00000005 426c6f636b 00000001 00000002 00000000 00000010"
                         "0000001d 00000005 426c6f636b 00000001 00000002 00000000 00000001"));
    auto back = parse_standard_stman(bytes);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(back->name, "SSM");
    EXPECT_EQ(back->column_offsets, s.column_offsets);
    EXPECT_EQ(back->column_index_map, s.column_index_map);

    EXPECT_EQ(build_ism_blob("ISM"), hex("bebebebe 00000016 00000003 49534d 00000003 00000003 49534d"));
}

TEST(TableDat, StandardStManBlobErrors) {
    struct Case {
        std::vector<uint8_t> blob;
        const char* message;
    };
    const Case cases[] = {
        {hex("bebebebe 00000016 00000003 49534d 00000003 00000003 49534d"),
         "data-manager blob has type \"ISM\", expected \"SSM\" for \"StandardStMan\""},
        {hex("bebebebe 00000023 00000003 53534d 00000002 00000000 00000010 00000004 4c697374 00000001"),
         "unexpected object type \"List\", expected \"Block\""},
        // A block claiming 2^32-1 elements in 4 bytes.
        {hex("bebebebe 0000002c 00000003 53534d 00000002 00000000"
             "00000019 00000005 426c6f636b 00000001 ffffffff 00000000"),
         "buffer too short: need 17179869180 bytes at offset 44, have 48"},
        // The name's count word cut short.
        {hex("bebebebe 00000011 00000003 53534d 00000002 0000"), "buffer too short: need 4 bytes at offset 19, have 21"},
    };
    for (const auto& c : cases) {
        auto s = parse_standard_stman(c.blob);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message(), c.message);
    }
}

// ---- hand-built files of forms this system reads but never writes ----

const std::vector<uint8_t> kEmptyRecord = hex(
    "00000035 0000000b 5461626c655265636f7264 00000001"
    "0000001a 0000000a 5265636f726444657363 00000002 00000000"
    "00000000");

// Table version 3 with a u64 row count of 2^32 + 5 and big-endian data
// files; a version-1 TableDesc (no private keywords) with one Int column;
// a version-3 column set with storage option and block size.
TEST(TableDat, ReadsTableVersion3WithVersion1DescAndVersion3ColumnSet) {
    auto bytes = concat({
        hex("bebebebe 0000016d 00000005 5461626c65 00000003"),
        hex("00000001 00000005"),                                 // 4294967301 rows
        hex("00000000"),                                          // big-endian data files
        hex("0000000a 506c61696e5461626c65"),                     // "PlainTable"
        hex("000000f6 00000009 5461626c6544657363 00000001"),     // "TableDesc" v1
        hex("00000001 74 00000000 00000000"),                     // "t", "", ""
        kEmptyRecord,                                             // table keywords only
        hex("00000001"),                                          // one column
        hex("00000001 0000001a") ,
        std::vector<uint8_t>{'S', 'c', 'a', 'l', 'a', 'r', 'C', 'o', 'l', 'u', 'm', 'n', 'D',
                             'e', 's', 'c', '<', 'I', 'n', 't', ' ', ' ', ' ', ' ', ' ', '>'},
        hex("00000001 00000001 41 00000000"),                     // "A", no comment
        hex("00000010 496e6372656d656e74616c53744d616e"),         // "IncrementalStMan"
        hex("00000007 49534d44617461"),                           // "ISMData"
        hex("00000005 00000000 ffffffff 00000000"),               // Int, option, ndim -1, maxlen
        kEmptyRecord,
        hex("00000001 00000007"),                                 // class version, default 7
        // column set
        hex("fffffffd 00000001 00000005 00000002 00100000"),      // v3, rows, option 2, block 1 MiB
        hex("00000001 00000001"),                                 // counter, one manager
        hex("00000010 496e6372656d656e74616c53744d616e 00000000"),
        hex("00000002 00000001 41 00000001 00000000"),            // PlainColumn "A" -> manager 0
        hex("00000003 010203"),                                   // its blob
    });
    auto dat = parse_table_dat(bytes);
    ASSERT_TRUE(dat) << dat.error().message();
    EXPECT_EQ(dat->row_count, (uint64_t{1} << 32) + 5);
    EXPECT_TRUE(dat->big_endian);
    EXPECT_EQ(dat->desc.name, "t");
    EXPECT_EQ(dat->desc.private_keywords, TableRecord{});
    ASSERT_EQ(dat->desc.columns.size(), 1u);
    const ColumnDesc& a = dat->desc.columns[0];
    EXPECT_EQ(a.kind, ColumnKind::Scalar);
    EXPECT_EQ(a.data_type, DataType::Int);
    EXPECT_EQ(a.default_value, RecordValue(int32_t{7}));
    EXPECT_EQ(a.data_manager_group, "ISMData");
    EXPECT_EQ(a.ndim, -1);

    const ColumnSet& cs = dat->column_set;
    EXPECT_EQ(cs.version, 3);
    EXPECT_EQ(cs.row_count, (uint64_t{1} << 32) + 5);
    EXPECT_EQ(cs.storage, (StorageSettings{2, 1 << 20}));
    EXPECT_EQ(cs.sequence_counter, 1u);
    ASSERT_EQ(cs.data_managers.size(), 1u);
    EXPECT_EQ(std::get<std::vector<uint8_t>>(cs.data_managers[0].blob), (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_EQ(cs.columns.size(), 1u);
    EXPECT_EQ(cs.columns[0], (ColumnInfo{"A", 0, std::nullopt}));
}

// A "Table" v2 of 0 rows with an empty description, followed by the given
// column set.
std::vector<uint8_t> table_with_column_set(const std::vector<uint8_t>& column_set) {
    return with_root_length(concat({
        hex("bebebebe 00000000 00000005 5461626c65 00000002 00000000 00000001"),
        hex("0000000a 506c61696e5461626c65"),
        hex("0000008f 00000009 5461626c6544657363 00000002 00000000 00000000 00000000"),
        kEmptyRecord,
        kEmptyRecord,
        hex("00000000"),
        column_set,
    }));
}

TEST(TableDat, ColumnSetVersions) {
    struct Case {
        const char* column_set;
        int32_t version;
        uint64_t rows;
        const char* error;  // null when it parses
    };
    const Case cases[] = {
        // A non-negative first word is a version-1 set holding the row count.
        {"0000002a 00000000 00000000", 1, 42, nullptr},
        {"7fffffff 00000000 00000000", 1, 0x7fffffff, nullptr},
        {"ffffffff 00000007 00000000 00000000", 1, 7, nullptr},
        {"fffffffe ffffffff 00000000 00000000", 2, 0xffffffff, nullptr},
        {"fffffffd 00000002 00000000 00000000 00000000 00000000 00000000", 3, uint64_t{2} << 32, nullptr},
        {"fffffffc 00000000 00000000 00000000", 0, 0, "unsupported column set version 4 in table.dat (expected 1 to 3)"},
        {"80000000 00000000 00000000 00000000", 0, 0,
         "unsupported column set version 2147483648 in table.dat (expected 1 to 3)"},
        {"fffffffd ffffffff ffffffff 00000000 00000000 00000000 00000000", 0, 0,
         "negative row count -1 in the table.dat column set"},
        // 2^32-1 data managers cannot fit in the 4 bytes that follow.
        {"fffffffe 00000000 00000000 ffffffff 00000000", 0, 0,
         "buffer too short: need 51539607540 bytes at offset 202, have 206"},
        // A blob longer than the file.
        {"fffffffe 00000000 00000001 00000001 00000001 58 00000000 00001000 00", 0, 0,
         "buffer too short: need 4096 bytes at offset 215, have 216"},
    };
    for (const auto& c : cases) {
        auto bytes = table_with_column_set(hex(c.column_set));
        auto dat = parse_table_dat(bytes);
        if (c.error == nullptr) {
            ASSERT_TRUE(dat) << c.column_set << ": " << dat.error().message();
            EXPECT_EQ(dat->column_set.version, c.version) << c.column_set;
            EXPECT_EQ(dat->column_set.row_count, c.rows) << c.column_set;
            EXPECT_EQ(dat->column_set.storage.has_value(), c.version == 3);
        } else {
            ASSERT_FALSE(dat) << c.column_set;
            EXPECT_EQ(dat.error().message(), c.error);
        }
    }
}

TEST(TableDat, HeaderAndStructureErrors) {
    Built b = rich_table();
    const auto good = build_table_dat(1, b.desc, b.managers, b.sequences);
    auto patched = [&](const std::vector<uint8_t>& from, const std::vector<uint8_t>& to) {
        auto bytes = good;
        size_t at = find(bytes, from);
        if (at == bytes.size()) return bytes;
        std::copy(to.begin(), to.end(), bytes.begin() + at);
        return bytes;
    };
    struct Case {
        std::vector<uint8_t> bytes;
        const char* message;
    };
    const Case cases[] = {
        {patched(hex("5461626c65 00000002"), hex("5461626c78")), "table.dat root object has type \"Tablx\", expected \"Table\""},
        {patched(hex("5461626c65 00000002"), hex("5461626c65 00000004")),
         "unsupported table.dat version 4 (the format supports up to 3)"},
        {patched(hex("00000001 0000000a 506c61696e"), hex("00000002")),
         "invalid endianness flag 2 in table.dat (expected 0 or 1)"},
        {patched(hex("00000009 5461626c6544657363"), hex("00000009 5461626c6544657378")),
         "unexpected object type \"TableDesx\", expected \"TableDesc\""},
        {patched(hex("0000001a 5363616c6172436f6c756d6e44657363"), hex("0000001a 5363616c6172436f6c756d6e44657378")),
         "unknown column description class \"ScalarColumnDesx<Bool    >\""},
        // The first PlainColumn entry ("B") with class version 3.
        {patched(hex("00000002 00000001 42 00000001"), hex("00000003")), "unsupported PlainColumn class version 3"},
        // A table keyword record in the format before "TableRecord".
        {patched(hex("0000000b 5461626c655265636f7264"), hex("0000000b 5461626c654b6579536574")),
         "unsupported legacy keyword set object \"TableKeySet\""},
        {good.size() > 4 ? std::vector<uint8_t>(good.begin(), good.begin() + 2) : good,
         "buffer too short: need 4 bytes at offset 0, have 2"},
        {patched(hex("bebebebe"), hex("bebebeef")), "bad AipsIO magic at offset 0: expected 0xbebebebe, found 0xbebebeef"},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_error(c.bytes), c.message);

    // An absurd column count cannot fit in what follows.
    TableDesc empty;
    auto bytes = build_table_dat(0, empty, {}, {});
    size_t count_at = bytes.size() - 20;
    put_u32_be(bytes, count_at, 0xffffffff);
    EXPECT_EQ(parse_error(bytes), "buffer too short: need 188978560980 bytes at offset 186, have 202");
}

// ---- a real table written by another program ----

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(TableDat, ReadsEveryTableOfARealMeasurementSet) {
    const std::filesystem::path ms = std::filesystem::path(ORVALA_TEST_DATA) / "lwa-downselected.ms";
    std::vector<std::filesystem::path> tables{ms};
    for (const auto& entry : std::filesystem::directory_iterator(ms)) {
        if (entry.is_directory()) tables.push_back(entry.path());
    }
    ASSERT_EQ(tables.size(), 14u);
    for (const auto& dir : tables) {
        SCOPED_TRACE(dir.string());
        auto bytes = read_file(dir / "table.dat");
        ASSERT_FALSE(bytes.empty());
        auto dat = parse_table_dat(bytes);
        ASSERT_TRUE(dat) << dat.error().message();
        EXPECT_EQ(dat->table_type, "PlainTable");
        EXPECT_EQ(dat->column_set.columns.size(), dat->desc.columns.size());
        for (size_t i = 0; i < dat->desc.columns.size(); ++i) {
            EXPECT_EQ(dat->column_set.columns[i].name, dat->desc.columns[i].name);
            EXPECT_NE(dat->column_set.find_data_manager(dat->column_set.columns[i].dm_sequence), nullptr);
        }
        for (const auto& dm : dat->column_set.data_managers) {
            EXPECT_EQ(std::holds_alternative<StandardStMan>(dm.blob), dm.type_name == "StandardStMan");
        }

        // Writing the description back and reading it again keeps it.
        std::vector<DmBlob> blobs;
        for (const auto& dm : dat->column_set.data_managers) {
            auto* ssm = std::get_if<StandardStMan>(&dm.blob);
            blobs.push_back({dm.type_name, dm.sequence,
                             ssm ? build_standard_stman_blob(*ssm) : std::get<std::vector<uint8_t>>(dm.blob)});
        }
        std::vector<uint32_t> seqs;
        for (const auto& c : dat->column_set.columns) seqs.push_back(c.dm_sequence);
        auto again = parse_table_dat(build_table_dat(dat->row_count, dat->desc, blobs, seqs));
        ASSERT_TRUE(again) << again.error().message();
        EXPECT_EQ(again->desc, dat->desc);
        EXPECT_EQ(again->column_set.data_managers, dat->column_set.data_managers);
        EXPECT_EQ(again->row_count, dat->row_count);
    }

    auto main = parse_table_dat(read_file(ms / "table.dat"));
    ASSERT_TRUE(main);
    EXPECT_EQ(main->row_count, 210u);
    EXPECT_FALSE(main->big_endian);
    std::set<std::string> managers;
    for (const auto& dm : main->column_set.data_managers) managers.insert(dm.type_name);
    EXPECT_EQ(managers, (std::set<std::string>{"StandardStMan", "IncrementalStMan", "TiledColumnStMan",
                                               "TiledShapeStMan"}));
    const ColumnDesc* uvw = main->desc.find_column("UVW");
    ASSERT_NE(uvw, nullptr);
    EXPECT_EQ(uvw->kind, ColumnKind::Array);
    EXPECT_EQ(uvw->data_type, DataType::Double);
    EXPECT_EQ(uvw->shape, std::vector<int64_t>{3});
    ASSERT_NE(main->desc.keywords.get("ANTENNA"), nullptr);
    EXPECT_EQ(*main->desc.keywords.get("ANTENNA"), RecordValue(TableRef{"././ANTENNA"}));
}

}  // namespace
}  // namespace orvala
