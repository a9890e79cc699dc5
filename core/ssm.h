// Reader of StandardStMan data files.
//
// A StandardStMan keeps all rows of its columns in fixed-size buckets of one
// file, "table.f<N>" (N: the data manager's sequence number):
//
//   bytes 0..511   header: top-level AipsIO object "StandardStMan", zero-padded
//   from 512       buckets of `bucket_size` bytes; bucket b at 512 + b * bucket_size
//
// Header fields (the data files' byte order; the flag only from version 3):
//   bool big_endian, u32 bucket_size, u32 nr_buckets, u32 pers_cache_size,
//   u32 free_buckets_nr, i32 first_free_bucket, u32 nr_idx_buckets,
//   i32 first_idx_bucket, i32 idx_bucket_offset, i32 last_string_bucket,
//   u32 index_length, u32 nr_indices
//
// Buckets are of three kinds:
//   data buckets   a run of consecutive rows; each column has a region at
//                  its column offset (from the "SSM" settings in table.dat)
//                  holding the cells of those rows in row order (ssm_cell.h)
//   index buckets  the index stream: `nr_indices` top-level "SSMIndex"
//                  objects { u32 used buckets, u32 rows per bucket, u32
//                  column count, "SimpleOrderedMap" (free space, ignored),
//                  "Block" last row per data bucket (u32 in version 1, else
//                  u64), "Block" of u32 data bucket numbers }.
//                  With idx_bucket_offset > 0 the stream starts at that
//                  offset of the first index bucket; with 0 it is cut into
//                  pieces at offset 8 of chained buckets. Bytes 4..7 of an
//                  index bucket: the next one (big-endian, negative = end).
//   string buckets 16-byte big-endian header {0, used, free, next (-1 none)}
//                  then data. Holds strings longer than 8 bytes, string-array
//                  content and record cells (JSON text); a value that does not
//                  fit continues at data offset 0 of the next bucket.
//
// Array cells other than string arrays live in the array file "table.f<N>i":
// a 16-byte header whose first u32 is a version (not 0: every array is
// preceded by a u32 reference count), then arrays { u32 ndim, ndim u32
// extents (first axis first), elements in storage order }; a cell holds the
// array's byte position in that file (0: no array).
//
// Every value taken from the files is checked before use; damaged files give
// an SsmError, never a crash, an overrun or an endless walk.
//
// Reading a column fast: `column_layout` once, then `runs` walks the data
// buckets of a run of rows in order and hands out, per bucket, the
// contiguous bytes of the column's cells there (no search per cell).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "datafile.h"
#include "record.h"
#include "ssm_cell.h"
#include "ssm_error.h"
#include "ssm_settings.h"

