// An opened table directory: its decoded table.dat, the row count corrected
// from the lock file, and one open reader per data manager, every data file
// mapped when the table is opened. A Table never changes once opened; it is
// shared by std::shared_ptr<const Table> and its mappings live as long as it.
//
//   auto t = Table::open("/data/obs.ms");            // TableDatError on failure
//   auto c = (*t)->column_index("TIME");
//   auto cells = (*t)->getcol(*c, 0, (*t)->nrow());  // one RecordValue per row
//
// Cells read as RecordValues: scalars as the column's variant (Char as
// UChar), strings as String, record cells as Record, array cells as Array
// with the shape in C order (the stored extents reversed) over the elements
// in stored order.
//
// Whole numeric columns go faster through getcol_raw, which hands the
// stored bytes to a RawSink (raw_sink.h) run by run, without a value per cell.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "datafile.h"
#include "ism.h"
#include "raw_sink.h"
#include "record.h"
#include "ssm.h"
#include "table_dat.h"
#include "table_read_error.h"
#include "tsm.h"

namespace orvala {

// The absolute, lexically normalised form of `path`; a relative path is
// taken from the current directory (unchanged when that cannot be found).
// Nothing else of the file system is consulted.
std::string absolute_dir(std::string_view path);

// The row count of the last "sync" record of `dir`/table.lock: the letters
// "sync" after the big-endian u32 4 (an AipsIO type-name length), then a
// big-endian u32 version: 2 is followed by a u64 count, 1 by a u32 count;
// other versions, and records cut short by the end of the file, are
// skipped. None when the file is missing, unreadable, shorter than 4 bytes or
// holds no such record.
std::optional<uint64_t> lock_sync_nrrow(const std::string& dir);
// The same scan over the bytes of a lock file.
std::optional<uint64_t> lock_sync_nrrow_bytes(std::span<const uint8_t> bytes);

// The reader serving one column. Borrows from the Table it came from.
struct ColumnSource {
    // `index`: the column's position among the columns of its data manager
    // (columns are numbered in table order within each manager).
    struct Standard {
        size_t index = 0;
        const StandardStManFile* file = nullptr;
        const StandardStMan* settings = nullptr;
    };
    struct Incremental {
        size_t index = 0;
        const IsmFile* file = nullptr;
        // The manager's array file "table.f<N>i", when there is one (array
        // cells of an IncrementalStMan are stored there).
        const Buffer* array_file = nullptr;
    };
    struct Tiled {
        size_t index = 0;
        const TsmFile* file = nullptr;
    };

    std::variant<Standard, Incremental, Tiled> v;
};

class Table {
public:
    // Opens the table directory at `path`: reads and decodes table.dat
    // (failures: Io with the system's text, or the decoding error), takes the
    // row count from the lock file when it holds one that is not 0, and
    // opens every data manager's files. An unknown data-manager type or a
    // reader that fails gives Storage ("unsupported data-manager type T", or
    // the reader's message).
    static std::expected<std::shared_ptr<const Table>, TableDatError> open(std::string_view path);

    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    const std::string& dir() const { return dir_; }
    // The directory as text; empty when it is not valid UTF-8.
    std::string name() const;
    uint64_t nrow() const { return nrow_; }
    const TableDat& dat() const { return dat_; }
    const TableDesc& desc() const { return dat_.desc; }
    const ColumnSet& column_set() const { return dat_.column_set; }
    bool big_endian() const { return dat_.big_endian; }
    size_t ncolumns() const { return dat_.desc.columns.size(); }
    std::vector<std::string> colnames() const;
    std::optional<size_t> column_index(std::string_view name) const;
    // The type name of the data manager serving the column: the column
    // set's entry for its sequence number, else the description's.
    const std::string& data_manager_type(size_t column) const;

    // Which reader serves the column, as NotReadable when none does. A
    // column index beyond the description is an InternalError.
    TableReadResult<ColumnSource> column_source(size_t column) const;

