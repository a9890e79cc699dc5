// IncrementalStMan: a data manager for scalar columns whose values change
// slowly. A value is stored only in the row where it changes and holds for
// the following rows.
//
// File "table.f<N>", in the table's byte order:
//   bytes 0..511   top-level object "IncrementalStMan" { [v5+: bool big-endian]
//                  u32 bucket_size, u32 nr_buckets, u32 pers_cache_size,
//                  u32 uniq_nr, u32 free_buckets_nr, i32 first_free_bucket },
//                  zero-padded
//   from 512       nr_buckets buckets of bucket_size bytes
//   after them     top-level object "ISMIndex" { u32 n; Block of n+1 start
//                  rows (u32 below version 2, else u64): the first row of
//                  each bucket in row order, then the row count; Block of u32
//                  bucket numbers, cut to n }
// A bucket: u32 W (bits 0-27: offset of its index part; bits 28-31 set: row
// numbers there are 8 bytes wide, else 4); the data area (values one after
// another); then, per column of the data manager in column order: u32 k, k
// row numbers relative to the bucket's first row, k u32 offsets of the
// values counted from the bucket's byte 4.
//
// Reading is checked against the mapped file throughout: a corrupt file gives
// an IsmError, never a read outside the mapping or a huge allocation.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "aipsio.h"
#include "datafile.h"
#include "record.h"
#include "storage_write.h"
#include "tabledesc.h"

namespace orvala {

struct IsmError {
    struct AipsIo {
        AipsIoError error;
    };
    struct FileIo {
        FileIoError error;
    };
    // The object at a place where "IncrementalStMan" (or "ISMIndex") belongs.
    struct UnexpectedType {
        std::string found;
        std::string expected;
    };
    struct EndianMismatch {
        bool file_big_endian;
        bool table_big_endian;
    };
    struct RowNotCovered {
        uint64_t row;
    };
    struct BucketOutOfRange {
        uint64_t bucket;
        uint64_t buckets;
    };
    struct NoData {
        std::string column;
        uint64_t row;
    };
    struct StringsUnsupported {};
    struct NotScalar {
        std::string column;
    };
    // A column type without a fixed-width cell (Table, Record, ...).
    struct NoScalarEncoding {
        std::string column;
        DataType type;
    };
    // A structural fault of the file found by the checks of the reader; the
    // text says what and where.
    struct Corrupt {
        std::string text;
    };

    std::variant<AipsIo, FileIo, UnexpectedType, EndianMismatch, RowNotCovered, BucketOutOfRange, NoData,
                 StringsUnsupported, NotScalar, NoScalarEncoding, Corrupt>
        v;

    // AipsIo, FileIo: the inner message;
    // unexpected object type "F", expected "IncrementalStMan"
    // data file endian flag F does not match table flag T
    // row R not covered by any bucket
    // bucket B is out of range (file has N)
    // column C of the IncrementalStMan has no data for row R
    // IncrementalStMan strings are not supported yet
    // column C is not a scalar IncrementalStMan column
    // array columns are not supported yet (column C (Type))
    // Corrupt: its text
    std::string message() const;
};

template <class T>
using IsmResult = std::expected<T, IsmError>;

// A column of an IncrementalStMan as its readers need it.
struct IsmColumn {
    std::string_view name;   // for messages
    uint32_t position = 0;   // index among the data manager's columns
    DataType type = DataType::Int;
    bool is_array = false;
};

// Bytes of a stored value: Bool, Char, UChar 1; Short, UShort 2; Int, UInt,
// Float 4; Double, Complex, Int64 8; DComplex 16. None for other types.
std::optional<uint32_t> ism_cell_size(DataType type);

struct IsmHeader {
    uint32_t version = 0;
    uint32_t bucket_size = 0;
    uint32_t nr_buckets = 0;
    uint32_t pers_cache_size = 0;
    uint32_t uniq_nr = 0;
    uint32_t free_buckets_nr = 0;
    int32_t first_free_bucket = -1;
};

// Where a row lives: the bucket, the row's offset inside it and the bucket's
// row count.
struct IsmSlot {
    uint32_t bucket = 0;
    uint64_t offset = 0;
    uint64_t rows = 0;
    uint64_t index = 0;  // position of the bucket in the index
};

struct IsmIndex {
    // n + 1 entries: the first row of each used bucket, ascending, then the
    // row count. Checked non-decreasing when the file is opened.
    std::vector<uint64_t> start_rows;
    // The bucket of each run of rows; at most n entries (rows of a missing
    // entry are not covered). Each is below the header's nr_buckets.
    std::vector<uint32_t> bucket_numbers;

