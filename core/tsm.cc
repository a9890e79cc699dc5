// The tiled storage reader: locating and assembling cells.
#include "tsm.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "byteorder.h"
#include "internal_error.h"

namespace orvala {

namespace {

TsmError message(std::string text) { return TsmError{TsmError::Message{std::move(text)}}; }

bool same_element_type(DataType a, DataType b) {
    auto norm = [](DataType t) { return t == DataType::Char ? DataType::UChar : t; };
    return norm(a) == norm(b);
}

// The raw elements (Bool as bytes 0/1, others in `big_endian` order) as an
// ArrayData of the type's variant.
ArrayData elements_from_raw(const uint8_t* p, uint64_t n, DataType type, bool big_endian) {
    const bool le = !big_endian;
    auto fill = [&](auto& v, auto load, uint64_t w) {
        v.resize(n);
        for (uint64_t i = 0; i < n; ++i) v[i] = load(p + i * w);
    };
    switch (type) {
        case DataType::Bool: {
            std::vector<bool> v(n);
            for (uint64_t i = 0; i < n; ++i) v[i] = p[i] != 0;
            return v;
        }
        case DataType::Char:
        case DataType::UChar: return std::vector<uint8_t>(p, p + n);
        case DataType::Short: { std::vector<int16_t> v; fill(v, [&](const uint8_t* q) { return load_i16(q, le); }, 2); return v; }
        case DataType::UShort: { std::vector<uint16_t> v; fill(v, [&](const uint8_t* q) { return load_u16(q, le); }, 2); return v; }
        case DataType::Int: { std::vector<int32_t> v; fill(v, [&](const uint8_t* q) { return load_i32(q, le); }, 4); return v; }
        case DataType::UInt: { std::vector<uint32_t> v; fill(v, [&](const uint8_t* q) { return load_u32(q, le); }, 4); return v; }
        case DataType::Int64: { std::vector<int64_t> v; fill(v, [&](const uint8_t* q) { return load_i64(q, le); }, 8); return v; }
        case DataType::Float: { std::vector<float> v; fill(v, [&](const uint8_t* q) { return load_f32(q, le); }, 4); return v; }
        case DataType::Double: { std::vector<double> v; fill(v, [&](const uint8_t* q) { return load_f64(q, le); }, 8); return v; }
        case DataType::Complex: {
            std::vector<std::complex<float>> v;
            fill(v, [&](const uint8_t* q) { return std::complex<float>(load_f32(q, le), load_f32(q + 4, le)); }, 8);
            return v;
        }
        case DataType::DComplex: {
            std::vector<std::complex<double>> v;
            fill(v, [&](const uint8_t* q) { return std::complex<double>(load_f64(q, le), load_f64(q + 8, le)); }, 16);
            return v;
        }
        default: throw InternalError("elements_from_raw: no tiled storage for the type");
    }
}

}  // namespace

// ---- decoding helpers ----

void decode_bits_into(std::span<const uint8_t> bytes, uint64_t bit_offset, uint64_t count, std::vector<bool>& out) {
    if (count > 0 && (bytes.size() * 8 < bit_offset || bytes.size() * 8 - bit_offset < count))
        throw InternalError("decode_bits_into: " + std::to_string(count) + " bits at " + std::to_string(bit_offset) +
                            " past " + std::to_string(bytes.size()) + " bytes");
    out.reserve(out.size() + count);
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t b = bit_offset + i;
        out.push_back(((bytes[b >> 3] >> (b & 7)) & 1) != 0);
    }
}

TsmResult<ArrayData> decode_tile_data(std::span<const uint8_t> bytes, DataType type, uint64_t count,
                                      bool big_endian) {
    auto bits = tsm_element_bits(type);
    if (!bits) return std::unexpected(TsmError{TsmError::UnsupportedType{type}});
    if (*bits == 1) {
        if (bytes.size() < count / 8 + (count % 8 != 0))
            return std::unexpected(message("tile data of " + std::to_string(bytes.size()) + " bytes holds fewer than " +
                                           std::to_string(count) + " elements"));
        std::vector<bool> v;
        decode_bits_into(bytes, 0, count, v);
        return ArrayData(std::move(v));
    }
    if (bytes.size() / (*bits / 8) < count)
        return std::unexpected(message("tile data of " + std::to_string(bytes.size()) + " bytes holds fewer than " +
                                       std::to_string(count) + " elements"));
    return elements_from_raw(bytes.data(), count, type, big_endian);
}

