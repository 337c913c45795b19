#include "check.hpp"
#include "model/gate.hpp"

using namespace tsl;

namespace {

// A one-qubit diagonal gate diag(1, e^{i phi}) with its phase as given.
Gate16 phase_gate(const char* name, double re, double im) {
    GateMatrix m(2, 2);
    m.at(0, 0) = Complex{1.0, 0.0};
    m.at(1, 1) = Complex{re, im};
    return Gate16::create(name, {}, std::move(m));
}

}  // namespace

// Adjoints come in ascending index order of the set's gates, whatever the
// order they were added in; each adjoint's own adjoint is the gate again,
// and a second pass adds nothing.
TEST_CASE(adjoints_are_created_in_index_order) {
    const Gate16 a = phase_gate("a", 0.6, 0.8), b = phase_gate("b", 0.8, 0.6);
    const std::size_t size = Gate16::table_size();
    GateSet set;
    set.add(b);
    set.add(gates::T);  // its adjoint, tdg, is built in
    set.add(a);
    set.create_adjoints();
    CHECK_EQ(Gate16::table_size(), size + 2);
    // Every cache a later request reads is filled: requests only read.
    const auto cached = [](Gate16 g) { return g.data().adjoint.load(); };
    CHECK_EQ(cached(a), std::uint32_t(size));
    CHECK_EQ(cached(b), std::uint32_t(size + 1));
    CHECK_EQ(cached(Gate16(static_cast<std::uint16_t>(size))), std::uint32_t{a.index()});
    CHECK_EQ(cached(Gate16(static_cast<std::uint16_t>(size + 1))), std::uint32_t{b.index()});
    CHECK_EQ(cached(gates::T), std::uint32_t{gates::TDG.index()});
    CHECK_EQ(a.adjoint().name(), std::string("a\u2020"));

    set.add(a.adjoint());
    set.create_adjoints();
    CHECK_EQ(Gate16::table_size(), size + 2);
}

CHECK_MAIN()
