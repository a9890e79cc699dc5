// Argument parsing for every binding: one parser for the positional and
// keyword forms of a call, and typed accessors that raise the right Python
// exception (TypeError naming the parameter; OverflowError for integers
// that do not fit). Bindings use the vectorcall convention
// (METH_FASTCALL | METH_KEYWORDS), so no tuple or dict is built per call.
//
//   Args a("numpy_dtype", {"casa_type"}, 1);
//   if (!a.parse(args, nargs, kwnames)) return nullptr;
//   auto name = a.str(0);
//   if (!name) return nullptr;
#pragma once

#include "pyref.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

namespace orvala::py {

class Args {
public:
    static constexpr size_t kMaxParams = 16;

    // `names` in signature order; the first `required` of them must be given.
    Args(const char* function, std::initializer_list<const char*> names, size_t required);

    // Fills the parameters from a vectorcall; false with TypeError set on a
    // missing required argument, an unexpected keyword, a repeated argument
    // or too many positional arguments.
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // Like parse, but extra positional and unknown keyword arguments are
    // accepted and ignored (a signature ending in *args, **kwargs).
    bool parse_lenient(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    // The argument object (borrowed), or nullptr when it was not given.
    PyObject* operator[](size_t i) const { return values_[i]; }
    bool given(size_t i) const { return values_[i] != nullptr; }
    const char* function() const { return function_; }
    const char* name(size_t i) const { return names_[i]; }

    // Typed reads; nullopt with the Python error set on failure.
    std::optional<std::string> str(size_t i) const;
    std::optional<std::string> path(size_t i) const;  // str or os.PathLike
    std::optional<int64_t> int64(size_t i) const;
    std::optional<bool> boolean(size_t i) const;
    std::optional<double> real(size_t i) const;

    // TypeError "f() argument 'p' must be <what>, not <type>".
    std::nullopt_t wrong_type(size_t i, const char* what) const;

private:
    bool parse_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool lenient);

    const char* function_;
    std::array<const char*, kMaxParams> names_{};
    std::array<PyObject*, kMaxParams> values_{};
    size_t count_ = 0;
    size_t required_ = 0;
};

// Reads a Python str as UTF-8; nullopt with TypeError naming the parameter.
std::optional<std::string> utf8_of(PyObject* obj);

}  // namespace orvala::py

// Casts a vectorcall-style C function for a PyMethodDef.
#define ORVALA_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))
