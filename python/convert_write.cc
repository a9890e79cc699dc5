// Python values to cells: the general conversion used for keywords and
// single cells, and the column conversion with its coercions and checks.
#include <algorithm>
#include <complex>
#include <cstring>

#include "args.h"
#include "convert.h"
#include "errors.h"
#include "tabledesc.h"

namespace orvala::py {
namespace {

bool is_numpy_array(PyObject* obj) { return ensure_numpy() && PyArray_Check(obj); }

// A NumPy scalar converts by its own element type, so values read from a
// column go back into it unchanged (numpy.float32 stays Float,
// numpy.complex64 keeps its imaginary part).
std::optional<RecordValue> numpy_scalar(PyObject* obj) {
    if (!ensure_numpy()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!PyArray_IsScalar(obj, Generic)) return std::nullopt;
    PyRef descr = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromScalar(obj)));
    if (!descr) {
        PyErr_Clear();
        return std::nullopt;
    }
    auto* d = reinterpret_cast<PyArray_Descr*>(descr.get());
    alignas(16) unsigned char buf[32] = {};
    int type = d->type_num;
    if (PyDataType_ELSIZE(d) > static_cast<npy_intp>(sizeof buf)) return std::nullopt;
    switch (type) {
        case NPY_BOOL: case NPY_UINT8: case NPY_INT16: case NPY_UINT16: case NPY_INT32:
        case NPY_UINT32: case NPY_INT64: case NPY_FLOAT32: case NPY_FLOAT64: case NPY_COMPLEX64:
        case NPY_COMPLEX128: break;
        case NPY_LONGLONG: type = NPY_INT64; break;
        case NPY_ULONGLONG: case NPY_UINT64: return std::nullopt;
        default: return std::nullopt;
    }
    PyArray_ScalarAsCtype(obj, buf);
    switch (type) {
        case NPY_BOOL: return RecordValue(buf[0] != 0);
        case NPY_UINT8: return RecordValue(static_cast<uint8_t>(buf[0]));
        case NPY_INT16: { int16_t v; std::memcpy(&v, buf, 2); return RecordValue(v); }
        case NPY_UINT16: { uint16_t v; std::memcpy(&v, buf, 2); return RecordValue(v); }
        case NPY_INT32: { int32_t v; std::memcpy(&v, buf, 4); return RecordValue(v); }
        case NPY_UINT32: { uint32_t v; std::memcpy(&v, buf, 4); return RecordValue(v); }
        case NPY_INT64: { int64_t v; std::memcpy(&v, buf, 8); return RecordValue(v); }
        case NPY_FLOAT32: { float v; std::memcpy(&v, buf, 4); return RecordValue(v); }
        case NPY_FLOAT64: { double v; std::memcpy(&v, buf, 8); return RecordValue(v); }
        case NPY_COMPLEX64: { std::complex<float> v; std::memcpy(&v, buf, 8); return RecordValue(v); }
        case NPY_COMPLEX128: { std::complex<double> v; std::memcpy(&v, buf, 16); return RecordValue(v); }
        default: return std::nullopt;
    }
}

template <class T>
ArrayData typed_copy(PyArrayObject* arr) {
    std::vector<T> out(static_cast<size_t>(PyArray_SIZE(arr)));
    if (!out.empty()) std::memcpy(out.data(), PyArray_DATA(arr), out.size() * sizeof(T));
    return ArrayData(std::move(out));
}

