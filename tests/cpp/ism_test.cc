#include "ism.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "byteorder.h"
#include "test_bytes.h"

namespace orvala {
namespace {

const std::string kLwa = std::string(ORVALA_TEST_DATA) + "/lwa-downselected.ms";

IsmFile open_image(std::vector<uint8_t> image, bool big_endian = false) {
    auto f = IsmFile::from_buffer(Buffer::from_bytes(std::move(image)), big_endian);
    if (!f) throw std::runtime_error(f.error().message());
    return std::move(*f);
}

ColumnDesc column(std::string name, DataType type, ColumnKind kind = ColumnKind::Scalar) {
    ColumnDesc c;
    c.name = std::move(name);
    c.data_type = type;
    c.kind = kind;
    return c;
}

// The whole of a description "t" of these columns, in an IncrementalStMan.
std::expected<std::vector<uint8_t>, StorageWriteError> build_all(const std::vector<ColumnDesc>& cols,
                                                                 const std::vector<std::vector<RecordValue>>& values,
                                                                 uint64_t rows) {
    TableDesc desc;
    desc.name = "t";
    desc.columns = cols;
    std::vector<uint32_t> positions;
    for (uint32_t i = 0; i < cols.size(); ++i) positions.push_back(i);
    return build_ism_data(desc, positions, values, rows);
}

std::vector<uint8_t> build(const std::vector<ColumnDesc>& cols, const std::vector<std::vector<RecordValue>>& values,
                           uint64_t rows) {
    auto image = build_all(cols, values, rows);
    if (!image) throw std::runtime_error(image.error().message());
    return std::move(*image);
}

// A value of the type that changes every `period` rows.
RecordValue value_for(DataType t, uint64_t row, uint64_t period) {
    const int64_t k = static_cast<int64_t>(row / period);
    switch (t) {
        case DataType::Bool: return RecordValue(k % 2 == 1);
        case DataType::UChar: return RecordValue(static_cast<uint8_t>(k * 7));
        case DataType::Short: return RecordValue(static_cast<int16_t>(-k * 3));
        case DataType::UShort: return RecordValue(static_cast<uint16_t>(k * 5 + 60000));
        case DataType::Int: return RecordValue(static_cast<int32_t>(-k * 100003));
        case DataType::UInt: return RecordValue(static_cast<uint32_t>(4000000000u + k));
        case DataType::Int64: return RecordValue(int64_t{-(1ll << 40)} * k);
        case DataType::Float: return RecordValue(static_cast<float>(k) * 0.5f);
        case DataType::Double: return RecordValue(5.0e9 + static_cast<double>(k) / 3);
        case DataType::Complex: return RecordValue(std::complex<float>(static_cast<float>(k), -1.5f));
        case DataType::DComplex: return RecordValue(std::complex<double>(1e-3, static_cast<double>(k)));
        default: return RecordValue();
    }
}

const DataType kTypes[] = {DataType::Bool,   DataType::UChar, DataType::Short,   DataType::UShort,
                           DataType::Int,    DataType::UInt,  DataType::Int64,   DataType::Float,
                           DataType::Double, DataType::Complex, DataType::DComplex};

TEST(IsmRoundTrip, EveryTypeOverManyBuckets) {
    // 11 columns of 58 bytes a row: (32764 - 44) div (58 + 88) = 224 rows
    // per bucket, so 5000 rows take 23 buckets.
    const uint64_t rows = 5000;
    std::vector<ColumnDesc> cols;
    std::vector<std::vector<RecordValue>> values;
    uint64_t period = 1;
    for (DataType t : kTypes) {
        cols.push_back(column(std::string("c") + data_type_name(t), t));
        std::vector<RecordValue> v;
        for (uint64_t r = 0; r < rows; ++r) v.push_back(value_for(t, r, period));
        values.push_back(std::move(v));
        period = period * 3 + 1;  // 1, 4, 13, 40, ... rows per value
    }
    IsmFile f = open_image(build(cols, values, rows));
    EXPECT_EQ(f.header().nr_buckets, 23u);
    EXPECT_EQ(f.index().start_rows[1], 224u);
    EXPECT_EQ(f.index().row_count(), rows);
    for (uint32_t c = 0; c < cols.size(); ++c) {
        IsmColumn col{cols[c].name, c, cols[c].data_type};
        auto all = f.read_column(col, 0, rows);
        ASSERT_TRUE(all.has_value()) << all.error().message();
        EXPECT_EQ(*all, values[c]) << cols[c].name;
        // A middle range that starts and ends inside buckets.
        auto part = f.read_column(col, 1000, 1234);
        ASSERT_TRUE(part.has_value());
        EXPECT_TRUE(std::equal(part->begin(), part->end(), values[c].begin() + 1000)) << cols[c].name;
        for (uint64_t r : {0u, 223u, 224u, 2500u, 4999u}) EXPECT_EQ(*f.read_cell(col, r), values[c][r]);
        // The raw form: the stored bytes of each row, little-endian.
        const uint32_t size = *ism_cell_size(cols[c].data_type);
        std::vector<uint8_t> raw(rows * size);
        ASSERT_TRUE(f.read_raw(col, 0, rows, raw).has_value());
        Writer w(true);
        for (const RecordValue& v : values[c]) write_scalar_value(w, cols[c].data_type, v);
        EXPECT_EQ(raw, w.take()) << cols[c].name;
    }
}

TEST(IsmRoundTrip, RunsFollowStoredValuesAndBuckets) {
    // One Double column: 2047 rows per bucket. The value changes every 1000
    // rows; each bucket boundary also starts a new run.
    std::vector<ColumnDesc> cols{column("d", DataType::Double)};
    std::vector<std::vector<RecordValue>> values(1);
    for (uint64_t r = 0; r < 5000; ++r) values[0].push_back(RecordValue(static_cast<double>(r / 1000)));
    IsmFile f = open_image(build(cols, values, 5000));
    EXPECT_EQ(f.index().start_rows, (std::vector<uint64_t>{0, 2047, 4094, 5000}));
    EXPECT_EQ(f.index().bucket_numbers, (std::vector<uint32_t>{0, 1, 2}));
    auto reader = f.runs({"d", 0, DataType::Double}, 500, 4000);
    ASSERT_TRUE(reader.has_value());
    std::vector<std::pair<uint64_t, uint64_t>> runs;
    for (;;) {
        auto run = reader->next();
        ASSERT_TRUE(run.has_value()) << run.error().message();
        if (!*run) break;
        EXPECT_EQ(load_f64((*run)->value.data(), true), static_cast<double>((*run)->first_row / 1000));
        runs.emplace_back((*run)->first_row, (*run)->rows);
    }
    EXPECT_EQ(runs, (std::vector<std::pair<uint64_t, uint64_t>>{
                        {500, 500}, {1000, 1000}, {2000, 47}, {2047, 953}, {3000, 1000}, {4000, 94}, {4094, 406}}));
}

TEST(IsmLayout, ConstantColumnStoresOneValuePerBucket) {
    std::vector<ColumnDesc> cols{column("d", DataType::Double)};
    std::vector<std::vector<RecordValue>> values(1, std::vector<RecordValue>(4100, RecordValue(2.5)));
    IsmFile f = open_image(build(cols, values, 4100));
    ASSERT_EQ(f.header().nr_buckets, 3u);
    for (uint32_t b = 0; b < 3; ++b) {
        auto ci = f.column_index(b, 0);
        ASSERT_TRUE(ci.has_value());
        EXPECT_EQ(ci->count, 1u);
        EXPECT_EQ(ci->row(0), 0u);
    }
    // A row in the middle of the run reads the value stored at its start.
    EXPECT_EQ(*f.read_cell({"d", 0, DataType::Double}, 3000), RecordValue(2.5));
}

TEST(IsmLayout, AlternatingBoolsFitTheirBuckets) {
    // (32764 - 8) div (2 + 16) = 1819 rows per bucket with every value new.
    std::vector<ColumnDesc> cols{column("a", DataType::Bool), column("b", DataType::Bool)};
    std::vector<std::vector<RecordValue>> values(2);
    for (uint64_t r = 0; r < 4000; ++r) {
        values[0].push_back(RecordValue(r % 2 == 0));
        values[1].push_back(RecordValue(r % 2 == 1));
    }
    IsmFile f = open_image(build(cols, values, 4000));
    EXPECT_EQ(f.index().start_rows, (std::vector<uint64_t>{0, 1819, 3638, 4000}));
    auto ci = f.column_index(0, 1);
    ASSERT_TRUE(ci.has_value());
    EXPECT_EQ(ci->count, 1819u);
    for (uint32_t c = 0; c < 2; ++c) EXPECT_EQ(*f.read_column({"x", c, DataType::Bool}, 0, 4000), values[c]);
}

TEST(IsmLayout, ZeroRowsByteExact) {
    std::vector<ColumnDesc> cols{column("i", DataType::Int)};
    std::vector<std::vector<RecordValue>> values(1);
    std::vector<uint8_t> image = build(cols, values, 0);
    // The header: "IncrementalStMan" version 5, little-endian, 32768-byte
    // buckets, none of them, then zeros to byte 512.
    auto header = test::hex(
        "bebebebe 35000000 10000000 496e6372656d656e74616c53744d616e 05000000"
        "00 00800000 00000000 00000000 00000000 00000000 ffffffff");
    ASSERT_EQ(image.size(), 512u + 74u);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), image.begin()));
    EXPECT_TRUE(std::all_of(image.begin() + header.size(), image.begin() + 512, [](uint8_t b) { return b == 0; }));
    // The index: no buckets; start rows [0]; no bucket numbers.
    auto index = test::hex(
        "bebebebe 46000000 08000000 49534d496e646578 01000000 00000000"
        "19000000 05000000 426c6f636b 01000000 01000000 00000000"
        "15000000 05000000 426c6f636b 01000000 00000000");
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 512, image.end()), index);
    IsmFile f = open_image(image);
    EXPECT_EQ(f.index().row_count(), 0u);
    EXPECT_EQ(f.read_column({"i", 0, DataType::Int}, 0, 0)->size(), 0u);
    EXPECT_EQ(f.read_cell({"i", 0, DataType::Int}, 0).error().message(), "row 0 not covered by any bucket");
}

