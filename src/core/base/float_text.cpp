#include "base/float_text.hpp"

#include <charconv>
#include <cmath>

namespace tsl {

std::string float_shortest(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

std::string float_fixed(double x, int prec, bool plus) {
    if (std::isnan(x)) return "NaN";
    std::string out;
    if (plus && !std::signbit(x)) out.push_back('+');
    if (std::isinf(x)) return out + (x > 0 ? "inf" : "-inf");
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, prec);
    out.append(buf, res.ptr);
    return out;
}

}  // namespace tsl
