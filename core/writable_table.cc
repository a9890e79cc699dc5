// The edits of a WritableTable; reading and writing stored data is in the
// flush files.
#include "writable_table.h"

#include <algorithm>
#include <cstring>

#include "internal_error.h"
#include "relativize.h"
#include "table.h"

namespace orvala {

WritableTable WritableTable::create(std::string_view path, TableDesc desc) {
    WritableTable t;
    t.dir_ = absolute_dir(path);
    size_t n = desc.columns.size();
    t.desc_ = std::move(desc);
    t.cells_.resize(n);
    t.dirty_cols_.assign(n, false);
    return t;
}

bool WritableTable::any_dirty() const {
    return std::find(dirty_cols_.begin(), dirty_cols_.end(), true) != dirty_cols_.end();
}

const ColumnEdits& WritableTable::edits(size_t col) const {
    if (col >= cells_.size()) throw InternalError("WritableTable::edits: column index beyond the columns");
    return cells_[col];
}

WriteResult<void> WritableTable::check_cell(size_t col, uint64_t row) const {
    if (col >= cells_.size()) {
        std::string name = col < desc_.columns.size() ? desc_.columns[col].name : std::string();
        return std::unexpected(WriteTableError::NoSuchColumn{std::move(name)});
    }
    if (row >= nrow_) return std::unexpected(WriteTableError::RowOutOfRange{row, nrow_});
    return {};
}

WriteResult<void> WritableTable::putcell(size_t col, uint64_t row, RecordValue value) {
    if (auto ok = check_cell(col, row); !ok) return std::unexpected(std::move(ok.error()));
    cells_[col].put(row, std::move(value));
    dirty_cols_[col] = true;
    return {};
}

WriteResult<void> WritableTable::put_cached(size_t col, uint64_t row, RecordValue value) {
    if (auto ok = check_cell(col, row); !ok) return std::unexpected(std::move(ok.error()));
    cells_[col].put(row, std::move(value), /*edited=*/false);
    return {};
}

WriteResult<void> WritableTable::putcol(size_t col, uint64_t first, std::vector<RecordValue> values) {
    for (size_t i = 0; i < values.size(); ++i) {
        if (first + i < first) return std::unexpected(WriteTableError::RowOutOfRange{UINT64_MAX, nrow_});
        if (auto ok = putcell(col, first + i, std::move(values[i])); !ok) return std::unexpected(std::move(ok.error()));
    }
    return {};
}

WriteResult<void> WritableTable::putcol_dense(size_t col, uint64_t first, uint64_t ncells, ArrayData elements,
                                              std::vector<uint32_t> cell_shape) {
    if (ncells == 0) return {};
    if (auto ok = check_cell(col, first); !ok) return std::unexpected(std::move(ok.error()));
    DenseRun run;
    run.first = first;
    run.ncells = ncells;
    run.array_cells = desc_.columns[col].kind == ColumnKind::Array;
    if (!run.array_cells && !cell_shape.empty())
        throw InternalError("putcol_dense: a cell shape for a column of scalar cells");
    run.cell_shape = std::move(cell_shape);
    uint64_t k = run.cell_elements();
    bool sized = k == 0 ? elements.size() == 0 : elements.size() % k == 0 && elements.size() / k == ncells;
    if (!sized) throw InternalError("putcol_dense: element count does not match the cells");
    run.elements = std::move(elements);
    // Cells at or beyond nrow are refused as putcol refuses them.
    uint64_t fit = std::min(ncells, nrow_ - first);
    if (fit < ncells) {
        run.elements = slice_elements(run.elements, 0, fit * k);
        run.ncells = fit;
    }
    cells_[col].put_run(std::move(run));
    dirty_cols_[col] = true;
    if (fit < ncells) return std::unexpected(WriteTableError::RowOutOfRange{first + fit, nrow_});
    return {};
}

void WritableTable::putkeyword(std::string_view name, RecordValue value) {
    desc_.keywords.set(name, relativize_subtables(std::move(value), &dir_));
    keywords_changed_ = true;
}

void WritableTable::removekeyword(std::string_view name) {
    desc_.keywords.remove(name);
    keywords_changed_ = true;
}

WriteResult<void> WritableTable::putcolkeyword(size_t col, std::string_view name, RecordValue value) {
    if (col >= desc_.columns.size()) return std::unexpected(WriteTableError::NoSuchColumn{""});
    desc_.columns[col].keywords.set(name, relativize_subtables(std::move(value), &dir_));
    keywords_changed_ = true;
    return {};
}

WriteResult<void> WritableTable::removecolkeyword(size_t col, std::string_view name) {
    if (col >= desc_.columns.size()) return std::unexpected(WriteTableError::NoSuchColumn{""});
    desc_.columns[col].keywords.remove(name);
    keywords_changed_ = true;
    return {};
}

void WritableTable::addcol(ColumnDesc column) {
    desc_.columns.push_back(std::move(column));
    cells_.emplace_back();
    dirty_cols_.push_back(false);
}

void WritableTable::removecol(size_t col) {
    if (col >= desc_.columns.size()) return;
    desc_.columns.erase(desc_.columns.begin() + static_cast<ptrdiff_t>(col));
    if (col < cells_.size()) cells_.erase(cells_.begin() + static_cast<ptrdiff_t>(col));
    if (col < dirty_cols_.size()) dirty_cols_.erase(dirty_cols_.begin() + static_cast<ptrdiff_t>(col));
}

WriteResult<void> WritableTable::renamecol(std::string_view old_name, std::string_view new_name) {
    for (auto& column : desc_.columns) {
        if (column.name == old_name) {
            column.name = std::string(new_name);
            return {};
        }
    }
    return std::unexpected(WriteTableError::NoSuchColumn{std::string(old_name)});
}

void WritableTable::drop_rows(std::vector<uint64_t> rows) {
    std::erase_if(rows, [&](uint64_t r) { return r >= nrow_; });
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (rows.empty()) return;
    for (auto& column : cells_) column.drop_rows(rows);
    nrow_ -= rows.size();
}

// ---- merged reads ----

std::optional<RecordValue> WritableTable::edited_cell(size_t col, uint64_t row) const {
    if (col >= cells_.size()) return std::nullopt;
    return cells_[col].edited_cell(row);
}

std::optional<RecordValue> WritableTable::cached_cell(size_t col, uint64_t row) const {
    if (col >= cells_.size()) return std::nullopt;
    const BufferedCell* cell = cells_[col].sparse_cell(row);
    if (!cell || cell->edited) return std::nullopt;
    return cell->value;
}

void WritableTable::overlay(size_t col, uint64_t first, std::vector<RecordValue>& cells) const {
    if (col >= cells_.size() || cells.empty()) return;
    cells_[col].for_each_edited(first, first + cells.size(),
                                [&](const EditedCell& e) { cells[e.row - first] = e.get(); });
}

namespace {

// Bytes of one element of `kind` in a raw buffer (Bool one byte); 0 for
// strings, which have no raw form.
size_t raw_element_size(ArrayData::Kind kind) {
    switch (kind) {
        case ArrayData::Kind::Bool:
        case ArrayData::Kind::UChar: return 1;
        case ArrayData::Kind::Short:
        case ArrayData::Kind::UShort: return 2;
        case ArrayData::Kind::Int:
        case ArrayData::Kind::UInt:
        case ArrayData::Kind::Float: return 4;
        case ArrayData::Kind::Int64:
        case ArrayData::Kind::Double:
        case ArrayData::Kind::Complex: return 8;
        case ArrayData::Kind::DComplex: return 16;
        case ArrayData::Kind::String: return 0;
    }
    return 0;
}

// The element kind that a column of `type` holds in raw buffers.
std::optional<ArrayData::Kind> raw_kind(DataType type) {
    auto empty = ArrayData::empty_of(element_type(type));
    if (!empty || empty->kind() == ArrayData::Kind::String) return std::nullopt;
    return empty->kind();
}

// The kind of a scalar value as an element, if it has one.
std::optional<ArrayData::Kind> scalar_kind(const RecordValue& v) {
    switch (v.kind()) {
        case RecordValue::Kind::Bool: return ArrayData::Kind::Bool;
        case RecordValue::Kind::UChar: return ArrayData::Kind::UChar;
        case RecordValue::Kind::Short: return ArrayData::Kind::Short;
        case RecordValue::Kind::UShort: return ArrayData::Kind::UShort;
        case RecordValue::Kind::Int: return ArrayData::Kind::Int;
        case RecordValue::Kind::UInt: return ArrayData::Kind::UInt;
        case RecordValue::Kind::Int64: return ArrayData::Kind::Int64;
        case RecordValue::Kind::Float: return ArrayData::Kind::Float;
        case RecordValue::Kind::Double: return ArrayData::Kind::Double;
        case RecordValue::Kind::Complex: return ArrayData::Kind::Complex;
        case RecordValue::Kind::DComplex: return ArrayData::Kind::DComplex;
        default: return std::nullopt;
    }
}

// Writes elements [start, start + n) of `data` at `dst` (machine order;
// Bool as bytes 0/1).
void write_raw(const ArrayData& data, uint64_t start, uint64_t n, uint8_t* dst) {
    std::visit(
        [&](const auto& v) {
            using E = typename std::decay_t<decltype(v)>::value_type;
            if constexpr (std::is_same_v<E, bool>) {
                for (uint64_t i = 0; i < n; ++i) dst[i] = v[start + i] ? 1 : 0;
            } else if constexpr (!std::is_same_v<E, std::string>) {
                std::memcpy(dst, v.data() + start, n * sizeof(E));
            }
        },
        static_cast<const ArrayDataVariant&>(data));
}

void write_raw_scalar(const RecordValue& v, uint8_t* dst) {
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, bool>) {
                dst[0] = x ? 1 : 0;
            } else if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, std::complex<float>> ||
                                 std::is_same_v<T, std::complex<double>>) {
                std::memcpy(dst, &x, sizeof x);
            }
        },
        static_cast<const RecordValueVariant&>(v));
}

}  // namespace

