// The cell methods of `table`: reading cells, runs of rows and slices (with
// the merged view of buffered edits for writable handles), and writing them.
#include <bit>
#include <cstring>

#include "args.h"
#include "convert.h"
#include "errors.h"
#include "table_object.h"
#include "tabledesc_dict.h"

namespace orvala::py {
namespace {

constexpr bool kMachineBigEndian = std::endian::native == std::endian::big;

struct RowRange {
    uint64_t first = 0;
    uint64_t count = 0;
};

// startrow < 0 counts from the end (clamped at 0); nrow < 0 reads to the end.
RowRange row_args(int64_t startrow, int64_t nrow, uint64_t n) {
    RowRange r;
    if (startrow >= 0) {
        r.first = static_cast<uint64_t>(startrow);
    } else {
        int64_t from_end = static_cast<int64_t>(n) + startrow;
        r.first = from_end < 0 ? 0 : static_cast<uint64_t>(from_end);
    }
    if (nrow >= 0) {
        r.count = static_cast<uint64_t>(nrow);
    } else {
        r.count = r.first > n ? 0 : n - r.first;
    }
    return r;
}

std::string shape_text(std::span<const uint32_t> shape) {
    std::string s = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) s += ", ";
        s += std::to_string(shape[i]);
    }
    return s + "]";
}

// The column of the stored table that holds column `c` of the edited
// description: the same index when name and type agree, else the first
// column with that name and type.
std::optional<size_t> disk_col_index(const WriteData& wd, size_t c) {
    const ColumnDesc& col = wd.wt.desc().columns[c];
    const auto& stored = wd.table->desc().columns;
    if (c < stored.size() && stored[c].name == col.name && stored[c].data_type == col.data_type) return c;
    for (size_t i = 0; i < stored.size(); ++i) {
        if (stored[i].name == col.name && stored[i].data_type == col.data_type) return i;
    }
    return std::nullopt;
}

std::optional<RecordValue> default_or_error(const ColumnDesc& col) {
    auto d = default_cell_value(col);
    if (!d) {
        raise_runtime("column " + col.name + " has no default value (fill every cell of array columns)");
        return std::nullopt;
    }
    return d;
}

std::optional<RecordValue> merged_cell(const WriteData& wd, size_t c, uint64_t row) {
    if (auto e = wd.wt.edited_cell(c, row)) return e;
    if (row < wd.table->nrow()) {
        if (auto dc = disk_col_index(wd, c)) {
            auto v = wd.table->read_cell(*dc, row);
            if (!v) {
                raise_core_error(v.error());
                return std::nullopt;
            }
            return std::move(*v);
        }
    }
    if (auto cached = wd.wt.cached_cell(c, row)) return cached;
    return default_or_error(wd.wt.desc().columns[c]);
}

bool check_row(uint64_t row, uint64_t n) {
    if (row < n) return true;
    raise_value_error("row " + std::to_string(row) + " is out of range (table has " + std::to_string(n) + " rows)");
    return false;
}

bool check_range(uint64_t first, uint64_t count, uint64_t n) {
    if (first <= n && count <= n - first) return true;
    raise_value_error("row range " + std::to_string(first) + ".." + std::to_string(first + count) +
                      " is outside the table (" + std::to_string(n) + " rows)");
    return false;
}

std::optional<RecordValue> read_cell(Access& acc, size_t c, uint64_t row) {
    if (!check_row(row, acc.nrows())) return std::nullopt;
    if (acc.writable_inner()) return merged_cell(acc.write(), c, row);
    auto v = acc.stored().read_cell(c, row);
    if (!v) {
        raise_core_error(v.error());
        return std::nullopt;
    }
    return std::move(*v);
}

std::optional<std::vector<RecordValue>> read_col(Access& acc, size_t c, uint64_t first, uint64_t count) {
    if (!acc.writable_inner()) {
        auto cells = acc.stored().getcol(c, first, count);
        if (!cells) {
            raise_core_error(cells.error());
            return std::nullopt;
        }
        return std::move(*cells);
    }
    const WriteData& wd = acc.write();
    if (!check_range(first, count, wd.wt.nrow())) return std::nullopt;
    std::vector<RecordValue> cells;
    cells.reserve(count);
    uint64_t stored_end = std::min(first + count, wd.table->nrow());
    auto dc = disk_col_index(wd, c);
    if (dc && stored_end > first) {
        auto stored = wd.table->getcol(*dc, first, stored_end - first);
        if (!stored) {
            raise_core_error(stored.error());
            return std::nullopt;
        }
        cells = std::move(*stored);
    }
    std::optional<RecordValue> fallback;
    for (uint64_t row = first + cells.size(); row < first + count; ++row) {
        if (auto cached = wd.wt.cached_cell(c, row)) {
            cells.push_back(std::move(*cached));
            continue;
        }
        if (!fallback) {
            fallback = default_or_error(wd.wt.desc().columns[c]);
            if (!fallback) return std::nullopt;
        }
        cells.push_back(*fallback);
    }
    wd.wt.overlay(c, first, cells);
    return cells;
}

