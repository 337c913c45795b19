// An owned reference to a Python object.
#pragma once

#include <utility>

#include "binding/python.hpp"

namespace tpy {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* p) { return PyRef(p); }
    static PyRef borrow(PyObject* p) {
        Py_XINCREF(p);
        return PyRef(p);
    }
    PyRef(const PyRef& o) : p_(o.p_) { Py_XINCREF(p_); }
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace tpy