// ---- opening ----

TsmResult<TsmFile> TsmFile::open(const std::string& dir, uint32_t seq, bool big_endian) {
    auto header = Buffer::open(dir + "/table.f" + std::to_string(seq));
    if (!header) return std::unexpected(TsmError{TsmError::FileIo{header.error()}});
    return build(std::move(*header), {}, big_endian, &dir, seq);
}

TsmResult<TsmFile> TsmFile::from_buffers(Buffer header, std::vector<std::pair<uint32_t, Buffer>> tile_files,
                                         bool big_endian) {
    return build(std::move(header), std::move(tile_files), big_endian, nullptr, 0);
}

TsmResult<TsmFile> TsmFile::build(Buffer header, std::vector<std::pair<uint32_t, Buffer>> tile_files,
                                  bool big_endian, const std::string* dir, uint32_t seq) {
    TsmFile f;
    f.big_endian_ = big_endian;
    f.header_buffer_ = std::move(header);
    auto parsed = parse_header(f.header_buffer_.bytes());
    if (!parsed) return std::unexpected(parsed.error());
    f.header_ = std::move(*parsed);
    f.files_ = std::move(tile_files);
    // Map the tile data file of every cube that has data, each once.
    for (const TsmCube& c : f.header_.cubes) {
        if (c.file < 0) continue;
        const uint32_t k = static_cast<uint32_t>(c.file);
        if (f.tile_file(k)) continue;
        std::string path = dir ? *dir + "/table.f" + std::to_string(seq) + "_TSM" + std::to_string(k)
                               : "table.f_TSM" + std::to_string(k);
        if (!dir) return std::unexpected(TsmError{TsmError::MissingTileFile{path}});
        auto b = Buffer::open(path);
        if (!b) {
            if (b.error().error.value() == ENOENT)
                return std::unexpected(TsmError{TsmError::MissingTileFile{path}});
            return std::unexpected(TsmError{TsmError::FileIo{b.error()}});
        }
        f.files_.emplace_back(k, std::move(*b));
    }
    f.lay_out_cubes();
    return f;
}

const Buffer* TsmFile::tile_file(uint32_t k) const {
    for (const auto& [seq, buffer] : files_)
        if (seq == k) return &buffer;
    return nullptr;
}

void TsmFile::lay_out_cubes() {
    layouts_.resize(header_.cubes.size());
    for (size_t i = 0; i < header_.cubes.size(); ++i) {
        const TsmCube& c = header_.cubes[i];
        CubeLayout& l = layouts_[i];
        if (!c.cube_shape.empty() && c.cube_shape.back() > 0) l.rows = static_cast<uint64_t>(c.cube_shape.back());
        if (c.file < 0 || l.rows == 0) continue;  // no cells stored
        for (size_t j = 0; j < files_.size(); ++j)
            if (files_[j].first == static_cast<uint32_t>(c.file)) l.file_index = static_cast<int64_t>(j);
        auto grid = make_tile_grid(c.cube_shape, c.tile_shape);
        if (!grid) {
            if (grid.error() == TileGridFault::Malformed)
                l.error = TsmError{TsmError::TilesSmaller{c.cube_shape, c.tile_shape}};
            else
                l.error = message("cube " + std::to_string(i) + " has an invalid shape (" +
                                  (grid.error() == TileGridFault::Negative ? "a negative extent"
                                                                           : "too many elements") +
                                  ")");
            continue;
        }
        l.grid = std::move(*grid);
        // A tile holds every column's part in turn.
        uint64_t stride = 0;
        for (DataType t : header_.data_types) {
            auto bits = tsm_element_bits(element_type(t));
            if (!bits) {
                l.error = TsmError{TsmError::UnsupportedType{element_type(t)}};
                break;
            }
            auto part = tile_part_bytes(l.grid, *bits);
            if (!part || __builtin_add_overflow(stride, *part, &stride)) {
                l.error = message("cube " + std::to_string(i) + " has an invalid shape (too many elements)");
                break;
            }
            l.column_offset.push_back(stride - *part);
        }
        uint64_t total;
        if (!l.error && __builtin_mul_overflow(l.grid.total_tiles, stride, &total))
            l.error = message("cube " + std::to_string(i) + " has an invalid shape (too many elements)");
        l.tile_stride = stride;
    }
    if (header_.kind == TsmKind::TiledColumn) {
        // Rows run through the cubes in cube order.
        uint64_t next = 0;
        for (size_t i = 0; i < layouts_.size(); ++i) {
            if (layouts_[i].rows == 0) continue;
            cube_starts_.emplace_back(next, static_cast<uint32_t>(i));
            if (__builtin_add_overflow(next, layouts_[i].rows, &next)) next = UINT64_MAX;
        }
        cube_rows_end_ = next;
    }
}