// A big-endian file of one bucket (bucket size 64) holding two columns of
// rows 0..5: a Short column with values at rows 0 and 3, and an Int column
// with one value; row numbers 8 bytes wide when `wide`.
std::vector<uint8_t> hand_built_be(bool wide, uint32_t version = 4) {
    Writer w(false);
    w.put_magic();
    w.put_object_start("IncrementalStMan", version);
    if (version >= 5) w.put_bool(true);
    for (uint32_t v : {64u, 1u, 0u, 0u, 0u}) w.put_u32(v);
    w.put_i32(-1);
    w.put_object_end();
    std::vector<uint8_t> out = w.take();
    out.resize(512 + 64, 0);
    uint8_t* b = out.data() + 512;
    // Values: short 0x1234 at 0, short -2 at 2, int 77 at 4.
    store_u16(b + 4, 0x1234, false);
    store_u16(b + 6, 0xfffe, false);
    store_u32(b + 8, 77, false);
    uint32_t at = 12;
    store_u32(b, at | (wide ? 0x10000000u : 0u), false);
    auto put_rows = [&](std::initializer_list<uint64_t> rows) {
        for (uint64_t r : rows) {
            if (wide) store_u64(b + at, r, false), at += 8;
            else store_u32(b + at, static_cast<uint32_t>(r), false), at += 4;
        }
    };
    store_u32(b + at, 2, false), at += 4;
    put_rows({0, 3});
    store_u32(b + at, 0, false), store_u32(b + at + 4, 2, false), at += 8;
    store_u32(b + at, 1, false), at += 4;
    put_rows({0});
    store_u32(b + at, 4, false), at += 4;
    Writer iw(false);
    iw.put_magic();
    iw.put_object_start("ISMIndex", 2);
    iw.put_u32(1);
    iw.put_object_start("Block", 1);
    iw.put_u32(2);
    iw.put_u64(0);
    iw.put_u64(6);
    iw.put_object_end();
    iw.put_object_start("Block", 1);
    iw.put_u32(1);
    iw.put_u32(0);
    iw.put_object_end();
    iw.put_object_end();
    auto index = iw.take();
    out.insert(out.end(), index.begin(), index.end());
    return out;
}