// The elements of a C-contiguous array of one of the eleven element types.
ArrayData array_data_of(PyArrayObject* arr) {
    switch (PyArray_TYPE(arr)) {
        case NPY_BOOL: {
            const auto* p = static_cast<const npy_bool*>(PyArray_DATA(arr));
            std::vector<bool> out(static_cast<size_t>(PyArray_SIZE(arr)));
            for (size_t i = 0; i < out.size(); ++i) out[i] = p[i] != 0;
            return ArrayData(std::move(out));
        }
        case NPY_UINT8: return typed_copy<uint8_t>(arr);
        case NPY_INT16: return typed_copy<int16_t>(arr);
        case NPY_UINT16: return typed_copy<uint16_t>(arr);
        case NPY_INT32: return typed_copy<int32_t>(arr);
        case NPY_UINT32: return typed_copy<uint32_t>(arr);
        case NPY_INT64: case NPY_LONGLONG: return typed_copy<int64_t>(arr);
        case NPY_FLOAT32: return typed_copy<float>(arr);
        case NPY_FLOAT64: return typed_copy<double>(arr);
        case NPY_COMPLEX64: return typed_copy<std::complex<float>>(arr);
        case NPY_COMPLEX128: return typed_copy<std::complex<double>>(arr);
        default: return ArrayData();
    }
}

bool is_cell_npy_type(int type) {
    switch (type) {
        case NPY_BOOL: case NPY_UINT8: case NPY_INT16: case NPY_UINT16: case NPY_INT32:
        case NPY_UINT32: case NPY_INT64: case NPY_LONGLONG: case NPY_FLOAT32: case NPY_FLOAT64:
        case NPY_COMPLEX64: case NPY_COMPLEX128:
            return true;
        default:
            return false;
    }
}

std::vector<uint32_t> shape_of(PyArrayObject* arr, int from_axis) {
    std::vector<uint32_t> shape;
    for (int i = from_axis; i < PyArray_NDIM(arr); ++i) {
        shape.push_back(static_cast<uint32_t>(PyArray_DIM(arr, i)));
    }
    return shape;
}

// An array of strings (object, "U" or "S" dtype) as a String array value.
std::optional<ArrayValue> string_array_of(PyArrayObject* arr) {
    PyRef list = PyRef::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(arr), "ravel", nullptr));
    if (!list) return std::nullopt;
    PyRef items = PyRef::steal(PyObject_CallMethod(list.get(), "tolist", nullptr));
    if (!items) return std::nullopt;
    std::vector<std::string> strings;
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    strings.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (PyBytes_Check(item)) {
            strings.emplace_back(PyBytes_AS_STRING(item), static_cast<size_t>(PyBytes_GET_SIZE(item)));
            continue;
        }
        if (!PyUnicode_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "expected string array data");
            return std::nullopt;
        }
        auto s = utf8_of(item);
        if (!s) return std::nullopt;
        strings.push_back(std::move(*s));
    }
    return ArrayValue{shape_of(arr, 0), ArrayData(std::move(strings))};
}

std::optional<RecordValue> numpy_array_value(PyArrayObject* arr) {
    int type = PyArray_TYPE(arr);
    if (type == NPY_OBJECT || type == NPY_UNICODE || type == NPY_STRING) {
        auto strings = string_array_of(arr);
        if (!strings) return std::nullopt;
        return RecordValue(std::move(*strings));
    }
    if (!is_cell_npy_type(type)) {
        PyRef text = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
        PyErr_Format(PyExc_TypeError, "unsupported array data %S", text.get());
        return std::nullopt;
    }
    PyRef contiguous = PyRef::steal(reinterpret_cast<PyObject*>(
        PyArray_GETCONTIGUOUS(arr)));
    if (!contiguous) return std::nullopt;
    auto* c = reinterpret_cast<PyArrayObject*>(contiguous.get());
    return RecordValue(ArrayValue{shape_of(c, 0), array_data_of(c)});
}

std::optional<int64_t> python_int(PyObject* obj) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, "integer does not fit in 64 bits");
        return std::nullopt;
    }
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    return static_cast<int64_t>(v);
}

RecordValue int_value(int64_t v) {
    if (v >= INT32_MIN && v <= INT32_MAX) return RecordValue(static_cast<int32_t>(v));
    return RecordValue(v);
}

