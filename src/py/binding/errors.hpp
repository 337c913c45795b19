// Errors at the Python boundary.
//
// Inside a binding call, a Python exception that is already set travels up
// as the C++ exception `PyErrSet`; `guarded` runs a call and turns every C++
// exception into the Python error it stands for, so nothing unwinds into the
// interpreter.
#pragma once

#include <new>
#include <string>
#include <string_view>

#include "base/panic.hpp"
#include "binding/python.hpp"

namespace tpy {

// A Python exception is set; unwind to the boundary.
struct PyErrSet {};

[[noreturn]] void raise(PyObject* type, std::string_view msg);
[[noreturn]] inline void raise_type_error(std::string_view msg) { raise(PyExc_TypeError, msg); }
[[noreturn]] inline void throw_if_error() { throw PyErrSet{}; }
inline void check(bool ok) {
    if (!ok) throw PyErrSet{};
}
template <class P>
P* check(P* p) {
    if (!p) throw PyErrSet{};
    return p;
}

// The exception type `pyo3_runtime.PanicException` (a BaseException).
PyObject* panic_exception_type();
// Reports a panic on standard error (its thread and source location) and
// sets PanicException with its message.
void set_panic(const tsl::Panic& p);
// The same for a failure without a location, reported for the calling thread.
void set_panic(const std::string& msg);
// Sets the Python error for the exception in flight (call inside catch).
void set_current_exception();

// The type's __qualname__, as error texts show it.
std::string type_qualname(PyObject* obj);
// "'{}' object cannot be converted to '{}'"
[[noreturn]] void raise_conversion(PyObject* obj, std::string_view target);

// If the pending error is exactly a TypeError, replaces it by
// TypeError("argument '{name}': {text}") carrying the original's cause.
void prefix_argument_error(const char* name);

template <class R, class F>
R guarded(R error_value, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        set_current_exception();
        return error_value;
    }
}

}  // namespace tpy