// ---- the raw path: stored bytes straight into a NumPy buffer ----

size_t swap_unit_of(int npy_type, size_t itemsize) {
    if (npy_type == NPY_COMPLEX64 || npy_type == NPY_COMPLEX128) return itemsize / 2;
    return itemsize;
}

enum class RawResult { Done, NotHandled, Failed };

// Fills `array` (C-contiguous, `count` rows of the column's raw cell shape
// and element type) with stored rows [first, first+count) of column `c`.
RawResult fill_raw(const Table& table, size_t c, uint64_t first, uint64_t count, PyArrayObject* array) {
    auto* data = static_cast<uint8_t*>(PyArray_DATA(array));
    size_t capacity = static_cast<size_t>(PyArray_NBYTES(array));
    const ColumnDesc& col = table.desc().columns[c];
    int npy_type = npy_type_of(col.data_type);
    size_t itemsize = static_cast<size_t>(PyArray_ITEMSIZE(array));
    size_t cell_elements = 1;
    for (uint64_t e : table.raw_cell_shape(c)) cell_elements *= e;
    if (count == 0) return RawResult::Done;
    if (col.data_type == DataType::Bool) {
        auto r = table.getcol_raw_bits(c, first, count, data, capacity);
        if (r) return RawResult::Done;
        if (std::holds_alternative<TableReadError::RawUnsupported>(r.error().v)) return RawResult::NotHandled;
        raise_core_error(r.error());
        return RawResult::Failed;
    }
    bool swap = table.big_endian() != kMachineBigEndian;
    BufferSink sink(data, capacity, cell_elements * itemsize, swap ? swap_unit_of(npy_type, itemsize) : 0);
    auto r = table.getcol_raw(c, first, count, sink);
    if (r) return RawResult::Done;
    if (std::holds_alternative<TableReadError::RawUnsupported>(r.error().v)) return RawResult::NotHandled;
    raise_core_error(r.error());
    return RawResult::Failed;
}

PyObject* new_column_array(int npy_type, uint64_t count, std::span<const uint64_t> cell_shape) {
    std::vector<npy_intp> dims{static_cast<npy_intp>(count)};
    for (uint64_t e : cell_shape) dims.push_back(static_cast<npy_intp>(e));
    return PyArray_ZEROS(static_cast<int>(dims.size()), dims.data(), npy_type, 0);
}

bool is_zero_default(const ColumnDesc& col) {
    if (col.kind != ColumnKind::Scalar) return true;
    return col.default_value == zero_value(col.data_type);
}

// The generic path's result type for UChar scalar columns is uint16.
PyObject* as_generic_dtype(PyObject* array, const ColumnDesc& col) {
    if (array == nullptr || col.kind != ColumnKind::Scalar || col.data_type != DataType::UChar) return array;
    PyRef a = PyRef::steal(array);
    return PyObject_CallMethod(a.get(), "astype", "s", "uint16");
}

// getcol by copying stored bytes; nullptr with no error set when the raw
// path does not serve this read.
PyObject* getcol_fast(Access& acc, size_t c, uint64_t first, uint64_t count) {
    const Table& table = acc.stored();
    if (!acc.writable_inner()) {
        if (count == 0 || first + count > table.nrow() || !table.raw_column_supported(c)) return nullptr;
        int npy_type = npy_type_of(table.desc().columns[c].data_type);
        PyRef array = PyRef::steal(new_column_array(npy_type, count, table.raw_cell_shape(c)));
        if (!array) return nullptr;
        switch (fill_raw(table, c, first, count, reinterpret_cast<PyArrayObject*>(array.get()))) {
            case RawResult::Done: return array.release();
            case RawResult::NotHandled: return nullptr;
            case RawResult::Failed: return nullptr;
        }
        return nullptr;
    }
    // Writable: stored rows through the raw path, then the edits laid over
    // them; the result equals the cell-by-cell path's.
    const WriteData& wd = acc.write();
    if (count == 0 || first + count > wd.wt.nrow()) return nullptr;
    auto dc = disk_col_index(wd, c);
    const ColumnDesc& col = wd.wt.desc().columns[c];
    if (!dc || !table.raw_column_supported(*dc)) return nullptr;
    const ColumnDesc& stored_col = table.desc().columns[*dc];
    if (stored_col.kind != col.kind || stored_col.shape != col.shape || !is_zero_default(col)) return nullptr;
    int npy_type = npy_type_of(col.data_type);
    auto cell_shape = table.raw_cell_shape(*dc);
    PyRef array = PyRef::steal(new_column_array(npy_type, count, cell_shape));
    if (!array) return nullptr;
    auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
    uint64_t stored_rows = first < table.nrow() ? std::min(count, table.nrow() - first) : 0;
    if (stored_rows > 0) {
        // Fill into a view of the leading rows; later rows keep their zeros.
        std::vector<npy_intp> dims{static_cast<npy_intp>(stored_rows)};
        for (uint64_t e : cell_shape) dims.push_back(static_cast<npy_intp>(e));
        Py_INCREF(PyArray_DESCR(arr));
        PyRef view = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DESCR(arr), static_cast<int>(dims.size()),
                                                       dims.data(), nullptr, PyArray_DATA(arr), NPY_ARRAY_CARRAY, nullptr));
        if (!view) return nullptr;
        switch (fill_raw(table, *dc, first, stored_rows, reinterpret_cast<PyArrayObject*>(view.get()))) {
            case RawResult::Done: break;
            case RawResult::NotHandled: return nullptr;
            case RawResult::Failed: return nullptr;
        }
    }
    size_t cell_bytes = static_cast<size_t>(PyArray_ITEMSIZE(arr));
    for (uint64_t e : cell_shape) cell_bytes *= e;
    if (!wd.wt.overlay_raw(c, first, count, static_cast<uint8_t*>(PyArray_DATA(arr)), cell_bytes)) return nullptr;
    return as_generic_dtype(array.release(), col);
}

