// Compact instructions: a gate of the gate table on at most two qubits, in
// four bytes (the 16-bit gate index, then two qubit bytes).
//
// QArgs16 holds the two qubit bytes; NO_QUBIT (255) marks an unused slot.  The
// used slots are those before the first 255: a value [255, 3] has none, yet
// its second byte still takes part in equality, order and hashing.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <source_location>
#include <span>
#include <string>

#include "base/content_hash.hpp"
#include "model/gate.hpp"
#include "model/permut32.hpp"

namespace tsl {

inline constexpr std::uint8_t NO_QUBIT = 255;

namespace instr_detail {
// "Index out of bounds"
[[noreturn]] void panic_qargs_index(std::source_location where = std::source_location::current());
// "Qubit arguments must be unique"
[[noreturn]] void panic_not_unique(std::source_location where = std::source_location::current());
}  // namespace instr_detail

class QArgs16 {
public:
    // The two qubit bytes, unused slots included.
    std::array<std::uint8_t, 2> raw{NO_QUBIT, NO_QUBIT};

    constexpr QArgs16() = default;
    constexpr QArgs16(std::uint8_t first, std::uint8_t second) : raw{first, second} {}

    // First byte to slot 0, second to slot 1, missing slots NO_QUBIT.  The
    // bytes are not checked; a third byte panics with the index text (2, 2).
    static QArgs16 from_bytes(std::span<const std::uint8_t> bytes);
    static QArgs16 from_bytes(std::initializer_list<std::uint8_t> bytes) {
        return from_bytes(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
    }

    // Number of used slots: 0, 1 or 2.
    constexpr std::size_t len() const {
        return raw[0] == NO_QUBIT ? 0 : (raw[1] == NO_QUBIT ? 1 : 2);
    }
    constexpr bool empty() const { return raw[0] == NO_QUBIT; }

    // The used bytes: a view into this value (so not of a temporary).
    constexpr std::span<const std::uint8_t> as_slice() const& { return {raw.data(), len()}; }
    std::span<const std::uint8_t> as_slice() const&& = delete;
    constexpr const std::uint8_t* begin() const { return raw.data(); }
    constexpr const std::uint8_t* end() const { return raw.data() + len(); }
    constexpr const std::uint8_t* data() const { return raw.data(); }
    constexpr std::size_t size() const { return len(); }

    constexpr bool contains(std::uint8_t q) const {
        const std::size_t n = len();
        return (n > 0 && raw[0] == q) || (n > 1 && raw[1] == q);
    }

    // The i-th used byte.
    constexpr std::uint8_t operator[](std::size_t i) const {
        if (i >= len()) instr_detail::panic_qargs_index();
        return raw[i];
    }

    // Length-prefixed: the count 2, then both bytes.
    void hash(ContentHasher& h) const {
        h.len(2);
        h.write(raw.data(), 2);
    }

    friend constexpr bool operator==(QArgs16, QArgs16) = default;
    friend constexpr auto operator<=>(QArgs16, QArgs16) = default;
};

class Instr32 {
public:
    constexpr Instr32() = default;
    // Unchecked: the stored form, as read from files or built internally.
    constexpr Instr32(Gate16 gate, QArgs16 args) : gate_(gate), args_(args) {}
    constexpr Instr32(Gate16 gate, std::uint8_t q0, std::uint8_t q1 = NO_QUBIT)
        : gate_(gate), args_(q0, q1) {}

    // Checked construction: the number of bytes must equal the gate's qubit
    // count, the bytes must be distinct and none may be NO_QUBIT.  Qubits of 8
    // and more are accepted.
    static Instr32 create(Gate16 gate, std::span<const std::uint8_t> qubits);
    static Instr32 create(Gate16 gate, std::initializer_list<std::uint8_t> qubits) {
        return create(gate, std::span<const std::uint8_t>(qubits.begin(), qubits.size()));
    }

    constexpr Gate16 gate() const { return gate_; }
    // The qubit arguments; iterating them gives the used qubits.
    constexpr const QArgs16& qargs() const { return args_; }

    // OR of 1 << (q & 7) over the used qubits.
    constexpr std::uint8_t arg_mask() const {
        unsigned m = 0;
        for (std::uint8_t q : args_) m |= 1u << (q & 7u);
        return static_cast<std::uint8_t>(m);
    }

    // Frontier check for left-to-right scheduling: every qubit new to `mask`
    // must be the lowest qubit not yet in it.  The updated mask, or nothing.
    constexpr std::optional<std::uint8_t> pass_mask(std::uint8_t mask) const {
        unsigned m = mask;
        for (std::uint8_t q : args_) {
            const unsigned bit = 1u << (q & 7u);
            if (m & bit) continue;
            const unsigned free = static_cast<unsigned>(std::countr_one(static_cast<std::uint8_t>(m)));
            m |= bit;
            if (q != free) return std::nullopt;
        }
        return static_cast<std::uint8_t>(m);
    }

    // The largest used qubit, 0 when no slot is used.
    constexpr std::uint8_t largest_qubit() const {
        std::uint8_t best = 0;
        for (std::uint8_t q : args_)
            if (q > best) best = q;
        return best;
    }

    constexpr bool disjoint(Instr32 other) const { return (arg_mask() & other.arg_mask()) == 0; }

    // Slot of the first used slot holding `qubit`.
    constexpr std::optional<std::uint8_t> position_of_qubit(std::uint8_t qubit) const {
        const std::size_t n = args_.len();
        for (std::size_t i = 0; i < n; ++i)
            if (args_.raw[i] == qubit) return static_cast<std::uint8_t>(i);
        return std::nullopt;
    }

    // Every used qubit q replaced by p.at(q) (whatever p's length); unused
    // slots become NO_QUBIT.  Panics for a qubit of 8 or more and when the
    // relabelled qubits coincide.
    constexpr Instr32 apply_permutation(Permut32 p) const {
        switch (args_.len()) {
            case 0: return Instr32(gate_, QArgs16());
            case 1: return Instr32(gate_, QArgs16(p.at(args_.raw[0]), NO_QUBIT));
            default: {
                const std::uint8_t a = p.at(args_.raw[0]);
                const std::uint8_t b = p.at(args_.raw[1]);
                if (a == b) instr_detail::panic_not_unique();
                return Instr32(gate_, QArgs16(a, b));
            }
        }
    }
    constexpr Instr32 permut(Permut32 p) const { return apply_permutation(p); }

    // The adjoint gate on the same qubit bytes.
    Instr32 adjoint() const { return Instr32(gate_.adjoint(), args_); }

    // "cx(0, 1)", "rz(pi/3)(0)", "x()".
    void write_to(std::string& out) const;
    std::string to_string() const;

    // The gate index (two bytes), then the qubit arguments.
    void hash(ContentHasher& h) const {
        gate_.hash(h);
        args_.hash(h);
    }

    friend constexpr bool operator==(Instr32, Instr32) = default;
    // Qubit bytes first, then the gate index.
    friend constexpr std::strong_ordering operator<=>(Instr32 a, Instr32 b) {
        if (auto c = a.args_ <=> b.args_; c != 0) return c;
        return a.gate_.index() <=> b.gate_.index();
    }

private:
    Gate16 gate_{};
    QArgs16 args_{};
};

static_assert(sizeof(QArgs16) == 2);
static_assert(sizeof(Instr32) == 4);

}  // namespace tsl
