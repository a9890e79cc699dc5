// StandardStMan files written by build_ssm_data and read back by
// StandardStManFile; the writer's layout numbers; the cell encoders.
#include <gtest/gtest.h>

#include <cstring>

#include "aipsio.h"
#include "byteorder.h"
#include "ssm.h"
#include "ssm_writer.h"
#include "test_bytes.h"

namespace orvala {
namespace {

using test::hex;

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
std::vector<uint8_t> text(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

struct Opened {
    SsmData data;
    StandardStManFile file;
    StandardStMan settings;
};

Opened write_and_open(const std::vector<SsmWriteColumn>& columns, uint64_t rows) {
    auto d = build_ssm_data("T", columns, rows, "SSM");
    if (!d) throw std::runtime_error(d.error().message());
    std::optional<Buffer> array;
    if (d->array_file) array = Buffer::from_bytes(*d->array_file);
    auto f = StandardStManFile::from_buffers(Buffer::from_bytes(d->bucket_file), std::move(array), false);
    if (!f) throw std::runtime_error(f.error().message());
    StandardStMan settings{d->name, d->column_offsets, d->column_index_map};
    return Opened{std::move(*d), std::move(*f), std::move(settings)};
}

CellColumn scalar(std::string_view name, DataType t, int32_t maxlen = 0) {
    return CellColumn{name, t, CellKind::Scalar, maxlen};
}
CellColumn array(std::string_view name, DataType t) { return CellColumn{name, t, CellKind::Array, 0}; }

RecordValue read(const Opened& o, size_t position, uint64_t row, const CellColumn& c) {
    auto v = o.file.read_cell(o.settings, position, row, c);
    if (!v) throw std::runtime_error(v.error().message());
    return *v;
}

std::vector<RecordValue> column_of(uint64_t rows, auto&& make) {
    std::vector<RecordValue> v;
    for (uint64_t r = 0; r < rows; ++r) v.push_back(RecordValue(make(r)));
    return v;
}

TEST(SsmWriter, EveryScalarTypeRoundTripsOver33Rows) {
    const uint64_t n = 33;
    std::vector<CellColumn> cols = {
        scalar("b", DataType::Bool),     scalar("c", DataType::Char),      scalar("uc", DataType::UChar),
        scalar("s", DataType::Short),    scalar("us", DataType::UShort),   scalar("i", DataType::Int),
        scalar("ui", DataType::UInt),    scalar("i64", DataType::Int64),   scalar("f", DataType::Float),
        scalar("d", DataType::Double),   scalar("cx", DataType::Complex),  scalar("dcx", DataType::DComplex),
    };
    std::vector<std::vector<RecordValue>> values = {
        column_of(n, [](uint64_t r) { return r % 3 == 0 || r == 32; }),
        column_of(n, [](uint64_t r) { return static_cast<uint8_t>(r * 7); }),
        column_of(n, [](uint64_t r) { return static_cast<uint8_t>(200 + r); }),
        column_of(n, [](uint64_t r) { return static_cast<int16_t>(-1000 * static_cast<int>(r)); }),
        column_of(n, [](uint64_t r) { return static_cast<uint16_t>(60000 + r); }),
        column_of(n, [](uint64_t r) { return static_cast<int32_t>(-100000 * static_cast<int>(r)); }),
        column_of(n, [](uint64_t r) { return static_cast<uint32_t>(4000000000u + r); }),
        column_of(n, [](uint64_t r) { return -(int64_t{1} << 40) * static_cast<int64_t>(r); }),
        column_of(n, [](uint64_t r) { return static_cast<float>(r) * 0.5f; }),
        column_of(n, [](uint64_t r) { return -static_cast<double>(r) / 3.0; }),
        column_of(n, [](uint64_t r) { return std::complex<float>(static_cast<float>(r), -1.5f); }),
        column_of(n, [](uint64_t r) { return std::complex<double>(r + 0.25, 1e300); }),
    };
    std::vector<SsmWriteColumn> w;
    for (size_t i = 0; i < cols.size(); ++i) w.push_back({cols[i], values[i]});
    Opened o = write_and_open(w, n);

    for (size_t c = 0; c < cols.size(); ++c)
        for (uint64_t r = 0; r < n; ++r) EXPECT_EQ(read(o, c, r, cols[c]), values[c][r]) << cols[c].name << " row " << r;

    // Bool cells are bits: rows 0, 3, ..., 30 of bucket 0 and row 32 (bit 0
    // of bucket 1's region).
    EXPECT_EQ(o.data.column_offsets[0], 0u);
    auto bucket0 = *o.file.bucket_bytes(0);
    EXPECT_EQ(std::vector<uint8_t>(bucket0.begin(), bucket0.begin() + 4), hex("49 92 24 49"));
    EXPECT_EQ((*o.file.bucket_bytes(1))[0], 0x01);
    EXPECT_EQ(o.file.indices()[0].last_rows, (std::vector<uint64_t>{31, 32}));
    EXPECT_EQ(o.file.indices()[0].bucket_numbers, (std::vector<uint32_t>{0, 1}));
}

TEST(SsmWriter, RunsHandOutEachBucketsCellsInOrder) {
    const uint64_t n = 70;
    auto ints = column_of(n, [](uint64_t r) { return static_cast<int32_t>(r * 11); });
    auto bools = column_of(n, [](uint64_t r) { return r % 5 == 1; });
    Opened o = write_and_open({{scalar("b", DataType::Bool), bools}, {scalar("i", DataType::Int), ints}}, n);

    auto layout = o.file.column_layout(o.settings, 1, scalar("i", DataType::Int));
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->cell_size, 4u);
    auto cursor = o.file.runs(*layout, 5, 60);
    ASSERT_TRUE(cursor);
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    std::vector<int32_t> got;
    SsmRun run;
    for (;;) {
        auto more = cursor->next(run);
        ASSERT_TRUE(more) << more.error().message();
        if (!*more) break;
        seen.push_back({run.first_row, run.rows});
        ASSERT_EQ(run.bytes.size(), run.rows * 4);
        for (uint64_t i = 0; i < run.rows; ++i) got.push_back(load_i32(run.bytes.data() + 4 * i, true));
    }
    EXPECT_EQ(seen, (std::vector<std::pair<uint64_t, uint64_t>>{{5, 27}, {32, 32}, {64, 1}}));
    for (uint64_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], static_cast<int32_t>((5 + i) * 11));

