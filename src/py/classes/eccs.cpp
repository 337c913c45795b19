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
        b.getter<&ECCs::nqubits>("nqubits", nullptr)
            .method<&tsl::dump_quartz>("dump_quartz", "Exports ECCs to Quartz JSON format.", {"filepath"})
            .static_method<&tsl::load_eccs_postcard>(
                "from_postcard", "Loads ECCs from a postcard file.", {"filepath"})
            .method<&tsl::save_eccs_postcard>("dump_postcard", "Saves ECCs as postcard.", {"filepath"})
            .method<&ECCs::check>("check", "Returns classes that fail randomized equivalence checks.")
            .method<&ECCs::eccs>("to_list", "Returns all classes as a Python list.")
            .method<&ECCs::filter_single>("filter_single", "Removes classes with only one circuit.")
            .method<&tsl::to_identity_circuits>("to_identity_circuits", "Converts classes into canonical identities plus witness circuit pairs.")
            .str<&ECCs::to_string>()
            .eq()
            .slot(Py_mp_length, reinterpret_cast<void*>(&eccs_len))
            .slot(Py_sq_length, reinterpret_cast<void*>(&eccs_len));
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
