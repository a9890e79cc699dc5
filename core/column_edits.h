// The buffered cells of one column of a WritableTable.
//
// Cells are kept two ways:
//   - sparse cells: an ordered map from row to BufferedCell, for cells put
//     one at a time;
//   - dense runs: consecutive rows put as one block of typed elements (one
//     element per cell for scalar columns, the cell's elements in C order
//     for arrays), so that a whole-column put of n numbers costs about the
//     numbers' own size, not a map node and a value object per cell.
// Later writes win: a run erases the sparse cells of its rows and cuts the
// older runs it covers; a sparse cell put inside a run overrides that row of
// the run (an edited sparse cell is always newer than the run beneath it).
// Runs are kept sorted by first row and never overlap.
//
// A sparse cell with `edited` clear is a cached copy of a stored value: it
// never counts as a change; readers prefer stored data over it and the
// flush ignores it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "record.h"

namespace orvala {

struct BufferedCell {
    RecordValue value;
    bool edited = true;
};

struct DenseRun {
    uint64_t first = 0;   // row of the first cell
    uint64_t ncells = 0;
    // Array cells: each cell is an ArrayValue of `cell_shape` (C order).
    // Scalar cells: each cell is one element, `cell_shape` is empty.
    bool array_cells = false;
    std::vector<uint32_t> cell_shape;
    ArrayData elements;   // ncells * cell_elements(), cell after cell

    uint64_t end() const { return first + ncells; }
    uint64_t cell_elements() const;
    // The cell at `row` (first <= row < end()) as a value.
    RecordValue cell(uint64_t row) const;
    // Same cells, elements and kind of cell.
    bool same_layout(const DenseRun& other) const;
};

// One edited cell met in row order: a sparse value, or a cell of a run.
struct EditedCell {
    uint64_t row = 0;
    const RecordValue* value = nullptr;  // a sparse cell, else null
    const DenseRun* run = nullptr;       // a run cell, else null

    RecordValue get() const { return value ? *value : run->cell(row); }
};

class ColumnEdits {
public:
    void put(uint64_t row, RecordValue value, bool edited = true);
    // Takes over a run (ncells > 0, elements sized to match: the caller
    // checks). Erases the sparse cells it covers and cuts older runs.
    void put_run(DenseRun run);

    bool empty() const { return sparse_.empty() && runs_.empty(); }
    // A cell that counts as a change: an edited sparse cell or a run.
    bool has_edited() const;
    void clear() {
        sparse_.clear();
        runs_.clear();
    }

    // The edited value at `row`, if any.
    std::optional<RecordValue> edited_cell(uint64_t row) const;
    // The sparse cell at `row`, edited or not.
    const BufferedCell* sparse_cell(uint64_t row) const;

    // Calls f(const EditedCell&) for every edited cell with first <= row <
    // end, in row order.
    template <class F>
    void for_each_edited(uint64_t first, uint64_t end, F&& f) const;
    template <class F>
    void for_each_edited(F&& f) const {
        for_each_edited(0, UINT64_MAX, f);
    }

    // Removes the rows `dropped` (ascending, no duplicates) and renumbers the
    // rows after each: row r becomes r minus the dropped rows below it.
    void drop_rows(std::span<const uint64_t> dropped);

    const std::map<uint64_t, BufferedCell>& sparse() const { return sparse_; }
    const std::vector<DenseRun>& runs() const { return runs_; }

private:
    // Removes [first, end) from the runs, cutting those that overlap it.
    void cut_runs(uint64_t first, uint64_t end);

    std::map<uint64_t, BufferedCell> sparse_;
    std::vector<DenseRun> runs_;
};

// The elements [start, start + n) of `data`.
ArrayData slice_elements(const ArrayData& data, uint64_t start, uint64_t n);

template <class F>
void ColumnEdits::for_each_edited(uint64_t first, uint64_t end, F&& f) const {
    auto s = sparse_.lower_bound(first);
    auto s_end = sparse_.lower_bound(end);
    auto next_sparse = [&] {
        while (s != s_end && !s->second.edited) ++s;
    };
    next_sparse();
    // The first run that ends after `first`.
    auto r = std::lower_bound(runs_.begin(), runs_.end(), first,
                              [](const DenseRun& run, uint64_t row) { return run.end() <= row; });
    for (; r != runs_.end() && r->first < end; ++r) {
        uint64_t lo = std::max(first, r->first);
        uint64_t hi = std::min(end, r->end());
        for (uint64_t row = lo; row < hi; ++row) {
            while (s != s_end && s->first < row) {
                f(EditedCell{s->first, &s->second.value, nullptr});
                ++s;
                next_sparse();
            }
            if (s != s_end && s->first == row) {
                f(EditedCell{row, &s->second.value, nullptr});
                ++s;
                next_sparse();
            } else {
                f(EditedCell{row, nullptr, &*r});
            }
        }
    }
    for (; s != s_end; ++s, next_sparse()) f(EditedCell{s->first, &s->second.value, nullptr});
}

}  // namespace orvala
