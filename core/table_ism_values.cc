#include "table_ism_values.h"

#include "byteorder.h"
#include "ssm_cell.h"

namespace orvala {

namespace {

constexpr uint64_t kIsmHeaderBytes = 512;
constexpr uint32_t kIsmIndexOffsetMask = 0x0FFFFFFF;

IsmError corrupt(std::string text) { return IsmError{IsmError::Corrupt{std::move(text)}}; }

}  // namespace

IsmValueWalker::IsmValueWalker(const IsmFile& file, uint32_t position, std::string_view column, uint64_t first,
                               uint64_t count)
    : file_(&file), position_(position), column_(column), row_(first), end_(first + count) {
    if (end_ < first) end_ = UINT64_MAX;
}

IsmResult<std::optional<IsmValueRun>> IsmValueWalker::next() {
    if (row_ >= end_) return std::optional<IsmValueRun>{};
    const IsmFile& f = *file_;
    if (bucket_ == nullptr || row_ >= bucket_end_) {
        auto slot = f.index().bucket_for(row_);
        if (!slot) return std::unexpected(IsmError{IsmError::RowNotCovered{row_}});
        // Checks the bucket number and that the index part lies in the bucket.
        auto ci = f.column_index(slot->bucket, position_);
        if (!ci) return std::unexpected(ci.error());
        auto entry = ci->entry_for(slot->offset);
        if (!entry) return std::unexpected(IsmError{IsmError::NoData{std::string(column_), row_}});
        // Whole buckets lie before the index, inside the file (checked at open).
        const uint32_t size = f.header().bucket_size;
        bucket_ = f.buffer().bytes().data() + kIsmHeaderBytes + uint64_t{slot->bucket} * size;
        bucket_nr_ = slot->bucket;
        bucket_start_ = row_ - slot->offset;
        bucket_end_ = bucket_start_ + slot->rows;
        data_end_ = load_u32(bucket_, !f.big_endian()) & kIsmIndexOffsetMask;
        entries_ = *ci;
        entry_ = *entry;
    }
    const uint32_t offset = entries_.offset(entry_);
    if (uint64_t{offset} + 4 > data_end_)
        return std::unexpected(corrupt("IncrementalStMan bucket " + std::to_string(bucket_nr_) + ": value at offset " +
                                       std::to_string(offset) + " lies outside the value area (" +
                                       std::to_string(data_end_ - 4) + " bytes)"));
    uint64_t stop = bucket_end_;
    if (entry_ + 1 < entries_.count) {
        const uint64_t next_rel = entries_.row(entry_ + 1);
        if (next_rel <= row_ - bucket_start_)
            return std::unexpected(corrupt("IncrementalStMan bucket " + std::to_string(bucket_nr_) + ": column " +
                                           std::string(column_) + " has entries out of row order"));
        if (next_rel < bucket_end_ - bucket_start_) stop = bucket_start_ + next_rel;
    }
    stop = std::min(stop, end_);
    IsmValueRun run{row_, stop - row_, {bucket_ + 4 + offset, static_cast<size_t>(data_end_ - 4 - offset)}};
    row_ = stop;
    if (row_ < bucket_end_ && entry_ + 1 < entries_.count && row_ - bucket_start_ == entries_.row(entry_ + 1))
        ++entry_;
    return run;
}

IsmResult<std::string> ism_string_value(std::span<const uint8_t> value, bool big_endian) {
    if (value.size() < 4) return std::unexpected(corrupt("IncrementalStMan string value runs past its bucket"));
    const uint32_t length = load_u32(value.data(), !big_endian);
    if (length < 4 || length > value.size())
        return std::unexpected(corrupt("IncrementalStMan string value of length " + std::to_string(length) +
                                       " does not fit the " + std::to_string(value.size()) +
                                       " bytes left in its bucket"));
    return decode_text(value.subspan(4, length - 4));
}

IsmResult<int64_t> ism_array_ref(std::span<const uint8_t> value, bool big_endian) {
    if (value.size() < 8) return std::unexpected(corrupt("IncrementalStMan array reference runs past its bucket"));
    return load_i64(value.data(), !big_endian);
}

SsmResult<SsmArrayRegion> array_file_region(std::span<const uint8_t> file, bool big_endian, int64_t ref,
                                            DataType element) {
    const uint64_t len = file.size();
    auto outside = [&] { return std::unexpected(SsmError{SsmError::ArrayRefOutside{ref, len}}); };
    auto version = u32_at(file, 0, big_endian);
    if (ref <= 0 || static_cast<uint64_t>(ref) >= len || !version) return outside();
    uint64_t pos = static_cast<uint64_t>(ref);
    if (*version != 0) pos += 4;  // the array's reference count
    auto ndim = u32_at(file, pos, big_endian);
    if (!ndim) return outside();
    pos += 4;
    if (*ndim > (len - pos) / 4) return outside();
    SsmArrayRegion region;
    region.shape.resize(*ndim);
    uint64_t n = 1;
    for (uint32_t i = 0; i < *ndim; ++i, pos += 4) {
        const uint32_t e = *u32_at(file, pos, big_endian);
        // Extents are signed 32-bit counts: the top bit set is negative.
        if ((e & 0x80000000u) || __builtin_mul_overflow(n, uint64_t{e}, &n)) return outside();
        region.shape[*ndim - 1 - i] = e;
    }
    const uint32_t size = element_size(element);
    if (size == 0) return std::unexpected(SsmError{SsmError::UnsupportedArrayElement{element}});
    const uint64_t room = len - pos;
    if (element == DataType::Bool ? n / 8 + (n % 8 != 0) > room : n > room / size) return outside();
    region.element_count = n;
    region.bytes = file.subspan(pos, element_bytes(element, n));
    return region;
}

}  // namespace orvala