std::optional<RecordValue> dict_value(PyObject* dict) {
    PyObject* shape = PyDict_GetItemString(dict, "shape");  // borrowed
    PyObject* array = PyDict_GetItemString(dict, "array");
    if (shape != nullptr && array != nullptr) {
        PyRef np = PyRef::steal(PyImport_ImportModule("numpy"));
        if (!np) return std::nullopt;
        PyRef arr = PyRef::steal(PyObject_CallMethod(np.get(), "asarray", "O", array));
        if (!arr) return std::nullopt;
        PyRef shaped = PyRef::steal(PyObject_CallMethod(arr.get(), "reshape", "O", shape));
        if (!shaped) return std::nullopt;
        return numpy_array_value(reinterpret_cast<PyArrayObject*>(shaped.get()));
    }
    auto record = dict_to_table_record(dict);
    if (!record) return std::nullopt;
    return RecordValue(std::move(*record));
}

}  // namespace

std::optional<RecordValue> pyobject_to_record(PyObject* obj) {
    if (obj == Py_None) return RecordValue(std::string());
    if (PyBool_Check(obj)) return RecordValue(obj == Py_True);
    if (PyUnicode_Check(obj)) {
        auto s = utf8_of(obj);
        if (!s) return std::nullopt;
        return RecordValue(std::move(*s));
    }
    if (auto scalar = numpy_scalar(obj)) return scalar;
    if (PyErr_Occurred()) return std::nullopt;
    if (PyLong_Check(obj)) {
        auto v = python_int(obj);
        if (!v) return std::nullopt;
        return int_value(*v);
    }
    if (PyFloat_Check(obj)) return RecordValue(PyFloat_AS_DOUBLE(obj));
    if (PyComplex_Check(obj)) {
        Py_complex c = PyComplex_AsCComplex(obj);
        return RecordValue(std::complex<double>(c.real, c.imag));
    }
    if (PyList_Check(obj)) return list_to_array(obj);
    if (PyTuple_Check(obj)) {
        PyRef list = PyRef::steal(PySequence_List(obj));
        if (!list) return std::nullopt;
        return list_to_array(list.get());
    }
    if (is_numpy_array(obj)) return numpy_array_value(reinterpret_cast<PyArrayObject*>(obj));
    if (PyDict_Check(obj)) return dict_value(obj);
    if (PyIndex_Check(obj)) {
        PyRef index = PyRef::steal(PyNumber_Index(obj));
        if (!index) return std::nullopt;
        auto v = python_int(index.get());
        if (!v) return std::nullopt;
        return int_value(*v);
    }
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "cannot convert %.200s to a table value", Py_TYPE(obj)->tp_name);
        return std::nullopt;
    }
    return RecordValue(d);
}

std::optional<RecordValue> list_to_array(PyObject* list) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    std::vector<RecordValue> items;
    items.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto v = pyobject_to_record(PyList_GET_ITEM(list, i));
        if (!v) return std::nullopt;
        items.push_back(std::move(*v));
    }
    using K = RecordValue::Kind;
    auto all = [&](auto pred) { return std::all_of(items.begin(), items.end(), pred); };
    auto is_int = [](const RecordValue& v) { return v.kind() == K::Int || v.kind() == K::Int64; };
    auto is_real = [&](const RecordValue& v) {
        return is_int(v) || v.kind() == K::Double || v.kind() == K::Float;
    };
    std::vector<uint32_t> shape{static_cast<uint32_t>(n)};
    if (items.empty()) return RecordValue(ArrayValue{shape, ArrayData(std::vector<int32_t>{})});
    if (all(is_int)) {
        // Items beyond 32 bits make the whole array Int64; nothing is truncated.
        bool wide = std::any_of(items.begin(), items.end(), [](const RecordValue& v) { return v.kind() == K::Int64; });
        if (wide) {
            std::vector<int64_t> out;
            for (auto& v : items) out.push_back(v.kind() == K::Int ? std::get<int32_t>(v) : std::get<int64_t>(v));
            return RecordValue(ArrayValue{shape, ArrayData(std::move(out))});
        }
        std::vector<int32_t> out;
        for (auto& v : items) out.push_back(std::get<int32_t>(v));
        return RecordValue(ArrayValue{shape, ArrayData(std::move(out))});
    }
    if (all(is_real)) {
        std::vector<double> out;
        for (auto& v : items) {
            switch (v.kind()) {
                case K::Int: out.push_back(std::get<int32_t>(v)); break;
                case K::Int64: out.push_back(static_cast<double>(std::get<int64_t>(v))); break;
                case K::Float: out.push_back(std::get<float>(v)); break;
                default: out.push_back(std::get<double>(v)); break;
            }
        }
        return RecordValue(ArrayValue{shape, ArrayData(std::move(out))});
    }
    if (all([](const RecordValue& v) { return v.kind() == K::String; })) {
        std::vector<std::string> out;
        for (auto& v : items) out.push_back(std::move(std::get<std::string>(v)));
        return RecordValue(ArrayValue{shape, ArrayData(std::move(out))});
    }
    if (all([](const RecordValue& v) { return v.kind() == K::Bool; })) {
        std::vector<bool> out;
        for (auto& v : items) out.push_back(std::get<bool>(v));
        return RecordValue(ArrayValue{shape, ArrayData(std::move(out))});
    }
    PyErr_SetString(PyExc_TypeError, "cannot convert mixed list to a keyword array");
    return std::nullopt;
}

