// Python class ECC: one finished equivalence class.  No constructor; value
// equality; unhashable.
#include "binding/class_builder.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::ECC;

std::vector<std::vector<tsl::Instr32>> ecc_circuits(const ECC& e) { return e.circuits(); }
std::string ecc_str(const ECC& e) { return e.to_string(); }
bool ecc_eq(const ECC& a, const ECC& b) { return a == b; }

}  // namespace

PyTypeObject* PyClass<ECC>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<ECC> b("One equivalence class of circuits.");
        b.method<&ecc_circuits>(
             "circuits", "circuits($self)\n--\n\nReturns all circuits in this class with swap instructions materialized.")
            .str<&ecc_str>()
            .eq<&ecc_eq>();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
