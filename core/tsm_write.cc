// The tiled storage writer: one hypercube per data manager, tiles of whole
// cells in row order, 512 KiB of cell data per tile.
#include <cstring>

#include "byteorder.h"
#include "internal_error.h"
#include "quoted.h"
#include "tsm.h"

namespace orvala {

namespace {

constexpr uint64_t kTileTarget = 524288;

std::string list_text(std::span<const int64_t> shape) {
    std::string s = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(shape[i]);
    }
    return s + "]";
}

bool kind_matches(const ArrayData& data, DataType type) {
    using K = ArrayData::Kind;
    switch (type) {
        case DataType::Bool: return data.kind() == K::Bool;
        case DataType::Char:
        case DataType::UChar: return data.kind() == K::UChar;
        case DataType::Short: return data.kind() == K::Short;
        case DataType::UShort: return data.kind() == K::UShort;
        case DataType::Int: return data.kind() == K::Int;
        case DataType::UInt: return data.kind() == K::UInt;
        case DataType::Int64: return data.kind() == K::Int64;
        case DataType::Float: return data.kind() == K::Float;
        case DataType::Double: return data.kind() == K::Double;
        case DataType::Complex: return data.kind() == K::Complex;
        case DataType::DComplex: return data.kind() == K::DComplex;
        default: return false;
    }
}

// Writes the non-Bool elements of `data` at `out` in the stored widths.
void encode_elements(const ArrayData& data, bool le, uint8_t* out) {
    std::visit(
        [&](const auto& v) {
            using T = typename std::decay_t<decltype(v)>::value_type;
            if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::string>) {
                throw InternalError("encode_elements: no fixed-width encoding");
            } else if constexpr (std::is_same_v<T, uint8_t>) {
                if (!v.empty()) std::memcpy(out, v.data(), v.size());
            } else if constexpr (std::is_same_v<T, std::complex<float>> || std::is_same_v<T, std::complex<double>>) {
                using P = typename T::value_type;
                using U = std::conditional_t<sizeof(P) == 4, uint32_t, uint64_t>;
                for (const T& c : v) {
                    store_le_or_be(out, std::bit_cast<U>(c.real()), le);
                    store_le_or_be(out + sizeof(P), std::bit_cast<U>(c.imag()), le);
                    out += 2 * sizeof(P);
                }
            } else {
                using U = std::conditional_t<sizeof(T) == 2, uint16_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>;
                for (const T& x : v) {
                    store_le_or_be(out, std::bit_cast<U>(x), le);
                    out += sizeof(T);
                }
            }
        },
        static_cast<const ArrayDataVariant&>(data));
}

}  // namespace

void or_bytes_at(std::span<uint8_t> dst, uint64_t bit_offset, std::span<const uint8_t> bits, uint64_t nbits) {
    if (nbits > bits.size() * 8 || bit_offset > dst.size() * 8 || nbits > dst.size() * 8 - bit_offset)
        throw InternalError("or_bytes_at: " + std::to_string(nbits) + " bits at bit " + std::to_string(bit_offset) +
                            " do not fit " + std::to_string(dst.size()) + " bytes");
    const uint32_t shift = bit_offset % 8;
    uint8_t* d = dst.data() + bit_offset / 8;
    const uint64_t whole = nbits / 8;
    for (uint64_t i = 0; i < whole; ++i) {
        d[i] |= static_cast<uint8_t>(bits[i] << shift);
        if (shift) d[i + 1] |= static_cast<uint8_t>(bits[i] >> (8 - shift));
    }
    for (uint64_t b = whole * 8; b < nbits; ++b)
        if ((bits[b >> 3] >> (b & 7)) & 1) dst[(bit_offset + b) >> 3] |= static_cast<uint8_t>(1u << ((bit_offset + b) & 7));
}