std::optional<TableRecord> dict_to_table_record(PyObject* dict) {
    TableRecord record;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keyword names must be strings");
            return std::nullopt;
        }
        auto name = utf8_of(key);
        if (!name) return std::nullopt;
        auto v = pyobject_to_record(value);
        if (!v) return std::nullopt;
        record.set(*name, std::move(*v));
    }
    return record;
}

std::optional<ArrayValue> py_to_string_array(PyObject* obj) {
    if (PyDict_Check(obj)) {
        PyObject* shape = PyDict_GetItemString(obj, "shape");
        PyObject* array = PyDict_GetItemString(obj, "array");
        if (shape == nullptr && array == nullptr) {
            PyErr_SetString(PyExc_ValueError, "expected a string {shape,array} dict");
            return std::nullopt;
        }
        if (shape == nullptr) {
            PyErr_SetString(PyExc_ValueError, "missing 'shape'");
            return std::nullopt;
        }
        if (array == nullptr) {
            PyErr_SetString(PyExc_ValueError, "missing 'array'");
            return std::nullopt;
        }
        auto flat = py_to_string_array(array);
        if (!flat) return std::nullopt;
        PyRef seq = PyRef::steal(PySequence_Fast(shape, "shape must be a sequence of integers"));
        if (!seq) return std::nullopt;
        std::vector<uint32_t> extents;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            long long e = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (e == -1 && PyErr_Occurred()) return std::nullopt;
            if (e < 0 || e > UINT32_MAX) {
                PyErr_SetString(PyExc_ValueError, "bad extent in string array shape");
                return std::nullopt;
            }
            extents.push_back(static_cast<uint32_t>(e));
        }
        flat->shape = std::move(extents);
        return flat;
    }
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "expected a sequence of str, got a single str");
        return std::nullopt;
    }
    if (is_numpy_array(obj)) return string_array_of(reinterpret_cast<PyArrayObject*>(obj));
    PyRef seq = PyRef::steal(PySequence_Fast(obj, "expected string array data"));
    if (!seq) return std::nullopt;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::string> strings;
    strings.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "expected string array data");
            return std::nullopt;
        }
        auto s = utf8_of(item);
        if (!s) return std::nullopt;
        strings.push_back(std::move(*s));
    }
    return ArrayValue{{static_cast<uint32_t>(n)}, ArrayData(std::move(strings))};
}