TEST(IsmRead, HandBuiltBigEndianFiles) {
    for (bool wide : {false, true}) {
        IsmFile f = open_image(hand_built_be(wide), true);
        auto shorts = f.read_column({"s", 0, DataType::Short}, 0, 6);
        ASSERT_TRUE(shorts.has_value()) << shorts.error().message();
        std::vector<RecordValue> want;
        for (int16_t v : {0x1234, 0x1234, 0x1234, -2, -2, -2}) want.push_back(RecordValue(v));
        EXPECT_EQ(*shorts, want);
        EXPECT_EQ(*f.read_cell({"i", 1, DataType::Int}, 5), RecordValue(int32_t{77}));
    }
}

TEST(IsmRead, RealTable) {
    // IncrementalStMan columns of a table written by another program: one
    // bucket each, every value constant over the 210 rows.
    struct Case {
        uint32_t seq;
        DataType type;
        RecordValue value;
    };
    const Case cases[] = {
        {7, DataType::Int, RecordValue(int32_t{0})},     // ARRAY_ID
        {9, DataType::Double, RecordValue(13.00001)},    // EXPOSURE (approximately)
        {14, DataType::Double, RecordValue(13.00001)},   // INTERVAL
        {19, DataType::Double, RecordValue(5028807244.895898)},  // TIME
    };
    for (const Case& c : cases) {
        auto f = IsmFile::open(kLwa, c.seq, false);
        ASSERT_TRUE(f.has_value()) << f.error().message();
        EXPECT_EQ(f->index().row_count(), 210u);
        IsmColumn col{"c", 0, c.type};
        auto all = f->read_column(col, 0, 210);
        ASSERT_TRUE(all.has_value()) << all.error().message();
        ASSERT_EQ(all->size(), 210u);
        EXPECT_TRUE(std::all_of(all->begin(), all->end(), [&](const RecordValue& v) { return v == (*all)[0]; }));
        if (c.type == DataType::Int) EXPECT_EQ((*all)[0], c.value);
        else EXPECT_NEAR(std::get<double>((*all)[0]), std::get<double>(c.value), 1e-4);
    }
    EXPECT_EQ(IsmFile::open(kLwa, 99, false).error().message(),
              kLwa + "/table.f99: No such file or directory (os error 2)");
}