// ---- argument helpers ----

std::optional<int64_t> int_arg(const Args& a, size_t i, int64_t fallback) {
    if (!a.given(i)) return fallback;
    return a.int64(i);
}

std::optional<std::vector<int64_t>> corner_arg(const Args& a, size_t i) {
    PyObject* obj = a[i];
    if (obj == nullptr || obj == Py_None) return std::vector<int64_t>{};
    PyRef seq = PyRef::steal(PySequence_Fast(obj, ""));
    if (!seq) {
        PyErr_Clear();
        return a.wrong_type(i, "a sequence of int");
    }
    std::vector<int64_t> out;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.get()); ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
        if (!PyLong_Check(item) && !PyIndex_Check(item)) return a.wrong_type(i, "a sequence of int");
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow) {
            PyErr_Format(PyExc_OverflowError, "%s() argument '%s' does not fit in 64-bit integers", a.function(), a.name(i));
            return std::nullopt;
        }
        if (v == -1 && PyErr_Occurred()) return std::nullopt;
        out.push_back(v);
    }
    return out;
}

std::optional<std::vector<RecordValue>> read_colslice(Access& acc, size_t c, uint64_t first, uint64_t count,
                                                      const std::vector<int64_t>& blc, const std::vector<int64_t>& trc) {
    if (!check_range(first, count, acc.nrows())) return std::nullopt;
    std::vector<RecordValue> out;
    out.reserve(count);
    for (uint64_t row = first; row < first + count; ++row) {
        auto cell = read_cell(acc, c, row);
        if (!cell) return std::nullopt;
        if (auto* a = std::get_if<ArrayValue>(&*cell)) {
            auto sliced = slice_array_value(*a, blc, trc);
            if (!sliced) {
                raise_core_error(sliced.error());
                return std::nullopt;
            }
            out.emplace_back(std::move(*sliced));
        } else {
            out.push_back(std::move(*cell));
        }
    }
    return out;
}

PyObject* empty_column(Access& acc, size_t c) {
    int npy_type = npy_type_of(acc.desc().columns[c].data_type);
    if (npy_type < 0) return column_to_python({});
    npy_intp zero = 0;
    if (acc.desc().columns[c].kind == ColumnKind::Scalar && acc.desc().columns[c].data_type == DataType::UChar &&
        acc.writable_inner()) {
        npy_type = NPY_UINT16;
    }
    return PyArray_ZEROS(1, &zero, npy_type, 0);
}

#define CELL_METHOD(fn_name) \
    PyObject* fn_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

CELL_METHOD(m_getcol) {
    return guarded([&]() -> PyObject* {
        Args a("getcol", {"column", "startrow", "nrow", "_rowincr"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto start = int_arg(a, 1, 0);
        auto nrow = start ? int_arg(a, 2, -1) : std::nullopt;
        if (!start || !nrow || !int_arg(a, 3, 1)) return nullptr;
        if (!ensure_numpy()) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c) return nullptr;
        RowRange r = row_args(*start, *nrow, acc->nrows());
        if (r.count == 0) return empty_column(*acc, *c);
        if (PyObject* fast = getcol_fast(*acc, *c, r.first, r.count)) return fast;
        if (PyErr_Occurred()) return nullptr;
        auto cells = read_col(*acc, *c, r.first, r.count);
        if (!cells) return nullptr;
        return column_to_python(*cells);
    });
}

CELL_METHOD(m_getcolnp) {
    return guarded([&]() -> PyObject* {
        Args a("getcolnp", {"column", "buf", "startrow", "nrow"}, 2);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto start = int_arg(a, 2, 0);
        auto nrow = start ? int_arg(a, 3, -1) : std::nullopt;
        if (!start || !nrow) return nullptr;
        if (!ensure_numpy()) return nullptr;
        if (!PyArray_Check(a[1])) return a.wrong_type(1, "numpy.ndarray"), nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c) return nullptr;
        RowRange r = row_args(*start, *nrow, acc->nrows());
        auto* buf = reinterpret_cast<PyArrayObject*>(a[1]);
        const Table& table = acc->stored();
        if (!acc->writable_inner() && r.count > 0 && r.first + r.count <= table.nrow() &&
            table.raw_column_supported(*c) && PyArray_IS_C_CONTIGUOUS(buf) && PyArray_ISWRITEABLE(buf) &&
            PyArray_TYPE(buf) == npy_type_of(table.desc().columns[*c].data_type)) {
            size_t cell_elements = 1;
            for (uint64_t e : table.raw_cell_shape(*c)) cell_elements *= e;
            if (static_cast<uint64_t>(PyArray_SIZE(buf)) >= r.count * cell_elements) {
                switch (fill_raw(table, *c, r.first, r.count, buf)) {
                    case RawResult::Done: Py_RETURN_NONE;
                    case RawResult::Failed: return nullptr;
                    case RawResult::NotHandled: break;
                }
            }
        }
        auto cells = read_col(*acc, *c, r.first, r.count);
        if (!cells) return nullptr;
        if (!fill_buffer_by_dtype(a[1], *cells, "getcolnp")) return nullptr;
        Py_RETURN_NONE;
    });
}