    // The bucket whose start is the last one not above `row`.
    std::optional<IsmSlot> bucket_for(uint64_t row) const;
    uint64_t row_count() const { return start_rows.empty() ? 0 : start_rows.back(); }
};

// One column's entries in one bucket: a view into the mapped bucket, valid
// while the IsmFile lives. Entries are in entry order (ascending rows in a
// sound file).
struct ColumnIndex {
    uint32_t count = 0;
    bool wide_rows = false;  // 8-byte row numbers
    bool little_endian = true;
    const uint8_t* rows = nullptr;
    const uint8_t* offsets = nullptr;

    uint64_t row(uint32_t i) const;
    uint32_t offset(uint32_t i) const;
    // The entry with the greatest row not above `rel_row` (binary search).
    std::optional<uint32_t> entry_for(uint64_t rel_row) const;
};

// A run of consecutive rows sharing one stored value.
struct IsmRun {
    uint64_t first_row = 0;
    uint64_t rows = 0;
    std::span<const uint8_t> value;  // the stored bytes, in the file's byte order
};

class IsmFile;

// Walks a column's runs of equal values over a range of rows, bucket by
// bucket in row order, without searching per row. Obtained from IsmFile::runs.
class IsmRunReader {
public:
    // The next run, or none past the last row of the range.
    IsmResult<std::optional<IsmRun>> next();

private:
    friend class IsmFile;
    IsmRunReader(const IsmFile& file, IsmColumn column, uint32_t cell_size, uint64_t row, uint64_t end)
        : file_(&file), column_(column), cell_size_(cell_size), row_(row), end_(end) {}

    const IsmFile* file_;
    IsmColumn column_;
    uint32_t cell_size_;
    uint64_t row_;
    uint64_t end_;
    // The bucket being walked (valid while row_ < bucket_end_).
    uint64_t bucket_start_ = 0;
    uint64_t bucket_end_ = 0;
    const uint8_t* bucket_ = nullptr;
    uint32_t bucket_nr_ = 0;
    uint64_t data_end_ = 0;  // the value area ends here, counted from the bucket start
    ColumnIndex entries_;
    uint32_t entry_ = 0;
};

class IsmFile {
public:
    // Maps "<dir>/table.f<seq>" and parses header and index. `big_endian` is
    // the table's byte order, which the data file uses.
    static IsmResult<IsmFile> open(const std::string& dir, uint32_t seq, bool big_endian);
    // The same over a buffer already in memory (tests, fuzzing).
    static IsmResult<IsmFile> from_buffer(Buffer buffer, bool big_endian);

    bool big_endian() const { return big_endian_; }
    const IsmHeader& header() const { return header_; }
    const IsmIndex& index() const { return index_; }
    const Buffer& buffer() const { return buffer_; }

    // The column's entries in a bucket. The index part must lie inside the
    // bucket.
    IsmResult<ColumnIndex> column_index(uint32_t bucket, uint32_t column) const;

    // One cell, as the column's scalar variant (Char reads as UChar).
    IsmResult<RecordValue> read_cell(const IsmColumn& column, uint64_t row) const;
    // Rows [first, first + count), walking the buckets in order.
    IsmResult<std::vector<RecordValue>> read_column(const IsmColumn& column, uint64_t first,
                                                    uint64_t count) const;
    // The runs of equal values of rows [first, first + count).
    IsmResult<IsmRunReader> runs(const IsmColumn& column, uint64_t first, uint64_t count) const;
    // The stored bytes of rows [first, first + count), one cell after another
    // in the file's byte order, into `out` (count × cell size bytes).
    IsmResult<void> read_raw(const IsmColumn& column, uint64_t first, uint64_t count,
                             std::span<uint8_t> out) const;

private:
    friend class IsmRunReader;
    IsmFile(Buffer buffer, bool big_endian) : buffer_(std::move(buffer)), big_endian_(big_endian) {}
    IsmResult<void> parse();
    std::span<const uint8_t> bucket_bytes(uint32_t bucket) const;
    // Decodes a stored value of the column's type.
    RecordValue decode(DataType type, const uint8_t* p) const;

    Buffer buffer_;
    bool big_endian_;
    IsmHeader header_;
    IsmIndex index_;
};

// The column's cell size, or the error that reading it through an
// IncrementalStMan gives (string, array or non-scalar type).
IsmResult<uint32_t> ism_column_cell_size(const IsmColumn& column);

// The file image of an IncrementalStMan holding the columns of `desc` at
// `positions` (the data manager's columns in order), `values[i]` being the
// values of every row of column positions[i] (each `rows` long).
// Little-endian, 32768-byte buckets. Fails for string and array columns and
// for a row too wide for one bucket.
std::expected<std::vector<uint8_t>, StorageWriteError> build_ism_data(
    const TableDesc& desc, std::span<const uint32_t> positions,
    std::span<const std::vector<RecordValue>> values, uint64_t rows);

}  // namespace orvala
