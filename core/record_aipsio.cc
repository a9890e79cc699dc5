// The AipsIO form of records, scalars and arrays.
#include <bit>
#include <cstring>

#include "byteorder.h"
#include "internal_error.h"
#include "record.h"

namespace orvala {

namespace {

RecordError too_deep() {
    return RecordError::msg("record nesting deeper than " + std::to_string(kMaxRecordDepth) + " levels");
}

RecordError unknown_type(DataType t) { return RecordError(RecordError::UnknownDataType{data_type_code(t)}); }

#define TRY_ASSIGN(var, expr)                                        \
    auto var##_r = (expr);                                           \
    if (!var##_r) return std::unexpected(RecordError(var##_r.error())); \
    auto var = std::move(*var##_r)

#define TRY(expr)                                                    \
    do {                                                             \
        auto try_r_ = (expr);                                        \
        if (!try_r_) return std::unexpected(RecordError(try_r_.error())); \
    } while (0)

RecordResult<RecordDesc> read_desc(Reader& r, int depth);
RecordResult<TableRecord> read_record(Reader& r, int depth);
RecordResult<std::vector<RecordValue>> read_values(Reader& r, const RecordDesc& desc, int depth);

RecordResult<RecordDesc> read_desc(Reader& r, int depth) {
    if (depth >= kMaxRecordDepth) return std::unexpected(too_deep());
    TRY_ASSIGN(head, r.read_object(false, "RecordDesc"));
    if (head.version < 1) return std::unexpected(RecordError(AipsIoError{AipsIoError::UnsupportedVersion{head.version}}));
    TRY_ASSIGN(count, r.read_i32());
    RecordDesc desc;
    if (count < 1) return desc;
    // Each field takes at least its name's count and its type code.
    TRY(r.check_count(static_cast<uint64_t>(count), 8));
    desc.fields.reserve(count);
    for (int32_t i = 0; i < count; ++i) {
        RecordDescField f;
        TRY_ASSIGN(name, r.read_string());
        f.name = std::move(name);
        TRY_ASSIGN(code, r.read_i32());
        TRY_ASSIGN(type, data_type_from_i32(code));
        f.data_type = type;
        if (type == DataType::Table) {
            TRY_ASSIGN(tdn, r.read_string());
            f.table_desc_name = std::move(tdn);
        } else if (type == DataType::Record) {
            TRY_ASSIGN(sub, read_desc(r, depth + 1));
            f.sub_desc = std::move(sub);
        } else if (is_array_type(type)) {
            TRY_ASSIGN(shape, r.read_iposition());
            f.shape = std::move(shape);
        }
        if (head.version > 1) {
            TRY_ASSIGN(comment, r.read_string());
            f.comment = std::move(comment);
        }
        desc.fields.push_back(std::move(f));
    }
    return desc;
}

RecordResult<TableRecord> read_record(Reader& r, int depth) {
    if (depth >= kMaxRecordDepth) return std::unexpected(too_deep());
    TRY_ASSIGN(head, r.read_object_start(false));
    if (head.type_name != "TableRecord")
        return std::unexpected(RecordError(RecordError::LegacyKeywordSet{head.type_name}));
    TableRecord rec;
    TRY_ASSIGN(desc, read_desc(r, depth));
    rec.desc = std::move(desc);
    TRY_ASSIGN(type, r.read_i32());
    rec.record_type = type;
    TRY_ASSIGN(values, read_values(r, rec.desc, depth));
    rec.values = std::move(values);
    return rec;
}

RecordResult<std::vector<RecordValue>> read_values(Reader& r, const RecordDesc& desc, int depth) {
    if (depth >= kMaxRecordDepth) return std::unexpected(too_deep());
    std::vector<RecordValue> values;
    values.reserve(desc.fields.size());
    for (const auto& f : desc.fields) {
        DataType t = f.data_type;
        if (t == DataType::Record) {
            if (!f.sub_desc) throw InternalError("record field without a sub-description");
            if (!f.sub_desc->fields.empty()) {
                // A fixed sub-record: its bare values, laid out by the sub-description.
                TRY_ASSIGN(sub_values, read_values(r, *f.sub_desc, depth + 1));
                TableRecord sub;
                sub.desc = *f.sub_desc;
                sub.values = std::move(sub_values);
                values.emplace_back(std::move(sub));
            } else {
                TRY_ASSIGN(sub, read_record(r, depth + 1));
                values.emplace_back(std::move(sub));
            }
        } else if (is_array_type(t)) {
            if (t == DataType::ArrayQuantity) return std::unexpected(unknown_type(t));
            TRY_ASSIGN(arr, read_array(r, element_type(t)));
            values.emplace_back(std::move(arr));
        } else {
            TRY_ASSIGN(v, read_scalar_value(r, t));
            values.push_back(std::move(v));
        }
    }
    return values;
}

// Decodes n fixed-width elements from `bytes` into `out`.
template <class T>
std::vector<T> decode_run(std::span<const uint8_t> bytes, size_t n, bool le) {
    std::vector<T> out(n);
    const uint8_t* p = bytes.data();
    for (size_t i = 0; i < n; ++i) {
        if constexpr (std::is_same_v<T, std::complex<float>>) {
            out[i] = {load_f32(p, le), load_f32(p + 4, le)};
        } else if constexpr (std::is_same_v<T, std::complex<double>>) {
            out[i] = {load_f64(p, le), load_f64(p + 8, le)};
        } else if constexpr (std::is_floating_point_v<T>) {
            using U = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
            out[i] = std::bit_cast<T>(load_le_or_be<U>(p, le));
        } else {
            using U = std::make_unsigned_t<T>;
            out[i] = static_cast<T>(load_le_or_be<U>(p, le));
        }
        p += sizeof(T);
    }
    return out;
}

template <class T>
void encode_run(Writer& w, const std::vector<T>& v) {
    uint8_t* p = w.append(v.size() * sizeof(T));
    bool le = w.little_endian();
    for (const T& e : v) {
        if constexpr (std::is_same_v<T, std::complex<float>>) {
            store_u32(p, std::bit_cast<uint32_t>(e.real()), le);
            store_u32(p + 4, std::bit_cast<uint32_t>(e.imag()), le);
        } else if constexpr (std::is_same_v<T, std::complex<double>>) {
            store_u64(p, std::bit_cast<uint64_t>(e.real()), le);
            store_u64(p + 8, std::bit_cast<uint64_t>(e.imag()), le);
        } else if constexpr (std::is_floating_point_v<T>) {
            using U = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
            store_le_or_be(p, std::bit_cast<U>(e), le);
        } else {
            store_le_or_be(p, static_cast<std::make_unsigned_t<T>>(e), le);
        }
        p += sizeof(T);
    }
}

std::string shape_text(const std::vector<uint32_t>& shape) {
    std::string s = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(shape[i]);
    }
    return s + "]";
}

// The value that goes with field `i` of the layout `desc`: the record's own
// value at that index when the record's field there has the same name (so a
// record with two fields of one name writes each field's own value, and the
// stream reads back as written), else the value of the record's first field
// of that name.
const RecordValue* value_for(const RecordDesc& desc, size_t i, const TableRecord& rec) {
    const auto& name = desc.fields[i].name;
    if (i < rec.desc.fields.size() && i < rec.values.size() && rec.desc.fields[i].name == name) return &rec.values[i];
    return rec.get(name);
}

RecordResult<void> write_values(Writer& w, const RecordDesc& desc, const TableRecord& rec, const char* missing);

RecordResult<void> write_record(Writer& w, const TableRecord& rec) {
    w.put_object_start("TableRecord", 1);
    TRY(write_record_desc(w, rec.desc));
    w.put_i32(rec.record_type);
    TRY(write_values(w, rec.desc, rec, "missing field value"));
    w.put_object_end();
    return {};
}

// Writes the values of `rec` in the order and types of `desc`. A fixed
// sub-record is laid out by its parent's sub-description, which is what a
// reader of the stream will use.
RecordResult<void> write_values(Writer& w, const RecordDesc& desc, const TableRecord& rec, const char* missing) {
    for (size_t i = 0; i < desc.fields.size(); ++i) {
        const auto& f = desc.fields[i];
        const RecordValue* v = value_for(desc, i, rec);
        if (is_array_type(f.data_type)) {
            const auto* arr = v ? std::get_if<ArrayValue>(v) : nullptr;
            if (!arr) return std::unexpected(RecordError::msg("missing array value for " + f.name));
            write_array_value(w, arr->shape, arr->data);
        } else if (f.data_type == DataType::Record) {
            const auto* sub = v ? std::get_if<TableRecord>(v) : nullptr;
            if (!sub) return std::unexpected(RecordError::msg("missing record value"));
            if (f.sub_desc && !f.sub_desc->fields.empty()) {
                TRY(write_values(w, *f.sub_desc, *sub, "missing nested value"));
            } else {
                TRY(write_record(w, *sub));
            }
        } else {
            if (!v) return std::unexpected(RecordError::msg(missing));
            write_scalar_value(w, f.data_type, *v);
        }
    }
    return {};
}

}  // namespace

RecordResult<RecordDesc> RecordDesc::read(Reader& r) { return read_desc(r, 0); }

RecordResult<TableRecord> TableRecord::read(Reader& r) { return read_record(r, 0); }

RecordResult<std::vector<RecordValue>> read_record_data(Reader& r, const RecordDesc& desc) {
    return read_values(r, desc, 0);
}

RecordResult<RecordValue> read_scalar_value(Reader& r, DataType type) {
    auto wrap = [](auto res) -> RecordResult<RecordValue> {
        if (!res) return std::unexpected(RecordError(res.error()));
        return RecordValue(std::move(*res));
    };
    switch (type) {
        case DataType::Bool: return wrap(r.read_bool());
        case DataType::Char:
        case DataType::UChar: return wrap(r.read_u8());
        case DataType::Short: return wrap(r.read_i16());
        case DataType::UShort: return wrap(r.read_u16());
        case DataType::Int: return wrap(r.read_i32());
        case DataType::UInt: return wrap(r.read_u32());
        case DataType::Int64: return wrap(r.read_i64());
        case DataType::Float: return wrap(r.read_f32());
        case DataType::Double: return wrap(r.read_f64());
        case DataType::Complex: return wrap(r.read_complex());
        case DataType::DComplex: return wrap(r.read_dcomplex());
        case DataType::String: return wrap(r.read_string());
        case DataType::Table: {
            auto s = r.read_string();
            if (!s) return std::unexpected(RecordError(s.error()));
            return RecordValue(TableRef{std::move(*s)});
        }
        default: return std::unexpected(unknown_type(type));
    }
}

RecordResult<ArrayValue> read_array(Reader& r, DataType element) {
    uint64_t begin = r.position();
    auto fail = [&](RecordError e) -> RecordResult<ArrayValue> {
        (void)r.seek(begin);
        return std::unexpected(std::move(e));
    };
#define ATRY_ASSIGN(var, expr)                       \
    auto var##_r = (expr);                           \
    if (!var##_r) return fail(RecordError(var##_r.error())); \
    auto var = std::move(*var##_r)
#define ATRY(expr)                                              \
    do {                                                        \
        auto try_r_ = (expr);                                   \
        if (!try_r_) return fail(RecordError(try_r_.error()));  \
    } while (0)

    ATRY_ASSIGN(head, r.read_object_start(false));
    if (!head.type_name.starts_with("Array"))
        return fail(AipsIoError{AipsIoError::UnexpectedType{head.body_start, "Array<...>", head.type_name}});
    // Versions 1 and 2 follow the extents with an origin of as many values.
    uint64_t per_axis = head.version <= 2 ? 8 : 4;
    ATRY_ASSIGN(ndim, r.read_count(per_axis));
    ArrayValue out;
    out.shape.resize(ndim);
    for (auto& e : out.shape) e = *r.read_u32();
    if (head.version <= 2) (void)r.skip(uint64_t{ndim} * 4);
    ATRY_ASSIGN(n, r.read_u32());

    uint64_t expected = ndim == 0 ? 0 : 1;
    bool overflow = false;
    for (uint32_t e : out.shape) {
        if (e != 0 && expected > UINT64_MAX / e) overflow = true;
        expected *= e;
    }
    if (overflow || expected != n)
        return fail(RecordError::msg("array element count " + std::to_string(n) + " does not match shape " +
                                     shape_text(out.shape)));

    bool le = r.little_endian();
    auto fixed = [&]<class T>(std::type_identity<T>) -> RecordResult<ArrayValue> {
        ATRY_ASSIGN(bytes, r.read_bytes(uint64_t{n} * sizeof(T)));
        out.data = decode_run<T>(bytes, n, le);
        return std::move(out);
    };
    switch (element) {
        case DataType::Bool: {
            ATRY_ASSIGN(bytes, r.read_bytes((uint64_t{n} + 7) / 8));
            std::vector<bool> bits(n);
            for (uint32_t i = 0; i < n; ++i) bits[i] = (bytes[i / 8] >> (i % 8)) & 1;
            out.data = std::move(bits);
            return out;
        }
        case DataType::Char:
        case DataType::UChar: {
            ATRY_ASSIGN(bytes, r.read_bytes(n));
            out.data = std::vector<uint8_t>(bytes.begin(), bytes.end());
            return out;
        }
        case DataType::Short: return fixed(std::type_identity<int16_t>{});
        case DataType::UShort: return fixed(std::type_identity<uint16_t>{});
        case DataType::Int: return fixed(std::type_identity<int32_t>{});
        case DataType::UInt: return fixed(std::type_identity<uint32_t>{});
        case DataType::Int64: return fixed(std::type_identity<int64_t>{});
        case DataType::Float: return fixed(std::type_identity<float>{});
        case DataType::Double: return fixed(std::type_identity<double>{});
        case DataType::Complex: return fixed(std::type_identity<std::complex<float>>{});
        case DataType::DComplex: return fixed(std::type_identity<std::complex<double>>{});
        case DataType::String: {
            ATRY(r.check_count(n, 4));
            std::vector<std::string> strings;
            strings.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                ATRY_ASSIGN(s, r.read_string());
                strings.push_back(std::move(s));
            }
            out.data = std::move(strings);
            return out;
        }
        default: return fail(unknown_type(element));
    }
#undef ATRY_ASSIGN
#undef ATRY
}

RecordResult<void> write_table_record(Writer& w, const TableRecord& record) { return write_record(w, record); }

RecordResult<void> write_record_desc(Writer& w, const RecordDesc& desc) {
    w.put_object_start("RecordDesc", 2);
    w.put_u32(static_cast<uint32_t>(desc.fields.size()));
    for (const auto& f : desc.fields) {
        w.put_string(f.name);
        w.put_u32(static_cast<uint32_t>(data_type_code(f.data_type)));
        if (f.data_type == DataType::Table) {
            w.put_string(f.table_desc_name ? *f.table_desc_name : std::string());
        } else if (f.data_type == DataType::Record) {
            if (!f.sub_desc) return std::unexpected(RecordError::msg("missing sub-desc"));
            TRY(write_record_desc(w, *f.sub_desc));
        } else if (is_array_type(f.data_type)) {
            w.put_iposition(f.shape ? std::span<const int64_t>(*f.shape) : std::span<const int64_t>());
        }
        w.put_string(f.comment);
    }
    w.put_object_end();
    return {};
}

RecordResult<void> write_record_data_values(Writer& w, const TableRecord& record) {
    return write_values(w, record.desc, record, "missing nested value");
}

void write_scalar_value(Writer& w, DataType type, const RecordValue& value) {
    using K = RecordValue::Kind;
    K k = value.kind();
    // The value as a 64-bit integer, for the integer conversions.
    auto as_int = [&]() -> int64_t {
        switch (k) {
            case K::Bool: return std::get<bool>(value) ? 1 : 0;
            case K::UChar: return std::get<uint8_t>(value);
            case K::Short: return std::get<int16_t>(value);
            case K::UShort: return std::get<uint16_t>(value);
            case K::Int: return std::get<int32_t>(value);
            case K::UInt: return std::get<uint32_t>(value);
            case K::Int64: return std::get<int64_t>(value);
            default: return 0;
        }
    };
    switch (type) {
        case DataType::Bool: {
            bool b = k == K::Bool ? std::get<bool>(value) : (k == K::UChar || k == K::Int) ? as_int() != 0 : false;
            w.put_bool(b);
            return;
        }
        case DataType::Char:
        case DataType::UChar: {
            bool ok = k == K::Bool || k == K::UChar || k == K::Short || k == K::Int;
            w.put_u8(ok ? static_cast<uint8_t>(as_int()) : 0);
            return;
        }
        case DataType::Short: {
            bool ok = k == K::Short || k == K::UShort || k == K::Int;
            w.put_u16(ok ? static_cast<uint16_t>(as_int()) : 0);
            return;
        }
        case DataType::UShort: {
            bool ok = k == K::Short || k == K::UShort || k == K::Int || k == K::UInt;
            w.put_u16(ok ? static_cast<uint16_t>(as_int()) : 0);
            return;
        }
        case DataType::Int: {
            bool ok = k == K::Bool || k == K::UChar || k == K::Short || k == K::UShort || k == K::Int;
            w.put_i32(ok ? static_cast<int32_t>(as_int()) : 0);
            return;
        }
        case DataType::UInt: {
            bool ok = k == K::Int || k == K::UInt;
            w.put_u32(ok ? static_cast<uint32_t>(as_int()) : 0);
            return;
        }
        case DataType::Int64: {
            bool ok = k == K::Int || k == K::Int64;
            w.put_i64(ok ? as_int() : 0);
            return;
        }
        case DataType::Float: {
            float f = k == K::Float ? std::get<float>(value)
                    : k == K::Double ? static_cast<float>(std::get<double>(value))
                                     : 0.0f;
            w.put_f32(f);
            return;
        }
        case DataType::Double: {
            double d = k == K::Float ? std::get<float>(value) : k == K::Double ? std::get<double>(value) : 0.0;
            w.put_f64(d);
            return;
        }
        case DataType::Complex: {
            std::complex<float> c;
            if (k == K::Complex) c = std::get<std::complex<float>>(value);
            if (k == K::DComplex) {
                auto d = std::get<std::complex<double>>(value);
                c = {static_cast<float>(d.real()), static_cast<float>(d.imag())};
            }
            w.put_complex(c);
            return;
        }
        case DataType::DComplex: {
            std::complex<double> c;
            if (k == K::DComplex) c = std::get<std::complex<double>>(value);
            if (k == K::Complex) {
                auto f = std::get<std::complex<float>>(value);
                c = {f.real(), f.imag()};
            }
            w.put_dcomplex(c);
            return;
        }
        case DataType::String:
        case DataType::Table: {
            if (k == K::String)
                w.put_string(std::get<std::string>(value));
            else if (k == K::Table)
                w.put_string(std::get<TableRef>(value).reference);
            else
                w.put_string("");
            return;
        }
        default: return;
    }
}

void write_array_value(Writer& w, std::span<const uint32_t> shape, const ArrayData& data) {
    w.put_object_start("Array<void>", 3);
    w.put_u32(static_cast<uint32_t>(shape.size()));
    for (uint32_t e : shape) w.put_u32(e);
    w.put_u32(static_cast<uint32_t>(data.size()));
    std::visit(
        [&](const auto& vec) {
            using T = typename std::decay_t<decltype(vec)>::value_type;
            if constexpr (std::is_same_v<T, bool>) {
                uint8_t* p = w.append((vec.size() + 7) / 8);
                std::memset(p, 0, (vec.size() + 7) / 8);
                for (size_t i = 0; i < vec.size(); ++i)
                    if (vec[i]) p[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
            } else if constexpr (std::is_same_v<T, uint8_t>) {
                w.put_bytes(vec);
            } else if constexpr (std::is_same_v<T, std::string>) {
                for (const auto& s : vec) w.put_string(s);
            } else {
                encode_run(w, vec);
            }
        },
        static_cast<const ArrayDataVariant&>(data));
    w.put_object_end();
}

}  // namespace orvala
