#include "errors.h"

#include <new>
#include <stdexcept>

#include "internal_error.h"

namespace orvala::py {
namespace {

PyObject* raise_with(PyObject* type, const std::string& message) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace

PyObject* raise_runtime(const std::string& message) { return raise_with(PyExc_RuntimeError, message); }
PyObject* raise_value_error(const std::string& message) { return raise_with(PyExc_ValueError, message); }
PyObject* raise_type_error(const std::string& message) { return raise_with(PyExc_TypeError, message); }
PyObject* raise_overflow(const std::string& message) { return raise_with(PyExc_OverflowError, message); }

PyObject* raise_key_error(const std::string& message) {
    // KeyError shows repr() of its argument; the text is still exactly the message.
    return raise_with(PyExc_KeyError, message);
}

PyObject* internal_error_class() {
    // Created once under the interpreter lock and kept for the process's life.
    static PyObject* cls = nullptr;
    if (cls == nullptr) {
        cls = PyErr_NewExceptionWithDoc(
            "orvala.InternalError",
            "A broken internal invariant of orvala: a bug, never a property of the input.",
            PyExc_BaseException, nullptr);
    }
    return cls;
}

PyObject* raise_internal(const std::string& message) {
    PyObject* cls = internal_error_class();
    if (cls == nullptr) return nullptr;
    return raise_with(cls, message);
}

PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const InternalError& e) {
        return raise_internal(e.what());
    } catch (const std::exception& e) {
        return raise_internal(std::string("unexpected C++ exception: ") + e.what());
    } catch (...) {
        return raise_internal("unexpected C++ exception");
    }
}

}  // namespace orvala::py
