// Gate application on state vectors: the nine kernels and the dense product.
//
// A K-qubit application works on groups of 2^K amplitudes: group g (g from 0
// to 2^(n-K) - 1) holds the basis indices that carry g spread over the
// non-argument qubits in increasing bit order, and entry k of the group sets
// argument j to bit K-1-j of k (the first argument is the most significant
// bit of the matrix index).  Groups are disjoint, so each is read, computed
// and written back on its own.
#include "state/gate_apply.hpp"

#include <cstdint>
#include <string>

#include "base/panic.hpp"
#include "state/state_vec.hpp"

namespace tsl {

namespace {

constexpr double kC = 0.7071067811865476;  // the float nearest sqrt(1/2)

[[noreturn]] void panic_arity() {
    panic("called `Result::unwrap()` on an `Err` value: TryFromSliceError(())");
}

// Checks the qubit arguments before anything is written.  Repeated qubits are
// refused.  For a qubit outside the state the panic reports the first index
// of group 0, in entry order, that is not below the length: with distinct
// qubits that is 2^q for the last out-of-range argument (its matrix bit is
// the lowest of them).  2^q that does not fit a machine word (q of 64 or
// more) is reported as the largest machine-size value.
void check_qubits(const StateVec& s, const std::uint8_t* q, std::size_t k) {
    for (std::size_t i = 1; i < k; ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (q[i] == q[j]) panic("Qubit arguments must be unique");
    const std::size_t n = s.nqubits();
    for (std::size_t i = k; i-- > 0;)
        if (q[i] >= n) panic_index_oob(s.len(), q[i] < 64 ? std::size_t{1} << q[i] : SIZE_MAX);
}

// Next group base: the next larger value with zeros at the argument bits.
inline std::size_t next_base(std::size_t base, std::size_t mask) { return ((base | mask) + 1) & ~mask; }

// Runs f(re, im, i0, i1) for every one-qubit group (i0 with the qubit clear,
// i1 with it set), in group order.
template <class F>
inline void each_pair(StateVec& s, const std::uint8_t* q, std::size_t nargs, F f) {
    if (nargs != 1) panic_arity();
    check_qubits(s, q, 1);
    const std::size_t len = s.len();
    const std::size_t step = std::size_t{1} << q[0];
    Qreal* re = s.re_mut().data();
    Qreal* im = s.im_mut().data();
    for (std::size_t hi = 0; hi < len; hi += 2 * step)
        for (std::size_t i0 = hi; i0 < hi + step; ++i0) f(re, im, i0, i0 + step);
}

// Runs f(re, im, base, b0, b1) for every two-qubit group, b0 and b1 being the
// bits of arguments 0 and 1 (so entry k = 2 * bit0 + bit1 is base | ...).
template <class F>
inline void each_quad(StateVec& s, const std::uint8_t* q, std::size_t nargs, F f) {
    if (nargs != 2) panic_arity();
    check_qubits(s, q, 2);
    const std::size_t b0 = std::size_t{1} << q[0], b1 = std::size_t{1} << q[1];
    const std::size_t mask = b0 | b1;
    const std::size_t groups = s.len() >> 2;
    Qreal* re = s.re_mut().data();
    Qreal* im = s.im_mut().data();
    std::size_t base = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        f(re, im, base, b0, b1);
        base = next_base(base, mask);
    }
}

inline void exchange(Qreal* re, Qreal* im, std::size_t i, std::size_t j) {
    const Qreal r = re[i], m = im[i];
    re[i] = re[j];
    im[i] = im[j];
    re[j] = r;
    im[j] = m;
}

// Dense product on K qubits; the arguments are already checked.
template <unsigned K>
void dense(StateVec& s, const std::uint8_t* q, const GateMatrix& matrix) {
    constexpr std::size_t D = std::size_t{1} << K;
    // One copy of the matrix per call, column by column: (r, c) at c * D + r.
    double mr[D * D], mi[D * D];
    for (std::size_t e = 0; e < D * D; ++e) {
        mr[e] = matrix.data[e].re.v;
        mi[e] = matrix.data[e].im.v;
    }
    std::size_t off[D];
    std::size_t mask = 0;
    for (unsigned j = 0; j < K; ++j) mask |= std::size_t{1} << q[j];
    for (std::size_t k = 0; k < D; ++k) {
        std::size_t o = 0;
        for (unsigned j = 0; j < K; ++j)
            if ((k >> (K - 1 - j)) & 1) o |= std::size_t{1} << q[j];
        off[k] = o;
    }
    const std::size_t groups = s.len() >> K;
    Qreal* re = s.re_mut().data();
    Qreal* im = s.im_mut().data();
    std::size_t base = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        double ar[D], ai[D];
        for (std::size_t c = 0; c < D; ++c) {
            ar[c] = re[base + off[c]].v;
            ai[c] = im[base + off[c]].v;
        }
        for (std::size_t r = 0; r < D; ++r) {
            // v[r] = sum over c ascending of M(r, c) * a[c], each complex
            // product formed before it is added.
            double vr = mr[r] * ar[0] - mi[r] * ai[0];
            double vi = mi[r] * ar[0] + mr[r] * ai[0];
            for (std::size_t c = 1; c < D; ++c) {
                const std::size_t e = c * D + r;
                vr = vr + (mr[e] * ar[c] - mi[e] * ai[c]);
                vi = vi + (mi[e] * ar[c] + mr[e] * ai[c]);
            }
            re[base + off[r]] = vr;
            im[base + off[r]] = vi;
        }
        base = next_base(base, mask);
    }
}

void require_square(const GateMatrix& m, std::size_t d) {
    if (m.rows != d || m.cols != d) {
        const std::string n = std::to_string(d);
        panic("assertion failed: matrix.nrows() == " + n + " && matrix.ncols() == " + n);
    }
}

}  // namespace

