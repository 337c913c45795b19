// The process-wide gate table and the 16-bit gate handle.
//
// Entries live at stable addresses and never change after creation, except
// for the cached adjoint, which is set once (atomically).  Hot reads (the
// matrix, the cached adjoint) therefore take no lock; creation and name
// lookups go through the table's reader-writer lock.
#pragma once

#include <atomic>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/content_hash.hpp"
#include "model/qreal.hpp"

namespace tsl {

// Dense complex matrix, stored column by column: entry (r, c) at c * rows + r.
struct GateMatrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<Complex> data;

    GateMatrix() = default;
    GateMatrix(std::size_t r, std::size_t c) : rows(r), cols(c), data(r * c) {}

    Complex& at(std::size_t r, std::size_t c) { return data[c * rows + r]; }
    const Complex& at(std::size_t r, std::size_t c) const { return data[c * rows + r]; }

    // Shape and quantised entries.
    friend bool operator==(const GateMatrix& a, const GateMatrix& b) {
        return a.rows == b.rows && a.cols == b.cols && a.data == b.data;
    }
    void hash(ContentHasher& h) const;
    GateMatrix conjugate_transpose() const;
};

inline constexpr std::uint32_t kNoAdjoint = 0xFFFFFFFFu;

struct GateData {
    std::string name;
    std::vector<std::string> params;
    GateMatrix matrix;
    std::atomic<std::uint32_t> adjoint{kNoAdjoint};
    // Derived once at creation.
    std::string display;
    std::uint64_t matrix_hash = 0;

    GateData(std::string n, std::vector<std::string> p, GateMatrix m);

    // Content hash of the matrix alone.
    std::uint64_t hash_value() const { return matrix_hash; }
};

std::string display_name(std::string_view name, const std::vector<std::string>& params);

class Gate16 {
public:
    constexpr Gate16() = default;
    constexpr explicit Gate16(std::uint16_t idx) : idx_(idx) {}

    // Adds a gate, or returns the entry whose matrix is equal after
    // quantisation.  Panics on a non-square matrix, a row count that is not a
    // power of two and a full table.
    static Gate16 create(std::string name, std::vector<std::string> params, GateMatrix matrix);
    // First entry whose display name equals `name` byte for byte.
    static std::optional<Gate16> from_name(std::string_view name);
    // Reader of the serial forms: panics on an unknown name.
    static Gate16 from_serial_name(std::string_view name);
    static std::size_t table_size();

    constexpr std::uint16_t index() const { return idx_; }
    const GateData& data() const;
    const GateMatrix& matrix() const { return data().matrix; }
    unsigned nqargs() const;
    Gate16 adjoint() const;
    const std::string& name() const { return data().name; }
    const std::vector<std::string>& params() const { return data().params; }
    const std::string& display() const { return data().display; }
    // "Gate(9 -> cx)".
    std::string debug() const;
    // True when the display name reads back as this very gate.
    bool has_unique_name() const;
    // Throws the serial-form refusal unless has_unique_name().
    void check_serializable() const;

    void hash(ContentHasher& h) const { h.u16(idx_); }
    friend constexpr bool operator==(Gate16, Gate16) = default;
    friend constexpr auto operator<=>(Gate16, Gate16) = default;

private:
    std::uint16_t idx_ = 0;
};

// A set of gates, walked in ascending index order.
class GateSet {
public:
    void add(Gate16 g) {
        const std::size_t w = g.index() >> 6;
        if (w >= words_.size()) words_.resize(w + 1);
        words_[w] |= std::uint64_t{1} << (g.index() & 63);
    }
    // The gates of a sequence of instructions.
    template <class Instrs>
    void add_gates_of(const Instrs& instrs) {
        for (const auto& in : instrs) add(in.gate());
    }

    // Derives here, gate by gate in ascending index order, each gate's
    // adjoint and that adjoint's own (which completes its cache; it is the
    // gate again).  A job on the pool over circuits of these gates, their
    // inverses and the inverses' inverses then only reads the gate table,
    // and the adjoints it needs hold the same indices whatever the number
    // of threads: the index orders instructions, so it decides canonical
    // forms and everything sorted by them.
    void create_adjoints() const;

private:
    std::vector<std::uint64_t> words_;
};

// Thrown by Gate16::check_serializable; the file layers report it with their
// own prefix.
class AmbiguousGateName : public std::exception {
public:
    explicit AmbiguousGateName(std::string name)
        : text_("gate display name " + name + " is shared with another gate") {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

// Handles of the built-in gates the kernels and swap materialisation use.
// Built-in gates always hold the lowest indices, so name lookups of these
// always resolve to the same fixed values.
namespace gates {
inline constexpr Gate16 I{0}, H{1}, X{2}, Z{3}, Y{4}, S{5}, SDG{6}, T{7}, TDG{8}, CX{9}, CZ{10},
    CY{11}, CS{12}, CSDG{13}, SWAP{14};
inline constexpr std::size_t kBuiltinCount = 23;
}  // namespace gates

// The built-in entries in index order.
std::vector<std::unique_ptr<GateData>> initial_gates();

}  // namespace tsl
