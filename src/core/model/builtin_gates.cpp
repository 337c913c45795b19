// The twenty-three built-in gates at their fixed indices.
#include <cmath>

#include "model/gate.hpp"

namespace tsl {

namespace {

constexpr double kS = 0.7071067811865476;  // the float nearest sqrt(1/2)

// cos a + i sin a, both parts correctly rounded, as literals.
struct Phase {
    double re, im;
};
constexpr Phase kPi4{0.7071067811865476, 0.7071067811865475};
constexpr Phase kPi8{0.9238795325112867, 0.3826834323650898};
constexpr Phase kPi3{0.5000000000000001, 0.8660254037844386};
constexpr Phase kPi5{0.8090169943749475, 0.5877852522924731};
constexpr Phase kPi16{0.9807852804032304, 0.19509032201612825};

Complex c(double re, double im = 0.0) { return Complex{re, im}; }

// Matrix given row by row.
GateMatrix rows(std::size_t n, std::initializer_list<Complex> entries) {
    GateMatrix m(n, n);
    std::size_t k = 0;
    for (const Complex& z : entries) {
        m.at(k / n, k % n) = z;
        ++k;
    }
    return m;
}

GateMatrix diag(std::initializer_list<Complex> entries) {
    GateMatrix m(entries.size(), entries.size());
    std::size_t k = 0;
    for (const Complex& z : entries) {
        m.at(k, k) = z;
        ++k;
    }
    return m;
}

std::unique_ptr<GateData> gate(const char* name, GateMatrix m, std::vector<std::string> params = {}) {
    return std::make_unique<GateData>(name, std::move(params), std::move(m));
}

std::unique_ptr<GateData> phase(const char* name, Phase p, bool negate, std::vector<std::string> params = {}) {
    return gate(name, diag({c(1), c(p.re, negate ? -p.im : p.im)}), std::move(params));
}

}  // namespace

std::vector<std::unique_ptr<GateData>> initial_gates() {
    const Complex o = c(0), l = c(1), i = c(0, 1), ni = c(0, -1), nl = c(-1);
    std::vector<std::unique_ptr<GateData>> out;
    out.push_back(gate("i", diag({l, l})));
    out.push_back(gate("h", rows(2, {c(kS), c(kS), c(kS), c(-kS)})));
    out.push_back(gate("x", rows(2, {o, l, l, o})));
    out.push_back(gate("z", diag({l, nl})));
    out.push_back(gate("y", rows(2, {o, ni, i, o})));
    out.push_back(gate("s", diag({l, i})));
    out.push_back(gate("sdg", diag({l, ni})));
    out.push_back(phase("t", kPi4, false));
    out.push_back(phase("tdg", kPi4, true));
    out.push_back(gate("cx", rows(4, {l, o, o, o, o, l, o, o, o, o, o, l, o, o, l, o})));
    out.push_back(gate("cz", diag({l, l, l, nl})));
    out.push_back(gate("cy", rows(4, {l, o, o, o, o, l, o, o, o, o, o, ni, o, o, i, o})));
    out.push_back(gate("cs", diag({l, l, l, i})));
    out.push_back(gate("csdg", diag({l, l, l, ni})));
    out.push_back(gate("swap", rows(4, {l, o, o, o, o, o, l, o, o, l, o, o, o, o, o, l})));
    out.push_back(phase("t1/2", kPi8, false));
    out.push_back(phase("tdg1/2", kPi8, true));
    out.push_back(phase("rz", kPi3, false, {"pi/3"}));
    out.push_back(phase("rz", kPi3, true, {"-pi/3"}));
    out.push_back(phase("rz", kPi5, false, {"pi/5"}));
    out.push_back(phase("rz", kPi5, true, {"-pi/5"}));
    out.push_back(phase("rz", kPi16, false, {"pi/16"}));
    out.push_back(phase("rz", kPi16, true, {"-pi/16"}));
    return out;
}

}  // namespace tsl