void perform_h_gate(StateVec& s, const std::uint8_t* q, std::size_t nargs) {
    each_pair(s, q, nargs, [](Qreal* re, Qreal* im, std::size_t i0, std::size_t i1) {
        const double r0 = re[i0].v, m0 = im[i0].v, r1 = re[i1].v, m1 = im[i1].v;
        re[i0] = (r0 + r1) * kC;
        im[i0] = (m0 + m1) * kC;
        re[i1] = (r0 - r1) * kC;
        im[i1] = (m0 - m1) * kC;
    });
}

void perform_x_gate(StateVec& s, const std::uint8_t* q, std::size_t nargs) {
    each_pair(s, q, nargs, [](Qreal* re, Qreal* im, std::size_t i0, std::size_t i1) { exchange(re, im, i0, i1); });
}

void perform_z_gate(StateVec& s, const std::uint8_t* q, std::size_t nargs) {
    each_pair(s, q, nargs, [](Qreal* re, Qreal* im, std::size_t, std::size_t i1) {
        re[i1] = -re[i1].v;
        im[i1] = -im[i1].v;
    });
}

// The `* 0.0` terms stay: they carry NaN, infinities and the sign of zero.
void perform_s_gate(StateVec& s, const std::uint8_t* q, std::size_t nargs) {
    each_pair(s, q, nargs, [](Qreal* re, Qreal* im, std::size_t, std::size_t i1) {
        const double r = re[i1].v, m = im[i1].v;
        re[i1] = r * 0.0 - m;
        im[i1] = r + m * 0.0;
    });
}

void perform_sdg_gate(StateVec& s, const std::uint8_t* q, std::size_t nargs) {
    each_pair(s, q, nargs, [](Qreal* re, Qreal* im, std::size_t, std::size_t i1) {
        const double r = re[i1].v, m = im[i1].v;
        re[i1] = m + r * 0.0;
        im[i1] = m * 0.0 - r;
    });
}

void perform_t_gate(StateVec& s, const std::uint8_t* q, std::size_t nargs) {
    each_pair(s, q, nargs, [](Qreal* re, Qreal* im, std::size_t, std::size_t i1) {
        const double r = re[i1].v, m = im[i1].v;
        re[i1] = (r * kC) - (m * kC);
        im[i1] = (r * kC) + (m * kC);
    });
}

void perform_tdg_gate(StateVec& s, const std::uint8_t* q, std::size_t nargs) {
    each_pair(s, q, nargs, [](Qreal* re, Qreal* im, std::size_t, std::size_t i1) {
        const double r = re[i1].v, m = im[i1].v;
        re[i1] = (r * kC) + (m * kC);
        im[i1] = (m * kC) - (r * kC);
    });
}

void perform_cx_gate(StateVec& s, const std::uint8_t* q, std::size_t nargs) {
    // Entries 2 (control set) and 3 (control and target set) exchanged.
    each_quad(s, q, nargs, [](Qreal* re, Qreal* im, std::size_t base, std::size_t b0, std::size_t b1) {
        exchange(re, im, base | b0, base | b0 | b1);
    });
}

void perform_swap_gate(StateVec& s, const std::uint8_t* q, std::size_t nargs) {
    // Entries 1 and 2 exchanged.
    each_quad(s, q, nargs, [](Qreal* re, Qreal* im, std::size_t base, std::size_t b0, std::size_t b1) {
        exchange(re, im, base | b1, base | b0);
    });
}

GateKernel gate_kernel(Gate16 gate) {
    switch (gate.index()) {
        case gates::H.index(): return perform_h_gate;
        case gates::X.index(): return perform_x_gate;
        case gates::Z.index(): return perform_z_gate;
        case gates::S.index(): return perform_s_gate;
        case gates::SDG.index(): return perform_sdg_gate;
        case gates::T.index(): return perform_t_gate;
        case gates::TDG.index(): return perform_tdg_gate;
        case gates::CX.index(): return perform_cx_gate;
        case gates::SWAP.index(): return perform_swap_gate;
        default: return nullptr;
    }
}

namespace {

// Kept out of line so that `apply` needs no frame of its own and jumps
// straight to a gate's kernel.
[[gnu::noinline]] void apply_dense(StateVec& s, const std::uint8_t* qubits, std::size_t nargs, Gate16 gate) {
    s.multiply(qubits, nargs, gate.matrix());
}

}  // namespace

void StateVec::apply(const std::uint8_t* qubits, std::size_t nargs, Gate16 gate) {
    if (const GateKernel kernel = gate_kernel(gate)) return kernel(*this, qubits, nargs);
    apply_dense(*this, qubits, nargs, gate);
}

void StateVec::multiply(const std::uint8_t* qubits, std::size_t nargs, const GateMatrix& matrix) {
    switch (nargs) {
        case 1:
            require_square(matrix, 2);
            check_qubits(*this, qubits, 1);
            return dense<1>(*this, qubits, matrix);
        case 2:
            require_square(matrix, 4);
            check_qubits(*this, qubits, 2);
            return dense<2>(*this, qubits, matrix);
        case 3:
            require_square(matrix, 8);
            check_qubits(*this, qubits, 3);
            return dense<3>(*this, qubits, matrix);
        default: panic("Unsupported number of qubits: " + std::to_string(nargs));
    }
}

}  // namespace tsl
