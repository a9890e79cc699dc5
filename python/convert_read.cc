// Cells to Python: scalars, NumPy arrays, string lists and keyword dicts.
#include <algorithm>
#include <complex>
#include <cstring>

#include "convert.h"
#include "errors.h"

namespace orvala::py {
namespace {

PyObject* str_of(const std::string& text) {
    // Strings in data files may hold invalid UTF-8; it is replaced, not refused.
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* complex_tuple(double re, double im) { return Py_BuildValue("(dd)", re, im); }

PyObject* int_list(std::span<const uint32_t> values, bool reversed) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
        uint32_t v = reversed ? values[values.size() - 1 - i] : values[i];
        PyObject* item = PyLong_FromUnsignedLong(v);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* string_list(const std::vector<std::string>& strings) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(strings.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < strings.size(); ++i) {
        PyObject* item = str_of(strings[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* shape_array_dict(PyObject* shape, PyObject* array) {
    PyRef s = PyRef::steal(shape), a = PyRef::steal(array);
    if (!s || !a) return nullptr;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || PyDict_SetItemString(dict.get(), "shape", s.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "array", a.get()) < 0) {
        return nullptr;
    }
    return dict.release();
}

// Converts `count` elements of `data` to T, storing at `out`; elements of
// another kind are converted numerically (complex to real keeps the real
// part; strings give zeros).
template <class T>
void copy_converted(T* out, const ArrayData& data, size_t count) {
    std::visit(
        [&](const auto& vec) {
            using E = typename std::decay_t<decltype(vec)>::value_type;
            for (size_t i = 0; i < count; ++i) {
                if constexpr (std::is_same_v<E, std::string>) {
                    out[i] = T{};
                } else if constexpr (std::is_same_v<E, bool>) {
                    out[i] = static_cast<T>(vec[i] ? 1 : 0);
                } else if constexpr (requires { vec[i].real(); }) {
                    if constexpr (requires { out[i].real(); }) {
                        out[i] = T(vec[i].real(), vec[i].imag());
                    } else {
                        out[i] = static_cast<T>(vec[i].real());
                    }
                } else {
                    out[i] = static_cast<T>(vec[i]);
                }
            }
        },
        static_cast<const ArrayDataVariant&>(data));
}

// Copies the first `count` elements of `data` into `out`, an element buffer
// of NumPy type `npy_type`.
void copy_elements(void* out, int npy_type, const ArrayData& data, size_t count) {
    count = std::min(count, data.size());
    if (count == 0) return;
    if (npy_type_of(data.kind()) == npy_type && data.kind() != ArrayData::Kind::Bool) {
        std::visit(
            [&](const auto& vec) {
                using E = typename std::decay_t<decltype(vec)>::value_type;
                if constexpr (!std::is_same_v<E, bool> && !std::is_same_v<E, std::string>) {
                    std::memcpy(out, vec.data(), count * sizeof(E));
                }
            },
            static_cast<const ArrayDataVariant&>(data));
        return;
    }
    switch (npy_type) {
        case NPY_BOOL: copy_converted(static_cast<npy_bool*>(out), data, count); break;
        case NPY_UINT8: copy_converted(static_cast<uint8_t*>(out), data, count); break;
        case NPY_INT16: copy_converted(static_cast<int16_t*>(out), data, count); break;
        case NPY_UINT16: copy_converted(static_cast<uint16_t*>(out), data, count); break;
        case NPY_INT32: copy_converted(static_cast<int32_t*>(out), data, count); break;
        case NPY_UINT32: copy_converted(static_cast<uint32_t*>(out), data, count); break;
        case NPY_INT64: copy_converted(static_cast<int64_t*>(out), data, count); break;
        case NPY_FLOAT32: copy_converted(static_cast<float*>(out), data, count); break;
        case NPY_FLOAT64: copy_converted(static_cast<double*>(out), data, count); break;
        case NPY_COMPLEX64: copy_converted(static_cast<std::complex<float>*>(out), data, count); break;
        case NPY_COMPLEX128: copy_converted(static_cast<std::complex<double>*>(out), data, count); break;
        default: break;
    }
}

PyObject* new_zeros(int npy_type, std::span<const npy_intp> dims) {
    if (!ensure_numpy()) return nullptr;
    if (dims.size() > NPY_MAXDIMS_LEGACY_ITERS) {
        return raise_value_error("array has too many axes");
    }
    return PyArray_ZEROS(static_cast<int>(dims.size()), const_cast<npy_intp*>(dims.data()),
                         npy_type, 0);
}

std::vector<npy_intp> dims_of(std::span<const uint32_t> shape) {
    return std::vector<npy_intp>(shape.begin(), shape.end());
}

size_t element_count(std::span<const uint32_t> shape) {
    size_t n = 1;
    for (uint32_t e : shape) n *= e;  // NumPy refuses the array first if this is absurd
    return n;
}

bool is_kind(const RecordValue& v, RecordValue::Kind k) { return v.kind() == k; }

// The element type of a scalar column read cell by cell: the first cell
// chooses it; other cells are taken over where the rules allow, else 0.
template <class T, class Take>
PyObject* scalar_column(std::span<const RecordValue> cells, int npy_type, Take take) {
    npy_intp n = static_cast<npy_intp>(cells.size());
    PyRef array = PyRef::steal(new_zeros(npy_type, std::span<const npy_intp>(&n, 1)));
    if (!array) return nullptr;
    T* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (size_t i = 0; i < cells.size(); ++i) {
        std::optional<T> v = take(cells[i]);
        if (v) out[i] = *v;
    }
    return array.release();
}

template <class T>
std::optional<T> exactly(const RecordValue& v) {
    if (const T* p = std::get_if<T>(&v)) return *p;
    return std::nullopt;
}

PyObject* list_of_cells(std::span<const RecordValue> cells, bool json_for_others) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(cells.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < cells.size(); ++i) {
        PyObject* item = nullptr;
        const RecordValue& c = cells[i];
        if (json_for_others) {
            if (auto s = std::get_if<std::string>(&c)) {
                item = str_of(*s);
            } else if (auto t = std::get_if<TableRef>(&c)) {
                item = str_of(t->reference);
            } else {
                item = str_of(c.to_json_string_ctx());
            }
        } else {
            item = cell_to_py(c);
        }
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* array_column(std::span<const RecordValue> cells, const ArrayValue& first) {
    int npy_type = npy_type_of(first.data.kind());
    if (npy_type < 0) {
        // String arrays have no NumPy element type: one converted cell per row.
        return list_of_cells(cells, false);
    }
    std::vector<npy_intp> dims{static_cast<npy_intp>(cells.size())};
    for (uint32_t e : first.shape) dims.push_back(e);
    PyRef array = PyRef::steal(new_zeros(npy_type, dims));
    if (!array) return nullptr;
    auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
    size_t per_cell = element_count(first.shape);
    size_t itemsize = static_cast<size_t>(PyArray_ITEMSIZE(arr));
    auto* base = static_cast<char*>(PyArray_DATA(arr));
    for (size_t row = 0; row < cells.size(); ++row) {
        if (const auto* a = std::get_if<ArrayValue>(&cells[row])) {
            copy_elements(base + row * per_cell * itemsize, npy_type, a->data, per_cell);
        }
    }
    return array.release();
}

}  // namespace

int npy_type_of(ArrayData::Kind kind) {
    switch (kind) {
        case ArrayData::Kind::Bool: return NPY_BOOL;
        case ArrayData::Kind::UChar: return NPY_UINT8;
        case ArrayData::Kind::Short: return NPY_INT16;
        case ArrayData::Kind::UShort: return NPY_UINT16;
        case ArrayData::Kind::Int: return NPY_INT32;
        case ArrayData::Kind::UInt: return NPY_UINT32;
        case ArrayData::Kind::Int64: return NPY_INT64;
        case ArrayData::Kind::Float: return NPY_FLOAT32;
        case ArrayData::Kind::Double: return NPY_FLOAT64;
        case ArrayData::Kind::Complex: return NPY_COMPLEX64;
        case ArrayData::Kind::DComplex: return NPY_COMPLEX128;
        case ArrayData::Kind::String: return -1;
    }
    return -1;
}

int npy_type_of(DataType type) {
    switch (type) {
        case DataType::Bool: return NPY_BOOL;
        case DataType::UChar: return NPY_UINT8;
        case DataType::Short: return NPY_INT16;
        case DataType::UShort: return NPY_UINT16;
        case DataType::Int: return NPY_INT32;
        case DataType::UInt: return NPY_UINT32;
        case DataType::Int64: return NPY_INT64;
        case DataType::Float: return NPY_FLOAT32;
        case DataType::Double: return NPY_FLOAT64;
        case DataType::Complex: return NPY_COMPLEX64;
        case DataType::DComplex: return NPY_COMPLEX128;
        default: return -1;
    }
}

PyObject* cell_to_py(const RecordValue& value) {
    return std::visit(
        [](const auto& v) -> PyObject* {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, bool>) {
                return PyBool_FromLong(v ? 1 : 0);
            } else if constexpr (std::is_same_v<V, uint8_t> || std::is_same_v<V, uint16_t> ||
                                 std::is_same_v<V, uint32_t>) {
                return PyLong_FromUnsignedLong(v);
            } else if constexpr (std::is_integral_v<V>) {
                return PyLong_FromLongLong(v);
            } else if constexpr (std::is_floating_point_v<V>) {
                return PyFloat_FromDouble(static_cast<double>(v));
            } else if constexpr (std::is_same_v<V, std::complex<float>> ||
                                 std::is_same_v<V, std::complex<double>>) {
                return complex_tuple(v.real(), v.imag());
            } else if constexpr (std::is_same_v<V, std::string>) {
                return str_of(v);
            } else if constexpr (std::is_same_v<V, TableRef>) {
                return str_of(v.reference);
            } else if constexpr (std::is_same_v<V, TableRecord>) {
                return table_record_to_dict_ctx(v, nullptr);
            } else {
                return array_to_numpy(v);
            }
        },
        static_cast<const RecordValueVariant&>(value));
}

PyObject* array_to_numpy(const ArrayValue& array) {
    if (const auto* strings = std::get_if<std::vector<std::string>>(&array.data)) {
        if (array.shape.size() < 2) return string_list(*strings);
        return shape_array_dict(int_list(array.shape, false), string_list(*strings));
    }
    int npy_type = npy_type_of(array.data.kind());
    // Allocated in the cell's own shape, so a zero extent gives an empty
    // array of that shape rather than a failed reshape.
    std::vector<npy_intp> dims = dims_of(array.shape);
    PyRef out = PyRef::steal(new_zeros(npy_type, dims));
    if (!out) return nullptr;
    auto* arr = reinterpret_cast<PyArrayObject*>(out.get());
    copy_elements(PyArray_DATA(arr), npy_type, array.data, static_cast<size_t>(PyArray_SIZE(arr)));
    return out.release();
}

PyObject* array_to_dict(const ArrayValue& array) {
    std::vector<RecordValue> elements = array.elements();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < elements.size(); ++i) {
        PyObject* item = cell_to_py(elements[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return shape_array_dict(int_list(array.shape, true), list.release());
}

PyObject* table_record_to_dict_ctx(const TableRecord& record, const std::string* dir) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    size_t n = std::min(record.desc.fields.size(), record.values.size());
    for (size_t i = 0; i < n; ++i) {
        const RecordValue& v = record.values[i];
        PyRef item;
        if (const auto* sub = std::get_if<TableRecord>(&v)) {
            item = PyRef::steal(table_record_to_dict_ctx(*sub, dir));
        } else if (const auto* arr = std::get_if<ArrayValue>(&v)) {
            item = PyRef::steal(array_to_dict(*arr));
        } else if (const auto* ref = std::get_if<TableRef>(&v)) {
            std::string text = dir != nullptr ? resolve_subtable(ref->reference, *dir) : ref->reference;
            item = PyRef::steal(str_of("Table: " + text));
        } else {
            item = PyRef::steal(cell_to_py(v));
        }
        if (!item) return nullptr;
        const std::string& name = record.desc.fields[i].name;
        PyRef key = PyRef::steal(str_of(name));
        if (!key || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* column_to_python(std::span<const RecordValue> cells) {
    size_t first = 0;
    while (first < cells.size() && is_kind(cells[first], RecordValue::Kind::String)) ++first;
    if (first < cells.size()) {
        if (const auto* a = std::get_if<ArrayValue>(&cells[first])) return array_column(cells, *a);
        if (is_kind(cells[first], RecordValue::Kind::Record)) return list_of_cells(cells, false);
    }
    using K = RecordValue::Kind;
    K kind = cells.empty() ? K::Int : cells[0].kind();
    switch (kind) {
        case K::Bool:
            return scalar_column<npy_bool>(cells, NPY_BOOL, [](const RecordValue& v) -> std::optional<npy_bool> {
                if (auto b = exactly<bool>(v)) return static_cast<npy_bool>(*b);
                return std::nullopt;
            });
        case K::UChar:
            return scalar_column<uint16_t>(cells, NPY_UINT16, [](const RecordValue& v) -> std::optional<uint16_t> {
                if (auto b = exactly<uint8_t>(v)) return *b;
                return std::nullopt;
            });
        case K::Short:
            return scalar_column<int16_t>(cells, NPY_INT16, [](const RecordValue& v) -> std::optional<int16_t> {
                if (auto s = exactly<int16_t>(v)) return *s;
                if (auto i = exactly<int32_t>(v)) return static_cast<int16_t>(*i);
                return std::nullopt;
            });
        case K::UShort:
            return scalar_column<uint16_t>(cells, NPY_UINT16, exactly<uint16_t>);
        case K::UInt:
            return scalar_column<uint32_t>(cells, NPY_UINT32, [](const RecordValue& v) -> std::optional<uint32_t> {
                if (auto u = exactly<uint32_t>(v)) return *u;
                if (auto i = exactly<int32_t>(v)) return static_cast<uint32_t>(*i);
                return std::nullopt;
            });
        case K::Int64:
            return scalar_column<int64_t>(cells, NPY_INT64, [](const RecordValue& v) -> std::optional<int64_t> {
                if (auto l = exactly<int64_t>(v)) return *l;
                if (auto i = exactly<int32_t>(v)) return *i;
                if (auto c = exactly<uint8_t>(v)) return *c;
                return std::nullopt;
            });
        case K::Float:
            return scalar_column<float>(cells, NPY_FLOAT32, exactly<float>);
        case K::Double:
            return scalar_column<double>(cells, NPY_FLOAT64, [](const RecordValue& v) -> std::optional<double> {
                if (auto d = exactly<double>(v)) return *d;
                if (auto f = exactly<float>(v)) return *f;
                return std::nullopt;
            });
        case K::Complex:
            return scalar_column<std::complex<float>>(cells, NPY_COMPLEX64, exactly<std::complex<float>>);
        case K::DComplex:
            return scalar_column<std::complex<double>>(
                cells, NPY_COMPLEX128, [](const RecordValue& v) -> std::optional<std::complex<double>> {
                    if (auto d = exactly<std::complex<double>>(v)) return *d;
                    if (auto c = exactly<std::complex<float>>(v)) return std::complex<double>(*c);
                    return std::nullopt;
                });
        case K::String:
        case K::Table:
            return list_of_cells(cells, true);
        default:
            return scalar_column<int32_t>(cells, NPY_INT32, [](const RecordValue& v) -> std::optional<int32_t> {
                if (auto i = exactly<int32_t>(v)) return *i;
                if (auto l = exactly<int64_t>(v)) return static_cast<int32_t>(*l);
                return std::nullopt;
            });
    }
}

PyObject* zeros_for_column(DataType type, std::span<const npy_intp> shape) {
    int npy_type = npy_type_of(type);
    if (npy_type < 0) Py_RETURN_NONE;
    return new_zeros(npy_type, shape);
}

bool fill_buffer_by_dtype(PyObject* buffer, std::span<const RecordValue> cells, const char* what) {
    if (!ensure_numpy()) return false;
    if (!PyArray_Check(buffer)) {
        PyErr_Format(PyExc_TypeError, "%s: buffer must be a numpy array", what);
        return false;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(buffer);
    if (!PyArray_IS_C_CONTIGUOUS(arr)) {
        PyErr_Format(PyExc_ValueError, "%s: non-contiguous buffer", what);
        return false;
    }
    if (!PyArray_ISWRITEABLE(arr)) {
        PyErr_Format(PyExc_ValueError, "%s: read-only buffer", what);
        return false;
    }
    int npy_type = PyArray_TYPE(arr);
    if (npy_type != NPY_BOOL && npy_type != NPY_UINT8 && npy_type != NPY_INT16 &&
        npy_type != NPY_UINT16 && npy_type != NPY_INT32 && npy_type != NPY_UINT32 &&
        npy_type != NPY_INT64 && npy_type != NPY_FLOAT32 && npy_type != NPY_FLOAT64 &&
        npy_type != NPY_COMPLEX64 && npy_type != NPY_COMPLEX128) {
        PyRef text = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
        PyErr_Format(PyExc_TypeError, "%s: unsupported buffer dtype %S", what, text.get());
        return false;
    }
    // Count first: nothing is written unless everything fits.
    size_t needed = 0;
    for (const RecordValue& c : cells) {
        const auto* a = std::get_if<ArrayValue>(&c);
        needed += a != nullptr ? a->data.size() : 1;
    }
    auto capacity = static_cast<size_t>(PyArray_SIZE(arr));
    if (needed > capacity) {
        PyErr_Format(PyExc_ValueError, "%s: buffer holds %zu elements, %zu needed", what, capacity,
                     needed);
        return false;
    }
    size_t itemsize = static_cast<size_t>(PyArray_ITEMSIZE(arr));
    auto* out = static_cast<char*>(PyArray_DATA(arr));
    for (const RecordValue& c : cells) {
        if (const auto* a = std::get_if<ArrayValue>(&c)) {
            copy_elements(out, npy_type, a->data, a->data.size());
            out += a->data.size() * itemsize;
        } else {
            // A scalar cell: reuse the element conversion through a one-element array.
            ArrayValue one{{1}, {}};
            std::visit(
                [&](const auto& v) {
                    using V = std::decay_t<decltype(v)>;
                    if constexpr (std::is_arithmetic_v<V> || std::is_same_v<V, std::complex<float>> ||
                                  std::is_same_v<V, std::complex<double>>) {
                        one.data = ArrayData(std::vector<V>{v});
                    }
                },
                static_cast<const RecordValueVariant&>(c));
            copy_elements(out, npy_type, one.data, 1);
            out += itemsize;
        }
    }
    return true;
}

}  // namespace orvala::py