    // Bit cells: the run starts at the row's bit.
    auto bl = o.file.column_layout(o.settings, 0, scalar("b", DataType::Bool));
    ASSERT_TRUE(bl);
    EXPECT_EQ(bl->cell_size, kBitCell);
    auto bc = o.file.runs(*bl, 35, 35);
    ASSERT_TRUE(bc);
    std::vector<bool> bits;
    while (true) {
        auto more = bc->next(run);
        ASSERT_TRUE(more);
        if (!*more) break;
        for (uint64_t i = 0; i < run.rows; ++i) {
            uint64_t b = run.first_bit + i;
            bits.push_back((run.bytes[b / 8] >> (b % 8)) & 1);
        }
    }
    ASSERT_EQ(bits.size(), 35u);
    for (uint64_t i = 0; i < 35; ++i) EXPECT_EQ(bits[i], (35 + i) % 5 == 1) << i;

    // A run past the last row fails when it gets there.
    auto past = o.file.runs(*layout, 60, 20);
    ASSERT_TRUE(past);
    ASSERT_TRUE(past->next(run).value());
    ASSERT_TRUE(past->next(run).value());
    EXPECT_EQ(run.first_row, 64u);
    EXPECT_EQ(run.rows, 6u);
    auto err = past->next(run);
    ASSERT_FALSE(err);
    EXPECT_EQ(err.error().message(), "row 70 not covered by any indexed bucket");
}

TEST(SsmWriter, StringsInlineUpTo8BytesAndChainedWhenLong) {
    std::string long_text;
    for (int i = 0; i < 1000; ++i) long_text += static_cast<char>('a' + i % 26);
    std::vector<RecordValue> texts = {std::string(""),         std::string("a"),
                                      std::string("12345678"), std::string("123456789"),
                                      long_text,               std::string("h\xC3\xA9llo w\xC3\xB6rld"),
                                      std::string("bad \xFF byte")};
    uint64_t n = texts.size();
    std::vector<RecordValue> fixed = {std::string("abcdef"), std::string("ab"), std::string(""), RecordValue(int32_t{5}),
                                      std::string("abcd"),   std::string("x"),  std::string("y")};
    auto var_col = scalar("s", DataType::String);
    auto fixed_col = scalar("f", DataType::String, 4);
    Opened o = write_and_open({{var_col, texts}, {fixed_col, fixed}}, n);

    // Bucket: 32 x 12 + 32 x 4 bytes; the long text needs three string buckets.
    EXPECT_EQ(o.file.header().bucket_size, 512u);
    for (uint64_t r = 0; r < n; ++r) {
        std::string want = std::get<std::string>(texts[r]);
        if (r == 6) want = "bad \xEF\xBF\xBD byte";
        EXPECT_EQ(read(o, 0, r, var_col), RecordValue(want)) << r;
    }
    std::vector<std::string> fixed_want = {"abcd", "ab", "", "", "abcd", "x", "y"};
    for (uint64_t r = 0; r < n; ++r) EXPECT_EQ(read(o, 1, r, fixed_col), RecordValue(fixed_want[r])) << r;

    // 8 bytes are inline with their length; 9 go to the first string bucket
    // (after data bucket 0 and index bucket 1).
    auto cell8 = o.file.scalar_cell_raw(o.settings, 0, 2, var_col).value().bytes;
    EXPECT_EQ(std::vector<uint8_t>(cell8.begin(), cell8.end()), hex("31 32 33 34 35 36 37 38 08 00 00 00"));
    auto cell9 = o.file.scalar_cell_raw(o.settings, 0, 3, var_col).value().bytes;
    EXPECT_EQ(std::vector<uint8_t>(cell9.begin(), cell9.end()), hex("02 00 00 00 00 00 00 00 09 00 00 00"));
    auto cell_long = o.file.scalar_cell_raw(o.settings, 0, 4, var_col).value().bytes;
    EXPECT_EQ(std::vector<uint8_t>(cell_long.begin(), cell_long.end()), hex("02 00 00 00 09 00 00 00 e8 03 00 00"));
    // 9 + 1000 + 13 + 10 bytes over buckets of 496 data bytes: 2, 3 and 4.
    EXPECT_EQ(o.file.header().nr_buckets, 5u);
    EXPECT_EQ(o.file.header().last_string_bucket, 4);
    auto b2 = *o.file.bucket_bytes(2);
    EXPECT_EQ(std::vector<uint8_t>(b2.begin(), b2.begin() + 16),
              hex("00000000 000001f0 00000000 00000003"));  // used 496, free 0, next 3
    auto fcell = o.file.scalar_cell_raw(o.settings, 1, 0, fixed_col).value().bytes;
    EXPECT_EQ(std::vector<uint8_t>(fcell.begin(), fcell.end()), hex("61 62 63 64"));
}

template <class T>
ArrayValue arr(std::vector<uint32_t> shape, std::vector<T> v) {
    return ArrayValue{std::move(shape), ArrayData(std::move(v))};
}

TEST(SsmWriter, ArraysOfEveryElementTypeRoundTrip) {
    using C = std::complex<float>;
    using Z = std::complex<double>;
    struct Case {
        DataType type;
        ArrayValue row0, row1;
    };
    std::vector<Case> cases = {
        {DataType::Bool, arr<bool>({2, 5}, {1, 0, 0, 1, 1, 1, 0, 0, 0, 1}), arr<bool>({1}, {true})},
        {DataType::UChar, arr<uint8_t>({2, 3}, {1, 2, 3, 4, 5, 255}), arr<uint8_t>({0}, {})},
        {DataType::Char, arr<uint8_t>({3}, {0x80, 0x7f, 0}), arr<uint8_t>({}, {9})},
        {DataType::Short, arr<int16_t>({2, 3}, {-1, 2, -3, 4, -5, 32767}), arr<int16_t>({1, 1}, {7})},
        {DataType::UShort, arr<uint16_t>({3, 2}, {1, 2, 3, 4, 5, 65535}), arr<uint16_t>({2}, {0, 1})},
        {DataType::Int, arr<int32_t>({2, 3}, {1, -2, 3, -4, 5, -6}), arr<int32_t>({4}, {1, 2, 3, 4})},
        {DataType::UInt, arr<uint32_t>({2, 1}, {4000000000u, 1}), arr<uint32_t>({1}, {0})},
        {DataType::Int64, arr<int64_t>({2}, {INT64_MIN, INT64_MAX}), arr<int64_t>({1, 2}, {-1, 1})},
        {DataType::Float, arr<float>({2, 2}, {0.5f, -1.25f, 3e30f, 0}), arr<float>({1}, {1})},
        {DataType::Double, arr<double>({2, 3}, {0.1, 0.2, 0.3, -1e300, 5, 6}), arr<double>({1}, {2})},
        {DataType::Complex, arr<C>({2}, {C(1, 2), C(-3, 4)}), arr<C>({1}, {C(0, -1)})},
        {DataType::DComplex, arr<Z>({1, 2}, {Z(1, 2), Z(-3, 1e-300)}), arr<Z>({1}, {Z(5, 6)})},
    };
    std::vector<CellColumn> cols;
    std::vector<std::vector<RecordValue>> values;
    std::vector<std::string> names;
    names.reserve(cases.size());
    for (auto& c : cases) {
        names.push_back(std::string("a") + data_type_name(c.type));
        cols.push_back(array(names.back(), c.type));
        values.push_back({RecordValue(c.row0), RecordValue(c.row1)});
    }
    std::vector<SsmWriteColumn> w;
    for (size_t i = 0; i < cols.size(); ++i) w.push_back({cols[i], values[i]});
    Opened o = write_and_open(w, 2);
    ASSERT_TRUE(o.data.array_file);
    for (size_t c = 0; c < cols.size(); ++c)
        for (uint64_t r = 0; r < 2; ++r) EXPECT_EQ(read(o, c, r, cols[c]), values[c][r]) << names[c] << " row " << r;

    // The first array: at 16, ndim 2, extents in storage order (5, 2), ten
    // bits in two bytes; the cell holds its position.
    const auto& af = *o.data.array_file;
    EXPECT_EQ(std::vector<uint8_t>(af.begin(), af.begin() + 30),
              cat({hex("00000000"), {static_cast<uint8_t>(af.size())},
                   hex("000000 00000000 00000000 02000000 05000000 02000000 39 02")}));
    auto ref = o.file.scalar_cell_raw(o.settings, 0, 0, cols[0]).value().bytes;
    EXPECT_EQ(load_i64(ref.data(), true), 16);
    auto region = o.file.array_cell_region(o.settings, 5, 0, cols[5]);
    ASSERT_TRUE(region);
    EXPECT_EQ(region->shape, (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(region->element_count, 6u);
    EXPECT_EQ(region->bytes.size(), 24u);
}

TEST(SsmWriter, StringArraysRoundTripAlsoAcrossChainedBuckets) {
    std::vector<std::string> many;
    for (int i = 0; i < 50; ++i) many.push_back(std::string(30, static_cast<char>('A' + i % 26)) + std::to_string(i));
    std::vector<RecordValue> values = {
        RecordValue(ArrayValue{{2, 2}, ArrayData(std::vector<std::string>{"a", "", "longer than eight", "d"})}),
        RecordValue(ArrayValue{{50}, ArrayData(many)}),
        RecordValue(ArrayValue{{0}, ArrayData(std::vector<std::string>{})}),
    };
    auto col = array("sa", DataType::String);
    Opened o = write_and_open({{col, values}}, 3);
    EXPECT_FALSE(o.data.array_file);
    EXPECT_EQ(o.file.header().bucket_size, 384u);
    for (uint64_t r = 0; r < 3; ++r) EXPECT_EQ(read(o, 0, r, col), values[r]) << r;

    // Row 1 (about 1.9 kB) does not fit one bucket's 368 data bytes.
    auto cell = o.file.scalar_cell_raw(o.settings, 0, 1, col).value().bytes;
    StringRef ref = parse_string_ref(cell, false);
    EXPECT_GT(ref.offset + ref.length + 16, 384);
    // Content of row 0: ndim 2, extents, the unused word, then the strings.
    auto c0 = o.file.scalar_cell_raw(o.settings, 0, 0, col).value().bytes;
    StringRef r0 = parse_string_ref(c0, false);
    auto b = *o.file.bucket_bytes(r0.bucket);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 16 + r0.offset, b.begin() + 16 + r0.offset + 29),
              hex("00000002 00000002 00000002 00000001 00000001 61 00000000 00000011"));
}

TEST(SsmWriter, RecordCellsStoreTheirJsonTextAlsoAcrossChainedBuckets) {
    TableRecord small;
    small.set("a", RecordValue(int32_t{1}));
    small.set("s", RecordValue(std::string("text")));
    TableRecord big;
    for (int i = 0; i < 60; ++i) big.set("field" + std::to_string(i), RecordValue(std::string(20, 'v')));
    TableRecord empty;
    std::vector<RecordValue> values = {RecordValue(small), RecordValue(big), RecordValue(empty)};
    CellColumn col{"r", DataType::Record, CellKind::Record, 0};
    Opened o = write_and_open({{col, values}}, 3);
    EXPECT_EQ(read(o, 0, 0, col), RecordValue(std::string("{\"a\":1,\"s\":\"text\"}")));
    // About 2 kB of text against 368 data bytes per string bucket.
    RecordValue big_text = read(o, 0, 1, col);
    EXPECT_EQ(big_text, RecordValue(big.to_json_string_ctx()));
    EXPECT_GT(std::get<std::string>(big_text).size(), 1800u);
    EXPECT_EQ(read(o, 0, 2, col), RecordValue(std::string("{}")));
}

TEST(SsmWriter, ZeroRowsWriteOneIndexBucketAtOffset8) {
    std::vector<RecordValue> none;
    Opened o = write_and_open({{scalar("i", DataType::Int), none}}, 0);
    // Header: version 3, little-endian, bucket 128, one bucket (the index),
    // cache 0, no free buckets, one index bucket 0 at offset 8, no string
    // bucket, a 118-byte index stream, one index.
    EXPECT_EQ(std::vector<uint8_t>(o.data.bucket_file.begin(), o.data.bucket_file.begin() + 74),
              cat({hex("bebebebe 46000000 0d000000"), text("StandardStMan"),
                   hex("03000000 00 80000000 01000000 00000000 00000000 ffffffff 01000000 00000000 08000000"
                       " ffffffff 76000000 01000000")}));
    EXPECT_EQ(o.data.bucket_file.size(), 512u + 128u);
    EXPECT_EQ(std::vector<uint8_t>(o.data.bucket_file.begin() + 512, o.data.bucket_file.begin() + 520),
              hex("ffffffff ffffffff"));
    ASSERT_EQ(o.file.indices().size(), 1u);
    EXPECT_TRUE(o.file.indices()[0].last_rows.empty());
    auto cell = o.file.scalar_cell_raw(o.settings, 0, 0, scalar("i", DataType::Int));
    ASSERT_FALSE(cell);
    EXPECT_EQ(cell.error().message(), "row 0 not covered by any indexed bucket");
}

TEST(SsmWriter, IndexStreamBytes) {
    // No rows: a "SSMIndex" with an empty free-space map and empty Blocks.
    EXPECT_EQ(build_index_stream(0, 32, 1),
              cat({hex("bebebebe 72000000 08000000"), text("SSMIndex"),
                   hex("01000000 00000000 20000000 01000000 28000000 10000000"), text("SimpleOrderedMap"),
                   hex("01000000 00000000 00000000 01000000"
                       "15000000 05000000 426c6f636b 01000000 00000000"
                       "15000000 05000000 426c6f636b 01000000 00000000")}));
    // 33 rows: last rows 31 and 32, buckets 0 and 1.
    auto s = build_index_stream(33, 32, 2);
    Reader r(s, true);
    auto h = r.read_object(true, "SSMIndex");
    ASSERT_TRUE(h);
    EXPECT_EQ(*r.read_u32(), 2u);
    // The two Blocks (29 bytes each) end the stream.
    EXPECT_EQ(std::vector<uint8_t>(s.end() - 37, s.end() - 29), hex("1f000000 20000000"));
    EXPECT_EQ(std::vector<uint8_t>(s.end() - 12, s.end()), hex("02000000 00000000 01000000"));
}

TEST(SsmWriter, LayoutNumbers) {
    struct Case {
        std::vector<CellColumn> cols;
        uint64_t rows;
        std::vector<uint32_t> offsets;
        uint32_t bucket_size;
        uint32_t data_buckets;
        uint32_t index_buckets;
        int32_t idx_bucket_offset;
    };
    auto b = scalar("b", DataType::Bool), i = scalar("i", DataType::Int), d = scalar("d", DataType::Double);
    auto s = scalar("s", DataType::String), f = scalar("f", DataType::String, 3), a = array("a", DataType::Float);
    auto sa = array("sa", DataType::String), dc = scalar("dc", DataType::DComplex);
    std::vector<Case> cases = {
        {{b}, 0, {0}, 64, 0, 3, 0},            // 118-byte index in 56-byte pieces
        {{b}, 33, {0}, 64, 2, 3, 0},
        {{i, d}, 33, {0, 128}, 384, 2, 1, 8},  // Int then Double
        {{b, i}, 1, {0, 4}, 132, 1, 2, 0},     // 126 bytes of index, 124 per bucket
        {{s, f, dc}, 1, {0, 384, 480}, 992, 1, 1, 8},
        {{a, sa}, 1, {0, 256}, 640, 1, 1, 8},
        {{b}, 1000, {0}, 64, 32, 7, 0},        // 118 + 32 x 8 bytes of index
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        std::vector<std::vector<RecordValue>> vals;
        std::vector<SsmWriteColumn> w;
        for (const auto& col : c.cols) {
            RecordValue v(int32_t{1});
            if (col.kind == CellKind::Array)
                v = col.data_type == DataType::String ? ArrayValue{{1}, ArrayData(std::vector<std::string>{"x"})}
                                                      : ArrayValue{{1}, ArrayData(std::vector<float>{1})};
            vals.push_back(std::vector<RecordValue>(c.rows, v));
        }
        for (size_t j = 0; j < c.cols.size(); ++j) w.push_back({c.cols[j], vals[j]});
        Opened o = write_and_open(w, c.rows);
        const SsmHeader& h = o.file.header();
        EXPECT_EQ(o.data.column_offsets, c.offsets) << k;
        EXPECT_EQ(o.data.column_index_map, std::vector<uint32_t>(c.cols.size(), 0)) << k;
        EXPECT_EQ(h.bucket_size, c.bucket_size) << k;
        EXPECT_EQ(h.nr_idx_buckets, c.index_buckets) << k;
        EXPECT_EQ(h.first_idx_bucket, static_cast<int32_t>(c.data_buckets)) << k;
        EXPECT_EQ(h.idx_bucket_offset, c.idx_bucket_offset) << k;
        EXPECT_EQ(h.index_length, 118u + 8u * c.data_buckets) << k;
        EXPECT_EQ(o.file.indices()[0].last_rows.size(), c.data_buckets) << k;
        for (uint64_t r = 0; r < c.rows; r += 7) EXPECT_TRUE(o.file.read_cell(o.settings, 0, r, c.cols[0])) << k;
    }
}

TEST(StringBuckets, FillSpillAndChain) {
    std::vector<uint8_t> out(10, 0xAA);  // bytes before the buckets stay
    StringBuckets sb(out, 256, 7);       // 240 data bytes each
    std::vector<uint8_t> v180(180, 1), v100(100, 2), v30(30, 3), v5(5, 4);
    auto p1 = sb.put(v180);
    EXPECT_EQ(p1.bucket, 7u);
    EXPECT_EQ(p1.offset, 0u);
    // 60 bytes free: not below 50, so the value starts here and spills over.
    auto p2 = sb.put(v100);
    EXPECT_EQ(p2.bucket, 7u);
    EXPECT_EQ(p2.offset, 180u);
    EXPECT_EQ(sb.count(), 2u);
    // 200 free in bucket 8 after 40 used; 30 fits.
    auto p3 = sb.put(v30);
    EXPECT_EQ(p3.bucket, 8u);
    EXPECT_EQ(p3.offset, 40u);
    ASSERT_EQ(out.size(), 10u + 2 * 256);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 10, out.begin() + 26), hex("00000000 000000f0 00000000 00000008"));
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 266, out.begin() + 282), hex("00000000 00000046 000000aa ffffffff"));
    EXPECT_EQ(out[10 + 16 + 180], 2);
    EXPECT_EQ(out[266 + 16 + 39], 2);
    EXPECT_EQ(out[266 + 16 + 40], 3);
    EXPECT_EQ(out[0], 0xAA);

    // Free space below both the value and 50 bytes: a fresh bucket.
    std::vector<uint8_t> o2;
    StringBuckets small(o2, 64, 0);  // 48 data bytes
    small.put(std::vector<uint8_t>(30, 1));
    auto q = small.put(v30);
    EXPECT_EQ(q.bucket, 1u);
    EXPECT_EQ(q.offset, 0u);
    auto q2 = small.put(v5);  // 18 free >= 5: stays
    EXPECT_EQ(q2.bucket, 1u);
    EXPECT_EQ(q2.offset, 30u);
}

