#include "binding/errors.hpp"

#include <exception>

#include "model/postcard_file.hpp"

namespace tpy {

void raise(PyObject* type, std::string_view msg) {
    PyObject* text = PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size()));
    if (text) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw PyErrSet{};
}

PyObject* panic_exception_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "The exception raised when a call reaches a broken invariant or input it cannot accept.\n\n"
        "It derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
    return type;
}

namespace {

// Sets PanicException(msg) as the pending Python error.
void set_panic_exception(const std::string& msg) {
    PyObject* type = panic_exception_type();
    if (!type) return;  // the error of creating the type stays set
    PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace

void set_panic(const tsl::Panic& p) {
    tsl::report_panic(p);
    set_panic_exception(p.message());
}

void set_panic(const std::string& msg) {
    tsl::report_panic(msg);
    set_panic_exception(msg);
}

void set_current_exception() {
    try {
        throw;
    } catch (const PyErrSet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const tsl::Panic& p) {
        set_panic(p);
    } catch (const tsl::FileError& e) {
        // Files report with one argument, the message.
        PyErr_SetString(e.kind == tsl::FileError::Os ? PyExc_OSError : PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown C++ exception");
    }
}

std::string type_qualname(PyObject* obj) {
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name, &n);
    std::string out = s ? std::string(s, static_cast<std::size_t>(n)) : std::string("?");
    if (!s) PyErr_Clear();
    Py_DECREF(name);
    return out;
}

void raise_conversion(PyObject* obj, std::string_view target) {
    std::string msg = "'";
    msg += type_qualname(obj);
    msg += "' object cannot be converted to '";
    msg += target;
    msg += "'";
    raise_type_error(msg);
}

void prefix_argument_error(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    PyObject* text = PyObject_Str(exc);
    PyObject* remapped = nullptr;
    if (text) {
        remapped = PyUnicode_FromFormat("argument '%s': %U", name, text);
        Py_DECREF(text);
    }
    if (!remapped) {
        Py_DECREF(exc);
        return;
    }
    PyObject* err = PyObject_CallOneArg(PyExc_TypeError, remapped);
    Py_DECREF(remapped);
    if (!err) {
        Py_DECREF(exc);
        return;
    }
    PyException_SetCause(err, PyException_GetCause(exc));  // steals the new reference
    Py_DECREF(exc);
    PyErr_SetRaisedException(err);
}

}  // namespace tpy