// A little-endian file of 10 Int rows (values 0,0,1,1,...) to corrupt.
std::vector<uint8_t> small_file() {
    std::vector<ColumnDesc> cols{column("i", DataType::Int)};
    std::vector<std::vector<RecordValue>> values(1);
    for (int32_t r = 0; r < 10; ++r) values[0].push_back(RecordValue(r / 2));
    return build(cols, values, 10);
}

TEST(IsmRead, CorruptFilesGiveErrors) {
    const size_t b = 512;                 // the bucket
    const size_t index_at = 512 + 32768;  // the index
    // Bucket 0: W = 4 + 5 values × 4 = 24, then count 5, rows, offsets.
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> corrupt;
        bool at_open;
        std::string message;
    };
    const Case cases[] = {
        {"header type", [](auto& f) { f[12] = 'X'; }, true,
         "unexpected object type \"XncrementalStMan\", expected \"IncrementalStMan\""},
        {"big-endian flag", [](auto& f) { f[32] = 1; }, true,
         "data file endian flag true does not match table flag false"},
        {"bucket count past the file", [](auto& f) { store_u32(f.data() + 37, 5, true); }, true,
         "IncrementalStMan index at offset 164352 lies beyond the end of the file (33362 bytes)"},
        {"index type", [&](auto& f) { f[index_at + 12] = 'J'; }, true,
         "unexpected object type \"JSMIndex\", expected \"ISMIndex\""},
        {"bucket number", [&](auto& f) { store_u32(f.data() + f.size() - 4, 1, true); }, true,
         "bucket 1 is out of range (file has 1)"},
        {"start rows descending", [&](auto& f) { store_u32(f.data() + index_at + 49, 20, true); }, true,
         "IncrementalStMan index: bucket start rows are not ascending at entry 1"},
        {"start rows short", [&](auto& f) { store_u32(f.data() + index_at + 45, 1, true); }, true,
         "IncrementalStMan index holds 1 bucket start rows for 1 buckets"},
        {"index offset past the bucket", [&](auto& f) { store_u32(f.data() + b, 40000, true); }, false,
         "IncrementalStMan bucket 0: index part at offset 40000 runs past the bucket end (32768 bytes)"},
        {"entry count past the bucket", [&](auto& f) { store_u32(f.data() + b + 24, 0x0fffffff, true); }, false,
         "IncrementalStMan bucket 0: index part at offset 24 runs past the bucket end (32768 bytes)"},
        {"value offset past the values", [&](auto& f) { store_u32(f.data() + b + 24 + 4 + 20 + 8, 20, true); }, false,
         "IncrementalStMan bucket 0: value at offset 20 (4 bytes) lies outside the value area (20 bytes)"},
        {"first entry after row 0", [&](auto& f) { store_u32(f.data() + b + 28, 1, true); }, false,
         "column i of the IncrementalStMan has no data for row 0"},
        {"entries out of order", [&](auto& f) { store_u32(f.data() + b + 36, 1, true); }, false,
         "IncrementalStMan bucket 0: column i has entries out of row order"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = small_file();
        c.corrupt(image);
        auto f = IsmFile::from_buffer(Buffer::from_bytes(image), false);
        if (c.at_open) {
            ASSERT_FALSE(f.has_value()) << c.what;
            EXPECT_EQ(f.error().message(), c.message) << c.what;
            continue;
        }
        ASSERT_TRUE(f.has_value()) << c.what << ": " << f.error().message();
        auto col = f->read_column({"i", 0, DataType::Int}, 0, 10);
        ASSERT_FALSE(col.has_value()) << c.what;
        EXPECT_EQ(col.error().message(), c.message) << c.what;
    }
}

