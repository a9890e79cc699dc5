// Writer of StandardStMan data files (layout in ssm.h). The files written
// are always little-endian and laid out so:
//
//   - 32 rows per data bucket; each column's region is 32 cells wide (Bool:
//     32 bits), the regions follow each other in column order, and the bucket
//     size is their sum but at least 64 bytes;
//   - data buckets 0 .. ceil(rows / 32) - 1 (bucket k holds rows 32k ..),
//     then the index buckets (one "SSMIndex" for all columns, cut into pieces
//     of bucket_size - 8 bytes), then the string buckets;
//   - every column uses index 0;
//   - the array file, when some column holds non-string arrays, is a 16-byte
//     header (version 0; byte 4 the low byte of the file's length) followed
//     by the arrays in column order, then row order.
//
// Each file image is built in one pass into a buffer sized beforehand.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "record.h"
#include "ssm_cell.h"
#include "ssm_error.h"
#include "tabledesc.h"

namespace orvala {

inline constexpr uint32_t kSsmRowsPerBucket = 32;
inline constexpr uint32_t kSsmMinBucketSize = 64;

// Fills string buckets: a 16-byte big-endian header {0, used, free, next}
// then `bucket_size - 16` data bytes. Buckets are appended to `out`, the
// first one numbered `first_bucket`; `out` may already hold other bytes.
class StringBuckets {
public:
    StringBuckets(std::vector<uint8_t>& out, uint32_t bucket_size, uint32_t first_bucket);

    struct Placed {
        uint32_t bucket;  // where the value starts
        uint32_t offset;  // in that bucket's data area
    };
    // Stores a value: in the current bucket from its used offset, unless the
    // bucket's free space is below both the value's length and 50 bytes (then
    // in a new bucket); what does not fit continues at offset 0 of a new
    // bucket chained from the previous one.
    Placed put(std::span<const uint8_t> value);
    // Appends an empty bucket (free = capacity, next = -1) and makes it current.
    void new_bucket();

    uint32_t count() const { return count_; }
    uint32_t capacity() const { return capacity_; }

private:
    uint8_t* header(uint32_t i) { return out_.data() + base_ + uint64_t{i} * bucket_size_; }

    std::vector<uint8_t>& out_;
    size_t base_;
    uint32_t bucket_size_;
    uint32_t capacity_;
    uint32_t first_;
    uint32_t count_ = 0;
};

// The index stream (little-endian): one top-level "SSMIndex" version 1 for
// `rows` rows in buckets of `rows_per_bucket`, used by `column_count`
// columns: buckets used, rows per bucket, column count, an empty
// "SimpleOrderedMap" (0, 0, 1), a "Block" of the last rows
// min(rpb * (k + 1), rows) - 1, a "Block" of the bucket numbers 0, 1, ...
std::vector<uint8_t> build_index_stream(uint64_t rows, uint32_t rows_per_bucket, uint32_t column_count);

// One column to write: its description and its value for each row.
struct SsmWriteColumn {
    CellColumn column;
    std::span<const RecordValue> values;  // at least `rows` values
};

struct SsmData {
    std::vector<uint8_t> bucket_file;                // "table.f<N>"
    std::optional<std::vector<uint8_t>> array_file;  // "table.f<N>i", when needed
    std::vector<uint32_t> column_offsets;            // for the "SSM" settings
    std::vector<uint32_t> column_index_map;
    std::string name;                                // the data-manager name
};

// Builds the files of one data manager holding `columns` (in its column
// order) over `rows` rows. Values convert to their column's type as
// encode_scalar_cell says; strings longer than 8 bytes, string arrays and
// records (their JSON text) go to string buckets.
// Errors: "encode <table>.<column>: <encoder message>" (Encode),
// ExpectedArray for a non-array value in an array column, ExpectedRecord for
// a non-record value in a record column. `table` names the description.
SsmResult<SsmData> build_ssm_data(std::string_view table, std::span<const SsmWriteColumn> columns, uint64_t rows,
                                  std::string name);

// The same for the columns at `positions` of `desc` (in that order), each
// with its values in `lists` (one list per column of `desc`); `desc.name`
// names the table in messages.
SsmResult<SsmData> build_ssm_data(const TableDesc& desc, std::span<const size_t> positions,
                                  std::span<const std::vector<RecordValue>> lists, uint64_t rows, std::string name);

}  // namespace orvala
