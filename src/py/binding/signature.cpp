#include "binding/signature.hpp"

#include "binding/errors.hpp"

namespace tpy {

Signature::Signature(std::string cls, const char* method, std::vector<const char*> names, std::size_t nreq)
    : full_name(std::move(cls) + "." + method + "()"), params(std::move(names)), required(nreq) {}

void Signature::check_positional(Py_ssize_t nargs) const {
    const auto n = static_cast<std::size_t>(nargs);
    if (n <= params.size()) return;
    const char* verb = n == 1 ? "was" : "were";
    std::string msg = full_name + " takes ";
    if (required == params.size())
        msg += std::to_string(params.size());
    else
        msg += "from " + std::to_string(required) + " to " + std::to_string(params.size());
    msg += " positional arguments but " + std::to_string(n) + " " + verb + " given";
    raise_type_error(msg);
}

static std::string key_text(PyObject* key) {
    PyObject* s = PyObject_Str(key);
    if (!s) throw PyErrSet{};
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    std::string out = p ? std::string(p, static_cast<std::size_t>(n)) : std::string();
    Py_DECREF(s);
    if (!p) throw PyErrSet{};
    return out;
}

void Signature::raise_unexpected_keyword(PyObject* key) const {
    raise_type_error(full_name + " got an unexpected keyword argument '" + key_text(key) + "'");
}

void Signature::bind_keyword(PyObject* key, PyObject* value, PyObject** out) const {
    if (PyUnicode_Check(key)) {
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (PyUnicode_CompareWithASCIIString(key, params[i]) == 0) {
                if (out[i])
                    raise_type_error(full_name + " got multiple values for argument '" + params[i] + "'");
                out[i] = value;
                return;
            }
        }
    }
    raise_unexpected_keyword(key);
}

void Signature::check_missing(PyObject** out) const {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i)
        if (!out[i]) missing.push_back(params[i]);
    if (missing.empty()) return;
    std::string msg = full_name + " missing " + std::to_string(missing.size()) + " required positional " +
                      (missing.size() == 1 ? "argument" : "arguments") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i) {
            if (missing.size() > 2) msg += ",";
            if (i + 1 == missing.size()) msg += " and";
            msg += " ";
        }
        msg += '\'';
        msg += missing[i];
        msg += '\'';
    }
    raise_type_error(msg);
}

void Signature::bind_fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
    nargs = PyVectorcall_NARGS(nargs);
    check_positional(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
    check_missing(out);
}

void Signature::bind_tuple(PyObject* args, PyObject* kwargs, PyObject** out) const {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    check_positional(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(key, value, out);
    }
    check_missing(out);
}

}  // namespace tpy