TEST(SsmCellCodec, ScalarCellsMatchTheStreamWriter) {
    // encode_scalar_cell converts as write_scalar_value does.
    std::vector<RecordValue> values = {RecordValue(true),          RecordValue(uint8_t{200}),
                                       RecordValue(int16_t{-300}), RecordValue(uint16_t{65000}),
                                       RecordValue(int32_t{-70000}), RecordValue(uint32_t{4000000000u}),
                                       RecordValue(int64_t{-5}),   RecordValue(1.5f),
                                       RecordValue(-2.75),         RecordValue(std::complex<float>(1, -2)),
                                       RecordValue(std::complex<double>(0.1, 3)), RecordValue(std::string("x"))};
    std::vector<DataType> types = {DataType::Char,  DataType::UChar,  DataType::Short,   DataType::UShort,
                                   DataType::Int,   DataType::UInt,   DataType::Int64,   DataType::Float,
                                   DataType::Double, DataType::Complex, DataType::DComplex};
    for (DataType t : types) {
        for (const auto& v : values) {
            for (bool be : {false, true}) {
                Writer w(!be);
                write_scalar_value(w, t, v);
                auto cell = encode_scalar_cell(be, 0, t, v);
                ASSERT_TRUE(cell);
                EXPECT_EQ(*cell, std::vector<uint8_t>(w.bytes().begin(), w.bytes().end()))
                    << data_type_name(t) << " value kind " << static_cast<int>(v.kind()) << " be " << be;
            }
        }
    }
    // Bool: true or a non-zero UChar.
    EXPECT_EQ(encode_scalar_cell(false, 0, DataType::Bool, RecordValue(uint8_t{2})).value(), hex("01"));
    EXPECT_EQ(encode_scalar_cell(false, 0, DataType::Bool, RecordValue(int32_t{2})).value(), hex("00"));
    // Strings: fixed length cut and padded, non-strings zero; the inline form;
    // the string-bucket case.
    EXPECT_EQ(encode_scalar_cell(false, 3, DataType::String, RecordValue(std::string("abcd"))).value(), hex("616263"));
    EXPECT_EQ(encode_scalar_cell(false, 3, DataType::String, RecordValue(int32_t{7})).value(), hex("000000"));
    EXPECT_EQ(encode_scalar_cell(true, 0, DataType::String, RecordValue(std::string("ab"))).value(),
              hex("6162000000000000 00000002"));
    auto long_text = encode_scalar_cell(false, 0, DataType::String, RecordValue(std::string("123456789")));
    ASSERT_FALSE(long_text);
    EXPECT_EQ(long_text.error().message(),
              "string data stored in string buckets (bucket nr 0, len 9) is not supported yet");
    auto table = encode_scalar_cell(false, 0, DataType::Table, RecordValue(std::string("t")));
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error().message(), "array columns are not supported yet (column Table)");
}

