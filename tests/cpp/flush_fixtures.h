// Tables on disk for the flush tests: one written by this system's writers
// (every storage manager), and hand-built ones that the writers cannot make:
// a big-endian StandardStMan table whose buckets are out of row order, and a
// tiled data manager with two columns in two cubes, each in its own tile
// data file.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "aipsio.h"
#include "byteorder.h"
#include "commit_test_util.h"
#include "create_table.h"
#include "default_cell.h"
#include "table.h"
#include "table_dat.h"
#include "writable_table.h"

namespace orvala::test {

inline ColumnDesc column(std::string name, DataType type, std::string dm_type, std::string group,
                         ColumnKind kind = ColumnKind::Scalar, std::optional<std::vector<int64_t>> shape = {}) {
    ColumnDesc c;
    c.name = std::move(name);
    c.data_type = type;
    c.data_manager_type = std::move(dm_type);
    c.data_manager_group = std::move(group);
    c.kind = kind;
    c.shape = std::move(shape);
    c.ndim = c.shape ? static_cast<int32_t>(c.shape->size()) : -1;
    if (kind == ColumnKind::Scalar) c.default_value = zero_value(type);
    return c;
}

// Opens a table as the system does after a crash: a pending commit is
// completed first.
inline std::shared_ptr<const Table> open_table(const std::string& dir) {
    if (auto done = complete_pending_commit(dir); !done) ADD_FAILURE() << done.error().message();
    auto t = Table::open(dir);
    if (!t) {
        ADD_FAILURE() << "open " << dir << ": " << t.error().message();
        return nullptr;
    }
    return *t;
}

// What the Python layer does for a writable handle: the stored description
// and row count, no cells.
inline WritableTable writable(const std::string& dir) {
    auto t = open_table(dir);
    auto wt = WritableTable::create(dir, t->desc());
    wt.add_rows(t->nrow());
    return wt;
}

inline RecordValue cell(const std::string& dir, std::string_view column, uint64_t row) {
    auto t = open_table(dir);
    auto c = t->column_index(column);
    if (!c) {
        ADD_FAILURE() << "no column " << column;
        return {};
    }
    auto v = t->read_cell(*c, row);
    if (!v) {
        ADD_FAILURE() << v.error().message();
        return {};
    }
    return *v;
}

// Every column, every row.
inline std::vector<std::vector<RecordValue>> all_cells(const Table& t) {
    std::vector<std::vector<RecordValue>> out;
    for (size_t c = 0; c < t.ncolumns(); ++c) {
        auto v = t.getcol(c, 0, t.nrow());
        if (!v) ADD_FAILURE() << t.desc().columns[c].name << ": " << v.error().message();
        out.push_back(v ? std::move(*v) : std::vector<RecordValue>{});
    }
    return out;
}

inline ArrayValue floats(std::vector<uint32_t> shape, std::vector<float> v) { return ArrayValue{std::move(shape), std::move(v)}; }
inline ArrayValue ints(std::vector<uint32_t> shape, std::vector<int32_t> v) { return ArrayValue{std::move(shape), std::move(v)}; }

// 100 rows, four data managers: 0 "S" StandardStMan {A Double, B Int,
// C Bool}, 1 "T" StandardStMan {S String}, 2 "I" IncrementalStMan {D Int},
// 3 "TC" TiledColumnStMan {E Float [3]}. Cell values: A = row + 0.5,
// B = -row, C = row odd, S = "s<row>", D = row / 10, E = [row, 2 row, 3 row].
inline constexpr uint64_t kMixedRows = 100;
inline TableDesc mixed_desc() {
    TableDesc d;
    d.name = "mixed";
    d.columns = {column("A", DataType::Double, "StandardStMan", "S"),
                 column("B", DataType::Int, "StandardStMan", "S"),
                 column("C", DataType::Bool, "StandardStMan", "S"),
                 column("S", DataType::String, "StandardStMan", "T"),
                 column("D", DataType::Int, "IncrementalStMan", "I"),
                 column("E", DataType::Float, "TiledColumnStMan", "TC", ColumnKind::Array, std::vector<int64_t>{3})};
    return d;
}
inline RecordValue mixed_value(size_t col, uint64_t r) {
    float f = static_cast<float>(r);
    switch (col) {
        case 0: return static_cast<double>(r) + 0.5;
        case 1: return -static_cast<int32_t>(r);
        case 2: return r % 2 == 1;
        case 3: return "s" + std::to_string(r);
        case 4: return static_cast<int32_t>(r / 10);
        default: return floats({3}, {f, 2 * f, 3 * f});
    }
}
inline std::string make_mixed_table(const std::string& name) {
    std::string dir = scratch_dir(name);
    std::vector<std::vector<RecordValue>> lists(6);
    for (size_t c = 0; c < 6; ++c)
        for (uint64_t r = 0; r < kMixedRows; ++r) lists[c].push_back(mixed_value(c, r));
    auto files = create_table(dir, mixed_desc(), lists);
    EXPECT_TRUE(files) << (files ? "" : files.error().message());
    return dir;
}

// table.dat of a hand-built table; `big_endian` sets its data files' order.
inline std::vector<uint8_t> hand_table_dat(uint64_t rows, const TableDesc& desc, const std::vector<DmBlob>& dms,
                                           const std::vector<uint32_t>& sequences, bool big_endian) {
    auto bytes = build_table_dat(rows, desc, dms, sequences);
    // magic, length, "Table", version, u32 rows, then the u32 order flag.
    store_u32(bytes.data() + 25, big_endian ? 0 : 1, false);
    return bytes;
}

// A StandardStMan file of 256-byte buckets in either byte order: the data
// bucket of rows up to last_rows[k] is numbers[k]; the index (which must fit
// one bucket) is in the bucket after the data buckets.
struct HandSsm {
    uint32_t bucket_size = 256;
    std::vector<uint8_t> bytes;
    uint8_t* at(uint32_t bucket, uint32_t offset) { return bytes.data() + 512 + uint64_t{bucket} * bucket_size + offset; }
};
inline HandSsm hand_ssm(bool big_endian, uint32_t data_buckets, uint32_t rows_per_bucket,
                        const std::vector<uint64_t>& last_rows, const std::vector<uint32_t>& numbers,
                        uint32_t columns) {
    HandSsm f;
    Writer ix(!big_endian);
    ix.put_magic();
    ix.put_object_start("SSMIndex", 1);
    ix.put_u32(static_cast<uint32_t>(numbers.size()));
    ix.put_u32(rows_per_bucket);
    ix.put_u32(columns);
    ix.put_object_start("SimpleOrderedMap", 1);
    ix.put_i32(0);
    ix.put_u32(0);
    ix.put_u32(1);
    ix.put_object_end();
    ix.put_object_start("Block", 1);
    ix.put_u32(static_cast<uint32_t>(last_rows.size()));
    for (uint64_t r : last_rows) ix.put_u32(static_cast<uint32_t>(r));
    ix.put_object_end();
    ix.put_object_start("Block", 1);
    ix.put_u32(static_cast<uint32_t>(numbers.size()));
    for (uint32_t b : numbers) ix.put_u32(b);
    ix.put_object_end();
    ix.put_object_end();
    auto index = ix.take();
    Writer h(!big_endian);
    h.put_magic();
    h.put_object_start("StandardStMan", 3);
    h.put_bool(big_endian);
    h.put_u32(f.bucket_size);
    h.put_u32(data_buckets + 1);
    h.put_u32(0);
    h.put_u32(0);
    h.put_i32(-1);
    h.put_u32(1);                                      // index buckets
    h.put_i32(static_cast<int32_t>(data_buckets));     // first index bucket
    h.put_i32(8);                                      // index offset
    h.put_i32(-1);                                     // no string bucket
    h.put_u32(static_cast<uint32_t>(index.size()));
    h.put_u32(1);
    h.put_object_end();
    auto header = h.take();
    if (index.size() + 8 > f.bucket_size) throw std::logic_error("index does not fit its bucket");
    f.bytes.assign(512 + uint64_t{data_buckets + 1} * f.bucket_size, 0);
    std::copy(header.begin(), header.end(), f.bytes.begin());
    store_u32(f.at(data_buckets, 4), 0xffffffff, false);
    std::copy(index.begin(), index.end(), f.at(data_buckets, 8));
    return f;
}

// Five rows, big-endian data files: data manager 0 "S" {I Int, F Double},
// rows 0-2 in bucket 1 and rows 3-4 in bucket 0, I at offset 0, F at 12;
// data manager 1 "T" {N String} in one bucket. I = 10 + row, F = row / 4,
// N = "n<row>".
inline std::string make_big_endian_table(const std::string& name) {
    std::string dir = scratch_dir(name);
    TableDesc desc;
    desc.name = "be";
    desc.columns = {column("I", DataType::Int, "StandardStMan", "S"),
                    column("F", DataType::Double, "StandardStMan", "S"),
                    column("N", DataType::String, "StandardStMan", "T")};
    HandSsm s0 = hand_ssm(true, 2, 3, {2, 4}, {1, 0}, 2);
    for (uint64_t r = 0; r < 5; ++r) {
        uint32_t bucket = r < 3 ? 1 : 0, i = static_cast<uint32_t>(r < 3 ? r : r - 3);
        store_u32(s0.at(bucket, 4 * i), static_cast<uint32_t>(10 + r), false);
        store_u64(s0.at(bucket, 12 + 8 * i), std::bit_cast<uint64_t>(static_cast<double>(r) / 4), false);
    }
    HandSsm s1 = hand_ssm(true, 1, 5, {4}, {0}, 1);
    for (uint64_t r = 0; r < 5; ++r) {
        std::string text = "n" + std::to_string(r);
        std::copy(text.begin(), text.end(), s1.at(0, 12 * static_cast<uint32_t>(r)));
        store_u32(s1.at(0, 12 * static_cast<uint32_t>(r) + 8), static_cast<uint32_t>(text.size()), false);
    }
    write_file(dir + "/table.f0", s0.bytes);
    write_file(dir + "/table.f1", s1.bytes);
    std::vector<DmBlob> dms = {{"StandardStMan", 0, build_standard_stman_blob(StandardStMan{"S", {0, 12}, {0, 0}})},
                               {"StandardStMan", 1, build_standard_stman_blob(StandardStMan{"T", {0}, {0}})}};
    write_file(dir + "/table.dat", hand_table_dat(5, desc, dms, {0, 0, 1}, true));
    return dir;
}

// A TiledShapeStMan "TS" of `ncols` columns (X Int, then Y Float) over five
// rows: cube 1 in tile data file 1 holds rows 0-1 with cells of 2 elements,
// cube 2 in file 2 rows 2-4 with cells of 3. One tile per cube, each
// column's part of a tile after the other's. X = [10 row + i], Y = [row + i / 4].
// Last, a column Z Int = 100 + row in a StandardStMan of its own.
inline std::string make_two_cube_table(const std::string& name, uint32_t ncols, bool big_endian) {
    std::string dir = scratch_dir(name);
    const bool le = !big_endian;
    struct Cube {
        int64_t cell, rows, first;
    } cubes[2] = {{2, 2, 0}, {3, 3, 2}};
    std::vector<std::vector<uint8_t>> tiles(2);
    for (int k = 0; k < 2; ++k) {
        const Cube& cb = cubes[k];
        auto& t = tiles[k];
        for (int64_t r = 0; r < cb.rows; ++r)
            for (int64_t i = 0; i < cb.cell; ++i) {
                t.resize(t.size() + 4);
                store_u32(t.data() + t.size() - 4, static_cast<uint32_t>(10 * (cb.first + r) + i), le);
            }
        if (ncols == 2)
            for (int64_t r = 0; r < cb.rows; ++r)
                for (int64_t i = 0; i < cb.cell; ++i) {
                    t.resize(t.size() + 4);
                    store_u32(t.data() + t.size() - 4,
                              std::bit_cast<uint32_t>(static_cast<float>(cb.first + r) + static_cast<float>(i) / 4), le);
                }
    }
    Writer w(false);
    auto put_cube = [&](int32_t dims, std::vector<int64_t> shape, int32_t file) {
        w.put_u32(1);
        w.put_object_start("Record", 1);
        w.put_object_start("RecordDesc", 2);
        w.put_i32(0);
        w.put_object_end();
        w.put_i32(1);
        w.put_object_end();
        w.put_bool(true);
        w.put_i32(dims);
        w.put_iposition(shape);
        w.put_iposition(shape);  // one tile: the whole cube
        w.put_i32(file);
        w.put_u32(0);
    };
    w.put_magic();
    w.put_object_start("TiledShapeStMan", 1);
    w.put_object_start("TiledStMan", 2);
    w.put_bool(big_endian);
    w.put_u32(0);
    w.put_u32(5);
    w.put_u32(ncols);
    w.put_i32(data_type_code(DataType::Int));
    if (ncols == 2) w.put_i32(data_type_code(DataType::Float));
    w.put_string("TS");
    w.put_u32(0);
    w.put_i32(2);
    w.put_u32(3);
    w.put_bool(false);
    for (uint32_t k = 1; k <= 2; ++k) {
        w.put_bool(true);
        w.put_u32(1);
        w.put_u32(k);
        w.put_u32(static_cast<uint32_t>(tiles[k - 1].size()));
    }
    w.put_u32(3);
    put_cube(0, {}, -1);
    put_cube(2, {2, 2}, 1);
    put_cube(2, {3, 3}, 2);
    w.put_object_end();
    w.put_iposition(std::vector<int64_t>{2, 2});
    w.put_u32(2);
    for (auto values : {std::vector<uint32_t>{1, 4}, std::vector<uint32_t>{1, 2}, std::vector<uint32_t>{1, 2}}) {
        w.put_object_start("Block", 1);
        w.put_u32(2);
        for (uint32_t v : values) w.put_u32(v);
        w.put_object_end();
    }
    w.put_object_end();
    write_file(dir + "/table.f0", w.take());
    write_file(dir + "/table.f0_TSM1", tiles[0]);
    write_file(dir + "/table.f0_TSM2", tiles[1]);
    HandSsm z = hand_ssm(big_endian, 1, 5, {4}, {0}, 1);
    for (uint32_t r = 0; r < 5; ++r) store_u32(z.at(0, 4 * r), 100 + r, le);
    write_file(dir + "/table.f1", z.bytes);
    TableDesc desc;
    desc.name = "cubes";
    desc.columns = {column("X", DataType::Int, "TiledShapeStMan", "TS", ColumnKind::Array)};
    if (ncols == 2) desc.columns.push_back(column("Y", DataType::Float, "TiledShapeStMan", "TS", ColumnKind::Array));
    desc.columns.push_back(column("Z", DataType::Int, "StandardStMan", "Z"));
    std::vector<DmBlob> dms = {{"TiledShapeStMan", 0, {}},
                               {"StandardStMan", 1, build_standard_stman_blob(StandardStMan{"Z", {0}, {0}})}};
    std::vector<uint32_t> sequences(ncols, 0);
    sequences.push_back(1);
    write_file(dir + "/table.dat", hand_table_dat(5, desc, dms, sequences, big_endian));
    return dir;
}

}  // namespace orvala::test
