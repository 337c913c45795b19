// Conversions between Python objects and C++ values.
//
// `FromPy<T>::convert` reads an argument (throwing PyErrSet with the error
// set); `to_py` builds a new reference from a result.
#pragma once

#include <complex>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "binding/errors.hpp"
#include "binding/pyclass.hpp"
#include "binding/pyref.hpp"

namespace tpy {

template <class T>
struct FromPy;

// Unsigned 8- and 32-bit integers: read as a signed 64-bit value, then
// range-checked.
template <class T>
    requires(std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t> ||
             std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::int32_t>)
struct FromPy<T> {
    static T convert(PyObject* o) {
        long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
        if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
            v > static_cast<long long>(std::numeric_limits<T>::max()))
            raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        return static_cast<T>(v);
    }
};

template <>
struct FromPy<std::int64_t> {
    static std::int64_t convert(PyObject* o) {
        long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
        return v;
    }
};

template <>
struct FromPy<std::uint64_t> {
    static std::uint64_t convert(PyObject* o) {
        PyRef idx = PyRef::steal(PyNumber_Index(o));
        if (!idx) throw PyErrSet{};
        unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
        return v;
    }
};

template <>
struct FromPy<bool> {
    static bool convert(PyObject* o) {
        if (!PyBool_Check(o)) raise_conversion(o, "PyBool");
        return o == Py_True;
    }
};

template <>
struct FromPy<double> {
    static double convert(PyObject* o) {
        double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
        return v;
    }
};

template <>
struct FromPy<std::complex<double>> {
    static std::complex<double> convert(PyObject* o) {
        Py_complex c = PyComplex_AsCComplex(o);
        if (c.real == -1.0 && PyErr_Occurred()) throw PyErrSet{};
        return {c.real, c.imag};
    }
};

template <>
struct FromPy<std::string> {
    static std::string convert(PyObject* o) {
        if (!PyUnicode_Check(o)) raise_conversion(o, "PyString");
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (!s) throw PyErrSet{};
        return std::string(s, static_cast<std::size_t>(n));
    }
};

// Any sequence but `str`, item by item.
template <class T>
struct FromPy<std::vector<T>> {
    static std::vector<T> convert(PyObject* o) {
        if (PyUnicode_Check(o)) raise_type_error("Can't extract `str` to `Vec`");
        if (!PySequence_Check(o)) raise_conversion(o, "Sequence");
        Py_ssize_t n = PySequence_Size(o);
        if (n < 0) {
            PyErr_Clear();
            n = 0;
        }
        std::vector<T> out;
        out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(n, 1 << 16)));
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
            // Each item is held while it converts: an item's conversion may
            // run Python code that shrinks the sequence.
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
                PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(o, i));
                out.push_back(FromPy<T>::convert(item.get()));
            }
            return out;
        }
        PyRef it = PyRef::steal(PyObject_GetIter(o));
        if (!it) throw PyErrSet{};
        while (PyObject* item = PyIter_Next(it.get())) {
            PyRef hold = PyRef::steal(item);
            out.push_back(FromPy<T>::convert(item));
        }
        if (PyErr_Occurred()) throw PyErrSet{};
        return out;
    }
};

// Fixed-length tuples (a `tuple` exactly of that length).
template <class... T>
struct FromPy<std::tuple<T...>> {
    static std::tuple<T...> convert(PyObject* o) {
        if (!PyTuple_Check(o)) raise_conversion(o, "PyTuple");
        constexpr Py_ssize_t n = sizeof...(T);
        if (PyTuple_GET_SIZE(o) != n)
            raise(PyExc_ValueError, "expected tuple of length " + std::to_string(n) + ", but got tuple of length " +
                                        std::to_string(PyTuple_GET_SIZE(o)));
        return items(o, std::index_sequence_for<T...>{});
    }
    template <std::size_t... I>
    static std::tuple<T...> items(PyObject* o, std::index_sequence<I...>) {
        return std::tuple<T...>{FromPy<T>::convert(PyTuple_GET_ITEM(o, I))...};
    }
};

// A module object taken by value: copied under a shared borrow.
template <Exposed T>
struct FromPy<T> {
    static T convert(PyObject* o) {
        if (!is_instance<T>(o)) raise_conversion(o, PyClass<T>::name);
        Shared<T> s(o);
        return s.get();
    }
};

// ---------------------------------------------------------------------------
// Results.

inline PyObject* to_py(PyRef r) {
    if (!r) throw PyErrSet{};
    return r.release();
}
// A new reference produced by the callee.
inline PyObject* to_py(PyObject* o) {
    if (!o) throw PyErrSet{};
    return o;
}
inline PyObject* to_py(bool b) { return PyBool_FromLong(b); }
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
PyObject* to_py(T v) {
    PyObject* o = std::is_signed_v<T> ? PyLong_FromLongLong(static_cast<long long>(v))
                                      : PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
    if (!o) throw PyErrSet{};
    return o;
}
inline PyObject* to_py(double v) { return check(PyFloat_FromDouble(v)); }
inline PyObject* to_py(std::complex<double> v) { return check(PyComplex_FromDoubles(v.real(), v.imag())); }
inline PyObject* to_py(const std::string& s) {
    return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline PyObject* to_py(const char* s) { return check(PyUnicode_FromString(s)); }

template <Exposed T>
PyObject* to_py(T v) {
    return wrap<T>(std::move(v));
}

// Conversions of values from other namespaces specialise ToPy<T>.
template <class T>
struct ToPy;
template <class T>
    requires requires(T v) { ToPy<T>::convert(std::move(v)); }
PyObject* to_py(T v) {
    return ToPy<T>::convert(std::move(v));
}

template <class T>
PyObject* to_py(std::optional<T> v);
template <class T>
PyObject* to_py(std::vector<T> v);
template <class... T>
PyObject* to_py(std::tuple<T...> v);

template <class T>
PyObject* to_py(std::optional<T> v) {
    if (!v) Py_RETURN_NONE;
    return to_py(std::move(*v));
}

template <class T>
PyObject* to_py(std::vector<T> v) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) throw PyErrSet{};
    for (std::size_t i = 0; i < v.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(std::move(v[i])));
    return list.release();
}

template <class... T>
PyObject* to_py(std::tuple<T...> v) {
    PyRef tuple = PyRef::steal(PyTuple_New(sizeof...(T)));
    if (!tuple) throw PyErrSet{};
    std::apply(
        [&](auto&&... item) {
            Py_ssize_t i = 0;
            ((PyTuple_SET_ITEM(tuple.get(), i++, to_py(std::move(item)))), ...);
        },
        std::move(v));
    return tuple.release();
}

// A `tuple` of Python ints from any range of integers.
template <class Range>
PyObject* int_tuple(const Range& r) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(r))));
    if (!tuple) throw PyErrSet{};
    Py_ssize_t i = 0;
    for (auto v : r) PyTuple_SET_ITEM(tuple.get(), i++, to_py(v));
    return tuple.release();
}

}  // namespace tpy
