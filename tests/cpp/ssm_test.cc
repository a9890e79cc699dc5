// StandardStManFile over hand-built big-endian files, and over damaged files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "aipsio.h"
#include "byteorder.h"
#include "ssm.h"
#include "ssm_writer.h"
#include "test_bytes.h"

namespace orvala {
namespace {

using test::hex;

// ---- hand-built files ----

struct HeaderFields {
    uint32_t version = 3;
    bool flag = true;
    uint32_t bucket_size = 128;
    uint32_t nr_buckets = 0;
    uint32_t nr_idx_buckets = 1;
    int32_t first_idx_bucket = 0;
    int32_t idx_bucket_offset = 8;
    int32_t last_string_bucket = -1;
    uint32_t index_length = 0;
    uint32_t nr_indices = 1;
};

std::vector<uint8_t> header_bytes(const HeaderFields& f, bool big_endian) {
    Writer w(!big_endian);
    w.put_magic();
    w.put_object_start("StandardStMan", f.version);
    if (f.version >= 3) w.put_bool(f.flag);
    w.put_u32(f.bucket_size);
    w.put_u32(f.nr_buckets);
    w.put_u32(0);
    w.put_u32(0);
    w.put_i32(-1);
    w.put_u32(f.nr_idx_buckets);
    w.put_i32(f.first_idx_bucket);
    w.put_i32(f.idx_bucket_offset);
    w.put_i32(f.last_string_bucket);
    w.put_u32(f.index_length);
    w.put_u32(f.nr_indices);
    w.put_object_end();
    return w.take();
}

// An "SSMIndex" with a one-pair free-space map and 64-bit last rows (a
// Block of version 2).
std::vector<uint8_t> index_bytes(uint32_t rows_per_bucket, uint32_t columns, const std::vector<uint64_t>& last_rows,
                                 const std::vector<uint32_t>& buckets, bool big_endian) {
    Writer w(!big_endian);
    w.put_magic();
    w.put_object_start("SSMIndex", 1);
    w.put_u32(static_cast<uint32_t>(buckets.size()));
    w.put_u32(rows_per_bucket);
    w.put_u32(columns);
    w.put_object_start("SimpleOrderedMap", 1);
    w.put_i32(0);
    w.put_u32(1);
    w.put_u32(1);
    w.put_i32(5);
    w.put_i32(6);
    w.put_object_end();
    w.put_object_start("Block", 2);
    w.put_u32(static_cast<uint32_t>(last_rows.size()));
    for (uint64_t r : last_rows) w.put_u64(r);
    w.put_object_end();
    w.put_object_start("Block", 1);
    w.put_u32(static_cast<uint32_t>(buckets.size()));
    for (uint32_t b : buckets) w.put_u32(b);
    w.put_object_end();
    w.put_object_end();
    return w.take();
}

struct HandFile {
    uint32_t bucket_size;
    std::vector<uint8_t> bytes;