CELL_METHOD(m_getcell) {
    return guarded([&]() -> PyObject* {
        Args a("getcell", {"column", "row"}, 2);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto row = a.int64(1);
        if (!row) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c) return nullptr;
        if (*row < 0) return raise_value_error("row " + std::to_string(*row) + " is out of range (table has " + std::to_string(acc->nrows()) + " rows)");
        auto cell = read_cell(*acc, *c, static_cast<uint64_t>(*row));
        if (!cell) return nullptr;
        return cell_to_py(*cell);
    });
}

CELL_METHOD(m_getcellslice) {
    return guarded([&]() -> PyObject* {
        Args a("getcellslice", {"column", "row", "blc", "trc"}, 4);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto row = a.int64(1);
        if (!row) return nullptr;
        auto blc = corner_arg(a, 2);
        auto trc = blc ? corner_arg(a, 3) : std::nullopt;
        if (!blc || !trc) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c) return nullptr;
        if (*row < 0) return raise_value_error("row " + std::to_string(*row) + " is out of range (table has " + std::to_string(acc->nrows()) + " rows)");
        auto cell = read_cell(*acc, *c, static_cast<uint64_t>(*row));
        if (!cell) return nullptr;
        bool whole = std::any_of(blc->begin(), blc->end(), [](int64_t v) { return v < 0; }) ||
                     std::any_of(trc->begin(), trc->end(), [](int64_t v) { return v < 0; });
        const auto* arr = std::get_if<ArrayValue>(&*cell);
        if (whole || arr == nullptr) return cell_to_py(*cell);
        auto sliced = slice_array_value(*arr, *blc, *trc);
        if (!sliced) return raise_core_error(sliced.error());
        return array_to_numpy(*sliced);
    });
}

PyObject* getcolslice_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool into) {
    const char* fname = into ? "getcolslicenp" : "getcolslice";
    Args a = into ? Args(fname, {"column", "buf", "blc", "trc", "startrow", "nrow"}, 4)
                  : Args(fname, {"column", "blc", "trc", "startrow", "nrow"}, 3);
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    size_t k = into ? 1 : 0;
    auto blc = corner_arg(a, 1 + k);
    auto trc = blc ? corner_arg(a, 2 + k) : std::nullopt;
    auto start = trc ? int_arg(a, 3 + k, 0) : std::nullopt;
    auto nrow = start ? int_arg(a, 4 + k, -1) : std::nullopt;
    if (!nrow) return nullptr;
    if (!ensure_numpy()) return nullptr;
    if (into && !PyArray_Check(a[1])) return a.wrong_type(1, "numpy.ndarray"), nullptr;
    auto acc = Access::take(self);
    if (!acc) return nullptr;
    auto c = acc->column(a[0]);
    if (!c) return nullptr;
    RowRange r = row_args(*start, *nrow, acc->nrows());
    auto cells = read_colslice(*acc, *c, r.first, r.count, *blc, *trc);
    if (!cells) return nullptr;
    if (into) {
        if (!fill_buffer_by_dtype(a[1], *cells, fname)) return nullptr;
        Py_RETURN_NONE;
    }
    return column_to_python(*cells);
}

CELL_METHOD(m_getcolslice) {
    return guarded([&]() -> PyObject* { return getcolslice_impl(self, args, nargs, kwnames, false); });
}

CELL_METHOD(m_getcolslicenp) {
    return guarded([&]() -> PyObject* { return getcolslice_impl(self, args, nargs, kwnames, true); });
}

