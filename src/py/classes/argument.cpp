// Python class Argument: one named register element such as q[0].
#include "binding/class_builder.hpp"
#include "classes/debug_text.hpp"
#include "classes/registry.hpp"

namespace tpy {

namespace {

using tsl::Argument;

Argument argument_new(std::string regid, std::uint64_t index) { return Argument{std::move(regid), index}; }
std::string argument_regid(const Argument& a) { return a.regid; }
void argument_set_regid(Argument& a, std::string regid) { a.regid = std::move(regid); }
std::uint64_t argument_index(const Argument& a) { return a.index; }
void argument_set_index(Argument& a, std::uint64_t index) { a.index = index; }
bool argument_eq(const Argument& a, const Argument& b) { return a == b; }
std::string argument_str(const Argument& a) { return a.to_string(); }
std::string argument_repr(const Argument& a) {
    std::string s;
    write_debug(s, a);
    return s;
}

}  // namespace

PyTypeObject* PyClass<Argument>::type() {
    static PyTypeObject* tp = [] {
        static ClassBuilder<Argument> b(
            "Argument(regid, index)\n--\n\n"
            "A named register argument (e.g., `q[0]`, `c[2]`) used by high-level instructions.");
        b.constructor<&argument_new>({"regid", "index"})
            .property<&argument_regid, &argument_set_regid>("regid", "Register name.")
            .property<&argument_index, &argument_set_index>("index", "Element index within the register.")
            .eq<&argument_eq>()
            .content_hash()
            .str<&argument_str>()
            .repr<&argument_repr>();
        return b.build();
    }();
    return tp;
}

}  // namespace tpy