std::optional<std::vector<RecordValue>> numpy_cells_typed(PyArrayObject* array, size_t count,
                                                          bool single) {
    PyRef contiguous = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_GETCONTIGUOUS(array)));
    if (!contiguous) return std::nullopt;
    auto* arr = reinterpret_cast<PyArrayObject*>(contiguous.get());
    std::vector<uint32_t> cell_shape = shape_of(arr, single || PyArray_NDIM(arr) == 0 ? 0 : 1);
    size_t per_cell = 1;
    for (uint32_t e : cell_shape) per_cell *= e;
    size_t step = std::max<size_t>(per_cell, 1);
    auto total = static_cast<size_t>(PyArray_SIZE(arr));
    ArrayData all = array_data_of(arr);
    std::vector<RecordValue> cells;
    size_t ncells = single ? 1 : std::min(count, per_cell == 0 ? count : (total + step - 1) / step);
    if (single) ncells = 1;
    cells.reserve(ncells);
    for (size_t c = 0; c < ncells; ++c) {
        size_t begin = std::min(total, c * per_cell);
        size_t end = std::min(total, begin + per_cell);
        ArrayData part = std::visit(
            [&](const auto& vec) -> ArrayData {
                using Vec = std::decay_t<decltype(vec)>;
                return ArrayData(Vec(vec.begin() + static_cast<ptrdiff_t>(begin),
                                     vec.begin() + static_cast<ptrdiff_t>(end)));
            },
            static_cast<const ArrayDataVariant&>(all));
        cells.emplace_back(ArrayValue{cell_shape, std::move(part)});
    }
    return cells;
}

RecordValue cast_scalar_to(DataType type, RecordValue value) {
    using K = RecordValue::Kind;
    K k = value.kind();
    bool integer = k == K::UChar || k == K::Short || k == K::UShort || k == K::Int || k == K::UInt || k == K::Int64;
    bool real = k == K::Float || k == K::Double;
    bool cplx = k == K::Complex || k == K::DComplex;
    auto as_i64 = [&]() -> int64_t {
        return std::visit(
            [](const auto& v) -> int64_t {
                if constexpr (std::is_integral_v<std::decay_t<decltype(v)>>) return static_cast<int64_t>(v);
                return 0;
            },
            static_cast<const RecordValueVariant&>(value));
    };
    auto as_f64 = [&]() -> double {
        return std::visit(
            [](const auto& v) -> double {
                if constexpr (std::is_arithmetic_v<std::decay_t<decltype(v)>>) return static_cast<double>(v);
                return 0;
            },
            static_cast<const RecordValueVariant&>(value));
    };
    if (integer) {
        int64_t v = as_i64();
        switch (type) {
            case DataType::UChar: case DataType::Char: return RecordValue(static_cast<uint8_t>(v));
            case DataType::Short: return RecordValue(static_cast<int16_t>(v));
            case DataType::UShort: return RecordValue(static_cast<uint16_t>(v));
            case DataType::Int: return RecordValue(static_cast<int32_t>(v));
            case DataType::UInt: return RecordValue(static_cast<uint32_t>(v));
            case DataType::Int64: return RecordValue(v);
            default: break;
        }
    }
    if (integer || real) {
        double v = as_f64();
        switch (type) {
            case DataType::Float: return RecordValue(static_cast<float>(v));
            case DataType::Double: return RecordValue(v);
            case DataType::Complex: return RecordValue(std::complex<float>(static_cast<float>(v), 0.0f));
            case DataType::DComplex: return RecordValue(std::complex<double>(v, 0.0));
            default: break;
        }
    }
    if (cplx) {
        std::complex<double> c = k == K::Complex ? std::complex<double>(std::get<std::complex<float>>(value))
                                                 : std::get<std::complex<double>>(value);
        if (type == DataType::Complex) return RecordValue(std::complex<float>(c));
        if (type == DataType::DComplex) return RecordValue(c);
    }
    return value;
}

namespace {

bool scalar_fits(DataType type, RecordValue::Kind k) {
    using K = RecordValue::Kind;
    switch (type) {
        case DataType::Bool: return k == K::Bool;
        case DataType::UChar: return k == K::UChar;
        case DataType::Short: return k == K::Short;
        case DataType::UShort: return k == K::UShort;
        case DataType::Int: return k == K::Int;
        case DataType::UInt: return k == K::UInt;
        case DataType::Float: return k == K::Float;
        case DataType::Double: return k == K::Double;
        case DataType::Complex: return k == K::Complex;
        case DataType::DComplex: return k == K::DComplex;
        case DataType::String: return k == K::String;
        case DataType::Int64: return k == K::Int64;
        default: return false;
    }
}

RecordValue::Kind scalar_kind_of(ArrayData::Kind k) {
    using A = ArrayData::Kind;
    using K = RecordValue::Kind;
    switch (k) {
        case A::Bool: return K::Bool;
        case A::UChar: return K::UChar;
        case A::Short: return K::Short;
        case A::UShort: return K::UShort;
        case A::Int: return K::Int;
        case A::UInt: return K::UInt;
        case A::Int64: return K::Int64;
        case A::Float: return K::Float;
        case A::Double: return K::Double;
        case A::Complex: return K::Complex;
        case A::DComplex: return K::DComplex;
        case A::String: return K::String;
    }
    return K::String;
}

}  // namespace

