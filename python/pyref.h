// PyRef: an owning reference to a Python object. It releases its reference
// when it goes out of scope, so early returns on errors never leak.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace orvala::py {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null: a failed call).
    static PyRef steal(PyObject* obj) { return PyRef(obj); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyRef(const PyRef& other) : obj_(other.obj_) { Py_XINCREF(obj_); }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller (e.g. as a function's return value).
    PyObject* release() { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace orvala::py
