#include "tsm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "byteorder.h"
#include "test_bytes.h"

namespace orvala {
namespace {

const std::string kLwa = std::string(ORVALA_TEST_DATA) + "/lwa-downselected.ms";

TsmFile open_image(const TsmImage& image, bool big_endian = false) {
    std::vector<std::pair<uint32_t, Buffer>> files;
    files.emplace_back(image.file_number, Buffer::from_bytes(image.tile_data));
    auto f = TsmFile::from_buffers(Buffer::from_bytes(image.header), std::move(files), big_endian);
    if (!f) throw std::runtime_error(f.error().message());
    return std::move(*f);
}

// An array column of a description "t" (fixed shape in storage order, if any).
ColumnDesc array_column(std::string name, DataType type, std::optional<std::vector<int64_t>> shape = std::nullopt) {
    ColumnDesc c;
    c.name = std::move(name);
    c.data_type = type;
    c.kind = ColumnKind::Array;
    c.shape = std::move(shape);
    return c;
}

std::expected<TsmImage, StorageWriteError> build_of(std::string_view kind, std::vector<ColumnDesc> cols,
                                                    std::vector<std::vector<RecordValue>> values) {
    TableDesc desc;
    desc.name = "t";
    desc.columns = std::move(cols);
    std::vector<uint32_t> positions;
    for (uint32_t i = 0; i < desc.columns.size(); ++i) positions.push_back(i);
    const uint64_t rows = values.empty() ? 0 : values[0].size();
    return build_tsm_data(kind, 3, "dm", desc, positions, values, rows);
}

TsmImage build(std::string_view kind, const ColumnDesc& col, const std::vector<RecordValue>& cells) {
    auto image = build_of(kind, {col}, {cells});
    if (!image) throw std::runtime_error(image.error().message());
    return std::move(*image);
}

// A cell of C-order shape `shape` whose element i is made from (row, i).
ArrayValue make_cell(DataType t, std::vector<uint32_t> shape, uint64_t row) {
    uint64_t n = 1;
    for (uint32_t e : shape) n *= e;
    ArrayValue a;
    a.shape = std::move(shape);
    auto fill = [&](auto v, auto f) {
        for (uint64_t i = 0; i < n; ++i) v.push_back(f(static_cast<int64_t>(row * 100 + i)));
        a.data = std::move(v);
    };
    switch (t) {
        case DataType::Bool: fill(std::vector<bool>{}, [&](int64_t k) { return (k * 7 + row) % 3 == 0; }); break;
        case DataType::UChar: fill(std::vector<uint8_t>{}, [](int64_t k) { return static_cast<uint8_t>(k); }); break;
        case DataType::Short: fill(std::vector<int16_t>{}, [](int64_t k) { return static_cast<int16_t>(-k); }); break;
        case DataType::UShort: fill(std::vector<uint16_t>{}, [](int64_t k) { return static_cast<uint16_t>(k * 3); }); break;
        case DataType::Int: fill(std::vector<int32_t>{}, [](int64_t k) { return static_cast<int32_t>(-k * 70001); }); break;
        case DataType::UInt: fill(std::vector<uint32_t>{}, [](int64_t k) { return static_cast<uint32_t>(k + 3000000000u); }); break;
        case DataType::Int64: fill(std::vector<int64_t>{}, [](int64_t k) { return k << 35; }); break;
        case DataType::Float: fill(std::vector<float>{}, [](int64_t k) { return k * 0.25f; }); break;
        case DataType::Double: fill(std::vector<double>{}, [](int64_t k) { return k / 3.0; }); break;
        case DataType::Complex:
            fill(std::vector<std::complex<float>>{}, [](int64_t k) { return std::complex<float>(k, -k); });
            break;
        case DataType::DComplex:
            fill(std::vector<std::complex<double>>{}, [](int64_t k) { return std::complex<double>(k / 7.0, 1e300); });
            break;
        default: break;
    }
    return a;
}

const DataType kTypes[] = {DataType::Bool,   DataType::UChar,   DataType::Short,   DataType::UShort,
                           DataType::Int,    DataType::UInt,    DataType::Int64,   DataType::Float,
                           DataType::Double, DataType::Complex, DataType::DComplex};

std::vector<uint8_t> raw_of(const std::vector<RecordValue>& cells, DataType t) {
    std::vector<uint8_t> out;
    for (const RecordValue& v : cells) {
        const ArrayValue& a = std::get<ArrayValue>(v);
        if (t == DataType::Bool) {
            for (bool b : std::get<std::vector<bool>>(a.data)) out.push_back(b);
        } else {
            auto bytes = tsm_encode_cell(a, t, true);
            out.insert(out.end(), bytes->begin(), bytes->end());
        }
    }
    return out;
}

TEST(TsmRoundTrip, EveryTypeBothManagersFixedAndFreeShapes) {
    for (const char* kind : {"TiledColumnStMan", "TiledShapeStMan"}) {
        for (bool fixed : {true, false}) {
            for (DataType t : kTypes) {
                SCOPED_TRACE(std::string(kind) + " " + data_type_name(t) + (fixed ? " fixed" : " free"));
                ColumnDesc col = array_column("c", t);
                if (fixed) col.shape = std::vector<int64_t>{5, 3};  // C-order cells of shape (3, 5)
                std::vector<RecordValue> cells;
                for (uint64_t r = 0; r < 7; ++r) cells.push_back(make_cell(t, {3, 5}, r));
                TsmFile f = open_image(build(kind, col, cells));
                EXPECT_EQ(f.header().cubes.back().cube_shape, (std::vector<int64_t>{5, 3, 7}));
                auto all = f.read_column(t, 0, 7);
                ASSERT_TRUE(all.has_value()) << all.error().message();
                for (uint64_t r = 0; r < 7; ++r) {
                    ASSERT_TRUE((*all)[r].has_value());
                    EXPECT_EQ(RecordValue(*(*all)[r]), cells[r]) << r;
                    EXPECT_EQ(RecordValue(**f.read_cell(r, t)), cells[r]) << r;
                }
                std::vector<uint8_t> raw(7 * 15 * tsm_element_bytes(t));
                ASSERT_TRUE(f.read_cells_raw(t, 0, 7, 15, raw).has_value());
                EXPECT_EQ(raw, raw_of(cells, t));
            }
        }
    }
}

TEST(TsmRoundTrip, BoolCellsAtOddBitOffsets) {
    // 10-element cells: 2 bytes per cell on the size rule, 262144 rows per
    // tile, cell r at bit 10 r of the tile.
    ColumnDesc col = array_column("b", DataType::Bool, std::vector<int64_t>{10});
    std::vector<RecordValue> cells;
    for (uint64_t r = 0; r < 9; ++r) cells.push_back(make_cell(DataType::Bool, {10}, r));
    TsmImage image = build("TiledColumnStMan", col, cells);
    EXPECT_EQ(image.tile_data.size(), 327680u);  // ceil(10 × 262144 / 8)
    TsmFile f = open_image(image);
    EXPECT_EQ(f.header().cubes[0].tile_shape, (std::vector<int64_t>{10, 262144}));
    auto loc = f.cell_location(3);
    ASSERT_TRUE(loc.has_value() && loc->has_value());
    EXPECT_EQ(**loc, (CellLocation{0, 0, 3, 2, 6, 10}));  // bit 30: byte 3, bit 6, spans 2 bytes
    for (uint64_t r = 0; r < 9; ++r) {
        auto l = *f.cell_location(r);
        std::vector<bool> bits;
        decode_bits_into(std::span(image.tile_data).subspan(l->offset, l->length), l->bit_offset, 10, bits);
        EXPECT_EQ(ArrayData(bits), std::get<ArrayValue>(cells[r]).data) << r;
        EXPECT_EQ(RecordValue(**f.read_cell(r, DataType::Bool)), cells[r]) << r;
    }
    // or_bytes_at leaves the neighbours' bits alone.
    std::vector<uint8_t> tile(4, 0xff);
    tile[1] = 0;
    tile[2] = 0;
    or_bytes_at(tile, 11, test::hex("ff 01"), 9);
    EXPECT_EQ(tile, test::hex("ff f8 0f ff"));
}

TEST(TsmRoundTrip, ManyTilesAndNoRows) {
    // [4, 3] doubles: 96 bytes a cell, 524288 div 96 = 5461 rows per tile.
    ColumnDesc col = array_column("d", DataType::Double, std::vector<int64_t>{4, 3});
    std::vector<RecordValue> cells;
    for (uint64_t r = 0; r < 12000; ++r) cells.push_back(make_cell(DataType::Double, {3, 4}, r));
    TsmImage image = build("TiledShapeStMan", col, cells);
    EXPECT_EQ(image.tile_data.size(), 3u * 5461 * 96);
    TsmFile f = open_image(image);
    EXPECT_EQ(f.header().default_tile_shape, (std::vector<int64_t>{4, 3, 5461}));
    EXPECT_EQ((*f.cell_location(5461))->offset, 5461u * 96);
    EXPECT_EQ((*f.cell_location(5462))->offset, 5461u * 96 + 96);
    std::vector<uint8_t> raw(12000 * 96);
    ASSERT_TRUE(f.read_cells_raw(DataType::Double, 0, 12000, 12, raw).has_value());
    EXPECT_EQ(raw, raw_of(cells, DataType::Double));
    auto part = f.read_column(DataType::Double, 5000, 1000);
    ASSERT_TRUE(part.has_value());
    for (uint64_t i = 0; i < 1000; ++i) EXPECT_EQ(RecordValue(*(*part)[i]), cells[5000 + i]);

    for (const char* kind : {"TiledColumnStMan", "TiledShapeStMan"}) {
        TsmFile empty = open_image(build(kind, col, {}));
        EXPECT_EQ(empty.header().rows, 0u);
        EXPECT_EQ(empty.header().cubes.back().cube_shape, (std::vector<int64_t>{4, 3, 0}));
        EXPECT_TRUE(empty.header().row_map.empty());
        EXPECT_EQ(empty.read_column(DataType::Double, 0, 0)->size(), 0u);
        EXPECT_FALSE(empty.read_cell(0, DataType::Double)->has_value());
    }
}

TEST(TsmRoundTrip, CellsWithoutElements) {
    // Cells of C-order shape (3, 0): the cube has an empty axis and its
    // tiles a zero extent there; every cell reads back empty, and rows past
    // the cube read as no cell. (Zero-byte copies once met a null buffer.)
    ColumnDesc col = array_column("e", DataType::Float, std::vector<int64_t>{0, 3});
    ArrayValue empty{{3, 0}, ArrayData(std::vector<float>{})};
    std::vector<RecordValue> cells(4, RecordValue(empty));
    TsmFile f = open_image(build("TiledColumnStMan", col, cells));
    EXPECT_EQ(f.header().cubes[0].tile_shape, (std::vector<int64_t>{0, 3, 524288}));
    auto all = f.read_column(DataType::Float, 0, 6);
    ASSERT_TRUE(all.has_value()) << all.error().message();
    for (uint64_t r = 0; r < 4; ++r) EXPECT_EQ(*(*all)[r], empty);
    EXPECT_FALSE((*all)[4].has_value());
    EXPECT_TRUE(f.read_cells_raw(DataType::Float, 0, 6, 0, {}).has_value());
}

TEST(TsmLayout, TiledShapeHeaderBytes) {
    // Ten rows of Int cells of shape [2]: row map [9], cube map [1],
    // position map [9]; row 3 is at position 3 of cube 1.
    ColumnDesc col = array_column("i", DataType::Int, std::vector<int64_t>{2});
    std::vector<RecordValue> cells;
    for (uint64_t r = 0; r < 10; ++r) cells.push_back(make_cell(DataType::Int, {2}, r));
    TsmImage image = build("TiledShapeStMan", col, cells);
    EXPECT_EQ(image.file_number, 1u);
    TsmFile f = open_image(image);
    EXPECT_EQ(f.header().row_map, std::vector<uint32_t>{9});
    EXPECT_EQ(f.header().cube_map, std::vector<uint32_t>{1});
    EXPECT_EQ(f.header().pos_map, std::vector<uint32_t>{9});
    EXPECT_EQ(**f.cell_location(3), (CellLocation{1, 1, 24, 8, 0, 2}));
    // The trailer after the "TiledStMan" object: default tile shape
    // [2, 65536], the count 1 and three Blocks.
    auto tail = test::hex(
        "00000021 00000009 4950 6f73 6974 696f 6e 00000001 00000002 00000002 00010000"
        "00000001"
        "00000019 00000005 426c6f636b 00000001 00000001 00000009"
        "00000019 00000005 426c6f636b 00000001 00000001 00000001"
        "00000019 00000005 426c6f636b 00000001 00000001 00000009");
    ASSERT_GE(image.header.size(), tail.size());
    EXPECT_EQ(std::vector<uint8_t>(image.header.end() - tail.size(), image.header.end()), tail);

    // With no rows: the count 0 and three empty Blocks.
    TsmImage none = build("TiledShapeStMan", col, {});
    auto empty_tail = test::hex(
        "00000000"
        "00000015 00000005 426c6f636b 00000001 00000000"
        "00000015 00000005 426c6f636b 00000001 00000000"
        "00000015 00000005 426c6f636b 00000001 00000000");
    EXPECT_EQ(std::vector<uint8_t>(none.header.end() - empty_tail.size(), none.header.end()), empty_tail);
}

TEST(TsmLayout, HeadersMatchThoseOfAnotherWriter) {
    auto file = [](const char* name) {
        auto b = Buffer::open(kLwa + "/" + name);
        return std::vector<uint8_t>(b->bytes().begin(), b->bytes().end());
    };
    // UVW of the real table: 210 rows of 3 doubles in one tile of 10923 rows.
    EXPECT_EQ(tsm_header(TsmKind::TiledColumn, 0, "TiledUVW", DataType::Double, std::vector<int64_t>{3}, 210, 10923,
                         262152),
              file("table.f0"));
    // FLAG: 4 × 109 Bools in tiles of 75 rows. The other writer leaves the
    // default tile shape after the "TiledStMan" object empty, where this
    // one repeats the tile shape; every other byte is the same.
    auto ours = tsm_header(TsmKind::TiledShape, 1, "TiledFlag", DataType::Bool, std::vector<int64_t>{4, 109}, 210,
                           75, 12264);
    auto theirs = file("table.f1");
    const size_t blocks = 3 * 25 + 4;  // the count and three one-entry Blocks
    const size_t ours_shape = 4 + 13 + 4 + 4 + 3 * 4, theirs_shape = 4 + 13 + 4 + 4;
    ASSERT_EQ(ours.size() - ours_shape, theirs.size() - theirs_shape);
    const size_t head = ours.size() - blocks - ours_shape;
    EXPECT_TRUE(std::equal(ours.begin() + 8, ours.begin() + head, theirs.begin() + 8));
    EXPECT_TRUE(std::equal(ours.end() - blocks, ours.end(), theirs.end() - blocks));
}

TEST(TsmLayout, FreeShapeTakesTheFirstArrayCell) {
    ColumnDesc col = array_column("f", DataType::Float);
    std::vector<RecordValue> cells{make_cell(DataType::Float, {3, 4}, 0), make_cell(DataType::Float, {3, 4}, 1)};
    TsmFile f = open_image(build("TiledColumnStMan", col, cells));
    EXPECT_EQ(f.header().cubes[0].cube_shape, (std::vector<int64_t>{4, 3, 2}));
    EXPECT_EQ(f.header().cubes[0].tile_shape, (std::vector<int64_t>{4, 3, 10922}));
    EXPECT_EQ(**f.cell_shape(1), (std::vector<uint32_t>{3, 4}));
}

TEST(TsmRead, HandBuiltBigEndianTileData) {
    // Three rows of Short cells [2] and of Complex cells [1], stored big-endian.
    auto shorts = tsm_header(TsmKind::TiledColumn, 0, "s", DataType::Short, std::vector<int64_t>{2}, 3, 4, 16);
    std::vector<std::pair<uint32_t, Buffer>> files;
    files.emplace_back(0, Buffer::from_bytes(test::hex("0001 fffe  1234 8000  7fff 0000  0000 0000")));
    auto f = TsmFile::from_buffers(Buffer::from_bytes(shorts), std::move(files), true);
    ASSERT_TRUE(f.has_value()) << f.error().message();
    auto col = f->read_column(DataType::Short, 0, 3);
    ASSERT_TRUE(col.has_value());
    std::vector<std::vector<int16_t>> want{{1, -2}, {0x1234, -32768}, {32767, 0}};
    for (size_t r = 0; r < 3; ++r) EXPECT_EQ((*col)[r]->data, ArrayData(want[r])) << r;

    auto cx = tsm_header(TsmKind::TiledShape, 0, "c", DataType::Complex, std::vector<int64_t>{1}, 3, 3, 24);
    files.clear();
    files.emplace_back(1, Buffer::from_bytes(test::hex("3f800000 c0000000  00000000 3f000000  7f800000 80000000")));
    f = TsmFile::from_buffers(Buffer::from_bytes(cx), std::move(files), true);
    ASSERT_TRUE(f.has_value()) << f.error().message();
    std::vector<std::complex<float>> got;
    for (uint64_t r = 0; r < 3; ++r)
        got.push_back(std::get<std::vector<std::complex<float>>>((*f->read_cell(r, DataType::Complex))->data)[0]);
    EXPECT_EQ(got, (std::vector<std::complex<float>>{{1, -2}, {0, 0.5f}, {INFINITY, -0.0f}}));
    // decode_tile_data works on the same bytes.
    auto d = decode_tile_data(test::hex("0001 fffe"), DataType::Short, 2, true);
    EXPECT_EQ(*d, ArrayData(std::vector<int16_t>{1, -2}));
}

// ---- cubes whose tiles split cells ----

struct CubeSpec {
    std::vector<int64_t> shape;
    std::vector<int64_t> tile;
    int32_t file = 0;
    uint64_t offset = 0;
    uint32_t version = 1;
};

struct HeaderSpec {
    std::string type = "TiledColumnStMan";
    std::string inner = "TiledStMan";
    uint32_t version = 2;
    std::vector<int32_t> types{data_type_code(DataType::Float)};
    uint64_t rows = 0;
    std::vector<CubeSpec> cubes;
    std::vector<uint32_t> row_map, cube_map, pos_map;
    int64_t block_count = -1;  // the count written in the Blocks, if not the row map's length
};

// A header of any shape, in the layout that other writers use too.
std::vector<uint8_t> header_image(const HeaderSpec& s) {
    Writer w(false);
    const bool wide = s.version >= 3;
    auto put_wide = [&](uint64_t v) { wide ? w.put_u64(v) : w.put_u32(static_cast<uint32_t>(v)); };
    w.put_magic();
    w.put_object_start(s.type, 1);
    if (s.type != "TiledShapeStMan") w.put_iposition({});
    w.put_object_start(s.inner, s.version);
    if (s.version >= 2) w.put_bool(false);
    w.put_u32(7);
    put_wide(s.rows);
    w.put_u32(static_cast<uint32_t>(s.types.size()));
    for (int32_t t : s.types) w.put_i32(t);
    w.put_string("hyper");
    w.put_u32(0);
    w.put_i32(s.cubes.empty() ? 0 : static_cast<int32_t>(s.cubes[0].shape.size()));
    put_wide(3);
    for (uint32_t k = 0; k < 3; ++k) {
        w.put_bool(true);
        w.put_u32(1);
        w.put_u32(k);
        put_wide(0);
    }
    put_wide(s.cubes.size());
    for (const CubeSpec& c : s.cubes) {
        w.put_u32(c.version);
        w.put_object_start("Record", 1);
        w.put_object_start("RecordDesc", 2);
        w.put_i32(0);
        w.put_object_end();
        w.put_i32(1);
        w.put_object_end();
        w.put_bool(true);
        w.put_i32(static_cast<int32_t>(c.shape.size()));
        w.put_iposition(c.shape);
        w.put_iposition(c.tile);
        w.put_i32(c.file);
        c.version == 1 ? w.put_u32(static_cast<uint32_t>(c.offset)) : w.put_u64(c.offset);
    }
    w.put_object_end();
    if (s.type == "TiledShapeStMan") {
        w.put_iposition({});
        const uint32_t m = s.block_count >= 0 ? static_cast<uint32_t>(s.block_count) : s.row_map.size();
        w.put_u32(static_cast<uint32_t>(s.row_map.size()));
        for (const auto* block : {&s.row_map, &s.cube_map, &s.pos_map}) {
            w.put_object_start("Block", 1);
            w.put_u32(m);
            for (uint32_t v : *block) w.put_u32(v);
            w.put_object_end();
        }
    }
    w.put_object_end();
    return w.take();
}

// Tile data for a cube, placing every element by its own coordinates (an
// element-by-element statement of the tile order). `put` stores element
// `cell_index` of the cell at row position `pos` at `dst` (bit `bit` for
// Bool).
std::vector<uint8_t> tile_data(const CubeSpec& c, uint32_t bits,
                               const std::function<void(uint8_t* dst, uint64_t bit, uint64_t pos, uint64_t cell_index)>& put,
                               std::vector<uint8_t> prefix = {}) {
    const size_t d = c.shape.size();
    std::vector<uint64_t> ntiles(d);
    uint64_t total = 1, tile_elements = 1, cell = 1;
    for (size_t i = 0; i < d; ++i) {
        ntiles[i] = (c.shape[i] + c.tile[i] - 1) / c.tile[i];
        total *= ntiles[i];
        tile_elements *= c.tile[i];
        if (i + 1 < d) cell *= c.shape[i];
    }
    const uint64_t tile_bytes = (tile_elements * bits + 7) / 8;
    std::vector<uint8_t> out = prefix;
    const uint64_t base = out.size();
    out.resize(base + total * tile_bytes, 0);
    for (int64_t pos = 0; pos < c.shape[d - 1]; ++pos) {
        for (uint64_t ci = 0; ci < cell; ++ci) {
            std::vector<uint64_t> x(d);
            uint64_t rest = ci;
            for (size_t i = 0; i + 1 < d; ++i) x[i] = rest % c.shape[i], rest /= c.shape[i];
            x[d - 1] = pos;
            uint64_t number = 0, index = 0, tstride = 1, estride = 1;
            for (size_t i = 0; i < d; ++i) {
                number += (x[i] / c.tile[i]) * tstride;
                index += (x[i] % c.tile[i]) * estride;
                tstride *= ntiles[i];
                estride *= c.tile[i];
            }
            uint64_t at = base + number * tile_bytes;
            if (bits == 1) put(out.data() + at, index, pos, ci);
            else put(out.data() + at + index * (bits / 8), 0, pos, ci);
        }
    }
    return out;
}

float float_at(uint64_t pos, uint64_t ci) { return static_cast<float>(pos * 1000 + ci); }
bool bool_at(uint64_t pos, uint64_t ci) { return (pos * 7 + ci * 3) % 5 == 0; }

void put_float(uint8_t* dst, uint64_t, uint64_t pos, uint64_t ci) {
    store_u32(dst, std::bit_cast<uint32_t>(float_at(pos, ci)), true);
}
void put_bool(uint8_t* dst, uint64_t bit, uint64_t pos, uint64_t ci) {
    if (bool_at(pos, ci)) dst[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
}

// Checks every way of reading a column of one cube (rows = positions)
// whose cell element i of row p is `want(p, i)`.
void expect_cube_reads(const TsmFile& f, DataType t, uint64_t rows, std::vector<uint32_t> c_shape,
                       uint64_t cell_elements) {
    auto want = [&](uint64_t p) {
        ArrayValue a;
        a.shape = c_shape;
        if (t == DataType::Bool) {
            std::vector<bool> v;
            for (uint64_t i = 0; i < cell_elements; ++i) v.push_back(bool_at(p, i));
            a.data = v;
        } else {
            std::vector<float> v;
            for (uint64_t i = 0; i < cell_elements; ++i) v.push_back(float_at(p, i));
            a.data = v;
        }
        return a;
    };
    auto col = f.read_column(t, 0, rows);
    ASSERT_TRUE(col.has_value()) << col.error().message();
    for (uint64_t p = 0; p < rows; ++p) {
        EXPECT_EQ(*(*col)[p], want(p)) << "row " << p;
        auto cell = f.read_cell(p, t);
        ASSERT_TRUE(cell.has_value()) << cell.error().message();
        EXPECT_EQ(**cell, want(p)) << "row " << p;
    }
    // A range that starts and ends inside tiles.
    auto part = f.read_column(t, 3, rows - 5);
    ASSERT_TRUE(part.has_value());
    for (uint64_t i = 0; i < rows - 5; ++i) EXPECT_EQ(*(*part)[i], want(3 + i)) << "row " << 3 + i;
    const uint32_t ew = tsm_element_bytes(t);
    std::vector<uint8_t> raw(rows * cell_elements * ew);
    ASSERT_TRUE(f.read_cells_raw(t, 0, rows, cell_elements, raw).has_value());
    for (uint64_t p = 0; p < rows; ++p)
        for (uint64_t i = 0; i < cell_elements; ++i) {
            const uint8_t* e = raw.data() + (p * cell_elements + i) * ew;
            if (t == DataType::Bool) ASSERT_EQ(*e, bool_at(p, i) ? 1 : 0);
            else ASSERT_EQ(load_f32(e, true), float_at(p, i));
        }
    EXPECT_EQ(f.cell_location(0).error().message(), "cell of row 0 is not one contiguous piece of a tile");
}

TEST(TsmSplitTiles, TilesOfAQuarterOfTheChannels) {
    // Cells of 4 correlations × 64 channels in tiles of 4 × 16 × 32 rows.
    CubeSpec cube{{4, 64, 100}, {4, 16, 32}};
    for (DataType t : {DataType::Float, DataType::Bool}) {
        HeaderSpec h;
        h.types = {data_type_code(t)};
        h.rows = 100;
        h.cubes = {cube};
        auto data = tile_data(cube, t == DataType::Bool ? 1 : 32, t == DataType::Bool ? put_bool : put_float);
        std::vector<std::pair<uint32_t, Buffer>> files;
        files.emplace_back(0, Buffer::from_bytes(data));
        auto f = TsmFile::from_buffers(Buffer::from_bytes(header_image(h)), std::move(files), false);
        ASSERT_TRUE(f.has_value()) << f.error().message();
        expect_cube_reads(*f, t, 100, {64, 4}, 256);
    }
}

TEST(TsmSplitTiles, TilesThatDoNotDivideTheCell) {
    // Cells of 4 × 11 in tiles of 3 × 5 × 7 rows: every axis has an edge
    // tile that pokes out of the cube. The cube starts at offset 10 of a
    // file of version 2 cubes (64-bit offset).
    CubeSpec cube{{4, 11, 20}, {3, 5, 7}, 0, 10, 2};
    for (DataType t : {DataType::Float, DataType::Bool}) {
        HeaderSpec h;
        h.version = 3;
        h.types = {data_type_code(t)};
        h.rows = 20;
        h.cubes = {cube};
        auto data = tile_data(cube, t == DataType::Bool ? 1 : 32, t == DataType::Bool ? put_bool : put_float,
                              std::vector<uint8_t>(10, 0xee));
        std::vector<std::pair<uint32_t, Buffer>> files;
        files.emplace_back(0, Buffer::from_bytes(data));
        auto f = TsmFile::from_buffers(Buffer::from_bytes(header_image(h)), std::move(files), false);
        ASSERT_TRUE(f.has_value()) << f.error().message();
        expect_cube_reads(*f, t, 20, {11, 4}, 44);
    }
}

TEST(TsmSplitTiles, RowMapOverCubesOfDifferentShapes) {
    // TiledShapeStMan: rows 0-5 in split cube 1 (cells 3 × 4, tiles 2 × 3 ×
    // 4), rows 6-7 unstored (positions -2, -1 of cube 2), rows 8-9 in cube 2
    // (cells of 2 elements), rows 10-11 past the row map.
    CubeSpec c1{{3, 4, 6}, {2, 3, 4}, 1, 0};
    CubeSpec c2{{2, 2}, {2, 5}, 2, 0};
    HeaderSpec h;
    h.type = "TiledShapeStMan";
    h.rows = 12;
    h.cubes = {CubeSpec{{}, {}, -1, 0}, c1, c2};
    h.row_map = {5, 9};
    h.cube_map = {1, 2};
    h.pos_map = {5, 1};
    std::vector<std::pair<uint32_t, Buffer>> files;
    files.emplace_back(1, Buffer::from_bytes(tile_data(c1, 32, put_float)));
    files.emplace_back(2, Buffer::from_bytes(tile_data(c2, 32, put_float)));
    auto f = TsmFile::from_buffers(Buffer::from_bytes(header_image(h)), std::move(files), false);
    ASSERT_TRUE(f.has_value()) << f.error().message();
    auto col = f->read_column(DataType::Float, 0, 12);
    ASSERT_TRUE(col.has_value()) << col.error().message();
    for (uint64_t r = 0; r < 12; ++r) {
        SCOPED_TRACE(r);
        const auto& cell = (*col)[r];
        if (r >= 6 && r != 8 && r != 9) {
            EXPECT_FALSE(cell.has_value());
            EXPECT_FALSE(f->read_cell(r, DataType::Float)->has_value());
            continue;
        }
        ASSERT_TRUE(cell.has_value());
        const uint64_t pos = r < 6 ? r : r - 8;
        EXPECT_EQ(cell->shape, r < 6 ? (std::vector<uint32_t>{4, 3}) : (std::vector<uint32_t>{2}));
        const auto& v = std::get<std::vector<float>>(cell->data);
        for (uint64_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], float_at(pos, i));
    }
    // Whole cells of cube 2 have a location; the raw path wants one cell size.
    EXPECT_EQ(**f->cell_location(9), (CellLocation{2, 2, 8, 8, 0, 2}));
    std::vector<uint8_t> raw(12 * 2 * 4);
    EXPECT_EQ(f->read_cells_raw(DataType::Float, 0, 12, 2, raw).error().message(),
              "row 0 holds a cell of 12 elements, expected 2");
    ASSERT_TRUE(f->read_cells_raw(DataType::Float, 6, 6, 2, std::span(raw).subspan(0, 48)).has_value());
    EXPECT_EQ(load_f32(raw.data() + 2 * 8 + 4, true), float_at(0, 1));  // row 8, element 1
    EXPECT_TRUE(std::all_of(raw.begin(), raw.begin() + 16, [](uint8_t b) { return b == 0; }));
}

TEST(TsmRead, RealTable) {
    // UVW: TiledColumnStMan, cells of 3 doubles in one tile of 10923 rows.
    auto uvw = TsmFile::open(kLwa, 0, false);
    ASSERT_TRUE(uvw.has_value()) << uvw.error().message();
    EXPECT_EQ(uvw->header().hypercolumn, "TiledUVW");
    EXPECT_EQ(uvw->header().cubes[0].tile_shape, (std::vector<int64_t>{3, 10923}));
    auto all = uvw->read_column(DataType::Double, 0, 210);
    ASSERT_TRUE(all.has_value()) << all.error().message();
    const Buffer* data = uvw->tile_file(0);
    for (uint64_t r = 0; r < 210; ++r) {
        auto loc = **uvw->cell_location(r);
        EXPECT_EQ(loc.offset, r * 24);
        const auto& v = std::get<std::vector<double>>((*all)[r]->data);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(v[i], load_f64(data->bytes().data() + r * 24 + 8 * i, true));
    }
    // A baseline is at most a few km long.
    EXPECT_LT(std::abs(std::get<std::vector<double>>((*all)[5]->data)[0]), 1e4);

    // FLAG, DATA, WEIGHT_SPECTRUM: TiledShapeStMan cells of 4 × 109 in tiles
    // of 75 rows; FLAG_CATEGORY has no stored cells.
    struct Case {
        uint32_t seq;
        DataType type;
        uint64_t elements;
    };
    for (Case c : {Case{1, DataType::Bool, 436}, Case{21, DataType::Complex, 436}, Case{22, DataType::Float, 436},
                   Case{3, DataType::Float, 4}, Case{2, DataType::Bool, 0}}) {
        SCOPED_TRACE(c.seq);
        auto f = TsmFile::open(kLwa, c.seq, false);
        ASSERT_TRUE(f.has_value()) << f.error().message();
        auto col = f->read_column(c.type, 0, 210);
        ASSERT_TRUE(col.has_value()) << col.error().message();
        ASSERT_EQ(col->size(), 210u);
        if (c.elements == 0) {
            EXPECT_TRUE(std::none_of(col->begin(), col->end(), [](const auto& x) { return x.has_value(); }));
            continue;
        }
        std::vector<uint8_t> raw(210 * c.elements * tsm_element_bytes(c.type));
        ASSERT_TRUE(f->read_cells_raw(c.type, 0, 210, c.elements, raw).has_value());
        std::vector<RecordValue> cells;
        for (const auto& x : *col) cells.push_back(*x);
        EXPECT_EQ(raw, raw_of(cells, c.type));
        EXPECT_EQ(*(*col)[150], **f->read_cell(150, c.type));
    }
    auto weights = TsmFile::open(kLwa, 3, false);
    EXPECT_EQ((*weights->read_cell(7, DataType::Float))->data, ArrayData(std::vector<float>{1, 1, 1, 1}));
    EXPECT_EQ(weights->read_cell(7, DataType::Double).error().message(), "tiled column holds Float elements, not Double");
}

TEST(TsmRead, HeaderFaults) {
    CubeSpec good{{2, 10}, {2, 4}, 0, 0};
    struct Case {
        const char* what;
        std::function<void(HeaderSpec&)> change;
        std::string message;
    };
    const Case cases[] = {
        {"another manager", [](HeaderSpec& h) { h.type = "TiledCellStMan"; },
         "unexpected object type \"TiledCellStMan\", expected \"TiledColumnStMan\""},
        {"inner object", [](HeaderSpec& h) { h.inner = "TiledXStMan"; },
         "unexpected object type \"TiledXStMan\", expected \"TiledStMan\""},
        {"data type", [](HeaderSpec& h) { h.types = {99}; }, "unknown DataType value 99"},
        {"cube map", [](HeaderSpec& h) {
             h.type = "TiledShapeStMan", h.row_map = {4, 9}, h.cube_map = {0, 3}, h.pos_map = {4, 9};
         }, "row map entry 1 names cube 3 but the header has 1 cubes"},
        {"row map order", [](HeaderSpec& h) {
             h.type = "TiledShapeStMan", h.row_map = {4, 4}, h.cube_map = {0, 0}, h.pos_map = {4, 9};
         }, "row map is not ascending at entry 1"},
        {"Block length", [](HeaderSpec& h) {
             h.type = "TiledShapeStMan", h.row_map = {9}, h.cube_map = {0}, h.pos_map = {9}, h.block_count = 2;
         }, "row map Block holds 2 entries, expected 1"},
    };
    for (const Case& c : cases) {
        HeaderSpec h;
        h.rows = 10;
        h.cubes = {good};
        c.change(h);
        auto parsed = parse_header(header_image(h));
        ASSERT_FALSE(parsed.has_value()) << c.what;
        EXPECT_EQ(parsed.error().message(), c.message) << c.what;
    }
    // The values object is skipped by its length only inside the header.
    HeaderSpec h;
    h.rows = 10;
    h.cubes = {good};
    auto image = header_image(h);
    const uint8_t record[] = {'R', 'e', 'c', 'o', 'r', 'd'};
    auto at = std::search(image.begin(), image.end(), std::begin(record), std::end(record)) - image.begin() - 8;
    store_u32(image.data() + at, 0x7fffff00, false);
    EXPECT_EQ(parse_header(image).error().message(),
              "buffer too short: need 2147483392 bytes at offset " + std::to_string(at) + ", have " +
                  std::to_string(image.size()));
}

TEST(TsmRead, CubeFaultsAtAccess) {
    struct Case {
        const char* what;
        CubeSpec cube;
        uint64_t data_bytes;
        std::string message;
    };
    const Case cases[] = {
        {"tile of another dimensionality", {{2, 10}, {2, 4, 1}}, 80,
         "tiles smaller than the cell are not supported (cube [2, 10], tile [2, 4, 1])"},
        {"tile extent 0", {{2, 10}, {0, 4}}, 80, "tiles smaller than the cell are not supported (cube [2, 10], tile [0, 4])"},
        {"negative tile extent", {{2, 10}, {2, -4}}, 80,
         "tiles smaller than the cell are not supported (cube [2, 10], tile [2, -4])"},
        {"negative cube extent", {{-2, 10}, {2, 4}}, 80, "cube 0 has an invalid shape (a negative extent)"},
        {"overflowing cube", {{1 << 30, 1 << 30, 1 << 30, 10}, {1 << 30, 1 << 30, 1 << 30, 1}}, 80,
         "cube 0 has an invalid shape (too many elements)"},
        {"tiles past the file", {{2, 10}, {2, 4}}, 70, "row 8 outside the 10 rows of the tiled data"},
        {"offset past the file", {{2, 10}, {2, 4}, 0, 1ull << 62, 2}, 96, "row 0 outside the 10 rows of the tiled data"},
    };
    for (const Case& c : cases) {
        HeaderSpec h;
        h.rows = 10;
        h.cubes = {c.cube};
        std::vector<std::pair<uint32_t, Buffer>> files;
        files.emplace_back(0, Buffer::from_bytes(std::vector<uint8_t>(c.data_bytes, 0)));
        auto f = TsmFile::from_buffers(Buffer::from_bytes(header_image(h)), std::move(files), false);
        ASSERT_TRUE(f.has_value()) << c.what << ": " << f.error().message();
        auto col = f->read_column(DataType::Float, 0, 10);
        ASSERT_FALSE(col.has_value()) << c.what;
        EXPECT_EQ(col.error().message(), c.message) << c.what;
        std::vector<uint8_t> raw(10 * 2 * 4);
        auto r = f->read_cells_raw(DataType::Float, 0, 10, 2, raw);
        EXPECT_FALSE(r.has_value()) << c.what;
    }
    // A cube naming a tile data file that is not there.
    HeaderSpec h;
    h.rows = 10;
    h.cubes = {CubeSpec{{2, 10}, {2, 4}, 5, 0}};
    auto f = TsmFile::from_buffers(Buffer::from_bytes(header_image(h)), {}, false);
    EXPECT_EQ(f.error().message(), "tile data file table.f_TSM5 does not exist");
    EXPECT_EQ(TsmFile::open(kLwa, 99, false).error().message(),
              kLwa + "/table.f99: No such file or directory (os error 2)");
}

TEST(TsmWrite, EveryCellMustFitTheColumnShape) {
    ColumnDesc fixed = array_column("c", DataType::Int, std::vector<int64_t>{2, 3});  // C-order (3, 2)
    ColumnDesc free = array_column("c", DataType::Int);
    ColumnDesc bools = array_column("b", DataType::Bool, std::vector<int64_t>{4});
    auto err = [](const ColumnDesc& col, std::vector<RecordValue> cells, std::string_view kind = "TiledShapeStMan") {
        return build_of(kind, {col}, {cells}).error().message();
    };
    EXPECT_EQ(err(fixed, {make_cell(DataType::Int, {3, 2}, 0), make_cell(DataType::Int, {3, 3}, 1)}),
              "t.c: row 1 has cell shape [3, 3], the column's cells have shape [3, 2]");
    EXPECT_EQ(err(free, {make_cell(DataType::Int, {3, 2}, 0), make_cell(DataType::Int, {2, 2}, 1)}),
              "t.c: row 1 has cell shape [2, 2], the column's cells have shape [3, 2]");
    ArrayValue short_cell = make_cell(DataType::Int, {3, 2}, 0);
    std::get<std::vector<int32_t>>(short_cell.data).pop_back();
    EXPECT_EQ(err(fixed, {short_cell}), "t.c: cell length 5 does not match shape [2, 3]");
    ArrayValue short_bools = make_cell(DataType::Bool, {4}, 0);
    std::get<std::vector<bool>>(short_bools.data).pop_back();
    EXPECT_EQ(err(bools, {short_bools}), "t.b: bool cell length 3 does not match shape [4]");
    EXPECT_EQ(err(bools, {make_cell(DataType::Int, {4}, 0)}), "t.b: expected a bool array value");
    EXPECT_EQ(err(fixed, {RecordValue(int32_t{1})}), "t.c: expected an array value");
    EXPECT_EQ(err(fixed, {make_cell(DataType::Double, {3, 2}, 0)}),
              "encode t.c: cell holds Double elements, the column stores Int");
    EXPECT_EQ(err(fixed, {}, "TiledCellStMan"),
              "encode t.c: unexpected object type \"TiledCellStMan\", expected \"TiledColumnStMan\"");
    EXPECT_EQ(err(array_column("s", DataType::String), {}), "encode t.s: unsupported tiled element type String");
    EXPECT_EQ(build_of("TiledShapeStMan", {fixed, fixed}, {{}, {}}).error().message(),
              "dm with 2 columns is not supported (one array column per group)");
}

}  // namespace
}  // namespace orvala
