// The header file of the tiled storage managers: parsing and writing.
#include <algorithm>

#include "quoted.h"
#include "tsm.h"

namespace orvala {

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

std::string shape_text(const std::vector<int64_t>& shape) {
    std::string s = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(shape[i]);
    }
    return s + "]";
}

TsmError aipsio(AipsIoError e) { return TsmError{TsmError::AipsIo{std::move(e)}}; }
TsmError message(std::string text) { return TsmError{TsmError::Message{std::move(text)}}; }

#define TSM_TRY_ASSIGN(var, expr)                                  \
    auto var##_r = (expr);                                         \
    if (!var##_r) return std::unexpected(aipsio(var##_r.error())); \
    auto var = std::move(*var##_r)

// A count or length: u32 up to version 2 of "TiledStMan", u64 after.
AipsIoResult<uint64_t> read_wide(Reader& r, bool wide) {
    if (wide) return r.read_u64();
    auto v = r.read_u32();
    if (!v) return std::unexpected(v.error());
    return uint64_t{*v};
}

}  // namespace

std::string TsmError::message() const {
    return std::visit(
        Overload{
            [](const AipsIo& e) { return e.error.message(); },
            [](const FileIo& e) { return e.error.message(); },
            [](const UnexpectedType& e) {
                return "unexpected object type " + quoted_form(e.found) + ", expected " + quoted_form(e.expected);
            },
            [](const UnknownDataType& e) { return "unknown DataType value " + std::to_string(e.code); },
            [](const RowOutside& e) {
                return "row " + std::to_string(e.row) + " outside the " + std::to_string(e.rows) +
                       " rows of the tiled data";
            },
            [](const TilesSmaller& e) {
                return "tiles smaller than the cell are not supported (cube " + shape_text(e.cube) + ", tile " +
                       shape_text(e.tile) + ")";
            },
            [](const MissingTileFile& e) { return "tile data file " + e.path + " does not exist"; },
            [](const UnsupportedType& e) {
                return std::string("unsupported tiled element type ") + data_type_name(e.type);
            },
            [](const SplitCell& e) {
                return "cell of row " + std::to_string(e.row) + " is not one contiguous piece of a tile";
            },
            [](const Message& e) { return e.text; },
        },
        v);
}

std::optional<uint32_t> tsm_element_bits(DataType type) {
    switch (type) {
        case DataType::Bool: return 1;
        case DataType::Char:
        case DataType::UChar: return 8;
        case DataType::Short:
        case DataType::UShort: return 16;
        case DataType::Int:
        case DataType::UInt:
        case DataType::Float: return 32;
        case DataType::Double:
        case DataType::Complex:
        case DataType::Int64: return 64;
        case DataType::DComplex: return 128;
        default: return std::nullopt;
    }
}

uint32_t tsm_element_bytes(DataType type) {
    auto bits = tsm_element_bits(type);
    return !bits ? 0 : *bits == 1 ? 1 : *bits / 8;
}

TsmResult<std::vector<uint32_t>> read_block(Reader& r, uint32_t count) {
    TSM_TRY_ASSIGN(n, r.read_block_start(4));
    if (n != count)
        return std::unexpected(message("row map Block holds " + std::to_string(n) + " entries, expected " +
                                       std::to_string(count)));
    std::vector<uint32_t> out(n);
    for (auto& x : out) {
        TSM_TRY_ASSIGN(v, r.read_u32());
        x = v;
    }
    return out;
}

TsmResult<TsmHeader> parse_header(std::span<const uint8_t> bytes) {
    Reader r(bytes, false);  // headers are always big-endian
    TsmHeader h;
    TSM_TRY_ASSIGN(outer, r.read_object_start(true));
    h.type_name = outer.type_name;
    if (outer.type_name == "TiledColumnStMan") {
        h.kind = TsmKind::TiledColumn;
        TSM_TRY_ASSIGN(shape, r.read_iposition());
        h.default_tile_shape = std::move(shape);
    } else if (outer.type_name == "TiledShapeStMan") {
        h.kind = TsmKind::TiledShape;
    } else {
        return std::unexpected(TsmError{TsmError::UnexpectedType{outer.type_name, "TiledColumnStMan"}});
    }

    TSM_TRY_ASSIGN(inner, r.read_object_start(false));
    if (inner.type_name != "TiledStMan")
        return std::unexpected(TsmError{TsmError::UnexpectedType{inner.type_name, "TiledStMan"}});
    h.version = inner.version;
    const bool wide = inner.version >= 3;
    if (inner.version >= 2) {
        TSM_TRY_ASSIGN(flag, r.read_bool());
        h.big_endian_flag = flag;
    }
    TSM_TRY_ASSIGN(seq, r.read_u32());
    h.seq = seq;
    TSM_TRY_ASSIGN(rows, read_wide(r, wide));
    h.rows = rows;
    TSM_TRY_ASSIGN(ncols, r.read_count(4));
    h.data_types.reserve(ncols);
    for (uint32_t i = 0; i < ncols; ++i) {
        TSM_TRY_ASSIGN(code, r.read_i32());
        auto type = data_type_from_i32(code);
        if (!type) return std::unexpected(TsmError{TsmError::UnknownDataType{code}});
        h.data_types.push_back(*type);
    }
    TSM_TRY_ASSIGN(hyper, r.read_string());
    h.hypercolumn = std::move(hyper);
    TSM_TRY_ASSIGN(cache, r.read_u32());
    h.max_cache_size = cache;
    TSM_TRY_ASSIGN(ndim, r.read_i32());
    h.ndim = ndim;

    // Counts are not trusted for allocation: entries are appended as they
    // are read, and a count beyond the bytes fails at the first missing one.
    TSM_TRY_ASSIGN(nfiles, read_wide(r, wide));
    for (uint64_t i = 0; i < nfiles; ++i) {
        TSM_TRY_ASSIGN(present, r.read_bool());
        if (!present) {
            h.files.emplace_back();
            continue;
        }
        TsmTileFile f;
        TSM_TRY_ASSIGN(version, r.read_u32());
        TSM_TRY_ASSIGN(k, r.read_u32());
        TSM_TRY_ASSIGN(length, read_wide(r, wide));
        f.version = version;
        f.seq = k;
        f.length = length;
        h.files.emplace_back(f);
    }

    TSM_TRY_ASSIGN(ncubes, read_wide(r, wide));
    for (uint64_t i = 0; i < ncubes; ++i) {
        TsmCube c;
        TSM_TRY_ASSIGN(version, r.read_u32());
        c.version = version;
        // The cube's values record is not used: skip it by its length, which
        // the object reader has checked to lie inside the header.
        TSM_TRY_ASSIGN(values, r.read_object_start(false));
        if (auto ok = r.skip_to_end(values); !ok) return std::unexpected(aipsio(ok.error()));
        TSM_TRY_ASSIGN(extensible, r.read_bool());
        c.extensible = extensible;
        TSM_TRY_ASSIGN(cndim, r.read_i32());
        c.ndim = cndim;
        TSM_TRY_ASSIGN(cube_shape, r.read_iposition());
        c.cube_shape = std::move(cube_shape);
        TSM_TRY_ASSIGN(tile_shape, r.read_iposition());
        c.tile_shape = std::move(tile_shape);
        TSM_TRY_ASSIGN(file, r.read_i32());
        c.file = file;
        TSM_TRY_ASSIGN(offset, read_wide(r, version != 1));
        c.offset = offset;
        h.cubes.push_back(std::move(c));
    }

    if (h.kind == TsmKind::TiledShape) {
        TSM_TRY_ASSIGN(shape, r.read_iposition());
        h.default_tile_shape = std::move(shape);
        TSM_TRY_ASSIGN(m, r.read_u32());
        auto rows_block = read_block(r, m);
        if (!rows_block) return std::unexpected(rows_block.error());
        auto cubes_block = read_block(r, m);
        if (!cubes_block) return std::unexpected(cubes_block.error());
        auto pos_block = read_block(r, m);
        if (!pos_block) return std::unexpected(pos_block.error());
        h.row_map = std::move(*rows_block);
        h.cube_map = std::move(*cubes_block);
        h.pos_map = std::move(*pos_block);
        for (uint32_t i = 0; i < m; ++i) {
            if (h.cube_map[i] >= h.cubes.size())
                return std::unexpected(message("row map entry " + std::to_string(i) + " names cube " +
                                               std::to_string(h.cube_map[i]) + " but the header has " +
                                               std::to_string(h.cubes.size()) + " cubes"));
            if (i > 0 && h.row_map[i] <= h.row_map[i - 1])
                return std::unexpected(message("row map is not ascending at entry " + std::to_string(i)));
        }
    }
    return h;
}

std::vector<uint8_t> tsm_header(TsmKind kind, uint32_t seq, std::string_view dm_name, DataType element,
                                std::span<const int64_t> cell_shape, uint64_t rows, uint64_t rows_per_tile,
                                uint64_t tile_bytes) {
    std::vector<int64_t> cube(cell_shape.begin(), cell_shape.end());
    std::vector<int64_t> tile = cube;
    cube.push_back(static_cast<int64_t>(rows));
    tile.push_back(static_cast<int64_t>(rows_per_tile));
    const int32_t ndim = static_cast<int32_t>(cube.size());
    const bool shape_kind = kind == TsmKind::TiledShape;

    Writer w(false, 512 + 16 * cube.size());
    auto put_cube = [&](bool extensible, int32_t dims, std::span<const int64_t> cube_shape,
                        std::span<const int64_t> tile_shape, int32_t file) {
        w.put_u32(1);  // cube version: 32-bit offset
        w.put_object_start("Record", 1);
        w.put_object_start("RecordDesc", 2);
        w.put_i32(0);
        w.put_object_end();
        w.put_i32(1);  // record type
        w.put_object_end();
        w.put_bool(extensible);
        w.put_i32(dims);
        w.put_iposition(cube_shape);
        w.put_iposition(tile_shape);
        w.put_i32(file);
        w.put_u32(0);  // offset
    };

    w.put_magic();
    if (shape_kind) {
        w.put_object_start("TiledShapeStMan", 1);
    } else {
        w.put_object_start("TiledColumnStMan", 1);
        w.put_iposition({});
    }
    w.put_object_start("TiledStMan", 2);
    w.put_bool(false);
    w.put_u32(seq);
    w.put_u32(static_cast<uint32_t>(rows));
    w.put_u32(1);
    w.put_i32(data_type_code(element));
    w.put_string(dm_name);
    w.put_u32(0);  // maximum cache size
    w.put_i32(ndim);
    if (shape_kind) {
        w.put_u32(2);
        w.put_bool(false);  // file 0 unused
        w.put_bool(true);
        w.put_u32(1);
        w.put_u32(1);
        w.put_u32(static_cast<uint32_t>(tile_bytes));
        w.put_u32(2);
        put_cube(false, 0, {}, {}, -1);
        put_cube(true, ndim, cube, tile, 1);
    } else {
        w.put_u32(1);
        w.put_bool(true);
        w.put_u32(1);
        w.put_u32(0);
        w.put_u32(static_cast<uint32_t>(tile_bytes));
        w.put_u32(1);
        put_cube(true, ndim, cube, tile, 0);
    }
    w.put_object_end();  // TiledStMan
    if (shape_kind) {
        w.put_iposition(tile);
        const uint32_t m = rows > 0 ? 1 : 0;
        w.put_u32(m);
        const uint32_t last = static_cast<uint32_t>(rows - 1);
        for (uint32_t value : {last, 1u, last}) {
            w.put_object_start("Block", 1);
            w.put_u32(m);
            if (m) w.put_u32(value);
            w.put_object_end();
        }
    }
    w.put_object_end();
    return w.take();
}

}  // namespace orvala
