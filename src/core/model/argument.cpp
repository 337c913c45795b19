#include "model/argument.hpp"

#include <charconv>

namespace tsl {

void Argument::write_to(std::string& out) const {
    out += regid;
    out.push_back('[');
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, index);
    out.append(buf, r.ptr);
    out.push_back(']');
}

std::string Argument::to_string() const {
    std::string s;
    write_to(s);
    return s;
}

}  // namespace tsl