TEST(SsmCellCodec, DecodeScalarCases) {
    CellColumn str{"s", DataType::String, CellKind::Scalar, 0};
    auto long_ref = decode_scalar(hex("05000000 07000000 20000000"), str, false);
    ASSERT_FALSE(long_ref);
    EXPECT_EQ(long_ref.error().message(),
              "string data stored in string buckets (bucket nr 5, len 32) is not supported yet");
    EXPECT_EQ(decode_scalar(hex("6869000000000000 00000002"), str, true).value(), RecordValue(std::string("hi")));
    CellColumn fixed{"f", DataType::String, CellKind::Scalar, 5};
    EXPECT_EQ(decode_scalar(hex("6869006a6b"), fixed, false).value(), RecordValue(std::string("hi")));
    CellColumn b{"b", DataType::Bool, CellKind::Scalar, 0};
    EXPECT_EQ(decode_scalar(hex("04"), b, false, 2).value(), RecordValue(true));
    EXPECT_EQ(decode_scalar(hex("04"), b, false, 1).value(), RecordValue(false));
    CellColumn s16{"s", DataType::Short, CellKind::Scalar, 0};
    EXPECT_EQ(decode_scalar(hex("fffe"), s16, true).value(), RecordValue(int16_t{-2}));
    CellColumn arr{"A", DataType::Int, CellKind::Array, 0};
    EXPECT_EQ(decode_scalar(hex("00000000"), arr, false).error().message(),
              "array columns are not supported yet (column A (ArrayInt))");
    CellColumn tab{"T", DataType::Table, CellKind::Scalar, 0};
    EXPECT_EQ(decode_scalar(hex("00000000"), tab, false).error().message(),
              "array columns are not supported yet (column T (Table))");
}

