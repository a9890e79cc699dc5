#include "ism.h"

#include <algorithm>
#include <cstring>

#include "byteorder.h"
#include "internal_error.h"
#include "quoted.h"

namespace orvala {

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

constexpr uint64_t kHeaderBytes = 512;
constexpr uint32_t kIndexOffsetMask = 0x0FFFFFFF;

IsmError corrupt(std::string text) { return IsmError{IsmError::Corrupt{std::move(text)}}; }
IsmError aipsio(AipsIoError e) { return IsmError{IsmError::AipsIo{std::move(e)}}; }

#define ISM_TRY_ASSIGN(var, expr)                               \
    auto var##_r = (expr);                                      \
    if (!var##_r) return std::unexpected(aipsio(var##_r.error())); \
    auto var = std::move(*var##_r)

}  // namespace

std::string IsmError::message() const {
    return std::visit(
        Overload{
            [](const AipsIo& e) { return e.error.message(); },
            [](const FileIo& e) { return e.error.message(); },
            [](const UnexpectedType& e) {
                return "unexpected object type " + quoted_form(e.found) + ", expected " + quoted_form(e.expected);
            },
            [](const EndianMismatch& e) {
                return std::string("data file endian flag ") + (e.file_big_endian ? "true" : "false") +
                       " does not match table flag " + (e.table_big_endian ? "true" : "false");
            },
            [](const RowNotCovered& e) { return "row " + std::to_string(e.row) + " not covered by any bucket"; },
            [](const BucketOutOfRange& e) {
                return "bucket " + std::to_string(e.bucket) + " is out of range (file has " +
                       std::to_string(e.buckets) + ")";
            },
            [](const NoData& e) {
                return "column " + e.column + " of the IncrementalStMan has no data for row " + std::to_string(e.row);
            },
            [](const StringsUnsupported&) { return std::string("IncrementalStMan strings are not supported yet"); },
            [](const NotScalar& e) { return "column " + e.column + " is not a scalar IncrementalStMan column"; },
            [](const NoScalarEncoding& e) {
                return "array columns are not supported yet (column " + e.column + " (" + data_type_name(e.type) +
                       "))";
            },
            [](const Corrupt& e) { return e.text; },
        },
        v);
}

std::optional<uint32_t> ism_cell_size(DataType type) {
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
        default: return std::nullopt;
    }
}

IsmResult<uint32_t> ism_column_cell_size(const IsmColumn& column) {
    if (column.is_array) return std::unexpected(IsmError{IsmError::NotScalar{std::string(column.name)}});
    if (column.type == DataType::String) return std::unexpected(IsmError{IsmError::StringsUnsupported{}});
    auto size = ism_cell_size(column.type);
    if (!size) return std::unexpected(IsmError{IsmError::NoScalarEncoding{std::string(column.name), column.type}});
    return *size;
}

// ---- index ----

std::optional<IsmSlot> IsmIndex::bucket_for(uint64_t row) const {
    if (start_rows.size() < 2 || row >= start_rows.back()) return std::nullopt;
    // The last start not above the row; equal starts (empty buckets) resolve
    // to the last of them, the one that holds rows.
    auto it = std::upper_bound(start_rows.begin(), start_rows.end() - 1, row);
    if (it == start_rows.begin()) return std::nullopt;
    uint64_t i = static_cast<uint64_t>(it - start_rows.begin()) - 1;
    if (i >= bucket_numbers.size()) return std::nullopt;
    return IsmSlot{bucket_numbers[i], row - start_rows[i], start_rows[i + 1] - start_rows[i], i};
}

uint64_t ColumnIndex::row(uint32_t i) const {
    return wide_rows ? load_u64(rows + uint64_t{i} * 8, little_endian) : load_u32(rows + uint64_t{i} * 4, little_endian);
}

uint32_t ColumnIndex::offset(uint32_t i) const { return load_u32(offsets + uint64_t{i} * 4, little_endian); }

std::optional<uint32_t> ColumnIndex::entry_for(uint64_t rel_row) const {
    // Last entry with row <= rel_row.
    uint32_t lo = 0, hi = count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (row(mid) <= rel_row) lo = mid + 1;
        else hi = mid;
    }
    if (lo == 0) return std::nullopt;
    return lo - 1;
}