    HandFile(uint32_t bs, uint32_t buckets) : bucket_size(bs), bytes(512 + uint64_t{buckets} * bs, 0) {}
    uint8_t* at(uint32_t bucket, uint32_t offset) { return bytes.data() + 512 + uint64_t{bucket} * bucket_size + offset; }
    void put(uint32_t bucket, uint32_t offset, const std::vector<uint8_t>& b) {
        std::memcpy(at(bucket, offset), b.data(), b.size());
    }
    void header(const std::vector<uint8_t>& h) { std::memcpy(bytes.data(), h.data(), h.size()); }
};

std::vector<uint8_t> text(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Five rows in two data buckets out of order (rows 0-2 in bucket 3, rows 3-4
// in bucket 0), the index in bucket 1 and strings in bucket 2; columns Int
// at 0, Bool at 12, variable String at 16, Int array at 52, DComplex at 76.
HandFile big_endian_file(uint32_t version) {
    HandFile f(256, 4);
    auto index = index_bytes(3, 5, {2, 4}, {3, 0}, true);
    HeaderFields h;
    h.bucket_size = 256;
    h.version = version;
    h.nr_buckets = 4;
    h.first_idx_bucket = 1;
    h.last_string_bucket = 2;
    h.index_length = static_cast<uint32_t>(index.size());
    f.header(header_bytes(h, true));
    f.put(1, 0, hex("ffffffff ffffffff"));
    f.put(1, 8, index);
    // Int: 1, -2, 0x01020304 | 7, 8
    f.put(3, 0, hex("00000001 fffffffe 01020304"));
    f.put(0, 0, hex("00000007 00000008"));
    // Bool: true, false, true | false, true
    f.put(3, 12, hex("05"));
    f.put(0, 12, hex("02"));
    // String: "hi" | 20 bytes in bucket 2 at 0 | "" | "nine byte" in bucket 2 at 20 | "ok"
    f.put(3, 16, text("hi"));
    f.put(3, 24, hex("00000002"));
    f.put(3, 28, hex("00000002 00000000 00000014"));
    f.put(0, 16, hex("00000002 00000014 00000009"));
    f.put(0, 28, text("ok"));
    f.put(0, 36, hex("00000002"));
    f.put(2, 0, hex("00000000 0000001d 000000d3 ffffffff"));
    f.put(2, 16, text("twenty bytes of text"));
    f.put(2, 36, text("nine byte"));
    // Int array references: 16 | 0 | 56 | 0 | 0
    f.put(3, 52, hex("0000000000000010 0000000000000000 0000000000000038"));
    // DComplex: (1.5, -2) in row 0, (3, 4) in row 4
    f.put(3, 76, hex("3ff8000000000000 c000000000000000"));
    f.put(0, 92, hex("4008000000000000 4010000000000000"));
    return f;
}

// Version 1: every array carries a reference count.
std::vector<uint8_t> big_endian_array_file() {
    return hex("00000001 00000000 00000000 00000000"
               "00000001 00000002 00000002 00000003 00000001 00000002 00000003 00000004 00000005 00000006"
               "00000001 00000001 00000002 0000000a 00000014");
}

const StandardStMan kBeSettings{"hand", {0, 12, 16, 52, 76}, {0, 0, 0, 0, 0}};
const CellColumn kInt{"i", DataType::Int, CellKind::Scalar, 0};
const CellColumn kBool{"b", DataType::Bool, CellKind::Scalar, 0};
const CellColumn kStr{"s", DataType::String, CellKind::Scalar, 0};
const CellColumn kArr{"a", DataType::Int, CellKind::Array, 0};
const CellColumn kDc{"d", DataType::DComplex, CellKind::Scalar, 0};

TEST(SsmReader, HandBuiltBigEndianFilesRead) {
    for (uint32_t version : {2u, 3u}) {
        HandFile f = big_endian_file(version);
        auto file = StandardStManFile::from_buffers(Buffer::from_bytes(f.bytes),
                                                    Buffer::from_bytes(big_endian_array_file()), true);
        ASSERT_TRUE(file) << file.error().message();
        const auto& ix = file->indices();
        ASSERT_EQ(ix.size(), 1u);
        EXPECT_EQ(ix[0].rows_per_bucket, 3u);
        EXPECT_EQ(ix[0].column_count, 5u);
        EXPECT_EQ(ix[0].last_rows, (std::vector<uint64_t>{2, 4}));
        EXPECT_EQ(ix[0].bucket_numbers, (std::vector<uint32_t>{3, 0}));

        auto cell = [&](const CellColumn& c, size_t pos, uint64_t row) {
            auto v = file->read_cell(kBeSettings, pos, row, c);
            if (!v) throw std::runtime_error(v.error().message());
            return *v;
        };
        std::vector<int32_t> ints = {1, -2, 0x01020304, 7, 8};
        std::vector<bool> bools = {true, false, true, false, true};
        std::vector<std::string> strs = {"hi", "twenty bytes of text", "", "nine byte", "ok"};
        for (uint64_t r = 0; r < 5; ++r) {
            EXPECT_EQ(cell(kInt, 0, r), RecordValue(ints[r])) << r;
            EXPECT_EQ(cell(kBool, 1, r), RecordValue(static_cast<bool>(bools[r]))) << r;
            EXPECT_EQ(cell(kStr, 2, r), RecordValue(strs[r])) << r;
        }
        EXPECT_EQ(cell(kArr, 3, 0), RecordValue(ArrayValue{{3, 2}, ArrayData(std::vector<int32_t>{1, 2, 3, 4, 5, 6})}));
        EXPECT_EQ(cell(kArr, 3, 2), RecordValue(ArrayValue{{2}, ArrayData(std::vector<int32_t>{10, 20})}));
        auto empty = file->read_cell(kBeSettings, 3, 1, kArr);
        ASSERT_FALSE(empty);
        EXPECT_EQ(empty.error().message(), "row 1 of a has no array (empty reference)");
        EXPECT_EQ(cell(kDc, 4, 0), RecordValue(std::complex<double>(1.5, -2)));
        EXPECT_EQ(cell(kDc, 4, 4), RecordValue(std::complex<double>(3, 4)));

        // The runs follow the index's bucket numbers.
        auto cursor = file->runs(file->column_layout(kBeSettings, 0, kInt).value(), 0, 5);
        ASSERT_TRUE(cursor);
        SsmRun run;
        ASSERT_TRUE(cursor->next(run).value());
        EXPECT_EQ(run.rows, 3u);
        EXPECT_EQ(run.bytes.data(), f.at(3, 0) - f.bytes.data() + file->file_bytes().data());
        ASSERT_TRUE(cursor->next(run).value());
        EXPECT_EQ(run.first_row, 3u);
        EXPECT_EQ(std::vector<uint8_t>(run.bytes.begin(), run.bytes.end()), hex("00000007 00000008"));
        EXPECT_FALSE(cursor->next(run).value());
    }
}

TEST(SsmReader, AFileInTheOtherByteOrderIsRefusedWithTheEndianMessage) {
    HandFile f = big_endian_file(3);
    auto as_little = StandardStManFile::from_buffers(Buffer::from_bytes(f.bytes), std::nullopt, false);
    ASSERT_FALSE(as_little);
    EXPECT_EQ(as_little.error().message(), "data file endian flag true does not match table flag false");

    std::vector<RecordValue> none;
    CellColumn i{"i", DataType::Int, CellKind::Scalar, 0};
    auto d = build_ssm_data("T", std::vector<SsmWriteColumn>{{i, none}}, 0, "m").value();
    auto as_big = StandardStManFile::from_buffers(Buffer::from_bytes(d.bucket_file), std::nullopt, true);
    ASSERT_FALSE(as_big);
    EXPECT_EQ(as_big.error().message(), "data file endian flag false does not match table flag true");
}

TEST(SsmReader, LastRowsWithoutBucketNumberAreNotCovered) {
    HandFile f = big_endian_file(3);
    auto index = index_bytes(3, 5, {2, 4}, {3}, true);  // no bucket for rows 3-4
    f.put(1, 8, index);
    HeaderFields h;
    h.bucket_size = 256;
    h.nr_buckets = 4;
    h.first_idx_bucket = 1;
    h.last_string_bucket = 2;
    h.index_length = static_cast<uint32_t>(index.size());
    f.header(header_bytes(h, true));
    auto file = StandardStManFile::from_buffers(Buffer::from_bytes(f.bytes), std::nullopt, true);
    ASSERT_TRUE(file) << file.error().message();
    EXPECT_TRUE(file->read_cell(kBeSettings, 0, 2, kInt));
    auto r = file->read_cell(kBeSettings, 0, 3, kInt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "row 3 not covered by any indexed bucket");
}

// ---- damaged files ----

// Int, String, Int array and String array over 33 rows; row 1's string
// (3000 bytes) fills string buckets 3 and 4 and goes on in 5.
struct Base {
    SsmData data;
    std::vector<std::vector<RecordValue>> values;
    StandardStMan settings;
    std::vector<CellColumn> cols = {{"i", DataType::Int, CellKind::Scalar, 0},
                                    {"s", DataType::String, CellKind::Scalar, 0},
                                    {"a", DataType::Int, CellKind::Array, 0},
                                    {"sa", DataType::String, CellKind::Array, 0}};

    Base() {
        const uint64_t n = 33;
        values.resize(4);
        for (uint64_t r = 0; r < n; ++r) {
            values[0].push_back(RecordValue(static_cast<int32_t>(r)));
            values[1].push_back(RecordValue(r == 1 ? std::string(3000, 'q') : std::string("x")));
            values[2].push_back(RecordValue(ArrayValue{{2, 2}, ArrayData(std::vector<int32_t>{1, 2, 3, 4})}));
            values[3].push_back(RecordValue(ArrayValue{{2}, ArrayData(std::vector<std::string>{"abc", "de"})}));
        }
        std::vector<SsmWriteColumn> w;
        for (size_t i = 0; i < 4; ++i) w.push_back({cols[i], values[i]});
        data = build_ssm_data("T", w, n, "m").value();
        settings = {data.name, data.column_offsets, data.column_index_map};
    }
    uint32_t bucket_size() const { return 128 + 384 + 256 + 384; }
    uint8_t* bucket(uint32_t b, uint32_t offset) { return data.bucket_file.data() + 512 + b * bucket_size() + offset; }
    uint8_t* cell(size_t col, uint64_t row) { return bucket(static_cast<uint32_t>(row / 32), data.column_offsets[col] + static_cast<uint32_t>(row % 32) * (col == 2 ? 8 : col == 0 ? 4 : 12)); }
    SsmResult<StandardStManFile> open(bool with_array_file = true) const {
        std::optional<Buffer> a;
        if (with_array_file) a = Buffer::from_bytes(*data.array_file);
        return StandardStManFile::from_buffers(Buffer::from_bytes(data.bucket_file), std::move(a), false);
    }
};

void patch_u32(std::vector<uint8_t>& bytes, size_t at, uint32_t v, bool le = true) { store_u32(bytes.data() + at, v, le); }

TEST(SsmReader, DamagedHeadersAndIndexesAreRefused) {
    // Header fields of the files written here: flag at 29, then u32/i32 words
    // from 30: bucket size, buckets, cache, free, first free, index buckets,
    // first index bucket (54), index offset (58), last string (62), index
    // length (66), index count (70).
    struct Case {
        const char* what;
        size_t at;
        std::vector<uint8_t> bytes;
        std::string message;
    };
    std::vector<Case> cases = {
        {"type name", 8 + 4, text("X"), "unexpected object type \"XtandardStMan\", expected \"StandardStMan\""},
        {"byte order", 29, hex("01"), "data file endian flag true does not match table flag false"},
        {"bucket size", 30, hex("08000000"), "bucket size 8 is below the 16-byte minimum"},
        {"index offset", 58, hex("80040000"), "index offset 1152 lies beyond a bucket of 1152 bytes"},
        {"no index bucket", 54, hex("ffffffff"), "index says bucket -1 but the file has no such bucket"},
        {"index bucket past the file", 54, hex("63000000"), "index says bucket 99 but the file has no such bucket"},
        {"index bucket past the header's count", 34, hex("02000000"),
         "index says bucket 2 but the file has no such bucket"},
        {"one index too many", 70, hex("02000000"), "buffer too short: need 4 bytes at offset 134, have 134"},
    };
    for (const auto& c : cases) {
        Base b;
        std::memcpy(b.data.bucket_file.data() + c.at, c.bytes.data(), c.bytes.size());
        auto f = b.open();
        ASSERT_FALSE(f) << c.what;
        EXPECT_EQ(f.error().message(), c.message) << c.what;
    }
    // A file cut inside its header.
    Base b;
    b.data.bucket_file.resize(40);
    auto f = b.open();
    ASSERT_FALSE(f);
    EXPECT_EQ(f.error().message(), "buffer too short: need 70 bytes at offset 4, have 40");
}

TEST(SsmReader, ChainedIndexIsFollowedAndALoopIsAnError) {
    // 1000 Bool rows: 32 data buckets and 7 chained index buckets (32 to 38).
    std::vector<RecordValue> bools;
    for (int r = 0; r < 1000; ++r) bools.push_back(RecordValue(r % 7 == 0));
    CellColumn b{"b", DataType::Bool, CellKind::Scalar, 0};
    auto d = build_ssm_data("T", std::vector<SsmWriteColumn>{{b, bools}}, 1000, "m").value();
    StandardStMan settings{"m", d.column_offsets, d.column_index_map};
    {
        auto f = StandardStManFile::from_buffers(Buffer::from_bytes(d.bucket_file), std::nullopt, false);
        ASSERT_TRUE(f) << f.error().message();
        EXPECT_EQ(f->header().nr_idx_buckets, 7u);
        for (uint64_t r : {0, 1, 500, 999}) EXPECT_EQ(f->read_cell(settings, 0, r, b).value(), bools[r]) << r;
    }
    // Bucket 33 names 32 as its successor.
    patch_u32(d.bucket_file, 512 + 33 * 64 + 4, 32, false);
    auto f = StandardStManFile::from_buffers(Buffer::from_bytes(d.bucket_file), std::nullopt, false);
    ASSERT_FALSE(f);
    EXPECT_EQ(f.error().message(), "index bucket chain loops back to bucket 32");
}

TEST(SsmReader, CellLookupErrors) {
    Base b;
    auto f = b.open().value();
    auto msg = [&](const StandardStMan& s, size_t pos, uint64_t row) {
        auto r = f.read_cell(s, pos, row, b.cols[pos]);
        return r ? std::string("ok") : r.error().message();
    };
    EXPECT_EQ(msg(b.settings, 0, 32), "ok");
    EXPECT_EQ(msg(b.settings, 0, 33), "row 33 not covered by any indexed bucket");
    StandardStMan s = b.settings;
    s.column_index_map[0] = 1;
    EXPECT_EQ(msg(s, 0, 0), "index 1 not found (file holds 1)");
    s = b.settings;
    s.column_offsets[0] = 1150;
    EXPECT_EQ(msg(s, 0, 0), "cell at offset 1662 (len 4) falls outside bucket 0");
    s.column_offsets.resize(2);
    auto r = f.read_cell(s, 3, 0, b.cols[3]);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "StandardStMan settings have no column 3 (they hold 2)");
    EXPECT_EQ(f.cell_bytes(0, 1149, 0, 4).error().message(), "cell at offset 1661 (len 4) falls outside bucket 0");
}

TEST(SsmReader, BrokenStringReferencesAreErrors) {
    struct Case {
        const char* what;
        std::function<void(Base&)> damage;
        std::string message;
    };
    // Row 1's cell: bucket 3, offset 0, length 3000.
    auto set_cell = [](int32_t bucket, int32_t offset, int32_t length) {
        return [=](Base& b) {
            store_u32(b.cell(1, 1), static_cast<uint32_t>(bucket), true);
            store_u32(b.cell(1, 1) + 4, static_cast<uint32_t>(offset), true);
            store_u32(b.cell(1, 1) + 8, static_cast<uint32_t>(length), true);
        };
    };
    std::vector<Case> cases = {
        {"offset beyond the used bytes", set_cell(3, 1137, 3000), "bad string reference: bucket 3, offset 1137, length 3000"},
        {"used beyond the data area", [](Base& b) { store_u32(b.bucket(3, 4), 1137, false); },
         "bad string reference: bucket 3, offset 0, length 3000"},
        {"chain ends early", set_cell(3, 0, 5000), "bad string reference: bucket 3, offset 0, length 5000"},
        {"chain loops on an empty bucket",
         [](Base& b) {
             store_u32(b.bucket(4, 4), 0, false);
             store_u32(b.bucket(4, 12), 4, false);
         },
         "bad string reference: bucket 3, offset 0, length 3000"},
        {"negative bucket", set_cell(-1, 0, 3000), "bad string reference: bucket -1, offset 0, length 3000"},
        {"bucket past the file", set_cell(99, 0, 3000), "bad string reference: bucket 99, offset 0, length 3000"},
        {"negative length", set_cell(3, 0, -20), "bad string reference: bucket 3, offset 0, length -20"},
        {"longer than the file", set_cell(3, 0, 0x7fffffff), "bad string reference: bucket 3, offset 0, length 2147483647"},
    };
    for (const auto& c : cases) {
        Base b;
        {
            auto f = b.open().value();
            EXPECT_EQ(f.read_cell(b.settings, 1, 1, b.cols[1]).value(), b.values[1][1]);
        }
        c.damage(b);
        auto f = b.open().value();
        auto r = f.read_cell(b.settings, 1, 1, b.cols[1]);
        ASSERT_FALSE(r) << c.what;
        EXPECT_EQ(r.error().message(), c.message) << c.what;
    }
    // String-array references with the top bit set in any part.
    for (auto [word, message] : std::vector<std::pair<int, std::string>>{
             {0, "bad string reference: bucket -2147483648, offset 0, length 10"},
             {1, "bad string reference: bucket 5, offset -2147483648, length 10"},
             {2, "bad string reference: bucket 5, offset 0, length -2147483648"}}) {
        Base b;
        uint8_t* c = b.cell(3, 0);
        store_u32(c, 5, true);
        store_u32(c + 4, 0, true);
        store_u32(c + 8, 10, true);
        store_u32(c + 4 * word, 0x80000000u, true);
        auto f = b.open().value();
        auto r = f.read_cell(b.settings, 3, 0, b.cols[3]);
        ASSERT_FALSE(r) << word;
        EXPECT_EQ(r.error().message(), message);
    }
}

TEST(SsmReader, BrokenArrayReferencesAreErrors) {
    Base b;
    {
        auto f = b.open().value();
        EXPECT_EQ(f.read_cell(b.settings, 2, 0, b.cols[2]).value(), RecordValue(ArrayValue{{2, 2}, ArrayData(std::vector<int32_t>{1, 2, 3, 4})}));
        auto missing = b.open(false).value().read_cell(b.settings, 2, 0, b.cols[2]);
        ASSERT_FALSE(missing);
        EXPECT_EQ(missing.error().message(), "array column a needs the table.f0i array index file, which is missing");
    }
    const uint64_t len = b.data.array_file->size();  // 16 + 33 x 28
    ASSERT_EQ(len, 940u);
    struct Case {
        const char* what;
        int64_t ref;
        std::vector<uint8_t> at16;  // bytes written at position 16 of the array file
        std::string message;
    };
    std::vector<Case> cases = {
        {"empty", 0, {}, "row 0 of a has no array (empty reference)"},
        {"at the end", 940, {}, "array reference 940 falls outside the array index file (len 940)"},
        {"negative", -5, {}, "array reference -5 falls outside the array index file (len 940)"},
        {"last bytes", 938, {}, "array reference 938 falls outside the array index file (len 940)"},
        {"elements past the end", 16, hex("02000000 00100000 02000000"),
         "array reference 16 falls outside the array index file (len 940)"},
        {"negative extent", 16, hex("02000000 00000080 02000000"),
         "array reference 16 falls outside the array index file (len 940)"},
        {"extent product overflows", 16, hex("03000000 ffffff7f ffffff7f ffffff7f"),
         "array reference 16 falls outside the array index file (len 940)"},
        {"ndim past the end", 16, hex("ffffff7f"), "array reference 16 falls outside the array index file (len 940)"},
    };
    for (const auto& c : cases) {
        Base d;
        store_u64(d.cell(2, 0), static_cast<uint64_t>(c.ref), true);
        if (!c.at16.empty()) std::memcpy(d.data.array_file->data() + 16, c.at16.data(), c.at16.size());
        auto f = d.open().value();
        auto r = f.read_cell(d.settings, 2, 0, d.cols[2]);
        ASSERT_FALSE(r) << c.what;
        EXPECT_EQ(r.error().message(), c.message) << c.what;
    }
    // An element type that arrays cannot hold.
    SsmArrayRegion region;
    auto f = b.open().value();
    EXPECT_EQ(f.array_region_at(16, DataType::Table, "t", region).error().message(),
              "array elements of type Table are not supported in the array index file yet");
    region.element_count = 5;
    EXPECT_EQ(decode_array_region(region, DataType::Int, false).error().message(),
              "array element region is truncated: 5 elements promised, 0 present");
}

TEST(SsmReader, StringArrayContent) {
    auto ok = decode_string_array_content(hex("00000002 00000003 00000001 00000001"
                                              "00000001 61 00000000 00000002 6263"));
    ASSERT_TRUE(ok) << ok.error().message();
    EXPECT_EQ(ok->shape, (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(ok->strings, (std::vector<std::string>{"a", "", "bc"}));
    auto scalar = decode_string_array_content(hex("00000000 00000001 00000002 6869"));
    ASSERT_TRUE(scalar);
    EXPECT_TRUE(scalar->shape.empty());
    EXPECT_EQ(scalar->strings, (std::vector<std::string>{"hi"}));

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::string message;
    };
    std::vector<Case> cases = {
        {"empty", {}, "bad string reference: bucket 0, offset 0, length 0"},
        {"negative ndim", hex("80000000"), "bad string reference: bucket 0, offset 0, length -2147483648"},
        {"negative extent", hex("00000002 ffffffff 00000001"), "bad string reference: bucket 0, offset 4, length -1"},
        {"ndim past the end", hex("00000009 00000001"), "bad string reference: bucket 0, offset 0, length 9"},
        {"no word after the extents", hex("00000001 00000002"), "bad string reference: bucket 0, offset 8, length 0"},
        {"product overflows", hex("00000003 7fffffff 7fffffff 7fffffff 00000001"),
         "bad string reference: bucket 0, offset 12, length 2147483647"},
        {"more strings than bytes", hex("00000001 00000002 00000001 00000001 61"),
         "bad string reference: bucket 0, offset 12, length 0"},
        {"string past the end", hex("00000001 00000001 00000001 00000005 6162"),
         "bad string reference: bucket 0, offset 12, length 5"},
        {"negative length", hex("00000001 00000001 00000001 80000001"),
         "bad string reference: bucket 0, offset 12, length -2147483647"},
    };
    for (const auto& c : cases) {
        auto r = decode_string_array_content(c.bytes);
        ASSERT_FALSE(r) << c.what;
        EXPECT_EQ(r.error().message(), c.message) << c.what;
    }
}

TEST(SsmReader, OpenNamesMissingFilesAndFindsTheArrayFile) {
    auto missing = StandardStManFile::open("/nonexistent-dir", 3, false);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message().rfind("/nonexistent-dir/table.f3: ", 0), 0u) << missing.error().message();

    Base b;
    std::string dir = testing::TempDir() + "ssm_open_test";
    std::filesystem::create_directories(dir);
    auto write = [](const std::string& path, const std::vector<uint8_t>& bytes) {
        FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(out);
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    };
    write(dir + "/table.f2", b.data.bucket_file);
    std::filesystem::remove(dir + "/table.f2i");
    auto f = StandardStManFile::open(dir, 2, false);
    ASSERT_TRUE(f) << f.error().message();
    EXPECT_FALSE(f->has_array_file());
    auto r = f->read_cell(b.settings, 2, 0, b.cols[2]);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "array column a needs the " + dir + "/table.f2i array index file, which is missing");
    write(dir + "/table.f2i", *b.data.array_file);
    f = StandardStManFile::open(dir, 2, false);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->read_cell(b.settings, 2, 5, b.cols[2]).value(), b.values[2][5]);
    EXPECT_EQ(f->read_cell(b.settings, 3, 5, b.cols[3]).value(), b.values[3][5]);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orvala
