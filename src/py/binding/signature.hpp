// Binding of call arguments to parameters, by position or keyword, with the
// module's fixed error texts.  No allocation on the common path: the bound
// arguments land in a caller-provided array of borrowed references.
#pragma once

#include <string>
#include <vector>

#include "binding/python.hpp"

namespace tpy {

inline constexpr std::size_t kMaxParams = 8;

struct Signature {
    std::string full_name;            // "Gate.from_name()"
    std::vector<const char*> params;  // parameter names in order
    std::size_t required = 0;         // leading parameters without a default

    Signature() = default;
    Signature(std::string cls, const char* method, std::vector<const char*> names, std::size_t nreq);
    Signature(std::string cls, const char* method, std::vector<const char*> names)
        : Signature(std::move(cls), method, names, names.size()) {}

    // Vectorcall-style arguments.  Throws PyErrSet with the TypeError set.
    void bind_fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;
    // Tuple and dict (tp_new, tp_call).
    void bind_tuple(PyObject* args, PyObject* kwargs, PyObject** out) const;

    // "{} got an unexpected keyword argument '{}'" for a callable that takes
    // no keywords at all.
    [[noreturn]] void raise_unexpected_keyword(PyObject* key) const;

private:
    void check_positional(Py_ssize_t nargs) const;
    void bind_keyword(PyObject* key, PyObject* value, PyObject** out) const;
    void check_missing(PyObject** out) const;
};

}  // namespace tpy
