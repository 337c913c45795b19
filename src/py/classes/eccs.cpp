// Python class ECCs: a collection of finished classes for one qubit count,
// with its postcard file and Quartz export.  No constructor; value equality;
// unhashable; never changed by its methods.
#include "binding/class_builder.hpp"
#include "classes/registry.hpp"
#include "identity/classes_to_identities.hpp"
#include "search/ecc_file.hpp"
#include "search/quartz.hpp"

namespace tpy {

namespace {

using tsl::ECCs;

std::uint64_t eccs_nqubits(const ECCs& e) { return e.nqubits; }
std::string eccs_str(const ECCs& e) { return e.to_string(); }
bool eccs_eq(const ECCs& a, const ECCs& b) { return a == b; }
std::vector<tsl::ECC> eccs_check(const ECCs& e) { return e.check(); }
std::vector<tsl::ECC> eccs_to_list(const ECCs& e) { return e.eccs; }
ECCs eccs_filter_single(const ECCs& e) { return e.filter_single(); }

void eccs_dump_quartz(const ECCs& e, std::string filepath) {
    tsl::dump_quartz(e, filepath);
}
void eccs_dump_postcard(const ECCs& e, std::string filepath) {
    tsl::save_eccs_postcard(e, filepath);
}
ECCs eccs_from_postcard(std::string filepath) {
    return tsl::load_eccs_postcard(filepath);
}

Py_ssize_t eccs_len(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&] {
        Shared<ECCs> s(self);
        return static_cast<Py_ssize_t>(s.get().size());
    });
}

}  // namespace

PyTypeObject* PyClass<ECCs>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<ECCs> b("Collection of equivalence classes for a fixed number of qubits.");
        b.getter<&eccs_nqubits>("nqubits", nullptr)
            .method<&eccs_dump_quartz>("dump_quartz",
                                       "dump_quartz($self, filepath)\n--\n\nExports ECCs to Quartz JSON format.",
                                       {"filepath"})
            .static_method<&eccs_from_postcard>(
                "from_postcard", "from_postcard(filepath)\n--\n\nLoads ECCs from a postcard file.", {"filepath"})
            .method<&eccs_dump_postcard>("dump_postcard", "dump_postcard($self, filepath)\n--\n\nSaves ECCs as postcard.",
                                         {"filepath"})
            .method<&eccs_check>("check", "check($self)\n--\n\nReturns classes that fail randomized equivalence checks.")
            .method<&eccs_to_list>("to_list", "to_list($self)\n--\n\nReturns all classes as a Python list.")
            .method<&eccs_filter_single>("filter_single",
                                         "filter_single($self)\n--\n\nRemoves classes with only one circuit.")
            .method<&tsl::to_identity_circuits>("to_identity_circuits", "to_identity_circuits($self)\n--\n\nConverts classes into canonical identities plus witness circuit pairs.")
            .str<&eccs_str>()
            .eq<&eccs_eq>()
            .slot(Py_mp_length, reinterpret_cast<void*>(&eccs_len))
            .slot(Py_sq_length, reinterpret_cast<void*>(&eccs_len));
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
