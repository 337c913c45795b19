// Python objects that own one C++ value.
//
// Each exposed C++ type T gets a specialisation of `PyClass<T>` (see
// classes/registry.hpp) naming its Python class, whether its objects carry a
// borrow flag, and the function that builds its type object once.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "binding/borrow.hpp"
#include "binding/errors.hpp"

namespace tpy {

template <class T>
struct PyClass;  // specialised once per exposed type

template <class T>
concept Exposed = requires {
    { PyClass<T>::name } -> std::convertible_to<const char*>;
    { PyClass<T>::type() } -> std::same_as<PyTypeObject*>;
};

template <class T>
constexpr bool has_borrow_flag() {
    if constexpr (requires { PyClass<T>::borrow_flag; })
        return PyClass<T>::borrow_flag;
    else
        return true;
}

template <class T>
struct PyObj {
    PyObject_HEAD
    BorrowFlag flag;
    alignas(T) unsigned char storage[sizeof(T)];

    T& value() { return *std::launder(reinterpret_cast<T*>(storage)); }
    BorrowFlag* borrow_flag() { return has_borrow_flag<T>() ? &flag : nullptr; }
};

template <Exposed T>
PyTypeObject* type_of() {
    PyTypeObject* tp = PyClass<T>::type();
    if (!tp) throw PyErrSet{};
    return tp;
}

template <Exposed T>
bool is_instance(PyObject* o) {
    return PyObject_TypeCheck(o, type_of<T>());
}

template <Exposed T>
PyObj<T>* as_obj(PyObject* o) {
    return reinterpret_cast<PyObj<T>*>(o);
}

// Frees an object fresh from tp_alloc whose value was never constructed:
// its deallocator would destroy a value that does not exist, so the memory
// and the type reference the allocation took are given back by hand.
inline void discard_unfilled(PyObject* o) noexcept {
    PyTypeObject* tp = Py_TYPE(o);
    if (PyType_IS_GC(tp)) PyObject_GC_UnTrack(o);
    tp->tp_free(o);
    if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) Py_DECREF(tp);
}

// A new object of `tp` (the class of T or a subtype) holding `v`.
template <Exposed T>
PyObject* wrap_as(PyTypeObject* tp, T&& v) {
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) throw PyErrSet{};
    auto* obj = as_obj<T>(o);
    new (&obj->flag) BorrowFlag();
    if constexpr (std::is_nothrow_move_constructible_v<T>) {
        new (obj->storage) T(std::move(v));
    } else {
        try {
            new (obj->storage) T(std::move(v));
        } catch (...) {
            discard_unfilled(o);
            throw;
        }
    }
    return o;
}

template <Exposed T>
PyObject* wrap(T v) {
    return wrap_as<T>(type_of<T>(), std::move(v));
}

template <Exposed T>
void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    as_obj<T>(self)->value().~T();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Self or argument access with the borrow the call needs.
template <Exposed T>
class Shared {
public:
    explicit Shared(PyObject* o) : obj_(as_obj<T>(o)), guard_(obj_->borrow_flag()) {}
    const T& get() const { return obj_->value(); }
    PyObject* object() const { return reinterpret_cast<PyObject*>(obj_); }

private:
    PyObj<T>* obj_;
    BorrowGuard<false> guard_;
};

template <Exposed T>
class Exclusive {
public:
    explicit Exclusive(PyObject* o) : obj_(as_obj<T>(o)), guard_(obj_->borrow_flag()) {}
    T& get() const { return obj_->value(); }
    PyObject* object() const { return reinterpret_cast<PyObject*>(obj_); }

private:
    PyObj<T>* obj_;
    BorrowGuard<true> guard_;
};

}  // namespace tpy
