// How failures reach Python. Every core error becomes RuntimeError carrying
// exactly its message (ValueError for the Measurement Set errors); a broken
// invariant becomes the module's internal-error exception, which derives from
// BaseException so that `except Exception` does not swallow it.
#pragma once

#include "pyref.h"

#include <string>

namespace orvala::py {

// Each returns nullptr so a binding can `return raise_...(...)`.
PyObject* raise_runtime(const std::string& message);
PyObject* raise_value_error(const std::string& message);
PyObject* raise_type_error(const std::string& message);
PyObject* raise_key_error(const std::string& message);
PyObject* raise_overflow(const std::string& message);
PyObject* raise_internal(const std::string& message);

// The one step by which a core error (any type with `message()`) is raised.
template <class CoreError>
PyObject* raise_core_error(const CoreError& error) {
    return raise_runtime(error.message());
}

// The exception class for broken internal invariants, created on first use.
PyObject* internal_error_class();

// Runs a binding body and turns C++ exceptions into Python ones: an
// InternalError (or any other escaped exception) into the internal-error
// class, std::bad_alloc into MemoryError. Body returns a new reference or
// nullptr with a Python error set.
template <class Body>
PyObject* guarded(Body&& body) noexcept;

PyObject* translate_current_exception() noexcept;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return translate_current_exception();
    }
}

}  // namespace orvala::py
