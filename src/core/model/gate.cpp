#include "model/gate.hpp"

#include <bit>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "base/panic.hpp"

namespace tsl {

void GateMatrix::hash(ContentHasher& h) const {
    h.len(rows);
    h.len(cols);
    for (const Complex& z : data) {
        h.u64(z.re.key());
        h.u64(z.im.key());
    }
}

GateMatrix GateMatrix::conjugate_transpose() const {
    GateMatrix out(cols, rows);
    for (std::size_t r = 0; r < out.rows; ++r)
        for (std::size_t c = 0; c < out.cols; ++c) {
            const Complex& z = at(c, r);
            out.at(r, c) = Complex{z.re, -z.im};
        }
    return out;
}

std::string display_name(std::string_view name, const std::vector<std::string>& params) {
    std::string out(name);
    if (!params.empty()) {
        out.push_back('(');
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (i) out += ", ";
            out += params[i];
        }
        out.push_back(')');
    }
    return out;
}

GateData::GateData(std::string n, std::vector<std::string> p, GateMatrix m)
    : name(std::move(n)), params(std::move(p)), matrix(std::move(m)) {
    display = display_name(name, params);
    ContentHasher h;
    matrix.hash(h);
    matrix_hash = h.finish();
}

namespace {

constexpr std::size_t kCapacity = 65536;

class GateTable {
public:
    static GateTable& get() {
        static GateTable table;
        return table;
    }

    const GateData& at(std::uint16_t idx) const {
        if (idx >= size_.load(std::memory_order_acquire)) panic_index_oob(size(), idx);
        return *slots_[idx];
    }
    std::size_t size() const { return size_.load(std::memory_order_acquire); }

    Gate16 insert(std::unique_ptr<GateData> entry) {
        std::unique_lock lock(mutex_);
        auto it = by_hash_.find(entry->matrix_hash);
        if (it != by_hash_.end())
            for (std::uint16_t idx : it->second)
                if (slots_[idx]->matrix == entry->matrix) return Gate16(idx);
        std::size_t n = size_.load(std::memory_order_relaxed);
        if (n >= kCapacity) panic("Gate table is full");
        append_locked(std::move(entry));
        return Gate16(static_cast<std::uint16_t>(n));
    }

    std::optional<Gate16> find(std::string_view name) const {
        std::shared_lock lock(mutex_);
        auto it = by_name_.find(std::string(name));
        if (it == by_name_.end()) return std::nullopt;
        return Gate16(it->second);
    }

private:
    GateTable() : slots_(new std::unique_ptr<GateData>[kCapacity]) {
        std::unique_lock lock(mutex_);
        for (auto& g : initial_gates()) append_locked(std::move(g));
    }

    void append_locked(std::unique_ptr<GateData> entry) {
        std::size_t n = size_.load(std::memory_order_relaxed);
        auto idx = static_cast<std::uint16_t>(n);
        by_hash_[entry->matrix_hash].push_back(idx);
        by_name_.try_emplace(entry->display, idx);
        slots_[n] = std::move(entry);
        size_.store(n + 1, std::memory_order_release);
    }

    mutable std::shared_mutex mutex_;
    std::unique_ptr<std::unique_ptr<GateData>[]> slots_;
    std::atomic<std::size_t> size_{0};
    std::unordered_map<std::uint64_t, std::vector<std::uint16_t>> by_hash_;
    std::unordered_map<std::string, std::uint16_t> by_name_;
};

}  // namespace

Gate16 Gate16::create(std::string name, std::vector<std::string> params, GateMatrix matrix) {
    if (matrix.rows == 0 || !std::has_single_bit(matrix.rows))
        panic("Matrix must have a number of rows that is a power of two");
    if (matrix.cols != matrix.rows) panic("Matrix must be squared");
    auto entry = std::make_unique<GateData>(std::move(name), std::move(params), std::move(matrix));
    return GateTable::get().insert(std::move(entry));
}

std::optional<Gate16> Gate16::from_name(std::string_view name) { return GateTable::get().find(name); }

Gate16 Gate16::from_serial_name(std::string_view name) {
    if (auto g = from_name(name)) return *g;
    panic("Failed to deserialize Gate16 from " + std::string(name));
}

std::size_t Gate16::table_size() { return GateTable::get().size(); }

const GateData& Gate16::data() const { return GateTable::get().at(idx_); }

unsigned Gate16::nqargs() const { return static_cast<unsigned>(std::countr_zero(data().matrix.rows)); }

Gate16 Gate16::adjoint() const {
    const GateData& d = data();
    std::uint32_t cached = d.adjoint.load(std::memory_order_acquire);
    if (cached != kNoAdjoint) return Gate16(static_cast<std::uint16_t>(cached));
    Gate16 adj = create(d.name + "\u2020", d.params, d.matrix.conjugate_transpose());
    const_cast<GateData&>(d).adjoint.store(adj.index(), std::memory_order_release);
    return adj;
}

void GateSet::create_adjoints() const {
    for (std::size_t w = 0; w < words_.size(); ++w)
        for (std::uint64_t bits = words_[w]; bits; bits &= bits - 1) {
            const Gate16 g(static_cast<std::uint16_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
            (void)g.adjoint().adjoint();
        }
}

std::string Gate16::debug() const {
    const GateData& d = data();
    return "Gate(" + std::to_string(idx_) + " -> " + d.display + ")";
}

bool Gate16::has_unique_name() const {
    auto found = from_name(display());
    return found && *found == *this;
}

void Gate16::check_serializable() const {
    if (!has_unique_name()) throw AmbiguousGateName(display());
}

}  // namespace tsl