// ---- locating rows ----

TsmFile::Segment TsmFile::segment_at(uint64_t row, uint64_t max_rows) const {
    Segment s;
    s.rows = max_rows;
    if (header_.kind == TsmKind::TiledShape) {
        const auto& rm = header_.row_map;
        auto it = std::lower_bound(rm.begin(), rm.end(), row, [](uint32_t a, uint64_t b) { return a < b; });
        if (it == rm.end()) return s;
        const size_t i = static_cast<size_t>(it - rm.begin());
        const uint64_t last = rm[i];
        const uint64_t left = last - row + 1;  // rows to the end of the run
        s.rows = std::min(max_rows, left);
        const int64_t pos = int64_t{header_.pos_map[i]} - static_cast<int64_t>(last - row);
        if (pos < 0) {
            s.rows = std::min(s.rows, static_cast<uint64_t>(-pos));
            return s;
        }
        const uint32_t cube = header_.cube_map[i];  // checked against the cube count
        const CubeLayout& l = layouts_[cube];
        if (static_cast<uint64_t>(pos) >= l.rows) return s;  // beyond the cube: not stored
        s.rows = std::min(s.rows, l.rows - static_cast<uint64_t>(pos));
        if (l.file_index < 0 && !l.error) return s;
        s.cube = cube;
        s.position = static_cast<uint64_t>(pos);
        return s;
    }
    if (row >= cube_rows_end_) return s;
    auto it = std::upper_bound(cube_starts_.begin(), cube_starts_.end(), row,
                               [](uint64_t r, const std::pair<uint64_t, uint32_t>& e) { return r < e.first; });
    const auto& [start, cube] = *(it - 1);
    const CubeLayout& l = layouts_[cube];
    s.position = row - start;
    s.rows = std::min(max_rows, l.rows - s.position);
    if (l.file_index >= 0 || l.error) s.cube = cube;
    return s;
}

TsmResult<uint32_t> TsmFile::check_column(uint32_t column, std::optional<DataType> type) const {
    if (column >= header_.data_types.size())
        return std::unexpected(message("tiled data manager has no column " + std::to_string(column) + " (it holds " +
                                       std::to_string(header_.data_types.size()) + ")"));
    DataType stored = element_type(header_.data_types[column]);
    if (type && !tsm_element_bits(*type)) return std::unexpected(TsmError{TsmError::UnsupportedType{*type}});
    if (!tsm_element_bits(stored)) return std::unexpected(TsmError{TsmError::UnsupportedType{stored}});
    if (type && !same_element_type(*type, stored))
        return std::unexpected(message(std::string("tiled column holds ") + data_type_name(stored) +
                                       " elements, not " + data_type_name(*type)));
    return *tsm_element_bits(stored);
}

TsmResult<const TsmFile::CubeLayout*> TsmFile::usable_cube(uint32_t cube) const {
    const CubeLayout& l = layouts_[cube];
    if (l.error) return std::unexpected(*l.error);
    return &l;
}

TsmResult<std::optional<std::vector<uint32_t>>> TsmFile::cell_shape(uint64_t row) const {
    Segment s = segment_at(row, 1);
    if (!s.cube) return std::optional<std::vector<uint32_t>>{};
    auto l = usable_cube(*s.cube);
    if (!l) return std::unexpected(l.error());
    const TileGrid& g = (*l)->grid;
    std::vector<uint32_t> shape;
    for (uint32_t i = g.cell_dims(); i-- > 0;) {
        if (g.cube[i] > UINT32_MAX) return std::unexpected(message("cell extent " + std::to_string(g.cube[i]) + " of row " + std::to_string(row) + " is too large"));
        shape.push_back(static_cast<uint32_t>(g.cube[i]));
    }
    return shape;
}