TEST(SsmWriter, ColumnsPickedFromATableDescription) {
    TableDesc desc;
    desc.name = "D";
    auto add = [&](std::string name, DataType t, ColumnKind kind) {
        ColumnDesc c;
        c.name = std::move(name);
        c.data_type = t;
        c.kind = kind;
        desc.columns.push_back(std::move(c));
    };
    add("x", DataType::Double, ColumnKind::Scalar);
    add("other", DataType::Int, ColumnKind::Scalar);  // stored elsewhere
    add("arr", DataType::Short, ColumnKind::Array);
    std::vector<std::vector<RecordValue>> lists = {
        {RecordValue(1.5), RecordValue(-2.0)},
        {RecordValue(int32_t{1}), RecordValue(int32_t{2})},
        {RecordValue(ArrayValue{{2}, ArrayData(std::vector<int16_t>{1, 2})}),
         RecordValue(ArrayValue{{1}, ArrayData(std::vector<int16_t>{3})})},
    };
    std::vector<size_t> positions = {2, 0};
    auto d = build_ssm_data(desc, positions, lists, 2, "grp");
    ASSERT_TRUE(d) << d.error().message();
    EXPECT_EQ(d->column_offsets, (std::vector<uint32_t>{0, 256}));
    EXPECT_EQ(d->name, "grp");
    auto f = StandardStManFile::from_buffers(Buffer::from_bytes(d->bucket_file), Buffer::from_bytes(*d->array_file),
                                             false);
    ASSERT_TRUE(f);
    StandardStMan settings{d->name, d->column_offsets, d->column_index_map};
    EXPECT_EQ(f->read_cell(settings, 0, 1, cell_column(desc.columns[2])).value(), lists[2][1]);
    EXPECT_EQ(f->read_cell(settings, 1, 1, cell_column(desc.columns[0])).value(), lists[0][1]);

    lists[0][0] = RecordValue(ArrayValue{});
    desc.columns[0].kind = ColumnKind::Array;
    EXPECT_EQ(build_ssm_data(desc, positions, lists, 2, "grp").error().message(),
              "encode D.x: array shape holds 1 elements but the value has 0");
}