bool WritableTable::overlay_raw(size_t col, uint64_t first, uint64_t count, uint8_t* dst, size_t cell_bytes) const {
    if (col >= cells_.size() || count == 0) return true;
    const ColumnEdits& edits = cells_[col];
    uint64_t end = first + count;
    auto kind = raw_kind(desc_.columns[col].data_type);
    if (!kind || cell_bytes % raw_element_size(*kind) != 0) {
        bool any = false;
        edits.for_each_edited(first, end, [&](const EditedCell&) { any = true; });
        return !any;
    }
    uint64_t per_cell = cell_bytes / raw_element_size(*kind);

    // Every edited cell in range must fit as bytes before anything is written.
    auto run_fits = [&](const DenseRun& run) {
        return run.elements.kind() == *kind && run.cell_elements() == per_cell;
    };
    auto sparse_fits = [&](const RecordValue& v) {
        if (auto* a = std::get_if<ArrayValue>(&v)) return a->data.kind() == *kind && a->data.size() == per_cell;
        return per_cell == 1 && scalar_kind(v) == kind;
    };
    for (const auto& run : edits.runs())
        if (run.first < end && run.end() > first && !run_fits(run)) return false;
    for (auto it = edits.sparse().lower_bound(first); it != edits.sparse().end() && it->first < end; ++it)
        if (it->second.edited && !sparse_fits(it->second.value)) return false;

    // Runs first, then sparse cells (which are newer than any run beneath).
    for (const auto& run : edits.runs()) {
        uint64_t lo = std::max(first, run.first), hi = std::min(end, run.end());
        if (lo >= hi) continue;
        write_raw(run.elements, (lo - run.first) * per_cell, (hi - lo) * per_cell, dst + (lo - first) * cell_bytes);
    }
    for (auto it = edits.sparse().lower_bound(first); it != edits.sparse().end() && it->first < end; ++it) {
        if (!it->second.edited) continue;
        uint8_t* at = dst + (it->first - first) * cell_bytes;
        if (auto* a = std::get_if<ArrayValue>(&it->second.value)) {
            write_raw(a->data, 0, per_cell, at);
        } else {
            write_raw_scalar(it->second.value, at);
        }
    }
    return true;
}

}  // namespace orvala
