// Python class Gate: a handle on one entry of the gate table.
#include "binding/class_builder.hpp"
#include "binding/numpy_bridge.hpp"
#include "classes/registry.hpp"
#include "model/param/expr_eval.hpp"

namespace tpy {

namespace {

using tsl::Gate16;

Gate16 gate_new(std::string name, std::vector<std::string> params, PyObject* matrix) {
    tsl::GateMatrix m;
    try {
        m = matrix_from_numpy(matrix);
    } catch (const PyErrSet&) {
        prefix_argument_error("matrix");
        throw;
    }
    return Gate16::create(std::move(name), std::move(params), std::move(m));
}

std::vector<double> gate_params_f(const Gate16& g) {
    auto result = tsl::evaluate_params_with_pi(g.params());
    if (auto* err = std::get_if<tsl::NumericError>(&result)) raise(PyExc_ValueError, err->text());
    return std::get<std::vector<double>>(std::move(result));
}
PyObject* gate_matrix(const Gate16& g) { return matrix_to_numpy(g.matrix()); }

// The TypeError of a call whose arguments are neither all qubit indices nor
// all register arguments, naming what went wrong.
[[noreturn]] void raise_call_arguments(PyObject* args) {
    std::string msg = "argument 'args': expected either qubit indices (int from 0 to 255) or register arguments "
                      "(Argument)";
    bool any_int = false, any_argument = false;
    PyObject* bad_type = nullptr;
    PyRef out_of_range;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args) && !bad_type; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        if (is_instance<tsl::Argument>(item)) {
            any_argument = true;
            continue;
        }
        PyRef index = PyRef::steal(PyIndex_Check(item) ? PyNumber_Index(item) : nullptr);
        if (!index) {
            PyErr_Clear();
            bad_type = item;
            continue;
        }
        any_int = true;
        const long long v = PyLong_AsLongLong(index.get());
        if (v == -1 && PyErr_Occurred()) PyErr_Clear();
        if ((v < 0 || v > 255) && !out_of_range) out_of_range = std::move(index);
    }
    if (bad_type) {
        msg += ", not '" + type_qualname(bad_type) + "'";
    } else if (out_of_range) {
        PyRef text = PyRef::steal(PyObject_Str(out_of_range.get()));
        Py_ssize_t n = 0;
        const char* p = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
        if (!p) throw PyErrSet{};
        msg += ", not " + std::string(p, static_cast<std::size_t>(n));
    } else if (any_int && any_argument) {
        msg += ", not a mix";
    }
    raise_type_error(msg);
}

// g(*args): qubit indices make an Instr, register arguments an Instruction
// (the first nqargs quantum, the rest classical).
PyObject* gate_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            PyDict_Next(kwargs, &pos, &key, &value);
            Signature("Gate", "__call__", {}).raise_unexpected_keyword(key);
        }
        const Gate16 g = Shared<Gate16>(self).get();
        std::optional<std::vector<std::uint8_t>> qubits;
        std::optional<std::vector<tsl::Argument>> arguments;
        try {
            qubits = FromPy<std::vector<std::uint8_t>>::convert(args);
        } catch (const PyErrSet&) {
            PyErr_Clear();
            try {
                arguments = FromPy<std::vector<tsl::Argument>>::convert(args);
            } catch (const PyErrSet&) {
                PyErr_Clear();
                raise_call_arguments(args);
            }
        }
        if (qubits) {
            if (qubits->size() != g.nqargs()) tsl::panic("Number of arguments not match for gate " + g.display());
            return to_py(tsl::Instr32::create(g, *qubits));
        }
        return to_py(tsl::Instruction::from_call(g, std::move(*arguments)));
    });
}

}  // namespace

PyTypeObject* PyClass<tsl::Gate16>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Gate16> b(
            "Parameterized quantum gate definition used by both search and Python APIs.");
        b.constructor<&gate_new>({"name", "params", "matrix"})
            .getter<&Gate16::name>("name", "Gate name.")
            .getter<&Gate16::params>("params", "Symbolic parameter list.")
            .getter<&gate_params_f>("params_f", "Numeric parameters evaluated with support for `pi` expressions.")
            .getter<&gate_matrix>("matrix", "Dense unitary matrix.")
            .getter<&Gate16::nqargs>("nqargs", "Number of qubit arguments required by this gate.")
            .static_method<[](std::string name) { return Gate16::from_name(name); }>("from_name",
                                            "Looks up a built-in gate by display name.",
                                            {"name"})
            .method<&Gate16::adjoint>("adjoint", "Returns the adjoint (inverse) gate.")
            .eq()
            .content_hash()
            .str<&Gate16::display>()
            .slot(Py_tp_call, reinterpret_cast<void*>(&gate_call));
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
