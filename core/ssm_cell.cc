#include "ssm_cell.h"

#include <bit>
#include <complex>
#include <cstring>

#include "byteorder.h"
#include "internal_error.h"

namespace orvala {
namespace {

constexpr bool kHostLittle = std::endian::native == std::endian::little;

// ---- value conversions of the scalar writer ----

using K = RecordValue::Kind;

uint8_t to_u8(const RecordValue& v) {
    switch (v.kind()) {
        case K::Bool: return std::get<bool>(v) ? 1 : 0;
        case K::UChar: return std::get<uint8_t>(v);
        case K::Short: return static_cast<uint8_t>(std::get<int16_t>(v));
        case K::Int: return static_cast<uint8_t>(std::get<int32_t>(v));
        default: return 0;
    }
}

uint16_t to_u16_short(const RecordValue& v) {
    switch (v.kind()) {
        case K::Short: return static_cast<uint16_t>(std::get<int16_t>(v));
        case K::UShort: return std::get<uint16_t>(v);
        case K::Int: return static_cast<uint16_t>(std::get<int32_t>(v));
        default: return 0;
    }
}

uint16_t to_u16_ushort(const RecordValue& v) {
    if (v.kind() == K::UInt) return static_cast<uint16_t>(std::get<uint32_t>(v));
    return to_u16_short(v);
}

int32_t to_i32(const RecordValue& v) {
    switch (v.kind()) {
        case K::Bool: return std::get<bool>(v) ? 1 : 0;
        case K::UChar: return std::get<uint8_t>(v);
        case K::Short: return std::get<int16_t>(v);
        case K::UShort: return std::get<uint16_t>(v);
        case K::Int: return std::get<int32_t>(v);
        default: return 0;
    }
}

uint32_t to_u32(const RecordValue& v) {
    switch (v.kind()) {
        case K::Int: return static_cast<uint32_t>(std::get<int32_t>(v));
        case K::UInt: return std::get<uint32_t>(v);
        default: return 0;
    }
}

int64_t to_i64(const RecordValue& v) {
    switch (v.kind()) {
        case K::Int: return std::get<int32_t>(v);
        case K::Int64: return std::get<int64_t>(v);
        default: return 0;
    }
}

float to_f32(const RecordValue& v) {
    switch (v.kind()) {
        case K::Float: return std::get<float>(v);
        case K::Double: return static_cast<float>(std::get<double>(v));
        default: return 0;
    }
}

double to_f64(const RecordValue& v) {
    switch (v.kind()) {
        case K::Float: return std::get<float>(v);
        case K::Double: return std::get<double>(v);
        default: return 0;
    }
}

std::complex<float> to_c64(const RecordValue& v) {
    switch (v.kind()) {
        case K::Complex: return std::get<std::complex<float>>(v);
        case K::DComplex: {
            auto c = std::get<std::complex<double>>(v);
            return {static_cast<float>(c.real()), static_cast<float>(c.imag())};
        }
        default: return {};
    }
}

std::complex<double> to_c128(const RecordValue& v) {
    switch (v.kind()) {
        case K::Complex: {
            auto c = std::get<std::complex<float>>(v);
            return {c.real(), c.imag()};
        }
        case K::DComplex: return std::get<std::complex<double>>(v);
        default: return {};
    }
}

// The text of a String (or a Table reference); empty for anything else.
std::string_view text_of(const RecordValue& v) {
    if (auto* s = std::get_if<std::string>(&v)) return *s;
    if (auto* t = std::get_if<TableRef>(&v)) return t->reference;
    return {};
}

bool bool_cell(const RecordValue& v) {
    if (auto* b = std::get_if<bool>(&v)) return *b;
    if (auto* u = std::get_if<uint8_t>(&v)) return *u != 0;
    return false;
}

// ---- fixed-width element stores ----

void put_f32(uint8_t* p, float v, bool le) { store_u32(p, std::bit_cast<uint32_t>(v), le); }
void put_f64(uint8_t* p, double v, bool le) { store_u64(p, std::bit_cast<uint64_t>(v), le); }

// Scalar cell bytes of a fixed-width (non-string) type; `p` holds them.
void store_fixed(uint8_t* p, DataType type, const RecordValue& v, bool le) {
    switch (type) {
        case DataType::Bool: p[0] = bool_cell(v) ? 1 : 0; break;
        case DataType::Char:
        case DataType::UChar: p[0] = to_u8(v); break;
        case DataType::Short: store_u16(p, to_u16_short(v), le); break;
        case DataType::UShort: store_u16(p, to_u16_ushort(v), le); break;
        case DataType::Int: store_u32(p, static_cast<uint32_t>(to_i32(v)), le); break;
        case DataType::UInt: store_u32(p, to_u32(v), le); break;
        case DataType::Int64: store_u64(p, static_cast<uint64_t>(to_i64(v)), le); break;
        case DataType::Float: put_f32(p, to_f32(v), le); break;
        case DataType::Double: put_f64(p, to_f64(v), le); break;
        case DataType::Complex: {
            auto c = to_c64(v);
            put_f32(p, c.real(), le);
            put_f32(p + 4, c.imag(), le);
            break;
        }
        case DataType::DComplex: {
            auto c = to_c128(v);
            put_f64(p, c.real(), le);
            put_f64(p + 8, c.imag(), le);
            break;
        }
        default: throw InternalError("store_fixed: no fixed-width cell for this type");
    }
}

uint32_t fixed_size(DataType type) {
    switch (type) {
        case DataType::Bool:
        case DataType::Char:
        case DataType::UChar: return 1;
        case DataType::Short:
        case DataType::UShort: return 2;
        case DataType::Int:
        case DataType::UInt:
        case DataType::Float: return 4;
        case DataType::Double:
        case DataType::Complex:
        case DataType::Int64: return 8;
        case DataType::DComplex: return 16;
        default: return 0;
    }
}

// Whether `data` holds exactly the element type `element` (Char as UChar).
bool same_kind(DataType element, ArrayData::Kind kind) {
    using AK = ArrayData::Kind;
    switch (element) {
        case DataType::Bool: return kind == AK::Bool;
        case DataType::Char:
        case DataType::UChar: return kind == AK::UChar;
        case DataType::Short: return kind == AK::Short;
        case DataType::UShort: return kind == AK::UShort;
        case DataType::Int: return kind == AK::Int;
        case DataType::UInt: return kind == AK::UInt;
        case DataType::Int64: return kind == AK::Int64;
        case DataType::Float: return kind == AK::Float;
        case DataType::Double: return kind == AK::Double;
        case DataType::Complex: return kind == AK::Complex;
        case DataType::DComplex: return kind == AK::DComplex;
        default: return false;
    }
}

// Elements whose in-memory form is the stored form when the byte orders
// agree: copied in one piece.
template <class T>
void append_same(std::vector<uint8_t>& out, const std::vector<T>& v, bool le) {
    size_t at = out.size();
    out.resize(at + v.size() * sizeof(T));
    uint8_t* p = out.data() + at;
    if (le == kHostLittle) {
        if (!v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(T));
        return;
    }
    for (const T& e : v) {
        if constexpr (sizeof(T) == 1) {
            *p++ = static_cast<uint8_t>(e);
        } else if constexpr (std::is_same_v<T, std::complex<float>>) {
            put_f32(p, e.real(), le);
            put_f32(p + 4, e.imag(), le);
            p += 8;
        } else if constexpr (std::is_same_v<T, std::complex<double>>) {
            put_f64(p, e.real(), le);
            put_f64(p + 8, e.imag(), le);
            p += 16;
        } else if constexpr (std::is_floating_point_v<T>) {
            if constexpr (sizeof(T) == 4) put_f32(p, e, le);
            else put_f64(p, e, le);
            p += sizeof(T);
        } else {
            store_le_or_be(p, static_cast<std::make_unsigned_t<T>>(e), le);
            p += sizeof(T);
        }
    }
}

void append_bits(std::vector<uint8_t>& out, uint64_t n, auto&& bit_of) {
    size_t at = out.size();
    out.resize(at + (n + 7) / 8, 0);
    uint8_t* p = out.data() + at;
    for (uint64_t i = 0; i < n; ++i)
        if (bit_of(i)) p[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
}

void check_utf8_tail(std::span<const uint8_t> s, size_t i, size_t len, uint8_t lo, uint8_t hi, size_t& valid) {
    // Counts how many bytes of the sequence starting at s[i] are a valid
    // prefix: the lead byte, then a second byte in [lo, hi], then 80..BF.
    valid = 1;
    for (size_t j = 1; j < len; ++j) {
        if (i + j >= s.size()) return;
        uint8_t c = s[i + j];
        uint8_t l = j == 1 ? lo : 0x80, h = j == 1 ? hi : 0xBF;
        if (c < l || c > h) return;
        ++valid;
    }
}

}  // namespace

CellColumn cell_column(const ColumnDesc& desc) {
    CellKind kind = desc.kind == ColumnKind::Array    ? CellKind::Array
                    : desc.kind == ColumnKind::Record ? CellKind::Record
                                                      : CellKind::Scalar;
    return CellColumn{desc.name, desc.data_type, kind, desc.maxlen};
}

SsmResult<uint32_t> cell_bits(const CellColumn& column) {
    switch (column.kind) {
        case CellKind::Record: return 96;
        case CellKind::Array: return element_type(column.data_type) == DataType::String ? 96 : 64;
        case CellKind::Scalar: break;
    }
    if (column.data_type == DataType::Bool) return 1;
    if (column.data_type == DataType::String) {
        uint64_t bytes = column.maxlen > 0 ? static_cast<uint64_t>(column.maxlen) : 12;
        if (bytes * 8 > UINT32_MAX) return std::unexpected(SsmError{SsmError::NotScalar{std::string(column.name), column.data_type}});
        return static_cast<uint32_t>(bytes * 8);
    }
    if (uint32_t s = fixed_size(column.data_type)) return s * 8;
    return std::unexpected(SsmError{SsmError::NotScalar{std::string(column.name), column.data_type}});
}

uint32_t element_size(DataType element) { return fixed_size(element); }

uint64_t element_bytes(DataType element, uint64_t n) {
    if (element == DataType::Bool) return n / 8 + (n % 8 != 0);
    return n * fixed_size(element);
}

StringRef parse_string_ref(std::span<const uint8_t> cell, bool big_endian) {
    if (cell.size() < 12) throw InternalError("parse_string_ref: cell shorter than 12 bytes");
    bool le = !big_endian;
    return StringRef{load_i32(cell.data(), le), load_i32(cell.data() + 4, le), load_i32(cell.data() + 8, le)};
}

void append_text(std::string& out, std::span<const uint8_t> s) {
    size_t i = 0, n = s.size();
    while (i < n) {
        // Runs of ASCII go in one piece.
        size_t start = i;
        while (i < n && s[i] < 0x80) ++i;
        if (i > start) out.append(reinterpret_cast<const char*>(s.data() + start), i - start);
        if (i >= n) break;
        uint8_t b = s[i];
        size_t len = 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) len = 2;
        else if (b == 0xE0) len = 3, lo = 0xA0;
        else if (b == 0xED) len = 3, hi = 0x9F;
        else if (b >= 0xE1 && b <= 0xEF) len = 3;
        else if (b == 0xF0) len = 4, lo = 0x90;
        else if (b == 0xF4) len = 4, hi = 0x8F;
        else if (b >= 0xF1 && b <= 0xF3) len = 4;
        size_t valid = 0;
        if (len) check_utf8_tail(s, i, len, lo, hi, valid);
        if (len && valid == len) {
            out.append(reinterpret_cast<const char*>(s.data() + i), len);
            i += len;
        } else {
            // The maximal valid prefix of a sequence (at least one byte)
            // becomes one replacement character.
            out.append("\xEF\xBF\xBD");
            i += valid ? valid : 1;
        }
    }
}

std::string decode_text(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    append_text(out, bytes);
    return out;
}

SsmResult<RecordValue> decode_scalar(std::span<const uint8_t> cell, const CellColumn& column, bool big_endian,
                                     unsigned bit) {
    auto not_scalar = [&](DataType t) {
        return std::unexpected(SsmError{SsmError::NotScalar{std::string(column.name), t}});
    };
    if (column.kind == CellKind::Record) return not_scalar(DataType::Record);
    if (column.kind == CellKind::Array)
        return not_scalar(array_type_of(element_type(column.data_type)).value_or(column.data_type));
    bool le = !big_endian;
    DataType type = column.data_type;
    if (type == DataType::String) {
        if (column.maxlen > 0) {
            size_t n = static_cast<size_t>(column.maxlen);
            if (cell.size() < n) throw InternalError("decode_scalar: short fixed-length string cell");
            auto text = cell.first(n);
            if (const void* z = std::memchr(text.data(), 0, n))
                text = text.first(static_cast<size_t>(static_cast<const uint8_t*>(z) - text.data()));
            return RecordValue(decode_text(text));
        }
        if (cell.size() < 12) throw InternalError("decode_scalar: short string cell");
        int32_t len = load_i32(cell.data() + 8, le);
        if (len < 0) {
            StringRef ref = parse_string_ref(cell, big_endian);
            return std::unexpected(SsmError{SsmError::BadStringRef{ref.bucket, ref.offset, ref.length}});
        }
        if (len > 8) return std::unexpected(SsmError{SsmError::StringInBuckets{load_i32(cell.data(), le), len}});
        return RecordValue(decode_text(cell.first(static_cast<size_t>(len))));
    }
    uint32_t size = fixed_size(type);
    if (size == 0) return not_scalar(type);
    if (cell.size() < size) throw InternalError("decode_scalar: cell shorter than its type");
    const uint8_t* p = cell.data();
    switch (type) {
        case DataType::Bool: return RecordValue(((p[0] >> (bit & 7)) & 1) != 0);
        case DataType::Char:
        case DataType::UChar: return RecordValue(p[0]);
        case DataType::Short: return RecordValue(load_i16(p, le));
        case DataType::UShort: return RecordValue(load_u16(p, le));
        case DataType::Int: return RecordValue(load_i32(p, le));
        case DataType::UInt: return RecordValue(load_u32(p, le));
        case DataType::Int64: return RecordValue(load_i64(p, le));
        case DataType::Float: return RecordValue(load_f32(p, le));
        case DataType::Double: return RecordValue(load_f64(p, le));
        case DataType::Complex: return RecordValue(std::complex<float>(load_f32(p, le), load_f32(p + 4, le)));
        case DataType::DComplex: return RecordValue(std::complex<double>(load_f64(p, le), load_f64(p + 8, le)));
        default: return not_scalar(type);
    }
}

SsmResult<void> encode_scalar_cell_into(std::span<uint8_t> out, bool big_endian, int32_t maxlen, DataType type,
                                        const RecordValue& value) {
    bool le = !big_endian;
    if (type == DataType::String) {
        std::string_view text = text_of(value);
        if (maxlen > 0) {
            if (out.size() != static_cast<size_t>(maxlen)) throw InternalError("encode_scalar_cell: bad cell size");
            size_t n = std::min(text.size(), out.size());
            if (n) std::memcpy(out.data(), text.data(), n);
            std::memset(out.data() + n, 0, out.size() - n);
            return {};
        }
        if (out.size() != 12) throw InternalError("encode_scalar_cell: bad cell size");
        if (text.size() > 8)
            return std::unexpected(SsmError{SsmError::StringInBuckets{0, static_cast<int64_t>(text.size())}});
        std::memset(out.data(), 0, 12);
        if (!text.empty()) std::memcpy(out.data(), text.data(), text.size());
        store_u32(out.data() + 8, static_cast<uint32_t>(text.size()), le);
        return {};
    }
    uint32_t size = fixed_size(type);
    if (size == 0) return std::unexpected(SsmError{SsmError::NotScalar{"", type}});
    if (out.size() != size) throw InternalError("encode_scalar_cell: bad cell size");
    store_fixed(out.data(), type, value, le);
    return {};
}

SsmResult<std::vector<uint8_t>> encode_scalar_cell(bool big_endian, int32_t maxlen, DataType type,
                                                   const RecordValue& value) {
    size_t size = type == DataType::String ? (maxlen > 0 ? static_cast<size_t>(maxlen) : 12) : fixed_size(type);
    if (size == 0) return std::unexpected(SsmError{SsmError::NotScalar{"", type}});
    std::vector<uint8_t> out(size);
    auto ok = encode_scalar_cell_into(out, big_endian, maxlen, type, value);
    if (!ok) return std::unexpected(std::move(ok.error()));
    return out;
}

SsmResult<void> encode_array_data(std::vector<uint8_t>& out, bool big_endian, DataType element,
                                  const ArrayData& data) {
    bool le = !big_endian;
    uint32_t size = fixed_size(element);
    if (size == 0) return std::unexpected(SsmError{SsmError::UnsupportedArrayElement{element}});
    if (element == DataType::Bool) {
        if (auto* bits = std::get_if<std::vector<bool>>(&data)) {
            append_bits(out, bits->size(), [&](uint64_t i) { return (*bits)[i]; });
        } else {
            std::visit(
                [&](const auto& v) {
                    append_bits(out, v.size(), [&](uint64_t i) { return bool_cell(RecordValue(v[i])); });
                },
                static_cast<const ArrayDataVariant&>(data));
        }
        return {};
    }
    if (same_kind(element, data.kind())) {
        std::visit(
            [&](const auto& v) {
                using T = typename std::decay_t<decltype(v)>::value_type;
                if constexpr (!std::is_same_v<T, bool> && !std::is_same_v<T, std::string>) append_same(out, v, le);
            },
            static_cast<const ArrayDataVariant&>(data));
        return {};
    }
    // Another element type: each element converts as a scalar cell would.
    std::visit(
        [&](const auto& v) {
            size_t at = out.size();
            out.resize(at + v.size() * size);
            uint8_t* p = out.data() + at;
            for (size_t i = 0; i < v.size(); ++i, p += size) {
                using T = typename std::decay_t<decltype(v)>::value_type;
                store_fixed(p, element, RecordValue(static_cast<T>(v[i])), le);
            }
        },
        static_cast<const ArrayDataVariant&>(data));
    return {};
}

uint64_t string_array_content_size(std::span<const uint32_t> c_shape, const ArrayData& data) {
    uint64_t n = 8 + 4 * static_cast<uint64_t>(c_shape.size()) + 4 * static_cast<uint64_t>(data.size());
    if (auto* s = std::get_if<std::vector<std::string>>(&data))
        for (const auto& e : *s) n += e.size();
    return n;
}

std::vector<uint8_t> encode_string_array_content(std::span<const uint32_t> c_shape, const ArrayData& data) {
    std::vector<uint8_t> out(string_array_content_size(c_shape, data));
    uint8_t* p = out.data();
    auto put = [&](uint32_t v) {
        store_u32(p, v, false);
        p += 4;
    };
    put(static_cast<uint32_t>(c_shape.size()));
    for (size_t i = c_shape.size(); i-- > 0;) put(c_shape[i]);
    put(1);
    if (auto* s = std::get_if<std::vector<std::string>>(&data)) {
        for (const auto& e : *s) {
            put(static_cast<uint32_t>(e.size()));
            if (!e.empty()) std::memcpy(p, e.data(), e.size());
            p += e.size();
        }
    } else {
        for (size_t i = 0; i < data.size(); ++i) put(0);
    }
    return out;
}

std::optional<uint32_t> u32_at(std::span<const uint8_t> bytes, uint64_t pos, bool big_endian) {
    if (pos > bytes.size() || bytes.size() - pos < 4) return std::nullopt;
    return load_u32(bytes.data() + pos, !big_endian);
}

SsmResult<StringArrayContent> decode_string_array_content(std::span<const uint8_t> bytes) {
    uint64_t pos = 0;
    auto bad = [&](int64_t value) {
        return std::unexpected(SsmError{SsmError::BadStringRef{0, static_cast<int64_t>(pos), value}});
    };
    // A count or length: big-endian, top bit clear.
    auto word = [&](uint32_t& out) -> bool {
        auto w = u32_at(bytes, pos, true);
        if (!w) {
            out = 0;
            return false;
        }
        out = *w;
        return (*w & 0x80000000u) == 0;
    };
    auto signed_of = [](uint32_t w) { return static_cast<int64_t>(static_cast<int32_t>(w)); };
    uint32_t ndim;
    if (!word(ndim)) return bad(signed_of(ndim));
    if (ndim > (bytes.size() - pos - 4) / 4) return bad(ndim);
    pos += 4;
    StringArrayContent c;
    c.shape.resize(ndim);
    uint64_t count = 1;
    for (uint32_t i = 0; i < ndim; ++i) {
        uint32_t e;
        if (!word(e)) return bad(signed_of(e));
        if (__builtin_mul_overflow(count, uint64_t{e}, &count)) return bad(e);
        c.shape[ndim - 1 - i] = e;
        pos += 4;
    }
    // The word after the extents is not used.
    if (!u32_at(bytes, pos, true)) return bad(0);
    pos += 4;
    // Each element needs at least its 4-byte length.
    if (count > (bytes.size() - pos) / 4) return bad(0);
    c.strings.resize(count);
    for (auto& s : c.strings) {
        uint32_t len;
        if (!word(len)) return bad(signed_of(len));
        if (len > bytes.size() - pos - 4) return bad(len);
        pos += 4;
        s = decode_text(bytes.subspan(pos, len));
        pos += len;
    }
    return c;
}

}  // namespace orvala
