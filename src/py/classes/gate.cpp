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

std::string gate_name(const Gate16& g) { return g.name(); }
std::vector<std::string> gate_params(const Gate16& g) { return g.params(); }
std::vector<double> gate_params_f(const Gate16& g) {
    auto result = tsl::evaluate_params_with_pi(g.params());
    if (auto* err = std::get_if<tsl::NumericError>(&result)) raise(PyExc_ValueError, err->text());
    return std::get<std::vector<double>>(std::move(result));
}
PyObject* gate_matrix(const Gate16& g) { return matrix_to_numpy(g.matrix()); }
unsigned gate_nqargs(const Gate16& g) { return g.nqargs(); }
std::optional<Gate16> gate_from_name(std::string name) { return Gate16::from_name(name); }
Gate16 gate_adjoint(const Gate16& g) { return g.adjoint(); }
bool gate_eq(const Gate16& a, const Gate16& b) { return a == b; }
std::uint64_t gate_hash(const Gate16& g) {
    tsl::ContentHasher h;
    g.hash(h);
    return h.finish();
}
std::string gate_str(const Gate16& g) { return g.display(); }

}  // namespace

PyTypeObject* PyClass<tsl::Gate16>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Gate16> b(
            "Gate(name, params, matrix)\n--\n\n"
            "Parameterized quantum gate definition used by both search and Python APIs.");
        b.constructor<&gate_new>({"name", "params", "matrix"})
            .getter<&gate_name>("name", "Gate name.")
            .getter<&gate_params>("params", "Symbolic parameter list.")
            .getter<&gate_params_f>("params_f", "Numeric parameters evaluated with support for `pi` expressions.")
            .getter<&gate_matrix>("matrix", "Dense unitary matrix.")
            .getter<&gate_nqargs>("nqargs", "Number of qubit arguments required by this gate.")
            .static_method<&gate_from_name>("from_name",
                                            "from_name(name)\n--\n\nLooks up a built-in gate by display name.",
                                            {"name"})
            .method<&gate_adjoint>("adjoint", "adjoint($self)\n--\n\nReturns the adjoint (inverse) gate.")
            .eq<&gate_eq>()
            .hash<&gate_hash>()
            .str<&gate_str>();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
