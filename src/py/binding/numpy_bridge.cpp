#include "binding/numpy_bridge.hpp"

#include <cstring>

#define PY_ARRAY_UNIQUE_SYMBOL tessellan_ARRAY_API
#include <numpy/arrayobject.h>

#include "binding/errors.hpp"
#include "binding/pyref.hpp"

namespace tpy {

namespace {

void ensure_numpy() {
    static bool ready = false;
    if (ready) return;
    if (PyArray_ImportNumPyAPI() < 0) {
        std::string detail = "unknown error";
        if (PyObject* exc = PyErr_GetRaisedException()) {
            if (PyObject* s = PyObject_Str(exc)) {
                if (const char* t = PyUnicode_AsUTF8(s)) detail = t;
                Py_DECREF(s);
            }
            PyErr_Clear();
            Py_DECREF(exc);
        }
        throw tsl::Panic("Failed to access NumPy array API capsule: " + detail);
    }
    ready = true;
}

bool is_complex_matrix(PyObject* o) {
    if (!PyArray_Check(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 2) return false;
    PyArray_Descr* want = PyArray_DescrFromType(NPY_COMPLEX128);
    const bool ok = PyArray_EquivTypes(PyArray_DESCR(a), want);
    Py_DECREF(want);
    return ok;
}

}  // namespace

tsl::GateMatrix matrix_from_numpy(PyObject* obj) {
    ensure_numpy();
    PyRef held = PyRef::borrow(obj);
    if (!is_complex_matrix(obj)) {
        PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
        if (!numpy) throw PyErrSet{};
        PyRef asarray = PyRef::steal(PyObject_GetAttrString(numpy.get(), "asarray"));
        if (!asarray) throw PyErrSet{};
        // One positional argument, whatever `obj` is: a tuple must not be
        // spread into asarray's parameters.
        PyRef conv = PyRef::steal(PyObject_CallOneArg(asarray.get(), obj));
        if (!conv) throw PyErrSet{};
        if (!is_complex_matrix(conv.get())) raise_conversion(conv.get(), "PyArray<T, D>");
        held = conv;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(held.get());
    const npy_intp rows = PyArray_DIM(a, 0), cols = PyArray_DIM(a, 1);
    const npy_intp rs = PyArray_STRIDE(a, 0), cs = PyArray_STRIDE(a, 1);
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    tsl::GateMatrix m(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols));
    for (npy_intp r = 0; r < rows; ++r)
        for (npy_intp c = 0; c < cols; ++c) {
            double parts[2];
            std::memcpy(parts, base + r * rs + c * cs, sizeof parts);
            m.at(static_cast<std::size_t>(r), static_cast<std::size_t>(c)) = tsl::Complex{parts[0], parts[1]};
        }
    return m;
}

PyObject* matrix_to_numpy(const tsl::GateMatrix& m) {
    ensure_numpy();
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    PyObject* arr = PyArray_EMPTY(2, dims, NPY_COMPLEX128, 1 /* Fortran order */);
    if (!arr) throw PyErrSet{};
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
    for (std::size_t k = 0; k < m.data.size(); ++k) {
        out[2 * k] = m.data[k].re.v;
        out[2 * k + 1] = m.data[k].im.v;
    }
    return arr;
}

}  // namespace tpy