CELL_METHOD(m_getvarcol) {
    return guarded([&]() -> PyObject* {
        Args a("getvarcol", {"column", "startrow", "nrow"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto start = int_arg(a, 1, 0);
        auto nrow = start ? int_arg(a, 2, -1) : std::nullopt;
        if (!nrow) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c) return nullptr;
        RowRange r = row_args(std::max<int64_t>(*start, 0), *nrow, acc->nrows());
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return nullptr;
        for (uint64_t i = 0; i < r.count; ++i) {
            auto cell = read_cell(*acc, *c, r.first + i);
            if (!cell) return nullptr;
            PyRef v = PyRef::steal(cell_to_py(*cell));
            if (!v) return nullptr;
            std::string key = "r" + std::to_string(i + 1);
            if (PyDict_SetItemString(dict.get(), key.c_str(), v.get()) < 0) return nullptr;
        }
        return dict.release();
    });
}

// ---- writing ----

// The checks every put passes before the cell is buffered.
bool put_cell(Access& acc, size_t c, uint64_t row, RecordValue value) {
    if (!acc.require_writable()) return false;
    const ColumnDesc& col = acc.desc().columns[c];
    bool is_array = col.kind == ColumnKind::Array;
    bool is_record = col.kind == ColumnKind::Record;
    if (!record_fits_column(is_array, is_record, col.data_type, value)) {
        PyErr_Format(PyExc_TypeError, "putcol/putcell: %s cannot be stored in column %s (valueType %s)",
                     value_kind_name(value), col.name.c_str(), desc_type_name(col.data_type));
        return false;
    }
    if (const auto* a = std::get_if<ArrayValue>(&value); a != nullptr && col.has_fixed_shape()) {
        std::vector<uint32_t> fixed;
        for (auto it = col.shape->rbegin(); it != col.shape->rend(); ++it) {
            fixed.push_back(static_cast<uint32_t>(std::max<int64_t>(*it, 0)));
        }
        if (a->shape != fixed) {
            raise_value_error("putcol: cell shape " + shape_text(a->shape) + " does not match column " + col.name +
                              " fixed shape " + shape_text(fixed));
            return false;
        }
    }
    if (is_record) to_storage_order(value);
    auto put = acc.write().wt.putcell(c, row, std::move(value));
    if (!put) {
        raise_core_error(put.error());
        return false;
    }
    acc.mark_dirty();
    return true;
}

// Puts a whole typed array as one dense run when the column and the array
// allow it; false with no error set when the caller must take the cell path.
bool put_dense(Access& acc, size_t c, uint64_t first, PyObject* value, int64_t nrow) {
    if (!PyArray_Check(value)) return false;
    const ColumnDesc& col = acc.desc().columns[c];
    int npy_type = npy_type_of(col.data_type);
    if (npy_type < 0 || col.kind == ColumnKind::Record) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_TYPE(arr) != npy_type || PyArray_NDIM(arr) < 1) return false;
    std::vector<uint32_t> cell_shape;
    if (col.kind == ColumnKind::Array) {
        if (!col.has_fixed_shape()) return false;
        for (auto it = col.shape->rbegin(); it != col.shape->rend(); ++it) {
            cell_shape.push_back(static_cast<uint32_t>(std::max<int64_t>(*it, 0)));
        }
        if (static_cast<size_t>(PyArray_NDIM(arr)) != cell_shape.size() + 1) return false;
        for (size_t i = 0; i < cell_shape.size(); ++i) {
            if (static_cast<uint64_t>(PyArray_DIM(arr, static_cast<int>(i) + 1)) != cell_shape[i]) return false;
        }
    } else if (PyArray_NDIM(arr) != 1) {
        return false;
    }
    auto rows = static_cast<uint64_t>(PyArray_DIM(arr, 0));
    uint64_t n = nrow > 0 ? std::min<uint64_t>(static_cast<uint64_t>(nrow), rows) : rows;
    if (first > acc.write().wt.nrow() || n > acc.write().wt.nrow() - first) return false;
    PyRef contiguous = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_GETCONTIGUOUS(arr)));
    if (!contiguous) return false;
    auto* carr = reinterpret_cast<PyArrayObject*>(contiguous.get());
    size_t per_cell = 1;
    for (uint32_t e : cell_shape) per_cell *= e;
    size_t elements = static_cast<size_t>(n) * per_cell;
    auto make = [&](auto tag) {
        using T = decltype(tag);
        const T* p = static_cast<const T*>(PyArray_DATA(carr));
        return ArrayData(std::vector<T>(p, p + elements));
    };
    ArrayData data;
    switch (npy_type) {
        case NPY_BOOL: {
            const auto* p = static_cast<const npy_bool*>(PyArray_DATA(carr));
            std::vector<bool> v(elements);
            for (size_t i = 0; i < elements; ++i) v[i] = p[i] != 0;
            data = ArrayData(std::move(v));
            break;
        }
        case NPY_UINT8: data = make(uint8_t{}); break;
        case NPY_INT16: data = make(int16_t{}); break;
        case NPY_UINT16: data = make(uint16_t{}); break;
        case NPY_INT32: data = make(int32_t{}); break;
        case NPY_UINT32: data = make(uint32_t{}); break;
        case NPY_INT64: data = make(int64_t{}); break;
        case NPY_FLOAT32: data = make(float{}); break;
        case NPY_FLOAT64: data = make(double{}); break;
        case NPY_COMPLEX64: data = make(std::complex<float>{}); break;
        case NPY_COMPLEX128: data = make(std::complex<double>{}); break;
        default: return false;
    }
    auto put = acc.write().wt.putcol_dense(c, first, n, std::move(data), cell_shape);
    if (!put) {
        raise_core_error(put.error());
        return true;  // an error is set; the caller reports it
    }
    acc.mark_dirty();
    return true;
}

