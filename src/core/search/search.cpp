// Breadth-first enumeration of circuits and the gate-set expansion.
#include <algorithm>
#include <deque>

#include "base/fd_output.hpp"
#include "base/fmt_join.hpp"
#include "base/panic.hpp"
#include "search/raw_eccs.hpp"

namespace tsl {

namespace {

void progress_line(const SearchCounters& c, const std::vector<Instr32>& instr_vec, std::size_t queued,
                   std::size_t classes) {
    std::string line = "#";
    line += std::to_string(c[0]);
    line += " Exploring ";
    fjoin(instr_vec, " ").write_to(line);
    line += " (" + std::to_string(queued) + " queued, " + std::to_string(classes) + " ECCs, " +
            std::to_string(c[1]) + " circs, " + std::to_string(c[2]) + " circs perm)\n";
    write_stdout_text(line);
}

// The loop shared by both searches; `file` evaluates `instr_vec` and files it
// (extending `circ`), returning the lists of classes it opened.
template <class File>
std::pair<RawECCs, SearchCounters> bfs(const Evaluator& evaluator, std::span<const Instr32> instrs,
                                       std::uint64_t max_size, File&& file) {
    RawECCs map(evaluator);
    SearchCounters counters{0, 0, 0};
    std::deque<InstrList> queue;
    queue.push_back(InstrList::nil());
    std::vector<Instr32> instr_vec;
    while (!queue.empty()) {
        const InstrList circ = queue.front();
        queue.pop_front();
        instr_vec.clear();
        map.instructions(circ, instr_vec);
        if (counters[0] % 400 == 0) progress_line(counters, instr_vec, queue.size(), map.num_classes());
        file.start(instr_vec);
        for (const Instr32& instr : instrs) {
            instr_vec.push_back(instr);
            file(map, circ, instr_vec, [&](InstrList opened) {
                if (instr_vec.size() < max_size) queue.push_back(opened);
            }, counters);
            instr_vec.pop_back();
            ++counters[1];
        }
        ++counters[0];
    }
    return {std::move(map), counters};
}

}  // namespace

namespace {

// Files each candidate under its evaluator key, once per permutation pair.
// The forward run of the circuit being extended is kept, so a candidate costs
// one forward gate instead of its whole forward run (the same operations in
// the same order, so the same bits).
class KeyedFiling {
public:
    explicit KeyedFiling(const Evaluator& e) : evaluator_(e), prefix_(e.initial_state().clone()) {}

    void start(const std::vector<Instr32>& circ) { evaluator_.run_forward(circ, prefix_); }

    template <class Enqueue>
    void operator()(RawECCs& map, InstrList circ, const std::vector<Instr32>& instr_vec, Enqueue&& enqueue,
                    SearchCounters& counters) {
        const std::uint64_t key = evaluator_.evaluate_multiple_extending(prefix_, instr_vec, ws_);
        for (const PermPair& pair : ws_.pairs()) {
            if (auto opened = map.add_entry(key, pair.front_perm, pair.back_perm, circ, instr_vec)) enqueue(*opened);
            ++counters[2];
        }
    }

private:
    const Evaluator& evaluator_;
    StateVec prefix_;
    Evaluation ws_;
};

// Files each candidate under the hash of the back-tracking state run forward
// through it, with identity permutations.
class NaiveFiling {
public:
    explicit NaiveFiling(const Evaluator& e)
        : evaluator_(e),
          state_(e.backtrack_state().clone()),
          id_(Permut32::identity(static_cast<std::uint8_t>(e.nqubits()))) {}

    void start(const std::vector<Instr32>&) {}

    template <class Enqueue>
    void operator()(RawECCs& map, InstrList circ, const std::vector<Instr32>& instr_vec, Enqueue&& enqueue,
                    SearchCounters& counters) {
        state_.copy_from(evaluator_.backtrack_state());
        for (const Instr32& i : instr_vec) {
            const auto used = i.qargs().as_slice();
            state_.apply(used.data(), used.size(), i.gate());
        }
        state_.normalize_arg();
        if (auto opened = map.add_entry(state_.hash_value(), id_, id_, circ, instr_vec)) enqueue(*opened);
        ++counters[2];
    }

private:
    const Evaluator& evaluator_;
    StateVec state_;
    Permut32 id_;
};

}  // namespace

std::pair<RawECCs, SearchCounters> RawECCs::search(const Evaluator& evaluator, std::span<const Instr32> instrs,
                                                   std::uint64_t max_size) {
    return bfs(evaluator, instrs, max_size, KeyedFiling(evaluator));
}

std::pair<RawECCs, SearchCounters> RawECCs::search_naive(const Evaluator& evaluator,
                                                         std::span<const Instr32> instrs, std::uint64_t max_size) {
    return bfs(evaluator, instrs, max_size, NaiveFiling(evaluator));
}

std::vector<Instr32> expand_gate_set(std::vector<Gate16> gates, std::uint64_t nqubits) {
    std::vector<Gate16> adjoints;
    adjoints.reserve(gates.size());
    for (Gate16 g : gates) adjoints.push_back(g.adjoint());
    for (Gate16 a : adjoints)
        if (std::find(gates.begin(), gates.end(), a) == gates.end()) gates.push_back(a);
    std::stable_sort(gates.begin(), gates.end(), [](Gate16 a, Gate16 b) {
        const unsigned na = a.nqargs(), nb = b.nqargs();
        return na != nb ? na < nb : a.index() < b.index();
    });
    std::vector<Instr32> out;
    for (Gate16 g : gates) {
        switch (g.nqargs()) {
            case 1:
                for (std::uint64_t q = 0; q < nqubits; ++q) out.emplace_back(g, static_cast<std::uint8_t>(q));
                break;
            case 2:
                for (std::uint64_t i = 0; i < nqubits; ++i)
                    for (std::uint64_t j = 0; j < nqubits; ++j)
                        if (i != j) out.emplace_back(g, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(j));
                break;
            default: panic("Only 1 and 2 qubit instructions are supported");
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](Instr32 a, Instr32 b) { return a.largest_qubit() < b.largest_qubit(); });
    return out;
}

}  // namespace tsl
