// Module-level functions of `orvala`: the type-name translations.
#include "args.h"
#include "bindings.h"
#include "errors.h"
#include "types.h"

namespace orvala::py {
namespace {

PyObject* numpy_dtype(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a("numpy_dtype", {"casa_type"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto name = a.str(0);
        if (!name) return nullptr;
        auto type = value_type_from_casa_name(*name);
        if (!type) return raise_value_error(type.error().message());
        return PyUnicode_FromString(numpy_name(*type));
    });
}

PyObject* casa_type(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a("casa_type", {"numpy_dtype"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto name = a.str(0);
        if (!name) return nullptr;
        auto type = value_type_from_numpy_name(*name);
        if (!type) return raise_value_error(type.error().message());
        return PyUnicode_FromString(casa_name(*type));
    });
}

}  // namespace

PyMethodDef numpy_dtype_def = {
    "numpy_dtype", ORVALA_FASTCALL(numpy_dtype), METH_FASTCALL | METH_KEYWORDS,
    "numpy_dtype(casa_type)\n--\n\n"
    "The NumPy dtype name of a column value type given by its type name\n"
    "(any letter case; aliases such as 'Integer' or 'fcomplex' accepted)."};

PyMethodDef casa_type_def = {
    "casa_type", ORVALA_FASTCALL(casa_type), METH_FASTCALL | METH_KEYWORDS,
    "casa_type(numpy_dtype)\n--\n\n"
    "The canonical column value type name ('DOUBLE', 'STRING', ...) of a NumPy\n"
    "dtype name ('float64', 'object', ...), matched exactly."};

}  // namespace orvala::py