// ---- opening ----

IsmResult<IsmFile> IsmFile::open(const std::string& dir, uint32_t seq, bool big_endian) {
    auto buffer = Buffer::open(dir + "/table.f" + std::to_string(seq));
    if (!buffer) return std::unexpected(IsmError{IsmError::FileIo{buffer.error()}});
    return from_buffer(std::move(*buffer), big_endian);
}

IsmResult<IsmFile> IsmFile::from_buffer(Buffer buffer, bool big_endian) {
    IsmFile file(std::move(buffer), big_endian);
    if (auto ok = file.parse(); !ok) return std::unexpected(ok.error());
    return file;
}

IsmResult<void> IsmFile::parse() {
    const bool le = !big_endian_;
    std::span<const uint8_t> bytes = buffer_.bytes();
    Reader r(bytes, le);
    ISM_TRY_ASSIGN(head, r.read_object_start(true));
    if (head.type_name != "IncrementalStMan")
        return std::unexpected(IsmError{IsmError::UnexpectedType{head.type_name, "IncrementalStMan"}});
    header_.version = head.version;
    if (head.version >= 5) {
        ISM_TRY_ASSIGN(flag, r.read_bool());
        if (flag != big_endian_) return std::unexpected(IsmError{IsmError::EndianMismatch{flag, big_endian_}});
    }
    ISM_TRY_ASSIGN(bucket_size, r.read_u32());
    ISM_TRY_ASSIGN(nr_buckets, r.read_u32());
    ISM_TRY_ASSIGN(pers_cache, r.read_u32());
    ISM_TRY_ASSIGN(uniq_nr, r.read_u32());
    ISM_TRY_ASSIGN(free_nr, r.read_u32());
    ISM_TRY_ASSIGN(first_free, r.read_i32());
    header_.bucket_size = bucket_size;
    header_.nr_buckets = nr_buckets;
    header_.pers_cache_size = pers_cache;
    header_.uniq_nr = uniq_nr;
    header_.free_buckets_nr = free_nr;
    header_.first_free_bucket = first_free;

    // A bucket must at least hold its leading word and one empty index part.
    if (nr_buckets > 0 && bucket_size < 8)
        return std::unexpected(corrupt("IncrementalStMan bucket size " + std::to_string(bucket_size) +
                                       " is too small"));
    // 32-bit factors: the product cannot overflow 64 bits.
    uint64_t index_at = kHeaderBytes + uint64_t{nr_buckets} * bucket_size;
    if (index_at > bytes.size())
        return std::unexpected(corrupt("IncrementalStMan index at offset " + std::to_string(index_at) +
                                       " lies beyond the end of the file (" + std::to_string(bytes.size()) +
                                       " bytes)"));

    Reader ir(bytes.subspan(index_at), le);
    ISM_TRY_ASSIGN(ihead, ir.read_object_start(true));
    if (ihead.type_name != "ISMIndex")
        return std::unexpected(IsmError{IsmError::UnexpectedType{ihead.type_name, "ISMIndex"}});
    ISM_TRY_ASSIGN(used, ir.read_u32());
    const uint64_t width = ihead.version < 2 ? 4 : 8;
    ISM_TRY_ASSIGN(nstarts, ir.read_block_start(width));
    if (uint64_t{nstarts} < uint64_t{used} + 1)
        return std::unexpected(corrupt("IncrementalStMan index holds " + std::to_string(nstarts) +
                                       " bucket start rows for " + std::to_string(used) + " buckets"));
    index_.start_rows.resize(uint64_t{used} + 1);
    for (uint64_t i = 0; i < nstarts; ++i) {
        uint64_t v;
        if (width == 4) {
            ISM_TRY_ASSIGN(x, ir.read_u32());
            v = x;
        } else {
            ISM_TRY_ASSIGN(x, ir.read_u64());
            v = x;
        }
        if (i <= used) index_.start_rows[i] = v;
    }
    for (uint64_t i = 1; i <= used; ++i)
        if (index_.start_rows[i] < index_.start_rows[i - 1])
            return std::unexpected(corrupt("IncrementalStMan index: bucket start rows are not ascending at entry " +
                                           std::to_string(i)));
    ISM_TRY_ASSIGN(nnums, ir.read_block_start(4));
    uint64_t keep = std::min<uint64_t>(nnums, used);
    index_.bucket_numbers.resize(keep);
    for (uint64_t i = 0; i < keep; ++i) {
        ISM_TRY_ASSIGN(x, ir.read_u32());
        if (x >= nr_buckets) return std::unexpected(IsmError{IsmError::BucketOutOfRange{x, nr_buckets}});
        index_.bucket_numbers[i] = x;
    }
    return {};
}