TEST(SsmWriter, WriterErrors) {
    auto ints = std::vector<RecordValue>{RecordValue(int32_t{5})};
    auto a = array("A", DataType::Int);
    auto r = build_ssm_data("T", std::vector<SsmWriteColumn>{{a, ints}}, 1, "m");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "T.A: expected an array value for an array column");

    auto rec = CellColumn{"R", DataType::Record, CellKind::Record, 0};
    r = build_ssm_data("T", std::vector<SsmWriteColumn>{{rec, ints}}, 1, "m");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "T.R: expected a record cell, got Int(5)");

    auto bad_shape = std::vector<RecordValue>{RecordValue(ArrayValue{{2, 2}, ArrayData(std::vector<int32_t>{1, 2, 3})})};
    r = build_ssm_data("T", std::vector<SsmWriteColumn>{{a, bad_shape}}, 1, "m");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "encode T.A: array shape holds 4 elements but the value has 3");

    auto huge = scalar("H", DataType::String, 200000000);
    r = build_ssm_data("T", std::vector<SsmWriteColumn>{{huge, ints}}, 1, "m");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "encode T.H: cells of 200000000 bytes do not fit in a bucket");

    auto tab = scalar("C", DataType::Table);
    r = build_ssm_data("T", std::vector<SsmWriteColumn>{{tab, ints}}, 1, "m");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "encode T.C: array columns are not supported yet (column C (Table))");
}

}  // namespace
}  // namespace orvala
