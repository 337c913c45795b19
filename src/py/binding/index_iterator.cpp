#include "binding/index_iterator.hpp"

#include "binding/errors.hpp"

namespace tpy {

namespace {

struct IndexIter {
    PyObject_HEAD
    PyObject* source;  // null once exhausted
    IndexFetch fetch;
    std::size_t next;
};

IndexIter* as_iter(PyObject* o) { return reinterpret_cast<IndexIter*>(o); }

PyObject* iter_next(PyObject* self) {
    IndexIter* it = as_iter(self);
    if (!it->source) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* item = it->fetch(it->source, it->next);
        if (!item) {
            Py_CLEAR(it->source);  // exhausted for good
            return nullptr;
        }
        ++it->next;
        return item;
    });
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_iter(self)->source);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int iter_clear(PyObject* self) {
    Py_CLEAR(as_iter(self)->source);
    return 0;
}

void iter_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_iter(self)->source);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyTypeObject* iterator_type() {
    static PyTypeObject* tp = [] {
        static PyType_Slot slots[] = {
            {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
            {Py_tp_iternext, reinterpret_cast<void*>(&iter_next)},
            {Py_tp_traverse, reinterpret_cast<void*>(&iter_traverse)},
            {Py_tp_clear, reinterpret_cast<void*>(&iter_clear)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&iter_dealloc)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.index_iterator", static_cast<int>(sizeof(IndexIter)), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   slots};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }();
    return tp;
}

}  // namespace

PyObject* index_iterator(PyObject* source, IndexFetch fetch) {
    PyTypeObject* tp = iterator_type();
    if (!tp) throw PyErrSet{};
    PyObject* o = PyType_GenericAlloc(tp, 0);
    if (!o) throw PyErrSet{};
    IndexIter* it = as_iter(o);
    it->source = Py_NewRef(source);
    it->fetch = fetch;
    it->next = 0;
    return o;
}

}  // namespace tpy
