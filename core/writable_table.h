// WritableTable: the in-memory, editable form of a table. It holds the
// description as edited, the row count as edited, and the cells written
// since the last flush, per column (column_edits.h: sparse cells and dense
// runs). Nothing here touches the disk except materialize_col_from_disk,
// which reads a stored column, and flush, which writes the edits
// (flush.cc: it patches the touched data files in place or rewrites the
// whole table, always crash-safely, see file_commit.h).
//
//   auto wt = WritableTable::create("/data/t.ms", desc);
//   wt.add_rows(10);
//   wt.putcell(0, 3, RecordValue(2.5));
//   auto dir = wt.flush();
//
// Column indexes are positions in desc().columns. No type or shape check is
// made on values put: the caller checks them against the column, and the
// flush writes what it finds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "column_edits.h"
#include "record.h"
#include "tabledesc.h"
#include "write_table_error.h"

namespace orvala {

struct TableDat;
class Table;

class WritableTable {
public:
    // An empty table at absolute_dir(path): the description taken over, no
    // rows, no cells. Reads and writes no file.
    static WritableTable create(std::string_view path, TableDesc desc);

    const std::string& dir() const { return dir_; }
    const TableDesc& desc() const { return desc_; }
    uint64_t nrow() const { return nrow_; }
    void add_rows(uint64_t n) { nrow_ += n; }
    // A table keyword or a column keyword was set or removed; never cleared,
    // so every later flush is a full rewrite.
    bool keywords_changed() const { return keywords_changed_; }
    // Some column received a cell since the last flush.
    bool any_dirty() const;
    bool column_dirty(size_t col) const { return col < dirty_cols_.size() && dirty_cols_[col]; }
    // The buffered cells of a column (InternalError beyond the columns).
    const ColumnEdits& edits(size_t col) const;

    // ---- cells ----

    // NoSuchColumn (empty name) for a column index beyond the columns,
    // RowOutOfRange for row >= nrow(); a failed put buffers nothing.
    WriteResult<void> putcell(size_t col, uint64_t row, RecordValue value);
    // putcell on consecutive rows from `first`; the first failure ends it,
    // the cells before it stay buffered.
    WriteResult<void> putcol(size_t col, uint64_t first, std::vector<RecordValue> values);
    // `ncells` cells of consecutive rows from `first` as one dense run:
    // `elements` holds each cell's elements (C order) one cell after another;
    // `cell_shape` is the C-order cell shape of an array column and empty for
    // a scalar column (one element per cell). Rows at or beyond nrow() are
    // refused like putcol refuses them: the cells below nrow() are buffered,
    // then RowOutOfRange for the first row that is not. An element count
    // other than ncells times the cell's elements is an InternalError.
    WriteResult<void> putcol_dense(size_t col, uint64_t first, uint64_t ncells, ArrayData elements,
                                   std::vector<uint32_t> cell_shape);
    // A cached copy of a stored value (edited clear): never flushed, and
    // merged reads prefer the stored cell over it. Same checks as putcell;
    // does not make the column dirty.
    WriteResult<void> put_cached(size_t col, uint64_t row, RecordValue value);

    // ---- keywords ----

    // relativize_subtables(value, dir) is applied to the values set.
    void putkeyword(std::string_view name, RecordValue value);
    void removekeyword(std::string_view name);
    WriteResult<void> putcolkeyword(size_t col, std::string_view name, RecordValue value);
    // NoSuchColumn (empty name) beyond the columns.
    WriteResult<void> removecolkeyword(size_t col, std::string_view name);

    // ---- columns and rows ----

    // Appends a column without cells: every row reads its default value.
    void addcol(ColumnDesc column);
    // Drops the column and its cells; later columns move down by one. An
    // index beyond the columns is ignored.
    void removecol(size_t col);
    // Renames the first column named `old_name`; its cells stay with it.
    WriteResult<void> renamecol(std::string_view old_name, std::string_view new_name);
    // Removes the listed rows (those below nrow(), duplicates once) from the
    // buffered cells and the row count; later buffered rows move down. Rows
    // that live only on disk are not renumbered: callers that delete rows
    // load every cell first.
    void drop_rows(std::vector<uint64_t> rows);

    // ---- merged reads ----

    // The edited value at (col, row): an edited sparse cell or a run cell.
    std::optional<RecordValue> edited_cell(size_t col, uint64_t row) const;
    // A cached (unedited) copy at (col, row).
    std::optional<RecordValue> cached_cell(size_t col, uint64_t row) const;
    // cells[i] (row first + i) is replaced by each edited cell in range.
    void overlay(size_t col, uint64_t first, std::vector<RecordValue>& cells) const;
    // The same over `count` cells of `cell_bytes` bytes each at `dst`, in the
    // machine's byte order, elements of the column's type (Bool one byte 0
    // or 1). Returns false, writing nothing, when an edited cell in range is
    // of another type or size; the caller then uses overlay.
    bool overlay_raw(size_t col, uint64_t first, uint64_t count, uint8_t* dst, size_t cell_bytes) const;

    // Rows 0 .. n-1 of the stored column `col` (Table::open on dir(), then
    // getcol) with this column's edited cells laid over them. Failures are
    // Storage "DIR: MESSAGE".
    WriteResult<std::vector<RecordValue>> materialize_col_from_disk(size_t col, uint64_t n) const;

    // ---- flushing (flush.cc) ----

    // Writes the edits to dir() and returns dir(). On success every column
    // is clean and the cells of every data manager written are dropped
    // (all of them after a full rewrite). On failure nothing is dropped and
    // the table on disk is the one before the flush, or, when the failure
    // came after the commit point, the new one once the pending commit is
    // completed (file_commit.h).
    WriteResult<std::string> flush();

    // One value list per column, nrow() long: stored cells (from the table
    // opened at dir(), if any), defaults, and the edited cells over them.
    WriteResult<std::vector<std::vector<RecordValue>>> materialize_all() const;

private:
    WritableTable() = default;
    WriteResult<std::string> flush_rewrite();
    WriteResult<void> check_cell(size_t col, uint64_t row) const;

    std::string dir_;
    TableDesc desc_;
    std::vector<ColumnEdits> cells_;
    std::vector<bool> dirty_cols_;
    uint64_t nrow_ = 0;
    bool keywords_changed_ = false;
};

}  // namespace orvala