TsmResult<std::vector<uint8_t>> tsm_encode_cell(const ArrayValue& value, DataType type, bool little_endian) {
    auto bits = tsm_element_bits(type);
    if (!bits) return std::unexpected(TsmError{TsmError::UnsupportedType{type}});
    if (!kind_matches(value.data, type))
        return std::unexpected(TsmError{TsmError::Message{std::string("cell holds ") +
                                                          data_type_name(value.data.element_type()) +
                                                          " elements, the column stores " + data_type_name(type)}});
    const uint64_t n = value.data.size();
    if (*bits == 1) {
        const auto& v = std::get<std::vector<bool>>(value.data);
        std::vector<uint8_t> out(n / 8 + (n % 8 != 0), 0);
        for (uint64_t i = 0; i < n; ++i)
            if (v[i]) out[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
        return out;
    }
    std::vector<uint8_t> out(n * (*bits / 8));
    encode_elements(value.data, little_endian, out.data());
    return out;
}

std::expected<TsmImage, StorageWriteError> build_tsm_data(std::string_view type_name, uint32_t seq,
                                                          std::string_view dm_name, const TableDesc& desc,
                                                          std::span<const uint32_t> positions,
                                                          std::span<const std::vector<RecordValue>> values,
                                                          uint64_t rows) {
    using E = StorageWriteError;
    if (positions.size() != 1)
        return std::unexpected(E::msg(std::string(dm_name) + " with " + std::to_string(positions.size()) +
                                      " columns is not supported (one array column per group)"));
    if (values.size() != 1 || values[0].size() != rows)
        throw InternalError("build_tsm_data: value lists do not match the columns and rows");
    if (positions[0] >= desc.columns.size()) throw InternalError("build_tsm_data: no column " + std::to_string(positions[0]));
    const ColumnDesc& col = desc.columns[positions[0]];
    const std::string where = desc.name + "." + col.name;
    TsmKind kind;
    if (type_name == "TiledColumnStMan") kind = TsmKind::TiledColumn;
    else if (type_name == "TiledShapeStMan") kind = TsmKind::TiledShape;
    else
        return std::unexpected(E::msg("encode " + where + ": " +
                                      TsmError{TsmError::UnexpectedType{std::string(type_name), "TiledColumnStMan"}}
                                          .message()));
    const DataType type = col.data_type;
    auto bits = tsm_element_bits(type);
    if (!bits) return std::unexpected(E::msg("encode " + where + ": " + TsmError{TsmError::UnsupportedType{type}}.message()));
    const std::vector<RecordValue>& cells = values[0];

    // The cell shape in storage order: the fixed shape, else the first array
    // cell's (whose extents are in C order).
    std::vector<int64_t> shape;
    if (col.has_fixed_shape()) {
        shape = *col.shape;
        for (int64_t e : shape)
            if (e < 0) return std::unexpected(E::msg(where + ": invalid cell shape " + list_text(shape)));
    } else {
        for (const RecordValue& v : cells) {
            if (v.kind() != RecordValue::Kind::Array) continue;
            const auto& s = std::get<ArrayValue>(v).shape;
            shape.assign(s.rbegin(), s.rend());
            break;
        }
    }
    uint64_t elements = 1;
    for (int64_t e : shape)
        if (__builtin_mul_overflow(elements, static_cast<uint64_t>(e), &elements))
            return std::unexpected(E::msg(where + ": cell shape " + list_text(shape) + " is too large"));
    std::vector<int64_t> c_shape(shape.rbegin(), shape.rend());

    // Every cell is checked before anything is built: a cell of another
    // shape would overwrite its neighbour or leave part of its own cell.
    for (uint64_t i = 0; i < rows; ++i) {
        const RecordValue& v = cells[i];
        if (v.kind() != RecordValue::Kind::Array) return std::unexpected(E::msg(where + ": expected an array value"));
        const ArrayValue& a = std::get<ArrayValue>(v);
        if (type == DataType::Bool && a.data.kind() != ArrayData::Kind::Bool)
            return std::unexpected(E::msg(where + ": expected a bool array value"));
        bool same = a.shape.size() == shape.size();
        for (size_t j = 0; same && j < shape.size(); ++j)
            same = a.shape[j] == static_cast<uint64_t>(c_shape[j]);
        if (!same) {
            std::vector<int64_t> got(a.shape.begin(), a.shape.end());
            return std::unexpected(E::msg(where + ": row " + std::to_string(i) + " has cell shape " + list_text(got) +
                                          ", the column's cells have shape " + list_text(c_shape)));
        }
        if (a.data.size() != elements)
            return std::unexpected(E::msg(where + (type == DataType::Bool ? ": bool cell length " : ": cell length ") +
                                          std::to_string(a.data.size()) + " does not match shape " +
                                          list_text(shape)));
        if (!kind_matches(a.data, type))
            return std::unexpected(E::msg("encode " + where + ": cell holds " +
                                          data_type_name(a.data.element_type()) + " elements, the column stores " +
                                          data_type_name(type)));
    }

    // Layout: s bytes per cell, R rows per tile.
    const bool is_bool = *bits == 1;
    uint64_t cell_bytes;
    if (is_bool) cell_bytes = elements / 8 + (elements % 8 != 0);
    else if (__builtin_mul_overflow(elements, uint64_t{*bits / 8}, &cell_bytes))
        return std::unexpected(E::msg(where + ": cell shape " + list_text(shape) + " is too large"));
    cell_bytes = std::max<uint64_t>(cell_bytes, 1);
    const uint64_t per_tile = std::max<uint64_t>(kTileTarget / cell_bytes, 1);
    const uint64_t tiles = std::max<uint64_t>((rows + per_tile - 1) / per_tile, 1);
    uint64_t tile_bytes;
    if (is_bool) {
        uint64_t tile_bits;
        if (__builtin_mul_overflow(elements, per_tile, &tile_bits))
            return std::unexpected(E::msg(where + ": cell shape " + list_text(shape) + " is too large"));
        tile_bytes = tile_bits / 8 + (tile_bits % 8 != 0);
    } else {
        tile_bytes = per_tile * cell_bytes;
    }
    uint64_t data_bytes;
    if (__builtin_mul_overflow(tiles, tile_bytes, &data_bytes) || data_bytes > UINT32_MAX || rows > UINT32_MAX ||
        per_tile > INT32_MAX)
        return std::unexpected(E::msg(where + ": " + std::to_string(rows) + " cells of shape " + list_text(shape) +
                                      " do not fit a tiled file (at most 4 GiB of tile data)"));
    for (int64_t e : shape)
        if (e > INT32_MAX)
            return std::unexpected(E::msg(where + ": cell shape " + list_text(shape) + " is too large"));

    TsmImage image;
    image.file_number = kind == TsmKind::TiledShape ? 1 : 0;
    image.tile_data.assign(data_bytes, 0);
    uint8_t* data = image.tile_data.data();
    std::vector<uint8_t> packed;
    for (uint64_t i = 0; i < rows; ++i) {
        const ArrayData& d = std::get<ArrayValue>(cells[i]).data;
        uint8_t* tile = data + (i / per_tile) * tile_bytes;
        const uint64_t at = i % per_tile;
        if (is_bool) {
            const auto& v = std::get<std::vector<bool>>(d);
            packed.assign(elements / 8 + (elements % 8 != 0), 0);
            for (uint64_t j = 0; j < elements; ++j)
                if (v[j]) packed[j >> 3] |= static_cast<uint8_t>(1u << (j & 7));
            or_bytes_at({tile, tile_bytes}, at * elements, packed, elements);
        } else if (elements > 0) {
            encode_elements(d, true, tile + at * cell_bytes);
        }
    }
    image.header = tsm_header(kind, seq, dm_name, type, shape, rows, per_tile, data_bytes);
    return image;
}

}  // namespace orvala