TEST(IsmRead, ColumnsItCannotServe) {
    IsmFile f = open_image(small_file());
    EXPECT_EQ(f.read_cell({"s", 0, DataType::String}, 0).error().message(),
              "IncrementalStMan strings are not supported yet");
    EXPECT_EQ(f.read_cell({"a", 0, DataType::Int, true}, 0).error().message(),
              "column a is not a scalar IncrementalStMan column");
    EXPECT_EQ(f.read_cell({"r", 0, DataType::Record}, 0).error().message(),
              "array columns are not supported yet (column r (Record))");
    EXPECT_EQ(f.read_cell({"i", 0, DataType::Int}, 10).error().message(), "row 10 not covered by any bucket");
    EXPECT_EQ(f.read_column({"i", 0, DataType::Int}, 5, 1000).error().message(), "row 10 not covered by any bucket");
}

TEST(IsmWrite, RefusesWhatItCannotStore) {
    std::vector<std::vector<RecordValue>> one(1);
    auto err = [&](ColumnDesc c) { return build_all({c}, one, 0).error().message(); };
    EXPECT_EQ(err(column("s", DataType::String)), "IncrementalStMan string column s is not writable yet");
    EXPECT_EQ(err(column("a", DataType::Int, ColumnKind::Array)),
              "column a is not a scalar column (array columns are not writable yet)");
    EXPECT_EQ(err(column("r", DataType::Record, ColumnKind::Record)), "encode t.r: values of type Record cannot be stored by an IncrementalStMan");
    // 1200 DComplex columns: 4 + 12 × 1200 + 16 × 1200 bytes exceed a bucket.
    std::vector<ColumnDesc> wide(1200, column("z", DataType::DComplex));
    std::vector<std::vector<RecordValue>> none(1200);
    EXPECT_EQ(build_all(wide, none, 0).error().message(),
              "IncrementalStMan row of 1200 columns (19200 bytes of values) does not fit a bucket of 32768 bytes");
}

}  // namespace
}  // namespace orvala
