// Module entry: creates `tessellan` once per process and registers the
// classes in their fixed order.
#include <atomic>

#include "binding/errors.hpp"
#include "binding/pyref.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

template <class... T>
std::vector<ClassEntry> entries() {
    return {{PyClass<T>::name, &PyClass<T>::type}...};
}

}  // namespace

const std::vector<ClassEntry>& module_classes() {
    static const std::vector<ClassEntry> classes =  // in registration order
        entries<tsl::Argument, tsl::Instruction, tsl::Gate16, tsl::Instr32, tsl::StateVec, tsl::ECC, tsl::ECCs,
                tsl::RawECCs, tsl::Evaluator, tsl::Circ, tsl::IdentityCirc, tsl::IdentityProver, tsl::Proof>();
    return classes;
}

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessellan",
    "Native extension module entry point of tessellan.\n\n"
    "It registers the implementation's classes, which the package file python/tessellan/__init__ "
    "re-exports and wraps.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> interpreter_id{-1};
PyObject* module_object = nullptr;

void register_classes(PyObject* module) {
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all) throw PyErrSet{};
    if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) throw PyErrSet{};
    for (const ClassEntry& c : module_classes()) {
        PyTypeObject* tp = c.type();
        if (!tp) throw PyErrSet{};
        PyRef name = PyRef::steal(PyUnicode_FromString(c.name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) {
            PyErr_Clear();
            tsl::panic("could not append __name__ to __all__");
        }
        if (PyObject_SetAttrString(module, c.name, reinterpret_cast<PyObject*>(tp)) < 0) throw PyErrSet{};
    }
}

PyObject* init() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules do not yet support subinterpreters, see "
                        "https://github.com/PyO3/pyo3/issues/576");
        return nullptr;
    }
    if (module_object) return Py_NewRef(module_object);
    PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
    if (!module) return nullptr;
    if (!guarded<bool>(false, [&] {
            register_classes(module.get());
            return true;
        }))
        return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace tpy

PyMODINIT_FUNC PyInit_tessellan() { return tpy::guarded<PyObject*>(nullptr, [] { return tpy::init(); }); }
