#include "ssm_writer.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "aipsio.h"
#include "byteorder.h"
#include "internal_error.h"
#include "quoted.h"
#include "ssm.h"

namespace orvala {

// ---- string buckets ----

StringBuckets::StringBuckets(std::vector<uint8_t>& out, uint32_t bucket_size, uint32_t first_bucket)
    : out_(out), base_(out.size()), bucket_size_(bucket_size), capacity_(bucket_size - kStringBucketHeader),
      first_(first_bucket) {
    if (bucket_size <= kStringBucketHeader) throw InternalError("string bucket size too small");
}

void StringBuckets::new_bucket() {
    out_.resize(out_.size() + bucket_size_, 0);
    uint8_t* h = header(count_);
    store_u32(h + 4, 0, false);
    store_u32(h + 8, capacity_, false);
    store_u32(h + 12, 0xFFFFFFFFu, false);
    ++count_;
}

StringBuckets::Placed StringBuckets::put(std::span<const uint8_t> value) {
    if (count_ == 0) new_bucket();
    uint32_t used = load_u32(header(count_ - 1) + 4, false);
    uint64_t free = capacity_ - used;
    if (free < value.size() && free < 50) {
        new_bucket();
        used = 0;
    }
    Placed placed{first_ + count_ - 1, used};
    size_t done = 0;
    for (;;) {
        uint8_t* h = header(count_ - 1);
        used = load_u32(h + 4, false);
        size_t take = std::min<size_t>(capacity_ - used, value.size() - done);
        if (take) std::memcpy(h + kStringBucketHeader + used, value.data() + done, take);
        used += static_cast<uint32_t>(take);
        store_u32(h + 4, used, false);
        store_u32(h + 8, capacity_ - used, false);
        done += take;
        if (done == value.size()) return placed;
        new_bucket();
        store_u32(header(count_ - 2) + 12, first_ + count_ - 1, false);
    }
}

// ---- index stream ----

std::vector<uint8_t> build_index_stream(uint64_t rows, uint32_t rows_per_bucket, uint32_t column_count) {
    if (rows_per_bucket == 0) throw InternalError("build_index_stream: zero rows per bucket");
    uint64_t buckets = rows / rows_per_bucket + (rows % rows_per_bucket != 0);
    // Last rows are written as 32-bit values (Block version 1).
    if (rows > uint64_t{UINT32_MAX} + 1) throw InternalError("build_index_stream: row count exceeds the u32 range");
    Writer w(true, 128 + buckets * 8);
    w.put_magic();
    w.put_object_start("SSMIndex", 1);
    w.put_u32(static_cast<uint32_t>(buckets));
    w.put_u32(rows_per_bucket);
    w.put_u32(column_count);
    w.put_object_start("SimpleOrderedMap", 1);
    w.put_i32(0);
    w.put_u32(0);
    w.put_u32(1);
    w.put_object_end();
    w.put_object_start("Block", 1);
    w.put_u32(static_cast<uint32_t>(buckets));
    for (uint64_t k = 0; k < buckets; ++k)
        w.put_u32(static_cast<uint32_t>(std::min<uint64_t>(uint64_t{rows_per_bucket} * (k + 1), rows) - 1));
    w.put_object_end();
    w.put_object_start("Block", 1);
    w.put_u32(static_cast<uint32_t>(buckets));
    for (uint64_t k = 0; k < buckets; ++k) w.put_u32(static_cast<uint32_t>(k));
    w.put_object_end();
    w.put_object_end();
    return w.take();
}

// ---- the data manager's files ----

namespace {

std::string shortest(double v) {
    char buf[40];
    for (int prec = 1; prec <= 17; ++prec) {
        std::snprintf(buf, sizeof buf, "%.*g", prec, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    std::string s = buf;
    if (s.find_first_of(".enEN") == std::string::npos) s += ".0";
    return s;
}

// "Int(5)", "String(\"x\")", ...: how messages show a value.
std::string debug_form(const RecordValue& v) {
    using K = RecordValue::Kind;
    switch (v.kind()) {
        case K::Bool: return std::string("Bool(") + (std::get<bool>(v) ? "true" : "false") + ")";
        case K::UChar: return "UChar(" + std::to_string(std::get<uint8_t>(v)) + ")";
        case K::Short: return "Short(" + std::to_string(std::get<int16_t>(v)) + ")";
        case K::UShort: return "UShort(" + std::to_string(std::get<uint16_t>(v)) + ")";
        case K::Int: return "Int(" + std::to_string(std::get<int32_t>(v)) + ")";
        case K::UInt: return "UInt(" + std::to_string(std::get<uint32_t>(v)) + ")";
        case K::Int64: return "Int64(" + std::to_string(std::get<int64_t>(v)) + ")";
        case K::Float: return "Float(" + shortest(std::get<float>(v)) + ")";
        case K::Double: return "Double(" + shortest(std::get<double>(v)) + ")";
        case K::Complex: {
            auto c = std::get<std::complex<float>>(v);
            return "Complex((" + shortest(c.real()) + ", " + shortest(c.imag()) + "))";
        }
        case K::DComplex: {
            auto c = std::get<std::complex<double>>(v);
            return "DComplex((" + shortest(c.real()) + ", " + shortest(c.imag()) + "))";
        }
        case K::String: return "String(" + quoted_form(std::get<std::string>(v)) + ")";
        case K::Table: return "Table(" + quoted_form(std::get<TableRef>(v).reference) + ")";
        case K::Record: return "Record(" + std::get<TableRecord>(v).to_json_string_ctx() + ")";
        case K::Array: {
            const auto& a = std::get<ArrayValue>(v);
            std::string s = "Array(shape [";
            for (size_t i = 0; i < a.shape.size(); ++i) s += (i ? ", " : "") + std::to_string(a.shape[i]);
            return s + "], " + data_type_name(a.data.array_type()) + ")";
        }
    }
    return "?";
}

// Elements that a C-order shape promises; none when the product overflows.
std::optional<uint64_t> shape_elements(std::span<const uint32_t> shape) {
    uint64_t n = 1;
    for (uint32_t e : shape)
        if (__builtin_mul_overflow(n, uint64_t{e}, &n)) return std::nullopt;
    return n;
}

struct ColumnPlan {
    const SsmWriteColumn* col;
    uint32_t offset;
    uint32_t cell_bytes;  // 0 for a bit cell
};

class SsmBuilder {
public:
    SsmBuilder(std::string_view table, uint64_t rows) : table_(table), rows_(rows) {}

    SsmResult<SsmData> build(std::span<const SsmWriteColumn> columns, std::string name);

private:
    SsmError encode_error(const SsmWriteColumn& c, const SsmError& inner) const {
        return SsmError{SsmError::Encode{std::string(table_), std::string(c.column.name), inner.message()}};
    }
    uint8_t* cell_at(const ColumnPlan& p, uint64_t row) {
        return image_.data() + kSsmHeaderSize + (row / kSsmRowsPerBucket) * bucket_size_ + p.offset +
               (row % kSsmRowsPerBucket) * p.cell_bytes;
    }
    void put_ref(const ColumnPlan& p, uint64_t row, StringBuckets::Placed at, uint64_t length) {
        uint8_t* cell = cell_at(p, row);
        store_u32(cell, at.bucket, true);
        store_u32(cell + 4, at.offset, true);
        store_u32(cell + 8, static_cast<uint32_t>(length), true);
    }
    SsmResult<void> put_string_value(const ColumnPlan& p, uint64_t row, std::span<const uint8_t> bytes);
    SsmResult<void> write_column(const ColumnPlan& p);
    SsmResult<void> write_array(const ColumnPlan& p, uint64_t row, const ArrayValue& a);
    uint64_t string_estimate(std::span<const SsmWriteColumn> columns) const;
    uint64_t array_file_size(std::span<const SsmWriteColumn> columns) const;

    std::string_view table_;
    uint64_t rows_;
    uint32_t bucket_size_ = 0;
    std::vector<uint8_t> image_;
    std::optional<StringBuckets> strings_;
    std::vector<uint8_t> array_file_;
    std::vector<uint8_t> scratch_;
};

uint64_t SsmBuilder::string_estimate(std::span<const SsmWriteColumn> columns) const {
    uint64_t n = 0;
    for (const auto& c : columns) {
        bool strings = c.column.data_type == DataType::String;
        for (uint64_t r = 0; r < rows_; ++r) {
            const RecordValue& v = c.values[r];
            if (c.column.kind == CellKind::Scalar && strings && c.column.maxlen <= 0) {
                if (auto* s = std::get_if<std::string>(&v); s && s->size() > 8) n += s->size();
            } else if (c.column.kind == CellKind::Array && strings) {
                if (auto* a = std::get_if<ArrayValue>(&v)) n += string_array_content_size(a->shape, a->data);
            }
        }
    }
    return n;
}

uint64_t SsmBuilder::array_file_size(std::span<const SsmWriteColumn> columns) const {
    uint64_t n = 16;
    for (const auto& c : columns) {
        if (c.column.kind != CellKind::Array || element_type(c.column.data_type) == DataType::String) continue;
        for (uint64_t r = 0; r < rows_; ++r)
            if (auto* a = std::get_if<ArrayValue>(&c.values[r]))
                n += 4 + 4 * a->shape.size() + element_bytes(element_type(c.column.data_type), a->data.size());
    }
    return n;
}

SsmResult<void> SsmBuilder::put_string_value(const ColumnPlan& p, uint64_t row, std::span<const uint8_t> bytes) {
    // References hold 32-bit signed lengths.
    if (bytes.size() > INT32_MAX)
        return std::unexpected(encode_error(*p.col, SsmError{SsmError::StringInBuckets{0, static_cast<int64_t>(bytes.size())}}));
    put_ref(p, row, strings_->put(bytes), bytes.size());
    return {};
}

SsmResult<void> SsmBuilder::write_array(const ColumnPlan& p, uint64_t row, const ArrayValue& a) {
    auto promised = shape_elements(a.shape);
    if (!promised || *promised != a.data.size()) {
        SsmError e{SsmError::ShapeMismatch{promised.value_or(UINT64_MAX), a.data.size()}};
        return std::unexpected(encode_error(*p.col, e));
    }
    DataType element = element_type(p.col->column.data_type);
    if (element == DataType::String) {
        scratch_ = encode_string_array_content(a.shape, a.data);
        return put_string_value(p, row, scratch_);
    }
    uint64_t pos = array_file_.size();
    size_t at = array_file_.size();
    array_file_.resize(at + 4 + 4 * a.shape.size());
    store_u32(array_file_.data() + at, static_cast<uint32_t>(a.shape.size()), true);
    // Extents in storage order: the C-order shape reversed.
    for (size_t i = 0; i < a.shape.size(); ++i)
        store_u32(array_file_.data() + at + 4 + 4 * i, a.shape[a.shape.size() - 1 - i], true);
    if (auto ok = encode_array_data(array_file_, false, element, a.data); !ok)
        return std::unexpected(encode_error(*p.col, ok.error()));
    store_u64(cell_at(p, row), pos, true);
    return {};
}

SsmResult<void> SsmBuilder::write_column(const ColumnPlan& p) {
    const CellColumn& col = p.col->column;
    auto values = p.col->values;
    if (col.kind == CellKind::Record) {
        for (uint64_t r = 0; r < rows_; ++r) {
            auto* rec = std::get_if<TableRecord>(&values[r]);
            if (!rec)
                return std::unexpected(SsmError{
                    SsmError::ExpectedRecord{std::string(table_), std::string(col.name), debug_form(values[r])}});
            std::string json = rec->to_json_string_ctx();
            if (auto ok = put_string_value(p, r, std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()));
                !ok)
                return ok;
        }
        return {};
    }
    if (col.kind == CellKind::Array) {
        for (uint64_t r = 0; r < rows_; ++r) {
            auto* a = std::get_if<ArrayValue>(&values[r]);
            if (!a) return std::unexpected(SsmError{SsmError::ExpectedArray{std::string(table_), std::string(col.name)}});
            if (auto ok = write_array(p, r, *a); !ok) return ok;
        }
        return {};
    }
    if (p.cell_bytes == 0) {  // Bool: one bit per row
        for (uint64_t r = 0; r < rows_; ++r) {
            uint8_t byte;
            if (auto ok = encode_scalar_cell_into({&byte, 1}, false, col.maxlen, col.data_type, values[r]); !ok)
                return std::unexpected(encode_error(*p.col, ok.error()));
            uint64_t i = r % kSsmRowsPerBucket;
            uint8_t* dst = image_.data() + kSsmHeaderSize + (r / kSsmRowsPerBucket) * bucket_size_ + p.offset + i / 8;
            if (byte) *dst |= static_cast<uint8_t>(1u << (i % 8));
        }
        return {};
    }
    for (uint64_t r = 0; r < rows_; ++r) {
        auto ok = encode_scalar_cell_into({cell_at(p, r), p.cell_bytes}, false, col.maxlen, col.data_type, values[r]);
        if (ok) continue;
        if (ok.error().is<SsmError::StringInBuckets>()) {
            const RecordValue& v = values[r];
            std::string_view text = v.kind() == RecordValue::Kind::Table ? std::string_view(std::get<TableRef>(v).reference)
                                                                         : std::string_view(std::get<std::string>(v));
            if (auto put = put_string_value(p, r, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
                !put)
                return put;
            continue;
        }
        return std::unexpected(encode_error(*p.col, ok.error()));
    }
    return {};
}

SsmResult<SsmData> SsmBuilder::build(std::span<const SsmWriteColumn> columns, std::string name) {
    // Column regions: 32 cells each, one after the other.
    std::vector<ColumnPlan> plan;
    plan.reserve(columns.size());
    uint64_t sum = 0;
    for (const auto& c : columns) {
        if (c.values.size() < rows_) throw InternalError("build_ssm_data: fewer values than rows");
        auto bits = cell_bits(c.column);
        if (!bits) return std::unexpected(encode_error(c, bits.error()));
        uint64_t region = uint64_t{kSsmRowsPerBucket} * *bits / 8;
        if (sum + region > UINT32_MAX)
            return std::unexpected(SsmError{SsmError::Encode{std::string(table_), std::string(c.column.name),
                                                             "cells of " + std::to_string(*bits / 8) +
                                                                 " bytes do not fit in a bucket"}});
        plan.push_back({&c, static_cast<uint32_t>(sum), *bits == 1 ? 0 : *bits / 8});
        sum += region;
    }
    bucket_size_ = static_cast<uint32_t>(std::max<uint64_t>(sum, kSsmMinBucketSize));
    for (size_t i = 0; i < plan.size(); ++i) {
        uint64_t region = uint64_t{kSsmRowsPerBucket} * (plan[i].cell_bytes ? plan[i].cell_bytes * 8 : 1) / 8;
        if (plan[i].offset + region > bucket_size_)
            throw InternalError("bucket column region of column " + std::to_string(i) + " exceeds the bucket");
    }

    uint64_t data_buckets = rows_ / kSsmRowsPerBucket + (rows_ % kSsmRowsPerBucket != 0);
    std::vector<uint8_t> index = build_index_stream(rows_, kSsmRowsPerBucket, static_cast<uint32_t>(columns.size()));
    uint64_t piece = bucket_size_ - 8;
    uint64_t index_buckets = index.size() / piece + (index.size() % piece != 0);
    uint64_t first_string = data_buckets + index_buckets;
    if (first_string > INT32_MAX) throw InternalError("build_ssm_data: too many buckets");

    uint64_t fixed = kSsmHeaderSize + first_string * bucket_size_;
    uint64_t strings = string_estimate(columns);
    image_.reserve(fixed + strings + strings / 8 + bucket_size_);
    image_.resize(fixed, 0);

    // Index buckets: -1, the next index bucket (big-endian) or -1, a piece.
    for (uint64_t k = 0; k < index_buckets; ++k) {
        uint8_t* b = image_.data() + kSsmHeaderSize + (data_buckets + k) * bucket_size_;
        store_u32(b, 0xFFFFFFFFu, false);
        store_u32(b + 4, k + 1 < index_buckets ? static_cast<uint32_t>(data_buckets + k + 1) : 0xFFFFFFFFu, false);
        uint64_t from = k * piece, n = std::min<uint64_t>(piece, index.size() - from);
        if (8 + n > bucket_size_) throw InternalError("bucket copy off the end of index bucket");
        std::memcpy(b + 8, index.data() + from, n);
    }

    strings_.emplace(image_, bucket_size_, static_cast<uint32_t>(first_string));
    bool has_arrays = false;
    for (const auto& c : columns)
        has_arrays |= c.column.kind == CellKind::Array && element_type(c.column.data_type) != DataType::String;
    if (has_arrays) {
        array_file_.reserve(array_file_size(columns));
        array_file_.resize(16, 0);
    }

    for (const auto& p : plan)
        if (auto ok = write_column(p); !ok) return std::unexpected(std::move(ok.error()));

    uint64_t nr_buckets = first_string + strings_->count();
    if (nr_buckets > INT32_MAX) throw InternalError("build_ssm_data: too many buckets");
    Writer w(true, 128);
    w.put_magic();
    w.put_object_start("StandardStMan", 3);
    w.put_bool(false);
    w.put_u32(bucket_size_);
    w.put_u32(static_cast<uint32_t>(nr_buckets));
    w.put_u32(0);   // persistent cache size
    w.put_u32(0);   // free buckets
    w.put_i32(-1);  // first free bucket
    w.put_u32(static_cast<uint32_t>(index_buckets));
    w.put_i32(index_buckets ? static_cast<int32_t>(data_buckets) : -1);
    w.put_i32(index_buckets == 1 ? 8 : 0);
    w.put_i32(strings_->count() ? static_cast<int32_t>(nr_buckets - 1) : -1);
    w.put_u32(static_cast<uint32_t>(index.size()));
    w.put_u32(1);
    w.put_object_end();
    auto header = w.take();
    if (header.size() > kSsmHeaderSize) throw InternalError("bucket copy off the header area");
    std::memcpy(image_.data(), header.data(), header.size());

    SsmData out;
    out.bucket_file = std::move(image_);
    if (has_arrays) {
        array_file_[4] = static_cast<uint8_t>(array_file_.size());
        out.array_file = std::move(array_file_);
    }
    for (const auto& p : plan) out.column_offsets.push_back(p.offset);
    out.column_index_map.assign(columns.size(), 0);
    out.name = std::move(name);
    return out;
}

}  // namespace

SsmResult<SsmData> build_ssm_data(std::string_view table, std::span<const SsmWriteColumn> columns, uint64_t rows,
                                  std::string name) {
    SsmBuilder b(table, rows);
    return b.build(columns, std::move(name));
}

SsmResult<SsmData> build_ssm_data(const TableDesc& desc, std::span<const size_t> positions,
                                  std::span<const std::vector<RecordValue>> lists, uint64_t rows, std::string name) {
    std::vector<SsmWriteColumn> columns;
    columns.reserve(positions.size());
    for (size_t p : positions) {
        if (p >= desc.columns.size() || p >= lists.size()) throw InternalError("build_ssm_data: no such column");
        columns.push_back({cell_column(desc.columns[p]), lists[p]});
    }
    return build_ssm_data(desc.name, columns, rows, std::move(name));
}

}  // namespace orvala