TsmResult<std::optional<CellLocation>> TsmFile::cell_location(uint64_t row, uint32_t column) const {
    auto bits = check_column(column, std::nullopt);
    if (!bits) return std::unexpected(bits.error());
    Segment s = segment_at(row, 1);
    if (!s.cube) return std::optional<CellLocation>{};
    auto lr = usable_cube(*s.cube);
    if (!lr) return std::unexpected(lr.error());
    const CubeLayout& l = **lr;
    const TileGrid& g = l.grid;
    if (!g.whole_cells) return std::unexpected(TsmError{TsmError::SplitCell{row}});
    const TsmCube& c = header_.cubes[*s.cube];
    const uint64_t H = g.rows_per_tile();
    const uint64_t cell_bits = g.cell_elements * *bits;  // <= tile bits: no overflow
    const uint64_t b = cell_bits * (s.position % H);
    const uint64_t rel = (s.position / H) * l.tile_stride + l.column_offset[column] + b / 8;
    CellLocation loc;
    loc.cube = *s.cube;
    loc.file = c.file;
    loc.bit_offset = static_cast<uint32_t>(b % 8);
    loc.length = (cell_bits + loc.bit_offset) / 8 + ((cell_bits + loc.bit_offset) % 8 != 0);
    loc.elements = g.cell_elements;
    const uint64_t file_len = files_[static_cast<size_t>(l.file_index)].second.size();
    if (__builtin_add_overflow(c.offset, rel, &loc.offset) || loc.offset > file_len ||
        file_len - loc.offset < loc.length)
        return std::unexpected(TsmError{TsmError::RowOutside{row, header_.rows}});
    return loc;
}

// ---- reading ----

TsmResult<void> TsmFile::copy_cells(const CubeLayout& l, uint32_t column, uint64_t row, uint64_t pos, uint64_t n,
                                    uint8_t* out) const {
    const TileGrid& g = l.grid;
    if (g.cell_elements == 0 || n == 0) return {};
    const DataType type = element_type(header_.data_types[column]);
    const uint32_t bits = *tsm_element_bits(type);
    const uint64_t part = *tile_part_bytes(g, bits);
    const std::span<const uint8_t> data = files_[static_cast<size_t>(l.file_index)].second.bytes();
    const uint64_t offset = header_.cubes[&l - layouts_.data()].offset;
    const uint64_t ew = tsm_element_bytes(type);
    const uint64_t H = g.rows_per_tile();
    // One row of tiles at a time, each checked to lie in the file first.
    for (uint64_t p = pos; p < pos + n;) {
        const uint64_t q = std::min(pos + n, (p / H + 1) * H);
        uint64_t end;
        if (__builtin_add_overflow(offset, last_tile_end(g, p, q - p, l.tile_stride, l.column_offset[column], part),
                                   &end) ||
            end > data.size())
            return std::unexpected(TsmError{TsmError::RowOutside{row + (p - pos), header_.rows}});
        copy_tile_cells(g, data.data() + offset + l.column_offset[column], l.tile_stride, bits, p, q - p,
                        out + (p - pos) * g.cell_elements * ew);
        p = q;
    }
    return {};
}

TsmResult<std::optional<ArrayValue>> TsmFile::read_cell(uint64_t row, DataType type, uint32_t column) const {
    auto bits = check_column(column, type);
    if (!bits) return std::unexpected(bits.error());
    auto shape = cell_shape(row);
    if (!shape) return std::unexpected(shape.error());
    if (!*shape) return std::optional<ArrayValue>{};
    Segment s = segment_at(row, 1);
    const CubeLayout& l = layouts_[*s.cube];
    const uint64_t ew = tsm_element_bytes(type);
    // Check the tiles before allocating for the cell: the cell's elements
    // all lie in them.
    std::vector<uint8_t> raw;
    if (l.grid.cell_elements > 0) {
        const TileGrid& g = l.grid;
        const uint64_t part = *tile_part_bytes(g, *bits);
        uint64_t end;
        if (__builtin_add_overflow(header_.cubes[*s.cube].offset,
                                   last_tile_end(g, s.position, 1, l.tile_stride, l.column_offset[column], part),
                                   &end) ||
            end > files_[static_cast<size_t>(l.file_index)].second.size())
            return std::unexpected(TsmError{TsmError::RowOutside{row, header_.rows}});
        raw.resize(g.cell_elements * ew);
        if (auto ok = copy_cells(l, column, row, s.position, 1, raw.data()); !ok) return std::unexpected(ok.error());
    }
    ArrayValue value;
    value.shape = std::move(**shape);
    value.data = elements_from_raw(raw.data(), l.grid.cell_elements, type, big_endian_);
    return value;
}

