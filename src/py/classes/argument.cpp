// Python class Argument: one named register element such as q[0].
#include "binding/class_builder.hpp"
#include "classes/debug_text.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::Argument;

Argument argument_new(std::string regid, std::uint64_t index) { return Argument{std::move(regid), index}; }
std::string argument_repr(const Argument& a) {
    std::string s;
    write_debug(s, a);
    return s;
}

}  // namespace

PyTypeObject* PyClass<Argument>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Argument> b(
            "A named register argument (e.g., `q[0]`, `c[2]`) used by high-level instructions.");
        b.constructor<&argument_new>({"regid", "index"})
            .field<&Argument::regid>("regid", "Register name.")
            .field<&Argument::index>("index", "Element index within the register.")
            .eq()
            .content_hash()
            .str<&Argument::to_string>()
            .repr<&argument_repr>();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