namespace orvala {

inline constexpr uint64_t kSsmHeaderSize = 512;
inline constexpr uint32_t kStringBucketHeader = 16;

struct SsmHeader {
    uint32_t version = 0;
    bool big_endian = false;  // as stored (version 3 and up); else the table's
    uint32_t bucket_size = 0;
    uint32_t nr_buckets = 0;
    uint32_t pers_cache_size = 0;
    uint32_t free_buckets_nr = 0;
    int32_t first_free_bucket = -1;
    uint32_t nr_idx_buckets = 0;
    int32_t first_idx_bucket = -1;
    int32_t idx_bucket_offset = 0;
    int32_t last_string_bucket = -1;
    uint32_t index_length = 0;
    uint32_t nr_indices = 0;
};

// One "SSMIndex": the data buckets of the columns that use it, in row order.
struct SsmIndex {
    uint32_t rows_per_bucket = 0;
    uint32_t column_count = 0;
    std::vector<uint64_t> last_rows;       // per data bucket: its last row
    std::vector<uint32_t> bucket_numbers;  // per data bucket: its number
};

// Where one column's cells are: the SSM index that locates its rows, its
// region's offset inside a data bucket, and its cell width.
struct SsmColumnLayout {
    uint32_t index = 0;
    uint32_t offset = 0;
    uint32_t cell_size = 0;  // bytes per cell; kBitCell for Bool scalars
};
inline constexpr uint32_t kBitCell = 0;

// One cell: its bytes (one byte for a bit cell) and, for a bit cell, the
// bit within that byte.
struct SsmCell {
    std::span<const uint8_t> bytes;
    uint32_t bit = 0;
};

// The cells of consecutive rows inside one data bucket.
struct SsmRun {
    uint64_t first_row = 0;           // table row of the first cell
    uint64_t rows = 0;                // number of cells
    std::span<const uint8_t> bytes;   // rows * cell_size bytes; bit cells: the bytes holding the bits
    uint32_t first_bit = 0;           // bit cells: bit of the first cell in bytes[0]
};

// An array cell in the array file.
struct SsmArrayRegion {
    std::vector<uint32_t> shape;      // C order: the stored extents reversed
    uint64_t element_count = 0;
    std::span<const uint8_t> bytes;   // the elements (Bool packed 8 per byte)
};

class StandardStManFile;

// Walks the data buckets of a run of rows (see StandardStManFile::runs).
class SsmRunCursor {
public:
    // Fills `run` with the next bucket's cells; false after the last one.
    SsmResult<bool> next(SsmRun& run);

private:
    friend class StandardStManFile;
    const StandardStManFile* file_ = nullptr;
    const SsmIndex* index_ = nullptr;
    SsmColumnLayout layout_;
    uint64_t row_ = 0;
    uint64_t end_ = 0;
    size_t bucket_ = 0;  // position in the index's lists
};

class StandardStManFile {
public:
    // Maps "<dir>/table.f<seq>", parses its header and index, and maps
    // "<dir>/table.f<seq>i" when it exists as a regular file. The table's
    // byte order (`big_endian`) must match the file's.
    static SsmResult<StandardStManFile> open(const std::string& dir, uint32_t seq, bool big_endian);
    // The same over buffers already in hand (tests, fuzzing). `array_file_name`
    // names the array file in messages.
    static SsmResult<StandardStManFile> from_buffers(Buffer bucket_file, std::optional<Buffer> array_file,
                                                     bool big_endian, std::string array_file_name = "table.f0i");

    // The header object of a bucket file; checks the type name, the byte
    // order, and that the bucket size and index offset are usable.
    static SsmResult<SsmHeader> parse_meta(std::span<const uint8_t> file, bool big_endian);
    // Gathers the index stream from its buckets and decodes its "SSMIndex"
    // objects.
    static SsmResult<std::vector<SsmIndex>> read_index(std::span<const uint8_t> file, const SsmHeader& header,
                                                       bool big_endian);

    const SsmHeader& header() const { return header_; }
    const std::vector<SsmIndex>& indices() const { return indices_; }
    bool big_endian() const { return big_endian_; }
    bool has_array_file() const { return array_file_.has_value(); }
    std::span<const uint8_t> file_bytes() const { return file_.bytes(); }
    std::span<const uint8_t> array_file_bytes() const {
        return array_file_ ? array_file_->bytes() : std::span<const uint8_t>{};
    }
    // Buckets that both the header and the file hold.
    uint64_t bucket_count() const { return usable_buckets_; }

    // The bytes of bucket b; none when the file has no such bucket.
    std::optional<std::span<const uint8_t>> bucket_bytes(int64_t bucket) const;

    // The cell of `row` in the column whose region starts at `column_offset`
    // of the data buckets of SSM index `index`; `cell_size` in bytes, or
    // kBitCell. Errors: IndexNotFound, RowNotCovered, CellOutside.
    SsmResult<SsmCell> cell_bytes(uint32_t index, uint32_t column_offset, uint64_t row, uint32_t cell_size) const;