TsmResult<std::vector<std::optional<ArrayValue>>> TsmFile::read_column(DataType type, uint64_t first,
                                                                       uint64_t count, uint32_t column) const {
    auto bits = check_column(column, type);
    if (!bits) return std::unexpected(bits.error());
    const uint64_t ew = tsm_element_bytes(type);
    std::vector<std::optional<ArrayValue>> out;
    std::vector<uint8_t> raw;
    for (uint64_t row = first; row - first < count;) {
        Segment s = segment_at(row, count - (row - first));
        if (!s.cube) {
            // Not stored; the count is the caller's, so grow as rows come.
            out.resize(out.size() + s.rows);
            row += s.rows;
            continue;
        }
        auto shape = cell_shape(row);
        if (!shape) return std::unexpected(shape.error());
        const CubeLayout& l = layouts_[*s.cube];
        const TileGrid& g = l.grid;
        // A row of tiles at a time: its tiles are checked before the buffer
        // for its cells is sized.
        const uint64_t H = g.rows_per_tile();
        for (uint64_t p = s.position; p < s.position + s.rows;) {
            const uint64_t q = std::min(s.position + s.rows, (p / H + 1) * H);
            const uint64_t r = row + (p - s.position);
            uint64_t end;
            const uint64_t part = *tile_part_bytes(g, *bits);
            if (g.cell_elements > 0 &&
                (__builtin_add_overflow(header_.cubes[*s.cube].offset,
                                        last_tile_end(g, p, q - p, l.tile_stride, l.column_offset[column], part),
                                        &end) ||
                 end > files_[static_cast<size_t>(l.file_index)].second.size()))
                return std::unexpected(TsmError{TsmError::RowOutside{r, header_.rows}});
            const uint64_t cell_bytes = g.cell_elements * ew;
            raw.resize((q - p) * cell_bytes);
            if (auto ok = copy_cells(l, column, r, p, q - p, raw.data()); !ok) return std::unexpected(ok.error());
            for (uint64_t i = 0; i < q - p; ++i) {
                ArrayValue v;
                v.shape = **shape;
                v.data = elements_from_raw(raw.data() + i * cell_bytes, g.cell_elements, type, big_endian_);
                out.emplace_back(std::move(v));
            }
            p = q;
        }
        row += s.rows;
    }
    return out;
}

TsmResult<void> TsmFile::read_cells_raw(DataType type, uint64_t first, uint64_t count, uint64_t cell_elements,
                                        std::span<uint8_t> out, uint32_t column) const {
    auto bits = check_column(column, type);
    if (!bits) return std::unexpected(bits.error());
    const uint64_t cell_bytes = cell_elements * tsm_element_bytes(type);
    if (cell_elements != 0 && (cell_bytes / cell_elements != tsm_element_bytes(type) || out.size() / cell_bytes < count))
        throw InternalError("TsmFile::read_cells_raw: output of " + std::to_string(out.size()) + " bytes for " +
                            std::to_string(count) + " cells of " + std::to_string(cell_elements) + " elements");
    for (uint64_t row = first; row - first < count;) {
        Segment s = segment_at(row, count - (row - first));
        uint8_t* dst = out.data() + (row - first) * cell_bytes;
        if (!s.cube) {
            if (cell_bytes > 0) std::memset(dst, 0, s.rows * cell_bytes);
        } else {
            auto l = usable_cube(*s.cube);
            if (!l) return std::unexpected(l.error());
            if ((*l)->grid.cell_elements != cell_elements)
                return std::unexpected(message("row " + std::to_string(row) + " holds a cell of " +
                                               std::to_string((*l)->grid.cell_elements) + " elements, expected " +
                                               std::to_string(cell_elements)));
            if (auto ok = copy_cells(**l, column, row, s.position, s.rows, dst); !ok)
                return std::unexpected(ok.error());
        }
        row += s.rows;
    }
    return {};
}

}  // namespace orvala