// ---- cells ----

std::span<const uint8_t> IsmFile::bucket_bytes(uint32_t bucket) const {
    // Bucket numbers are checked against nr_buckets at open, and the buckets
    // lie before the index, which lies inside the file.
    return buffer_.bytes().subspan(kHeaderBytes + uint64_t{bucket} * header_.bucket_size, header_.bucket_size);
}

IsmResult<ColumnIndex> IsmFile::column_index(uint32_t bucket, uint32_t column) const {
    if (bucket >= header_.nr_buckets)
        return std::unexpected(IsmError{IsmError::BucketOutOfRange{bucket, header_.nr_buckets}});
    const bool le = !big_endian_;
    std::span<const uint8_t> b = bucket_bytes(bucket);
    const uint64_t size = b.size();
    uint32_t w = load_u32(b.data(), le);
    uint64_t at = w & kIndexOffsetMask;
    const bool wide = (w >> 28) != 0;
    const uint64_t rw = wide ? 8 : 4;
    auto outside = [&](uint64_t where) {
        return corrupt("IncrementalStMan bucket " + std::to_string(bucket) + ": index part at offset " +
                       std::to_string(where) + " runs past the bucket end (" + std::to_string(size) + " bytes)");
    };
    if (at < 4 || at > size) return std::unexpected(outside(at));
    for (uint32_t c = 0;; ++c) {
        if (size - at < 4) return std::unexpected(outside(at));
        uint32_t k = load_u32(b.data() + at, le);
        uint64_t need = uint64_t{k} * (rw + 4);  // at most 2^32 * 12: no overflow
        if (need > size - at - 4) return std::unexpected(outside(at));
        if (c == column) {
            ColumnIndex ci;
            ci.count = k;
            ci.wide_rows = wide;
            ci.little_endian = le;
            ci.rows = b.data() + at + 4;
            ci.offsets = ci.rows + uint64_t{k} * rw;
            return ci;
        }
        at += 4 + need;
    }
}

RecordValue IsmFile::decode(DataType type, const uint8_t* p) const {
    const bool le = !big_endian_;
    switch (type) {
        case DataType::Bool: return RecordValue((p[0] & 1) != 0);
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
        default: return RecordValue();  // excluded by ism_column_cell_size
    }
}

namespace {

// The value of an entry, checked to lie inside the bucket's value area
// (between the leading word and the index part).
IsmResult<const uint8_t*> value_at(std::span<const uint8_t> bucket, uint32_t bucket_nr, uint64_t data_end,
                                   uint32_t offset, uint32_t size) {
    if (uint64_t{offset} + size > data_end - 4)
        return std::unexpected(corrupt("IncrementalStMan bucket " + std::to_string(bucket_nr) + ": value at offset " +
                                       std::to_string(offset) + " (" + std::to_string(size) +
                                       " bytes) lies outside the value area (" + std::to_string(data_end - 4) +
                                       " bytes)"));
    return bucket.data() + 4 + offset;
}

}  // namespace

IsmResult<RecordValue> IsmFile::read_cell(const IsmColumn& column, uint64_t row) const {
    auto reader = runs(column, row, 1);
    if (!reader) return std::unexpected(reader.error());
    auto run = reader->next();
    if (!run) return std::unexpected(run.error());
    if (!*run) return std::unexpected(IsmError{IsmError::RowNotCovered{row}});
    return decode(column.type, (*run)->value.data());
}