bool record_fits_column(bool is_array, bool is_record, DataType type, const RecordValue& value) {
    if (is_record) return value.kind() == RecordValue::Kind::Record;
    if (is_array) {
        const auto* a = std::get_if<ArrayValue>(&value);
        return a != nullptr && scalar_fits(type, scalar_kind_of(a->data.kind()));
    }
    return scalar_fits(type, value.kind());
}

const char* value_kind_name(const RecordValue& value) {
    using K = RecordValue::Kind;
    switch (value.kind()) {
        case K::Bool: return "boolean";
        case K::UChar: return "uchar";
        case K::Short: return "short";
        case K::UShort: return "ushort";
        case K::Int: return "int";
        case K::UInt: return "uint";
        case K::Int64: return "int64";
        case K::Float: return "float";
        case K::Double: return "double";
        case K::Complex: return "complex";
        case K::DComplex: return "dcomplex";
        case K::String: return "string";
        case K::Record: return "record";
        case K::Table: return "string";
        case K::Array: return "array";
    }
    return "unknown";
}

std::optional<std::vector<RecordValue>> value_to_cells(const ColumnDesc& column, PyObject* value,
                                                       size_t count, bool is_array, bool single) {
    if (!ensure_numpy()) return std::nullopt;
    DataType type = column.data_type;
    std::optional<std::string_view> np_name = data_type_to_np(type);
    PyRef v = PyRef::borrow(value);

    // Arrays (and NumPy scalars) are brought to the column's element type by
    // NumPy's own casting first; strings become lists.
    if (PyObject_HasAttrString(value, "dtype") && is_numpy_array(value)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(value);
        PyArray_Descr* d = PyArray_DESCR(arr);
        char kind = d->kind;
        if (kind == 'U' || kind == 'S') {
            v = PyRef::steal(PyObject_CallMethod(value, "tolist", nullptr));
            if (!v) return std::nullopt;
        } else if (np_name) {
            std::string kind_text(1, kind);
            auto current = np_kind_itemsize(kind_text, static_cast<int64_t>(PyDataType_ELSIZE(d)));
            if (!current || *current != *np_name) {
                v = PyRef::steal(PyObject_CallMethod(value, "astype", "s", std::string(*np_name).c_str()));
                if (!v) return std::nullopt;
            }
        }
    }

    std::vector<RecordValue> cells;
    if (is_array) {
        if (PyDict_Check(v.get())) {
            if (type == DataType::String) {
                auto a = py_to_string_array(v.get());
                if (!a) return std::nullopt;
                cells.emplace_back(std::move(*a));
            } else {
                auto r = pyobject_to_record(v.get());
                if (!r) return std::nullopt;
                cells.push_back(std::move(*r));
            }
            return cells;
        }
        PyRef np = PyRef::steal(PyImport_ImportModule("numpy"));
        if (!np) return std::nullopt;
        std::string dtype_name = np_name ? std::string(*np_name) : std::string("object");
        PyRef arr = PyRef::steal(PyObject_CallMethod(np.get(), "asarray", "Os", v.get(), dtype_name.c_str()));
        if (!arr) return std::nullopt;
        auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
        if (is_cell_npy_type(PyArray_TYPE(a))) return numpy_cells_typed(a, count, single);
        if (PyArray_TYPE(a) != NPY_OBJECT) {
            PyRef text = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
            PyErr_Format(PyExc_TypeError, "putcol: unsupported array data %S", text.get());
            return std::nullopt;
        }
        // Object arrays: strings split into String cells like typed data;
        // anything else element by element.
        bool all_str = true;
        PyRef flat = PyRef::steal(PyObject_CallMethod(arr.get(), "ravel", nullptr));
        if (!flat) return std::nullopt;
        PyRef items = PyRef::steal(PyObject_CallMethod(flat.get(), "tolist", nullptr));
        if (!items) return std::nullopt;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            if (!PyUnicode_Check(PyList_GET_ITEM(items.get(), i))) all_str = false;
        }
        if (all_str && PyArray_NDIM(a) > 0) {
            auto strings = string_array_of(a);
            if (!strings) return std::nullopt;
            std::vector<uint32_t> cell_shape(strings->shape.begin() + (single ? 0 : 1), strings->shape.end());
            size_t per_cell = 1;
            for (uint32_t e : cell_shape) per_cell *= e;
            auto& all = std::get<std::vector<std::string>>(strings->data);
            size_t ncells = single ? 1 : std::min(count, strings->shape.empty() ? 0 : static_cast<size_t>(strings->shape[0]));
            for (size_t c = 0; c < ncells; ++c) {
                size_t begin = std::min(all.size(), c * per_cell), end = std::min(all.size(), begin + per_cell);
                cells.emplace_back(ArrayValue{cell_shape, ArrayData(std::vector<std::string>(all.begin() + begin, all.begin() + end))});
            }
            return cells;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            auto r = pyobject_to_record(PyList_GET_ITEM(items.get(), i));
            if (!r) return std::nullopt;
            cells.push_back(cast_scalar_to(type, std::move(*r)));
        }
        return cells;
    }

    // Scalar columns: one cell per element of a sequence, or one cell.
    PyObject* obj = v.get();
    if (PyList_Check(obj) || PyTuple_Check(obj) || is_numpy_array(obj)) {
        if (is_numpy_array(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == 0) {
            PyRef item = PyRef::steal(PyObject_CallMethod(obj, "item", nullptr));
            if (!item) return std::nullopt;
            auto r = pyobject_to_record(item.get());
            if (!r) return std::nullopt;
            cells.push_back(cast_scalar_to(type, std::move(*r)));
            return cells;
        }
        if (is_numpy_array(obj)) {
            // A typed array of the column's own element type: read its buffer directly.
            auto* a = reinterpret_cast<PyArrayObject*>(obj);
            if (is_cell_npy_type(PyArray_TYPE(a)) && np_name && PyArray_NDIM(a) == 1) {
                PyRef contiguous = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_GETCONTIGUOUS(a)));
                if (!contiguous) return std::nullopt;
                ArrayData data = array_data_of(reinterpret_cast<PyArrayObject*>(contiguous.get()));
                std::visit(
                    [&](const auto& vec) {
                        cells.reserve(vec.size());
                        for (size_t i = 0; i < vec.size(); ++i) {
                            using E = typename std::decay_t<decltype(vec)>::value_type;
                            if constexpr (std::is_same_v<E, std::string>) {
                                cells.emplace_back(vec[i]);
                            } else {
                                cells.push_back(cast_scalar_to(type, RecordValue(E(vec[i]))));
                            }
                        }
                    },
                    static_cast<const ArrayDataVariant&>(data));
                return cells;
            }
        }
        PyRef seq = PyRef::steal(PySequence_Fast(obj, "expected a sequence"));
        if (!seq) return std::nullopt;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        cells.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            auto r = pyobject_to_record(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (!r) return std::nullopt;
            cells.push_back(cast_scalar_to(type, std::move(*r)));
        }
        return cells;
    }
    auto r = pyobject_to_record(obj);
    if (!r) return std::nullopt;
    if (r->kind() == RecordValue::Kind::Array) {
        PyErr_SetString(PyExc_TypeError, "putcol: unexpected array for a scalar column");
        return std::nullopt;
    }
    cells.push_back(cast_scalar_to(type, std::move(*r)));
    return cells;
}

}  // namespace orvala::py
