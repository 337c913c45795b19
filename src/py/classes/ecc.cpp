// Python class ECC: one finished equivalence class.  No constructor; value
// equality; unhashable.
#include "binding/class_builder.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::ECC;


}  // namespace

PyTypeObject* PyClass<ECC>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<ECC> b("One equivalence class of circuits.");
        b.method<&ECC::circuits>(
             "circuits", "Returns all circuits in this class with swap instructions materialized.")
            .str<&ECC::to_string>()
            .eq();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