    // The layout of the column at `position` among this data manager's
    // columns, from its settings and its description.
    SsmResult<SsmColumnLayout> column_layout(const StandardStMan& settings, size_t position,
                                             const CellColumn& column) const;
    SsmResult<SsmCell> cell(const SsmColumnLayout& layout, uint64_t row) const {
        return cell_bytes(layout.index, layout.offset, row, layout.cell_size);
    }
    // column_layout, then the cell of `row`.
    SsmResult<SsmCell> scalar_cell_raw(const StandardStMan& settings, size_t position, uint64_t row,
                                       const CellColumn& column) const;

    // The cells of rows first_row .. first_row + count - 1, bucket by bucket.
    // The cursor borrows this file.
    SsmResult<SsmRunCursor> runs(const SsmColumnLayout& layout, uint64_t first_row, uint64_t count) const;

    // `length` bytes of string-bucket data starting at `offset` of bucket
    // `bucket`'s data area, following the chain of next buckets; appended
    // raw to `out`. A negative part, an offset beyond the bucket's used
    // bytes, a used count beyond the data area, a bucket that the file does
    // not hold, a chain that ends early or loops: BadStringRef.
    SsmResult<void> string_bytes(int32_t bucket, int32_t offset, int32_t length, std::string& out) const;
    // The text of a long variable string (decoded as in ssm_cell.h).
    SsmResult<std::string> read_long_string(int32_t bucket, int32_t offset, int32_t length) const;
    // The text of a 12-byte variable-string cell, inline or in buckets.
    SsmResult<std::string> read_string_cell(std::span<const uint8_t> cell) const;
    // The content of a 12-byte string-array cell.
    SsmResult<StringArrayContent> read_string_array(std::span<const uint8_t> cell) const;
    // The stored text (JSON) of a 12-byte record cell.
    SsmResult<std::string> read_record_text(std::span<const uint8_t> cell) const;

    // The array of an array cell (not String): reads the cell's reference;
    // 0 gives EmptyArrayRef; no array file gives ArrayFileMissing.
    SsmResult<SsmArrayRegion> array_cell_region(const StandardStMan& settings, size_t position, uint64_t row,
                                                const CellColumn& column) const;
    // The array at array-file position `ref` with elements of type `element`,
    // into `out` (its shape's storage is reused). Errors: ArrayFileMissing
    // (named by `column`), ArrayRefOutside, UnsupportedArrayElement.
    SsmResult<void> array_region_at(int64_t ref, DataType element, std::string_view column,
                                    SsmArrayRegion& out) const;

    // One cell as a value, whatever the column's kind: scalars by
    // decode_scalar (variable strings read from their buckets when long),
    // arrays as cell arrays (shape in C order), string arrays likewise, and
    // record cells as their stored JSON text in a String value (the caller
    // parses it). An empty array reference gives EmptyArrayRef.
    SsmResult<RecordValue> read_cell(const StandardStMan& settings, size_t position, uint64_t row,
                                     const CellColumn& column) const;

    // Lets the kernel drop the mapped pages (after a long sequential read).
    void drop_pages() const;

private:
    friend class SsmRunCursor;
    StandardStManFile() = default;
    // Absolute file offset of a cell, checked against its bucket and the file.
    SsmResult<uint64_t> locate(uint32_t bucket, uint32_t column_offset, uint64_t r, uint32_t cell_size,
                               uint64_t cells) const;

    Buffer file_;
    std::optional<Buffer> array_file_;
    std::string array_file_name_;
    bool big_endian_ = false;
    SsmHeader header_;
    std::vector<SsmIndex> indices_;
    uint64_t usable_buckets_ = 0;
};

// An array region's elements as a cell array value of element type
// `element` (the shape is taken as it is, in C order). Char reads as UChar.
// Fewer bytes than the elements need: ArrayTruncated.
SsmResult<ArrayValue> decode_array_region(const SsmArrayRegion& region, DataType element, bool big_endian);

}  // namespace orvala