IsmResult<IsmRunReader> IsmFile::runs(const IsmColumn& column, uint64_t first, uint64_t count) const {
    auto size = ism_column_cell_size(column);
    if (!size) return std::unexpected(size.error());
    uint64_t end = first + count;
    if (end < first) end = UINT64_MAX;
    return IsmRunReader(*this, column, *size, first, end);
}

IsmResult<std::optional<IsmRun>> IsmRunReader::next() {
    if (row_ >= end_) return std::optional<IsmRun>{};
    const IsmFile& f = *file_;
    if (bucket_ == nullptr || row_ >= bucket_end_) {
        // Enter the bucket holding row_: one search per bucket, not per row.
        auto slot = f.index_.bucket_for(row_);
        if (!slot) return std::unexpected(IsmError{IsmError::RowNotCovered{row_}});
        auto ci = f.column_index(slot->bucket, column_.position);
        if (!ci) return std::unexpected(ci.error());
        auto entry = ci->entry_for(slot->offset);
        if (!entry)
            return std::unexpected(IsmError{IsmError::NoData{std::string(column_.name), row_}});
        std::span<const uint8_t> b = f.bucket_bytes(slot->bucket);
        bucket_ = b.data();
        bucket_start_ = row_ - slot->offset;
        bucket_end_ = bucket_start_ + slot->rows;
        data_end_ = load_u32(bucket_, !f.big_endian_) & kIndexOffsetMask;
        bucket_nr_ = slot->bucket;
        entries_ = *ci;
        entry_ = *entry;
    }
    const uint32_t bucket_nr = bucket_nr_;
    auto value = value_at({bucket_, f.header_.bucket_size}, bucket_nr, data_end_, entries_.offset(entry_), cell_size_);
    if (!value) return std::unexpected(value.error());
    // The run lasts until the next entry's row, the bucket's end or the end
    // of the range, whichever comes first.
    uint64_t stop = bucket_end_;
    if (entry_ + 1 < entries_.count) {
        uint64_t next_rel = entries_.row(entry_ + 1);
        if (next_rel <= row_ - bucket_start_)
            return std::unexpected(corrupt("IncrementalStMan bucket " + std::to_string(bucket_nr) + ": column " +
                                           std::string(column_.name) + " has entries out of row order"));
        if (next_rel < bucket_end_ - bucket_start_) stop = bucket_start_ + next_rel;
    }
    stop = std::min(stop, end_);
    IsmRun run{row_, stop - row_, {*value, cell_size_}};
    row_ = stop;
    if (row_ < bucket_end_ && entry_ + 1 < entries_.count && row_ - bucket_start_ == entries_.row(entry_ + 1))
        ++entry_;
    return run;
}

IsmResult<std::vector<RecordValue>> IsmFile::read_column(const IsmColumn& column, uint64_t first,
                                                         uint64_t count) const {
    auto reader = runs(column, first, count);
    if (!reader) return std::unexpected(reader.error());
    // Rows are not allocated before they are found: a huge count fails at
    // the first row that no bucket covers.
    std::vector<RecordValue> out;
    out.reserve(std::min<uint64_t>(count, index_.row_count() > first ? index_.row_count() - first : 0));
    for (;;) {
        auto run = reader->next();
        if (!run) return std::unexpected(run.error());
        if (!*run) break;
        RecordValue v = decode(column.type, (*run)->value.data());
        out.insert(out.end(), (*run)->rows, v);
    }
    return out;
}

IsmResult<void> IsmFile::read_raw(const IsmColumn& column, uint64_t first, uint64_t count,
                                  std::span<uint8_t> out) const {
    auto reader = runs(column, first, count);
    if (!reader) return std::unexpected(reader.error());
    const uint32_t size = reader->cell_size_;
    if (out.size() / size < count)
        throw InternalError("IsmFile::read_raw: output of " + std::to_string(out.size()) + " bytes for " +
                            std::to_string(count) + " cells");
    uint8_t* dst = out.data();
    for (;;) {
        auto run = reader->next();
        if (!run) return std::unexpected(run.error());
        if (!*run) break;
        const uint8_t* src = (*run)->value.data();
        for (uint64_t i = 0; i < (*run)->rows; ++i, dst += size) std::memcpy(dst, src, size);
    }
    return {};
}

}  // namespace orvala
