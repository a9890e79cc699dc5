#include "args.h"

#include <cstring>

#include "errors.h"
#include "internal_error.h"

namespace orvala::py {

Args::Args(const char* function, std::initializer_list<const char*> names, size_t required)
    : function_(function), count_(names.size()), required_(required) {
    if (names.size() > kMaxParams || required > names.size()) {
        throw InternalError("bad binding signature");
    }
    size_t i = 0;
    for (const char* n : names) names_[i++] = n;
}

bool Args::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return parse_impl(args, nargs, kwnames, false);
}

bool Args::parse_lenient(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return parse_impl(args, nargs, kwnames, true);
}

bool Args::parse_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool lenient) {
    auto npos = static_cast<size_t>(nargs);
    if (npos > count_ && lenient) npos = count_;
    if (npos > count_) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zu given)", function_,
                     count_, count_ == 1 ? "" : "s", npos);
        return false;
    }
    for (size_t i = 0; i < npos; ++i) values_[i] = args[i];

    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* key_text = PyUnicode_AsUTF8(key);
        if (key_text == nullptr) return false;
        size_t slot = count_;
        for (size_t i = 0; i < count_; ++i) {
            if (std::strcmp(names_[i], key_text) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == count_ && lenient) continue;
        if (slot == count_) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'",
                         function_, key_text);
            return false;
        }
        if (values_[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_,
                         key_text);
            return false;
        }
        values_[slot] = args[nargs + k];
    }

    for (size_t i = 0; i < required_; ++i) {
        if (values_[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                         function_, names_[i], i + 1);
            return false;
        }
    }
    return true;
}

std::nullopt_t Args::wrong_type(size_t i, const char* what) const {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", function_,
                 names_[i], what, Py_TYPE(values_[i])->tp_name);
    return std::nullopt;
}

std::optional<std::string> utf8_of(PyObject* obj) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return std::nullopt;
    return std::string(data, static_cast<size_t>(size));
}

std::optional<std::string> Args::str(size_t i) const {
    if (!PyUnicode_Check(values_[i])) return wrong_type(i, "str");
    return utf8_of(values_[i]);
}

std::optional<std::string> Args::path(size_t i) const {
    PyObject* obj = values_[i];
    if (PyUnicode_Check(obj)) return utf8_of(obj);
    PyRef fs = PyRef::steal(PyOS_FSPath(obj));
    if (!fs) {
        PyErr_Clear();
        return wrong_type(i, "str or os.PathLike");
    }
    if (!PyUnicode_Check(fs.get())) return wrong_type(i, "str or os.PathLike");
    return utf8_of(fs.get());
}

std::optional<int64_t> Args::int64(size_t i) const {
    PyObject* obj = values_[i];
    if (!PyLong_Check(obj) && !PyIndex_Check(obj)) return wrong_type(i, "int");
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s' does not fit in a 64-bit integer",
                     function_, names_[i]);
        return std::nullopt;
    }
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    return static_cast<int64_t>(value);
}

std::optional<bool> Args::boolean(size_t i) const {
    PyObject* obj = values_[i];
    if (!PyBool_Check(obj) && !PyLong_Check(obj) && !PyIndex_Check(obj)) {
        return wrong_type(i, "bool");
    }
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return std::nullopt;
    return truth != 0;
}

std::optional<double> Args::real(size_t i) const {
    PyObject* obj = values_[i];
    if (!PyFloat_Check(obj) && !PyLong_Check(obj) && !PyIndex_Check(obj) &&
        Py_TYPE(obj)->tp_as_number == nullptr) {
        return wrong_type(i, "float");
    }
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return wrong_type(i, "float");
        }
        return std::nullopt;
    }
    return value;
}

}  // namespace orvala::py