    // One stored cell. Rows at or beyond nrow() give RowOutOfRange; a tiled
    // row that no cube stores reads as zeros of the column's fixed shape
    // (without one: an empty array of the column's dimensionality).
    TableReadResult<RecordValue> read_cell_from(const ColumnSource& source, const ColumnDesc& desc,
                                                uint64_t row) const;
    TableReadResult<RecordValue> read_cell(size_t column, uint64_t row) const;
    // Rows first .. first + count - 1, which must lie below nrow()
    // (RowOutOfRange names the first row that does not). A read of 512 rows
    // or more releases the mapped pages of the table afterwards.
    TableReadResult<std::vector<RecordValue>> getcol(size_t column, uint64_t first, uint64_t count) const;
    // The part of an array cell between two inclusive corners (C order); a
    // scalar cell comes back whole.
    TableReadResult<RecordValue> getcellslice(size_t column, uint64_t row, std::span<const int64_t> start,
                                              std::span<const int64_t> end) const;

    // Whether getcol_raw can serve the column: element type Bool, UChar,
    // Short, UShort, Int, UInt, Float, Double, Complex, DComplex or Int64;
    // array columns with a fixed shape of at least one axis; served by a
    // StandardStMan (not Bool), a tiled manager (arrays only) or an
    // IncrementalStMan (scalars only). Tiled Bool columns are listed but go
    // through getcol_raw_bits.
    bool raw_column_supported(size_t column) const;
    // The cell shape in C order of a raw-readable column ({} for scalars).
    std::vector<uint64_t> raw_cell_shape(size_t column) const;
    // Bytes of one element in the raw form (Bool 1).
    static uint32_t raw_element_bytes(DataType element);
    // The swap unit a BufferSink needs for the column (raw_sink.h).
    size_t raw_swap_unit(size_t column) const;

    // The zero bytes of one never-stored tiled cell of the column: the fixed
    // shape's element count (0 without one) packed 8 per byte for Bool, else
    // times the element size. Types without tiled storage give the tiled
    // reader's unsupported-type error; a cell too large to hold in memory, a
    // Tsm message.
    TableReadResult<std::vector<uint8_t>> tsm_default_bytes(const ColumnDesc& desc) const;

    // The stored cells of rows first .. first + count - 1 into `sink`, in the
    // file's byte order, run by run (RawSink). Columns that the raw path
    // cannot serve give RawUnsupported; rows beyond nrow() RowOutOfRange.
    // Mapped pages are released every 4096 rows and at the end. After a
    // failure the sink holds a partial result that the caller drops.
    TableReadResult<void> getcol_raw(size_t column, uint64_t first, uint64_t count, RawSink& sink) const;
    // Tiled Bool columns: each stored bit as one byte 0 or 1 in `out`,
    // count x cell elements bytes (checked against `capacity`).
    TableReadResult<void> getcol_raw_bits(size_t column, uint64_t first, uint64_t count, uint8_t* out,
                                          size_t capacity) const;

    // Releases the mapped pages of every data file (they are read again
    // from the file when touched).
    void drop_pages() const;

private:
    Table() = default;

    struct IsmManager {
        uint32_t seq = 0;
        IsmFile file;
        std::optional<Buffer> array_file;
    };

    TableReadResult<void> check_rows(size_t column, uint64_t first, uint64_t count) const;
    TableReadResult<void> raw_standard(size_t column, const ColumnSource::Standard& src, uint64_t first,
                                       uint64_t count, RawSink& sink) const;
    TableReadResult<void> raw_incremental(size_t column, const ColumnSource::Incremental& src, uint64_t first,
                                          uint64_t count, RawSink& sink) const;
    TableReadResult<void> raw_tiled(size_t column, const ColumnSource::Tiled& src, uint64_t first, uint64_t count,
                                    RawSink& sink) const;

    std::string dir_;
    TableDat dat_;
    uint64_t nrow_ = 0;
    std::vector<std::pair<uint32_t, StandardStManFile>> ssm_;
    std::vector<IsmManager> ism_;
    std::vector<std::pair<uint32_t, TsmFile>> tsm_;
};

// The part of `array` (C-order shape d) between the inclusive corners
// `start` and `end`: both need one entry per axis with
// 0 <= start[i] <= end[i] < d[i], else SliceOutOfShape. The result has the
// extents end[i] - start[i] + 1 and `array`'s element type.
TableReadResult<ArrayValue> slice_array_value(const ArrayValue& array, std::span<const int64_t> start,
                                              std::span<const int64_t> end);

}  // namespace orvala