// Row dict keys: r-letters followed by a row number.
std::optional<uint64_t> row_key_number(PyObject* key) {
    std::optional<std::string> text;
    if (PyUnicode_Check(key)) text = utf8_of(key);
    if (!text) {
        PyErr_Clear();
        PyRef repr = PyRef::steal(PyObject_Str(key));
        raise_value_error("bad row key " + (repr ? *utf8_of(repr.get()) : std::string("?")));
        return std::nullopt;
    }
    size_t i = 0;
    while (i < text->size() && (*text)[i] == 'r') ++i;
    if (i == 0 || i == text->size() || text->size() - i > 19 ||
        !std::all_of(text->begin() + static_cast<ptrdiff_t>(i), text->end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
        raise_value_error("bad row key " + *text);
        return std::nullopt;
    }
    return std::stoull(text->substr(i));
}

// Items of a row dict sorted by row number: (offset from the smallest, value).
std::optional<std::vector<std::pair<uint64_t, PyObject*>>> row_dict_items(PyObject* dict) {
    std::vector<std::pair<uint64_t, PyObject*>> items;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        auto n = row_key_number(key);
        if (!n) return std::nullopt;
        items.emplace_back(*n, value);
    }
    std::stable_sort(items.begin(), items.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    if (!items.empty()) {
        uint64_t base = items.front().first;
        for (auto& it : items) it.first -= base;
    }
    return items;
}

PyObject* putcol_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname) {
    Args a(fname, {"column", "value", "startrow", "nrow"}, 2);
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    auto start = int_arg(a, 2, 0);
    auto nrow = start ? int_arg(a, 3, 0) : std::nullopt;
    if (!nrow) return nullptr;
    if (!ensure_numpy()) return nullptr;
    auto acc = Access::take(self);
    if (!acc) return nullptr;
    auto c = acc->column(a[0]);
    if (!c || !acc->require_writable()) return nullptr;
    uint64_t first = static_cast<uint64_t>(std::max<int64_t>(*start, 0));
    const ColumnDesc col = acc->desc().columns[*c];
    bool is_array = col.kind == ColumnKind::Array;
    PyObject* value = a[1];

    if (PyDict_Check(value)) {
        if (PyDict_GetItemString(value, "shape") != nullptr && PyDict_GetItemString(value, "array") != nullptr) {
            auto strings = py_to_string_array(value);
            if (!strings) {
                PyErr_Clear();
                PyRef repr = PyRef::steal(PyObject_Repr(value));
                return raise_type_error("expected a string array dict, got " + (repr ? *utf8_of(repr.get()) : std::string()));
            }
            if (strings->shape.empty()) return raise_value_error("string array dict has no shape");
            std::vector<uint32_t> cell_shape(strings->shape.begin() + 1, strings->shape.end());
            size_t per_cell = 1;
            for (uint32_t e : cell_shape) per_cell *= e;
            auto& all = std::get<std::vector<std::string>>(strings->data);
            for (uint32_t r = 0; r < strings->shape[0]; ++r) {
                size_t b = std::min(all.size(), r * per_cell), e = std::min(all.size(), b + per_cell);
                ArrayValue cell{cell_shape, ArrayData(std::vector<std::string>(all.begin() + b, all.begin() + e))};
                if (!put_cell(*acc, *c, first + r, RecordValue(std::move(cell)))) return nullptr;
            }
            Py_RETURN_NONE;
        }
        auto items = row_dict_items(value);
        if (!items) return nullptr;
        for (auto& [offset, v] : *items) {
            auto cells = value_to_cells(col, v, 1, is_array, true);
            if (!cells) return nullptr;
            RecordValue cell = cells->empty() ? RecordValue(int32_t{0}) : std::move(cells->back());
            if (!put_cell(*acc, *c, first + offset, std::move(cell))) return nullptr;
        }
        Py_RETURN_NONE;
    }

    // Typed arrays of the column's element type go in as one dense run.
    PyRef converted = PyRef::borrow(value);
    if (PyArray_Check(value) && npy_type_of(col.data_type) >= 0 &&
        PyArray_TYPE(reinterpret_cast<PyArrayObject*>(value)) != npy_type_of(col.data_type) &&
        PyArray_ISNUMBER(reinterpret_cast<PyArrayObject*>(value))) {
        converted = PyRef::steal(PyObject_CallMethod(value, "astype", "s",
                                                     std::string(*data_type_to_np(col.data_type)).c_str()));
        if (!converted) return nullptr;
    }
    if (put_dense(*acc, *c, first, converted.get(), *nrow)) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    if (PyErr_Occurred()) return nullptr;

    size_t n = 0;
    if (*nrow > 0) {
        n = static_cast<size_t>(*nrow);
    } else {
        Py_ssize_t len = PyObject_Length(converted.get());
        if (len < 0) {
            PyErr_Clear();
            len = 1;
        }
        n = static_cast<size_t>(len);
    }
    auto cells = value_to_cells(col, converted.get(), n, is_array, false);
    if (!cells) return nullptr;
    for (size_t i = 0; i < cells->size(); ++i) {
        if (!put_cell(*acc, *c, first + i, std::move((*cells)[i]))) return nullptr;
    }
    Py_RETURN_NONE;
}

