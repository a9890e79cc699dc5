// Conversion between Python values and cells.
//
// Reading: cells become Python scalars, NumPy arrays (C order: a stored
// (4, 3) cell is a (3, 4) array; a column puts the row axis first), lists of
// str (string arrays of at most one axis) or {"shape", "array"} dicts, and
// keyword records become dicts. Writing: Python objects become RecordValues,
// coerced to a column's type where the rules allow.
//
// Every function that returns a PyObject* returns a new reference, or
// nullptr with a Python error set; std::optional results are nullopt with a
// Python error set.
#pragma once

#include "numpy_api.h"
#include "pyref.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "record.h"

namespace orvala {
struct ColumnDesc;
}

namespace orvala::py {

// ---- element types ----

// The NumPy type number of array cells and raw reads of a data type (UChar
// is uint8); -1 for types without one (Char, String, Record, ...).
int npy_type_of(DataType scalar_type);
int npy_type_of(ArrayData::Kind kind);

// ---- cells to Python ----

// One cell or keyword value: bool, int, float, (re, im) tuple, str (String
// and Table as stored), dict (Record), or array_to_numpy (Array).
PyObject* cell_to_py(const RecordValue& value);
// An array cell (shape in C order): a NumPy array, or for strings a list
// (at most one axis) or {"shape": [...], "array": [...]}.
PyObject* array_to_numpy(const ArrayValue& array);
// A keyword array: {"shape": shape reversed, "array": elements as cells}.
PyObject* array_to_dict(const ArrayValue& array);
// Keywords as a dict; Table references become "Table: <absolute path>"
// resolved against `dir` when given, the stored text otherwise.
PyObject* table_record_to_dict_ctx(const TableRecord& record, const std::string* dir);
// A column read cell by cell: one NumPy array with the row axis first, or a
// list of str for strings.
PyObject* column_to_python(std::span<const RecordValue> cells);
// A zero-filled array of the column's element type and the given shape;
// Py_None (new reference) for types without an element type.
PyObject* zeros_for_column(DataType type, std::span<const npy_intp> shape);

// Fills a caller's C-contiguous buffer from cells, flattened row by row.
// `what` names the calling method in messages ("getcolnp").
bool fill_buffer_by_dtype(PyObject* buffer, std::span<const RecordValue> cells, const char* what);

// ---- Python to cells ----

// The general conversion (keywords, single values).
std::optional<RecordValue> pyobject_to_record(PyObject* obj);
std::optional<RecordValue> list_to_array(PyObject* list);
std::optional<TableRecord> dict_to_table_record(PyObject* dict);
// A String array cell from a list of str or a {"shape", "array"} dict.
std::optional<ArrayValue> py_to_string_array(PyObject* obj);

// Values for `count` rows (or one cell when `single`) of a column.
std::optional<std::vector<RecordValue>> value_to_cells(const ColumnDesc& column, PyObject* value,
                                                       size_t count, bool is_array, bool single);
// Splits a typed NumPy array into at most `count` Array cells (the first
// axis is the row unless `single`).
std::optional<std::vector<RecordValue>> numpy_cells_typed(PyArrayObject* array, size_t count,
                                                          bool single);

// Coerces a scalar to `type` where the rules allow; otherwise unchanged.
RecordValue cast_scalar_to(DataType type, RecordValue value);
// Whether a value may be stored in a column of that kind and type.
bool record_fits_column(bool is_array, bool is_record, DataType type, const RecordValue& value);
// The name of a value's kind in messages ("double", "array", ...).
const char* value_kind_name(const RecordValue& value);

}  // namespace orvala::py
