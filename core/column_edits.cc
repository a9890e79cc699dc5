#include "column_edits.h"

#include <algorithm>
#include <iterator>

#include "internal_error.h"

namespace orvala {

ArrayData slice_elements(const ArrayData& data, uint64_t start, uint64_t n) {
    return std::visit(
        [&](const auto& v) -> ArrayData {
            using V = std::decay_t<decltype(v)>;
            if (start > v.size() || n > v.size() - start) throw InternalError("slice_elements beyond the data");
            return V(v.begin() + static_cast<ptrdiff_t>(start), v.begin() + static_cast<ptrdiff_t>(start + n));
        },
        static_cast<const ArrayDataVariant&>(data));
}

uint64_t DenseRun::cell_elements() const {
    if (!array_cells) return 1;
    uint64_t n = 1;
    for (uint32_t e : cell_shape) n *= e;
    return n;
}

RecordValue DenseRun::cell(uint64_t row) const {
    uint64_t i = row - first;
    if (array_cells) {
        uint64_t k = cell_elements();
        return RecordValue(ArrayValue{cell_shape, slice_elements(elements, i * k, k)});
    }
    return std::visit(
        [&](const auto& v) -> RecordValue {
            if (i >= v.size()) throw InternalError("dense run cell beyond its elements");
            using E = typename std::decay_t<decltype(v)>::value_type;
            return RecordValue(static_cast<E>(v[i]));
        },
        static_cast<const ArrayDataVariant&>(elements));
}

bool DenseRun::same_layout(const DenseRun& other) const {
    return array_cells == other.array_cells && cell_shape == other.cell_shape &&
           elements.index() == other.elements.index();
}

void ColumnEdits::put(uint64_t row, RecordValue value, bool edited) {
    sparse_.insert_or_assign(row, BufferedCell{std::move(value), edited});
}

bool ColumnEdits::has_edited() const {
    if (!runs_.empty()) return true;
    return std::any_of(sparse_.begin(), sparse_.end(), [](const auto& e) { return e.second.edited; });
}

std::optional<RecordValue> ColumnEdits::edited_cell(uint64_t row) const {
    if (auto it = sparse_.find(row); it != sparse_.end() && it->second.edited) return it->second.value;
    auto r = std::upper_bound(runs_.begin(), runs_.end(), row,
                              [](uint64_t x, const DenseRun& run) { return x < run.first; });
    if (r != runs_.begin() && row < std::prev(r)->end()) return std::prev(r)->cell(row);
    return std::nullopt;
}

const BufferedCell* ColumnEdits::sparse_cell(uint64_t row) const {
    auto it = sparse_.find(row);
    return it == sparse_.end() ? nullptr : &it->second;
}

namespace {

// Copies the elements of `src` into `dst` from element `at` on (same kind).
void copy_into(ArrayData& dst, uint64_t at, const ArrayData& src) {
    std::visit(
        [&](auto& d) {
            using V = std::decay_t<decltype(d)>;
            const auto& s = std::get<V>(static_cast<const ArrayDataVariant&>(src));
            if (at > d.size() || s.size() > d.size() - at) throw InternalError("dense run copy beyond its elements");
            std::copy(s.begin(), s.end(), d.begin() + static_cast<ptrdiff_t>(at));
        },
        static_cast<ArrayDataVariant&>(dst));
}

// The part [lo, hi) of a run, as a run of its own.
DenseRun sub_run(const DenseRun& run, uint64_t lo, uint64_t hi) {
    uint64_t k = run.cell_elements();
    DenseRun part;
    part.first = lo;
    part.ncells = hi - lo;
    part.array_cells = run.array_cells;
    part.cell_shape = run.cell_shape;
    part.elements = slice_elements(run.elements, (lo - run.first) * k, (hi - lo) * k);
    return part;
}

}  // namespace

void ColumnEdits::cut_runs(uint64_t first, uint64_t end) {
    std::vector<DenseRun> kept;
    kept.reserve(runs_.size() + 1);
    for (auto& run : runs_) {
        if (run.end() <= first || run.first >= end) {
            kept.push_back(std::move(run));
            continue;
        }
        if (run.first < first) kept.push_back(sub_run(run, run.first, first));
        if (run.end() > end) kept.push_back(sub_run(run, end, run.end()));
    }
    runs_ = std::move(kept);
}

void ColumnEdits::put_run(DenseRun run) {
    if (run.ncells == 0) return;
    if (run.elements.size() != run.ncells * run.cell_elements()) throw InternalError("dense run of the wrong size");
    sparse_.erase(sparse_.lower_bound(run.first), sparse_.lower_bound(run.end()));
    // Inside one older run of the same layout: write over its elements.
    auto r = std::upper_bound(runs_.begin(), runs_.end(), run.first,
                              [](uint64_t x, const DenseRun& old) { return x < old.first; });
    if (r != runs_.begin()) {
        DenseRun& old = *std::prev(r);
        if (old.first <= run.first && run.end() <= old.end() && old.same_layout(run)) {
            copy_into(old.elements, (run.first - old.first) * old.cell_elements(), run.elements);
            return;
        }
    }
    cut_runs(run.first, run.end());
    auto at = std::upper_bound(runs_.begin(), runs_.end(), run.first,
                               [](uint64_t x, const DenseRun& old) { return x < old.first; });
    runs_.insert(at, std::move(run));
}

void ColumnEdits::drop_rows(std::span<const uint64_t> dropped) {
    if (dropped.empty()) return;
    // The number of dropped rows below r.
    auto below = [&](uint64_t r) {
        return static_cast<uint64_t>(std::lower_bound(dropped.begin(), dropped.end(), r) - dropped.begin());
    };
    auto is_dropped = [&](uint64_t r) { return std::binary_search(dropped.begin(), dropped.end(), r); };

    std::map<uint64_t, BufferedCell> sparse;
    for (auto& [row, cell] : sparse_) {
        if (is_dropped(row)) continue;
        sparse.emplace_hint(sparse.end(), row - below(row), std::move(cell));
    }
    sparse_ = std::move(sparse);

    std::vector<DenseRun> runs;
    for (auto& run : runs_) {
        uint64_t shift = below(run.first);
        // The dropped rows inside the run cut it into pieces.
        auto d = std::lower_bound(dropped.begin(), dropped.end(), run.first);
        if (d == dropped.end() || *d >= run.end()) {
            run.first -= shift;
            runs.push_back(std::move(run));
            continue;
        }
        uint64_t lo = run.first;
        for (; d != dropped.end() && *d < run.end(); ++d) {
            if (*d > lo) {
                DenseRun piece = sub_run(run, lo, *d);
                piece.first = lo - below(lo);
                runs.push_back(std::move(piece));
            }
            lo = *d + 1;
        }
        if (lo < run.end()) {
            DenseRun piece = sub_run(run, lo, run.end());
            piece.first = lo - below(lo);
            runs.push_back(std::move(piece));
        }
    }
    runs_ = std::move(runs);
}

}  // namespace orvala