CELL_METHOD(m_putcol) {
    return guarded([&]() -> PyObject* { return putcol_impl(self, args, nargs, kwnames, "putcol"); });
}

CELL_METHOD(m_putcolnp) {
    return guarded([&]() -> PyObject* { return putcol_impl(self, args, nargs, kwnames, "putcolnp"); });
}

CELL_METHOD(m_putcell) {
    return guarded([&]() -> PyObject* {
        Args a("putcell", {"column", "row", "value"}, 3);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto row = a.int64(1);
        if (!row) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c || !acc->require_writable()) return nullptr;
        if (*row < 0) {
            return raise_runtime("row " + std::to_string(*row) + " is out of range (table has " +
                                 std::to_string(acc->write().wt.nrow()) + " rows)");
        }
        auto value = keyword_value(a[2]);
        if (!value) return nullptr;
        if (!put_cell(*acc, *c, static_cast<uint64_t>(*row), std::move(*value))) return nullptr;
        Py_RETURN_NONE;
    });
}

CELL_METHOD(m_putvarcol) {
    return guarded([&]() -> PyObject* {
        Args a("putvarcol", {"column", "rows", "startrow", "nrow"}, 2);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto start = int_arg(a, 2, 0);
        if (!start || !int_arg(a, 3, -1)) return nullptr;
        if (!PyDict_Check(a[1])) return a.wrong_type(1, "dict"), nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c || !acc->require_writable()) return nullptr;
        const ColumnDesc col = acc->desc().columns[*c];
        auto items = row_dict_items(a[1]);
        if (!items) return nullptr;
        uint64_t first = static_cast<uint64_t>(std::max<int64_t>(*start, 0));
        for (auto& [offset, v] : *items) {
            auto cells = value_to_cells(col, v, 1, col.kind == ColumnKind::Array, true);
            if (!cells) return nullptr;
            RecordValue cell = cells->empty() ? RecordValue(int32_t{0}) : std::move(cells->back());
            if (!put_cell(*acc, *c, first + offset, std::move(cell))) return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// Writes `src` (shape = the block between the corners) into `cell` at the block.
bool place_block(ArrayValue& cell, const std::vector<int64_t>& blc, const std::vector<int64_t>& trc, const ArrayValue& src) {
    const auto& d = cell.shape;
    if (blc.size() != d.size() || trc.size() != d.size()) return false;
    size_t block = 1;
    for (size_t i = 0; i < d.size(); ++i) {
        if (blc[i] < 0 || blc[i] > trc[i] || trc[i] >= static_cast<int64_t>(d[i])) return false;
        block *= static_cast<size_t>(trc[i] - blc[i] + 1);
    }
    if (src.data.size() < block) return false;
    std::vector<size_t> stride(d.size(), 1);
    for (size_t i = d.size(); i-- > 1;) stride[i - 1] = stride[i] * d[i];
    std::vector<int64_t> k(d.size(), 0);
    return std::visit(
        [&](auto& dst) -> bool {
            using Vec = std::decay_t<decltype(dst)>;
            const Vec* s = std::get_if<Vec>(&src.data);
            if (s == nullptr) return false;
            for (size_t n = 0; n < block; ++n) {
                size_t at = 0;
                for (size_t i = 0; i < d.size(); ++i) at += static_cast<size_t>(blc[i] + k[i]) * stride[i];
                if (at >= dst.size()) return false;
                dst[at] = (*s)[n];
                for (size_t i = d.size(); i-- > 0;) {
                    if (++k[i] <= trc[i] - blc[i]) break;
                    k[i] = 0;
                }
            }
            return true;
        },
        static_cast<ArrayDataVariant&>(cell.data));
}

CELL_METHOD(m_putcolslice) {
    return guarded([&]() -> PyObject* {
        Args a("putcolslice", {"column", "value", "blc", "trc", "startrow", "nrow"}, 2);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto blc = corner_arg(a, 2);
        auto trc = blc ? corner_arg(a, 3) : std::nullopt;
        auto start = trc ? int_arg(a, 4, 0) : std::nullopt;
        auto nrow = start ? int_arg(a, 5, 0) : std::nullopt;
        if (!nrow) return nullptr;
        if (blc->empty() && trc->empty()) return putcol_impl(self, args, nargs, kwnames, "putcolslice");
        if (!ensure_numpy()) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c || !acc->require_writable()) return nullptr;
        const ColumnDesc col = acc->desc().columns[*c];
        int npy_type = npy_type_of(col.data_type);
        if (npy_type < 0) return raise_type_error("putcolslice: unsupported element type");
        PyRef arr = PyRef::steal(PyArray_FROMANY(a[1], npy_type, 0, 0, NPY_ARRAY_CARRAY | NPY_ARRAY_FORCECAST));
        if (!arr) return nullptr;
        auto* value = reinterpret_cast<PyArrayObject*>(arr.get());
        if (PyArray_SIZE(value) == 0) return raise_value_error("putcolslice: empty value");
        if (blc->size() != trc->size()) return raise_value_error("putcolslice: corners of different lengths");
        size_t block = 1;
        for (size_t i = 0; i < blc->size(); ++i) {
            if ((*blc)[i] < 0 || (*trc)[i] < (*blc)[i]) return raise_value_error("putcolslice: bad corners");
            block *= static_cast<size_t>((*trc)[i] - (*blc)[i] + 1);
        }
        uint64_t first = static_cast<uint64_t>(std::max<int64_t>(*start, 0));
        uint64_t n = *nrow > 0 ? static_cast<uint64_t>(*nrow) : std::max<uint64_t>(1, static_cast<uint64_t>(PyArray_DIM(value, 0)));
        if (PyArray_NDIM(value) == static_cast<int>(blc->size())) n = *nrow > 0 ? n : 1;
        if (static_cast<uint64_t>(PyArray_SIZE(value)) < n * block) {
            return raise_value_error("putcolslice: the value holds " + std::to_string(PyArray_SIZE(value)) +
                                     " elements, " + std::to_string(n * block) + " needed");
        }
        auto all = numpy_cells_typed(value, 1, true);
        if (!all) return nullptr;
        const auto& flat = std::get<ArrayValue>(all->front());
        for (uint64_t i = 0; i < n; ++i) {
            auto cell = read_cell(*acc, *c, first + i);
            if (!cell) return nullptr;
            ArrayValue target;
            if (auto* existing = std::get_if<ArrayValue>(&*cell)) {
                target = std::move(*existing);
            } else {
                auto d = default_cell_value(col);
                if (!d || !std::holds_alternative<ArrayValue>(*d)) return raise_type_error("putcolslice: unsupported element type");
                target = std::get<ArrayValue>(std::move(*d));
            }
            ArrayValue part{{}, std::visit(
                [&](const auto& vec) -> ArrayData {
                    using Vec = std::decay_t<decltype(vec)>;
                    return ArrayData(Vec(vec.begin() + static_cast<ptrdiff_t>(i * block),
                                         vec.begin() + static_cast<ptrdiff_t>((i + 1) * block)));
                },
                static_cast<const ArrayDataVariant&>(flat.data))};
            if (target.data.kind() != part.data.kind()) return raise_type_error("putcolslice: unsupported element type");
            if (!place_block(target, *blc, *trc, part)) {
                auto check = slice_array_value(target, *blc, *trc);
                if (!check) return raise_value_error(check.error().message());
                return raise_value_error("putcolslice: the block does not fit the cell");
            }
            if (!put_cell(*acc, *c, first + i, RecordValue(std::move(target)))) return nullptr;
        }
        Py_RETURN_NONE;
    });
}

#define METHOD(py_name, fn, sig) \
    {py_name, ORVALA_FASTCALL(fn), METH_FASTCALL | METH_KEYWORDS, sig}

}  // namespace

PyMethodDef table_cell_methods[] = {
    METHOD("getcol", m_getcol, "getcol($self, column, startrow=0, nrow=-1, _rowincr=1)\n--\n\nA run of rows of a column: a NumPy array with the row axis first, or a list."),
    METHOD("getcolnp", m_getcolnp, "getcolnp($self, column, buf, startrow=0, nrow=-1)\n--\n\nReads a run of rows into a caller's array."),
    METHOD("getcolslice", m_getcolslice, "getcolslice($self, column, blc, trc, startrow=0, nrow=-1)\n--\n\nThe same block of every cell of a run of rows."),
    METHOD("getcolslicenp", m_getcolslicenp, "getcolslicenp($self, column, buf, blc, trc, startrow=0, nrow=-1)\n--\n\ngetcolslice into a caller's array."),
    METHOD("getcell", m_getcell, "getcell($self, column, row)\n--\n\nOne cell."),
    METHOD("getcellslice", m_getcellslice, "getcellslice($self, column, row, blc, trc)\n--\n\nA block of one array cell (corners inclusive, C order)."),
    METHOD("getvarcol", m_getvarcol, "getvarcol($self, column, startrow=0, nrow=-1)\n--\n\nCells of a run of rows as a dict r1, r2, ..."),
    METHOD("putcell", m_putcell, "putcell($self, column, row, value)\n--\n\nWrites one cell (no type coercion)."),
    METHOD("putcol", m_putcol, "putcol($self, column, value, startrow=0, nrow=0)\n--\n\nWrites a run of rows, converting to the column's type."),
    METHOD("putcolnp", m_putcolnp, "putcolnp($self, column, value, startrow=0, nrow=0)\n--\n\nThe same as putcol."),
    METHOD("putvarcol", m_putvarcol, "putvarcol($self, column, rows, startrow=0, nrow=-1)\n--\n\nWrites cells from a dict r1, r2, ..."),
    METHOD("putcolslice", m_putcolslice, "putcolslice($self, column, value, blc, trc, startrow=0, nrow=0)\n--\n\nWrites the same block of every cell of a run of rows."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace orvala::py
