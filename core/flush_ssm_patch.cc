// The StandardStMan patch in place: the cells of fixed-width scalar columns
// are encoded (in the table's byte order) straight into copies of the
// buckets that hold them; each touched bucket then goes into the commit as
// one patch covering the bytes that changed. Nothing outside a bucket's
// bytes, nor outside the file, is ever written.
#include <map>

#include "flush_internal.h"
#include "ssm.h"
#include "ssm_cell.h"

namespace orvala {

namespace {

// Bits per cell of a scalar column in a data bucket; none for types that
// have no fixed-width cell.
std::optional<uint32_t> cell_width_bits(DataType type) {
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

// A touched bucket: a copy of its bytes and the range that changed.
struct BucketEdit {
    std::vector<uint8_t> bytes;
    size_t lo = SIZE_MAX;
    size_t hi = 0;

    void touched(size_t from, size_t to) {
        lo = std::min(lo, from);
        hi = std::max(hi, to);
    }
};

// The data bucket of `row` in one SSM index: its number and first row.
struct BucketSpan {
    uint32_t number = 0;
    uint64_t first = 0;
    uint64_t last = 0;
};

std::optional<BucketSpan> find_bucket(const SsmIndex& index, uint64_t row) {
    const auto& last = index.last_rows;
    auto it = std::lower_bound(last.begin(), last.end(), row);
    if (it == last.end()) return std::nullopt;
    size_t j = static_cast<size_t>(it - last.begin());
    if (j >= index.bucket_numbers.size()) return std::nullopt;
    return BucketSpan{index.bucket_numbers[j], j == 0 ? 0 : last[j - 1] + 1, last[j]};
}

}  // namespace

WriteResult<std::optional<NeedsRewrite>> plan_ssm_patch(const DmTarget& t, const StandardStMan& settings,
                                                        PreservingPlan& plan) {
    const std::string& dir = t.wt.dir();
    const bool big_endian = t.stored.big_endian;
    auto file = StandardStManFile::open(dir, t.dm.sequence, big_endian);
    if (!file) return std::unexpected(WriteTableError::storage(file.error().message()));
    const uint32_t bucket_size = file->header().bucket_size;
    const std::string name = dm_file_name(t.dm.sequence);

    std::map<uint32_t, BucketEdit> buckets;
    std::vector<uint8_t> cell(16);
    for (size_t k = 0; k < t.columns.size(); ++k) {
        const size_t c = t.columns[k];
        const ColumnEdits& edits = t.wt.edits(c);
        if (!edits.has_edited()) continue;
        const ColumnDesc& d = t.wt.desc().columns[c];
        auto no_column = [&] { return std::unexpected(WriteTableError::storage("SSM spec has no column " + std::to_string(k))); };
        if (k >= settings.column_index_map.size()) return no_column();
        const uint32_t index_no = settings.column_index_map[k];
        if (index_no >= file->indices().size())
            return std::unexpected(WriteTableError::storage("SSM index " + std::to_string(index_no) + " missing"));
        if (k >= settings.column_offsets.size()) return no_column();
        const SsmIndex& index = file->indices()[index_no];
        const uint64_t offset = settings.column_offsets[k];
        const auto width = cell_width_bits(d.data_type);
        if (!width) return std::unexpected(WriteTableError::storage("column " + d.name + " has no fixed-width cell"));
        const size_t cell_bytes = *width == 1 ? 1 : *width / 8;

        std::optional<WriteTableError> failure;
        std::optional<BucketSpan> span;
        BucketEdit* edit = nullptr;
        edits.for_each_edited([&](const EditedCell& e) {
            if (failure) return;
            const uint64_t row = e.row;
            if (!span || row < span->first || row > span->last) {
                span = find_bucket(index, row);
                if (!span) {
                    failure = WriteTableError::storage("SSM row " + std::to_string(row) + " out of range");
                    return;
                }
                auto [it, fresh] = buckets.try_emplace(span->number);
                if (fresh) {
                    auto bytes = file->bucket_bytes(span->number);
                    if (!bytes || bytes->size() != bucket_size) {
                        failure = WriteTableError::storage("SSM row " + std::to_string(row) + " out of range");
                        return;
                    }
                    it->second.bytes.assign(bytes->begin(), bytes->end());
                }
                edit = &it->second;
            }
            const RecordValue value = e.get();
            auto encoded = encode_scalar_cell_into(std::span(cell).first(cell_bytes), big_endian, d.maxlen,
                                                   d.data_type, value);
            if (!encoded) {
                failure = WriteTableError::storage(encoded.error().message());
                return;
            }
            const uint64_t bit = (row - span->first) * *width;
            const uint64_t at = offset + bit / 8;
            // A cell must lie inside its bucket: never write a neighbour's bytes.
            if (at + (*width == 1 ? 1 : cell_bytes) > bucket_size) {
                failure = WriteTableError::storage("SSM cell of row " + std::to_string(row) + " of column " + d.name +
                                                   " lies outside its bucket of " + std::to_string(bucket_size) +
                                                   " bytes");
                return;
            }
            uint8_t* dst = edit->bytes.data() + at;
            if (*width == 1) {
                const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
                *dst = cell[0] != 0 ? (*dst | mask) : (*dst & ~mask);
                edit->touched(at, at + 1);
            } else {
                std::copy_n(cell.data(), cell_bytes, dst);
                edit->touched(at, at + cell_bytes);
            }
        });
        if (failure) return std::unexpected(std::move(*failure));
    }

    const uint64_t file_size = file->file_bytes().size();
    for (auto& [number, edit] : buckets) {
        if (edit.lo >= edit.hi) continue;
        std::vector<uint8_t> changed(edit.bytes.begin() + static_cast<ptrdiff_t>(edit.lo),
                                     edit.bytes.begin() + static_cast<ptrdiff_t>(edit.hi));
        plan.commit.add_patch(name, file_size, kSsmHeaderSize + uint64_t{number} * bucket_size + edit.lo,
                              std::move(changed));
    }
    return std::nullopt;
}

}  // namespace orvala
